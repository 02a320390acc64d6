#include "BinaryCasts.h"

#include "Session.h"
#include "TSql.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>

namespace {

std::string BigEndian(std::uint64_t v, int bytes) {
    std::string out(static_cast<size_t>(bytes), '\0');
    for (int i = bytes - 1; i >= 0; --i) {
        out[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
        v >>= 8;
    }
    return out;
}

std::string_view ValueText(sqlite3_value* v) {
    const unsigned char* p = sqlite3_value_text(v);
    return p ? std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v))) : std::string_view();
}

// Money in units of 1/10000, from the stand-in's stored forms (integer, float or exact text).
std::int64_t MoneyUnits(sqlite3_value* v) {
    if (sqlite3_value_type(v) == SQLITE_INTEGER) return sqlite3_value_int64(v) * 10000;
    if (sqlite3_value_type(v) == SQLITE_FLOAT) return std::llround(sqlite3_value_double(v) * 10000.0);
    const std::string_view t = ValueText(v);
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
    std::int64_t units = 0;
    int decimals = -1;
    bool roundUp = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (c < '0' || c > '9') break;
        if (decimals >= 4) {
            if (decimals == 4) roundUp = c >= '5';
            ++decimals;
            continue;
        }
        units = units * 10 + (c - '0');
        if (decimals >= 0) ++decimals;
    }
    for (int k = decimals < 0 ? 0 : std::min(decimals, 4); k < 4; ++k) units *= 10;
    if (roundUp) ++units;
    return negative ? -units : units;
}

int IntegerWidth(std::string_view source) {
    if (source == "tinyint" || source == "bit") return 1;
    if (source == "smallint") return 2;
    if (source == "int" || source == "smallmoney" || source == "real") return 4;
    if (source == "bigint" || source == "money" || source == "float") return 8;
    return 0;
}

}  // namespace

SqlValue StoredBinary(const SqlType& type, const SqlValue& v, bool cut) {
    SqlValue b = v;
    if (v.type == SqlValue::Integer) {
        const bool wide = v.i < INT32_MIN || v.i > INT32_MAX;
        b = SqlValue::FromBlob(BigEndian(static_cast<std::uint64_t>(v.i), wide ? 8 : 4));
    } else if (v.type == SqlValue::Real) {
        std::uint64_t bits;
        std::memcpy(&bits, &v.d, 8);
        b = SqlValue::FromBlob(BigEndian(bits, 8));
    }
    if (b.type != SqlValue::Blob || type.length <= 0) return b;
    const auto length = static_cast<size_t>(type.length);
    if (cut && b.s.size() > length) b.s.resize(length);
    if (type.kind == SqlType::Binary && b.s.size() < length) b.s.resize(length, '\0');
    return b;
}

std::string BinaryOf(sqlite3_value* value, std::string_view source, long long length, bool fixed) {
    std::string bytes;
    const int width = IntegerWidth(source);
    if (width > 0 && sqlite3_value_type(value) != SQLITE_BLOB) {
        std::uint64_t bits = 0;
        if (source == "float") {
            const double d = sqlite3_value_double(value);
            std::memcpy(&bits, &d, 8);
        } else if (source == "real") {
            const float f = static_cast<float>(sqlite3_value_double(value));
            std::uint32_t b32;
            std::memcpy(&b32, &f, 4);
            bits = b32;
        } else if (source == "money" || source == "smallmoney") {
            bits = static_cast<std::uint64_t>(MoneyUnits(value));
        } else {
            bits = static_cast<std::uint64_t>(sqlite3_value_int64(value));
        }
        bytes = BigEndian(bits, width);
        if (length >= 0 && static_cast<long long>(bytes.size()) > length)
            bytes.erase(0, bytes.size() - static_cast<size_t>(length));
        else if (length >= 0 && static_cast<long long>(bytes.size()) < length)
            bytes.insert(0, static_cast<size_t>(length) - bytes.size(), '\0');
        return bytes;
    }
    if (sqlite3_value_type(value) == SQLITE_BLOB) {
        bytes.assign(static_cast<const char*>(sqlite3_value_blob(value)), static_cast<size_t>(sqlite3_value_bytes(value)));
    } else if (source == "nvarchar") {
        const std::u16string units = Utf8ToUtf16(ValueText(value));
        for (char16_t u : units) {
            bytes.push_back(static_cast<char>(u & 0xFF));
            bytes.push_back(static_cast<char>(u >> 8));
        }
    } else {
        bytes = Utf8ToCp1252(ValueText(value));
    }
    if (length >= 0 && static_cast<long long>(bytes.size()) > length) bytes.resize(static_cast<size_t>(length));
    if (fixed && length >= 0 && static_cast<long long>(bytes.size()) < length) bytes.resize(static_cast<size_t>(length), '\0');
    return bytes;
}

std::optional<std::string> BinaryFromHex(std::string_view text, int style) {
    if (style == 1) {
        if (text.size() < 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
        text.remove_prefix(2);
    }
    if (text.size() % 2 != 0) return std::nullopt;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

std::string HexOfBinary(std::string_view bytes, int style) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out = style == 1 ? "0x" : "";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

long long IntegerOfBinary(std::string_view bytes, int width, bool isUnsigned) {
    if (bytes.size() > static_cast<size_t>(width)) bytes.remove_prefix(bytes.size() - static_cast<size_t>(width));
    std::uint64_t v = 0;
    for (char c : bytes) v = (v << 8) | static_cast<unsigned char>(c);
    if (isUnsigned || width >= 8) return static_cast<long long>(v);
    const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
    return static_cast<long long>((v ^ sign) - sign);
}

// CAST and CONVERT to binary types, and CONVERT of binary to text in styles 1 and 2: the value is
// converted by the type it has here (the translation to SQLite no longer knows it).
//   CAST(x AS binary(n))              -> CAST(sandbox_binary(x, 'int', n, 1) AS binary(n))
//   CONVERT(varbinary(n), '0x41', 1)  -> CONVERT(varbinary(n), sandbox_unhex('0x41', 1))
//   CONVERT(varchar(n), x, 1)         -> CONVERT(varchar(n), sandbox_hex(x, 1))
std::vector<Token> Session::BinaryCasts(std::vector<Token> given) {
    const bool any = std::any_of(given.begin(), given.end(), [](const Token& k) { return k.Is("CAST") || k.Is("CONVERT"); });
    if (!any) return given;
    std::vector<Token> t = std::move(given);
    const StatementTablesInView inView(*this, t, true);
    // The source as sandbox_binary names it; empty when the conversion is left to the translation.
    auto sourceOf = [this](const std::vector<Token>& e) -> std::string {
        bool named = false;
        const SqlType type = InferExprType(e, named);
        if (!named) return {};
        switch (type.kind) {
        case SqlType::TinyInt:
            return "tinyint";
        case SqlType::SmallInt:
            return "smallint";
        case SqlType::Int:
            return "int";
        case SqlType::BigInt:
            return "bigint";
        case SqlType::Bit:
            return "bit";
        case SqlType::Float:
            return "float";
        case SqlType::Real:
            return "real";
        case SqlType::Money:
            return "money";
        case SqlType::SmallMoney:
            return "smallmoney";
        default:
            if (type.IsUnicode()) return "nvarchar";
            if (type.IsText()) return "varchar";
            if (type.IsBinary()) return "binary";
            return {};
        }
    };
    auto isBinary = [this](const std::vector<Token>& e) {
        bool named = false;
        const SqlType type = InferExprType(e, named);
        return named && type.IsBinary();
    };
    auto call = [](const char* fn, const std::vector<Token>& expr, const std::vector<Token>& tail) {
        std::vector<Token> out = {MakeToken(Token::Word, fn, !expr.empty() && expr[0].spaceBefore), MakeToken(Token::Op, "(", false)};
        out.insert(out.end(), expr.begin(), expr.end());
        for (const Token& k : tail) {
            out.push_back(MakeToken(Token::Op, ",", false));
            out.push_back(k);
        }
        out.push_back(MakeToken(Token::Op, ")", false));
        return out;
    };
    // sandbox_binary(expr, 'source', length, fixed)
    auto toBinary = [&call](const std::vector<Token>& expr, const std::string& source, long long length, bool fixed) {
        return call("sandbox_binary", expr,
                    {MakeToken(Token::String, source), MakeToken(Token::Number, std::to_string(length)), MakeToken(Token::Number, fixed ? "1" : "0")});
    };
    // Binary target: its length (30 when CAST or CONVERT gives none) and whether it is fixed.
    auto binaryTarget = [](const std::vector<Token>& tokens, size_t from, size_t to, long long& length, bool& fixed) {
        const SqlType type = TypeOf(tokens, from, to);
        if (type.kind != SqlType::Binary && type.kind != SqlType::VarBinary) return false;
        length = to == from + 1 ? 30 : type.length;
        fixed = type.kind == SqlType::Binary;
        return true;
    };
    auto styleOf = [](const std::vector<Token>& style) {
        return style.size() == 1 && style[0].kind == Token::Number ? std::atoi(style[0].text.c_str()) : -1;
    };
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        if (!(t[i].Is("CAST") || t[i].Is("CONVERT")) || !t[i + 1].IsOp("(")) continue;
        const size_t close = MatchParen(t, i + 1);
        if (close >= t.size()) continue;
        long long length = 0;
        bool fixed = false;
        if (t[i].Is("CAST")) {
            const size_t as = CastAs(t, i + 1, close);
            if (as < close && TypeOf(t, as + 1, close).IsInteger()) {
                // A string read as an integer has no fraction: '1.5' raises 245.
                const std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
                const std::string source = sourceOf(expr);
                if (source != "varchar" && source != "nvarchar") continue;
                std::string name = TypeOf(t, as + 1, close).Name();
                const std::vector<Token> rep = call("sandbox_int", expr, {MakeToken(Token::String, name.substr(0, name.find('('))), MakeToken(Token::Number, "1")});
                t.erase(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
                t.insert(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, rep.begin(), rep.end());
                continue;
            }
            if (as >= close || !binaryTarget(t, as + 1, close, length, fixed)) continue;
            const std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
            const std::string source = sourceOf(expr);
            if (source.empty()) continue;
            const std::vector<Token> rep = toBinary(expr, source, length, fixed);
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, rep.begin(), rep.end());
            continue;
        }
        const size_t end = TypeEnd(t, i + 2);
        if (end >= close || !t[end].IsOp(",")) continue;
        const auto args = SplitCommas(t, end + 1, close);
        if (args.empty() || args.size() > 2) continue;
        const int style = args.size() == 2 ? styleOf(args[1]) : 0;
        std::vector<Token> rep;
        if (TypeOf(t, i + 2, end).IsInteger()) {
            const std::string source = sourceOf(args[0]);
            if (source != "varchar" && source != "nvarchar") continue;
            std::string name = TypeOf(t, i + 2, end).Name();
            rep = call("sandbox_int", args[0], {MakeToken(Token::String, name.substr(0, name.find('('))), MakeToken(Token::Number, "1")});
        } else if (binaryTarget(t, i + 2, end, length, fixed)) {
            const std::string source = sourceOf(args[0]);
            if ((style == 1 || style == 2) && (source == "varchar" || source == "nvarchar")) {
                rep = toBinary(call("sandbox_unhex", args[0], {MakeToken(Token::Number, std::to_string(style))}), "binary", length, fixed);
            } else if (!source.empty()) {
                rep = toBinary(args[0], source, length, fixed);
            } else {
                continue;
            }
        } else {
            const SqlType target = TypeOf(t, i + 2, end);
            if (!(target.IsText() || target.IsUnicode()) || !isBinary(args[0])) continue;
            if (style == 1 || style == 2)
                rep = call("sandbox_hex", args[0], {MakeToken(Token::Number, std::to_string(style))});
            else
                rep = args[0];  // style 0: the bytes as characters, as CAST gives them
        }
        // The style is consumed here: CONVERT(type, converted value).
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(end) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(end) + 1, rep.begin(), rep.end());
    }
    return t;
}
