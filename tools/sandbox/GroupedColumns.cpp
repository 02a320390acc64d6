// A grouped query's select list names only grouped columns: SQLite would return a value of some row
// of the group for any other column, where SQL Server refuses the query with 8120. The check is
// conservative: it looks at the outermost SELECT only, and a column counts as grouped when its name
// appears anywhere in the GROUP BY clause.
#include "SelectList.h"
#include "Session.h"

#include <set>

namespace {

bool IsAggregateName(const Token& k) {
    if (k.kind != Token::Word) return false;
    static const std::set<std::string> names = {"COUNT", "COUNT_BIG", "SUM",      "AVG",         "MIN",         "MAX",
                                                "STDEV", "STDEVP",    "VAR",      "VARP",        "STRING_AGG",  "GROUPING",
                                                "GROUPING_ID", "CHECKSUM_AGG", "APPROX_COUNT_DISTINCT"};
    return names.count(Upper(k.text)) > 0;
}

// Functions whose first argument is a keyword (a datepart, a type), not a column.
bool KeywordFirstArgument(const Token& k) {
    if (k.kind != Token::Word) return false;
    static const std::set<std::string> names = {"DATEADD", "DATEDIFF", "DATEDIFF_BIG", "DATEPART", "DATENAME", "DATETRUNC", "CONVERT", "TRY_CONVERT"};
    return names.count(Upper(k.text)) > 0;
}

bool EndsQuery(const Token& k) {
    return k.Is("UNION") || k.Is("EXCEPT") || k.Is("INTERSECT") || k.Is("ORDER") || k.Is("FOR") || k.Is("OPTION") || k.IsOp(";");
}

// The end of a call opened at t[open] ("("), past a following WITHIN GROUP (...) of STRING_AGG and
// OVER (...) of a window.
size_t CallEnd(const std::vector<Token>& t, size_t open) {
    size_t close = MatchParen(t, open);
    if (close >= t.size()) return t.size();
    if (close + 3 < t.size() && t[close + 1].Is("WITHIN") && t[close + 2].Is("GROUP") && t[close + 3].IsOp("(")) close = MatchParen(t, close + 3);
    if (close + 2 < t.size() && t[close + 1].Is("OVER") && t[close + 2].IsOp("(")) close = MatchParen(t, close + 2);
    return close;
}

}  // namespace

void Session::CheckGrouping(const std::vector<Token>& t, int line) {
    if (t.empty() || !t[0].Is("SELECT")) return;
    size_t start = 0, end = 0;
    if (!TopSelectList(t, start, end)) return;
    size_t from = t.size(), groupBy = t.size(), having = t.size(), queryEnd = t.size();
    int depth = 0;
    for (size_t i = end; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")"))
            depth--;
        if (depth != 0) continue;
        if (EndsQuery(t[i])) {
            queryEnd = i;
            break;
        }
        if (t[i].Is("FROM") && from == t.size()) from = i;
        if (t[i].Is("GROUP") && i + 1 < t.size() && t[i + 1].Is("BY")) groupBy = i + 2;
        if (t[i].Is("HAVING")) having = i;
    }
    if (from == t.size()) return;
    const std::vector<Token> query(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(queryEnd));
    const std::vector<SelectItem> items = SelectItems(query);
    // Grouped: GROUP BY, HAVING, or an aggregate (not a window function) in the list.
    bool grouped = groupBy < queryEnd || having < queryEnd;
    for (const SelectItem& item : items)
        for (size_t k = 0; k + 1 < item.expr.size() && !grouped; ++k)
            if (item.expr[k].IsOp("(") && item.expr[k + 1].Is("SELECT"))
                k = MatchParen(item.expr, k);  // a subquery's aggregates are its own
            else if (IsAggregateName(item.expr[k]) && item.expr[k + 1].IsOp("(")) {
                const size_t close = MatchParen(item.expr, k + 1);
                grouped = close < item.expr.size() && !(close + 1 < item.expr.size() && item.expr[close + 1].Is("OVER"));
            }
    if (!grouped) return;
    std::set<std::string> groupedNames;
    for (size_t i = groupBy; i < std::min(having > groupBy ? having : queryEnd, queryEnd); ++i)
        if (t[i].IsName()) groupedNames.insert(Upper(NameOf(t[i])));
    // The name a lone table is exposed by (its alias, else its name), for the message.
    std::string exposed;
    {
        size_t k = from + 1;
        while (k + 2 < queryEnd && t[k + 1].IsOp(".") && t[k + 2].IsName()) k += 2;
        if (k < queryEnd && t[k].IsName()) {
            exposed = NameOf(t[k]);
            size_t next = k + 1;
            if (next < queryEnd && t[next].Is("AS")) ++next;
            if (next < queryEnd && t[next].IsName() && t[next].kind != Token::Word) exposed = NameOf(t[next]), ++next;
            else if (next < queryEnd && t[next].kind == Token::Word && !t[next].Is("WHERE") && !t[next].Is("GROUP") && !t[next].Is("HAVING") &&
                     !t[next].Is("JOIN") && !t[next].Is("INNER") && !t[next].Is("LEFT") && !t[next].Is("RIGHT") && !t[next].Is("FULL") &&
                     !t[next].Is("CROSS") && !t[next].Is("OUTER") && !t[next].Is("WITH"))
                exposed = NameOf(t[next]), ++next;
            if (next < queryEnd && !(t[next].Is("WHERE") || t[next].Is("GROUP") || t[next].Is("HAVING"))) exposed.clear();
        }
    }
    const StatementTablesInView inView(*this, query);
    for (const SelectItem& item : items) {
        const std::vector<Token>& e = item.expr;
        for (size_t k = 0; k < e.size(); ++k) {
            const Token& x = e[k];
            if (x.IsOp("(") && k + 1 < e.size() && e[k + 1].Is("SELECT")) {  // a subquery
                k = MatchParen(e, k);
                continue;
            }
            if (k + 1 < e.size() && e[k + 1].IsOp("(") && x.kind == Token::Word) {
                const size_t close = MatchParen(e, k + 1);
                if (IsAggregateName(x) || (close + 1 < e.size() && e[close + 1].Is("OVER"))) {
                    k = CallEnd(e, k + 1);  // aggregates and window functions
                    continue;
                }
                if (KeywordFirstArgument(x)) k += 2;  // past the datepart or type
                continue;
            }
            if (!x.IsName() || (k + 1 < e.size() && e[k + 1].IsOp(".")) || (k > 0 && e[k - 1].Is("AS"))) continue;
            const std::string qualifier = k >= 2 && e[k - 1].IsOp(".") ? NameOf(e[k - 2]) : std::string();
            SqlType type;
            const bool column = (!derived_.empty() && DerivedColumnType(qualifier, NameOf(x), type)) || CatalogColumnType(NameOf(x), type);
            if (!column || groupedNames.count(Upper(NameOf(x)))) continue;
            const std::string table = qualifier.empty() ? exposed : qualifier;
            throw SqlError{8120, 16, 1,
                           "Column '" + (table.empty() ? std::string() : table + ".") + NameOf(x) +
                               "' is invalid in the select list because it is not contained in either an aggregate function or the GROUP BY clause.",
                           line, "", false};
        }
    }
}
