#include "Arithmetic.h"

#include <algorithm>

namespace {

bool IsInteger(SqlType::Kind k) { return k == SqlType::TinyInt || k == SqlType::SmallInt || k == SqlType::Int || k == SqlType::BigInt; }
bool IsDecimal(SqlType::Kind k) { return k == SqlType::Decimal || k == SqlType::Numeric; }
bool IsMoney(SqlType::Kind k) { return k == SqlType::Money || k == SqlType::SmallMoney; }

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

bool Combine(const SqlType& a, char op, const SqlType& b, SqlType& out) {
    const bool strA = a.IsText() || a.IsUnicode(), strB = b.IsText() || b.IsUnicode();
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
        if (!(IsDecimal(a.kind) || IsInteger(a.kind) || a.kind == SqlType::Bit) ||
            !(IsDecimal(b.kind) || IsInteger(b.kind) || b.kind == SqlType::Bit))
            return false;  // money, dates: left to the value
        const SqlType x = IntegerAsDecimal(a), y = IntegerAsDecimal(b);
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
        if (depth == 0 && cases == 0 && k.kind == Token::Op && !k.IsOp("(") && !k.IsOp(")") && !k.IsOp(".") && !op)
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
