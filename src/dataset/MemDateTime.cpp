// Dates and times as texts: encoding and decoding, compiled format patterns, and parsing by the
// regional settings.
#include "MemFormat.h"

#include "uNbCivil.h"
#include "uNbText.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr double kMsPerDay = 86400000.0;
// 1899-12-30 as days since 1970-01-01.
constexpr std::int64_t kEpochShift = NbDaysFromCivil(1899, 12, 30);

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

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > NbDaysInMonth(year, month)) return false;
    out = static_cast<double>(NbDaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochShift);
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
    NbCivilFromDays(static_cast<std::int64_t>(days) + kEpochShift, year, month, day);
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
    enum Kind : std::uint8_t {
        Literal,
        Day,
        Day2,
        DayShort,
        DayLong,
        Month,
        Month2,
        MonthShort,
        MonthLong,
        Year2,
        Year4,
        Hour,
        Hour2,
        Minute,
        Minute2,
        Second,
        Second2,
        Milli,
        Milli3,
        AmPm,
        AmPmFixed,
        AP,
        DateSep,
        TimeSep
    };
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
        if (NbStartsWithText(f.substr(i), "AMPM") || NbStartsWithText(f.substr(i), "AM/PM") || NbStartsWithText(f.substr(i), "A/P") ||
            NbStartsWithText(f.substr(i), "TT"))
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
        if (!c.tokens.empty() && c.tokens.back().kind == DtToken::Literal)
            c.tokens.back().literal.append(t);
        else
            c.tokens.push_back({DtToken::Literal, std::string(t)});
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
        if (ch == '/') {
            add(DtToken::DateSep);
            ++i;
            continue;
        }
        if (ch == ':') {
            add(DtToken::TimeSep);
            ++i;
            continue;
        }
        if (lc == 'a' || lc == 't') {
            const std::string_view rest = f.substr(i);
            if (NbStartsWithText(rest, "AMPM")) {
                add(DtToken::AmPm);
                i += 4;
                continue;
            }
            if (NbStartsWithText(rest, "AM/PM")) {
                add(DtToken::AmPmFixed);
                i += 5;
                continue;
            }
            if (NbStartsWithText(rest, "A/P")) {
                add(DtToken::AP);
                i += 3;
                continue;
            }
            if (NbStartsWithText(rest, "TT")) {
                add(DtToken::AmPm);
                i += 2;
                continue;
            }
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
            if (lastWasHour && n <= 2)
                add(n == 1 ? DtToken::Minute : DtToken::Minute2);
            else
                add(n == 1 ? DtToken::Month : n == 2 ? DtToken::Month2 : n == 3 ? DtToken::MonthShort : DtToken::MonthLong);
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
    static const char* const kLongMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                              "July",    "August",   "September", "October", "November", "December"};
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
        case DtToken::Literal:
            out += t.literal;
            break;
        case DtToken::Day:
            AppendNumber(out, p.d, 1);
            break;
        case DtToken::Day2:
            AppendNumber(out, p.d, 2);
            break;
        case DtToken::DayShort:
            out += kShortDays[p.weekday];
            break;
        case DtToken::DayLong:
            out += kLongDays[p.weekday];
            break;
        case DtToken::Month:
            AppendNumber(out, p.mo, 1);
            break;
        case DtToken::Month2:
            AppendNumber(out, p.mo, 2);
            break;
        case DtToken::MonthShort:
            out += kShortMonths[p.mo - 1];
            break;
        case DtToken::MonthLong:
            out += kLongMonths[p.mo - 1];
            break;
        case DtToken::Year2:
            AppendNumber(out, p.y % 100, 2);
            break;
        case DtToken::Year4:
            AppendNumber(out, p.y, 4);
            break;
        case DtToken::Hour:
            AppendNumber(out, hh, 1);
            break;
        case DtToken::Hour2:
            AppendNumber(out, hh, 2);
            break;
        case DtToken::Minute:
            AppendNumber(out, p.mi, 1);
            break;
        case DtToken::Minute2:
            AppendNumber(out, p.mi, 2);
            break;
        case DtToken::Second:
            AppendNumber(out, p.s, 1);
            break;
        case DtToken::Second2:
            AppendNumber(out, p.s, 2);
            break;
        case DtToken::Milli:
            AppendNumber(out, p.ms, 1);
            break;
        case DtToken::Milli3:
            AppendNumber(out, p.ms, 3);
            break;
        case DtToken::AmPm:
            out += p.h < 12 ? fs.TimeAMString : fs.TimePMString;
            break;
        case DtToken::AmPmFixed:
            out += p.h < 12 ? "AM" : "PM";
            break;
        case DtToken::AP:
            out += p.h < 12 ? "A" : "P";
            break;
        case DtToken::DateSep:
            out += fs.DateSeparator;
            break;
        case DtToken::TimeSep:
            out += fs.TimeSeparator;
            break;
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
    text = NbTrim(text);
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
            if (order[k] == 'y') {
                y = nums[k];
                yDigits = digits[k];
            } else if (order[k] == 'm')
                m = nums[k];
            else
                d = nums[k];
        }
    } else {
        int k2 = 0;
        for (int k = 0; k < 3; ++k) {
            if (order[k] == 'y') continue;
            if (order[k] == 'm')
                m = nums[k2++];
            else
                d = nums[k2++];
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
    text = NbTrim(text);
    int ampm = 0;  // 1 am, 2 pm
    auto takeAmPm = [&](bool atEnd) {
        for (const auto& [word, v] : {std::pair<std::string_view, int>{fs.TimeAMString, 1}, {fs.TimePMString, 2}, {"AM", 1}, {"PM", 2}}) {
            if (word.empty() || text.size() < word.size()) continue;
            const std::string_view part = atEnd ? text.substr(text.size() - word.size()) : text.substr(0, word.size());
            if (NbStartsWithText(part, word)) {
                ampm = v;
                text = NbTrim(atEnd ? text.substr(0, text.size() - word.size()) : text.substr(word.size()));
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
            while (nd < 3) {
                v *= 10;
                ++nd;
            }
            while (nd > 3) {
                v /= 10;
                --nd;
            }
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
    text = NbTrim(text);
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
