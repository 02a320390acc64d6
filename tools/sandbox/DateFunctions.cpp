// DATEADD, DATEDIFF, DATEDIFF_BIG, DATEPART, DATENAME and DATETRUNC with their datepart keywords (us_english names; weeks
// and weekdays counted from the session's DATEFIRST), and the collation of date-time columns.
// The translation passes the datepart as text: sandbox_dateadd('day', n, d).
#include "CivilDate.h"
#include "Conversions.h"
#include "Scripts.h"
#include "Session.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// What each function reads: the session's DATEFIRST, and where an error waits for the statement.
struct DateContext {
    const int* dateFirst;
    std::exception_ptr* pending;
};

// A value's date and time; dateOnly for a date without a time, digits the fraction's digits as written.
struct DateValue {
    DateTimeParts p;
    bool dateOnly = false;
    int digits = 3;
};

bool ReadDate(sqlite3_value* v, DateValue& out) {
    out = DateValue{};
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
        // A number is days since 1900-01-01, as datetime reads it.
        const double n = sqlite3_value_double(v);
        const std::int64_t days = DaysFromCivil(1900, 1, 1) + static_cast<std::int64_t>(n);
        std::int64_t y;
        unsigned m, d;
        CivilFromDays(days, y, m, d);
        out.p.year = static_cast<int>(y);
        out.p.month = static_cast<int>(m);
        out.p.day = static_cast<int>(d);
        return true;
    }
    case SQLITE_TEXT: {
        const std::string s = reinterpret_cast<const char*>(sqlite3_value_text(v));
        out.dateOnly = s.size() == 10 && s[4] == '-' && s[7] == '-';
        const size_t dot = s.find('.', s.find(':') == std::string::npos ? s.size() : s.find(':'));
        if (dot != std::string::npos) {
            size_t end = dot + 1;
            while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
            out.digits = std::max(3, static_cast<int>(end - dot - 1));
        }
        return ParseDateTime(s, out.p);
    }
    default:
        return false;
    }
}

std::int64_t DayNumber(const DateTimeParts& p) {
    return DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day));
}

// 0 for Sunday.
int WeekDay(std::int64_t days) { return static_cast<int>(((days + 1) % 7 + 7) % 7); }

std::string Canonical(const std::string& part) {
    static const std::pair<const char*, const char*> kAliases[] = {
        {"YY", "YEAR"},         {"YYYY", "YEAR"},     {"QQ", "QUARTER"},  {"Q", "QUARTER"},      {"MM", "MONTH"},
        {"M", "MONTH"},         {"DY", "DAYOFYEAR"},  {"Y", "DAYOFYEAR"}, {"DD", "DAY"},         {"D", "DAY"},
        {"WK", "WEEK"},         {"WW", "WEEK"},       {"DW", "WEEKDAY"},  {"W", "WEEKDAY"},      {"HH", "HOUR"},
        {"MI", "MINUTE"},       {"N", "MINUTE"},      {"SS", "SECOND"},   {"S", "SECOND"},       {"MS", "MILLISECOND"},
        {"MCS", "MICROSECOND"}, {"NS", "NANOSECOND"}, {"TZ", "TZOFFSET"}, {"ISOWK", "ISO_WEEK"}, {"ISOWW", "ISO_WEEK"}};
    std::string u;
    for (char c : part) u += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (auto& [alias, name] : kAliases)
        if (u == alias) return name;
    return u;
}

std::string Format(const DateTimeParts& p, bool dateOnly, int digits = 3) {
    char buf[64];
    if (dateOnly) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
    std::string out = buf;
    if (digits > 0) {
        char frac[16];
        std::snprintf(frac, sizeof frac, "%09d", p.nanos);
        out += "." + std::string(frac, static_cast<size_t>(std::min(digits, 9)));
    }
    if (p.hasOffset) {
        char offset[16];
        std::snprintf(offset, sizeof offset, " %c%02d:%02d", p.offsetMinutes < 0 ? '-' : '+', std::abs(p.offsetMinutes) / 60,
                      std::abs(p.offsetMinutes) % 60);
        out += offset;
    }
    return out;
}

[[noreturn]] void Fail(int number, int severity, int state, const std::string& text) {
    throw SqlError{number, severity, state, text, 1, "", number == 155};
}

// 'xyz' is not a recognized dateadd option. DATEPART, DATENAME and DATETRUNC know ISO weeks too,
// DATEPART and DATENAME the time zone offset.
void Check(const std::string& part, const std::string& written, const char* function, bool allowsIso = false, bool allowsTz = false) {
    static const char* const kParts[] = {"YEAR", "QUARTER", "MONTH",  "DAYOFYEAR",   "DAY",         "WEEK",      "WEEKDAY",
                                         "HOUR", "MINUTE",  "SECOND", "MILLISECOND", "MICROSECOND", "NANOSECOND"};
    for (const char* k : kParts)
        if (part == k) return;
    if ((allowsIso && part == "ISO_WEEK") || (allowsTz && part == "TZOFFSET")) return;
    Fail(155, 15, 1, "'" + written + "' is not a recognized " + function + " option.");
}

constexpr std::int64_t kNanosPerDay = 86400LL * 1000000000LL;

// Nanoseconds in one of the datepart from a week down.
std::int64_t UnitNanos(const std::string& part) {
    if (part == "WEEK") return 7 * kNanosPerDay;
    if (part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY") return kNanosPerDay;
    if (part == "HOUR") return 3600000000000LL;
    if (part == "MINUTE") return 60000000000LL;
    if (part == "SECOND") return 1000000000LL;
    if (part == "MILLISECOND") return 1000000LL;
    if (part == "MICROSECOND") return 1000LL;
    return 1;
}

__int128 TotalNanos(const DateTimeParts& p) {
    return static_cast<__int128>(DayNumber(p)) * kNanosPerDay +
           static_cast<__int128>((p.hour * 3600LL + p.minute * 60LL + p.second) * 1000000000LL + p.nanos);
}

DateTimeParts FromTotalNanos(__int128 total) {
    std::int64_t days = static_cast<std::int64_t>(total / kNanosPerDay);
    __int128 rest = total - static_cast<__int128>(days) * kNanosPerDay;
    if (rest < 0) {
        --days;
        rest += kNanosPerDay;
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    DateTimeParts p;
    p.year = static_cast<int>(y);
    p.month = static_cast<int>(m);
    p.day = static_cast<int>(d);
    const auto ns = static_cast<std::int64_t>(rest);
    p.hour = static_cast<int>(ns / 3600000000000LL);
    p.minute = static_cast<int>(ns / 60000000000LL % 60);
    p.second = static_cast<int>(ns / 1000000000LL % 60);
    p.nanos = static_cast<int>(ns % 1000000000LL);
    return p;
}

// The ISO 8601 week: weeks start on Monday, and week 1 holds the year's first Thursday.
int IsoWeek(const DateTimeParts& p) {
    const std::int64_t days = DayNumber(p);
    const int isoDay = (WeekDay(days) + 6) % 7;  // 0 for Monday
    const std::int64_t thursday = days - isoDay + 3;
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(thursday, y, m, d);
    return static_cast<int>((thursday - DaysFromCivil(y, 1, 1)) / 7 + 1);
}

// SET DATEFIRST n (7 Sunday, 1 Monday ...) makes that day the first of the week: weekday 1.
int FromFirst(std::int64_t days, int dateFirst) { return (WeekDay(days) - dateFirst % 7 + 7) % 7; }

std::int64_t PartOf(const std::string& part, const DateTimeParts& p, int dateFirst) {
    const std::int64_t days = DayNumber(p);
    const int doy = static_cast<int>(days - DaysFromCivil(p.year, 1, 1)) + 1;
    if (part == "YEAR") return p.year;
    if (part == "QUARTER") return (p.month - 1) / 3 + 1;
    if (part == "MONTH") return p.month;
    if (part == "DAYOFYEAR") return doy;
    if (part == "DAY") return p.day;
    if (part == "WEEK") return (doy - 1 + FromFirst(DaysFromCivil(p.year, 1, 1), dateFirst)) / 7 + 1;
    if (part == "WEEKDAY") return FromFirst(days, dateFirst) + 1;
    if (part == "ISO_WEEK") return IsoWeek(p);
    if (part == "HOUR") return p.hour;
    if (part == "MINUTE") return p.minute;
    if (part == "SECOND") return p.second;
    if (part == "MILLISECOND") return p.nanos / 1000000;
    if (part == "MICROSECOND") return p.nanos / 1000;
    if (part == "TZOFFSET") return p.hasOffset ? p.offsetMinutes : 0;
    return p.nanos;
}

std::string PartArg(sqlite3_value* v) {
    const unsigned char* p = sqlite3_value_text(v);
    return p ? reinterpret_cast<const char*>(p) : "";
}

DateContext& ContextOf(sqlite3_context* ctx) { return *static_cast<DateContext*>(sqlite3_user_data(ctx)); }

void DateAdd(sqlite3_context* ctx, sqlite3_value** argv) {
    const std::string written = PartArg(argv[0]), part = Canonical(written);
    Check(part, written, "dateadd");
    DateValue v;
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || !ReadDate(argv[2], v)) return sqlite3_result_null(ctx);
    DateTimeParts& p = v.p;
    const std::int64_t n = sqlite3_value_int64(argv[1]);
    if (part == "YEAR" || part == "QUARTER" || part == "MONTH") {
        const std::int64_t months = part == "YEAR" ? n * 12 : part == "QUARTER" ? n * 3 : n;
        std::int64_t total = static_cast<std::int64_t>(p.year) * 12 + (p.month - 1) + months;
        p.year = static_cast<int>(total / 12);
        p.month = static_cast<int>(total % 12) + 1;
        static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (p.year % 4 == 0 && p.year % 100 != 0) || p.year % 400 == 0;
        const int last = kDays[p.month - 1] + (p.month == 2 && leap ? 1 : 0);
        if (p.day > last) p.day = last;
    } else {
        const std::int64_t unit = UnitNanos(part);
        const bool offset = p.hasOffset;
        const int offsetMinutes = p.offsetMinutes;
        p = FromTotalNanos(TotalNanos(p) + static_cast<__int128>(n) * unit);
        p.hasOffset = offset;
        p.offsetMinutes = offsetMinutes;
        if (unit < kNanosPerDay) v.dateOnly = false;
        if (unit < 1000000LL) v.digits = std::max(v.digits, unit == 1 ? 7 : 6);
    }
    if (p.year < 1 || p.year > 9999) Fail(517, 16, 1, "Adding a value to a 'datetime' column caused an overflow.");
    const std::string out = Format(p, v.dateOnly, v.digits);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// DATEDIFF counts the boundaries of the datepart crossed between the two values.
void DateDiff(sqlite3_context* ctx, sqlite3_value** argv, bool big) {
    const char* function = big ? "datediff_big" : "datediff";
    const std::string written = PartArg(argv[0]), part = Canonical(written);
    Check(part, written, function);
    DateValue va, vb;
    if (!ReadDate(argv[1], va) || !ReadDate(argv[2], vb)) return sqlite3_result_null(ctx);
    // A value with an offset counts as its UTC instant.
    for (DateValue* v : {&va, &vb})
        if (v->p.hasOffset) v->p = FromTotalNanos(TotalNanos(v->p) - static_cast<__int128>(v->p.offsetMinutes) * 60000000000LL);
    const DateTimeParts &a = va.p, &b = vb.p;
    __int128 r = 0;
    const std::int64_t da = DayNumber(a), db = DayNumber(b);
    auto count = [](const DateTimeParts& x, std::int64_t unit) {
        const __int128 t = TotalNanos(x);
        return t >= 0 ? t / unit : -((-t + unit - 1) / unit);
    };
    if (part == "YEAR")
        r = b.year - a.year;
    else if (part == "QUARTER")
        r = (b.year * 4LL + (b.month - 1) / 3) - (a.year * 4LL + (a.month - 1) / 3);
    else if (part == "MONTH")
        r = (b.year * 12LL + b.month) - (a.year * 12LL + a.month);
    else if (part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY")
        r = db - da;
    else if (part == "WEEK")
        r = (db + 1) / 7 - (da + 1) / 7;  // Sundays crossed (day 0, 0001-01-01, is a Monday), whatever DATEFIRST says
    else
        r = count(b, UnitNanos(part)) - count(a, UnitNanos(part));
    const __int128 lo = big ? static_cast<__int128>(INT64_MIN) : INT32_MIN, hi = big ? static_cast<__int128>(INT64_MAX) : INT32_MAX;
    if (r < lo || r > hi)
        Fail(535, 16, 1,
             std::string("The ") + function +
                 " function resulted in an overflow. The number of dateparts separating two date/time instances is too large. Try to "
                 "use " +
                 function + " with a less precise datepart.");
    sqlite3_result_int64(ctx, static_cast<std::int64_t>(r));
}

void DatePart(sqlite3_context* ctx, sqlite3_value** argv) {
    const std::string written = PartArg(argv[0]), part = Canonical(written);
    Check(part, written, "datepart", true, true);
    DateValue v;
    if (!ReadDate(argv[1], v)) return sqlite3_result_null(ctx);
    sqlite3_result_int64(ctx, PartOf(part, v.p, *ContextOf(ctx).dateFirst));
}

void DateName(sqlite3_context* ctx, sqlite3_value** argv) {
    const std::string written = PartArg(argv[0]), part = Canonical(written);
    Check(part, written, "datename", true, true);
    DateValue v;
    if (!ReadDate(argv[1], v)) return sqlite3_result_null(ctx);
    const DateTimeParts& p = v.p;
    std::string out;
    if (part == "MONTH")
        out = kMonthNames[p.month - 1];
    else if (part == "WEEKDAY")
        out = kDayNames[WeekDay(DayNumber(p))];
    else if (part == "TZOFFSET") {
        const int m = p.hasOffset ? p.offsetMinutes : 0;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%c%02d:%02d", m < 0 ? '-' : '+', std::abs(m) / 60, std::abs(m) % 60);
        out = buf;
    } else
        out = std::to_string(PartOf(part, p, *ContextOf(ctx).dateFirst));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// DATETRUNC: the value with every part below the datepart at its start.
void DateTrunc(sqlite3_context* ctx, sqlite3_value** argv) {
    const std::string written = PartArg(argv[0]), part = Canonical(written);
    Check(part, written, "datetrunc", true);
    if (part == "WEEKDAY" || part == "NANOSECOND") {
        std::string lower = part;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        Fail(9810, 16, 10, "The datepart " + lower + " is not supported by date function datetrunc for data type datetime2.");
    }
    DateValue v;
    if (!ReadDate(argv[1], v)) return sqlite3_result_null(ctx);
    if (sqlite3_value_type(argv[1]) == SQLITE_TEXT && !v.dateOnly && v.digits == 3) {
        // A string literal is read as datetime2(7); a datetime value keeps its three digits.
        const std::string s = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
        if (s.find('.') == std::string::npos) v.digits = 7;
    }
    DateTimeParts& p = v.p;
    auto startOfDay = [&] { p.hour = p.minute = p.second = p.nanos = 0; };
    std::int64_t days = DayNumber(p);
    auto setDays = [&](std::int64_t d) {
        std::int64_t y;
        unsigned m, dd;
        CivilFromDays(d, y, m, dd);
        p.year = static_cast<int>(y);
        p.month = static_cast<int>(m);
        p.day = static_cast<int>(dd);
    };
    if (part == "YEAR" || part == "QUARTER" || part == "MONTH" || part == "DAYOFYEAR" || part == "DAY" || part == "WEEK" ||
        part == "ISO_WEEK") {
        startOfDay();
        if (part == "YEAR") p.month = p.day = 1;
        if (part == "QUARTER") p.month = (p.month - 1) / 3 * 3 + 1, p.day = 1;
        if (part == "MONTH") p.day = 1;
        if (part == "WEEK") setDays(days - FromFirst(days, *ContextOf(ctx).dateFirst));
        if (part == "ISO_WEEK") setDays(days - (WeekDay(days) + 6) % 7);
    } else if (part == "HOUR")
        p.minute = p.second = p.nanos = 0;
    else if (part == "MINUTE")
        p.second = p.nanos = 0;
    else if (part == "SECOND")
        p.nanos = 0;
    else if (part == "MILLISECOND")
        p.nanos = p.nanos / 1000000 * 1000000;
    else if (part == "MICROSECOND")
        p.nanos = p.nanos / 1000 * 1000;
    const std::string out = Format(p, v.dateOnly, v.digits);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

template <void (*F)(sqlite3_context*, sqlite3_value**)>
void Guarded(sqlite3_context* ctx, int, sqlite3_value** argv) {
    try {
        F(ctx, argv);
    } catch (...) {
        *ContextOf(ctx).pending = std::current_exception();
        sqlite3_result_error(ctx, "error in a function", -1);
    }
}

void DateDiffInt(sqlite3_context* ctx, sqlite3_value** argv) { DateDiff(ctx, argv, false); }
void DateDiffBig(sqlite3_context* ctx, sqlite3_value** argv) { DateDiff(ctx, argv, true); }

// The collation of datetime, datetime2 and smalldatetime columns: values compare as the instants
// they name, so the stored 2001-01-01 00:00:00.000 equals a date without a time (2001-01-01), as
// SQL Server finds it after converting the other side to the column's type. Text in the stored
// form compares as it is, a missing time or fraction reading as zeros; other text (a variable's
// '1/1/2001') is read as a date by the session's DATEFORMAT; text that is no date compares as text.
constexpr char kInstantShape[] = "0000-00-00 00:00:00.0000000";
constexpr int kInstantLength = sizeof kInstantShape - 1;

bool StoredShape(const char* p, int n, char* key) {
    if (n < 10 || n > kInstantLength) return false;
    std::memcpy(key, kInstantShape, kInstantLength);
    for (int i = 0; i < n; ++i) {
        const char c = i == 10 && p[i] == 'T' ? ' ' : p[i];
        if (kInstantShape[i] == '0' ? c < '0' || c > '9' : c != kInstantShape[i]) return false;
        key[i] = c;
    }
    return true;
}

int CompareInstants(void* order, int na, const void* a, int nb, const void* b) {
    const char* pa = static_cast<const char*>(a);
    const char* pb = static_cast<const char*>(b);
    char ka[kInstantLength], kb[kInstantLength];
    auto keyOf = [order](const char* p, int n, char* key) {
        if (StoredShape(p, n, key)) return true;
        DateTimeParts parts;
        if (n > 60 || !ParseDateTime(std::string_view(p, static_cast<size_t>(n)), parts, *static_cast<const std::string*>(order), true))
            return false;
        const std::string text = FormatDateTime(parts, SqlType::Of(SqlType::DateTime2, 0, 0, 7));
        return StoredShape(text.data(), static_cast<int>(text.size()), key);
    };
    if (keyOf(pa, na, ka) && keyOf(pb, nb, kb)) return std::memcmp(ka, kb, kInstantLength);
    const int c = std::memcmp(pa, pb, static_cast<size_t>(std::min(na, nb)));
    return c != 0 ? c : na - nb;
}

}  // namespace

void RegisterDateFunctions(sqlite3* db, const int* dateFirst, const std::string* dateOrder, std::exception_ptr* pending) {
    struct Fn {
        const char* name;
        int args;
        void (*call)(sqlite3_context*, int, sqlite3_value**);
    };
    static const Fn kFns[] = {{"sandbox_dateadd", 3, Guarded<DateAdd>},          {"sandbox_datediff", 3, Guarded<DateDiffInt>},
                              {"sandbox_datediff_big", 3, Guarded<DateDiffBig>}, {"sandbox_datepart", 2, Guarded<DatePart>},
                              {"sandbox_datename", 2, Guarded<DateName>},        {"sandbox_datetrunc", 2, Guarded<DateTrunc>}};
    for (const Fn& f : kFns)
        sqlite3_create_function_v2(db, f.name, f.args, SQLITE_UTF8, new DateContext{dateFirst, pending}, f.call, nullptr, nullptr,
                                   [](void* p) { delete static_cast<DateContext*>(p); });
    sqlite3_create_collation_v2(db, "sandbox_datetime", SQLITE_UTF8, const_cast<std::string*>(dateOrder), CompareInstants, nullptr);
}

std::string DatePartName(const std::string& written) { return Canonical(written); }

bool IsDatePartFunction(const std::string& upperName) {
    return upperName == "DATEADD" || upperName == "DATEDIFF" || upperName == "DATEPART" || upperName == "DATENAME" ||
           upperName == "DATEDIFF_BIG" || upperName == "DATETRUNC";
}
