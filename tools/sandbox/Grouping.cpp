#include "Grouping.h"

#include "Session.h"

#include <algorithm>
#include <cstdlib>
#include <set>

namespace {

using Expr = std::vector<Token>;
using Set = std::vector<Expr>;

bool IsAggregateName(const Token& k) {
    static const char* const kNames[] = {"SUM",   "AVG",    "MIN", "MAX",  "COUNT",      "COUNT_BIG",
                                         "STDEV", "STDEVP", "VAR", "VARP", "STRING_AGG", "CHECKSUM_AGG"};
    return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* n) { return k.Is(n); });
}

std::string Key(const Expr& e) {
    std::string s;
    for (const Token& k : e) s += (k.IsName() ? Upper(NameOf(k)) : k.text) + " ";
    return s;
}

// A column reference: name or qualifier.name; its parts, else false.
bool ColumnRef(const Expr& e, std::string& qualifier, std::string& name) {
    if (e.size() == 1 && e[0].IsName()) {
        qualifier.clear();
        name = NameOf(e[0]);
        return true;
    }
    if (e.size() == 3 && e[0].IsName() && e[1].IsOp(".") && e[2].IsName()) {
        qualifier = NameOf(e[0]);
        name = NameOf(e[2]);
        return true;
    }
    return false;
}

// Whether two expressions are the same grouping expression: the same tokens, or the same column
// with the qualifier written on one side only.
bool Same(const Expr& a, const Expr& b) {
    if (Key(a) == Key(b)) return true;
    std::string qa, na, qb, nb;
    return ColumnRef(a, qa, na) && ColumnRef(b, qb, nb) && SameNoCase(na, nb) && (qa.empty() || qb.empty() || SameNoCase(qa, qb));
}

bool In(const Set& s, const Expr& e) {
    return std::any_of(s.begin(), s.end(), [&](const Expr& x) { return Same(x, e); });
}

Expr Trimmed(Expr e) {
    // (a) is a: parentheses around one expression group nothing.
    while (e.size() >= 2 && e.front().IsOp("(") && MatchParen(e, 0) == e.size() - 1) e = Expr(e.begin() + 1, e.end() - 1);
    return e;
}

std::vector<Set> Cross(const std::vector<Set>& a, const std::vector<Set>& b) {
    std::vector<Set> out;
    for (const Set& x : a)
        for (const Set& y : b) {
            Set s = x;
            for (const Expr& e : y)
                if (!In(s, e)) s.push_back(e);
            out.push_back(std::move(s));
        }
    return out;
}

// An element's expressions: (a, b) is both, () none, a one.
Set Composite(const Expr& e) {
    if (e.size() >= 2 && e.front().IsOp("(") && MatchParen(e, 0) == e.size() - 1) {
        Set s;
        for (auto& part : SplitCommas(e, 1, e.size() - 1)) s.push_back(Trimmed(part));
        return s;
    }
    return {Trimmed(e)};
}

// The grouping sets of one element of a GROUP BY list.
std::vector<Set> SetsOf(const Expr& e, int line) {
    auto args = [&](size_t open) { return SplitCommas(e, open + 1, MatchParen(e, open)); };
    if (e.size() >= 3 && (e[0].Is("ROLLUP") || e[0].Is("CUBE")) && e[1].IsOp("(") && MatchParen(e, 1) == e.size() - 1) {
        std::vector<Set> parts;
        for (const auto& a : args(1)) parts.push_back(Composite(a));
        std::vector<Set> out;
        if (e[0].Is("ROLLUP")) {
            for (size_t n = parts.size() + 1; n-- > 0;) {
                Set s;
                for (size_t k = 0; k < n; ++k)
                    for (const Expr& x : parts[k])
                        if (!In(s, x)) s.push_back(x);
                out.push_back(std::move(s));
            }
            return out;
        }
        if (parts.size() > 12)
            throw SqlError{40000, 16, 1, "CUBE of more than 12 elements is not supported by the stand-in.", line, "", true};
        for (size_t mask = (size_t{1} << parts.size()); mask-- > 0;) {
            Set s;
            for (size_t k = 0; k < parts.size(); ++k)
                if (mask & (size_t{1} << (parts.size() - 1 - k)))
                    for (const Expr& x : parts[k])
                        if (!In(s, x)) s.push_back(x);
            out.push_back(std::move(s));
        }
        return out;
    }
    if (e.size() >= 4 && e[0].Is("GROUPING") && e[1].Is("SETS") && e[2].IsOp("(") && MatchParen(e, 2) == e.size() - 1) {
        std::vector<Set> out;
        for (const auto& a : args(2)) {
            const Expr item = a;
            if (!item.empty() && (item[0].Is("ROLLUP") || item[0].Is("CUBE"))) {
                for (auto& s : SetsOf(item, line)) out.push_back(std::move(s));
                continue;
            }
            const bool empty = item.size() == 2 && item[0].IsOp("(") && item[1].IsOp(")");
            out.push_back(empty ? Set{} : Composite(item));
        }
        return out;
    }
    if (e.size() == 2 && e[0].IsOp("(") && e[1].IsOp(")")) return {Set{}};
    return {Composite(e)};
}

// The expression with what the grouping set leaves out as NULL (outside aggregates), and GROUPING
// and GROUPING_ID as the constants they are in it.
Expr ForSet(const Expr& e, const Set& all, const Set& set, int line) {
    Expr out;
    for (size_t j = 0; j < e.size(); ++j) {
        const Token& k = e[j];
        if ((k.Is("GROUPING") || k.Is("GROUPING_ID")) && j + 1 < e.size() && e[j + 1].IsOp("(")) {
            const size_t close = MatchParen(e, j + 1);
            long long value = 0;
            for (const auto& a : SplitCommas(e, j + 2, close)) {
                const Expr arg = Trimmed(a);
                if (!In(all, arg))
                    throw SqlError{8161,
                                   16,
                                   1,
                                   "Argument 1 of the " + std::string(k.Is("GROUPING") ? "GROUPING" : "GROUPING_ID") +
                                       " function does not match any of the expressions in the GROUP BY clause.",
                                   line,
                                   "",
                                   true};
                value = value * 2 + (In(set, arg) ? 0 : 1);
            }
            out.push_back(MakeToken(Token::Number, std::to_string(value), k.spaceBefore));
            j = close;
            continue;
        }
        // An aggregate's argument, or a subquery (of its own tables), stays as it is.
        if ((IsAggregateName(k) && j + 1 < e.size() && e[j + 1].IsOp("(")) || (k.IsOp("(") && j + 1 < e.size() && e[j + 1].Is("SELECT"))) {
            const size_t close = k.IsOp("(") ? MatchParen(e, j) : MatchParen(e, j + 1);
            out.insert(out.end(), e.begin() + static_cast<std::ptrdiff_t>(j), e.begin() + static_cast<std::ptrdiff_t>(close) + 1);
            j = close;
            continue;
        }
        // The longest expression left out of the set that starts here.
        size_t best = 0;
        for (const Expr& g : all) {
            if (In(set, g) || g.empty()) continue;
            std::string q, n;
            if (ColumnRef(g, q, n)) {
                // A column here: not part of a longer name or a call.
                if (!k.IsName() || (j > 0 && e[j - 1].IsOp("."))) continue;
                size_t len = j + 2 < e.size() && e[j + 1].IsOp(".") && e[j + 2].IsName() ? 3 : 1;
                if (j + len < e.size() && (e[j + len].IsOp(".") || e[j + len].IsOp("("))) continue;
                if (Same(g, Expr(e.begin() + static_cast<std::ptrdiff_t>(j), e.begin() + static_cast<std::ptrdiff_t>(j + len))))
                    best = std::max(best, len);
                continue;
            }
            if (j + g.size() <= e.size() &&
                Key(g) == Key(Expr(e.begin() + static_cast<std::ptrdiff_t>(j), e.begin() + static_cast<std::ptrdiff_t>(j + g.size()))))
                best = std::max(best, g.size());
        }
        if (best > 0) {
            out.push_back(MakeToken(Token::Word, "NULL", k.spaceBefore));
            j += best - 1;
            continue;
        }
        out.push_back(k);
    }
    return out;
}

bool EndsClause(const Token& k) {
    return k.Is("ORDER") || k.Is("UNION") || k.Is("EXCEPT") || k.Is("INTERSECT") || k.Is("OPTION") || k.Is("FOR") || k.IsOp(";");
}

// One level of a statement (what parentheses hold is done first, on its own).
std::vector<Token> Level(const std::vector<Token>& in, int line, const ExactDecimal& exact) {
    std::vector<Token> t;
    t.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (!in[i].IsOp("(")) {
            t.push_back(in[i]);
            continue;
        }
        const size_t close = MatchParen(in, i);
        if (close >= in.size()) {
            t.insert(t.end(), in.begin() + static_cast<std::ptrdiff_t>(i), in.end());
            break;
        }
        const std::vector<Token> inner =
            Level(std::vector<Token>(in.begin() + static_cast<std::ptrdiff_t>(i) + 1, in.begin() + static_cast<std::ptrdiff_t>(close)),
                  line, exact);
        t.push_back(in[i]);
        t.insert(t.end(), inner.begin(), inner.end());
        t.push_back(in[close]);
        i = close;
    }
    // Depth-0 positions of this level.
    auto atTop = [&](size_t from, auto pred) {
        for (size_t i = from; i < t.size(); ++i) {
            if (t[i].IsOp("(")) {
                i = MatchParen(t, i);
                continue;
            }
            if (pred(i)) return i;
        }
        return t.size();
    };
    for (size_t searchFrom = 0;;) {
        const size_t group = atTop(searchFrom, [&](size_t i) { return t[i].Is("GROUP") && i + 1 < t.size() && t[i + 1].Is("BY"); });
        if (group >= t.size()) break;
        size_t select = t.size();
        for (size_t i = 0; i < group; ++i) {
            if (t[i].IsOp("("))
                i = MatchParen(t, i);
            else if (t[i].Is("SELECT"))
                select = i;
        }
        size_t groupEnd = atTop(group + 2, [&](size_t i) { return t[i].Is("HAVING") || EndsClause(t[i]); });
        // GROUP BY a, b WITH ROLLUP | WITH CUBE
        bool withRollup = false, withCube = false;
        size_t listEnd = groupEnd;
        if (groupEnd >= group + 4 && t[groupEnd - 2].Is("WITH") && (t[groupEnd - 1].Is("ROLLUP") || t[groupEnd - 1].Is("CUBE"))) {
            withRollup = t[groupEnd - 1].Is("ROLLUP");
            withCube = !withRollup;
            listEnd = groupEnd - 2;
        }
        const auto elements = SplitCommas(t, group + 2, listEnd);
        bool special = withRollup || withCube;
        for (const auto& e : elements)
            special = special ||
                      (!e.empty() && (e[0].Is("ROLLUP") || e[0].Is("CUBE") || (e[0].Is("GROUPING") && e.size() > 1 && e[1].Is("SETS")) ||
                                      (e.size() == 2 && e[0].IsOp("(") && e[1].IsOp(")"))));
        size_t havingEnd = groupEnd;
        if (groupEnd < t.size() && t[groupEnd].Is("HAVING")) havingEnd = atTop(groupEnd + 1, [&](size_t i) { return EndsClause(t[i]); });
        size_t listStart = 0, selectListEnd = 0;
        const std::vector<Token> branchHead(t.begin() + static_cast<std::ptrdiff_t>(select),
                                            t.begin() + static_cast<std::ptrdiff_t>(group));
        bool asksGrouping = false;
        for (size_t i = select; i < havingEnd; ++i)
            asksGrouping = asksGrouping || ((t[i].Is("GROUPING") || t[i].Is("GROUPING_ID")) && i + 1 < t.size() && t[i + 1].IsOp("("));
        if (select >= group || (!special && !asksGrouping) || !TopSelectList(branchHead, listStart, selectListEnd)) {
            searchFrom = havingEnd;
            continue;
        }
        // The grouping sets: the product of what each element gives.
        std::vector<Set> sets = {Set{}};
        if (withRollup || withCube) {
            Expr all = {MakeToken(Token::Word, withRollup ? "ROLLUP" : "CUBE"), MakeToken(Token::Op, "(", false)};
            for (size_t k = 0; k < elements.size(); ++k) {
                if (k) all.push_back(MakeToken(Token::Op, ",", false));
                all.insert(all.end(), elements[k].begin(), elements[k].end());
            }
            all.push_back(MakeToken(Token::Op, ")", false));
            sets = SetsOf(all, line);
        } else {
            for (const auto& e : elements) sets = Cross(sets, SetsOf(e, line));
        }
        if (sets.size() > 4096)
            throw SqlError{40000, 16, 1, "More than 4096 grouping sets are not supported by the stand-in.", line, "", true};
        Set all;
        for (const Set& s : sets)
            for (const Expr& e : s)
                if (!In(all, e)) all.push_back(e);
        // The head: SELECT [DISTINCT] [TOP n] stays with the whole; each branch has the list and FROM ... WHERE.
        const size_t list = select + listStart, listStop = select + selectListEnd;
        const bool compound =
            (select > 0 &&
             (t[select - 1].Is("ALL") || t[select - 1].Is("UNION") || t[select - 1].Is("EXCEPT") || t[select - 1].Is("INTERSECT"))) ||
            (havingEnd < t.size() && (t[havingEnd].Is("UNION") || t[havingEnd].Is("EXCEPT") || t[havingEnd].Is("INTERSECT")));
        std::vector<SelectItem> items;
        {
            std::vector<Token> only = {MakeToken(Token::Word, "SELECT")};
            only.insert(only.end(), t.begin() + static_cast<std::ptrdiff_t>(list), t.begin() + static_cast<std::ptrdiff_t>(listStop));
            items = SelectItems(only);
        }
        // ORDER BY sorts the whole by the select list's columns (by expression, alias, name or
        // position) and by what else it names, computed in each branch as a column of its own.
        auto column = [](const char* prefix, size_t k) { return MakeToken(Token::Word, prefix + std::to_string(k + 1)); };
        std::vector<Token> order;
        std::vector<Expr> hidden;
        size_t end = havingEnd;
        const bool distinct = list > select + 1 && t[select + 1].Is("DISTINCT");
        if (!compound && end + 1 < t.size() && t[end].Is("ORDER") && t[end + 1].Is("BY")) {
            const size_t orderEnd =
                atTop(end + 2, [&](size_t i) { return t[i].Is("OPTION") || t[i].Is("FOR") || t[i].IsOp(";") || t[i].Is("OFFSET"); });
            const auto terms = SplitCommas(t, end + 2, orderEnd);
            for (size_t k = 0; k < terms.size(); ++k) {
                if (k) order.push_back(MakeToken(Token::Op, ",", false));
                Expr term = terms[k];
                Expr dir;
                if (!term.empty() && (term.back().Is("ASC") || term.back().Is("DESC"))) {
                    dir.push_back(term.back());
                    term.pop_back();
                }
                size_t position = 0;
                if (term.size() == 1 && term[0].kind == Token::Number) {
                    position = static_cast<size_t>(std::strtoul(term[0].text.c_str(), nullptr, 10));
                    if (position < 1 || position > items.size())
                        throw SqlError{
                            108,
                            16,
                            1,
                            "The ORDER BY position number " + term[0].text + " is out of range of the number of items in the select list.",
                            line,
                            "",
                            true};
                }
                for (size_t c = 0; c < items.size() && !position; ++c)
                    if (Key(items[c].expr) == Key(term) ||
                        (items[c].hasAlias && term.size() == 1 && term[0].IsName() && SameNoCase(items[c].alias, NameOf(term[0]))))
                        position = c + 1;
                std::string q, n;
                for (size_t c = 0; c < items.size() && !position && ColumnRef(term, q, n); ++c)
                    if (Same(items[c].expr, term)) position = c + 1;
                const Expr& sorted = position ? items[position - 1].expr : term;
                if (position) {
                    order.push_back(column("__g", position - 1));
                } else {
                    if (distinct)
                        throw SqlError{145,  15, 1,   "ORDER BY items must appear in the select list if SELECT DISTINCT is specified.",
                                       line, "", true};
                    hidden.push_back(term);
                    order.push_back(column("__o", hidden.size() - 1));
                }
                // Exact decimals are text to SQLite: they sort as numbers by their collation.
                if (exact(sorted,
                          Expr(t.begin() + static_cast<std::ptrdiff_t>(select), t.begin() + static_cast<std::ptrdiff_t>(havingEnd)))) {
                    order.push_back(MakeToken(Token::Word, "COLLATE"));
                    order.push_back(MakeToken(Token::Word, "sandbox_numeric"));
                }
                order.insert(order.end(), dir.begin(), dir.end());
            }
            end = orderEnd;
        }
        std::vector<Token> body;
        for (size_t s = 0; s < sets.size(); ++s) {
            if (s) {
                body.push_back(MakeToken(Token::Word, "UNION"));
                body.push_back(MakeToken(Token::Word, "ALL"));
            }
            body.push_back(MakeToken(Token::Word, "SELECT"));
            auto add = [&](const Expr& expr, Token name) {
                if (body.back().kind != Token::Word || !body.back().Is("SELECT")) body.push_back(MakeToken(Token::Op, ",", false));
                Expr e = ForSet(expr, all, sets[s], line);
                if (!e.empty()) e[0].spaceBefore = true;
                body.insert(body.end(), e.begin(), e.end());
                body.push_back(MakeToken(Token::Word, "AS"));
                body.push_back(name);
            };
            for (size_t k = 0; k < items.size(); ++k) add(items[k].expr, column("__g", k));
            for (size_t k = 0; k < hidden.size(); ++k) add(hidden[k], column("__o", k));
            body.insert(body.end(), t.begin() + static_cast<std::ptrdiff_t>(listStop), t.begin() + static_cast<std::ptrdiff_t>(group));
            if (!sets[s].empty()) {
                body.push_back(MakeToken(Token::Word, "GROUP"));
                body.push_back(MakeToken(Token::Word, "BY"));
                for (size_t k = 0; k < sets[s].size(); ++k) {
                    if (k) body.push_back(MakeToken(Token::Op, ",", false));
                    body.insert(body.end(), sets[s][k].begin(), sets[s][k].end());
                    body[body.size() - sets[s][k].size()].spaceBefore = true;
                }
            }
            if (groupEnd < havingEnd) {
                body.push_back(MakeToken(Token::Word, "HAVING"));
                Expr h =
                    ForSet(Expr(t.begin() + static_cast<std::ptrdiff_t>(groupEnd) + 1, t.begin() + static_cast<std::ptrdiff_t>(havingEnd)),
                           all, sets[s], line);
                body.insert(body.end(), h.begin(), h.end());
            }
        }
        // SELECT [DISTINCT] [TOP n] with the list's own names over the branches.
        std::vector<Token> rep(t.begin() + static_cast<std::ptrdiff_t>(select), t.begin() + static_cast<std::ptrdiff_t>(list));
        for (size_t k = 0; k < items.size(); ++k) {
            if (k) rep.push_back(MakeToken(Token::Op, ",", false));
            rep.push_back(column("__g", k));
            std::string q, n;
            const std::string alias = items[k].hasAlias ? items[k].alias : ColumnRef(items[k].expr, q, n) ? n : "";
            if (!alias.empty()) {
                rep.push_back(MakeToken(Token::Word, "AS"));
                rep.push_back(MakeToken(Token::Bracketed, "[" + alias + "]"));
                rep.back().value = alias;
            }
        }
        rep.push_back(MakeToken(Token::Word, "FROM"));
        rep.push_back(MakeToken(Token::Op, "("));
        rep.insert(rep.end(), body.begin(), body.end());
        rep.push_back(MakeToken(Token::Op, ")", false));
        rep.push_back(MakeToken(Token::Word, "AS"));
        rep.push_back(MakeToken(Token::Word, "__grouping_sets"));
        if (!order.empty()) {
            rep.push_back(MakeToken(Token::Word, "ORDER"));
            rep.push_back(MakeToken(Token::Word, "BY"));
            rep.insert(rep.end(), order.begin(), order.end());
        }
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(select), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(select), rep.begin(), rep.end());
        searchFrom = select + rep.size();
    }
    return t;
}

}  // namespace

std::vector<Token> RewriteGroupingSets(std::vector<Token> t, int line, const ExactDecimal& exact) {
    const bool any = std::any_of(t.begin(), t.end(),
                                 [](const Token& k) { return k.Is("ROLLUP") || k.Is("CUBE") || k.Is("GROUPING") || k.Is("GROUPING_ID"); });
    if (!any) return t;
    return Level(t, line, exact);
}
