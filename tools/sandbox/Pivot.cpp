// PIVOT and UNPIVOT, which SQLite does not have, as the derived tables they stand for: PIVOT groups
// by the source's other columns with one aggregate of a CASE per value, UNPIVOT is a UNION ALL of
// one SELECT per column, its NULLs left out.
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

namespace {

Token Name(const std::string& name) {
    std::string text = "[";
    for (char c : name) text += c == ']' ? std::string("]]") : std::string(1, c);
    Token k = MakeToken(Token::Bracketed, text + "]");
    k.value = name;
    return k;
}

void Append(std::vector<Token>& out, std::initializer_list<Token> tokens) { out.insert(out.end(), tokens.begin(), tokens.end()); }

Token Word(const char* w, bool space = true) { return MakeToken(Token::Word, w, space); }
Token Op(const char* o, bool space = false) { return MakeToken(Token::Op, o, space); }

// A value of the IN list as a literal: [1] is 1, [Tea] is 'Tea'; a value for a text column is text.
Token ValueLiteral(const Token& k, bool textColumn) {
    if (k.kind == Token::Number || k.kind == Token::String) return k;
    const std::string v = NameOf(k);
    bool number = !v.empty() && !textColumn;
    bool dot = false;
    for (size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '-' && i == 0 && v.size() > 1) continue;
        if (c == '.' && !dot) {
            dot = true;
            continue;
        }
        number = number && std::isdigit(static_cast<unsigned char>(c));
    }
    if (number) return MakeToken(Token::Number, v);
    Token s = MakeToken(Token::String, SqlLiteral(v, "N"));
    s.value = v;
    s.national = true;
    return s;
}

}  // namespace

std::vector<Token> Session::RewritePivots(std::vector<Token> given, int line) {
    if (std::none_of(given.begin(), given.end(), [](const Token& k) { return k.Is("PIVOT") || k.Is("UNPIVOT"); })) return given;
    std::vector<Token> t = std::move(given);
    for (size_t p = 0; p < t.size(); ++p) {
        const bool unpivot = t[p].Is("UNPIVOT");
        if (!(t[p].Is("PIVOT") || unpivot) || p + 1 >= t.size() || !t[p + 1].IsOp("(")) continue;
        const std::string what = unpivot ? "UNPIVOT" : "PIVOT";
        auto refuse = [&](const std::string& why) {
            return SqlError{40000, 16, 1, what + " " + why + " is not supported by the stand-in.", line, "", true};
        };
        // The table source before it: name [[AS] alias] or (query) [AS] alias.
        size_t j = p;
        if (j >= 2 && t[j - 1].IsName() &&
            (t[j - 2].IsOp(")") || t[j - 2].Is("AS") || (t[j - 2].IsName() && !t[j - 2].Is("FROM") && !t[j - 2].Is("JOIN")))) {
            --j;
            if (t[j - 1].Is("AS")) --j;
        }
        size_t start = j;
        if (j >= 1 && t[j - 1].IsOp(")")) {
            int d = 0;
            for (start = j - 1;; --start) {
                if (t[start].IsOp(")")) d++;
                if (t[start].IsOp("(") && --d == 0) break;
                if (start == 0) break;
            }
        } else if (j >= 1 && t[j - 1].IsName()) {
            start = j - 1;
            while (start >= 2 && t[start - 1].IsOp(".")) start -= 2;
        }
        if (start >= p || start == 0 || !(t[start - 1].Is("FROM") || t[start - 1].Is("JOIN") || t[start - 1].IsOp(",")))
            throw refuse("of a joined table (make the join a derived table)");
        const std::vector<Token> source(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(p));
        const size_t close = MatchParen(t, p + 1);
        if (close >= t.size()) throw SqlError{102, 15, 1, "Incorrect syntax near '" + what + "'.", line, "", true};
        // ... ) [AS] alias
        size_t end = close + 1;
        if (end < t.size() && t[end].Is("AS")) ++end;
        if (end >= t.size() || !t[end].IsName())
            throw SqlError{102,  15, 1,   "Incorrect syntax near '" + (end < t.size() ? t[end].text : std::string(")")) + "'.",
                           line, "", true};
        const Token alias = t[end++];
        // agg(value) FOR column IN (...) | value FOR column IN (...)
        size_t forAt = p + 2;
        for (int d = 0; forAt < close; ++forAt) {
            if (t[forAt].IsOp("(")) d++;
            if (t[forAt].IsOp(")")) d--;
            if (d == 0 && t[forAt].Is("FOR")) break;
        }
        if (forAt + 3 >= close || !t[forAt + 1].IsName() || !t[forAt + 2].Is("IN") || !t[forAt + 3].IsOp("("))
            throw SqlError{102, 15, 1, "Incorrect syntax near '" + what + "'.", line, "", true};
        const std::string forColumn = NameOf(t[forAt + 1]);
        const size_t inClose = MatchParen(t, forAt + 3);
        const auto values = SplitCommas(t, forAt + 4, inClose);
        // The source's columns, as a query of it names them.
        std::vector<std::string> columns;
        bool textColumn = false;
        {
            std::vector<Token> probe = {Word("SELECT", false), Op("*", true), Word("FROM")};
            probe.insert(probe.end(), source.begin(), source.end());
            SqlStmt st = Prepare(Translate(probe, line), line);
            for (int c = 0; c < sqlite3_column_count(st); ++c) columns.push_back(sqlite3_column_name(st, c));
            const StatementTablesInView inView(*this, probe);
            bool named = false;
            const SqlType type = InferExprType({t[forAt + 1]}, named);
            textColumn = named && (type.IsText() || type.IsUnicode());
        }
        auto has = [&](const std::string& c) {
            return std::any_of(columns.begin(), columns.end(), [&](const std::string& x) { return SameNoCase(x, c); });
        };
        std::vector<Token> rep = {Op("(", true)};
        if (!unpivot) {
            if (!(t[p + 2].kind == Token::Word && t[p + 3].IsOp("(") && MatchParen(t, p + 3) + 1 == forAt))
                throw SqlError{102, 15, 1, "Incorrect syntax near 'PIVOT'.", line, "", true};
            const std::vector<Token> valueExpr(t.begin() + static_cast<std::ptrdiff_t>(p) + 4,
                                               t.begin() + static_cast<std::ptrdiff_t>(MatchParen(t, p + 3)));
            if (valueExpr.size() != 1 || !valueExpr[0].IsName()) throw refuse("of an expression");
            const std::string valueColumn = NameOf(valueExpr[0]);
            for (const std::string& c : {valueColumn, forColumn})
                if (!has(c)) throw SqlError{207, 16, 1, "Invalid column name '" + c + "'.", line, "", true};
            std::vector<std::string> grouped;
            for (const auto& c : columns)
                if (!SameNoCase(c, valueColumn) && !SameNoCase(c, forColumn)) grouped.push_back(c);
            rep.push_back(Word("SELECT", false));
            for (const auto& g : grouped) {
                rep.push_back(Name(g));
                rep.push_back(Op(","));
            }
            for (size_t v = 0; v < values.size(); ++v) {
                if (values[v].size() != 1) throw SqlError{102, 15, 1, "Incorrect syntax near '" + values[v][0].text + "'.", line, "", true};
                if (v) rep.push_back(Op(","));
                // agg(CASE WHEN column = value THEN value column END) AS [value]
                rep.push_back(t[p + 2]);
                rep.back().spaceBefore = true;
                Append(rep,
                       {Op("("), Word("CASE", false), Word("WHEN"), Name(forColumn), Op("=", true), ValueLiteral(values[v][0], textColumn),
                        Word("THEN"), Name(valueColumn), Word("END"), Op(")"), Word("AS"), Name(NameOf(values[v][0]))});
            }
            rep.push_back(Word("FROM"));
            rep.insert(rep.end(), source.begin(), source.end());
            for (size_t g = 0; g < grouped.size(); ++g) {
                if (g == 0)
                    Append(rep, {Word("GROUP"), Word("BY")});
                else
                    rep.push_back(Op(","));
                rep.push_back(Name(grouped[g]));
            }
        } else {
            if (forAt != p + 3 || !t[p + 2].IsName()) throw SqlError{102, 15, 1, "Incorrect syntax near 'UNPIVOT'.", line, "", true};
            const std::string valueColumn = NameOf(t[p + 2]);
            std::vector<std::string> unpivoted;
            for (const auto& v : values) {
                if (v.size() != 1 || !v[0].IsName())
                    throw SqlError{102, 15, 1, "Incorrect syntax near '" + v[0].text + "'.", line, "", true};
                if (!has(NameOf(v[0]))) throw SqlError{207, 16, 1, "Invalid column name '" + NameOf(v[0]) + "'.", line, "", true};
                unpivoted.push_back(NameOf(v[0]));
            }
            std::vector<std::string> kept;
            for (const auto& c : columns)
                if (std::none_of(unpivoted.begin(), unpivoted.end(), [&](const std::string& u) { return SameNoCase(u, c); }))
                    kept.push_back(c);
            for (size_t u = 0; u < unpivoted.size(); ++u) {
                if (u) Append(rep, {Word("UNION"), Word("ALL")});
                rep.push_back(Word("SELECT", u > 0));
                for (const auto& k : kept) {
                    rep.push_back(Name(k));
                    rep.push_back(Op(","));
                }
                // The column's name is sysname; its value as the columns have it.
                Token nameLiteral = MakeToken(Token::String, SqlLiteral(unpivoted[u], "N"));
                nameLiteral.value = unpivoted[u];
                nameLiteral.national = true;
                Append(rep, {Word("CAST"), Op("("), nameLiteral, Word("AS"), Word("nvarchar"), Op("("),
                             MakeToken(Token::Number, "128", false), Op(")"), Op(")"), Word("AS"), Name(forColumn), Op(","),
                             Name(unpivoted[u]), Word("AS"), Name(valueColumn), Word("FROM")});
                rep.insert(rep.end(), source.begin(), source.end());
                Append(rep, {Word("WHERE"), Name(unpivoted[u]), Word("IS"), Word("NOT"), Word("NULL")});
            }
        }
        Append(rep, {Op(")"), Word("AS"), alias});
        rep.back().spaceBefore = true;
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(start), rep.begin(), rep.end());
        p = start;
    }
    return t;
}
