// The regional settings object, read once from the process locale.
#include "MemFormat.h"

#include <langinfo.h>
#include <locale.h>
#include <cstdlib>
#include <cstring>

namespace {

// Converts a strftime pattern of the C library to the token form used here.
std::string FromStrftime(const char* p, bool& twelveHour) {
    std::string out;
    for (; *p; ++p) {
        if (*p != '%') {
            if (*p == '\'' || *p == '"') out += '"';
            out += *p;
            continue;
        }
        ++p;
        while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0') ++p;
        switch (*p) {
        case 'd':
            out += "dd";
            break;
        case 'e':
            out += "d";
            break;
        case 'm':
            out += "mm";
            break;
        case 'y':
        case 'Y':
            out += "yyyy";
            break;
        case 'H':
            out += "hh";
            break;
        case 'k':
            out += "h";
            break;
        case 'I':
            out += "hh";
            twelveHour = true;
            break;
        case 'l':
            out += "h";
            twelveHour = true;
            break;
        case 'M':
            out += "nn";
            break;
        case 'S':
            out += "ss";
            break;
        case 'p':
            out += "AMPM";
            twelveHour = true;
            break;
        case 'T':
            out += "hh:nn:ss";
            break;
        case 'R':
            out += "hh:nn";
            break;
        case 'D':
            out += "mm/dd/yyyy";
            break;
        case 'F':
            out += "yyyy-mm-dd";
            break;
        case 'r':
            out += "hh:nn:ss AMPM";
            twelveHour = true;
            break;
        case '%':
            out += '%';
            break;
        case '\0':
            return out;
        default:
            break;
        }
    }
    return out;
}

// The first separator-like character of a date or time pattern.
std::string SeparatorOf(const std::string& pattern, std::string fallback) {
    for (char c : pattern)
        if (!std::isalpha(static_cast<unsigned char>(c)) && c != '"' && c != ' ') return std::string(1, c);
    return fallback;
}

std::string ReplaceSeparators(std::string pattern, char sep, char token) {
    bool quoted = false;
    for (char& c : pattern) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == sep)
            c = token;
    }
    return pattern;
}

}  // namespace

namespace {
thread_local TFormatSettings* tThreadSettings = nullptr;

TFormatSettings& ProcessSettings() {
    static TFormatSettings settings = FormatSettingsFromLocale();
    return settings;
}
}  // namespace

TFormatSettings& FormatSettings() { return tThreadSettings ? *tThreadSettings : ProcessSettings(); }

TFormatSettings FormatSettingsFromLocale() {
    TFormatSettings s;
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc) return s;
    const char* ctime = nl_langinfo_l(D_FMT, loc);
    const char* lname = std::getenv("LC_ALL");
    if (!lname || !*lname) lname = std::getenv("LC_TIME");
    if (!lname || !*lname) lname = std::getenv("LANG");
    const bool plain =
        !lname || !*lname || std::strcmp(lname, "C") == 0 || std::strcmp(lname, "POSIX") == 0 || std::strncmp(lname, "C.", 2) == 0;
    if (!plain) {
        bool twelve = false;
        std::string date = FromStrftime(ctime, twelve);
        s.DateSeparator = SeparatorOf(date, "/");
        s.ShortDateFormat = ReplaceSeparators(date, s.DateSeparator[0], '/');
        twelve = false;
        std::string time = FromStrftime(nl_langinfo_l(T_FMT, loc), twelve);
        if (time.empty()) time = "hh:nn:ss";
        s.TimeSeparator = SeparatorOf(time, ":");
        s.LongTimeFormat = ReplaceSeparators(time, s.TimeSeparator[0], ':');
        const char* am = nl_langinfo_l(AM_STR, loc);
        const char* pm = nl_langinfo_l(PM_STR, loc);
        if (am && *am) s.TimeAMString = am;
        if (pm && *pm) s.TimePMString = pm;
        const char* dec = nl_langinfo_l(RADIXCHAR, loc);
        if (dec && *dec) s.DecimalSeparator = dec;
        const char* th = nl_langinfo_l(THOUSEP, loc);
        s.ThousandSeparator = th ? th : "";
        locale_t old = uselocale(loc);
        const lconv* lc = localeconv();
        if (lc->currency_symbol && *lc->currency_symbol) s.CurrencyString = lc->currency_symbol;
        if (lc->frac_digits >= 0 && lc->frac_digits < 10) s.CurrencyDecimals = lc->frac_digits;
        const bool before = lc->p_cs_precedes == 1, space = lc->p_sep_by_space == 1;
        s.CurrencyFormat = before ? (space ? 2 : 0) : (space ? 3 : 1);
        s.NegCurrFormat = before ? (space ? 9 : 1) : (space ? 8 : 5);
        if (lc->mon_thousands_sep && *lc->mon_thousands_sep) s.ThousandSeparator = lc->mon_thousands_sep;
        uselocale(old);
    }
    freelocale(loc);
    return s;
}

TFormatSettingsSwap::TFormatSettingsSwap(std::string shortDateFormat, std::string dateSeparator)
    : mine_(FormatSettings()), saved_(tThreadSettings) {
    mine_.ShortDateFormat = std::move(shortDateFormat);
    mine_.DateSeparator = std::move(dateSeparator);
    tThreadSettings = &mine_;
}

TFormatSettingsSwap::~TFormatSettingsSwap() { tThreadSettings = saved_; }

TFormatSettingsUse::TFormatSettingsUse(TFormatSettings& settings) : saved_(tThreadSettings) { tThreadSettings = &settings; }

TFormatSettingsUse::~TFormatSettingsUse() { tThreadSettings = saved_; }
