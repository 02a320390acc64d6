// The columns a result declares: from the catalog for table columns, from the expression for
// computed ones, from the first row's value as the last resort.
#include "Arithmetic.h"
#include "SelectList.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace {

const char* const kClauseEnds[] = {"FROM",   "WHERE",  "GROUP",     "ORDER",  "UNION", "INTO",
                                   "HAVING", "EXCEPT", "INTERSECT", "OPTION", "FOR",   "LIMIT"};

// SQL Server's data type precedence, highest first (types not listed rank lowest).
int Precedence(SqlType::Kind k) {
    static const SqlType::Kind order[] = {SqlType::Variant,
                                          SqlType::Xml,
                                          SqlType::DateTimeOffset,
                                          SqlType::DateTime2,
                                          SqlType::DateTime,
                                          SqlType::SmallDateTime,
                                          SqlType::Date,
                                          SqlType::Time,
                                          SqlType::Float,
                                          SqlType::Real,
                                          SqlType::Decimal,
                                          SqlType::Numeric,
                                          SqlType::Money,
                                          SqlType::SmallMoney,
                                          SqlType::BigInt,
                                          SqlType::Int,
                                          SqlType::SmallInt,
                                          SqlType::TinyInt,
                                          SqlType::Bit,
                                          SqlType::NText,
                                          SqlType::Text,
                                          SqlType::Image,
                                          SqlType::UniqueIdentifier,
                                          SqlType::NVarChar,
                                          SqlType::NChar,
                                          SqlType::VarChar,
                                          SqlType::Char,
                                          SqlType::VarBinary,
                                          SqlType::Binary};
    int rank = 0;
    for (SqlType::Kind o : order) {
        if (o == k) return rank;
        ++rank;
    }
    return rank;
}

bool IsString(const SqlType& t) { return t.IsText() || t.IsUnicode(); }

// The type of a UNION column, CASE or COALESCE over values of two types: strings widen to the longer
// (Unicode when either is), decimals keep the larger integer part and scale, otherwise the type of
// higher precedence.
SqlType MergeTypes(const SqlType& a, const SqlType& b) {
    if (a.kind == SqlType::Variant || b.kind == SqlType::Variant) {
        // Variants of one base type keep it; otherwise each value travels with its own.
        const bool same = a.kind == b.kind && a.base == b.base && a.length == b.length && a.precision == b.precision && a.scale == b.scale;
        return same ? a : SqlType::Of(SqlType::Variant);
    }
    if (IsString(a) && IsString(b) && a.kind != SqlType::Text && a.kind != SqlType::NText && b.kind != SqlType::Text &&
        b.kind != SqlType::NText && a.kind != SqlType::Xml && b.kind != SqlType::Xml) {
        const bool unicode = a.IsUnicode() || b.IsUnicode();
        const bool fixed = (a.kind == SqlType::Char || a.kind == SqlType::NChar) && (b.kind == SqlType::Char || b.kind == SqlType::NChar) &&
                           a.length == b.length;
        const int len = a.length < 0 || b.length < 0 ? -1 : std::max(a.length, b.length);
        return SqlType::Of(fixed ? (unicode ? SqlType::NChar : SqlType::Char) : (unicode ? SqlType::NVarChar : SqlType::VarChar), len);
    }
    if (a.IsBinary() && b.IsBinary() && a.kind != SqlType::Image && b.kind != SqlType::Image)
        return SqlType::Of(SqlType::VarBinary, a.length < 0 || b.length < 0 ? -1 : std::max(a.length, b.length));
    const bool decA = a.kind == SqlType::Decimal || a.kind == SqlType::Numeric,
               decB = b.kind == SqlType::Decimal || b.kind == SqlType::Numeric;
    if ((decA || decB) && Precedence(a.kind) >= Precedence(SqlType::Decimal) && Precedence(b.kind) >= Precedence(SqlType::Decimal)) {
        const SqlType x = IntegerAsDecimal(a), y = IntegerAsDecimal(b);
        if ((x.kind == SqlType::Decimal || x.kind == SqlType::Numeric) && (y.kind == SqlType::Decimal || y.kind == SqlType::Numeric)) {
            const int scale = std::max(x.scale, y.scale);
            const int prec = std::min(38, std::max(x.precision - x.scale, y.precision - y.scale) + scale);
            return SqlType::Of(x.kind, 0, prec, scale);
        }
    }
    // A string meeting a number or date takes the other type; otherwise the higher precedence wins.
    return Precedence(a.kind) <= Precedence(b.kind) ? a : b;
}

// The statements joined by UNION [ALL], EXCEPT and INTERSECT at the outer level, after the first.
std::vector<std::vector<Token>> LaterBranches(const std::vector<Token>& t) {
    std::vector<std::vector<Token>> out;
    int depth = 0;
    std::vector<Token>* cur = nullptr;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")"))
            depth--;
        if (depth == 0 && (t[i].Is("UNION") || t[i].Is("EXCEPT") || t[i].Is("INTERSECT"))) {
            out.emplace_back();
            cur = &out.back();
            if (i + 1 < t.size() && t[i + 1].Is("ALL")) ++i;
            continue;
        }
        if (cur) cur->push_back(t[i]);
    }
    return out;
}

bool IsNullLiteral(const std::vector<Token>& e) { return e.size() == 1 && e[0].Is("NULL"); }

std::string NameText(const Token& k) { return k.kind == Token::Word ? k.text : k.value; }

// The names a parenthesised list of names gives (a CTE's or derived table's columns).
std::vector<std::string> NameList(const std::vector<Token>& t, size_t open, size_t close) {
    std::vector<std::string> names;
    for (auto& c : SplitCommas(t, open + 1, close))
        if (c.size() == 1 && c[0].IsName()) names.push_back(NameText(c[0]));
    return names;
}

// The index of the derived table's column of that name: -1 when it has none, -2 when a * in its
// select list may hold it.
int DerivedColumnIndex(const DerivedTable& d, const std::string& column) {
    for (size_t k = 0; k < d.columns.size(); ++k)
        if (SameNoCase(d.columns[k], column)) return static_cast<int>(k);
    if (!d.columns.empty() || d.query.empty() || d.query[0].Is("VALUES")) return -1;
    const std::vector<SelectItem> items = SelectItems(d.query);
    bool star = false;
    for (size_t k = 0; k < items.size(); ++k) {
        const auto& e = items[k].expr;
        if (items[k].hasAlias) {
            if (SameNoCase(items[k].alias, column)) return static_cast<int>(k);
        } else if (!e.empty() && e.back().IsOp("*")) {
            star = true;
        } else if (!e.empty() && e.back().IsName() && (e.size() == 1 || e[e.size() - 2].IsOp(".")) && SameNoCase(NameOf(e.back()), column)) {
            return static_cast<int>(k);
        }
    }
    return star ? -2 : -1;
}

}  // namespace

// Computed columns over these tables are typed from the catalog.
std::vector<std::string> FromTables(const std::vector<Token>& tokens) {
    std::vector<std::string> tables;
    for (size_t k = 0; k + 1 < tokens.size(); ++k) {
        if (!(tokens[k].Is("FROM") || tokens[k].Is("JOIN")) || !tokens[k + 1].IsName()) continue;
        size_t j = k + 1;
        while (j + 2 < tokens.size() && tokens[j + 1].IsOp(".") && tokens[j + 2].IsName()) j += 2;
        tables.push_back(NameOf(tokens[j]));
    }
    return tables;
}

std::vector<DerivedTable> DerivedTables(const std::vector<Token>& t) {
    std::vector<DerivedTable> out;
    size_t i = 0;
    // WITH name [(columns)] AS (query) [, ...]
    if (!t.empty() && t[0].Is("WITH")) {
        i = 1;
        while (i < t.size() && t[i].IsName()) {
            DerivedTable d;
            d.alias = NameText(t[i++]);
            if (i < t.size() && t[i].IsOp("(")) {
                const size_t close = MatchParen(t, i);
                d.columns = NameList(t, i, close);
                i = close + 1;
            }
            if (i + 1 >= t.size() || !t[i].Is("AS") || !t[i + 1].IsOp("(")) break;
            const size_t close = MatchParen(t, i + 1);
            if (close >= t.size()) break;
            d.query.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 2, t.begin() + static_cast<std::ptrdiff_t>(close));
            out.push_back(std::move(d));
            i = close + 1;
            if (i >= t.size() || !t[i].IsOp(",")) break;
            ++i;
        }
    }
    // FROM (query) [AS] alias [(columns)], also after JOIN, APPLY and a comma of the FROM clause.
    static const char* const kNotAlias[] = {"WHERE", "ON", "JOIN", "INNER", "LEFT", "RIGHT", "FULL", "CROSS", "OUTER", "GROUP",
                                            "ORDER", "HAVING", "UNION", "EXCEPT", "INTERSECT", "OPTION", "FOR", "WITH"};
    int depth = 0;
    bool inFrom = false;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp(")")) depth--;
        if (!t[i].IsOp("(")) {
            if (depth == 0 && t[i].Is("FROM")) inFrom = true;
            if (depth == 0 && (t[i].Is("WHERE") || t[i].Is("GROUP") || t[i].Is("ORDER") || t[i].Is("UNION") || t[i].Is("SELECT")))
                inFrom = false;
            continue;
        }
        const bool source = depth == 0 && i > 0 && i + 1 < t.size() && (t[i + 1].Is("SELECT") || t[i + 1].Is("VALUES")) &&
                            (t[i - 1].Is("FROM") || t[i - 1].Is("JOIN") || t[i - 1].Is("APPLY") || (inFrom && t[i - 1].IsOp(",")));
        if (!source) {
            depth++;
            continue;
        }
        const size_t close = MatchParen(t, i);
        if (close >= t.size()) break;
        size_t j = close + 1;
        if (j < t.size() && t[j].Is("AS")) ++j;
        bool alias = j < t.size() && t[j].IsName();
        for (const char* w : kNotAlias) alias = alias && !t[j].Is(w);
        if (alias) {
            DerivedTable d;
            d.alias = NameText(t[j]);
            d.query.assign(t.begin() + static_cast<std::ptrdiff_t>(i) + 1, t.begin() + static_cast<std::ptrdiff_t>(close));
            if (j + 1 < t.size() && t[j + 1].IsOp("(")) d.columns = NameList(t, j + 1, MatchParen(t, j + 1));
            out.push_back(std::move(d));
        }
        i = close;
    }
    return out;
}

bool Session::DerivedColumnType(const std::string& qualifier, const std::string& column, SqlType& type) {
    if (derivedDepth_ >= 8) return false;
    size_t which = derived_.size();
    int index = -1;
    for (size_t k = 0; k < derived_.size(); ++k) {
        if (!qualifier.empty() && !SameNoCase(derived_[k].alias, qualifier)) continue;
        index = DerivedColumnIndex(derived_[k], column);
        if (index != -1) {
            which = k;
            break;
        }
    }
    if (which == derived_.size()) return false;
    // The query is described in its own scope: its tables, its derived tables and the other common
    // table expressions of the statement.
    const DerivedTable d = derived_[which];
    std::vector<DerivedTable> inner = DerivedTables(d.query);
    for (size_t k = 0; k < derived_.size(); ++k)
        if (k != which) inner.push_back(derived_[k]);
    std::vector<std::vector<Token>> exprs;
    if (d.query[0].Is("VALUES")) {
        for (size_t k = 1; k < d.query.size() && d.query[k].IsOp("(");) {
            const size_t close = MatchParen(d.query, k);
            if (close >= d.query.size()) return false;
            auto row = SplitCommas(d.query, k + 1, close);
            if (index < 0 || static_cast<size_t>(index) >= row.size()) return false;
            exprs.push_back(row[static_cast<size_t>(index)]);
            k = close + 1;
            if (k < d.query.size() && d.query[k].IsOp(",")) ++k;
        }
    } else {
        std::vector<std::vector<Token>> branches = {d.query};
        for (auto& b : LaterBranches(d.query)) branches.push_back(std::move(b));
        for (const auto& b : branches) {
            const auto items = SelectItems(b);
            if (index == -2)
                exprs.push_back({MakeToken(Token::Word, column)});
            else if (static_cast<size_t>(index) < items.size())
                exprs.push_back(items[static_cast<size_t>(index)].expr);
            else
                return false;
        }
    }
    std::vector<std::string> tables = FromTables(d.query);
    for (auto& table : tables) table = TempName(table);
    std::swap(tables, describeTables_);
    std::swap(inner, derived_);
    ++derivedDepth_;
    bool named = false;
    try {
        type = MergedType(exprs, named);
    } catch (...) {
        named = false;
    }
    --derivedDepth_;
    std::swap(inner, derived_);
    std::swap(tables, describeTables_);
    return named;
}

// The select list of the statement's outermost SELECT.
bool TopSelectList(const std::vector<Token>& t, size_t& start, size_t& end) {
    int depth = 0;
    size_t i = 0;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")"))
            depth--;
        else if (depth == 0 && t[i].Is("SELECT"))
            break;
    }
    if (i >= t.size()) return false;
    ++i;
    if (i < t.size() && (t[i].Is("DISTINCT") || t[i].Is("ALL"))) ++i;
    if (i < t.size() && t[i].Is("TOP")) {
        ++i;
        if (i < t.size() && t[i].IsOp("("))
            i = MatchParen(t, i) + 1;
        else
            ++i;
        if (i < t.size() && t[i].Is("PERCENT")) ++i;
        if (i + 1 < t.size() && t[i].Is("WITH") && t[i + 1].Is("TIES")) i += 2;
    }
    start = i;
    depth = 0;
    for (; i < t.size(); ++i) {
        if (t[i].IsOp("("))
            depth++;
        else if (t[i].IsOp(")")) {
            if (depth == 0) break;
            depth--;
        } else if (depth == 0) {
            bool stop = t[i].IsOp(";");
            for (const char* w : kClauseEnds) stop = stop || t[i].Is(w);
            // STRING_AGG(...) WITHIN GROUP (ORDER BY ...) is not a GROUP BY.
            if (stop && t[i].Is("GROUP") && i > 0 && t[i - 1].Is("WITHIN")) stop = false;
            if (stop) break;
        }
    }
    end = i;
    return true;
}

std::vector<SelectItem> SelectItems(const std::vector<Token>& t) {
    size_t start, end;
    std::vector<SelectItem> items;
    if (!TopSelectList(t, start, end)) return items;
    for (auto& part : SplitCommas(t, start, end)) {
        SelectItem it;
        if (part.size() >= 3 && part[0].kind == Token::Variable && part[1].IsOp("=")) {
            it.assignsVariable = true;
            it.variable = part[0].value;
            it.expr.assign(part.begin() + 2, part.end());
        } else if (part.size() >= 3 && part[0].IsName() && part[1].IsOp("=") && !part[0].Is("CASE")) {
            it.hasAlias = true;
            it.alias = part[0].kind == Token::Word ? part[0].text : part[0].value;
            it.expr.assign(part.begin() + 2, part.end());
        } else if (part.size() >= 3 && part[part.size() - 2].Is("AS")) {
            it.hasAlias = true;
            const Token& a = part.back();
            it.alias = a.kind == Token::Word ? a.text : a.value;
            it.expr.assign(part.begin(), part.end() - 2);
        } else if (part.size() >= 2 && (part.back().IsName() || part.back().kind == Token::String) && !part.back().Is("END") &&
                   (part[part.size() - 2].kind != Token::Op || part[part.size() - 2].IsOp(")"))) {  // not a + b, t.c
            it.hasAlias = true;
            const Token& a = part.back();
            it.alias = a.kind == Token::Word ? a.text : a.value;
            it.expr.assign(part.begin(), part.end() - 1);
        } else {
            it.expr = part;
        }
        items.push_back(std::move(it));
    }
    return items;
}

std::vector<SqlColumn> Session::DescribeColumns(sqlite3_stmt* st, const std::vector<Token>& tokens) {
    const int n = sqlite3_column_count(st);
    std::vector<SelectItem> items = SelectItems(tokens);
    bool star = false;
    for (const auto& it : items)  // * or t.*
        if (!it.expr.empty() && it.expr.back().IsOp("*") && (it.expr.size() == 1 || (it.expr.size() == 3 && it.expr[1].IsOp("."))))
            star = true;
    const bool useItems = !star && static_cast<int>(items.size()) == n;
    // The tables named after FROM and JOIN: computed columns over them are typed from the catalog.
    describeTables_ = FromTables(tokens);
    for (auto& table : describeTables_) table = TempName(table);
    derived_ = DerivedTables(tokens);
    std::vector<std::vector<SelectItem>> branches;
    for (const auto& b : LaterBranches(tokens)) branches.push_back(SelectItems(b));
    // What is kept of column types holds until any connection writes the catalog.
    if (const std::uint64_t now = server_.CatalogGeneration(); now != columnCacheGeneration_ || catalogDirty_) {
        columnCache_.clear();
        columnCacheGeneration_ = now;
    }
    std::vector<SqlColumn> cols(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        SqlColumn& c = cols[static_cast<size_t>(i)];
        c.name = sqlite3_column_name(st, i);
        bool typed = false;
        const char* table = sqlite3_column_table_name(st, i);
        const char* origin = sqlite3_column_origin_name(st, i);
        const char* schema = sqlite3_column_database_name(st, i);
        if (table && origin && schema && std::strncmp(table, "__", 2) != 0) {
            const std::string key = Upper(std::string(schema) + "." + table + "." + origin);
            auto it = columnCache_.find(key);
            if (it == columnCache_.end()) {
                SqlColumn found;
                bool ok = false;
                SqlStmt q;
                const std::string sql = "SELECT type_text, is_nullable, is_identity FROM " + QuoteIdent(schema) +
                                        ".__columns WHERE lower(table_name) = lower(?) AND lower(name) = lower(?)";
                if (sqlite3_prepare_v2(db_, sql.c_str(), -1, q.Out(), nullptr) == SQLITE_OK) {
                    sqlite3_bind_text(q, 1, table, -1, SQLITE_TRANSIENT);
                    sqlite3_bind_text(q, 2, origin, -1, SQLITE_TRANSIENT);
                    if (sqlite3_step(q) == SQLITE_ROW) {
                        ok = ParseSqlType(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), found.type);
                        found.nullable = std::string(reinterpret_cast<const char*>(sqlite3_column_text(q, 1))) == "YES";
                        found.identity = sqlite3_column_int(q, 2) != 0;
                    }
                }
                q.Reset();
                if (!ok) found.name = "\x01";  // remembered as unknown
                it = columnCache_.emplace(key, found).first;
            }
            if (it->second.name != "\x01") {
                c.type = it->second.type;
                c.nullable = it->second.nullable;
                c.identity = it->second.identity;
                typed = true;
            }
        }
        if (!typed) {
            const char* decl = sqlite3_column_decltype(st, i);
            if (decl && std::strncmp(decl, "TEXT ", 5) == 0) decl += 5;  // decimal columns stored as text
            if (decl && ParseSqlType(decl, c.type)) typed = true;
            if (decl && !typed && Upper(decl) == "INTEGER") {
                c.type = SqlType::Of(SqlType::Int);
                typed = true;
            }
        }
        if (useItems) {
            const SelectItem& it = items[static_cast<size_t>(i)];
            bool named = false;
            // A column made sql_variant is no longer the column SQLite names as its origin.
            if (typed && !it.expr.empty() && (it.expr[0].Is("CAST") || it.expr[0].Is("CONVERT"))) {
                const SqlType t = InferExprType(it.expr, named);
                if (t.kind == SqlType::Variant && named) c.type = t;
            }
            if (!typed) {
                SqlType t = InferExprType(it.expr, named);
                if (t.kind != SqlType::Variant || named) {
                    c.type = t;
                    typed = true;
                }
            }
            if (it.expr.size() == 1 && (it.expr[0].kind == Token::Number || it.expr[0].kind == Token::String)) c.nullable = false;
            // The other branches of a UNION: never a type narrower than a value any of them sends.
            for (const auto& branch : branches) {
                if (branch.size() != items.size()) continue;
                const SelectItem& other = branch[static_cast<size_t>(i)];
                if (!(other.expr.size() == 1 && (other.expr[0].kind == Token::Number || other.expr[0].kind == Token::String)))
                    c.nullable = true;
                if (IsNullLiteral(other.expr)) continue;
                bool otherNamed = false;
                const SqlType ot = InferExprType(other.expr, otherNamed);
                if (ot.kind != SqlType::Variant || otherNamed) {
                    if (typed) c.type = MergeTypes(c.type, ot);
                } else if (typed && IsString(c.type)) {
                    c.type = SqlType::Of(SqlType::NVarChar, -1);  // a value of any length may come
                }
            }
            if (it.hasAlias)
                c.name = it.alias;
            else {
                const bool columnRef = !it.expr.empty() && it.expr.back().IsName() && !it.expr.back().Is("CURRENT_TIMESTAMP") &&
                                       (it.expr.size() == 1 || (it.expr.size() >= 3 && it.expr[it.expr.size() - 2].IsOp(".")));
                if (!columnRef) c.name.clear();
            }
        }
        if (!typed && !useItems) {  // select * from a view or (...) x: as the view or derived table declares it
            SqlType t;
            if ((!derived_.empty() && DerivedColumnType("", c.name, t)) || (!describeTables_.empty() && CatalogColumnType(c.name, t))) {
                c.type = t;
                typed = true;
            }
        }
        if (!typed) {
            // From the first row's value; text of a type not seen may be longer in a later row.
            switch (sqlite3_column_type(st, i)) {
            case SQLITE_INTEGER: {
                const std::int64_t v = sqlite3_column_int64(st, i);
                c.type = SqlType::Of(v > 2147483647LL || v < -2147483648LL ? SqlType::BigInt : SqlType::Int);
                break;
            }
            case SQLITE_FLOAT:
                c.type = SqlType::Of(SqlType::Float);
                break;
            case SQLITE_TEXT:
                c.type = SqlType::Of(SqlType::NVarChar, -1);
                break;
            case SQLITE_BLOB:
                c.type = SqlType::Of(SqlType::VarBinary, -1);
                break;
            default:
                // NULL: a later row may bring text, which an int column would send as 0.
                c.type = SqlType::Of(SqlType::NVarChar, -1);
                break;
            }
        }
    }
    derived_.clear();
    return cols;
}

bool Session::SeenType(const std::vector<Token>& expr, SqlType& type) {
    bool named = false;
    try {
        type = InferExprType(expr, named);
    } catch (const SqlError&) {
        return false;
    }
    return named;
}

SqlType Session::InferExprType(const std::vector<Token>& e, bool& named) {
    named = true;
    if (e.empty()) return SqlType::Of(SqlType::Int);
    if (e.size() == 1) {
        const Token& t = e[0];
        if (t.kind == Token::String) {
            // Characters as the type counts them: UTF-16 units for nvarchar, where a character
            // beyond the basic plane takes two.
            int chars = 0;
            for (char c : t.value) {
                const auto b = static_cast<unsigned char>(c);
                if ((b & 0xC0) != 0x80) chars += t.national && b >= 0xF0 ? 2 : 1;
            }
            return SqlType::Of(t.national ? SqlType::NVarChar : SqlType::VarChar, std::max(1, chars));
        }
        if (t.kind == Token::Number) {
            const size_t dot = t.text.find('.');
            if (t.text.find_first_of("eE") != std::string::npos) return SqlType::Of(SqlType::Float);
            if (dot == std::string::npos) {
                const long long v = std::strtoll(t.text.c_str(), nullptr, 10);
                if (t.text.size() <= 10 && v <= 2147483647LL) return SqlType::Of(SqlType::Int);
                return SqlType::Of(SqlType::Numeric, 0, static_cast<int>(t.text.size()), 0);
            }
            const int scale = static_cast<int>(t.text.size() - dot - 1);
            const int prec = std::max(scale, static_cast<int>(t.text.size()) - 1);
            return SqlType::Of(SqlType::Numeric, 0, std::max(1, prec), scale);
        }
        if (t.Is("NULL")) return SqlType::Of(SqlType::Int);
        if (t.Is("CURRENT_TIMESTAMP")) return SqlType::Of(SqlType::DateTime);
        if (t.kind == Token::Hex) return SqlType::Of(SqlType::VarBinary, std::max<int>(1, static_cast<int>((t.value.size() + 1) / 2)));
        if (t.IsName()) {
            SqlType found;
            if (!describeTables_.empty() && CatalogColumnType(NameOf(t), found)) return found;
            if (!derived_.empty() && DerivedColumnType("", NameOf(t), found)) return found;
        }
        if (t.kind == Token::Variable) {
            if (Variable* v = FindVar(t.value)) return v->type;
            if (t.value == "@@VERSION") return SqlType::Of(SqlType::NVarChar, 300);
            if (t.value == "@@SERVERNAME" || t.value == "@@LANGUAGE" || t.value == "@@SERVICENAME")
                return SqlType::Of(SqlType::NVarChar, 128);
            if (t.value == "@@DATEFIRST" || t.value == "@@LANGID" || t.value == "@@MAX_PRECISION") return SqlType::Of(SqlType::TinyInt);
            if (t.value == "@@SPID") return SqlType::Of(SqlType::SmallInt);
            if (t.value == "@@IDENTITY") return SqlType::Of(SqlType::Numeric, 0, 38, 0);
            return SqlType::Of(SqlType::Int);
        }
    }
    if (e.size() == 3 && e[0].IsName() && e[1].IsOp(".") && e[2].IsName()) {
        SqlType found;
        if (!derived_.empty() && DerivedColumnType(NameOf(e[0]), NameOf(e[2]), found)) return found;
        if (!describeTables_.empty() && CatalogColumnType(NameOf(e[2]), found)) return found;
    }
    if (e.size() >= 3 && e[0].Is("CASE") && e.back().Is("END")) {
        // The results after THEN and ELSE at this CASE's level.
        std::vector<std::vector<Token>> results;
        int depth = 0, nested = 0;
        std::vector<Token>* cur = nullptr;
        for (size_t i = 1; i + 1 < e.size(); ++i) {
            const Token& k = e[i];
            if (k.IsOp("("))
                depth++;
            else if (k.IsOp(")"))
                depth--;
            if (depth == 0 && k.Is("CASE")) nested++;
            if (depth == 0 && k.Is("END") && nested > 0) nested--;
            if (depth == 0 && nested == 0 && !k.Is("END") && (k.Is("THEN") || k.Is("ELSE"))) {
                results.emplace_back();
                cur = &results.back();
                continue;
            }
            if (depth == 0 && nested == 0 && k.Is("WHEN")) {
                cur = nullptr;
                continue;
            }
            if (cur) cur->push_back(k);
        }
        return MergedType(results, named);
    }
    if (e.size() >= 3 && e[0].IsOp("(") && MatchParen(e, 0) == e.size() - 1 && !e[1].Is("SELECT")) {
        std::vector<Token> inner(e.begin() + 1, e.end() - 1);
        return InferExprType(inner, named);
    }
    if (e.size() >= 4 && e[0].IsOp("(") && e[1].Is("SELECT") && MatchParen(e, 0) == e.size() - 1) {
        // A scalar subquery: its one item, typed by the subquery's own tables.
        const std::vector<Token> inner(e.begin() + 1, e.end() - 1);
        const std::vector<SelectItem> items = SelectItems(inner);
        if (items.size() == 1 && !items[0].assignsVariable && !items[0].expr.empty() && !items[0].expr[0].IsOp("*")) {
            const StatementTablesInView inView(*this, inner);
            return InferExprType(items[0].expr, named);
        }
    }
    if (e.size() == 2 && e[0].IsOp("$") && e[1].kind == Token::Number) return SqlType::Of(SqlType::Money);
    if (e.size() >= 2 && (e[0].IsOp("-") || e[0].IsOp("+"))) {  // a sign keeps the type
        std::vector<Token> rest(e.begin() + 1, e.end());
        return InferExprType(rest, named);
    }
    // A window function: typed as its call without the OVER clause; LAG, LEAD, FIRST_VALUE and
    // LAST_VALUE as their value, the numbering functions bigint.
    if (e.size() >= 6 && e[0].kind == Token::Word && e[1].IsOp("(")) {
        const size_t close = MatchParen(e, 1);
        if (close + 2 < e.size() && e[close + 1].Is("OVER") && e[close + 2].IsOp("(") && MatchParen(e, close + 2) == e.size() - 1) {
            const std::string& f = e[0].value;
            if (f == "ROW_NUMBER" || f == "RANK" || f == "DENSE_RANK" || f == "NTILE") return SqlType::Of(SqlType::BigInt);
            const std::vector<Token> call(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(close) + 1);
            if (f == "LAG" || f == "LEAD" || f == "FIRST_VALUE" || f == "LAST_VALUE") {
                const auto args = SplitCommas(call, 2, close);
                if (!args.empty()) return InferExprType(args[0], named);
            }
            return InferExprType(call, named);
        }
    }
    // Whole-expression function calls and casts.
    if (e.size() >= 3 && e[0].kind == Token::Word && e[1].IsOp("(") && MatchParen(e, 1) == e.size() - 1) {
        const std::string& f = e[0].value;
        // Without a length, CAST and CONVERT give character and binary types 30.
        auto castType = [&](size_t from, size_t to) {
            SqlType type = TypeOf(e, from, to);
            if (to == from + 1 && type.kind != SqlType::Text && type.kind != SqlType::NText &&
                (type.IsText() || type.IsUnicode() || type.kind == SqlType::Binary || type.kind == SqlType::VarBinary))
                type.length = 30;
            return type;
        };
        // A value made sql_variant keeps its own type as the variant's base type.
        auto asVariant = [&](SqlType type, const std::vector<Token>& value) {
            bool n2 = false;
            const SqlType b = InferExprType(value, n2);
            if (n2 && b.kind != SqlType::Variant && b.kind != SqlType::Xml && b.kind != SqlType::Text && b.kind != SqlType::NText &&
                b.kind != SqlType::Image && b.length >= 0) {
                type = b;
                type.base = b.kind;
                type.kind = SqlType::Variant;
            }
            return type;
        };
        if (f == "CAST") {
            for (size_t i = e.size() - 2; i > 1; --i)
                if (e[i].Is("AS")) {
                    const SqlType type = castType(i + 1, e.size() - 1);
                    if (type.kind != SqlType::Variant) return type;
                    return asVariant(type, std::vector<Token>(e.begin() + 2, e.begin() + static_cast<std::ptrdiff_t>(i)));
                }
        }
        if (f == "CONVERT") {
            const size_t end = TypeEnd(e, 2);
            const SqlType type = castType(2, end);
            if (type.kind != SqlType::Variant) return type;
            const auto args = SplitCommas(e, end + 1, e.size() - 1);
            return args.empty() ? type : asVariant(type, args[0]);
        }
        if (f == "SERVERPROPERTY") return SqlType::Of(SqlType::Variant);
        if (f == "SQL_VARIANT_PROPERTY") {
            // A sysname for BaseType and Collation, an int for the others.
            const auto args = SplitCommas(e, 2, e.size() - 1);
            SqlType type = SqlType::Of(SqlType::Variant);
            if (args.size() == 2 && args[1].size() == 1 && args[1][0].kind == Token::String) {
                const std::string p = Upper(args[1][0].value);
                type = p == "BASETYPE" || p == "COLLATION" ? SqlType::Of(SqlType::NVarChar, 128) : SqlType::Of(SqlType::Int);
                type.base = type.kind;
                type.kind = SqlType::Variant;
            }
            return type;
        }
        static const std::map<std::string, SqlType> fixed = {{"GETDATE", SqlType::Of(SqlType::DateTime)},
                                                             {"GETUTCDATE", SqlType::Of(SqlType::DateTime)},
                                                             {"SYSDATETIME", SqlType::Of(SqlType::DateTime2, 0, 0, 7)},
                                                             {"COUNT", SqlType::Of(SqlType::Int)},
                                                             {"COUNT_BIG", SqlType::Of(SqlType::BigInt)},
                                                             {"XACT_STATE", SqlType::Of(SqlType::SmallInt)},
                                                             {"STDEV", SqlType::Of(SqlType::Float)},
                                                             {"STDEVP", SqlType::Of(SqlType::Float)},
                                                             {"VAR", SqlType::Of(SqlType::Float)},
                                                             {"VARP", SqlType::Of(SqlType::Float)},
                                                             {"GROUPING", SqlType::Of(SqlType::TinyInt)},
                                                             {"GROUPING_ID", SqlType::Of(SqlType::Int)},
                                                             {"LEN", SqlType::Of(SqlType::Int)},
                                                             {"DATALENGTH", SqlType::Of(SqlType::Int)},
                                                             {"CHARINDEX", SqlType::Of(SqlType::Int)},
                                                             {"ERROR_NUMBER", SqlType::Of(SqlType::Int)},
                                                             {"ERROR_SEVERITY", SqlType::Of(SqlType::Int)},
                                                             {"ERROR_STATE", SqlType::Of(SqlType::Int)},
                                                             {"ERROR_LINE", SqlType::Of(SqlType::Int)},
                                                             {"ERROR_PROCEDURE", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"ERROR_MESSAGE", SqlType::Of(SqlType::NVarChar, 4000)},
                                                             {"OBJECT_ID", SqlType::Of(SqlType::Int)},
                                                             {"OBJECT_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"OBJECT_DEFINITION", SqlType::Of(SqlType::NVarChar, -1)},
                                                             {"TYPE_ID", SqlType::Of(SqlType::Int)},
                                                             {"TYPE_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"OBJECTPROPERTY", SqlType::Of(SqlType::Int)},
                                                             {"COLUMNPROPERTY", SqlType::Of(SqlType::Int)},
                                                             {"DB_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"DB_ID", SqlType::Of(SqlType::SmallInt)},
                                                             {"NEWID", SqlType::Of(SqlType::UniqueIdentifier)},
                                                             {"SCOPE_IDENTITY", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                                                             {"IDENT_SEED", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                                                             {"IDENT_INCR", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                                                             {"IDENT_CURRENT", SqlType::Of(SqlType::Numeric, 0, 38, 0)},
                                                             {"SUSER_SNAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"USER_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"HOST_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"APP_NAME", SqlType::Of(SqlType::NVarChar, 128)},
                                                             {"YEAR", SqlType::Of(SqlType::Int)},
                                                             {"MONTH", SqlType::Of(SqlType::Int)},
                                                             {"DAY", SqlType::Of(SqlType::Int)},
                                                             {"DATEDIFF", SqlType::Of(SqlType::Int)},
                                                             {"STR", SqlType::Of(SqlType::VarChar, 8000)},
                                                             {"@@ROWCOUNT", SqlType::Of(SqlType::Int)}};
        auto it = fixed.find(f);
        if (it != fixed.end()) return it->second;
        if (f == "FORMAT") return SqlType::Of(SqlType::NVarChar, 4000);
        if (SqlType builtin; BuiltinCallType(e, builtin)) return builtin;
        if (f == "CONCAT") {
            // The arguments' lengths as text added up; nvarchar when one is Unicode.
            bool unicode = false;
            long long length = 0;
            for (const auto& arg : SplitCommas(e, 2, e.size() - 1)) {
                bool n2 = false;
                const SqlType t = InferExprType(arg, n2);
                unicode = unicode || t.IsUnicode();
                if (t.IsText() || t.IsUnicode() || t.IsBinary())
                    length = t.length < 0 || length < 0 ? -1 : length + t.length;
                else if (length >= 0)
                    length += t.kind == SqlType::Decimal || t.kind == SqlType::Numeric ? t.precision + 2 : t.kind == SqlType::BigInt ? 20 : t.kind == SqlType::Int ? 12 : 30;
            }
            if (length > (unicode ? 4000 : 8000)) length = -1;
            return SqlType::Of(unicode ? SqlType::NVarChar : SqlType::VarChar, static_cast<int>(length == 0 ? 1 : length));
        }
        if (f == "COALESCE" || f == "ISNULL" || f == "IIF") {
            auto args = SplitCommas(e, 2, e.size() - 1);
            if (f == "IIF" && !args.empty()) args.erase(args.begin());
            if (f == "ISNULL" && args.size() == 2 && !IsNullLiteral(args[0])) args.pop_back();
            return MergedType(args, named);
        }
        if (f == "ROUND" || f == "FLOOR" || f == "CEILING") {
            // The argument's type; small integers widen to int, FLOOR and CEILING drop the scale.
            const auto args = SplitCommas(e, 2, e.size() - 1);
            if (!args.empty()) {
                bool n2;
                SqlType t = InferExprType(args[0], n2);
                if (n2 && (t.kind == SqlType::TinyInt || t.kind == SqlType::SmallInt || t.kind == SqlType::Bit)) return SqlType::Of(SqlType::Int);
                if (n2 && (t.kind == SqlType::Decimal || t.kind == SqlType::Numeric) && f != "ROUND") t.scale = 0;
                if (n2 && t.kind == SqlType::Real) return SqlType::Of(SqlType::Float);
                if (n2 && (t.IsInteger() || t.kind == SqlType::Decimal || t.kind == SqlType::Numeric || t.kind == SqlType::Money ||
                           t.kind == SqlType::SmallMoney || t.kind == SqlType::Float))
                    return t;
            }
        }
        if (f == "UPPER" || f == "LOWER" || f == "LTRIM" || f == "RTRIM" || f == "MAX" || f == "MIN" || f == "ABS") {
            const auto args = SplitCommas(e, 2, e.size() - 1);
            if (!args.empty()) {
                bool n2;
                SqlType t = InferExprType(args[0], n2);
                if (n2) return t;
            }
        }
        if (f == "AVG" || f == "SUM") {
            // Both keep bigint and float, widen small integers to int and smallmoney to money; decimals
            // get precision 38, and for AVG a scale of at least 6.
            const auto args = SplitCommas(e, 2, e.size() - 1);
            if (args.size() == 1) {
                bool n2;
                const SqlType t = InferExprType(args[0], n2);
                if (n2) {
                    switch (t.kind) {
                    case SqlType::Int:
                    case SqlType::SmallInt:
                    case SqlType::TinyInt:
                        return SqlType::Of(SqlType::Int);
                    case SqlType::BigInt:
                        return t;
                    case SqlType::Money:
                    case SqlType::SmallMoney:
                        return SqlType::Of(SqlType::Money);
                    case SqlType::Decimal:
                    case SqlType::Numeric:
                        return SqlType::Of(SqlType::Decimal, 0, 38, f == "AVG" ? std::max(6, t.scale) : t.scale);
                    case SqlType::Float:
                    case SqlType::Real:
                        return SqlType::Of(SqlType::Float);
                    default:
                        break;
                    }
                }
            }
        }
    }
    SqlType arithmetic;
    if (ArithmeticType(e, [this](const std::vector<Token>& x, bool& n) { return InferExprType(x, n); }, arithmetic)) {
        named = true;
        return arithmetic;
    }
    named = false;
    return SqlType::Of(SqlType::Variant);
}

SqlType Session::MergedType(const std::vector<std::vector<Token>>& exprs, bool& named) {
    named = false;
    SqlType merged = SqlType::Of(SqlType::Int);
    bool any = false;
    for (const auto& x : exprs) {
        if (IsNullLiteral(x)) continue;
        bool n = false;
        const SqlType t = InferExprType(x, n);
        if (t.kind == SqlType::Variant && !n) return SqlType::Of(SqlType::Variant);
        merged = any ? MergeTypes(merged, t) : t;
        any = true;
    }
    named = true;
    return merged;
}

bool Session::CatalogColumnType(const std::string& column, SqlType& type) {
    // One type among the tables of the statement (a table named twice counts once, as in a
    // subquery of its own); none when the name is unknown, or in several tables with different
    // types (l.UnitPrice and p.UnitPrice of one type are that type).
    int matches = 0;
    SqlType first;
    for (size_t k = 0; k < describeTables_.size(); ++k) {
        const std::string& table = describeTables_[k];
        if (std::any_of(describeTables_.begin(), describeTables_.begin() + static_cast<std::ptrdiff_t>(k),
                        [&](const std::string& seen) { return SameNoCase(seen, table); }))
            continue;
        SqlStmt q;
        if (sqlite3_prepare_v2(db_, "SELECT type_text FROM __columns WHERE lower(table_name) = lower(?) AND lower(name) = lower(?)", -1,
                               q.Out(), nullptr) != SQLITE_OK)
            return false;
        sqlite3_bind_text(q, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(q, 2, column.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q) == SQLITE_ROW && ParseSqlType(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), type)) {
            if (matches == 0)
                first = type;
            else if (type.Declared() != first.Declared())
                return false;
            ++matches;
        }
    }
    return matches >= 1;
}

void Session::VariantTakesBase(Variable& v, const std::vector<Token>& expr, const std::vector<Token>& statement) {
    std::vector<std::string> tables = FromTables(statement);
    for (auto& table : tables) table = TempName(table);
    std::vector<DerivedTable> derived = DerivedTables(statement);
    std::swap(tables, describeTables_);
    std::swap(derived, derived_);
    bool named = false;
    SqlType b;
    try {
        b = InferExprType(expr, named);
    } catch (...) {
        named = false;
    }
    std::swap(tables, describeTables_);
    std::swap(derived, derived_);
    if (named && b.kind == SqlType::Variant) {
        v.type = b;
    } else if (named && b.kind != SqlType::Xml && b.kind != SqlType::Text && b.kind != SqlType::NText && b.kind != SqlType::Image &&
               b.length >= 0) {
        v.type = b;
        v.type.base = b.kind;
        v.type.kind = SqlType::Variant;
    } else {
        v.type = SqlType::Of(SqlType::Variant);
    }
}
