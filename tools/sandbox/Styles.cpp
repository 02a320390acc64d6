// CONVERT's styles for dates: sandbox_to_style(value, style) writes a date/time value as the style
// gives it; sandbox_from_style(text, style) reads a string written in the style.
#include "Conversions.h"
#include "Scripts.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <string>

namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A stored date/time value: ISO text as the stand-in keeps it ('2024-01-02 03:04:05.123').
bool StoredDate(const std::string& s, DateTimeParts& p) {
    if (s.size() < 8 || !std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    const bool iso = s.size() >= 10 && s[4] == '-' && s[7] == '-';
    const bool time = s.size() >= 5 && s[2] == ':';
    return (iso || time) && ParseDateTime(s, p);
}

std::string ToStyle(const DateTimeParts& p, int style, bool hasDate) {
    char buf[64];
    const int ms = p.nanos / 1000000;
    const int y = style < 100 ? p.year % 100 : p.year;
    auto date = [&](const char* order, char sep) {
        std::string out;
        for (const char* c = order; *c; ++c) {
            if (c != order) out += sep;
            char part[8];
            if (*c == 'y')
                std::snprintf(part, sizeof part, style < 100 ? "%02d" : "%04d", y);
            else
                std::snprintf(part, sizeof part, "%02d", *c == 'm' ? p.month : p.day);
            out += part;
        }
        return out;
    };
    switch (style % 100) {
    case 1:
        return date("mdy", '/');
    case 2:
        return date("ymd", '.');
    case 3:
        return date("dmy", '/');
    case 4:
        return date("dmy", '.');
    case 5:
        return date("dmy", '-');
    case 10:
        return date("mdy", '-');
    case 11:
        return date("ymd", '/');
    case 12:
        std::snprintf(buf, sizeof buf, style < 100 ? "%02d%02d%02d" : "%04d%02d%02d", y, p.month, p.day);
        return buf;
    case 8:
    case 24:
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.hour, p.minute, p.second);
        return buf;
    case 13:
    case 14:
        if (style % 100 == 14) {
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d:%03d", p.hour, p.minute, p.second, ms);
            return buf;
        }
        std::snprintf(buf, sizeof buf, "%02d %s %04d %02d:%02d:%02d:%03d", p.day, kMonths[(p.month + 11) % 12], p.year, p.hour, p.minute,
                      p.second, ms);
        return buf;
    case 20:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
        return buf;
    case 21:
    case 25:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute, p.second, ms);
        return buf;
    case 26:
        if (ms)
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute, p.second, ms);
        else
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
        return buf;
    case 6:
        std::snprintf(buf, sizeof buf, "%02d %s %02d", p.day, kMonths[(p.month + 11) % 12], y);
        return buf;
    case 7:
        std::snprintf(buf, sizeof buf, "%s %02d, %02d", kMonths[(p.month + 11) % 12], p.day, y);
        return buf;
    default: {
        // 0/100 and 9/109: mon dd yyyy hh:miAM
        const int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
        if (style % 100 == 9)
            std::snprintf(buf, sizeof buf, "%s %2d %04d %2d:%02d:%02d:%03d%s", kMonths[(p.month + 11) % 12], p.day, p.year, h12, p.minute,
                          p.second, ms, p.hour < 12 ? "AM" : "PM");
        else
            std::snprintf(buf, sizeof buf, "%s %2d %04d %2d:%02d%s", kMonths[(p.month + 11) % 12], p.day, p.year, h12, p.minute,
                          p.hour < 12 ? "AM" : "PM");
        (void)hasDate;
        return buf;
    }
    }
}

// Reads digits of a date written day first (styles 3/103, 4/104, 5/105) as mdy text for the parser.
std::string FromStyle(const std::string& s, int style) {
    const int st = style % 100;
    if (st == 3 || st == 4 || st == 5) {
        // dd?mm?yyyy[ rest] -> mm/dd/yyyy[ rest]
        size_t a = 0;
        while (a < s.size() && std::isdigit(static_cast<unsigned char>(s[a]))) ++a;
        size_t b = a + 1;
        while (b < s.size() && std::isdigit(static_cast<unsigned char>(s[b]))) ++b;
        if (a == 0 || a >= s.size() || b >= s.size() + 1 || b == a + 1) return s;
        return s.substr(a + 1, b - a - 1) + "/" + s.substr(0, a) + "/" + s.substr(b + 1 <= s.size() ? b + 1 : s.size());
    }
    return s;
}

}  // namespace

std::string DateInStyle(const std::string& stored, int style) {
    DateTimeParts p;
    return StoredDate(stored, p) ? ToStyle(p, style, stored[4] == '-') : stored;
}

namespace {

void FnToStyle(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    const unsigned char* raw = sqlite3_value_text(argv[0]);
    const std::string s = raw ? reinterpret_cast<const char*>(raw) : "";
    DateTimeParts p;
    if (sqlite3_value_type(argv[0]) != SQLITE_TEXT || !StoredDate(s, p)) return sqlite3_result_value(ctx, argv[0]);
    const std::string out = ToStyle(p, sqlite3_value_int(argv[1]), s[4] == '-');
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void FnFromStyle(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) != SQLITE_TEXT) return sqlite3_result_value(ctx, argv[0]);
    const std::string s = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string out = FromStyle(s, sqlite3_value_int(argv[1]));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

}  // namespace

void RegisterStyleFunctions(sqlite3* db) {
    sqlite3_create_function_v2(db, "sandbox_to_style", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnToStyle, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_from_style", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnFromStyle, nullptr, nullptr,
                               nullptr);
}
