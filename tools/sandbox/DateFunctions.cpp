// DATEADD, DATEDIFF, DATEPART and DATENAME with their datepart keywords (us_english names; weeks
// and weekdays counted from the session's DATEFIRST), and the collation of date-time columns.
// The translation passes the datepart as text: sandbox_dateadd('day', n, d).
#include "CivilDate.h"
#include "Conversions.h"
#include "Scripts.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

bool ReadDate(sqlite3_value* v, DateTimeParts& p, bool& dateOnly) {
    dateOnly = false;
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
        // A number is days since 1900-01-01, as datetime reads it.
        const double n = sqlite3_value_double(v);
        const std::int64_t days = DaysFromCivil(1900, 1, 1) + static_cast<std::int64_t>(n);
        std::int64_t y;
        unsigned m, d;
        CivilFromDays(days, y, m, d);
        p = DateTimeParts{};
        p.year = static_cast<int>(y);
        p.month = static_cast<int>(m);
        p.day = static_cast<int>(d);
        return true;
    }
    case SQLITE_TEXT: {
        const std::string s = reinterpret_cast<const char*>(sqlite3_value_text(v));
        dateOnly = s.size() == 10 && s[4] == '-' && s[7] == '-';
        return ParseDateTime(s, p);
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
        {"YY", "YEAR"},         {"YYYY", "YEAR"},    {"QQ", "QUARTER"},    {"Q", "QUARTER"},     {"MM", "MONTH"},
        {"M", "MONTH"},         {"DY", "DAYOFYEAR"}, {"Y", "DAYOFYEAR"},   {"DD", "DAY"},        {"D", "DAY"},
        {"WK", "WEEK"},         {"WW", "WEEK"},      {"DW", "WEEKDAY"},    {"W", "WEEKDAY"},     {"HH", "HOUR"},
        {"MI", "MINUTE"},       {"N", "MINUTE"},     {"SS", "SECOND"},     {"S", "SECOND"},      {"MS", "MILLISECOND"},
        {"MCS", "MICROSECOND"}, {"NS", "NANOSECOND"}};
    std::string u;
    for (char c : part) u += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (auto& [alias, name] : kAliases)
        if (u == alias) return name;
    return u;
}

std::string Format(const DateTimeParts& p, bool dateOnly) {
    char buf[48];
    if (dateOnly)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute, p.second,
                      p.nanos / 1000000);
    return buf;
}

void Fail(sqlite3_context* ctx, const std::string& part) {
    const std::string msg = "'" + part + "' is not a recognized datepart option.";
    sqlite3_result_error(ctx, msg.c_str(), -1);
}

bool Known(const std::string& part) {
    static const char* const kParts[] = {"YEAR", "QUARTER", "MONTH",  "DAYOFYEAR",   "DAY",         "WEEK",      "WEEKDAY",
                                         "HOUR", "MINUTE",  "SECOND", "MILLISECOND", "MICROSECOND", "NANOSECOND"};
    for (const char* k : kParts)
        if (part == k) return true;
    return false;
}

void FnDateAdd(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const std::string part = Canonical(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    if (!Known(part)) return Fail(ctx, part);
    DateTimeParts p;
    bool dateOnly;
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || !ReadDate(argv[2], p, dateOnly)) return sqlite3_result_null(ctx);
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
        // Everything else moves a count of milliseconds from the day's start.
        std::int64_t ms = (DayNumber(p) * 86400LL + p.hour * 3600LL + p.minute * 60LL + p.second) * 1000LL + p.nanos / 1000000;
        const std::int64_t unit = part == "WEEK"                                                     ? 7 * 86400000LL
                                  : part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY"       ? 86400000LL
                                  : part == "HOUR"                                                   ? 3600000LL
                                  : part == "MINUTE"                                                 ? 60000LL
                                  : part == "SECOND"                                                 ? 1000LL
                                  : part == "MILLISECOND"                                            ? 1LL
                                                                                                     : 0LL;
        ms += n * unit;
        if (unit < 86400000LL) dateOnly = false;
        const std::int64_t days = ms >= 0 ? ms / 86400000LL : -((-ms + 86399999LL) / 86400000LL);
        std::int64_t rest = ms - days * 86400000LL;
        std::int64_t y;
        unsigned m, d;
        CivilFromDays(days, y, m, d);
        p.year = static_cast<int>(y);
        p.month = static_cast<int>(m);
        p.day = static_cast<int>(d);
        p.hour = static_cast<int>(rest / 3600000);
        p.minute = static_cast<int>(rest / 60000 % 60);
        p.second = static_cast<int>(rest / 1000 % 60);
        p.nanos = static_cast<int>(rest % 1000) * 1000000;
    }
    const std::string out = Format(p, dateOnly);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void FnDateDiff(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const std::string part = Canonical(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    if (!Known(part)) return Fail(ctx, part);
    DateTimeParts a, b;
    bool dateOnly;
    if (!ReadDate(argv[1], a, dateOnly) || !ReadDate(argv[2], b, dateOnly)) return sqlite3_result_null(ctx);
    std::int64_t r = 0;
    const std::int64_t da = DayNumber(a), db = DayNumber(b);
    if (part == "YEAR")
        r = b.year - a.year;
    else if (part == "QUARTER")
        r = (b.year * 4LL + (b.month - 1) / 3) - (a.year * 4LL + (a.month - 1) / 3);
    else if (part == "MONTH")
        r = (b.year * 12LL + b.month) - (a.year * 12LL + a.month);
    else if (part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY")
        r = db - da;
    else if (part == "WEEK")
        r = (db + 1) / 7 - (da + 1) / 7;  // weeks start on Sunday
    else {
        const std::int64_t sa = da * 86400LL + a.hour * 3600LL + a.minute * 60LL + a.second;
        const std::int64_t sb = db * 86400LL + b.hour * 3600LL + b.minute * 60LL + b.second;
        if (part == "HOUR")
            r = (db * 24LL + b.hour) - (da * 24LL + a.hour);
        else if (part == "MINUTE")
            r = (db * 1440LL + b.hour * 60LL + b.minute) - (da * 1440LL + a.hour * 60LL + a.minute);
        else if (part == "SECOND")
            r = sb - sa;
        else
            r = (sb - sa) * 1000LL + (b.nanos / 1000000 - a.nanos / 1000000);
    }
    sqlite3_result_int64(ctx, r);
}

// SET DATEFIRST n (7 Sunday, 1 Monday ...) makes that day the first of the week: weekday 1.
int PartOf(const std::string& part, const DateTimeParts& p, int dateFirst) {
    auto fromFirst = [dateFirst](std::int64_t d) { return (WeekDay(d) - dateFirst % 7 + 7) % 7; };
    const std::int64_t days = DayNumber(p);
    const int doy = static_cast<int>(days - DaysFromCivil(p.year, 1, 1)) + 1;
    if (part == "YEAR") return p.year;
    if (part == "QUARTER") return (p.month - 1) / 3 + 1;
    if (part == "MONTH") return p.month;
    if (part == "DAYOFYEAR") return doy;
    if (part == "DAY") return p.day;
    if (part == "WEEK") return (doy - 1 + fromFirst(DaysFromCivil(p.year, 1, 1))) / 7 + 1;
    if (part == "WEEKDAY") return fromFirst(days) + 1;
    if (part == "HOUR") return p.hour;
    if (part == "MINUTE") return p.minute;
    if (part == "SECOND") return p.second;
    if (part == "MILLISECOND") return p.nanos / 1000000;
    if (part == "MICROSECOND") return p.nanos / 1000;
    return p.nanos;
}

void FnDatePart(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const std::string part = Canonical(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    if (!Known(part)) return Fail(ctx, part);
    DateTimeParts p;
    bool dateOnly;
    if (!ReadDate(argv[1], p, dateOnly)) return sqlite3_result_null(ctx);
    sqlite3_result_int(ctx, PartOf(part, p, *static_cast<const int*>(sqlite3_user_data(ctx))));
}

void FnDateName(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const std::string part = Canonical(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    if (!Known(part)) return Fail(ctx, part);
    DateTimeParts p;
    bool dateOnly;
    if (!ReadDate(argv[1], p, dateOnly)) return sqlite3_result_null(ctx);
    std::string out = part == "MONTH" ? kMonthNames[p.month - 1] : part == "WEEKDAY" ? kDayNames[WeekDay(DayNumber(p))] : std::to_string(PartOf(part, p, *static_cast<const int*>(sqlite3_user_data(ctx))));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

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

void RegisterDateFunctions(sqlite3* db, const int* dateFirst, const std::string* dateOrder) {
    auto* first = const_cast<int*>(dateFirst);  // read only: SQLite's user data is not const
    sqlite3_create_function_v2(db, "sandbox_dateadd", 3, SQLITE_UTF8, nullptr, FnDateAdd, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_datediff", 3, SQLITE_UTF8, nullptr, FnDateDiff, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_datepart", 2, SQLITE_UTF8, first, FnDatePart, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_datename", 2, SQLITE_UTF8, first, FnDateName, nullptr, nullptr, nullptr);
    sqlite3_create_collation_v2(db, "sandbox_datetime", SQLITE_UTF8, const_cast<std::string*>(dateOrder), CompareInstants, nullptr);
}

bool IsDatePartFunction(const std::string& upperName) {
    return upperName == "DATEADD" || upperName == "DATEDIFF" || upperName == "DATEPART" || upperName == "DATENAME";
}
