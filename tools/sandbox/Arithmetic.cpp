#include "Arithmetic.h"
#include "Scripts.h"
#include "SelectList.h"
#include "Session.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool IsInteger(SqlType::Kind k) { return k == SqlType::TinyInt || k == SqlType::SmallInt || k == SqlType::Int || k == SqlType::BigInt; }
bool IsDecimal(SqlType::Kind k) { return k == SqlType::Decimal || k == SqlType::Numeric; }
bool IsMoney(SqlType::Kind k) { return k == SqlType::Money || k == SqlType::SmallMoney; }

// The tables whose columns a statement names: those after FROM and JOIN, and UPDATE's target.
std::vector<std::string> StatementTables(const std::vector<Token>& t) {
    std::vector<std::string> tables = FromTables(t);
    if (!t.empty() && t[0].Is("UPDATE"))
        if (const std::string target = TableOfDml(t); !target.empty()) tables.push_back(target);
    return tables;
}

// Precision and scale of a decimal result beyond 38 digits: the integral part is kept and the
// scale gives way, down to 6 for products and quotients.
SqlType Bounded(int p, int s, bool keepSix) {
    if (p > 38) {
        const int integral = p - s;
        if (!keepSix)
            s = std::max(0, std::min(s, 38 - integral));
        else if (integral < 32)
            s = std::min(s, 38 - integral);
        else if (s > 6)
            s = 6;
        p = 38;
    }
    return SqlType::Of(SqlType::Numeric, 0, p, s);
}

}  // namespace

bool CombineTypes(const SqlType& a, char op, const SqlType& b, SqlType& out) {
    const bool strA = a.IsText() || a.IsUnicode(), strB = b.IsText() || b.IsUnicode();
    // datetime and smalldatetime add and subtract numbers (days), each other and strings read as
    // them; the result takes the higher of the two.
    auto oldDate = [](SqlType::Kind k) { return k == SqlType::DateTime || k == SqlType::SmallDateTime; };
    if ((op == '+' || op == '-') && (oldDate(a.kind) || oldDate(b.kind))) {
        auto fits = [&](const SqlType& x) {
            return oldDate(x.kind) || IsInteger(x.kind) || x.kind == SqlType::Bit || IsDecimal(x.kind) || IsMoney(x.kind) ||
                   x.kind == SqlType::Float || x.kind == SqlType::Real ||
                   ((x.IsText() || x.IsUnicode()) && x.kind != SqlType::Text && x.kind != SqlType::NText);
        };
        if (!fits(a) || !fits(b)) return false;
        out = SqlType::Of(a.kind == SqlType::DateTime || b.kind == SqlType::DateTime ? SqlType::DateTime : SqlType::SmallDateTime);
        return true;
    }
    // A string meeting money is read as money (money ranks higher): '1' + $1 is 2.0000.
    if (strA && !strB && IsMoney(b.kind) && a.kind != SqlType::Text && a.kind != SqlType::NText)
        return CombineTypes(SqlType::Of(SqlType::Money), op, b, out);
    if (strB && !strA && IsMoney(a.kind) && b.kind != SqlType::Text && b.kind != SqlType::NText)
        return CombineTypes(a, op, SqlType::Of(SqlType::Money), out);
    // A string meeting a decimal is read as that decimal: 9.999 * '9.999' is numeric(9,6).
    if (strA && !strB && IsDecimal(b.kind) && a.kind != SqlType::Text && a.kind != SqlType::NText) return CombineTypes(b, op, b, out);
    if (strB && !strA && IsDecimal(a.kind) && b.kind != SqlType::Text && b.kind != SqlType::NText) return CombineTypes(a, op, a, out);
    // A string meeting an integer or a float is read as that type: '1' + 2 is an int.
    auto number = [](const SqlType& x) { return IsInteger(x.kind) || x.kind == SqlType::Bit || x.kind == SqlType::Float || x.kind == SqlType::Real; };
    if (strA && !strB && number(b) && a.kind != SqlType::Text && a.kind != SqlType::NText) return CombineTypes(b, op, b, out);
    if (strB && !strA && number(a) && b.kind != SqlType::Text && b.kind != SqlType::NText) return CombineTypes(a, op, a, out);
    if (strA || strB) {
        if (op != '+' || !strA || !strB || a.kind == SqlType::Text || a.kind == SqlType::NText || b.kind == SqlType::Text ||
            b.kind == SqlType::NText)
            return false;
        const bool unicode = a.IsUnicode() || b.IsUnicode();
        const int most = unicode ? 4000 : 8000;
        const int len = a.length < 0 || b.length < 0 || a.length + b.length > most ? -1 : a.length + b.length;
        out = SqlType::Of(unicode ? SqlType::NVarChar : SqlType::VarChar, len);
        return true;
    }
    if (a.kind == SqlType::Float || b.kind == SqlType::Float) return out = SqlType::Of(SqlType::Float), true;
    if (a.kind == SqlType::Real || b.kind == SqlType::Real) return out = SqlType::Of(SqlType::Real), true;
    if (IsDecimal(a.kind) || IsDecimal(b.kind)) {
        // Money meeting a decimal is the decimal that holds it.
        auto exact = [](SqlType::Kind k) { return IsDecimal(k) || IsInteger(k) || IsMoney(k) || k == SqlType::Bit; };
        if (!exact(a.kind) || !exact(b.kind)) return false;  // dates: left to the value
        auto asDecimal = [](const SqlType& t) {
            if (t.kind == SqlType::Money) return SqlType::Of(SqlType::Numeric, 0, 19, 4);
            if (t.kind == SqlType::SmallMoney) return SqlType::Of(SqlType::Numeric, 0, 10, 4);
            return IntegerAsDecimal(t);
        };
        const SqlType x = asDecimal(a), y = asDecimal(b);
        const int p1 = x.precision, s1 = x.scale, p2 = y.precision, s2 = y.scale;
        switch (op) {
        case '+':
        case '-': {
            const int s = std::max(s1, s2);
            out = Bounded(std::max(p1 - s1, p2 - s2) + s + 1, s, false);
            return true;
        }
        case '*':
            out = Bounded(p1 + p2 + 1, s1 + s2, true);
            return true;
        case '/': {
            const int s = std::max(6, s1 + p2 + 1);
            out = Bounded(p1 - s1 + s2 + s, s, true);
            return true;
        }
        default: {
            const int s = std::max(s1, s2);
            out = Bounded(std::min(p1 - s1, p2 - s2) + s, s, false);
            return true;
        }
        }
    }
    if (IsMoney(a.kind) || IsMoney(b.kind)) {
        if (!(IsMoney(a.kind) || IsInteger(a.kind) || a.kind == SqlType::Bit) ||
            !(IsMoney(b.kind) || IsInteger(b.kind) || b.kind == SqlType::Bit))
            return false;
        out = SqlType::Of(a.kind == SqlType::SmallMoney && b.kind == SqlType::SmallMoney ? SqlType::SmallMoney : SqlType::Money);
        return true;
    }
    if ((IsInteger(a.kind) || a.kind == SqlType::Bit) && (IsInteger(b.kind) || b.kind == SqlType::Bit)) {
        static const SqlType::Kind wider[] = {SqlType::BigInt, SqlType::Int, SqlType::SmallInt, SqlType::TinyInt, SqlType::Bit};
        for (SqlType::Kind k : wider)
            if (a.kind == k || b.kind == k) return out = SqlType::Of(k == SqlType::Bit ? SqlType::Int : k), true;
    }
    return false;
}

namespace {

bool Combine(const SqlType& a, char op, const SqlType& b, SqlType& out) { return CombineTypes(a, op, b, out); }

}  // namespace

bool ArithmeticType(const std::vector<Token>& e, const std::function<SqlType(const std::vector<Token>&, bool&)>& infer, SqlType& out) {
    // Operands and the operators between them at the outer level; a sign at the start of an
    // operand belongs to it.
    std::vector<std::vector<Token>> operands(1);
    std::vector<char> ops;
    int depth = 0, cases = 0;
    for (const Token& k : e) {
        if (k.IsOp("(")) depth++;
        if (k.IsOp(")")) depth--;
        if (depth == 0 && k.Is("CASE")) cases++;
        if (depth == 0 && k.Is("END")) cases--;
        const bool op = depth == 0 && cases == 0 && k.kind == Token::Op && k.text.size() == 1 && std::string("+-*/%").find(k.text[0]) != std::string::npos;
        if (op && !operands.back().empty()) {
            ops.push_back(k.text[0]);
            operands.emplace_back();
            continue;
        }
        if (depth == 0 && cases == 0 && k.kind == Token::Op && !k.IsOp("(") && !k.IsOp(")") && !k.IsOp(".") && !k.IsOp("$") && !op)
            return false;  // comparisons and other operators
        if (depth == 0 && cases == 0 && k.kind == Token::Word && !operands.back().empty() && !k.Is("END") && !k.Is("CASE") &&
            operands.back().back().kind != Token::Op)
            return false;  // "a AS b", "x COLLATE y" and the like
        operands.back().push_back(k);
    }
    if (ops.empty() || operands.back().empty()) return false;
    std::vector<SqlType> types;
    for (const auto& o : operands) {
        bool named = false;
        const SqlType t = infer(o, named);
        if (!named || t.kind == SqlType::Variant) return false;
        types.push_back(t);
    }
    // * / % bind first, then + and -, each from the left.
    std::vector<SqlType> terms = {types[0]};
    std::vector<char> termOps;
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i] == '*' || ops[i] == '/' || ops[i] == '%') {
            if (!Combine(terms.back(), ops[i], types[i + 1], terms.back())) return false;
        } else {
            termOps.push_back(ops[i]);
            terms.push_back(types[i + 1]);
        }
    }
    SqlType acc = terms[0];
    for (size_t i = 0; i < termOps.size(); ++i)
        if (!Combine(acc, termOps[i], terms[i + 1], acc)) return false;
    out = acc;
    return true;
}

// ---------------------------------------------------------------- exact decimal arithmetic

namespace {

// A decimal value: the digits of an integer (no leading zeros, "0" for zero) times 10^-scale.
struct Exact {
    bool negative = false;
    std::string digits = "0";
    int scale = 0;
};

void Trim(std::string& d) {
    const size_t nz = d.find_first_not_of('0');
    d = nz == std::string::npos ? "0" : d.substr(nz);
}

bool ParseExact(std::string_view text, Exact& out) {
    size_t i = 0, n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
    out = Exact{};
    if (i < n && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
    std::string digits;
    int scale = 0;
    bool any = false, point = false;
    for (; i < n && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.' && !point) {
            point = true;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') return false;
        digits += text[i];
        any = true;
        if (point) ++scale;
    }
    if (!any) return false;
    if (i < n) {  // an exponent, from a double's text
        const int e = std::atoi(std::string(text.substr(i + 1, n - i - 1)).c_str());
        scale -= e;
        if (scale < 0) {
            digits.append(static_cast<size_t>(-scale), '0');
            scale = 0;
        }
    }
    Trim(digits);
    out.digits = digits;
    out.scale = scale;
    if (out.digits == "0") out.negative = false;
    return true;
}

int CompareMagnitude(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string AddMagnitude(const std::string& a, const std::string& b) {
    std::string r;
    int carry = 0;
    for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
        const int x = (i < a.size() ? a[a.size() - 1 - i] - '0' : 0) + (i < b.size() ? b[b.size() - 1 - i] - '0' : 0) + carry;
        r += static_cast<char>('0' + x % 10);
        carry = x / 10;
    }
    std::reverse(r.begin(), r.end());
    Trim(r);
    return r;
}

// a - b for a >= b.
std::string SubtractMagnitude(const std::string& a, const std::string& b) {
    std::string r;
    int borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int x = (a[a.size() - 1 - i] - '0') - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0) - borrow;
        borrow = x < 0 ? 1 : 0;
        r += static_cast<char>('0' + x + borrow * 10);
    }
    std::reverse(r.begin(), r.end());
    Trim(r);
    return r;
}

std::string MultiplyMagnitude(const std::string& a, const std::string& b) {
    std::vector<int> r(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j) r[i + j + 1] += (a[i] - '0') * (b[j] - '0');
    for (size_t k = r.size() - 1; k > 0; --k) {
        r[k - 1] += r[k] / 10;
        r[k] %= 10;
    }
    std::string out;
    for (int d : r) out += static_cast<char>('0' + d);
    Trim(out);
    return out;
}

// The quotient of a / b (b not zero); the remainder goes to rest.
std::string DivideMagnitude(const std::string& a, const std::string& b, std::string& rest) {
    std::string q, r = "0";
    for (char c : a) {
        r = r == "0" ? std::string(1, c) : r + c;
        Trim(r);
        int d = 0;
        while (CompareMagnitude(r, b) >= 0) {
            r = SubtractMagnitude(r, b);
            ++d;
        }
        q += static_cast<char>('0' + d);
    }
    Trim(q);
    rest = r;
    return q;
}

std::string Shifted(const std::string& digits, int zeros) { return digits == "0" ? digits : digits + std::string(static_cast<size_t>(zeros), '0'); }

// The value at the scale, rounding half away from zero as SQL Server does.
Exact Rounded(Exact v, int scale) {
    if (v.scale < scale) {
        v.digits = Shifted(v.digits, scale - v.scale);
    } else if (v.scale > scale) {
        const size_t cut = static_cast<size_t>(v.scale - scale);
        std::string d = v.digits;
        if (d.size() <= cut) d.insert(0, cut + 1 - d.size(), '0');
        const bool up = d[d.size() - cut] >= '5';
        d.resize(d.size() - cut);
        v.digits = up ? AddMagnitude(d, "1") : d;
        Trim(v.digits);
    }
    v.scale = scale;
    if (v.digits == "0") v.negative = false;
    return v;
}

Exact Signed(bool negative, std::string digits, int scale) {
    Exact v;
    v.negative = negative && digits != "0";
    v.digits = std::move(digits);
    v.scale = scale;
    return v;
}

Exact AddExact(Exact a, Exact b, bool subtract) {
    const int scale = std::max(a.scale, b.scale);
    a = Rounded(a, scale);
    b = Rounded(b, scale);
    if (subtract) b.negative = !b.negative;
    if (a.negative == b.negative) return Signed(a.negative, AddMagnitude(a.digits, b.digits), scale);
    if (CompareMagnitude(a.digits, b.digits) >= 0) return Signed(a.negative, SubtractMagnitude(a.digits, b.digits), scale);
    return Signed(b.negative, SubtractMagnitude(b.digits, a.digits), scale);
}

std::string FormatExact(const Exact& v) {
    std::string d = v.digits;
    const auto sc = static_cast<size_t>(v.scale);
    if (d.size() <= sc) d.insert(0, sc + 1 - d.size(), '0');
    std::string out = (v.negative ? "-" : "") + d.substr(0, d.size() - sc);
    if (sc > 0) out += "." + d.substr(d.size() - sc);
    return out;
}

bool ExactOf(sqlite3_value* v, Exact& out) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        return ParseExact(std::to_string(sqlite3_value_int64(v)), out);
    case SQLITE_FLOAT: {
        // A literal of up to 15 significant digits comes back as written.
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", sqlite3_value_double(v));
        return ParseExact(buf, out);
    }
    case SQLITE_TEXT:
        return ParseExact(std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(v)), static_cast<size_t>(sqlite3_value_bytes(v))),
                          out);
    default:
        return false;
    }
}

// The value in the type, or the message of SQL Server's overflow error (8115).
bool Fit(Exact& v, const SqlType& type, std::string& error) {
    const bool money = type.kind == SqlType::Money || type.kind == SqlType::SmallMoney;
    v = Rounded(v, money ? 4 : type.scale);
    bool fits;
    if (money) {
        const char* most = type.kind == SqlType::Money ? (v.negative ? "9223372036854775808" : "9223372036854775807")
                                                       : (v.negative ? "2147483648" : "2147483647");
        fits = CompareMagnitude(v.digits, most) <= 0;
    } else {
        fits = static_cast<int>(v.digits.size()) <= type.precision || v.digits == "0";
    }
    if (fits) return true;
    error = "arithmetic overflow: " + std::string(money ? type.kind == SqlType::Money ? "money" : "smallmoney" : "numeric");
    return false;
}

// A result of up to 15 significant digits goes as a double, which holds it exactly and compares
// with numbers as one; a longer one as its exact text.
void ResultExact(sqlite3_context* ctx, const Exact& r) {
    const std::string out = FormatExact(r);
    if (r.digits.size() <= 15) return sqlite3_result_double(ctx, std::strtod(out.c_str(), nullptr));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// sandbox_dectext(v): a number or decimal text as plain decimal text; anything else unchanged.
void FnDecText(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Exact v;
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || !ExactOf(argv[0], v)) return sqlite3_result_value(ctx, argv[0]);
    const std::string out = FormatExact(v);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// sandbox_decscaled(v, scale): a number or decimal text with exactly the scale's digits.
void FnDecScaled(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Exact v;
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || !ExactOf(argv[0], v)) return sqlite3_result_value(ctx, argv[0]);
    const std::string out = FormatExact(Rounded(v, sqlite3_value_int(argv[1])));
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void FnExact(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    const char* op = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const char* typeText = reinterpret_cast<const char*>(sqlite3_value_text(argv[3]));
    Exact a, b;
    SqlType type;
    const bool money = typeText && (std::strstr(typeText, "money") != nullptr);
    if (!op || !typeText || !ParseSqlType(typeText, type) || !ExactOf(argv[1], a) || !ExactOf(argv[2], b))
        return sqlite3_result_error(
            ctx, money ? "Cannot convert a char value to money. The char value has incorrect syntax." : "Error converting data type varchar to numeric.",
            -1);
    const int scale = money ? 4 : type.scale;
    Exact r;
    switch (op[0]) {
    case '+':
    case '-':
        r = AddExact(a, b, op[0] == '-');
        break;
    case '*':
        r = Signed(a.negative != b.negative, MultiplyMagnitude(a.digits, b.digits), a.scale + b.scale);
        break;
    case '/':
    case '%': {
        if (b.digits == "0") return sqlite3_result_error(ctx, "divide by zero", -1);
        if (op[0] == '%') {
            const int sc = std::max(a.scale, b.scale);
            std::string rest;
            DivideMagnitude(Rounded(a, sc).digits, Rounded(b, sc).digits, rest);
            r = Signed(a.negative, rest, sc);
            break;
        }
        // a / b at the scale: the integers a * 10^(scale + b.scale - a.scale) and b divided, rounded.
        const int k = scale + b.scale - a.scale;
        const std::string num = k >= 0 ? Shifted(a.digits, k) : a.digits;
        const std::string den = k >= 0 ? b.digits : Shifted(b.digits, -k);
        std::string rest;
        std::string q = DivideMagnitude(num, den, rest);
        if (CompareMagnitude(AddMagnitude(rest, rest), den) >= 0) q = AddMagnitude(q, "1");
        r = Signed(a.negative != b.negative, q, scale);
        break;
    }
    default:
        return sqlite3_result_error(ctx, "unknown operator", -1);
    }
    std::string error;
    if (!Fit(r, type, error)) return sqlite3_result_error(ctx, error.c_str(), -1);
    ResultExact(ctx, r);
}

// sandbox_rounding('ROUND', x, length, truncate, 'type'), and FLOOR, CEILING and ABS with the
// length and truncate unused: exact for integers, decimals and money, the result in the
// argument's type (overflow is 8115, as ROUND(9.9, 0) gives on SQL Server).
void FnRounding(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    const std::string fn = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const char* typeText = reinterpret_cast<const char*>(sqlite3_value_text(argv[4]));
    SqlType type;
    if (!typeText || !ParseSqlType(typeText, type)) return sqlite3_result_value(ctx, argv[1]);
    if (type.kind == SqlType::Float || type.kind == SqlType::Real) {
        const double x = sqlite3_value_double(argv[1]);
        if (fn == "ABS") return sqlite3_result_double(ctx, std::fabs(x));
        if (fn == "FLOOR") return sqlite3_result_double(ctx, std::floor(x));
        if (fn == "CEILING") return sqlite3_result_double(ctx, std::ceil(x));
        const double scale = std::pow(10.0, static_cast<double>(sqlite3_value_int64(argv[2])));
        const double shifted = x * scale;
        const double kept = sqlite3_value_int64(argv[3]) != 0 ? std::trunc(shifted) : std::round(shifted);
        return sqlite3_result_double(ctx, kept / scale);
    }
    Exact v;
    if (!ExactOf(argv[1], v)) return sqlite3_result_value(ctx, argv[1]);
    const bool integer = type.IsInteger();
    if (fn == "ABS") {
        v.negative = false;
    } else {
        // Digits kept after the point: the length for ROUND, none for FLOOR and CEILING.
        const long long keep = fn == "ROUND" ? sqlite3_value_int64(argv[2]) : 0;
        const bool truncate = fn == "ROUND" && sqlite3_value_int64(argv[3]) != 0;
        if (keep < v.scale) {
            const long long cut = static_cast<long long>(v.scale) - keep;
            std::string d = v.digits;
            if (static_cast<long long>(d.size()) <= cut) d.insert(0, static_cast<size_t>(cut + 1 - static_cast<long long>(d.size())), '0');
            const std::string dropped = d.substr(d.size() - static_cast<size_t>(cut));
            d.resize(d.size() - static_cast<size_t>(cut));
            const bool any = dropped.find_first_not_of('0') != std::string::npos;
            bool up = false;
            if (fn == "ROUND")
                up = !truncate && dropped[0] >= '5';
            else
                up = any && (fn == "CEILING") != v.negative;  // away from zero: CEILING of a positive, FLOOR of a negative
            if (up) d = AddMagnitude(d, "1");
            Trim(d);
            // Back to the value's own scale, as ROUND keeps it (1.234 rounded to 2 is 1.230).
            v = Signed(v.negative, keep >= 0 ? d : Shifted(d, static_cast<int>(-keep)), static_cast<int>(std::max(keep, 0LL)));
            if (fn != "ROUND") v.scale = 0;
        }
    }
    if (integer) {
        v = Rounded(v, 0);
        const std::string out = FormatExact(v);
        errno = 0;
        const long long n = std::strtoll(out.c_str(), nullptr, 10);
        const bool big = type.kind == SqlType::BigInt;
        if (errno == ERANGE || (!big && (n < INT32_MIN || n > INT32_MAX)))
            return sqlite3_result_error(ctx, big ? "arithmetic overflow: bigint" : "arithmetic overflow: int", -1);
        return sqlite3_result_int64(ctx, n);
    }
    std::string error;
    if (!Fit(v, type, error)) return sqlite3_result_error(ctx, error.c_str(), -1);
    ResultExact(ctx, v);
}

// SUM and AVG of money and AVG of decimals, exact. The state lives in SQLite's aggregate memory
// as a pointer to the running total.
struct ExactTotal {
    Exact* sum;
    long long count;
    int maxScale;
};

void ExactTotalStep(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    auto* acc = static_cast<ExactTotal*>(sqlite3_aggregate_context(ctx, sizeof(ExactTotal)));
    if (!acc) return sqlite3_result_error_nomem(ctx);
    Exact v;
    if (!ExactOf(argv[0], v)) return;
    if (!acc->sum) acc->sum = new Exact();
    *acc->sum = AddExact(*acc->sum, v, false);
    acc->maxScale = std::max(acc->maxScale, v.scale);
    acc->count++;
}

enum TotalKind { kMoneySum, kDecimalAvg, kMoneyAvg };

// A value leaving a window frame.
void ExactTotalInverse(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    auto* acc = static_cast<ExactTotal*>(sqlite3_aggregate_context(ctx, sizeof(ExactTotal)));
    Exact v;
    if (!acc || !acc->sum || !ExactOf(argv[0], v)) return;
    *acc->sum = AddExact(*acc->sum, v, true);
    acc->count--;
}

void ExactTotalValue(sqlite3_context* ctx) {
    auto* acc = static_cast<ExactTotal*>(sqlite3_aggregate_context(ctx, 0));
    if (!acc || !acc->sum || acc->count == 0) return sqlite3_result_null(ctx);
    const Exact sum = *acc->sum;
    const auto kind = static_cast<TotalKind>(reinterpret_cast<std::intptr_t>(sqlite3_user_data(ctx)));
    Exact r = sum;
    SqlType type = SqlType::Of(SqlType::Money);
    if (kind != kMoneySum) {
        // The average at the result type's scale (4 for money, at least 6 for decimals), rounded.
        const int scale = kind == kMoneyAvg ? 4 : std::max(6, acc->maxScale);
        const std::string count = std::to_string(acc->count);
        const int k = scale - sum.scale;
        const std::string num = k >= 0 ? Shifted(sum.digits, k) : sum.digits;
        const std::string den = k >= 0 ? count : Shifted(count, -k);
        std::string rest;
        std::string q = DivideMagnitude(num, den, rest);
        if (CompareMagnitude(AddMagnitude(rest, rest), den) >= 0) q = AddMagnitude(q, "1");
        r = Signed(sum.negative, q, scale);
        if (kind == kDecimalAvg) type = SqlType::Of(SqlType::Numeric, 0, 38, scale);
    }
    std::string error;
    if (!Fit(r, type, error)) return sqlite3_result_error(ctx, error.c_str(), -1);
    ResultExact(ctx, r);
}

void ExactTotalFinal(sqlite3_context* ctx) {
    ExactTotalValue(ctx);
    auto* acc = static_cast<ExactTotal*>(sqlite3_aggregate_context(ctx, 0));
    if (acc) {
        delete acc->sum;
        acc->sum = nullptr;
    }
}

}  // namespace

std::string DecimalAtScale(const SqlValue& value, int scale) {
    std::string text = value.AsText();
    if (value.type == SqlValue::Real) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", value.d);
        text = buf;
    }
    Exact v;
    return ParseExact(text, v) ? FormatExact(Rounded(v, scale)) : text;
}

void RegisterExactArithmetic(sqlite3* db) {
    sqlite3_create_function_v2(db, "sandbox_exact", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnExact, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_decscaled", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnDecScaled, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_rounding", 5, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnRounding, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_dectext", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, FnDecText, nullptr, nullptr, nullptr);
    const std::pair<const char*, TotalKind> totals[] = {{"sandbox_moneysum", kMoneySum}, {"sandbox_decavg", kDecimalAvg}, {"sandbox_moneyavg", kMoneyAvg}};
    for (const auto& [name, kind] : totals)
        sqlite3_create_window_function(db, name, 1, SQLITE_UTF8, reinterpret_cast<void*>(static_cast<std::intptr_t>(kind)), ExactTotalStep,
                                       ExactTotalFinal, ExactTotalValue, ExactTotalInverse, nullptr);
}

// ---------------------------------------------------------------- rewriting decimal arithmetic

namespace {

bool IsArithmeticOp(const Token& t) { return t.IsOp("+") || t.IsOp("-") || t.IsOp("*") || t.IsOp("/") || t.IsOp("%"); }

bool IsReserved(const Token& t) {
    static const char* const kWords[] = {"SELECT", "FROM",   "WHERE",   "AND",    "OR",     "NOT",       "THEN",    "ELSE",    "WHEN",
                                         "ON",     "AS",     "BY",      "IS",     "IN",     "LIKE",      "BETWEEN", "RETURN",  "SET",
                                         "VALUES", "HAVING", "TOP",     "END",    "DISTINCT", "ALL",     "ASC",     "DESC",    "ORDER",
                                         "GROUP",  "UNION",  "JOIN",    "INTO",   "EXISTS", "EXCEPT",    "INTERSECT", "OPTION", "WITH",
                                         "OVER",   "PRINT",  "IF",      "WHILE",  "BEGIN",  "DECLARE",   "INSERT",  "UPDATE",  "DELETE",
                                         "EXEC",   "EXECUTE", "ESCAPE", "COLLATE", "CASE",  "NULL",      "DEFAULT", "PERCENT", "ROWS"};
    if (t.kind != Token::Word) return false;
    for (const char* w : kWords)
        if (t.value == w) return true;
    return false;
}

// The end (exclusive) of the operand that starts at i: a literal, variable, name (a.b.c),
// function call, parenthesised group or CASE ... END, after any signs; i when none starts there.
size_t OperandAt(const std::vector<Token>& t, size_t i) {
    size_t k = i;
    while (k < t.size() && (t[k].IsOp("-") || t[k].IsOp("+"))) ++k;
    if (k >= t.size()) return i;
    const Token& x = t[k];
    if (x.kind == Token::Number || x.kind == Token::String || x.kind == Token::Variable || x.kind == Token::Hex) return k + 1;
    if (x.IsOp("$") && k + 1 < t.size() && t[k + 1].kind == Token::Number) return k + 2;  // $1.25
    if (x.IsOp("(")) {
        const size_t close = MatchParen(t, k);
        return close < t.size() ? close + 1 : i;
    }
    if (x.Is("CASE")) {
        int depth = 0;
        for (size_t j = k; j < t.size(); ++j) {
            if (t[j].Is("CASE")) depth++;
            if (t[j].Is("END") && --depth == 0) return j + 1;
        }
        return i;
    }
    if (!x.IsName() || IsReserved(x)) return i;
    while (k + 2 < t.size() && t[k + 1].IsOp(".") && t[k + 2].IsName()) k += 2;
    if (k + 1 < t.size() && t[k + 1].IsOp("(")) {
        const size_t close = MatchParen(t, k + 1);
        return close < t.size() ? close + 1 : i;
    }
    return k + 1;
}

bool IsExactKind(SqlType::Kind k) {
    return k == SqlType::Decimal || k == SqlType::Numeric || k == SqlType::Money || k == SqlType::SmallMoney;
}

}  // namespace

std::vector<Token> ComparedAsNumber(std::vector<Token> value) {
    std::vector<Token> out = {MakeToken(Token::Word, "CAST"), MakeToken(Token::Op, "(", false), MakeToken(Token::Word, "sandbox_dectext", false),
                              MakeToken(Token::Op, "(", false)};
    if (!value.empty()) value[0].spaceBefore = false;
    out.insert(out.end(), value.begin(), value.end());
    const Token tail[] = {MakeToken(Token::Op, ")", false), MakeToken(Token::Word, "AS"), MakeToken(Token::Word, "TEXT"),
                          MakeToken(Token::Op, ")", false), MakeToken(Token::Word, "COLLATE"), MakeToken(Token::Word, "sandbox_numeric")};
    out.insert(out.end(), std::begin(tail), std::end(tail));
    return out;
}

bool NextToComparison(const std::vector<Token>& t, size_t from, size_t to) {
    auto comparison = [](const Token& k) {
        return k.IsOp("=") || k.IsOp("<") || k.IsOp(">") || k.IsOp("<=") || k.IsOp(">=") || k.IsOp("<>") || k.IsOp("!=") || k.IsOp("!<") ||
               k.IsOp("!>");
    };
    size_t before = from;
    while (before > 0 && t[before - 1].IsOp("(")) --before;
    if (before > 0 && (comparison(t[before - 1]) || t[before - 1].Is("BETWEEN"))) return true;
    size_t after = to;
    while (after < t.size() && t[after].IsOp(")")) ++after;
    if (after < t.size() && t[after].Is("NOT")) ++after;
    return after < t.size() && (comparison(t[after]) || t[after].Is("BETWEEN") || t[after].Is("IN"));
}

std::vector<Token> Session::ExactArithmetic(std::vector<Token> t, int depth) {
    if (depth > 32 || std::none_of(t.begin(), t.end(), [](const Token& k) { return IsArithmeticOp(k); })) return t;
    const bool outer = depth == 0;
    std::vector<std::string> tables;
    std::vector<DerivedTable> derived;
    if (outer) {
        // Columns are typed from the statement's tables, as a result's are.
        tables = StatementTables(t);
        for (auto& table : tables) table = TempName(table);
        derived = DerivedTables(t);
        std::swap(tables, describeTables_);
        std::swap(derived, derived_);
    }
    std::vector<Token> out;
    out.reserve(t.size());
    auto infer = [this](const std::vector<Token>& e, bool& named) { return InferExprType(e, named); };
    for (size_t i = 0; i < t.size();) {
        const bool midOperand = i > 0 && (t[i - 1].IsOp(".") || t[i - 1].IsOp("$") || IsArithmeticOp(t[i - 1]));
        std::vector<std::pair<size_t, size_t>> operands;
        std::vector<char> ops;
        size_t end = midOperand ? i : OperandAt(t, i);
        if (end > i) {
            operands.push_back({i, end});
            while (end + 1 < t.size() && IsArithmeticOp(t[end])) {
                const size_t next = OperandAt(t, end + 1);
                if (next == end + 1) break;
                ops.push_back(t[end].text[0]);
                operands.push_back({end + 1, next});
                end = next;
            }
        }
        if (ops.empty()) {
            out.push_back(t[i++]);
            continue;
        }
        // The chain's types: each operand's, then * / % before + -, from the left, as a tree of calls.
        struct Node {
            std::vector<Token> tokens;
            SqlType type;
        };
        std::vector<Node> nodes;
        bool typed = true;
        for (const auto& [from, to] : operands) {
            std::vector<Token> e(t.begin() + static_cast<std::ptrdiff_t>(from), t.begin() + static_cast<std::ptrdiff_t>(to));
            bool named = false;
            SqlType type = infer(e, named);
            typed = typed && named && type.kind != SqlType::Variant;
            // Inside the operand (arguments, groups), its own arithmetic.
            std::vector<Token> inner(e.begin(), e.end());
            size_t open = 0;
            while (open < inner.size() && !inner[open].IsOp("(") && !inner[open].Is("CASE")) ++open;
            const bool group = open < inner.size() && inner.back().IsOp(")") && MatchParen(inner, open) == inner.size() - 1;
            const bool caseEnd = open < inner.size() && inner[open].Is("CASE") && inner.back().Is("END");
            if (group || caseEnd) {
                std::vector<Token> body(inner.begin() + static_cast<std::ptrdiff_t>(open) + 1, inner.end() - 1);
                body = ExactArithmetic(body, depth + 1);
                inner.erase(inner.begin() + static_cast<std::ptrdiff_t>(open) + 1, inner.end() - 1);
                inner.insert(inner.begin() + static_cast<std::ptrdiff_t>(open) + 1, body.begin(), body.end());
            }
            nodes.push_back({std::move(inner), type});
        }
        auto call = [](char op, const Node& a, const Node& b, const SqlType& type) {
            Node n;
            n.type = type;
            n.tokens = {MakeToken(Token::Word, "sandbox_exact"), MakeToken(Token::Op, "(", false), MakeToken(Token::String, std::string(1, op), false),
                        MakeToken(Token::Op, ",", false)};
            n.tokens.insert(n.tokens.end(), a.tokens.begin(), a.tokens.end());
            n.tokens.push_back(MakeToken(Token::Op, ",", false));
            n.tokens.insert(n.tokens.end(), b.tokens.begin(), b.tokens.end());
            n.tokens.push_back(MakeToken(Token::Op, ",", false));
            n.tokens.push_back(MakeToken(Token::String, type.Name()));
            n.tokens.push_back(MakeToken(Token::Op, ")", false));
            return n;
        };
        // An operation is exact when its result is a decimal or money; the others keep SQLite's
        // arithmetic, operands and operators as written.
        // A string operand is first converted to the type it is read as (the other operand's
        // decimal type, or money), with that type's errors: 8114 or 235 for text that is no
        // number, 8115 when it does not fit.
        auto readAs = [](const Node& n, const SqlType& other) {
            const bool text = (n.type.IsText() || n.type.IsUnicode()) && n.type.kind != SqlType::Text && n.type.kind != SqlType::NText;
            if (!text || !IsExactKind(other.kind)) return n;
            const SqlType type = IsMoney(other.kind) ? SqlType::Of(SqlType::Money) : other;
            Node r;
            r.type = type;
            r.tokens = {MakeToken(Token::Word, "sandbox_decimal"), MakeToken(Token::Op, "(", false)};
            r.tokens.insert(r.tokens.end(), n.tokens.begin(), n.tokens.end());
            for (const std::string& arg : {std::to_string(IsMoney(type.kind) ? 19 : type.precision), std::to_string(IsMoney(type.kind) ? 4 : type.scale)}) {
                r.tokens.push_back(MakeToken(Token::Op, ",", false));
                r.tokens.push_back(MakeToken(Token::Number, arg));
            }
            if (IsMoney(type.kind)) {
                r.tokens.push_back(MakeToken(Token::Op, ",", false));
                Token name = MakeToken(Token::String, SqlLiteral(type.Name()));
                name.value = type.Name();
                r.tokens.push_back(name);
            }
            r.tokens.push_back(MakeToken(Token::Op, ")", false));
            return r;
        };
        // A string meeting an integer or a float is read as that type (it ranks higher): '1' + 2
        // is 3, and 'a' * 2 raises 245 as the conversion fails. Two strings are joined.
        auto numeric = [](const SqlType& x) { return IsInteger(x.kind) || x.kind == SqlType::Float || x.kind == SqlType::Real; };
        auto plainText = [](const SqlType& x) { return (x.IsText() || x.IsUnicode()) && x.kind != SqlType::Text && x.kind != SqlType::NText; };
        auto textAs = [](const Node& n, const SqlType& other) {
            const bool integer = IsInteger(other.kind);
            Node r;
            r.type = other;
            r.tokens = {MakeToken(Token::Word, integer ? "sandbox_int" : "sandbox_float"), MakeToken(Token::Op, "(", false)};
            r.tokens.insert(r.tokens.end(), n.tokens.begin(), n.tokens.end());
            if (integer) {
                r.tokens.push_back(MakeToken(Token::Op, ",", false));
                const std::string name = other.Name();
                r.tokens.push_back(MakeToken(Token::String, name.substr(0, name.find('('))));
                r.tokens.push_back(MakeToken(Token::Op, ",", false));
                r.tokens.push_back(MakeToken(Token::Number, "1"));
            }
            r.tokens.push_back(MakeToken(Token::Op, ")", false));
            return r;
        };
        // sandbox_datemath('+', a, 'type of a', b, 'type of b', 'datetime')
        auto dateMath = [](char op, const Node& a, const Node& b, const SqlType& type) {
            Node n;
            n.type = type;
            n.tokens = {MakeToken(Token::Word, "sandbox_datemath"), MakeToken(Token::Op, "(", false), MakeToken(Token::String, std::string(1, op), false)};
            for (const Node* side : {&a, &b}) {
                n.tokens.push_back(MakeToken(Token::Op, ",", false));
                n.tokens.insert(n.tokens.end(), side->tokens.begin(), side->tokens.end());
                n.tokens.push_back(MakeToken(Token::Op, ",", false));
                n.tokens.push_back(MakeToken(Token::String, side->type.Name()));
            }
            n.tokens.push_back(MakeToken(Token::Op, ",", false));
            n.tokens.push_back(MakeToken(Token::String, type.Name()));
            n.tokens.push_back(MakeToken(Token::Op, ")", false));
            return n;
        };
        // date, datetime2, time and datetimeoffset take no number of days: SQL Server refuses
        // cast(getdate() as date) - 1 with 206, where SQLite would subtract from the text.
        auto newerDate = [](const SqlType& x) {
            return x.kind == SqlType::Date || x.kind == SqlType::DateTime2 || x.kind == SqlType::Time || x.kind == SqlType::DateTimeOffset;
        };
        auto number = [](const SqlType& x) {
            return IsInteger(x.kind) || x.kind == SqlType::Bit || IsDecimal(x.kind) || IsMoney(x.kind) || x.kind == SqlType::Float ||
                   x.kind == SqlType::Real;
        };
        auto clash = [](const SqlType& left, const SqlType& right) {
            Node n;
            n.type = left;
            n.tokens = {MakeToken(Token::Word, "sandbox_clash"), MakeToken(Token::Op, "(", false)};
            for (const SqlType* x : {&left, &right}) {
                if (x == &right) n.tokens.push_back(MakeToken(Token::Op, ",", false));
                const std::string name = x->Name();
                n.tokens.push_back(MakeToken(Token::String, name.substr(0, name.find('('))));
            }
            n.tokens.push_back(MakeToken(Token::Op, ")", false));
            return n;
        };
        auto combine = [&](Node& a, char op, const Node& b) {
            SqlType r;
            if (typed && (op == '+' || op == '-') && ((newerDate(a.type) && number(b.type)) || (number(a.type) && newerDate(b.type)))) {
                a = clash(a.type, b.type);
                return;
            }
            if (typed && CombineTypes(a.type, op, b.type, r) && (r.kind == SqlType::DateTime || r.kind == SqlType::SmallDateTime)) {
                a = dateMath(op, a, b, r);
                return;
            }
            if (typed && CombineTypes(a.type, op, b.type, r) && IsExactKind(r.kind)) {
                a = call(op, readAs(a, b.type), readAs(b, a.type), r);
                return;
            }
            if (typed && op == '+' && plainText(a.type) && plainText(b.type) && CombineTypes(a.type, op, b.type, r)) {
                // Two strings: joined, whatever they are (variables, columns, function results).
                a.tokens.push_back(MakeToken(Token::Op, "||"));
                a.tokens.insert(a.tokens.end(), b.tokens.begin(), b.tokens.end());
                a.type = r;
                return;
            }
            if (typed && ((plainText(a.type) && numeric(b.type)) || (numeric(a.type) && plainText(b.type)))) {
                const bool textLeft = plainText(a.type);
                Node left = textLeft ? textAs(a, b.type) : a;
                const Node right = textLeft ? b : textAs(b, a.type);
                left.tokens.push_back(MakeToken(Token::Op, std::string(1, op)));
                left.tokens.insert(left.tokens.end(), right.tokens.begin(), right.tokens.end());
                a = std::move(left);
                return;
            }
            a.tokens.push_back(MakeToken(Token::Op, std::string(1, op)));
            a.tokens.insert(a.tokens.end(), b.tokens.begin(), b.tokens.end());
            a.type = SqlType::Of(SqlType::Variant);
        };
        std::vector<Node> terms = {nodes[0]};
        std::vector<char> termOps;
        for (size_t k = 0; k < ops.size(); ++k) {
            if (ops[k] == '*' || ops[k] == '/' || ops[k] == '%')
                combine(terms.back(), ops[k], nodes[k + 1]);
            else {
                termOps.push_back(ops[k]);
                terms.push_back(nodes[k + 1]);
            }
        }
        Node acc = terms[0];
        for (size_t k = 0; k < termOps.size(); ++k) combine(acc, termOps[k], terms[k + 1]);
        if (IsExactKind(acc.type.kind) && !acc.tokens.empty() && acc.tokens[0].Is("SANDBOX_EXACT") && NextToComparison(t, i, end))
            acc.tokens = ComparedAsNumber(std::move(acc.tokens));
        if (!acc.tokens.empty()) acc.tokens[0].spaceBefore = t[i].spaceBefore;
        out.insert(out.end(), acc.tokens.begin(), acc.tokens.end());
        i = end;
    }
    if (outer) {
        std::swap(tables, describeTables_);
        std::swap(derived, derived_);
    }
    return out;
}

Session::StatementTablesInView::StatementTablesInView(Session& session, const std::vector<Token>& statement, bool updateTarget)
    : session_(session), tables_(updateTarget ? StatementTables(statement) : FromTables(statement)), derived_(DerivedTables(statement)) {
    for (auto& table : tables_) table = session.TempName(table);
    std::swap(tables_, session_.describeTables_);
    std::swap(derived_, session_.derived_);
}

Session::StatementTablesInView::~StatementTablesInView() {
    std::swap(tables_, session_.describeTables_);
    std::swap(derived_, session_.derived_);
}

std::vector<Token> Session::ValuesAsText(std::vector<Token> given) {
    auto rounding = [](const Token& k) { return k.Is("ROUND") || k.Is("FLOOR") || k.Is("CEILING") || k.Is("ABS"); };
    const bool any = std::any_of(given.begin(), given.end(), [&rounding](const Token& k) {
        return k.Is("CAST") || k.Is("CONVERT") || k.Is("SQL_VARIANT_PROPERTY") || rounding(k);
    });
    if (!any) return given;
    std::vector<Token> t = std::move(given);
    const StatementTablesInView inView(*this, t, true);
    auto formOf = [this](const std::vector<Token>& e) {
        bool named = false;
        const SqlType type = InferExprType(e, named);
        return named ? TextFormOf(type) : TextForm{};
    };
    auto toText = [](const SqlType& type) { return type.kind != SqlType::Text && type.kind != SqlType::NText && (type.IsText() || type.IsUnicode()); };
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        if (!(t[i].Is("CAST") || t[i].Is("CONVERT") || t[i].Is("SQL_VARIANT_PROPERTY") || rounding(t[i])) || !t[i + 1].IsOp("(")) continue;
        const size_t close = MatchParen(t, i + 1);
        if (close >= t.size()) continue;
        if (rounding(t[i])) {
            // sandbox_rounding('ROUND', x, length, truncate, 'type'): exact, in the argument's type
            // (SQLite's own would round through a double and ignore a negative length).
            const auto args = SplitCommas(t, i + 2, close);
            const bool round = t[i].Is("ROUND");
            if (args.empty() || args.size() > (round ? 3u : 1u) || (round && args.size() < 2)) continue;
            bool named = false;
            const SqlType type = InferExprType(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1), named);
            if (!named || !(type.IsInteger() || IsExactKind(type.kind) || type.kind == SqlType::Float)) continue;
            std::vector<Token> rep = {MakeToken(Token::Word, "sandbox_rounding", t[i].spaceBefore), MakeToken(Token::Op, "(", false),
                                      MakeToken(Token::String, Upper(t[i].kind == Token::Word ? t[i].text : t[i].value), false)};
            for (size_t a = 0; a < 3; ++a) {
                rep.push_back(MakeToken(Token::Op, ",", false));
                if (a < args.size())
                    rep.insert(rep.end(), args[a].begin(), args[a].end());
                else
                    rep.push_back(MakeToken(Token::Number, "0"));
            }
            rep.push_back(MakeToken(Token::Op, ",", false));
            rep.push_back(MakeToken(Token::String, type.Name()));
            rep.push_back(MakeToken(Token::Op, ")", false));
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
            continue;
        }
        if (t[i].Is("SQL_VARIANT_PROPERTY")) {
            // sandbox_variantproperty(value, property, 'base type'), the base type empty when
            // the value's storage class decides it.
            const auto args = SplitCommas(t, i + 2, close);
            if (args.size() != 2) continue;
            bool named = false;
            SqlType type = InferExprType(args[0], named);
            if (type.kind == SqlType::Variant) {
                type.kind = type.base;
                type.base = SqlType::Variant;
            }
            const std::string base = named && type.kind != SqlType::Variant ? type.Declared() : std::string();
            t[i] = MakeToken(Token::Word, "sandbox_variantproperty", t[i].spaceBefore);
            const Token tail[] = {MakeToken(Token::Op, ",", false), MakeToken(Token::String, base)};
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(close), std::begin(tail), std::end(tail));
            continue;
        }
        if (t[i].Is("CAST")) {
            const size_t as = CastAs(t, i + 1, close);
            if (as >= close || !toText(TypeOf(t, as + 1, close))) continue;
            std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
            const TextForm form = formOf(expr);
            if (form.kind == TextForm::Stored) continue;
            const std::vector<Token> rep = TextFormTokens(expr, form);
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, rep.begin(), rep.end());
        } else {
            const size_t end = TypeEnd(t, i + 2);
            if (end >= close || !t[end].IsOp(",") || !toText(TypeOf(t, i + 2, end))) continue;
            auto args = SplitCommas(t, end + 1, close);
            if (args.empty() || args.size() > 2) continue;
            const TextForm form = formOf(args[0]);
            // A date with a style is written by the translation's sandbox_to_style.
            if (form.kind == TextForm::Stored || (form.kind == TextForm::DateTime && args.size() == 2)) continue;
            const std::vector<Token> rep = TextFormTokens(args[0], form, args.size() == 2 ? args[1] : std::vector<Token>{});
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(end) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(end) + 1, rep.begin(), rep.end());
        }
    }
    return t;
}

std::vector<Token> Session::TextComparisons(std::vector<Token> given) {
    // Two strings compared where neither is a column (literals, variables, function results): SQLite
    // compares them byte by byte, SQL Server by the default collation, without regard to case or
    // trailing blanks. The right operand gets COLLATE NOCASE (the stand-in's NOCASE is that
    // collation); a column keeps its own.
    auto comparison = [](const Token& k) {
        return k.IsOp("=") || k.IsOp("<") || k.IsOp(">") || k.IsOp("<=") || k.IsOp(">=") || k.IsOp("<>") || k.IsOp("!=");
    };
    bool any = false;
    for (size_t i = 1; i + 1 < given.size() && !any; ++i)
        any = comparison(given[i]) && (given[i - 1].kind == Token::String || given[i - 1].kind == Token::Variable ||
                                       given[i + 1].kind == Token::String || given[i + 1].kind == Token::Variable || given[i - 1].IsOp(")"));
    if (!any) return given;
    const StatementTablesInView inView(*this, given, true);
    auto boundary = [](const Token& k) { return !(IsArithmeticOp(k) || k.IsOp(".") || k.Is("COLLATE")); };
    auto text = [this](const std::vector<Token>& e) {
        SqlType type;
        return SeenType(e, type) && (type.IsText() || type.IsUnicode());
    };
    std::vector<Token> t = given;
    for (size_t i = 1; i + 1 < t.size(); ++i) {
        if (!comparison(t[i])) continue;
        // The left operand: a literal, a variable or a call, ending just before the operator.
        size_t start = i - 1;
        if (t[start].IsOp(")")) {
            size_t depth = 0, k = start + 1;
            while (k-- > 0) {
                if (t[k].IsOp(")")) depth++;
                if (t[k].IsOp("(") && --depth == 0) break;
            }
            if (k == static_cast<size_t>(-1) || k == 0 || t[k - 1].kind != Token::Word || IsReserved(t[k - 1])) continue;
            start = k - 1;
        } else if (t[start].kind != Token::String && t[start].kind != Token::Variable) {
            continue;
        }
        if (start > 0 && !boundary(t[start - 1])) continue;
        const size_t end = OperandAt(t, i + 1);
        if (end == i + 1 || (end < t.size() && !boundary(t[end]))) continue;
        const std::vector<Token> left(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(i));
        const std::vector<Token> right(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(end));
        const bool rightPlain = right.size() == 1 && (right[0].kind == Token::String || right[0].kind == Token::Variable);
        const bool rightCall = right.size() >= 3 && right[0].kind == Token::Word && right[1].IsOp("(") && right.back().IsOp(")");
        if (!(rightPlain || rightCall) || !text(left) || !text(right)) continue;
        const Token collate[] = {MakeToken(Token::Word, "COLLATE"), MakeToken(Token::Word, "NOCASE")};
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(end), std::begin(collate), std::end(collate));
        i = end + 1;
    }
    return t;
}

std::vector<Token> Session::IntegerComparisons(std::vector<Token> given) {
    // A condition's integer column compared with a string that is no integer ('abc', '1.5'):
    // SQL Server converts the string to the column's type and fails with 245; SQLite compares
    // and finds nothing. The string becomes sandbox_int(string, 'type', 1), which raises it.
    auto comparison = [](const Token& k) {
        return k.IsOp("=") || k.IsOp("<") || k.IsOp(">") || k.IsOp("<=") || k.IsOp(">=") || k.IsOp("<>") || k.IsOp("!=");
    };
    auto condition = [](const Token& k) {
        return k.Is("WHERE") || k.Is("AND") || k.Is("OR") || k.Is("ON") || k.Is("HAVING") || k.Is("WHEN") || k.Is("NOT") || k.IsOp("(");
    };
    // A string SQLite would not compare as the same integer ('abc', '1.5', ' 7', '').
    auto badInteger = [](const Token& k) {
        if (k.kind != Token::String) return false;
        const std::string& v = k.value;
        const size_t digits = v.find_first_not_of("0123456789", !v.empty() && v[0] == '-' ? 1 : 0);
        return v.empty() || v == "-" || digits != std::string::npos;
    };
    bool any = false;
    for (size_t i = 1; i + 1 < given.size() && !any; ++i)
        any = comparison(given[i]) && (badInteger(given[i - 1]) || badInteger(given[i + 1]));
    if (!any) return given;
    const StatementTablesInView inView(*this, given, true);
    // The integer type of the column operand ending (or starting) at k, or none.
    auto integerColumn = [this](const std::vector<Token>& e) -> std::string {
        SqlType type;
        bool found = false;
        if (e.size() == 1 && e[0].IsName())
            found = (!derived_.empty() && DerivedColumnType("", NameOf(e[0]), type)) || CatalogColumnType(NameOf(e[0]), type);
        else if (e.size() == 3 && e[0].IsName() && e[1].IsOp(".") && e[2].IsName())
            found = (!derived_.empty() && DerivedColumnType(NameOf(e[0]), NameOf(e[2]), type)) || CatalogColumnType(NameOf(e[2]), type);
        if (!found || !type.IsInteger()) return {};
        const std::string name = type.Name();
        return name.substr(0, name.find('('));
    };
    std::vector<Token> t = given;
    for (size_t i = 1; i + 1 < t.size(); ++i) {
        if (!comparison(t[i])) continue;
        std::string kind;
        size_t literal = 0;
        if (badInteger(t[i + 1])) {
            // column = 'x', the column after a condition word
            const size_t from = i >= 3 && t[i - 2].IsOp(".") ? i - 3 : i - 1;
            if (from == 0 || !condition(t[from - 1])) continue;
            kind = integerColumn(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(from), t.begin() + static_cast<std::ptrdiff_t>(i)));
            literal = i + 1;
        } else if (badInteger(t[i - 1]) && i >= 2 && condition(t[i - 2])) {
            // 'x' = column
            const bool qualified = i + 3 < t.size() && t[i + 2].IsOp(".");
            const size_t to = qualified ? i + 4 : i + 2;
            kind = integerColumn(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(to)));
            literal = i - 1;
        }
        if (kind.empty()) continue;
        const std::vector<Token> call = {MakeToken(Token::Word, "sandbox_int", t[literal].spaceBefore), MakeToken(Token::Op, "(", false), t[literal],
                                         MakeToken(Token::Op, ",", false), MakeToken(Token::String, kind), MakeToken(Token::Op, ",", false),
                                         MakeToken(Token::Number, "1"), MakeToken(Token::Op, ")", false)};
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(literal));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(literal), call.begin(), call.end());
        i += call.size();
    }
    return t;
}

std::vector<Token> Session::ExactComparisons(std::vector<Token> given) {
    auto comparison = [](const Token& k) {
        return k.IsOp("=") || k.IsOp("<") || k.IsOp(">") || k.IsOp("<=") || k.IsOp(">=") || k.IsOp("<>") || k.IsOp("!=") || k.IsOp("!<") ||
               k.IsOp("!>") || k.Is("BETWEEN") || k.Is("IN");
    };
    if (std::none_of(given.begin(), given.end(), comparison)) return given;
    const StatementTablesInView inView(*this, given);
    std::vector<Token> t;
    t.reserve(given.size());
    for (size_t i = 0; i < given.size();) {
        const bool inside = i > 0 && (given[i - 1].IsOp(".") || given[i - 1].IsOp("$") || IsArithmeticOp(given[i - 1]) ||
                                      (given[i].IsOp("(") && given[i - 1].IsName()));
        const size_t end = inside ? i : OperandAt(given, i);
        bool wrap = false;
        if (end > i + 0 && !(end < given.size() && (IsArithmeticOp(given[end]) || given[end].IsOp("."))) && NextToComparison(given, i, end)) {
            const std::vector<Token> e(given.begin() + static_cast<std::ptrdiff_t>(i), given.begin() + static_cast<std::ptrdiff_t>(end));
            const bool call = e.size() >= 3 && e[0].IsName() && e[1].IsOp("(") && MatchParen(e, 1) == e.size() - 1;
            const bool caseEnd = e.size() >= 3 && e[0].Is("CASE") && e.back().Is("END");
            SqlType type;
            bool named = false;
            if (call || caseEnd) {
                type = InferExprType(e, named);
            } else if (!derived_.empty() && (e.size() == 1 || (e.size() == 3 && e[1].IsOp("."))) && e.back().IsName()) {
                // A column of a derived table or common table expression (a table's own
                // column compares by its collation).
                named = DerivedColumnType(e.size() == 3 ? NameOf(e[0]) : std::string(), NameOf(e.back()), type);
            }
            wrap = named && IsExactKind(type.kind);
        }
        if (!wrap) {
            t.push_back(given[i++]);
            continue;
        }
        std::vector<Token> e(given.begin() + static_cast<std::ptrdiff_t>(i), given.begin() + static_cast<std::ptrdiff_t>(end));
        e = ComparedAsNumber(std::move(e));
        e[0].spaceBefore = given[i].spaceBefore;
        t.insert(t.end(), e.begin(), e.end());
        i = end;
    }
    return t;
}

std::vector<Token> Session::VariantUnion(std::vector<Token> query) {
    if (std::none_of(query.begin(), query.end(), [](const Token& k) { return k.Is("UNION"); }) ||
        std::none_of(query.begin(), query.end(), [](const Token& k) { return k.Is("SQL_VARIANT"); }))
        return query;
    // Only a query's own result: a value stored (INSERT ... SELECT, SELECT ... INTO) stays plain.
    if (query.empty() || !(query[0].Is("SELECT") || query[0].Is("WITH")) ||
        std::any_of(query.begin(), query.end(), [](const Token& k) { return k.Is("INTO"); }))
        return query;
    // First the derived tables and common table expressions: (SELECT ...) after FROM, JOIN or AS.
    std::vector<Token> given;
    given.reserve(query.size());
    for (size_t i = 0; i < query.size(); ++i) {
        given.push_back(query[i]);
        if (!(query[i].IsOp("(") && i > 0 && i + 1 < query.size() && query[i + 1].Is("SELECT") &&
              (query[i - 1].Is("FROM") || query[i - 1].Is("JOIN") || query[i - 1].Is("AS"))))
            continue;
        const size_t close = MatchParen(query, i);
        if (close >= query.size()) continue;
        const auto inner = VariantUnion(std::vector<Token>(query.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                           query.begin() + static_cast<std::ptrdiff_t>(close)));
        given.insert(given.end(), inner.begin(), inner.end());
        i = close - 1;
    }
    if (!given[0].Is("SELECT")) return given;
    // The branches of the outermost UNION: [from, to) each.
    std::vector<std::pair<size_t, size_t>> branches;
    int depth = 0;
    size_t from = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        if (given[i].IsOp("("))
            depth++;
        else if (given[i].IsOp(")"))
            depth--;
        else if (depth == 0 && (given[i].Is("UNION") || given[i].Is("EXCEPT") || given[i].Is("INTERSECT"))) {
            branches.push_back({from, i});
            from = i + 1 < given.size() && given[i + 1].Is("ALL") ? i + 2 : i + 1;
        }
    }
    size_t last = given.size();
    for (size_t i = from, d = 0; i < given.size(); ++i) {  // the last branch ends at its ORDER BY
        if (given[i].IsOp("(")) ++d;
        if (given[i].IsOp(")") && d > 0) --d;
        if (d == 0 && (given[i].Is("ORDER") || given[i].Is("OPTION") || given[i].IsOp(";"))) {
            last = i;
            break;
        }
    }
    branches.push_back({from, last});
    // Each branch's select items: where each value's expression is, and its type.
    struct Item {
        size_t at, end;  // the expression, without an alias
        SqlType type;
        bool named;
    };
    std::vector<std::vector<Item>> items;
    for (const auto& [b0, b1] : branches) {
        const std::vector<Token> branch(given.begin() + static_cast<std::ptrdiff_t>(b0), given.begin() + static_cast<std::ptrdiff_t>(b1));
        size_t start = 0, end = 0;
        if (!TopSelectList(branch, start, end)) return given;
        std::vector<std::string> tables = FromTables(branch);
        for (auto& table : tables) table = TempName(table);
        std::swap(tables, describeTables_);
        std::vector<Item> row;
        size_t itemAt = start;
        int d = 0;
        for (size_t k = start; k <= end; ++k) {
            if (k < end && branch[k].IsOp("(")) d++;
            if (k < end && branch[k].IsOp(")")) d--;
            if (k < end && !(d == 0 && branch[k].IsOp(","))) continue;
            size_t exprEnd = k;
            if (exprEnd >= itemAt + 3 && branch[exprEnd - 2].Is("AS")) exprEnd -= 2;
            Item it{b0 + itemAt, b0 + exprEnd, SqlType::Of(SqlType::Variant), false};
            try {
                it.type = InferExprType(std::vector<Token>(branch.begin() + static_cast<std::ptrdiff_t>(itemAt),
                                                           branch.begin() + static_cast<std::ptrdiff_t>(exprEnd)),
                                        it.named);
            } catch (...) {
                it.named = false;
            }
            row.push_back(it);
            itemAt = k + 1;
        }
        std::swap(tables, describeTables_);
        items.push_back(std::move(row));
    }
    // A column whose variants have different base types: each value carries its own.
    std::vector<std::pair<size_t, std::pair<size_t, std::string>>> wraps;  // at -> (end, base type)
    for (size_t col = 0; col < items[0].size(); ++col) {
        bool variant = true, differ = false;
        for (const auto& row : items) {
            if (row.size() != items[0].size()) return given;
            const Item& it = row[col];
            variant = variant && it.named && it.type.kind == SqlType::Variant && it.type.base != SqlType::Variant;
            const SqlType& a = items[0][col].type;
            differ = differ || it.type.base != a.base || it.type.length != a.length || it.type.precision != a.precision ||
                     it.type.scale != a.scale;
        }
        if (!variant || !differ) continue;
        for (const auto& row : items) {
            SqlType base = row[col].type;
            base.kind = base.base;
            base.base = SqlType::Variant;
            wraps.push_back({row[col].at, {row[col].end, base.Declared()}});
        }
    }
    if (wraps.empty()) return given;
    std::sort(wraps.begin(), wraps.end());
    std::vector<Token> out;
    out.reserve(given.size() + wraps.size() * 6);
    size_t w = 0;
    for (size_t i = 0; i < given.size(); ++i) {
        if (w < wraps.size() && wraps[w].first == i) {
            out.push_back(MakeToken(Token::Word, "sandbox_variant", given[i].spaceBefore));
            out.push_back(MakeToken(Token::Op, "(", false));
            for (size_t k = i; k < wraps[w].second.first; ++k) out.push_back(given[k]);
            out.push_back(MakeToken(Token::Op, ",", false));
            out.push_back(MakeToken(Token::String, wraps[w].second.second));
            out.push_back(MakeToken(Token::Op, ")", false));
            i = wraps[w].second.first - 1;
            ++w;
            continue;
        }
        out.push_back(given[i]);
    }
    return out;
}

bool Session::HasVariantColumns() {
    sqlite3_stmt* st = Cached("SELECT 1 FROM __columns WHERE data_type = 'sql_variant' LIMIT 1");
    if (!st) return false;
    const bool any = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_reset(st);
    return any;
}

std::vector<Token> Session::VariantValues(std::vector<Token> given) {
    auto comparison = [](const Token& k) {
        return k.IsOp("=") || k.IsOp("<") || k.IsOp(">") || k.IsOp("<=") || k.IsOp(">=") || k.IsOp("<>") || k.IsOp("!=") || k.IsOp("!<") ||
               k.IsOp("!>") || k.Is("BETWEEN") || k.Is("IN");
    };
    const bool converts = std::any_of(given.begin(), given.end(), [](const Token& k) { return k.Is("CAST") || k.Is("CONVERT"); });
    if ((!converts && std::none_of(given.begin(), given.end(), comparison)) ||
        (std::none_of(given.begin(), given.end(), [](const Token& k) { return k.Is("SQL_VARIANT"); }) && !HasVariantColumns()))
        return given;
    const StatementTablesInView inView(*this, given);
    auto isVariant = [this](const std::vector<Token>& e) {
        SqlType type;
        return SeenType(e, type) && type.kind == SqlType::Variant;
    };
    auto plain = [](const std::vector<Token>& e, bool space) {
        std::vector<Token> out = {MakeToken(Token::Word, "sandbox_plain", space), MakeToken(Token::Op, "(", false)};
        out.insert(out.end(), e.begin(), e.end());
        if (out.size() > 2) out[2].spaceBefore = false;
        out.push_back(MakeToken(Token::Op, ")", false));
        return out;
    };
    std::vector<Token> t;
    t.reserve(given.size());
    for (size_t i = 0; i < given.size();) {
        if ((given[i].Is("CAST") || given[i].Is("CONVERT")) && i + 1 < given.size() && given[i + 1].IsOp("(")) {
            // The value converted: CAST(value AS type), CONVERT(type, value[, style]).
            const size_t close = MatchParen(given, i + 1);
            size_t from = i + 2, to = close;
            if (given[i].Is("CAST")) {
                to = CastAs(given, i + 1, close);
            } else {
                const auto args = SplitCommas(given, i + 2, close);
                if (args.size() >= 2) {
                    from = i + 2 + args[0].size() + 1;
                    to = from + args[1].size();
                } else {
                    to = from;
                }
            }
            if (close < given.size() && from < to && to <= close) {
                const std::vector<Token> value(given.begin() + static_cast<std::ptrdiff_t>(from), given.begin() + static_cast<std::ptrdiff_t>(to));
                if (isVariant(value)) {
                    t.insert(t.end(), given.begin() + static_cast<std::ptrdiff_t>(i), given.begin() + static_cast<std::ptrdiff_t>(from));
                    const auto w = plain(VariantValues(value), given[from].spaceBefore);
                    t.insert(t.end(), w.begin(), w.end());
                    i = to;
                    continue;
                }
            }
            t.push_back(given[i++]);
            continue;
        }
        const bool inside = i > 0 && (given[i - 1].IsOp(".") || given[i - 1].IsOp("$") || IsArithmeticOp(given[i - 1]) ||
                                      (given[i].IsOp("(") && given[i - 1].IsName()));
        const size_t end = inside ? i : OperandAt(given, i);
        if (end > i && !(end < given.size() && (IsArithmeticOp(given[end]) || given[end].IsOp("."))) && NextToComparison(given, i, end) &&
            !given[i].IsOp("(")) {
            const std::vector<Token> e(given.begin() + static_cast<std::ptrdiff_t>(i), given.begin() + static_cast<std::ptrdiff_t>(end));
            if (isVariant(e)) {
                const auto w = plain(e, given[i].spaceBefore);
                t.insert(t.end(), w.begin(), w.end());
                i = end;
                continue;
            }
        }
        t.push_back(given[i++]);
    }
    return t;
}
