// Numbers as texts: floats, currency and exact decimals by the regional settings.
#include "MemFormat.h"

#include "uNbText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

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
        case 1:
            return num + c;
        case 2:
            return c + " " + num;
        case 3:
            return num + " " + c;
        default:
            return c + num;
        }
    }
    switch (fs.NegCurrFormat) {
    case 1:
        return "-" + c + num;
    case 2:
        return c + "-" + num;
    case 3:
        return c + num + "-";
    case 4:
        return "(" + num + c + ")";
    case 5:
        return "-" + num + c;
    case 6:
        return num + "-" + c;
    case 7:
        return num + c + "-";
    case 8:
        return "-" + num + " " + c;
    case 9:
        return "-" + c + " " + num;
    default:
        return "(" + c + num + ")";
    }
}

std::optional<double> TextToFloat(std::string_view text) {
    text = NbTrim(text);
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
    text = NbTrim(text);
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
    text = NbTrim(text);
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
