// T-SQL to SQLite: rewriting the tokens of one statement.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

namespace {

bool IsSchemaWord(const Token& t) {
    return t.IsName() && (Upper(t.kind == Token::Word ? t.text : t.value) == "DBO" || Upper(t.value) == "SYS");
}

}  // namespace

std::string Session::Translate(const std::vector<Token>& in, int line) {
    (void)line;
    std::vector<Token> t;
    t.reserve(in.size() + 4);
    // Pass 1: names, literals, variables.
    for (size_t i = 0; i < in.size(); ++i) {
        const Token& k = in[i];
        if (k.kind == Token::String) {
            t.push_back(MakeToken(Token::String, SqlLiteral(k.value), k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Hex) {
            t.push_back(MakeToken(Token::String, "X'" + (k.value.size() % 2 ? "0" + k.value : k.value) + "'", k.spaceBefore));
            continue;
        }
        if (k.kind == Token::Variable && k.value.rfind("@@", 0) == 0) {
            std::string v;
            if (k.value == "@@ROWCOUNT") v = std::to_string(rowcount_);
            else if (k.value == "@@IDENTITY") v = "last_insert_rowid()";
            else if (k.value == "@@SPID") v = std::to_string(spid_);
            else if (k.value == "@@TRANCOUNT") v = std::to_string(tranCount_);
            else if (k.value == "@@ERROR") v = std::to_string(lastError_);
            else if (k.value == "@@VERSION") v = SqlLiteral("Tolvan Sandbox 15.0.2000 (SQL Server stand-in on SQLite " + std::string(sqlite3_libversion()) + ")");
            else if (k.value == "@@SERVERNAME") v = SqlLiteral(server_.ServerName());
            else if (k.value == "@@LANGUAGE") v = SqlLiteral("us_english");
            else if (k.value == "@@FETCH_STATUS") v = "-1";
            else if (k.value == "@@NESTLEVEL") v = std::to_string(procDepth_);
            else if (k.value == "@@MAX_PRECISION") v = "38";
            else v = "NULL";
            t.push_back(MakeToken(Token::Word, v, k.spaceBefore));
            continue;
        }
        if (k.IsName() && i + 2 < in.size() && in[i + 1].IsOp(".")) {
            // db.dbo.obj, db..obj, dbo.obj, INFORMATION_SCHEMA.X
            if (Upper(k.kind == Token::Word ? k.text : k.value) == "INFORMATION_SCHEMA" && in[i + 2].IsName()) {
                t.push_back(MakeToken(Token::Word, "information_schema_" + std::string(Upper(in[i + 2].value) == in[i + 2].value ? in[i + 2].text : in[i + 2].value), k.spaceBefore));
                i += 2;
                continue;
            }
            if (IsSchemaWord(k) && in[i + 2].IsName()) {
                Token obj = in[i + 2];
                obj.spaceBefore = k.spaceBefore;
                t.push_back(obj);
                i += 2;
                continue;
            }
            const bool threePart = i + 4 < in.size() + 1 && i + 3 < in.size() && (in[i + 2].IsOp(".") || (IsSchemaWord(in[i + 2]) && in[i + 3].IsOp(".")));
            if (threePart) {
                const std::string db = k.kind == Token::Word ? k.text : k.value;
                const size_t objAt = in[i + 2].IsOp(".") ? i + 3 : i + 4;
                if (objAt < in.size() && !server_.CanonicalDatabase(db).empty()) {
                    EnsureAttached(db);
                    const bool current = Upper(db) == Upper(dbName_);
                    t.push_back(MakeToken(Token::Word, current ? std::string("main") : "\"" + server_.CanonicalDatabase(db) + "\"", k.spaceBefore));
                    t.push_back(MakeToken(Token::Op, ".", false));
                    Token obj = in[objAt];
                    obj.spaceBefore = false;
                    t.push_back(obj);
                    i = objAt;
                    continue;
                }
            }
        }
        if (k.kind == Token::Word && !k.value.empty() && k.value[0] == '#') {
            t.push_back(MakeToken(Token::Quoted, "\"" + k.text + "\"", k.spaceBefore));
            continue;
        }
        t.push_back(k);
    }
    // Pass 2: constructs.
    std::vector<Token> o;
    o.reserve(t.size() + 4);
    std::vector<std::pair<int, std::string>> pendingLimits;  // paren depth of the SELECT, LIMIT text
    int depth = 0;
    auto closeLimits = [&](int atDepth) {
        while (!pendingLimits.empty() && pendingLimits.back().first == atDepth) {
            o.push_back(MakeToken(Token::Word, "LIMIT"));
            o.push_back(MakeToken(Token::Word, pendingLimits.back().second));
            pendingLimits.pop_back();
        }
    };
    for (size_t i = 0; i < t.size(); ++i) {
        const Token& k = t[i];
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
            closeLimits(depth);
            continue;
        }
        if (k.Is("SELECT")) {
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
                pendingLimits.emplace_back(depth, n);
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
                if (t[comma].IsOp("(")) d++;
                else if (t[comma].IsOp(")")) d--;
                else if (d == 0 && t[comma].IsOp(",")) break;
            }
            size_t exprEnd = comma + 1;
            d = 0;
            for (; exprEnd < close; ++exprEnd) {
                if (t[exprEnd].IsOp("(")) d++;
                else if (t[exprEnd].IsOp(")")) d--;
                else if (d == 0 && t[exprEnd].IsOp(",")) break;
            }
            std::vector<Token> cast = {MakeToken(Token::Word, "CAST", k.spaceBefore), MakeToken(Token::Op, "(", false)};
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
            size_t as = close;
            int d = 0;
            for (size_t j = i + 2; j < close; ++j) {
                if (t[j].IsOp("(")) d++;
                else if (t[j].IsOp(")")) d--;
                else if (d == 0 && t[j].Is("AS")) as = j;
            }
            if (as < close) {
                std::string typeText;
                for (size_t j = as + 1; j < close; ++j) typeText += t[j].kind == Token::Bracketed ? t[j].value : t[j].text;
                SqlType type;
                if (ParseSqlType(typeText, type)) {
                    std::vector<Token> expr(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(as));
                    std::vector<Token> rep;
                    if (type.kind == SqlType::Decimal || type.kind == SqlType::Numeric || type.kind == SqlType::Money || type.kind == SqlType::SmallMoney) {
                        // Exact decimals travel as text; SQLite's numbers keep 15 digits.
                        const int p = type.kind == SqlType::Money ? 19 : type.kind == SqlType::SmallMoney ? 10 : type.precision;
                        const int s = type.kind == SqlType::Money || type.kind == SqlType::SmallMoney ? 4 : type.scale;
                        rep = {MakeToken(Token::Word, "sandbox_decimal", k.spaceBefore), MakeToken(Token::Op, "(", false)};
                        rep.insert(rep.end(), expr.begin(), expr.end());
                        rep.push_back(MakeToken(Token::Op, ",", false));
                        rep.push_back(MakeToken(Token::Number, std::to_string(p)));
                        rep.push_back(MakeToken(Token::Op, ",", false));
                        rep.push_back(MakeToken(Token::Number, std::to_string(s)));
                        rep.push_back(MakeToken(Token::Op, ")", false));
                    } else {
                        std::string target;
                        if (type.IsBinary()) target = "BLOB";
                        else if (type.IsText() || type.IsUnicode() || type.kind == SqlType::UniqueIdentifier || type.kind == SqlType::Date ||
                                 type.kind == SqlType::DateTime || type.kind == SqlType::DateTime2 || type.kind == SqlType::SmallDateTime ||
                                 type.kind == SqlType::Time || type.kind == SqlType::DateTimeOffset)
                            target = "TEXT";
                        else if (type.kind == SqlType::Float || type.kind == SqlType::Real) target = "REAL";
                        else if (type.kind == SqlType::Variant) target = "";
                        else target = "INTEGER";
                        if (target.empty()) {
                            rep.push_back(MakeToken(Token::Op, "(", k.spaceBefore));
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(MakeToken(Token::Op, ")", false));
                        } else if (target == "TEXT" && type.length > 0 && (type.IsText() || type.IsUnicode())) {
                            rep = {MakeToken(Token::Word, "substr", k.spaceBefore), MakeToken(Token::Op, "(", false), MakeToken(Token::Word, "CAST", false), MakeToken(Token::Op, "(", false)};
                            rep.insert(rep.end(), expr.begin(), expr.end());
                            rep.push_back(MakeToken(Token::Word, "AS"));
                            rep.push_back(MakeToken(Token::Word, "TEXT"));
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
                if (t[end].IsOp("(")) d++;
                else if (t[end].IsOp(")")) {
                    if (d == 0) break;
                    d--;
                } else if (d == 0 && (t[end].IsOp(",") || t[end].Is("FROM") || t[end].Is("WHERE") || t[end].Is("ORDER") || t[end].Is("GROUP") || t[end].IsOp(";")))
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
        o.push_back(k);
    }
    closeLimits(0);
    while (!pendingLimits.empty()) closeLimits(pendingLimits.back().first);
    return JoinTokens(o);
}

