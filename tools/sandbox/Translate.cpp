// T-SQL to SQLite: rewriting the tokens of one statement.
#include "Aggregates.h"
#include "Arithmetic.h"
#include "Conversions.h"
#include "Grouping.h"
#include "QueryForms.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>

namespace {

// The sys views of a database (sys.databases is master's).
const char* const kSysViews[] = {"TABLES", "COLUMNS", "OBJECTS", "SCHEMAS", "PROCEDURES", "VIEWS", "DM_EXEC_SESSIONS",
                                 "SQL_MODULES", "INDEXES", "INDEX_COLUMNS", "KEY_CONSTRAINTS", "FOREIGN_KEYS",
                                 "FOREIGN_KEY_COLUMNS", "CHECK_CONSTRAINTS", "DEFAULT_CONSTRAINTS", "TYPES",
                                 "TRIGGERS", "PARAMETERS", "IDENTITY_COLUMNS", "ALL_OBJECTS", "ALL_COLUMNS"};

bool IsSchemaWord(const Token& t) {
    return t.IsName() && (SameNoCase(t.kind == Token::Word ? t.text : t.value, "DBO") || SameNoCase(t.value, "SYS"));
}

// The function that converts to the type with SQL Server's checks, or null for a plain CAST.
const char* CheckedCast(const SqlType& t) {
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
        return "sandbox_int";
    case SqlType::Bit:
        return "sandbox_bit";
    case SqlType::Float:
    case SqlType::Real:
        return "sandbox_float";
    case SqlType::Date:
    case SqlType::DateTime:
    case SqlType::DateTime2:
    case SqlType::SmallDateTime:
    case SqlType::Time:
    case SqlType::DateTimeOffset:
        return "sandbox_datetime";
    default:
        return nullptr;
    }
}

bool IsComparison(const Token& t) {
    return t.IsOp("=") || t.IsOp("<") || t.IsOp(">") || t.IsOp("<=") || t.IsOp(">=") || t.IsOp("<>") || t.IsOp("!=");
}

// A date in a form other than ISO ('6/1/2025', '4 Dec 2011') compared with a value: the stored form
// ('2025-06-01', with the time when one is given), so that text comparison orders it as a date.
std::string ComparableDate(const std::string& v, const std::string& order) {
    bool slash = v.find('/') != std::string::npos, letters = false, digits = false;
    for (char c : v) {
        letters = letters || std::isalpha(static_cast<unsigned char>(c));
        digits = digits || std::isdigit(static_cast<unsigned char>(c));
    }
    if (!digits || (!slash && !letters) || v.size() > 40) return v;
    DateTimeParts p;
    if (!ParseDateTime(v, p, order, true)) return v;
    const bool time =
        v.find(':') != std::string::npos || Upper(v).find("AM") != std::string::npos || Upper(v).find("PM") != std::string::npos;
    return FormatDateTime(p, SqlType::Of(time ? SqlType::DateTime : SqlType::Date));
}

// Whether the literal at index i is an item of a list of constants after IN: x IN ('a', 'b').
bool InList(const std::vector<Token>& t, size_t i) {
    while (i > 0 && (t[i - 1].IsOp(",") || t[i - 1].kind == Token::String || t[i - 1].kind == Token::Number)) --i;
    return i >= 2 && t[i - 1].IsOp("(") && t[i - 2].Is("IN");
}

// A literal beyond what a double or a 64-bit integer holds exactly: 16 or more significant digits.
bool NeedsExactText(const Token& k) {
    if (k.kind != Token::Number || k.text.find_first_of("eE") != std::string::npos) return false;
    int digits = 0;
    bool leading = true;
    for (char c : k.text) {
        if (c == '.') continue;
        if (leading && c == '0') continue;
        leading = false;
        ++digits;
    }
    return k.text.find('.') != std::string::npos ? digits > 15 : digits > 18;
}

bool IsOperand(const Token& t) {
    return t.kind == Token::Number || t.kind == Token::String || t.kind == Token::Variable || t.kind == Token::Quoted ||
           t.kind == Token::Bracketed || t.IsOp(")") ||
           (t.kind == Token::Word && !t.Is("SELECT") && !t.Is("WHERE") && !t.Is("AND") && !t.Is("OR") && !t.Is("NOT") && !t.Is("THEN") &&
            !t.Is("ELSE") && !t.Is("WHEN") && !t.Is("ON") && !t.Is("AS") && !t.Is("BY") && !t.Is("IS") && !t.Is("IN") && !t.Is("LIKE") &&
            !t.Is("BETWEEN") && !t.Is("RETURN") && !t.Is("CASE") && !t.Is("SET") && !t.Is("VALUES") && !t.Is("HAVING") && !t.Is("TOP"));
}

// The start of the operand that ends at index end (inclusive): a literal, name (a.b.c), variable,
// parenthesised group or function call, CASE ... END, with a unary sign.
size_t OperandStart(const std::vector<Token>& t, size_t end) {
    size_t i = end;
    if (t[i].IsOp(")")) {
        int depth = 0;
        for (;; --i) {
            if (t[i].IsOp(")"))
                depth++;
            else if (t[i].IsOp("(") && --depth == 0)
                break;
            if (i == 0) return 0;
        }
        if (i > 0 && (t[i - 1].kind == Token::Word || t[i - 1].kind == Token::Quoted) && !t[i].spaceBefore && IsOperand(t[i - 1])) --i;
    } else if (t[i].Is("END")) {
        int depth = 0;
        for (;; --i) {
            if (t[i].Is("END"))
                depth++;
            else if (t[i].Is("CASE") && --depth == 0)
                break;
            if (i == 0) return 0;
        }
    }
    while (i >= 2 && t[i - 1].IsOp(".") && t[i - 2].IsName()) i -= 2;
    return i;
}

// The end (exclusive) of the operand that starts at index start.
size_t OperandEnd(const std::vector<Token>& t, size_t start) {
    size_t i = start;
    while (i < t.size() && (t[i].IsOp("-") || t[i].IsOp("+"))) ++i;
    if (i >= t.size()) return i;
    if (t[i].IsOp("(")) return MatchParen(t, i) + 1;
    if (t[i].Is("CASE")) {
        int depth = 0;
        for (; i < t.size(); ++i) {
            if (t[i].Is("CASE"))
                depth++;
            else if (t[i].Is("END") && --depth == 0)
                return i + 1;
        }
        return t.size();
    }
    ++i;
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) i += 2;
    if (i < t.size() && t[i].IsOp("(") && !t[i].spaceBefore) return MatchParen(t, i) + 1;
    return i;
}

// a / b as sandbox_div(a, b), which raises SQL Server's divide-by-zero error; the left operand takes
// in the operands before it joined by * / %, which bind as tightly.
std::vector<Token> CheckedDivision(std::vector<Token> t) {
    for (size_t i = 1; i + 1 < t.size(); ++i) {
        if (!t[i].IsOp("/") || !IsOperand(t[i - 1])) continue;
        size_t start = OperandStart(t, i - 1);
        while (start >= 2 && (t[start - 1].IsOp("*") || t[start - 1].IsOp("/") || t[start - 1].IsOp("%")) && IsOperand(t[start - 2]))
            start = OperandStart(t, start - 2);
        if (start >= 1 && (t[start - 1].IsOp("-") || t[start - 1].IsOp("+")) && (start == 1 || !IsOperand(t[start - 2]))) --start;
        const size_t end = std::min(OperandEnd(t, i + 1), t.size());
        if (end <= i + 1) continue;
        std::vector<Token> call = {MakeToken(Token::Word, "sandbox_div", t[start].spaceBefore), MakeToken(Token::Op, "(", false)};
        call.insert(call.end(), t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(i));
        call.push_back(MakeToken(Token::Op, ",", false));
        call.insert(call.end(), t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(end));
        call.push_back(MakeToken(Token::Op, ")", false));
        if (call.size() > 2) call[2].spaceBefore = false;
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(start), call.begin(), call.end());
        i = start + call.size() - 1;
    }
    return t;
}

// ORDER BY compares text without regard to case, as SQL Server's default collation does: each
// item gets COLLATE NOCASE (which leaves numbers and column positions as they are), except a
// column for which ownCollation holds (decimal columns, whose collation compares them as numbers)
// and an exact decimal expression, which names that collation itself.
std::vector<Token> CaseInsensitiveOrder(std::vector<Token> t, const std::function<bool(const std::string&)>& ownCollation,
                                        const std::function<bool(const std::string&, const std::string&)>& derivedDecimal) {
    static const char* const kEnds[] = {"LIMIT",  "OFFSET", "UNION", "EXCEPT", "INTERSECT", "FOR",
                                        "OPTION", "ROWS",   "RANGE", "SELECT", "INTO"};
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        if (!t[i].Is("ORDER") || !t[i + 1].Is("BY")) continue;
        const size_t orderAt = i;
        int depth = 0;
        size_t j = i + 2, itemStart = j;
        auto closeItem = [&](size_t end) {
            if (end <= itemStart) return;
            size_t at = end;
            while (at > itemStart + 1 &&
                   (t[at - 1].Is("ASC") || t[at - 1].Is("DESC") || t[at - 1].Is("NULLS") || t[at - 1].Is("FIRST") || t[at - 1].Is("LAST")))
                --at;
            // An exact decimal (Arithmetic.cpp), a decimal SUM or AVG, or MIN or MAX of a decimal: its
            // values are numbers up to 15 digits and text past them, so it sorts as text of numbers.
            auto exactCall = [&](size_t from, size_t to) {
                if (to < from + 3 || !t[from + 1].IsOp("(") || MatchParen(t, from + 1) != to - 1) return false;
                if (t[from].Is("SANDBOX_EXACT") || t[from].Is("SANDBOX_DECSUM") || t[from].Is("SANDBOX_MONEYSUM") ||
                    t[from].Is("SANDBOX_DECAVG") || t[from].Is("SANDBOX_MONEYAVG"))
                    return true;
                if (!t[from].Is("MIN") && !t[from].Is("MAX")) return false;
                for (size_t k = from + 2; k + 1 < to; ++k)
                    if (t[k].Is("COLLATE") && t[k + 1].Is("SANDBOX_NUMERIC")) return true;
                return false;
            };
            // An alias or position stands for its expression; a compound query's ORDER BY takes no expression.
            const bool compound =
                std::any_of(t.begin(), t.end(), [](const Token& k) { return k.Is("UNION") || k.Is("EXCEPT") || k.Is("INTERSECT"); });
            auto sortAsNumber = [&](std::vector<Token> value) {
                value = ComparedAsNumber(std::move(value));
                value[0].spaceBefore = t[itemStart].spaceBefore;
                t.erase(t.begin() + static_cast<std::ptrdiff_t>(itemStart), t.begin() + static_cast<std::ptrdiff_t>(at));
                t.insert(t.begin() + static_cast<std::ptrdiff_t>(itemStart), value.begin(), value.end());
                j = j + value.size() - (at - itemStart);
            };
            if (exactCall(itemStart, at)) return sortAsNumber(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(itemStart),
                                                                                  t.begin() + static_cast<std::ptrdiff_t>(at)));
            for (size_t k = itemStart; k < end; ++k)
                if (t[k].Is("COLLATE")) return;
            // ORDER BY 2: the second item of the select list this ORDER BY closes, [start, last).
            auto selectItem = [&](size_t& start, size_t& last) {
                const long position = std::strtol(t[itemStart].text.c_str(), nullptr, 10);
                size_t select = orderAt, from = 0;
                for (int d = 0; select-- > 0;) {
                    if (t[select].IsOp(")")) d++;
                    if (t[select].IsOp("(")) d--;
                    if (d == 0 && t[select].Is("SELECT")) break;
                    if (d < 0 || select == 0) return false;
                }
                from = select + 1;
                while (from < orderAt && (t[from].Is("DISTINCT") || t[from].Is("ALL"))) ++from;
                long n = 1;
                start = from;
                for (int d = 0; from < orderAt; ++from) {
                    if (t[from].IsOp("(")) d++;
                    if (t[from].IsOp(")")) d--;
                    if (d != 0) continue;
                    if (t[from].Is("FROM") || t[from].Is("WHERE") || t[from].Is("GROUP") || t[from].Is("ORDER") || t[from].Is("UNION"))
                        break;
                    if (t[from].IsOp(",")) {
                        if (n == position) break;
                        ++n;
                        start = from + 1;
                    }
                }
                last = from;
                if (last >= start + 2 && t[last - 2].Is("AS"))
                    last -= 2;
                else if (last >= start + 2 && t[last - 1].IsName() && t[last - 2].IsOp(")"))
                    last -= 1;  // an alias without AS
                return n == position && last > start;
            };
            size_t start = 0, last = 0;
            if (at == itemStart + 1 && t[itemStart].kind == Token::Number && selectItem(start, last)) {
                if (exactCall(start, last) && !compound)
                    return sortAsNumber(
                        std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(last)));
                if (t[last - 1].IsName() && (last - start == 1 || (last - start == 3 && t[start + 1].IsOp("."))) &&
                    ownCollation(NameOf(t[last - 1])))
                    return;
            }
            // An alias of an exact decimal sorts as a number: by the expression itself when the alias is
            // in this ORDER BY's own select list (in an expression SQLite reads a name as the table's
            // column when one is so named: SUM(Total) AS Total), by the alias otherwise (a derived
            // table's column).
            auto sortByAlias = [&](size_t exprFrom, size_t exprTo, size_t aliasAt) {
                int d = 0;
                bool own = true;
                for (size_t k = aliasAt; k < orderAt && own; ++k) {
                    if (t[k].IsOp("(")) d++;
                    if (t[k].IsOp(")")) own = --d >= 0;
                }
                own = own && d == 0;
                return sortAsNumber(own ? std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(exprFrom), t.begin() + static_cast<std::ptrdiff_t>(exprTo))
                                        : std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(itemStart), t.begin() + static_cast<std::ptrdiff_t>(at)));
            };
            bool bareName = t[at - 1].IsName();
            for (size_t k = itemStart; k + 1 < at && bareName; k += 2) bareName = t[k].IsName() && t[k + 1].IsOp(".");
            if (bareName && (at - itemStart) % 2 == 1) {
                // An alias stands for its expression: a column keeps its own comparison, anything else gets NOCASE.
                std::string name = NameOf(t[at - 1]);
                bool column = true;
                for (size_t k = 1; k + 1 < itemStart; ++k) {
                    // The alias, with AS or right after the expression's closing parenthesis.
                    const bool bare = t[k].IsOp(")") && t[k + 1].IsName() && SameNoCase(NameOf(t[k + 1]), name) && k + 2 < itemStart &&
                                      (t[k + 2].IsOp(",") || t[k + 2].Is("FROM"));
                    if (bare && !compound) {
                        size_t open = k;
                        for (int d = 0; open > 0; --open) {
                            if (t[open].IsOp(")")) d++;
                            if (t[open].IsOp("(") && --d == 0) break;
                        }
                        if (open > 0 && exactCall(open - 1, k + 1)) return sortByAlias(open - 1, k + 1, k + 1);
                    }
                    if (!t[k].Is("AS") || !t[k + 1].IsName() || !SameNoCase(NameOf(t[k + 1]), name)) continue;
                    if (t[k - 1].IsOp(")") && !compound) {
                        size_t open = k - 1;
                        for (int d = 0; open > 0; --open) {
                            if (t[open].IsOp(")")) d++;
                            if (t[open].IsOp("(") && --d == 0) break;
                        }
                        if (open > 0 && exactCall(open - 1, k)) return sortByAlias(open - 1, k, k);
                    }
                    column = t[k - 1].IsName() && k >= 2 &&
                             (t[k - 2].IsOp(",") || t[k - 2].IsOp(".") || t[k - 2].Is("SELECT") || t[k - 2].Is("DISTINCT"));
                    name = NameOf(t[k - 1]);
                    break;
                }
                // A derived table's exact decimal (text to SQLite) sorts by the decimals' collation.
                const std::string qualifier = at - itemStart == 3 ? NameOf(t[itemStart]) : std::string();
                if (column && name == NameOf(t[at - 1]) && derivedDecimal(qualifier, name)) {
                    const Token numeric[] = {MakeToken(Token::Word, "COLLATE"), MakeToken(Token::Word, "sandbox_numeric")};
                    t.insert(t.begin() + static_cast<std::ptrdiff_t>(at), std::begin(numeric), std::end(numeric));
                    j += 2;
                    return;
                }
                if (column && ownCollation(name)) return;
            }
            const Token collate[] = {MakeToken(Token::Word, "COLLATE"), MakeToken(Token::Word, "NOCASE")};
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(at), std::begin(collate), std::end(collate));
            j += 2;
        };
        for (; j < t.size(); ++j) {
            const Token& k = t[j];
            if (k.IsOp("("))
                depth++;
            else if (k.IsOp(")")) {
                if (depth == 0) break;
                depth--;
            } else if (depth == 0 && k.IsOp(",")) {
                closeItem(j);
                itemStart = j + 1;
            } else if (depth == 0 && k.IsOp(";"))
                break;
            else if (depth == 0 && k.kind == Token::Word &&
                     std::any_of(std::begin(kEnds), std::end(kEnds), [&](const char* w) { return k.Is(w); }))
                break;
        }
        closeItem(j);
        i = j;
    }
    return t;
}

}  // namespace

void CheckTypeSize(const SqlType& type, int line) {
    const bool unicode = type.kind == SqlType::NChar || type.kind == SqlType::NVarChar;
    const bool sized = unicode || type.kind == SqlType::Char || type.kind == SqlType::VarChar || type.kind == SqlType::Binary ||
                       type.kind == SqlType::VarBinary;
    const int most = unicode ? 4000 : 8000;
    if (!sized || type.length <= most) return;
    std::string name = type.Name();
    name = name.substr(0, name.find('('));
    throw SqlError{131,
                   15,
                   2,
                   "The size (" + std::to_string(type.length) + ") given to the type '" + name +
                       "' exceeds the maximum allowed for any data type (" + std::to_string(most) + ").",
                   line,
                   "",
                   true};
}

namespace {

// SQL Server evaluates INTERSECT before UNION and EXCEPT, where SQLite reads a compound from left to
// right: a run of INTERSECTs after a UNION or EXCEPT becomes one derived table,
// A UNION SELECT * FROM (B INTERSECT C), with the compound's ORDER BY and the like kept at its end.
std::vector<Token> IntersectFirst(std::vector<Token> given) {
    if (std::none_of(given.begin(), given.end(), [](const Token& k) { return k.Is("INTERSECT"); })) return given;
    // Subqueries first, each a compound of its own.
    std::vector<Token> t;
    t.reserve(given.size());
    for (size_t i = 0; i < given.size(); ++i) {
        if (i + 1 < given.size() && given[i].IsOp("(") && given[i + 1].Is("SELECT")) {
            const size_t close = MatchParen(given, i);
            if (close < given.size()) {
                const auto inner = IntersectFirst(std::vector<Token>(given.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                                     given.begin() + static_cast<std::ptrdiff_t>(close)));
                t.push_back(given[i]);
                t.insert(t.end(), inner.begin(), inner.end());
                t.push_back(given[close]);
                i = close;
                continue;
            }
        }
        t.push_back(given[i]);
    }
    std::vector<size_t> ops;  // depth-0 UNION, EXCEPT and INTERSECT
    int depth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")"))
            depth--;
        else if (depth == 0 && (t[i].Is("UNION") || t[i].Is("EXCEPT") || t[i].Is("INTERSECT")))
            ops.push_back(i);
    }
    bool needed = false;
    for (size_t k = 1; k < ops.size(); ++k) needed = needed || (t[ops[k]].Is("INTERSECT") && !t[ops[k - 1]].Is("INTERSECT"));
    if (!needed) return t;
    // The tail after the last operand: ORDER BY, OFFSET, FOR, OPTION, a semicolon.
    size_t tail = t.size();
    depth = 0;
    for (size_t i = ops.back(); i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")"))
            depth--;
        else if (depth == 0 && (t[i].Is("ORDER") || t[i].Is("FOR") || t[i].Is("OPTION") || t[i].IsOp(";"))) {
            tail = i;
            break;
        }
    }
    auto operatorEnd = [&](size_t op) { return op + 1 < t.size() && t[op + 1].Is("ALL") ? op + 2 : op + 1; };
    std::vector<Token> out(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(ops[0]));
    int derived = 0;
    for (size_t k = 0; k < ops.size();) {
        const size_t operandEnd = k + 1 < ops.size() ? ops[k + 1] : tail;
        if (!t[ops[k]].Is("INTERSECT") && k + 1 < ops.size() && t[ops[k + 1]].Is("INTERSECT")) {
            // op B INTERSECT C ...: op SELECT * FROM (B INTERSECT C ...) AS name
            size_t last = k + 1;
            while (last + 1 < ops.size() && t[ops[last + 1]].Is("INTERSECT")) ++last;
            const size_t runEnd = last + 1 < ops.size() ? ops[last + 1] : tail;
            out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(ops[k]), t.begin() + static_cast<std::ptrdiff_t>(operatorEnd(ops[k])));
            for (const char* w : {"SELECT", "*", "FROM", "("}) out.push_back(MakeToken(std::string(w) == "*" || std::string(w) == "(" ? Token::Op : Token::Word, w));
            out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(operatorEnd(ops[k])), t.begin() + static_cast<std::ptrdiff_t>(runEnd));
            out.push_back(MakeToken(Token::Op, ")"));
            out.push_back(MakeToken(Token::Word, "AS"));
            out.push_back(MakeToken(Token::Word, "sandbox_intersect" + std::to_string(++derived)));
            k = last + 1;
            continue;
        }
        out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(ops[k]), t.begin() + static_cast<std::ptrdiff_t>(operandEnd));
        ++k;
    }
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(tail), t.end());
    return out;
}

}  // namespace

std::string Session::Translate(const std::vector<Token>& given, int line) {
    CheckGrouping(given, line);
    // Query forms SQLite has no counterpart of, as forms it has (Apply.cpp, ForXml.cpp, Pivot.cpp, Grouping.cpp).
    auto exactDecimal = [this](const std::vector<Token>& expr, const std::vector<Token>& statement) {
        const StatementTablesInView inView(*this, statement);
        bool named = false;
        const SqlType type = InferExprType(expr, named);
        return named && (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric || type.kind == SqlType::Money ||
                         type.kind == SqlType::SmallMoney);
    };
    const std::vector<Token> forms =
        RewriteGroupingSets(RewritePivots(RewriteApply(RewriteForXml(IntersectFirst(given), line), line), line), line, exactDecimal);
    const std::vector<Token> in = BuiltinCalls(ExactArithmetic(
        ExactComparisons(IntegerComparisons(TextComparisons(ValuesAsText(VariantValues(BinaryCasts(VariantUnion(RewriteQueryForms(forms))))))))));
    std::vector<Token> t;
    t.reserve(in.size() + 4);
    // Pass 1: names, literals, variables.
    for (size_t i = 0; i < in.size(); ++i) {
        const Token& k = in[i];
        if (k.kind == Token::String && !t.empty() && t.back().Is("LIKE") && k.value.find('[') != std::string::npos &&
            !(i + 1 < in.size() && in[i + 1].Is("ESCAPE"))) {
            // SQLite's LIKE knows no [character classes]: GLOB with the pattern rewritten.
            std::vector<Token> pair = {t.back(), k};
            RewriteBracketLikes(pair);
            t.back() = pair[0];
            t.push_back(pair[1]);
            continue;
        }
        if (k.kind == Token::Word && i + 2 < in.size() && in[i + 1].IsOp("(") && in[i + 2].kind == Token::Word && IsDatePartFunction(k.value)) {
            // DATEADD(day, ...): the datepart keyword goes as text.
            std::string fn = "sandbox_" + k.value;
            for (char& c : fn) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            t.push_back(MakeToken(Token::Word, fn, k.spaceBefore));
            t.push_back(MakeToken(Token::Op, "(", false));
            t.push_back(MakeToken(Token::String, SqlLiteral(in[i + 2].text), false));
            i += 2;
            continue;
        }
        if (k.Is("COUNT_BIG") && i + 1 < in.size() && in[i + 1].IsOp("(")) {
            // SQLite's count is 64-bit already; the result is typed bigint from the name.
            t.push_back(MakeToken(Token::Word, "count", k.spaceBefore));
            continue;
        }
        if (k.IsOp("$") && i + 1 < in.size() && in[i + 1].kind == Token::Number && !in[i + 1].spaceBefore) {
            // $20.00 is money.
            t.push_back(in[++i]);
            t.back().spaceBefore = k.spaceBefore;
            continue;
        }
        if (k.kind == Token::String) {
            const bool compared = (i > 0 && IsComparison(in[i - 1])) || (i + 1 < in.size() && IsComparison(in[i + 1])) || InList(in, i);
            t.push_back(MakeToken(Token::String, SqlLiteral(compared ? ComparableDate(k.value, dateOrder_) : k.value), k.spaceBefore));
            continue;
        }
        if (NeedsExactText(k)) {
            // Kept as text: SQLite would read it as a double.
            const bool negative = !t.empty() && t.back().IsOp("-") && (t.size() == 1 || !IsOperand(t[t.size() - 2]));
            if (negative) t.pop_back();
            t.push_back(MakeToken(Token::Number, SqlLiteral((negative ? "-" : "") + k.text), negative || k.spaceBefore));
            continue;
        }
        auto bitwise = [](const Token& x) { return x.IsOp("&") || x.IsOp("|") || x.IsOp("^"); };
        if (k.kind == Token::Hex && k.value.size() <= 15 && ((i > 0 && bitwise(in[i - 1])) || (i + 1 < in.size() && bitwise(in[i + 1])))) {
            // sysstat & 0xf: a binary constant in integer arithmetic is the integer.
            t.push_back(MakeToken(Token::Number, std::to_string(k.value.empty() ? 0 : std::stoll(k.value, nullptr, 16)), k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Hex) {
            t.push_back(MakeToken(Token::String, "X'" + (k.value.size() % 2 ? "0" + k.value : k.value) + "'", k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Variable && k.value.rfind("@@", 0) == 0) {
            std::string v;
            if (k.value == "@@ROWCOUNT")
                v = std::to_string(rowcount_);
            else if (k.value == "@@IDENTITY")
                v = hasSessionIdentity_ ? std::to_string(sessionIdentity_) : "NULL";
            else if (k.value == "@@SPID")
                v = std::to_string(spid_);
            else if (k.value == "@@TRANCOUNT")
                v = std::to_string(tranCount_);
            else if (k.value == "@@ERROR")
                v = std::to_string(lastError_);
            else if (k.value == "@@VERSION")
                v = SqlLiteral("Tolvan Sandbox 15.0.2000 (SQL Server stand-in on SQLite " + std::string(sqlite3_libversion()) + ")");
            else if (k.value == "@@SERVERNAME")
                v = SqlLiteral(server_.ServerName());
            else if (k.value == "@@LANGUAGE")
                v = SqlLiteral(language_);
            else if (k.value == "@@FETCH_STATUS")
                v = std::to_string(fetchStatus_);
            else if (k.value == "@@CURSOR_ROWS")
                v = std::to_string(cursorRows_);
            else if (k.value == "@@NESTLEVEL")
                v = std::to_string(procDepth_);
            else if (k.value == "@@MAX_PRECISION")
                v = "38";
            else if (k.value == "@@DATEFIRST")
                v = std::to_string(dateFirst_);
            else if (k.value == "@@TEXTSIZE")
                v = std::to_string(textSize_);
            else if (k.value == "@@LOCK_TIMEOUT")
                v = "-1";
            else if (k.value == "@@OPTIONS")
                v = nocount_ ? "5944" : "5432";
            else if (k.value == "@@MAX_CONNECTIONS")
                v = "32767";
            else if (k.value == "@@LANGID")
                v = std::to_string(langId_);
            else if (k.value == "@@SERVICENAME")
                v = SqlLiteral("MSSQLSERVER");
            else
                v = "NULL";
            t.push_back(MakeToken(Token::Word, v, k.spaceBefore));
            continue;
        }
        if (k.IsName() && SameNoCase(NameOf(k), "SYSDATABASES") && (i == 0 || !in[i - 1].IsOp(".")) && !SameNoCase(dbName_, "master")) {
            // sysdatabases is seen from every database.
            EnsureAttached("master");
            t.push_back(MakeToken(Token::Word, "\"master\".sysdatabases", k.spaceBefore));
            continue;
        }
        if (triggerLevel_ > 0 && k.Is("UPDATE") && i + 3 < in.size() && in[i + 1].IsOp("(") && in[i + 3].IsOp(")")) {
            // UPDATE(column) in a trigger: whether its statement sets the column.
            t.push_back(MakeToken(Token::Number, ColumnUpdated(NameOf(in[i + 2])) ? "1" : "0", k.spaceBefore));
            i += 3;
            continue;
        }
        if (triggerLevel_ > 0 && k.IsName() && !(i > 0 && in[i - 1].IsOp("."))) {
            // inserted and deleted in a trigger: the rows of its statement.
            const std::string rows = TriggerTable(Upper(NameOf(k)));
            if (!rows.empty()) {
                t.push_back(MakeToken(Token::Quoted, QuoteIdent(rows), k.spaceBefore));
                continue;
            }
        }
        if (k.IsName() && i + 2 < in.size() && in[i + 1].IsOp(".")) {
            // db.dbo.obj, db..obj, dbo.obj, INFORMATION_SCHEMA.X
            if (Upper(k.kind == Token::Word ? k.text : k.value) == "INFORMATION_SCHEMA" && in[i + 2].IsName()) {
                t.push_back(MakeToken(
                    Token::Word,
                    "information_schema_" + std::string(Upper(in[i + 2].value) == in[i + 2].value ? in[i + 2].text : in[i + 2].value),
                    k.spaceBefore));
                i += 2;
                continue;
            }
            if (i + 4 < in.size() && in[i + 2].IsName() && Upper(NameOf(in[i + 2])) == "SYS" && in[i + 3].IsOp(".") && in[i + 4].IsName() &&
                SameNoCase(NameOf(k), dbName_) &&
                std::any_of(std::begin(kSysViews), std::end(kSysViews), [&](const char* v) { return Upper(NameOf(in[i + 4])) == v; })) {
                // this_database.sys.view: the view, as sys.view.
                t.push_back(MakeToken(Token::Word, "sys_" + Upper(NameOf(in[i + 4])), k.spaceBefore));
                i += 4;
                continue;
            }
            if (IsSchemaWord(k) && in[i + 2].IsName()) {
                const std::string view = Upper(NameOf(in[i + 2]));
                if (Upper(NameOf(k)) == "SYS" && view == "DATABASES") {
                    // Seen from every database, as sysdatabases.
                    if (!SameNoCase(dbName_, "master")) EnsureAttached("master");
                    t.push_back(MakeToken(Token::Word, SameNoCase(dbName_, "master") ? "sys_DATABASES" : "\"master\".sys_DATABASES", k.spaceBefore));
                    i += 2;
                    continue;
                }
                bool sysView = false;
                for (const char* v : kSysViews) sysView = sysView || (Upper(NameOf(k)) == "SYS" && view == v);
                if (sysView) {
                    t.push_back(MakeToken(Token::Word, "sys_" + Upper(view), k.spaceBefore));
                    i += 2;
                    continue;
                }
                Token obj = in[i + 2];
                obj.spaceBefore = k.spaceBefore;
                t.push_back(obj);
                i += 2;
                continue;
            }
            const bool threePart =
                i + 4 < in.size() + 1 && i + 3 < in.size() && (in[i + 2].IsOp(".") || (IsSchemaWord(in[i + 2]) && in[i + 3].IsOp(".")));
            if (threePart) {
                const std::string db = k.kind == Token::Word ? k.text : k.value;
                const size_t objAt = in[i + 2].IsOp(".") ? i + 3 : i + 4;
                // tempdb..#t: a temporary table lives beside the session's other tables here.
                if (objAt < in.size() && in[objAt].kind == Token::Word && !in[objAt].value.empty() && in[objAt].value[0] == '#' &&
                    Upper(db) == "TEMPDB") {
                    t.push_back(MakeToken(Token::Quoted, "\"" + TempName(in[objAt].text) + "\"", k.spaceBefore));
                    i = objAt;
                    continue;
                }
                if (objAt < in.size() && !server_.CanonicalDatabase(db).empty()) {
                    EnsureAttached(db);
                    const bool current = Upper(db) == Upper(dbName_);
                    t.push_back(
                        MakeToken(Token::Word, current ? std::string("main") : "\"" + server_.CanonicalDatabase(db) + "\"", k.spaceBefore));
                    t.push_back(MakeToken(Token::Op, ".", false));
                    Token obj = in[objAt];
                    obj.spaceBefore = false;
                    t.push_back(obj);
                    i = objAt;
                    continue;
                }
            }
        }
        if (k.Is("COLLATE") && i + 1 < in.size() && in[i + 1].IsName() && !in[i + 1].Is("SANDBOX_NUMERIC")) {
            // A case-sensitive or binary collation compares as written; any other ignores case.
            const std::string c = Upper(NameOf(in[i + 1]));
            const bool exact = c.find("_CS") != std::string::npos || c.find("_BIN") != std::string::npos;
            t.push_back(k);
            t.push_back(MakeToken(Token::Word, exact ? "BINARY" : "NOCASE"));
            ++i;
            continue;
        }
        // LEFT(s, n) and RIGHT(s, n): SQLite reads a bare LEFT or RIGHT as a join word.
        if ((k.Is("LEFT") || k.Is("RIGHT")) && i + 1 < in.size() && in[i + 1].IsOp("(")) {
            t.push_back(MakeToken(Token::Word, k.Is("LEFT") ? "\"left\"" : "\"right\"", k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Word && !k.value.empty() && k.value[0] == '#') {
            t.push_back(MakeToken(Token::Quoted, "\"" + TempName(k.text) + "\"", k.spaceBefore));
            continue;
        }
        t.push_back(k);
        // INSERT t VALUES ...: INTO is optional in T-SQL.
        if (k.Is("INSERT") && i + 1 < in.size() && in[i + 1].IsName() && !in[i + 1].Is("INTO")) t.push_back(MakeToken(Token::Word, "INTO"));
        // DELETE t WHERE ...: FROM is optional in T-SQL.
        if (k.Is("DELETE") && i == 0 && i + 1 < in.size() && in[i + 1].IsName() && !in[i + 1].Is("FROM") && !in[i + 1].Is("TOP") &&
            std::none_of(in.begin() + 2, in.end(), [](const Token& x) { return x.Is("FROM"); }))
            t.push_back(MakeToken(Token::Word, "FROM"));
    }
    // A bracketed name as SQLite reads it: SQLite's brackets know no doubled "]".
    for (Token& k : t) {
        if (k.kind != Token::Bracketed) continue;
        std::string q = "\"";
        for (char c : k.value) q += c == '"' ? std::string("\"\"") : std::string(1, c);
        k.text = q + "\"";
    }
    // ORDER BY ... OFFSET x ROWS [FETCH {NEXT | FIRST} y ROWS ONLY]  ->  LIMIT y OFFSET x.
    for (size_t i = 0; i < t.size(); ++i) {
        if (!t[i].Is("OFFSET")) continue;
        size_t rows = i + 1;
        int d = 0;
        for (; rows < t.size(); ++rows) {
            if (t[rows].IsOp("(")) ++d;
            if (t[rows].IsOp(")")) --d;
            if (d == 0 && (t[rows].Is("ROWS") || t[rows].Is("ROW"))) break;
        }
        if (rows >= t.size()) continue;
        std::vector<Token> skip(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(rows));
        std::vector<Token> take = {MakeToken(Token::Number, "-1")};
        size_t end = rows + 1;
        if (end + 1 < t.size() && t[end].Is("FETCH") && (t[end + 1].Is("NEXT") || t[end + 1].Is("FIRST"))) {
            size_t r2 = end + 2;
            for (d = 0; r2 < t.size(); ++r2) {
                if (t[r2].IsOp("(")) ++d;
                if (t[r2].IsOp(")")) --d;
                if (d == 0 && (t[r2].Is("ROWS") || t[r2].Is("ROW"))) break;
            }
            if (r2 + 1 < t.size() && t[r2 + 1].Is("ONLY")) {
                take.assign(t.begin() + static_cast<std::ptrdiff_t>(end) + 2, t.begin() + static_cast<std::ptrdiff_t>(r2));
                end = r2 + 2;
            }
        }
        std::vector<Token> limit = {MakeToken(Token::Word, "LIMIT"), MakeToken(Token::Op, "(")};
        limit.insert(limit.end(), take.begin(), take.end());
        limit.push_back(MakeToken(Token::Op, ")"));
        limit.push_back(MakeToken(Token::Word, "OFFSET"));
        limit.push_back(MakeToken(Token::Op, "("));
        limit.insert(limit.end(), skip.begin(), skip.end());
        limit.push_back(MakeToken(Token::Op, ")"));
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), limit.begin(), limit.end());
        i += limit.size() - 1;
    }
    // Pass 2: constructs.
    std::vector<Token> o;
    o.reserve(t.size() + 4);
    struct Limit {
        int depth;          // paren depth of the SELECT
        std::string count;  // the LIMIT text
        size_t at;          // where the SELECT starts in o
        bool laterBranch;   // the SELECT follows UNION, EXCEPT or INTERSECT
    };
    std::vector<Limit> pendingLimits;
    int depth = 0;
    auto closeLimits = [&](int atDepth) {
        while (!pendingLimits.empty() && pendingLimits.back().depth == atDepth) {
            o.push_back(MakeToken(Token::Word, "LIMIT"));
            o.push_back(MakeToken(Token::Word, pendingLimits.back().count));
            pendingLimits.pop_back();
        }
    };
    // TOP of a later branch limits that branch: SELECT * FROM (branch LIMIT n), before the union's ORDER BY.
    auto closeLaterBranch = [&]() {
        if (pendingLimits.empty() || pendingLimits.back().depth != depth || !pendingLimits.back().laterBranch) return;
        const size_t at = pendingLimits.back().at;
        const std::vector<Token> head = {MakeToken(Token::Word, "SELECT", o[at].spaceBefore), MakeToken(Token::Op, "*"),
                                         MakeToken(Token::Word, "FROM"), MakeToken(Token::Op, "(")};
        o.insert(o.begin() + static_cast<std::ptrdiff_t>(at), head.begin(), head.end());
        closeLimits(depth);
        o.push_back(MakeToken(Token::Op, ")", false));
    };
    for (size_t i = 0; i < t.size(); ++i) {
        const Token& k = t[i];
        if (k.Is("ORDER")) closeLaterBranch();
        if (k.IsOp("(")) {
            depth++;
            o.push_back(k);
            continue;
        }
        if (k.IsOp(")")) {
            closeLimits(depth);
            depth--;
            o.push_back(k);
            continue;
        }
        if (k.IsOp(";")) {
            closeLaterBranch();
            closeLimits(depth);
            continue;
        }
        if ((k.Is("UNION") || k.Is("EXCEPT") || k.Is("INTERSECT")) && !pendingLimits.empty() && pendingLimits.back().depth == depth) {
            // TOP limits its own branch: SELECT * FROM (branch LIMIT n) UNION ...
            const size_t at = pendingLimits.back().at;
            const std::vector<Token> head = {MakeToken(Token::Word, "SELECT", o[at].spaceBefore), MakeToken(Token::Op, "*"),
                                             MakeToken(Token::Word, "FROM"), MakeToken(Token::Op, "(")};
            o.insert(o.begin() + static_cast<std::ptrdiff_t>(at), head.begin(), head.end());
            closeLimits(depth);
            o.push_back(MakeToken(Token::Op, ")", false));
            o.push_back(k);
            continue;
        }
        if (k.Is("SELECT")) {
            const size_t selectAt = o.size();
            const bool laterBranch =
                !o.empty() && (o.back().Is("UNION") || o.back().Is("ALL") || o.back().Is("EXCEPT") || o.back().Is("INTERSECT"));
            o.push_back(k);
            size_t j = i + 1;
            if (j < t.size() && (t[j].Is("DISTINCT") || t[j].Is("ALL"))) o.push_back(t[j++]);
            if (j < t.size() && t[j].Is("TOP")) {
                ++j;
                std::string n;
                if (j < t.size() && t[j].IsOp("(")) {
                    const size_t close = MatchParen(t, j);
                    n = "(" + JoinTokens(t, j + 1, close) + ")";
                    j = close + 1;
                } else if (j < t.size()) {
                    n = t[j++].text;
                }
                if (j < t.size() && t[j].Is("PERCENT")) ++j;
                if (j + 1 < t.size() && t[j].Is("WITH") && t[j + 1].Is("TIES")) j += 2;
                pendingLimits.push_back({depth, n, selectAt, laterBranch});
            }
            i = j - 1;
            continue;
        }
        if (k.Is("CONVERT") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            // CONVERT(type, expr[, style]) -> CAST(expr AS type)
            const size_t close = MatchParen(t, i + 1);
            size_t comma = i + 2;
            int d = 0;
            for (; comma < close; ++comma) {
                if (t[comma].IsOp("("))
                    d++;
                else if (t[comma].IsOp(")"))
                    d--;
                else if (d == 0 && t[comma].IsOp(","))
                    break;
            }
            size_t exprEnd = comma + 1;
            d = 0;
            for (; exprEnd < close; ++exprEnd) {
                if (t[exprEnd].IsOp("("))
                    d++;
                else if (t[exprEnd].IsOp(")"))
                    d--;
                else if (d == 0 && t[exprEnd].IsOp(","))
                    break;
            }
            std::vector<Token> cast = {MakeToken(Token::Word, "CAST", k.spaceBefore), MakeToken(Token::Op, "(", false)};
            if (exprEnd < close) {
                // A style: dates are written (to text) or read (from text) in it.
                std::string typeText;
                for (size_t j = i + 2; j < comma; ++j) typeText += t[j].kind == Token::Bracketed ? t[j].value : t[j].text;
                SqlType type;
                const bool toText = ParseSqlType(typeText, type) && (type.IsText() || type.IsUnicode());
                cast.push_back(MakeToken(Token::Word, toText ? "sandbox_to_style" : "sandbox_from_style", false));
                cast.push_back(MakeToken(Token::Op, "(", false));
                cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(comma) + 1, t.begin() + static_cast<std::ptrdiff_t>(exprEnd));
                cast.push_back(MakeToken(Token::Op, ",", false));
                cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(exprEnd) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
                cast.push_back(MakeToken(Token::Op, ")", false));
            } else
                cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(comma) + 1, t.begin() + static_cast<std::ptrdiff_t>(exprEnd));
            cast.push_back(MakeToken(Token::Word, "AS"));
            cast.insert(cast.end(), t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(comma));
            cast.push_back(MakeToken(Token::Op, ")", false));
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), cast.begin(), cast.end());
            --i;
            continue;
        }
        if (k.Is("CAST") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            const size_t close = MatchParen(t, i + 1);
            const size_t as = CastAs(t, i + 1, close);
            if (as < close) {
                std::string typeText;
                for (size_t j = as + 1; j < close; ++j) typeText += t[j].kind == Token::Bracketed ? t[j].value : t[j].text;
                SqlType type;
                if (ParseSqlType(typeText, type)) {
                    CheckTypeSize(type, line);
                    // Without a length, CAST and CONVERT give character types 30.
                    if (typeText.find('(') == std::string::npos && type.kind != SqlType::Text && type.kind != SqlType::NText &&
                        (type.IsText() || type.IsUnicode()))
                        type.length = 30;
                    std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
                    std::vector<Token> rep;
                    if (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric || type.kind == SqlType::Money ||
                        type.kind == SqlType::SmallMoney) {
                        // Exact decimals travel as text; SQLite's numbers keep 15 digits.
                        const int p = type.kind == SqlType::Money ? 19 : type.kind == SqlType::SmallMoney ? 10 : type.precision;
                        const int s = type.kind == SqlType::Money || type.kind == SqlType::SmallMoney ? 4 : type.scale;
                        rep = {MakeToken(Token::Word, "sandbox_decimal", k.spaceBefore), MakeToken(Token::Op, "(", false)};
                        rep.insert(rep.end(), expr.begin(), expr.end());
                        rep.push_back(MakeToken(Token::Op, ",", false));
                        rep.push_back(MakeToken(Token::Number, std::to_string(p)));
                        rep.push_back(MakeToken(Token::Op, ",", false));
                        rep.push_back(MakeToken(Token::Number, std::to_string(s)));
                        if (type.kind == SqlType::Money || type.kind == SqlType::SmallMoney) {
                            // Money reads its own text (commas, blanks) and words its own error (235).
                            rep.push_back(MakeToken(Token::Op, ",", false));
                            rep.push_back(MakeToken(Token::String, SqlLiteral(type.Name())));
                        }
                        rep.push_back(MakeToken(Token::Op, ")", false));
                    } else if (const char* fn = CheckedCast(type)) {
                        // Conversions that fail or overflow as on SQL Server.
                        rep = {MakeToken(Token::Word, fn, k.spaceBefore), MakeToken(Token::Op, "(", false)};
                        rep.insert(rep.end(), expr.begin(), expr.end());
                        if (std::string(fn) != "sandbox_bit" && std::string(fn) != "sandbox_float") {
                            rep.push_back(MakeToken(Token::Op, ",", false));
                            const std::string name = type.Name();
                            rep.push_back(MakeToken(
                                Token::String, SqlLiteral(name.substr(0, type.kind == SqlType::DateTime2 || type.kind == SqlType::Time ||
                                                                                 type.kind == SqlType::DateTimeOffset
                                                                             ? std::string::npos
                                                                             : name.find('(')))));
                        }
                        rep.push_back(MakeToken(Token::Op, ")", false));
                    } else {
                        std::string target;
                        if (type.IsBinary())
                            target = "BLOB";
                        else if (type.IsText() || type.IsUnicode() || type.kind == SqlType::UniqueIdentifier ||
                                 type.kind == SqlType::Date || type.kind == SqlType::DateTime || type.kind == SqlType::DateTime2 ||
                                 type.kind == SqlType::SmallDateTime || type.kind == SqlType::Time || type.kind == SqlType::DateTimeOffset)
                            target = "TEXT";
                        else if (type.kind == SqlType::Float || type.kind == SqlType::Real)
                            target = "REAL";
                        else if (type.kind == SqlType::Variant)
                            target = "";
                        else
                            target = "INTEGER";
                        if (target.empty()) {
                            rep.push_back(MakeToken(Token::Op, "(", k.spaceBefore));
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(MakeToken(Token::Op, ")", false));
                        } else if (target == "TEXT" && type.length > 0 && (type.IsText() || type.IsUnicode())) {
                            // char(n) and nchar(n) are padded with blanks; binary is read as UTF-16 for nvarchar.
                            const bool fixed = type.kind == SqlType::Char || type.kind == SqlType::NChar;
                            rep = {MakeToken(Token::Word, fixed ? "sandbox_pad" : "substr", k.spaceBefore), MakeToken(Token::Op, "(", false),
                                   MakeToken(Token::Word, "sandbox_text", false), MakeToken(Token::Op, "(", false)};
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(MakeToken(Token::Op, ",", false));
                            rep.push_back(MakeToken(Token::Number, type.IsUnicode() ? "1" : "0"));
                            rep.push_back(MakeToken(Token::Op, ")", false));
                            rep.push_back(MakeToken(Token::Op, ",", false));
                            rep.push_back(MakeToken(Token::Number, "1"));
                            rep.push_back(MakeToken(Token::Op, ",", false));
                            rep.push_back(MakeToken(Token::Number, std::to_string(type.length)));
                            rep.push_back(MakeToken(Token::Op, ")", false));
                        } else {
                            rep = {MakeToken(Token::Word, "CAST", k.spaceBefore), MakeToken(Token::Op, "(", false)};
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(MakeToken(Token::Word, "AS"));
                            rep.push_back(MakeToken(Token::Word, target));
                            rep.push_back(MakeToken(Token::Op, ")", false));
                        }
                    }
                    t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(close) + 1);
                    t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
                    // Continue with the rewritten tokens (the inner expression is translated in turn).
                    o.push_back(t[i]);
                    if (t[i].IsOp("(")) depth++;
                    continue;
                }
            }
        }
        if (k.Is("WITH") && i + 1 < t.size() && t[i + 1].IsOp("(") && !o.empty() && (o.back().IsName() || o.back().IsOp(")"))) {
            // Table hints: WITH (NOLOCK)
            const size_t close = MatchParen(t, i + 1);
            bool hints = true;
            for (size_t j = i + 2; j < close; ++j)
                if (!(t[j].kind == Token::Word || t[j].IsOp(","))) hints = false;
            if (hints) {
                i = close;
                continue;
            }
        }
        // A string function's result next to + makes it a concatenation too.
        auto stringCall = [](const Token& f) {
            static const char* const kNames[] = {"SUBSTRING", "SUBSTR", "LTRIM",     "RTRIM", "TRIM", "UPPER", "LOWER",   "REPLACE",
                                                 "LEFT",      "RIGHT",  "REPLICATE", "SPACE", "CHAR", "STR",   "REVERSE", "STUFF",
                                                 "QUOTENAME", "SANDBOX_DATENAME", "TYPE_NAME", "\"LEFT\"", "\"RIGHT\""};
            return f.kind == Token::Word && std::any_of(std::begin(kNames), std::end(kNames), [&](const char* n) { return SameNoCase(f.text, n); });
        };
        auto endsWithStringCall = [&]() {
            if (o.empty() || !o.back().IsOp(")")) return false;
            int d = 0;
            for (size_t j = o.size(); j-- > 0;) {
                if (o[j].IsOp(")")) d++;
                if (o[j].IsOp("(") && --d == 0) return j > 0 && stringCall(o[j - 1]);
            }
            return false;
        };
        // CASE ... THEN 'text' ... END + x
        auto endsWithStringCase = [&]() {
            if (o.empty() || !o.back().Is("END")) return false;
            int d = 0;
            for (size_t j = o.size(); j-- > 0;) {
                if (o[j].Is("END")) d++;
                if (o[j].Is("CASE") && --d == 0) return false;
                if (d == 1 && (o[j].Is("THEN") || o[j].Is("ELSE")) && j + 1 < o.size() && o[j + 1].kind == Token::String) return true;
            }
            return false;
        };
        if (k.IsOp("+") && (endsWithStringCall() || endsWithStringCase() || (i + 2 < t.size() && stringCall(t[i + 1]) && t[i + 2].IsOp("(")))) {
            o.push_back(MakeToken(Token::Op, "||", k.spaceBefore));
            continue;
        }
        if (k.IsOp("+") && ((!o.empty() && o.back().kind == Token::String) || (i + 1 < t.size() && t[i + 1].kind == Token::String))) {
            o.push_back(MakeToken(Token::Op, "||", k.spaceBefore));
            continue;
        }
        if (k.IsName() && i + 2 < t.size() && t[i + 1].IsOp("=") && !o.empty() &&
            (o.back().Is("SELECT") || (o.back().IsOp(",") && depth == 0)) && !k.Is("CASE") && t[0].Is("SELECT")) {
            // SELECT alias = expr
            size_t end = i + 2;
            int d = 0;
            for (; end < t.size(); ++end) {
                if (t[end].IsOp("("))
                    d++;
                else if (t[end].IsOp(")")) {
                    if (d == 0) break;
                    d--;
                } else if (d == 0 && (t[end].IsOp(",") || t[end].Is("FROM") || t[end].Is("WHERE") || t[end].Is("ORDER") ||
                                      t[end].Is("GROUP") || t[end].IsOp(";")))
                    break;
            }
            std::vector<Token> rep(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(end));
            if (!rep.empty()) rep[0].spaceBefore = k.spaceBefore;
            rep.push_back(MakeToken(Token::Word, "AS"));
            Token alias = k;
            alias.spaceBefore = true;
            rep.push_back(alias);
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(end));
            t.insert(t.begin() + static_cast<std::ptrdiff_t>(i), rep.begin(), rep.end());
            --i;
            continue;
        }
        if (k.IsName() && i + 2 < t.size() && IsSchemaWord(k) && t[i + 1].IsOp(".")) continue;  // dbo.f(...)
        if (k.Is("ISNULL") && i + 1 < t.size() && t[i + 1].IsOp("(")) {
            o.push_back(MakeToken(Token::Word, "ifnull", k.spaceBefore));  // ISNULL is an operator in SQLite
            continue;
        }
        o.push_back(k);
    }
    closeLaterBranch();
    closeLimits(0);
    while (!pendingLimits.empty()) closeLimits(pendingLimits.back().depth);
    auto decimalColumn = [this](const std::string& name) {
        sqlite3_stmt* st = Cached(
            "SELECT 1 FROM __columns WHERE name = ? AND (type_text LIKE 'decimal%' OR type_text LIKE 'numeric%' OR type_text LIKE "
            "'%money')");
        if (!st) return false;
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        const bool found = sqlite3_step(st) == SQLITE_ROW;
        sqlite3_reset(st);
        return found;
    };
    auto moneyColumn = [this](const std::string& name) {
        sqlite3_stmt* st = Cached("SELECT 1 FROM __columns WHERE name = ? AND type_text LIKE '%money'");
        if (!st) return false;
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        const bool found = sqlite3_step(st) == SQLITE_ROW;
        sqlite3_reset(st);
        return found;
    };
    std::vector<Token> w = WatchAggregateNulls(std::move(o));
    // Aggregates of a decimal column or of an exact decimal expression (Arithmetic.cpp): MIN and MAX
    // compare as the decimal collation does (the function that watches for NULLs hides it, so it is
    // named again), SUM and AVG add exactly, and the result compares as a number (HAVING SUM(d) > 9).
    for (size_t i = 0; i + 4 < w.size(); ++i) {
        if (!(w[i].Is("MIN") || w[i].Is("MAX") || w[i].Is("SUM") || w[i].Is("AVG")) || !w[i + 1].IsOp("(")) continue;
        size_t j = i + 2;
        if (w[j].Is("DISTINCT") || w[j].Is("ALL")) ++j;
        if (j + 2 >= w.size() || !w[j].Is("SANDBOX_NULLWATCH") || !w[j + 1].IsOp("(")) continue;
        const size_t close = MatchParen(w, j + 1);
        if (close >= w.size()) continue;
        bool bareName = close > j + 2;
        for (size_t k = j + 2; k < close && bareName; ++k) bareName = (k - j) % 2 == 0 ? w[k].IsName() : w[k].IsOp(".");
        const bool column = bareName && (close - j) % 2 == 1 && decimalColumn(NameOf(w[close - 1]));
        // sandbox_exact(op, a, b, 'type') and nothing else
        const bool expression = !column && close >= j + 5 && w[j + 2].Is("SANDBOX_EXACT") && w[j + 3].IsOp("(") && MatchParen(w, j + 3) == close - 1;
        if (!column && !expression) continue;
        if (w[i].Is("SUM") || w[i].Is("AVG")) {
            // SUM and AVG add exactly (Store.cpp, Arithmetic.cpp); SQLite's add doubles.
            bool money = false;
            if (column) {
                money = moneyColumn(NameOf(w[close - 1]));
            } else {
                const size_t typeAt = close - 2;  // the result type, the last argument
                // 'money' or 'smallmoney', quoted by now
                money = w[typeAt].kind == Token::String && w[typeAt].value.find("money") != std::string::npos;
            }
            w[i] = MakeToken(Token::Word,
                             w[i].Is("SUM") ? (money ? "sandbox_moneysum" : "sandbox_decsum") : (money ? "sandbox_moneyavg" : "sandbox_decavg"),
                             w[i].spaceBefore);
        } else {
            const Token collate[] = {MakeToken(Token::Word, "COLLATE"), MakeToken(Token::Word, "sandbox_numeric")};
            w.insert(w.begin() + static_cast<std::ptrdiff_t>(close) + 1, std::begin(collate), std::end(collate));
        }
        const size_t aggregateClose = MatchParen(w, i + 1);
        if (aggregateClose >= w.size() || !NextToComparison(w, i, aggregateClose + 1)) continue;
        std::vector<Token> aggregate(w.begin() + static_cast<std::ptrdiff_t>(i), w.begin() + static_cast<std::ptrdiff_t>(aggregateClose) + 1);
        aggregate = ComparedAsNumber(std::move(aggregate));
        aggregate[0].spaceBefore = w[i].spaceBefore;
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(i), w.begin() + static_cast<std::ptrdiff_t>(aggregateClose) + 1);
        w.insert(w.begin() + static_cast<std::ptrdiff_t>(i), aggregate.begin(), aggregate.end());
        i += 2;  // past CAST ( to the aggregate itself
    }
    auto derivedDecimal = [&](const std::string& qualifier, const std::string& name) {
        const StatementTablesInView inView(*this, given);
        SqlType type;
        if (derived_.empty() || (qualifier.empty() && CatalogColumnType(name, type))) return false;
        return DerivedColumnType(qualifier, name, type) && (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric ||
                                                            type.kind == SqlType::Money || type.kind == SqlType::SmallMoney);
    };
    return JoinTokens(CheckedDivision(CaseInsensitiveOrder(std::move(w), decimalColumn, derivedDecimal)));
}
