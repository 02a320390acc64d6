// FORMAT(value, format[, culture]) with .NET's format strings, in the en-US culture: dates and
// times by custom patterns (yyyy-MM-dd HH:mm:ss.fff, dddd, MMMM, tt) and the standard d, D, t,
// T, g, G, f, F, s; numbers by the standard N, F, D, X, C, P, E with a precision and by custom
// patterns of 0, #, "," and ".". A format it cannot read gives NULL, as SQL Server's does.
#include "Conversions.h"
#include "TextFunctions.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

int Weekday(int y, int m, int d) {
    // Sakamoto's method: 0 is Sunday.
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

std::string Pad(long long v, int width) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width - static_cast<int>(s.size())), '0');
    return s;
}

std::optional<std::string> FormatDate(const DateTimeParts& p, std::string_view f) {
    if (f.size() == 1) {
        static const std::pair<char, const char*> kStandard[] = {
            {'d', "M/d/yyyy"},          {'D', "dddd, MMMM d, yyyy"}, {'t', "h:mm tt"},
            {'T', "h:mm:ss tt"},        {'g', "M/d/yyyy h:mm tt"},  {'G', "M/d/yyyy h:mm:ss tt"},
            {'f', "dddd, MMMM d, yyyy h:mm tt"}, {'F', "dddd, MMMM d, yyyy h:mm:ss tt"}, {'s', "yyyy-MM-ddTHH:mm:ss"},
            {'M', "MMMM d"},            {'Y', "MMMM yyyy"}};
        for (const auto& [c, pattern] : kStandard)
            if (f[0] == c) return FormatDate(p, pattern);
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 0; i < f.size();) {
        const char c = f[i];
        size_t n = 1;
        while (i + n < f.size() && f[i + n] == c) ++n;
        switch (c) {
        case 'y':
            out += n <= 2 ? Pad(p.year % 100, static_cast<int>(n)) : Pad(p.year, static_cast<int>(n));
            break;
        case 'M':
            out += n >= 4 ? kMonths[p.month - 1] : n == 3 ? std::string(kMonths[p.month - 1]).substr(0, 3) : Pad(p.month, static_cast<int>(n));
            break;
        case 'd': {
            const int wd = Weekday(p.year, p.month, p.day);
            out += n >= 4 ? kDays[wd] : n == 3 ? std::string(kDays[wd]).substr(0, 3) : Pad(p.day, static_cast<int>(n));
            break;
        }
        case 'H':
            out += Pad(p.hour, static_cast<int>(std::min<size_t>(n, 2)));
            break;
        case 'h':
            out += Pad(p.hour % 12 == 0 ? 12 : p.hour % 12, static_cast<int>(std::min<size_t>(n, 2)));
            break;
        case 'm':
            out += Pad(p.minute, static_cast<int>(std::min<size_t>(n, 2)));
            break;
        case 's':
            out += Pad(p.second, static_cast<int>(std::min<size_t>(n, 2)));
            break;
        case 'f':
        case 'F': {
            if (n > 7) return std::nullopt;
            std::string digits = Pad(p.nanos / 100, 7).substr(0, n);
            if (c == 'F')
                while (!digits.empty() && digits.back() == '0') digits.pop_back();
            out += digits;
            break;
        }
        case 't':
            out += n == 1 ? (p.hour < 12 ? "A" : "P") : (p.hour < 12 ? "AM" : "PM");
            break;
        case '\'':
        case '"': {
            const size_t close = f.find(c, i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            out.append(f.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        case '\\':
            if (i + 1 < f.size()) out += f[i + 1];
            i += 2;
            continue;
        default:
            out.append(n, c);
        }
        i += n;
    }
    return out;
}

// Digits of |v| rounded to `decimals`, with thousands separators when asked.
std::string Fixed(long double v, int decimals, bool groups) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.*Lf", decimals, std::fabs(v));
    std::string s = buf;
    if (groups) {
        const size_t dot = s.find('.');
        for (long long k = static_cast<long long>(dot == std::string::npos ? s.size() : dot) - 3; k > 0; k -= 3)
            s.insert(static_cast<size_t>(k), ",");
    }
    return s;
}

std::optional<std::string> FormatNumber(long double v, bool integer, std::string_view f) {
    const bool negative = v < 0 && std::fabs(v) >= 0.5L * std::pow(10.0L, -15);
    if (!f.empty() && std::isalpha(static_cast<unsigned char>(f[0])) && (f.size() == 1 || std::isdigit(static_cast<unsigned char>(f[1])))) {
        const bool hasPrecision = f.size() > 1;
        const int precision = hasPrecision ? std::atoi(std::string(f.substr(1)).c_str()) : -1;
        if (precision > 99) return std::nullopt;
        const std::string sign = negative ? "-" : "";
        switch (f[0]) {
        case 'N':
        case 'n':
            return sign + Fixed(v, hasPrecision ? precision : 2, true);
        case 'F':
        case 'f':
            return sign + Fixed(v, hasPrecision ? precision : 2, false);
        case 'C':
        case 'c': {
            const std::string body = "$" + Fixed(v, hasPrecision ? precision : 2, true);
            return negative ? "(" + body + ")" : body;
        }
        case 'P':
        case 'p':
            return sign + Fixed(v * 100, hasPrecision ? precision : 2, true) + " %";
        case 'D':
        case 'd': {
            if (!integer) return std::nullopt;
            std::string digits = Fixed(v, 0, false);
            if (static_cast<int>(digits.size()) < precision) digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
            return sign + digits;
        }
        case 'X':
        case 'x': {
            if (!integer) return std::nullopt;
            char buf[32];
            std::snprintf(buf, sizeof buf, f[0] == 'X' ? "%llX" : "%llx", static_cast<unsigned long long>(static_cast<long long>(v)));
            std::string digits = buf;
            if (static_cast<int>(digits.size()) < precision) digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
            return digits;
        }
        case 'E':
        case 'e': {
            char buf[64];
            std::snprintf(buf, sizeof buf, f[0] == 'E' ? "%.*LE" : "%.*Le", hasPrecision ? precision : 6, v);
            // .NET writes three exponent digits: 1.234560E+003.
            std::string s = buf;
            const size_t e = s.find_first_of("eE");
            if (e != std::string::npos && e + 2 < s.size()) {
                std::string exp = s.substr(e + 2);
                while (exp.size() < 3) exp.insert(0, "0");
                s = s.substr(0, e + 2) + exp;
            }
            return s;
        }
        default:
            return std::nullopt;
        }
    }
    // A custom pattern of 0, #, ',' and '.': decimals as the 0s and #s after the point.
    const size_t dot = f.find('.');
    const std::string_view whole = f.substr(0, dot), frac = dot == std::string_view::npos ? std::string_view() : f.substr(dot + 1);
    for (char c : f)
        if (c != '0' && c != '#' && c != ',' && c != '.') return std::nullopt;
    const int required = static_cast<int>(std::count(frac.begin(), frac.end(), '0'));
    const int optional = static_cast<int>(std::count(frac.begin(), frac.end(), '#'));
    std::string s = Fixed(v, required + optional, whole.find(',') != std::string_view::npos);
    if (optional > 0 && s.find('.') != std::string::npos) {
        for (int k = 0; k < optional && s.back() == '0'; ++k) s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    const int minWhole = static_cast<int>(std::count(whole.begin(), whole.end(), '0'));
    const size_t point = s.find('.');
    int digits = 0;
    for (size_t k = 0; k < (point == std::string::npos ? s.size() : point); ++k) digits += s[k] != ',';
    if (digits == 1 && s[0] == '0' && minWhole == 0) s.erase(0, 1);
    for (int k = digits; k < minWhole; ++k) s.insert(0, "0");
    return (negative ? "-" : "") + s;
}

void Format(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (argc < 2 || sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    const std::string f(reinterpret_cast<const char*>(sqlite3_value_text(argv[1])), static_cast<size_t>(sqlite3_value_bytes(argv[1])));
    std::optional<std::string> out;
    const int type = sqlite3_value_type(argv[0]);
    if (type == SQLITE_INTEGER) {
        out = FormatNumber(static_cast<long double>(sqlite3_value_int64(argv[0])), true, f);
    } else if (type == SQLITE_FLOAT) {
        out = FormatNumber(sqlite3_value_double(argv[0]), false, f);
    } else {
        const std::string text(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
        char* end = nullptr;
        const long double number = std::strtold(text.c_str(), &end);
        DateTimeParts parts;
        if (!text.empty() && end && *end == '\0')
            out = FormatNumber(number, text.find_first_of(".eE") == std::string::npos, f);
        else if (ParseDateTime(text, parts, "ymd"))
            out = FormatDate(parts, f);
    }
    if (!out) return sqlite3_result_null(ctx);
    sqlite3_result_text(ctx, out->data(), static_cast<int>(out->size()), SQLITE_TRANSIENT);
}

}  // namespace

void RegisterFormatFunction(sqlite3* db) {
    for (int args : {2, 3}) sqlite3_create_function_v2(db, "format", args, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, Format, nullptr, nullptr, nullptr);
}
