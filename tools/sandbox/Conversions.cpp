#include "Conversions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

struct Piece {
    std::string text;
    bool number = false;
};

int TwoDigitYear(int y, size_t digits) {
    if (digits > 2) return y;
    return y < 50 ? 2000 + y : 1900 + y;
}

// hh[:mm[:ss[.fffffff|:fff]]] with an optional AM/PM; text is the time part only.
bool ParseTime(std::string_view t, DateTimeParts& p) {
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < t.size() && t[i] == ' ') ++i;
    };
    auto num = [&](int& out, int maxDigits) {
        int digits = 0;
        out = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])) && digits < maxDigits)
            out = out * 10 + (t[i++] - '0'), ++digits;
        return digits > 0;
    };
    skipBlanks();
    if (!num(p.hour, 2)) return false;
    bool hasMinutes = false;
    if (i < t.size() && t[i] == ':') {
        ++i;
        if (!num(p.minute, 2)) return false;
        hasMinutes = true;
        if (i < t.size() && t[i] == ':') {
            ++i;
            if (!num(p.second, 2)) return false;
            if (i < t.size() && (t[i] == '.' || t[i] == ':')) {
                const bool millis = t[i] == ':';
                ++i;
                int digits = 0;
                long long f = 0;
                while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
                    if (digits < 9) f = f * 10 + (t[i] - '0');
                    ++digits;
                    ++i;
                }
                if (digits == 0 || (millis && digits > 3)) return false;
                if (millis) {
                    p.nanos = static_cast<int>(f * 1000000);  // after a colon, a number of milliseconds
                } else {
                    for (; digits < 9; ++digits) f *= 10;
                    for (; digits > 9; --digits) f /= 10;
                    p.nanos = static_cast<int>(f);
                }
            }
        }
    }
    skipBlanks();
    if (i < t.size()) {
        const char a = static_cast<char>(std::toupper(static_cast<unsigned char>(t[i])));
        if ((a == 'A' || a == 'P') && i + 1 < t.size() && std::toupper(static_cast<unsigned char>(t[i + 1])) == 'M') {
            if (p.hour < 1 || p.hour > 12) return false;
            if (a == 'A' && p.hour == 12) p.hour = 0;
            if (a == 'P' && p.hour != 12) p.hour += 12;
            i += 2;
        } else if (!hasMinutes) {
            return false;
        }
    } else if (!hasMinutes) {
        return false;
    }
    skipBlanks();
    if (i < t.size() && (t[i] == '+' || t[i] == '-' || t[i] == 'Z')) {
        if (t[i] == 'Z') {
            ++i;
            p.hasOffset = true;
        } else {
            const int sign = t[i++] == '-' ? -1 : 1;
            int oh = 0, om = 0;
            if (!num(oh, 2) || i >= t.size() || t[i++] != ':' || !num(om, 2) || oh > 14 || om > 59) return false;
            p.hasOffset = true;
            p.offsetMinutes = sign * (oh * 60 + om);
        }
    }
    skipBlanks();
    return i == t.size() && p.hour <= 23 && p.minute <= 59 && p.second <= 59;
}

}  // namespace

bool ParseDateTime(std::string_view text, DateTimeParts& p, std::string_view order, bool oldStyle) {
    p = DateTimeParts{};
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    const std::string_view t = text.substr(b, e - b);
    if (t.empty()) return true;  // '' is 1900-01-01
    // The date part ends at the first blank or 'T' that is followed by a digit and a colon later on.
    size_t cut = t.size();
    const size_t colon = t.find(':');
    if (colon != std::string_view::npos) {
        size_t k = colon;
        while (k > 0 && std::isdigit(static_cast<unsigned char>(t[k - 1]))) --k;
        cut = k;
        while (cut > 0 && (t[cut - 1] == ' ' || t[cut - 1] == 'T')) --cut;
    } else {
        // A time with AM/PM and no colon: "10 AM".
        const size_t len = t.size();
        if (len >= 2 && std::toupper(static_cast<unsigned char>(t[len - 1])) == 'M' &&
            (std::toupper(static_cast<unsigned char>(t[len - 2])) == 'A' || std::toupper(static_cast<unsigned char>(t[len - 2])) == 'P')) {
            size_t k = len - 2;
            while (k > 0 && t[k - 1] == ' ') --k;
            while (k > 0 && std::isdigit(static_cast<unsigned char>(t[k - 1]))) --k;
            cut = k;
            while (cut > 0 && t[cut - 1] == ' ') --cut;
        }
    }
    const std::string_view datePart = t.substr(0, cut);
    std::string_view timePart = cut < t.size() ? t.substr(cut) : std::string_view();
    while (!timePart.empty() && (timePart[0] == ' ' || timePart[0] == 'T')) timePart.remove_prefix(1);
    if (!datePart.empty()) {
        // Pieces: runs of digits or letters; separators / - . , and blanks.
        std::vector<Piece> pieces;
        std::vector<char> seps;
        for (size_t i = 0; i < datePart.size();) {
            const unsigned char c = static_cast<unsigned char>(datePart[i]);
            if (std::isdigit(c) || std::isalpha(c)) {
                Piece piece;
                piece.number = std::isdigit(c) != 0;
                while (i < datePart.size() && (piece.number ? std::isdigit(static_cast<unsigned char>(datePart[i]))
                                                            : std::isalpha(static_cast<unsigned char>(datePart[i]))))
                    piece.text += datePart[i++];
                pieces.push_back(piece);
            } else if (c == '/' || c == '-' || c == '.' || c == ',' || c == ' ') {
                seps.push_back(static_cast<char>(c));
                ++i;
            } else {
                return false;
            }
        }
        int monthName = -1;
        for (size_t k = 0; k < pieces.size(); ++k) {
            if (pieces[k].number) continue;
            if (monthName >= 0 || pieces[k].text.size() < 3) return false;
            std::string up;
            for (char c : pieces[k].text) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            int found = -1;
            for (int m = 0; m < 12; ++m)
                if (up.compare(0, 3, kMonths[m]) == 0) found = m;
            if (found < 0) return false;
            monthName = static_cast<int>(k);
            p.month = found + 1;
        }
        auto value = [&](size_t k) { return std::atoi(pieces[k].text.c_str()); };
        if (monthName >= 0) {
            if (pieces.size() != 3) return false;
            std::vector<size_t> nums;
            for (size_t k = 0; k < 3; ++k)
                if (static_cast<int>(k) != monthName) nums.push_back(k);
            // "Mon D YYYY", "D Mon YYYY", "YYYY Mon D"
            size_t yk = nums[1], dk = nums[0];
            if (pieces[nums[0]].text.size() == 4) yk = nums[0], dk = nums[1];
            p.year = TwoDigitYear(value(yk), pieces[yk].text.size());
            p.day = value(dk);
            if (pieces[dk].text.size() > 2) return false;
        } else if (pieces.size() == 1) {
            const std::string& d = pieces[0].text;
            if (d.size() == 8) {
                p.year = std::atoi(d.substr(0, 4).c_str());
                p.month = std::atoi(d.substr(4, 2).c_str());
                p.day = std::atoi(d.substr(6, 2).c_str());
            } else if (d.size() == 6) {
                p.year = TwoDigitYear(std::atoi(d.substr(0, 2).c_str()), 2);
                p.month = std::atoi(d.substr(2, 2).c_str());
                p.day = std::atoi(d.substr(4, 2).c_str());
            } else {
                return false;
            }
        } else if (pieces.size() == 3) {
            for (char s : seps)
                if (s == ' ' || s == ',') return false;
            if (pieces[0].text.size() == 4) {  // y-m-d, or y-d-m for the old types when the day comes first
                const bool dayFirst = oldStyle && order.find('d') < order.find('m');
                p.year = value(0);
                p.month = value(dayFirst ? 2 : 1);
                p.day = value(dayFirst ? 1 : 2);
                if (pieces[1].text.size() > 2 || pieces[2].text.size() > 2) return false;
            } else {  // the pieces in the order of DATEFORMAT
                const size_t yk = order.find('y'), mk = order.find('m'), dk = order.find('d');
                if (yk > 2 || mk > 2 || dk > 2) return false;
                const size_t yDigits = pieces[yk].text.size();
                if (pieces[mk].text.size() > 2 || pieces[dk].text.size() > 2 || (yDigits != 2 && yDigits != 4)) return false;
                p.month = value(mk);
                p.day = value(dk);
                p.year = TwoDigitYear(value(yk), yDigits);
            }
        } else {
            return false;
        }
        if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 || p.day > DaysInMonth(p.year, p.month)) return false;
    }
    if (!timePart.empty() && !ParseTime(timePart, p)) return false;
    return true;
}

bool InDateRange(const DateTimeParts& p, SqlType::Kind kind) {
    if (p.year > 9999) return false;
    if (kind == SqlType::DateTime) return p.year >= 1753;
    if (kind == SqlType::SmallDateTime)
        return p.year >= 1900 && (p.year < 2079 || (p.year == 2079 && p.month < 6) || (p.year == 2079 && p.month == 6 && p.day <= 6));
    return p.year >= 1;
}

std::string FormatDateTime(const DateTimeParts& p, const SqlType& type) {
    char buf[80];
    switch (type.kind) {
    case SqlType::Date:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
        return buf;
    case SqlType::Time:
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%07d", p.hour, p.minute, p.second, p.nanos / 100);
        return buf;
    case SqlType::SmallDateTime:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:00", p.year, p.month, p.day, p.hour, p.minute);
        return buf;
    case SqlType::DateTime:
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour, p.minute, p.second,
                      p.nanos / 1000000);
        return buf;
    default: {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%07d", p.year, p.month, p.day, p.hour, p.minute, p.second,
                      p.nanos / 100);
        std::string out = buf;
        if (type.kind == SqlType::DateTimeOffset) {
            const int off = p.offsetMinutes < 0 ? -p.offsetMinutes : p.offsetMinutes;
            std::snprintf(buf, sizeof buf, " %c%02d:%02d", p.offsetMinutes < 0 ? '-' : '+', off / 60, off % 60);
            out += buf;
        }
        return out;
    }
    }
}

bool ParseIntegerText(std::string_view text, long double& out) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool neg = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
    long double v = 0;
    int digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) v = v * 10 + (text[i++] - '0'), ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
    }
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (digits == 0 || i != text.size()) return false;
    out = neg ? -v : v;
    return true;
}

std::string FloatText(double v, int style) {
    char buf[64];
    if (style == 1)
        std::snprintf(buf, sizeof buf, "%.7e", v);
    else if (style == 2)
        std::snprintf(buf, sizeof buf, "%.15e", v);
    else if (style == 3)
        std::snprintf(buf, sizeof buf, "%.17g", v);
    else
        std::snprintf(buf, sizeof buf, "%.6g", v);
    std::string out = buf;
    // SQL Server writes the exponent with three digits: 1.23457e+006.
    const size_t e = out.find('e');
    if (e != std::string::npos && e + 2 < out.size()) {
        const size_t digits = out.size() - (e + 2);
        if (digits < 3) out.insert(e + 2, 3 - digits, '0');
    }
    return out;
}

bool ParseIntegerString(std::string_view text, long double& out) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return out = 0, true;
    bool neg = false;
    if (text[i] == '+' || text[i] == '-') neg = text[i++] == '-';
    long double v = 0;
    int digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) v = v * 10 + (text[i++] - '0'), ++digits;
    while (i < text.size() && text[i] == ' ') ++i;
    if (digits == 0 || i != text.size()) return false;
    out = neg ? -v : v;
    return true;
}

std::string MoneyText(const std::string& fourDecimals, int style) {
    if (style == 2 || style == 126 || fourDecimals.size() < 3) return fourDecimals;
    const bool neg = fourDecimals[0] == '-';
    std::string digits = fourDecimals.substr(neg ? 1 : 0);
    const bool up = digits[digits.size() - 2] >= '5';
    digits.resize(digits.size() - 2);
    if (up) {
        size_t k = digits.size();
        while (k > 0 && (digits[k - 1] == '9' || digits[k - 1] == '.')) {
            if (digits[k - 1] == '9') digits[k - 1] = '0';
            --k;
        }
        if (k == 0)
            digits.insert(digits.begin(), '1');
        else
            digits[k - 1]++;
    }
    if (style == 1)
        for (size_t at = digits.find('.'); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return (neg && digits.find_first_not_of("0.") != std::string::npos ? "-" : "") + digits;
}
