#include "MemFormat.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <langinfo.h>
#include <vector>
#include <locale.h>

namespace {

constexpr double kMsPerDay = 86400000.0;

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 as days since 1970-01-01.
const std::int64_t kEpochShift = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(prefix[i]))) return false;
    return true;
}

void AppendNumber(std::string& out, long long v, int digits) {
    char buf[24];
    int n = 0;
    const bool negative = v < 0;
    unsigned long long u = negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        buf[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    char text[48];
    int len = 0;
    if (negative) text[len++] = '-';
    for (int k = n; k < digits && len < 24; ++k) text[len++] = '0';
    while (n > 0) text[len++] = buf[--n];
    out.append(text, static_cast<size_t>(len));
}

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
        case 'd': out += "dd"; break;
        case 'e': out += "d"; break;
        case 'm': out += "mm"; break;
        case 'y':
        case 'Y': out += "yyyy"; break;
        case 'H': out += "hh"; break;
        case 'k': out += "h"; break;
        case 'I': out += "hh"; twelveHour = true; break;
        case 'l': out += "h"; twelveHour = true; break;
        case 'M': out += "nn"; break;
        case 'S': out += "ss"; break;
        case 'p': out += "AMPM"; twelveHour = true; break;
        case 'T': out += "hh:nn:ss"; break;
        case 'R': out += "hh:nn"; break;
        case 'D': out += "mm/dd/yyyy"; break;
        case 'F': out += "yyyy-mm-dd"; break;
        case 'r': out += "hh:nn:ss AMPM"; twelveHour = true; break;
        case '%': out += '%'; break;
        case '\0': return out;
        default: break;
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
        if (c == '"') quoted = !quoted;
        else if (!quoted && c == sep) c = token;
    }
    return pattern;
}

}  // namespace

TFormatSettings& FormatSettings() {
    static TFormatSettings settings = FormatSettingsFromLocale();
    return settings;
}

TFormatSettings FormatSettingsFromLocale() {
    TFormatSettings s;
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc) return s;
    const char* ctime = nl_langinfo_l(D_FMT, loc);
    const char* lname = std::getenv("LC_ALL");
    if (!lname || !*lname) lname = std::getenv("LC_TIME");
    if (!lname || !*lname) lname = std::getenv("LANG");
    const bool plain = !lname || !*lname || std::strcmp(lname, "C") == 0 || std::strcmp(lname, "POSIX") == 0 ||
                       std::strncmp(lname, "C.", 2) == 0;
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
    : savedFormat_(FormatSettings().ShortDateFormat), savedSeparator_(FormatSettings().DateSeparator) {
    FormatSettings().ShortDateFormat = std::move(shortDateFormat);
    FormatSettings().DateSeparator = std::move(dateSeparator);
}

TFormatSettingsSwap::~TFormatSettingsSwap() {
    FormatSettings().ShortDateFormat = std::move(savedFormat_);
    FormatSettings().DateSeparator = std::move(savedSeparator_);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
    out = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochShift);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime& out) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999) return false;
    out = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 / kMsPerDay + ms / kMsPerDay;
    return true;
}

void DecodeDateTime(TDateTime dt, int& year, int& month, int& day, int& hour, int& minute, int& second, int& ms) {
    // Whole milliseconds of the value, rounded; the time of day is the fraction's magnitude.
    double days = std::trunc(dt);
    long long msOfDay = std::llround(std::fabs(dt - days) * kMsPerDay);
    if (msOfDay >= 86400000LL) {
        msOfDay -= 86400000LL;
        days += dt < 0 ? -1 : 1;
    }
    CivilFromDays(static_cast<std::int64_t>(days) + kEpochShift, year, month, day);
    hour = static_cast<int>(msOfDay / 3600000);
    minute = static_cast<int>(msOfDay / 60000 % 60);
    second = static_cast<int>(msOfDay / 1000 % 60);
    ms = static_cast<int>(msOfDay % 1000);
}

namespace {

struct DateParts {
    int y, mo, d, h, mi, s, ms, weekday;
};

// A pattern cut into tokens once, so that formatting many values does not re-read it.
struct DtToken {
    enum Kind : std::uint8_t { Literal, Day, Day2, DayShort, DayLong, Month, Month2, MonthShort, MonthLong, Year2, Year4,
                               Hour, Hour2, Minute, Minute2, Second, Second2, Milli, Milli3, AmPm, AmPmFixed, AP, DateSep, TimeSep };
    Kind kind;
    std::string literal;
};

struct CompiledPattern {
    std::vector<DtToken> tokens;
    bool twelve = false;
};

CompiledPattern Compile(std::string_view f) {
    CompiledPattern c;
    for (size_t i = 0; i < f.size(); ++i)
        if (StartsWithNoCase(f.substr(i), "AMPM") || StartsWithNoCase(f.substr(i), "AM/PM") || StartsWithNoCase(f.substr(i), "A/P") ||
            StartsWithNoCase(f.substr(i), "TT"))
            c.twelve = true;
    bool lastWasHour = false;
    size_t i = 0;
    auto run = [&](char ch) {
        size_t n = 0;
        while (i + n < f.size() && std::tolower(static_cast<unsigned char>(f[i + n])) == ch) ++n;
        return n;
    };
    auto add = [&](DtToken::Kind k) { c.tokens.push_back({k, {}}); };
    auto literal = [&](std::string_view t) {
        if (!c.tokens.empty() && c.tokens.back().kind == DtToken::Literal) c.tokens.back().literal.append(t);
        else c.tokens.push_back({DtToken::Literal, std::string(t)});
    };
    while (i < f.size()) {
        const char ch = f[i];
        const char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (ch == '"' || ch == '\'') {
            const size_t end = f.find(ch, i + 1);
            literal(f.substr(i + 1, (end == std::string_view::npos ? f.size() : end) - i - 1));
            i = end == std::string_view::npos ? f.size() : end + 1;
            continue;
        }
        if (ch == '/') { add(DtToken::DateSep); ++i; continue; }
        if (ch == ':') { add(DtToken::TimeSep); ++i; continue; }
        if (lc == 'a' || lc == 't') {
            const std::string_view rest = f.substr(i);
            if (StartsWithNoCase(rest, "AMPM")) { add(DtToken::AmPm); i += 4; continue; }
            if (StartsWithNoCase(rest, "AM/PM")) { add(DtToken::AmPmFixed); i += 5; continue; }
            if (StartsWithNoCase(rest, "A/P")) { add(DtToken::AP); i += 3; continue; }
            if (StartsWithNoCase(rest, "TT")) { add(DtToken::AmPm); i += 2; continue; }
        }
        size_t n;
        switch (lc) {
        case 'd':
            n = run('d');
            add(n == 1 ? DtToken::Day : n == 2 ? DtToken::Day2 : n == 3 ? DtToken::DayShort : DtToken::DayLong);
            i += n;
            lastWasHour = false;
            break;
        case 'm':
            n = run('m');
            if (lastWasHour && n <= 2) add(n == 1 ? DtToken::Minute : DtToken::Minute2);
            else add(n == 1 ? DtToken::Month : n == 2 ? DtToken::Month2 : n == 3 ? DtToken::MonthShort : DtToken::MonthLong);
            i += n;
            lastWasHour = false;
            break;
        case 'y':
            n = run('y');
            add(n <= 2 ? DtToken::Year2 : DtToken::Year4);
            i += n;
            lastWasHour = false;
            break;
        case 'h':
            n = run('h');
            add(n >= 2 ? DtToken::Hour2 : DtToken::Hour);
            i += n;
            lastWasHour = true;
            break;
        case 'n':
            n = run('n');
            add(n >= 2 ? DtToken::Minute2 : DtToken::Minute);
            i += n;
            lastWasHour = false;
            break;
        case 's':
            n = run('s');
            add(n >= 2 ? DtToken::Second2 : DtToken::Second);
            i += n;
            lastWasHour = false;
            break;
        case 'z':
            n = run('z');
            add(n >= 3 ? DtToken::Milli3 : DtToken::Milli);
            i += n;
            break;
        default:
            literal(std::string_view(&f[i], 1));
            ++i;
        }
    }
    return c;
}

const CompiledPattern& Compiled(std::string_view f) {
    thread_local std::vector<std::pair<std::string, CompiledPattern>> cache;
    for (const auto& e : cache)
        if (e.first == f) return e.second;
    if (cache.size() >= 16) cache.erase(cache.begin());
    cache.emplace_back(std::string(f), Compile(f));
    return cache.back().second;
}

DateParts Parts(TDateTime dt) {
    DateParts p{};
    DecodeDateTime(dt, p.y, p.mo, p.d, p.h, p.mi, p.s, p.ms);
    p.weekday = static_cast<int>(((static_cast<long long>(std::floor(dt)) - 1) % 7 + 7) % 7);  // 1899-12-30 was a Saturday
    return p;
}

void Emit(std::string& out, const CompiledPattern& c, const DateParts& p) {
    static const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* const kLongMonths[] = {"January", "February", "March", "April", "May", "June", "July",
                                              "August", "September", "October", "November", "December"};
    static const char* const kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kLongDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    const TFormatSettings& fs = FormatSettings();
    int hh = p.h;
    if (c.twelve) {
        hh = p.h % 12;
        if (hh == 0) hh = 12;
    }
    for (const DtToken& t : c.tokens) {
        switch (t.kind) {
        case DtToken::Literal: out += t.literal; break;
        case DtToken::Day: AppendNumber(out, p.d, 1); break;
        case DtToken::Day2: AppendNumber(out, p.d, 2); break;
        case DtToken::DayShort: out += kShortDays[p.weekday]; break;
        case DtToken::DayLong: out += kLongDays[p.weekday]; break;
        case DtToken::Month: AppendNumber(out, p.mo, 1); break;
        case DtToken::Month2: AppendNumber(out, p.mo, 2); break;
        case DtToken::MonthShort: out += kShortMonths[p.mo - 1]; break;
        case DtToken::MonthLong: out += kLongMonths[p.mo - 1]; break;
        case DtToken::Year2: AppendNumber(out, p.y % 100, 2); break;
        case DtToken::Year4: AppendNumber(out, p.y, 4); break;
        case DtToken::Hour: AppendNumber(out, hh, 1); break;
        case DtToken::Hour2: AppendNumber(out, hh, 2); break;
        case DtToken::Minute: AppendNumber(out, p.mi, 1); break;
        case DtToken::Minute2: AppendNumber(out, p.mi, 2); break;
        case DtToken::Second: AppendNumber(out, p.s, 1); break;
        case DtToken::Second2: AppendNumber(out, p.s, 2); break;
        case DtToken::Milli: AppendNumber(out, p.ms, 1); break;
        case DtToken::Milli3: AppendNumber(out, p.ms, 3); break;
        case DtToken::AmPm: out += p.h < 12 ? fs.TimeAMString : fs.TimePMString; break;
        case DtToken::AmPmFixed: out += p.h < 12 ? "AM" : "PM"; break;
        case DtToken::AP: out += p.h < 12 ? "A" : "P"; break;
        case DtToken::DateSep: out += fs.DateSeparator; break;
        case DtToken::TimeSep: out += fs.TimeSeparator; break;
        }
    }
}

}  // namespace

std::string FormatDateTime(std::string_view f, TDateTime dt) {
    std::string out;
    Emit(out, Compiled(f), Parts(dt));
    return out;
}

void AppendDateTimeText(std::string& out, TDateTime dt) {
    const DateParts p = Parts(dt);
    const TFormatSettings& fs = FormatSettings();
    Emit(out, Compiled(fs.ShortDateFormat), p);
    if (p.h != 0 || p.mi != 0 || p.s != 0) {
        out += ' ';
        Emit(out, Compiled(fs.LongTimeFormat), p);
    }
}

std::string DateToText(TDateTime dt) { return FormatDateTime(FormatSettings().ShortDateFormat, dt); }
std::string TimeToText(TDateTime dt) { return FormatDateTime(FormatSettings().LongTimeFormat, dt); }

std::string DateTimeToText(TDateTime dt) {
    std::string out;
    AppendDateTimeText(out, dt);
    return out;
}

namespace {

// Reads the numbers of a date text separated by the date separator.
bool ScanDate(std::string_view text, TDateTime& out) {
    const TFormatSettings& fs = FormatSettings();
    int nums[3];
    int digits[3];
    int count = 0;
    size_t i = 0;
    text = Trim(text);
    while (i < text.size()) {
        if (count == 3) return false;
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        int v = 0, nd = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (nd >= 4) return false;
            v = v * 10 + (text[i++] - '0');
            ++nd;
        }
        nums[count] = v;
        digits[count++] = nd;
        if (i < text.size()) {
            if (text.compare(i, fs.DateSeparator.size(), fs.DateSeparator) != 0) return false;
            i += fs.DateSeparator.size();
            if (i >= text.size()) return false;
        }
    }
    if (count < 2) return false;
    // The order of day, month and year follows the short date format.
    char order[3] = {'m', 'd', 'y'};
    int found = 0;
    for (char c : fs.ShortDateFormat) {
        const char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((lc == 'd' || lc == 'm' || lc == 'y') && (found == 0 || order[found - 1] != lc)) {
            bool seen = false;
            for (int k = 0; k < found; ++k) seen |= order[k] == lc;
            if (!seen && found < 3) order[found++] = lc;
        }
    }
    if (found != 3) {
        order[0] = 'm';
        order[1] = 'd';
        order[2] = 'y';
    }
    int y = -1, m = -1, d = -1, yDigits = 4;
    if (count == 3) {
        for (int k = 0; k < 3; ++k) {
            if (order[k] == 'y') { y = nums[k]; yDigits = digits[k]; }
            else if (order[k] == 'm') m = nums[k];
            else d = nums[k];
        }
    } else {
        int k2 = 0;
        for (int k = 0; k < 3; ++k) {
            if (order[k] == 'y') continue;
            if (order[k] == 'm') m = nums[k2++];
            else d = nums[k2++];
        }
        const std::time_t now = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&now, &tmNow);
        y = tmNow.tm_year + 1900;
    }
    if (yDigits <= 2) {
        // Two-digit years fall in the window of 50 years either side of this year.
        const std::time_t now = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&now, &tmNow);
        const int thisYear = tmNow.tm_year + 1900;
        const int pivot = thisYear - 50;
        y += pivot / 100 * 100;
        if (y < pivot) y += 100;
    }
    return TryEncodeDate(y, m, d, out);
}

bool ScanTime(std::string_view text, TDateTime& out) {
    const TFormatSettings& fs = FormatSettings();
    text = Trim(text);
    int ampm = 0;  // 1 am, 2 pm
    auto takeAmPm = [&](bool atEnd) {
        for (const auto& [word, v] : {std::pair<std::string_view, int>{fs.TimeAMString, 1}, {fs.TimePMString, 2}, {"AM", 1}, {"PM", 2}}) {
            if (word.empty() || text.size() < word.size()) continue;
            const std::string_view part = atEnd ? text.substr(text.size() - word.size()) : text.substr(0, word.size());
            if (StartsWithNoCase(part, word)) {
                ampm = v;
                text = Trim(atEnd ? text.substr(0, text.size() - word.size()) : text.substr(word.size()));
                return;
            }
        }
    };
    takeAmPm(true);
    if (!ampm) takeAmPm(false);
    int parts[4] = {0, 0, 0, 0};
    int count = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (count == 4 || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        int v = 0, nd = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (nd >= 3 && count < 3) return false;
            if (nd < 9) v = v * 10 + (text[i] - '0');
            ++i;
            ++nd;
        }
        if (count == 3) {
            // Fraction of a second: keep milliseconds.
            while (nd < 3) { v *= 10; ++nd; }
            while (nd > 3) { v /= 10; --nd; }
        }
        parts[count++] = v;
        if (i < text.size()) {
            if (count == 3 && (text[i] == '.' || text.compare(i, fs.DecimalSeparator.size(), fs.DecimalSeparator) == 0)) {
                i += text[i] == '.' ? 1 : fs.DecimalSeparator.size();
            } else if (text.compare(i, fs.TimeSeparator.size(), fs.TimeSeparator) == 0 && count < 3) {
                i += fs.TimeSeparator.size();
            } else {
                return false;
            }
            if (i >= text.size()) return false;
        }
    }
    if (count == 0) return false;
    int h = parts[0];
    if (ampm) {
        if (h < 1 || h > 12) return false;
        if (ampm == 1 && h == 12) h = 0;
        if (ampm == 2 && h != 12) h += 12;
    }
    return TryEncodeTime(h, parts[1], parts[2], parts[3], out);
}

}  // namespace

std::optional<TDateTime> TextToDate(std::string_view text) {
    TDateTime d;
    if (!ScanDate(text, d)) return std::nullopt;
    return d;
}

std::optional<TDateTime> TextToTime(std::string_view text) {
    TDateTime t;
    if (!ScanTime(text, t)) return std::nullopt;
    return t;
}

std::optional<TDateTime> TextToDateTime(std::string_view text) {
    text = Trim(text);
    const size_t space = text.find(' ');
    TDateTime d, t = 0;
    if (space == std::string_view::npos) {
        if (ScanDate(text, d)) return d;
        if (ScanTime(text, t)) return t;
        return std::nullopt;
    }
    if (!ScanDate(text.substr(0, space), d) || !ScanTime(text.substr(space + 1), t)) return std::nullopt;
    return d < 0 ? d - t : d + t;
}

std::string FloatToText(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15G", value);
    std::string s(buf);
    // C writes "1E+20" and "1E-05"; the general format writes "1E20" and "1E-5".
    const size_t e = s.find('E');
    if (e != std::string::npos) {
        std::string mant = s.substr(0, e), exp = s.substr(e + 1);
        bool neg = !exp.empty() && exp[0] == '-';
        if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) exp.erase(0, 1);
        while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
        s = mant + "E" + (neg ? "-" : "") + exp;
    }
    const size_t dot = s.find('.');
    if (dot != std::string::npos) s.replace(dot, 1, FormatSettings().DecimalSeparator);
    return s;
}

std::string CurrencyToText(double value) {
    const TFormatSettings& fs = FormatSettings();
    char buf[96];
    const int decimals = std::clamp(fs.CurrencyDecimals, 0, 9);
    const double scale = std::pow(10.0, decimals);
    const double magnitude = std::fabs(value) * scale;
    if (magnitude < 9e15) {
        // Half away from zero, as money is rounded.
        const long long units = std::llround(magnitude);
        const long long unit = static_cast<long long>(scale);
        std::string text = std::to_string(units / unit);
        if (decimals > 0) {
            std::string frac = std::to_string(units % unit);
            text += '.' + std::string(static_cast<size_t>(decimals) - frac.size(), '0') + frac;
        }
        std::snprintf(buf, sizeof buf, "%s", text.c_str());
    } else {
        std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(value));
    }
    std::string digits(buf);
    const size_t dot = digits.find('.');
    std::string whole = digits.substr(0, dot), frac = dot == std::string::npos ? "" : digits.substr(dot + 1);
    std::string grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += fs.ThousandSeparator;
        grouped += whole[i];
    }
    std::string num = grouped + (frac.empty() ? "" : fs.DecimalSeparator + frac);
    const std::string& c = fs.CurrencyString;
    const bool negative = value < 0 && digits.find_first_not_of("0.") != std::string::npos;
    if (!negative) {
        switch (fs.CurrencyFormat) {
        case 1: return num + c;
        case 2: return c + " " + num;
        case 3: return num + " " + c;
        default: return c + num;
        }
    }
    switch (fs.NegCurrFormat) {
    case 1: return "-" + c + num;
    case 2: return c + "-" + num;
    case 3: return c + num + "-";
    case 4: return "(" + num + c + ")";
    case 5: return "-" + num + c;
    case 6: return num + "-" + c;
    case 7: return num + c + "-";
    case 8: return "-" + num + " " + c;
    case 9: return "-" + c + " " + num;
    default: return "(" + c + num + ")";
    }
}

std::optional<double> TextToFloat(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return std::nullopt;
    if (text[0] == '+') text.remove_prefix(1);
    // The user's decimal separator becomes "." for the parser; a "." of its own is then not valid.
    const std::string& sep = FormatSettings().DecimalSeparator;
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (sep != "." && text[i] == '.') return std::nullopt;
        if (!sep.empty() && text.compare(i, sep.size(), sep) == 0) {
            s += '.';
            i += sep.size() - 1;
        } else {
            s += text[i];
        }
    }
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::int64_t> TextToInt(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
    return v;
}

std::string DecimalToText(TMemInt128 unscaled, int scale, bool trimZeros) {
    const bool negative = unscaled < 0;
    TMemUInt128 mag = negative ? static_cast<TMemUInt128>(-(unscaled + 1)) + 1 : static_cast<TMemUInt128>(unscaled);
    char digits[48];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(mag % 10));
        mag /= 10;
    } while (mag != 0);
    while (n <= scale) digits[n++] = '0';
    std::string out;
    if (negative) out += '-';
    for (int i = n - 1; i >= scale; --i) out += digits[i];
    std::string frac;
    for (int i = scale - 1; i >= 0; --i) frac += digits[i];
    if (trimZeros)
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
    if (!frac.empty()) out += FormatSettings().DecimalSeparator + frac;
    return out;
}

std::optional<TMemInt128> TextToDecimal(std::string_view text, int scale) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    TMemInt128 v = 0;
    int significant = 0, fracDigits = 0;
    bool inFraction = false, anyDigit = false;
    int roundDigit = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            // "." or the user's decimal separator starts the fraction.
            if (inFraction) return std::nullopt;
            if (c != '.') {
                const std::string& sep = FormatSettings().DecimalSeparator;
                if (sep.empty() || text.compare(i, sep.size(), sep) != 0) return std::nullopt;
                i += sep.size() - 1;
            }
            inFraction = true;
            continue;
        }
        anyDigit = true;
        if (inFraction && fracDigits >= scale) {
            if (roundDigit < 0) roundDigit = c - '0';
            continue;
        }
        if (significant > 0 || c != '0') ++significant;
        if (significant > 38) return std::nullopt;
        v = v * 10 + (c - '0');
        if (inFraction) ++fracDigits;
    }
    if (!anyDigit) return std::nullopt;
    while (fracDigits < scale) {
        v *= 10;
        ++fracDigits;
        if (v != 0) ++significant;
    }
    if (significant > 38) return std::nullopt;
    if (roundDigit >= 5) v += 1;
    return negative ? -v : v;
}
