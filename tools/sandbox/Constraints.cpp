// ALTER TABLE for constraints: ADD CONSTRAINT (PRIMARY KEY, UNIQUE, FOREIGN KEY, CHECK, DEFAULT ...
// FOR), DROP CONSTRAINT, and NOCHECK/CHECK CONSTRAINT. SQLite cannot add a constraint to a table,
// so the table's definition in sqlite_master is rewritten: its text as created plus the enabled
// constraints added later (a change of definition only, as SQLite allows for CHECK and FOREIGN
// KEY); keys become unique indexes.
#include "Catalog.h"
#include "Collation.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

namespace {

std::vector<std::string> Strings(sqlite3* db, const char* sql, const std::vector<std::string>& params, int column = 0) {
    std::vector<std::string> out;
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql, -1, st.Out(), nullptr) != SQLITE_OK) return out;
    for (size_t i = 0; i < params.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, params[i].c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* p = sqlite3_column_text(st, column);
        out.push_back(p ? reinterpret_cast<const char*>(p) : "");
    }
    return out;
}

void Write(sqlite3* db, const char* sql, const std::vector<std::string>& params) {
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql, -1, st.Out(), nullptr) != SQLITE_OK) return;
    for (size_t i = 0; i < params.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, params[i].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
}

SqlError Conflict(int number, const std::string& message, int line, int state = 0) {
    return SqlError{number, 16, state, message, line, "", false};
}

std::string Joined(const std::vector<std::string>& cols, bool quoted) {
    std::string out;
    for (auto& c : cols) out += (out.empty() ? "" : ", ") + (quoted ? QuoteIdent(c) : c);
    return out;
}

std::vector<std::string> ColumnList(const std::vector<Token>& t, size_t open) {
    std::vector<std::string> cols;
    if (open >= t.size() || !t[open].IsOp("(")) return cols;
    for (auto& c : SplitCommas(t, open + 1, MatchParen(t, open)))
        if (!c.empty()) cols.push_back(NameOf(c[0]));
    return cols;
}

bool SameColumns(std::vector<std::string> a, std::vector<std::string> b) {
    if (a.size() != b.size()) return false;
    for (auto* v : {&a, &b})
        for (auto& s : *v) s = Upper(s);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

}  // namespace

// The key column sets of a table: its primary key and each unique index.
std::vector<std::vector<std::string>> Session::KeysOf(const std::string& table) {
    std::vector<std::vector<std::string>> keys;
    std::vector<std::pair<int, std::string>> pk;
    SqlStmt st;
    sqlite3_prepare_v2(db_, ("PRAGMA table_info(" + QuoteIdent(table) + ")").c_str(), -1, st.Out(), nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW)
        if (sqlite3_column_int(st, 5) > 0)
            pk.emplace_back(sqlite3_column_int(st, 5), reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    std::sort(pk.begin(), pk.end());
    if (!pk.empty()) {
        keys.emplace_back();
        for (auto& p : pk) keys.back().push_back(p.second);
    }
    sqlite3_prepare_v2(db_, ("PRAGMA index_list(" + QuoteIdent(table) + ")").c_str(), -1, st.Out(), nullptr);
    std::vector<std::string> unique;
    while (st && sqlite3_step(st) == SQLITE_ROW)
        if (sqlite3_column_int(st, 2) == 1) unique.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    for (auto& index : unique) {
        keys.emplace_back();
        sqlite3_prepare_v2(db_, ("PRAGMA index_info(" + QuoteIdent(index) + ")").c_str(), -1, st.Out(), nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) keys.back().push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
    }
    return keys;
}

// Writes the table's definition: the text as created (kept in __tablebase) with the enabled
// constraints added later.
std::string Session::TableBase(const std::string& table) {
    auto base = Strings(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {table});
    if (base.empty()) {
        base = Strings(db_, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?", {table});
        if (base.empty()) return {};
        Write(db_, "INSERT INTO __tablebase (tbl, sql) VALUES (?, ?)", {table, base[0]});
    }
    return base[0];
}

void Session::RewriteTableDefinition(const std::string& table, int line) {
    std::string sql = TableBase(table);
    if (sql.empty()) return;
    const size_t last = sql.rfind(')');
    if (last == std::string::npos) return;
    std::string clauses;
    for (auto& c : Strings(db_, "SELECT clause FROM __constraints WHERE tbl = ? AND enabled = 1 AND kind IN ('F', 'C') ORDER BY rowid", {table}))
        clauses += ", " + c;
    sql = sql.substr(0, last) + clauses + sql.substr(last);
    const auto old = Strings(db_, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?", {table});
    auto write = [&](const std::string& text) {
        int version = 0;
        {
            SqlStmt st;
            sqlite3_prepare_v2(db_, "PRAGMA schema_version", -1, st.Out(), nullptr);
            if (sqlite3_step(st) == SQLITE_ROW) version = sqlite3_column_int(st, 0);
        }
        sqlite3_exec(db_, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
        Write(db_, "UPDATE sqlite_master SET sql = ? WHERE type = 'table' AND name = ?", {text, table});
        sqlite3_exec(db_, ("PRAGMA schema_version = " + std::to_string(version + 1)).c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA writable_schema = OFF", nullptr, nullptr, nullptr);
    };
    write(sql);
    // A definition SQLite cannot read would make the database unusable: the old one goes back.
    SqlStmt probe;
    if (sqlite3_prepare_v2(db_, ("SELECT * FROM " + QuoteIdent(table) + " LIMIT 0").c_str(), -1, probe.Out(), nullptr) != SQLITE_OK) {
        const std::string why = sqlite3_errmsg(db_);
        if (!old.empty()) write(old[0]);
        throw SqlError{50000, 16, 1, "The stand-in could not rewrite the definition of table '" + table + "': " + why, line, "", false};
    }
}

bool Session::AddColumns(const std::string& written, const std::vector<Token>& t, size_t from, int line) {
    const std::string table = TableNamed(written);
    if (table.empty()) return false;  // SQLite's refusal words it
    const auto ids = Strings(db_, "SELECT id FROM __objects WHERE name = ? AND xtype = 'U'", {table});
    if (ids.empty()) return false;
    const int databaseCollation = written[0] != '#' ? DatabaseCollation() : kDefaultCollation;
    std::vector<ColumnInfo> cols;
    std::vector<std::string> defs;
    std::vector<ConstraintObject> objects;
    std::vector<std::string> blanked;
    for (auto& part : SplitCommas(t, from, t.size())) {
        if (part.empty()) continue;
        if (part[0].Is("CONSTRAINT") || part[0].Is("PRIMARY") || part[0].Is("FOREIGN") || part[0].Is("CHECK") || part[0].Is("UNIQUE") ||
            part[0].Is("INDEX"))
            return false;  // columns and table constraints in one list: SQLite's own ADD COLUMN
        ColumnInfo c;
        bool named = false;
        defs.push_back(ColumnDefinition(part, written, databaseCollation, line, c, objects, named));
        if (c.identity) return false;  // SQLite adds no key column
        // Rows already there take a nullable column's default only WITH VALUES.
        if (c.nullable && !c.defaultText.empty() && !(part.size() >= 2 && part[part.size() - 2].Is("WITH") && part.back().Is("VALUES")))
            blanked.push_back(c.name);
        cols.push_back(c);
    }
    if (cols.empty()) return false;
    const auto last = Strings(db_, "SELECT coalesce(max(colid), 0) FROM __columns WHERE object_id = ?", {ids[0]});
    for (const std::string& def : defs) {
        const std::string sql = "ALTER TABLE " + QuoteIdent(table) + " ADD COLUMN " + def;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
        // The text as created, which constraints toggled later rewrite the table from, gets it too.
        auto base = Strings(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {table});
        if (!base.empty() && base[0].rfind(')') != std::string::npos)
            Write(db_, "UPDATE __tablebase SET sql = ? WHERE tbl = ?", {base[0].insert(base[0].rfind(')'), ", " + def), table});
    }
    for (const std::string& name : blanked) {
        const std::string sql = "UPDATE " + QuoteIdent(table) + " SET " + QuoteIdent(name) + " = NULL";
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
    }
    const int id = std::atoi(ids[0].c_str());
    RecordColumns(db_, id, table, cols, (last.empty() ? 0 : std::atoi(last[0].c_str())) + 1);
    RecordConstraintObjects(id, table, written, objects);
    ForgetTable(table);
    columnCache_.clear();
    return true;
}

bool Session::ExecAlterTable(const std::vector<Token>& in, int line) {
    const std::vector<Token> t = in;
    size_t i = 2;
    std::string written = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) {
        written = NameOf(t[i + 1]);
        i += 2;
    }
    bool check = true;  // WITH CHECK is the default for new constraints
    if (i + 1 < t.size() && t[i].Is("WITH") && (t[i + 1].Is("CHECK") || t[i + 1].Is("NOCHECK"))) {
        check = t[i + 1].Is("CHECK");
        i += 2;
    }
    if (i >= t.size()) return false;
    if (i + 2 < t.size() && t[i].Is("DROP") && t[i + 1].Is("COLUMN")) {
        // DROP COLUMN [IF EXISTS] a, b: each column goes from the table and the catalog; one that is
        // not there is passed over with IF EXISTS and refused (4924) without.
        const bool ifExists = i + 3 < t.size() && t[i + 2].Is("IF") && t[i + 3].Is("EXISTS");
        const std::string table = TableNamed(written);
        if (table.empty()) throw SqlError{4902, 16, 1, "Cannot find the object \"" + written + "\" because it does not exist or you do not have permissions.", line, "", false};
        for (auto& part : SplitCommas(t, i + (ifExists ? 4 : 2), t.size())) {
            if (part.empty()) continue;
            const std::string name = NameOf(part.back());
            bool there = false;
            for (const auto& c : StoredColumns(table)) there = there || SameNoCase(c.first, name);
            if (!there && ifExists) continue;
            if (!there)
                throw SqlError{4924, 16, 1, "ALTER TABLE DROP COLUMN failed because column '" + name + "' does not exist in table '" + written + "'.", line, "", false};
            std::vector<Token> one(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            one.push_back(part.back());
            ExecSql(one, line, false);
            Write(db_, "DELETE FROM __columns WHERE table_name = ? AND name = ?", {table, name});
            columnCache_.clear();
        }
        return true;
    }
    const bool add = t[i].Is("ADD");
    const bool toggle = (t[i].Is("NOCHECK") || t[i].Is("CHECK")) && i + 1 < t.size() && t[i + 1].Is("CONSTRAINT");
    const bool drop = t[i].Is("DROP") && i + 1 < t.size() && t[i + 1].Is("CONSTRAINT");
    if (add) {
        // ADD of columns goes to SQLite as before; ADD of constraints is handled here.
        const size_t k = i + 1;
        if (k >= t.size()) return false;
        if (!(t[k].Is("CONSTRAINT") || t[k].Is("PRIMARY") || t[k].Is("FOREIGN") || t[k].Is("CHECK") || t[k].Is("UNIQUE") ||
              t[k].Is("DEFAULT")))
            return AddColumns(written, t, k, line);
    } else if (!toggle && !drop) {
        return false;
    }
    const std::string table = TableNamed(written);
    if (table.empty()) throw SqlError{4902, 16, 1, "Cannot find the object \"" + written + "\" because it does not exist or you do not have permissions.", line, "", false};
    if (toggle || drop) LiftCreateConstraints(table);
    if (toggle) {
        const bool enable = t[i].Is("CHECK");
        std::vector<std::string> names;
        for (auto& part : SplitCommas(t, i + 2, t.size()))
            if (!part.empty()) names.push_back(NameOf(part[0]));
        const bool all = names.size() == 1 && Upper(names[0]) == "ALL" && t[i + 2].kind == Token::Word;
        if (all) {
            Write(db_, "UPDATE __constraints SET enabled = ? WHERE tbl = ? AND kind IN ('F', 'C')", {enable ? "1" : "0", table});
        } else {
            for (auto& n : names) {
                if (Strings(db_, "SELECT name FROM __constraints WHERE tbl = ? AND name = ?", {table, n}).empty())
                    throw Conflict(4917, "Constraint '" + n + "' does not exist.", line, 1);
                Write(db_, "UPDATE __constraints SET enabled = ? WHERE tbl = ? AND name = ?", {enable ? "1" : "0", table, n});
            }
        }
        RewriteTableDefinition(table, line);
        columnCache_.clear();
        return true;
    }
    if (drop) {
        for (auto& part : SplitCommas(t, i + 2, t.size())) {
            if (part.empty()) continue;
            const std::string name = NameOf(part.back());
            const bool ifExists = part.size() >= 3 && part[0].Is("IF") && part[1].Is("EXISTS");
            auto kind = Strings(db_, "SELECT kind FROM __constraints WHERE tbl = ? AND name = ?", {table, name});
            auto object = Strings(db_, "SELECT xtype FROM __objects WHERE lower(name) = lower(?) AND xtype <> 'U'", {name});
            if (kind.empty() && object.empty() && ifExists) continue;
            if (kind.empty() && object.empty()) throw Conflict(3728, "'" + name + "' is not a constraint.", line, 1);
            if (!kind.empty() && (kind[0] == "PK" || kind[0] == "UQ")) {
                auto stored = Strings(db_, "SELECT stored FROM __indexes WHERE tbl = ? AND name = ?", {table, name});
                if (!stored.empty()) sqlite3_exec(db_, ("DROP INDEX IF EXISTS " + QuoteIdent(stored[0])).c_str(), nullptr, nullptr, nullptr);
                Write(db_, "DELETE FROM __indexes WHERE tbl = ? AND name = ?", {table, name});
            }
            if (!kind.empty() && kind[0] == "D") DropColumnDefault(table, name);
            Write(db_, "DELETE FROM __constraints WHERE tbl = ? AND name = ?", {table, name});
            Write(db_, "DELETE FROM __comments WHERE id IN (SELECT id FROM __objects WHERE lower(name) = lower(?) AND xtype <> 'U')", {name});
            Write(db_, "DELETE FROM __objects WHERE lower(name) = lower(?) AND xtype <> 'U'", {name});
        }
        RewriteTableDefinition(table, line);
        columnCache_.clear();
        return true;
    }
    for (auto part : SplitCommas(t, i + 1, t.size())) {
        if (part.empty()) continue;
        std::vector<Token> p;
        for (size_t k = 0; k < part.size(); ++k) {
            if (part[k].Is("CLUSTERED") || part[k].Is("NONCLUSTERED")) continue;
            if (part[k].Is("NOT") && k + 2 < part.size() && part[k + 1].Is("FOR") && part[k + 2].Is("REPLICATION")) {
                k += 2;
                continue;
            }
            if (part[k].Is("WITH") && k > 0 && part[k - 1].IsOp(")")) break;  // index options
            if (part[k].Is("ON") && k > 0 && part[k - 1].IsOp(")") && k + 1 < part.size() && part[k + 1].IsName() &&
                !part[k + 1].Is("DELETE") && !part[k + 1].Is("UPDATE"))
                break;  // filegroup
            p.push_back(part[k]);
        }
        AddConstraint(table, p, check, line);
    }
    RewriteTableDefinition(table, line);
    columnCache_.clear();
    return true;
}

void Session::AddConstraint(const std::string& table, const std::vector<Token>& p, bool check, int line) {
    size_t k = 0;
    std::string name;
    if (p[0].Is("CONSTRAINT") && p.size() > 2) {
        name = NameOf(p[1]);
        k = 2;
    }
    const std::string kindWord = p[k].value;
    auto unnamed = [&](const char* prefix, const std::string& column) { return SystemConstraintName(prefix, table, column, NewObjectId(db_)); };
    auto checkName = [&](const std::string& n) {
        if (!Strings(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?)", {n}).empty())
            throw SqlError{2714, 16, 5, "There is already an object named '" + n + "' in the database.", line, "", false};
    };
    if (kindWord == "PRIMARY" || kindWord == "UNIQUE") {
        size_t open = k;
        while (open < p.size() && !p[open].IsOp("(")) ++open;
        const std::vector<std::string> cols = ColumnList(p, open);
        const bool pk = kindWord == "PRIMARY";
        if (name.empty()) name = unnamed(pk ? "PK" : "UQ", "");
        checkName(name);
        if (pk && !Strings(db_, "SELECT name FROM __indexes WHERE tbl = ? AND is_pk = 1", {table}).empty())
            throw SqlError{1779, 16, 0, "Table '" + table + "' already has a primary key defined on it.", line, "", false};
        const std::string stored = table + "$" + name;
        const std::string sql = "CREATE UNIQUE INDEX " + QuoteIdent(stored) + " ON " + QuoteIdent(table) + " (" + Joined(cols, true) + ")";
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string msg = sqlite3_errmsg(db_);
            if (msg.find("UNIQUE constraint failed") != std::string::npos)
                throw SqlError{1505, 16, 1,
                               "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for the object name 'dbo." +
                                   table + "' and the index name '" + name + "'.",
                               line, "", false};
            throw TranslateError(line);
        }
        Write(db_, "INSERT INTO __indexes (tbl, name, stored, is_unique, is_clustered, is_pk, columns) VALUES (?, ?, ?, 1, ?, ?, ?)",
             {table, name, stored, pk ? "1" : "0", pk ? "1" : "0", Joined(cols, false)});
        Write(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, ?, '', 1)", {table, name, pk ? "PK" : "UQ"});
        AddConstraintObject(table, name, pk ? "PK" : "UQ", "");
        return;
    }
    if (kindWord == "FOREIGN") {
        const std::vector<std::string> cols = ColumnList(p, k + 2);
        size_t r = k + 2;
        while (r < p.size() && !p[r].Is("REFERENCES")) ++r;
        if (r + 1 >= p.size()) throw SqlError{102, 15, 1, "Incorrect syntax near 'FOREIGN'.", line, "", true};
        size_t q = r + 1;
        std::string written = NameOf(p[q++]);
        while (q + 1 < p.size() && p[q].IsOp(".") && p[q + 1].IsName()) {
            written = NameOf(p[q + 1]);
            q += 2;
        }
        if (name.empty()) name = unnamed("FK", cols.empty() ? std::string() : cols[0]);
        checkName(name);
        const std::string parent = TableNamed(written);
        if (parent.empty())
            throw SqlError{1767, 16, 0, "Foreign key '" + name + "' references invalid table '" + written + "'.", line, "", false};
        std::vector<std::string> refs = ColumnList(p, q);
        if (q < p.size() && p[q].IsOp("(")) q = MatchParen(p, q) + 1;
        const auto keys = KeysOf(parent);
        if (refs.empty() && !keys.empty()) refs = keys[0];
        if (std::none_of(keys.begin(), keys.end(), [&](const std::vector<std::string>& key) { return SameColumns(key, refs); }))
            throw SqlError{1776, 16, 0,
                           "There are no primary or candidate keys in the referenced table '" + parent +
                               "' that match the referencing column list in the foreign key '" + name + "'.",
                           line, "", false};
        std::string actions = JoinTokens(p, q);
        if (check && !cols.empty() && cols.size() == refs.size()) {
            std::string where;
            for (size_t c = 0; c < cols.size(); ++c)
                where += (c ? " AND " : "") + std::string("p.") + QuoteIdent(refs[c]) + " = c." + QuoteIdent(cols[c]);
            std::string notNull;
            for (auto& c : cols) notNull += " AND c." + QuoteIdent(c) + " IS NOT NULL";
            const std::string probe = "SELECT 1 FROM " + QuoteIdent(table) + " c WHERE 1" + notNull + " AND NOT EXISTS (SELECT 1 FROM " +
                                      QuoteIdent(parent) + " p WHERE " + where + ") LIMIT 1";
            SqlStmt st;
            if (sqlite3_prepare_v2(db_, probe.c_str(), -1, st.Out(), nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
                throw Conflict(547, "The ALTER TABLE statement conflicted with the FOREIGN KEY constraint \"" + name +
                                        "\". The conflict occurred in database \"" + dbName_ + "\", table \"dbo." + parent + "\", column '" +
                                        refs[0] + "'.",
                               line);
        }
        const std::string clause = "CONSTRAINT " + QuoteIdent(name) + " FOREIGN KEY (" + Joined(cols, true) + ") REFERENCES " +
                                   QuoteIdent(parent) + " (" + Joined(refs, true) + ")" + (actions.empty() ? "" : " " + actions);
        Write(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, 'F', ?, 1)", {table, name, clause});
        AddConstraintObject(table, name, "F", "");
        return;
    }
    if (kindWord == "CHECK") {
        const size_t open = k + 1;
        if (open >= p.size() || !p[open].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near 'CHECK'.", line, "", true};
        const size_t close = MatchParen(p, open);
        std::vector<Token> expr(p.begin() + static_cast<std::ptrdiff_t>(open), p.begin() + static_cast<std::ptrdiff_t>(close) + 1);
        const std::string text = JoinTokens(expr);
        std::string column;
        for (auto& x : expr)
            if ((x.kind == Token::Word && !x.Is("LIKE") && !x.Is("AND") && !x.Is("OR") && !x.Is("NOT") && !x.Is("IS") && !x.Is("NULL") &&
                 !x.Is("IN") && !x.Is("BETWEEN")) ||
                x.kind == Token::Bracketed || x.kind == Token::Quoted) {
                column = NameOf(x);
                break;
            }
        if (name.empty()) name = unnamed("CK", column);
        checkName(name);
        const std::string translated = Translate(expr, line);
        if (check) {
            SqlStmt st;
            const std::string probe = "SELECT 1 FROM " + QuoteIdent(table) + " WHERE NOT " + translated + " LIMIT 1";
            if (sqlite3_prepare_v2(db_, probe.c_str(), -1, st.Out(), nullptr) != SQLITE_OK) throw TranslateError(line);
            if (sqlite3_step(st) == SQLITE_ROW)
                throw Conflict(547, "The ALTER TABLE statement conflicted with the CHECK constraint \"" + name +
                                        "\". The conflict occurred in database \"" + dbName_ + "\", table \"dbo." + table + "\"" +
                                        (column.empty() ? std::string() : ", column '" + column + "'") + ".",
                               line);
        }
        const std::string clause = "CONSTRAINT " + QuoteIdent(name) + " CHECK " + translated;
        Write(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, 'C', ?, 1)", {table, name, clause});
        AddConstraintObject(table, name, "C", text);
        return;
    }
    if (kindWord == "DEFAULT") {
        // DEFAULT expr FOR column
        size_t f = k + 1;
        int depth = 0;
        for (; f < p.size(); ++f) {
            if (p[f].IsOp("("))
                depth++;
            else if (p[f].IsOp(")"))
                depth--;
            else if (depth == 0 && p[f].Is("FOR"))
                break;
        }
        if (f + 1 >= p.size()) throw SqlError{102, 15, 1, "Incorrect syntax near 'DEFAULT'.", line, "", true};
        const std::string column = NameOf(p[f + 1]);
        std::vector<Token> expr(p.begin() + static_cast<std::ptrdiff_t>(k) + 1, p.begin() + static_cast<std::ptrdiff_t>(f));
        while (expr.size() >= 2 && expr.front().IsOp("(") && MatchParen(expr, 0) == expr.size() - 1)
            expr = std::vector<Token>(expr.begin() + 1, expr.end() - 1);
        if (name.empty()) name = unnamed("DF", column);
        checkName(name);
        const bool number = expr.size() == 1 && expr[0].kind == Token::Number;
        const std::string shown = number ? "((" + JoinTokens(expr) + "))" : "(" + JoinTokens(expr) + ")";
        SetColumnDefault(table, column, expr, line);
        Write(db_, "UPDATE __columns SET default_text = ? WHERE table_name = ? AND name = ?", {shown, table, column});
        Write(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, 'D', ?, 1)", {table, name, column});
        AddConstraintObject(table, name, "D", shown);
        return;
    }
    throw SqlError{102, 15, 1, "Incorrect syntax near '" + p[k].text + "'.", line, "", true};
}

// The column's part of the table's text as created, found by its name.
static bool FindColumnPart(const std::vector<Token>& t, const std::string& column, size_t& from, size_t& to) {
    size_t open = 0;
    while (open < t.size() && !t[open].IsOp("(")) ++open;
    const size_t close = MatchParen(t, open);
    size_t start = open + 1;
    int depth = 0;
    for (size_t i = open + 1; i <= close && i < t.size(); ++i) {
        if (t[i].IsOp("(")) depth++;
        if (t[i].IsOp(")") && i != close) depth--;
        if ((t[i].IsOp(",") && depth == 0) || i == close) {
            if (start < i && SameNoCase(NameOf(t[start]), column)) {
                from = start;
                to = i;
                return true;
            }
            start = i + 1;
        }
    }
    return false;
}

void Session::SetColumnDefault(const std::string& table, const std::string& column, const std::vector<Token>& expr, int line) {
    RewriteTableDefinition(table, line);  // makes sure the text as created is kept
    auto base = Strings(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {table});
    if (base.empty()) return;
    std::vector<Token> t = Tokenize(base[0]);
    size_t from = 0, to = 0;
    if (!FindColumnPart(t, column, from, to))
        throw SqlError{1752, 16, 0, "Column '" + column + "' in table '" + table + "' is invalid for creating a default constraint.", line, "", false};
    for (size_t i = from; i < to; ++i)
        if (t[i].Is("DEFAULT"))
            throw SqlError{1781, 16, 1, "Column already has a DEFAULT bound to it.", line, "", false};
    std::string value;
    const bool now = !expr.empty() && (expr[0].Is("GETDATE") || expr[0].Is("CURRENT_TIMESTAMP") || expr[0].Is("SYSDATETIME"));
    if (now)
        value = "(strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))";
    else if (expr.size() == 1 || (expr.size() == 2 && expr[0].IsOp("-"))) {
        value = "(" + Translate(expr, line) + ")";
        for (auto& [name, type] : StoredColumns(table)) {
            if (!SameNoCase(name, column)) continue;
            // Converted to the column's type now; a value that does not convert fails each insert that takes it.
            try {
                value = "(" + Translate(StoredValueTokens(expr, type, dateOrder_, line), line) + ")";
            } catch (const SqlError&) {
                value = "(sandbox_store(" + Translate(expr, line) + ", " + SqlLiteral(type.Declared()) + "))";
            }
        }
    }
    if (value.empty()) return;  // not a constant: kept in the catalog only
    std::vector<Token> def = {MakeToken(Token::Word, "DEFAULT"), MakeToken(Token::Word, value)};
    t.insert(t.begin() + static_cast<std::ptrdiff_t>(to), def.begin(), def.end());
    Write(db_, "UPDATE __tablebase SET sql = ? WHERE tbl = ?", {JoinTokens(t), table});
}

void Session::DropColumnDefault(const std::string& table, const std::string& name) {
    auto column = Strings(db_, "SELECT clause FROM __constraints WHERE tbl = ? AND name = ?", {table, name});
    auto base = Strings(db_, "SELECT sql FROM __tablebase WHERE tbl = ?", {table});
    if (column.empty() || base.empty()) return;
    std::vector<Token> t = Tokenize(base[0]);
    size_t from = 0, to = 0;
    if (!FindColumnPart(t, column[0], from, to)) return;
    for (size_t i = from; i + 1 < to; ++i)
        if (t[i].Is("DEFAULT")) {
            const size_t end = t[i + 1].IsOp("(") ? MatchParen(t, i + 1) + 1 : i + 2;
            t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(std::min(end, t.size())));
            break;
        }
    Write(db_, "UPDATE __tablebase SET sql = ? WHERE tbl = ?", {JoinTokens(t), table});
    Write(db_, "UPDATE __columns SET default_text = NULL WHERE table_name = ? AND name = ?", {table, column[0]});
}

// CHECK and FOREIGN KEY constraints written in CREATE TABLE live in the table's SQLite definition.
// Before one is turned off, dropped or turned on by name, they are moved into the catalog of
// constraints, as ALTER TABLE ... ADD CONSTRAINT would have put them, so that each can be switched
// on its own. Unnamed ones take the names the catalog gave them (CHECK), or SQL Server's form of a
// system name (FOREIGN KEY). Done once: afterwards the definition holds no such clause.
void Session::LiftCreateConstraints(const std::string& table) {
    const std::string base = TableBase(table);
    if (base.empty()) return;
    std::vector<Token> t = Tokenize(base);
    size_t open = 0;
    while (open < t.size() && !t[open].IsOp("(")) ++open;
    if (open >= t.size()) return;
    const size_t close = MatchParen(t, open);
    struct Lifted {
        std::string name, kind, clause;
    };
    std::vector<Lifted> lifted;
    std::vector<std::pair<size_t, size_t>> cuts;  // token spans to remove, in order
    auto isCheck = [&](size_t k) {
        // The length checks of sized columns are the stand-in's own, not constraints.
        return t[k].Is("CHECK") && k + 2 < t.size() && t[k + 1].IsOp("(") && !t[k + 2].Is("SANDBOX_FITS");
    };
    size_t start = open + 1;
    int depth = 0;
    for (size_t i = open + 1; i <= close && i < t.size(); ++i) {
        if (t[i].IsOp("(")) ++depth;
        if (t[i].IsOp(")") && i != close) --depth;
        if (!((t[i].IsOp(",") && depth == 0) || i == close)) continue;
        const size_t from = start, to = i;
        start = i + 1;
        if (from >= to) continue;
        size_t k = from;
        std::string name;
        if (t[k].Is("CONSTRAINT") && k + 2 < to) {
            name = NameOf(t[k + 1]);
            k += 2;
        }
        if (name == "sandbox_none") continue;  // the stand-in's own (see CREATE TABLE)
        if (t[k].Is("CHECK") || t[k].Is("FOREIGN")) {
            // A table constraint: the whole part, with the comma before it.
            lifted.push_back({name, t[k].Is("CHECK") ? "C" : "F", JoinTokens(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(k), t.begin() + static_cast<std::ptrdiff_t>(to)))});
            cuts.emplace_back(from - 1, to);
            continue;
        }
        if (t[from].Is("CONSTRAINT") || t[from].Is("PRIMARY") || t[from].Is("UNIQUE")) continue;
        // A column: its CHECK and REFERENCES clauses, each with the CONSTRAINT name before it.
        const std::string column = NameOf(t[from]);
        for (size_t j = from + 1; j < to; ++j) {
            const bool check = isCheck(j), refs = t[j].Is("REFERENCES");
            if (!check && !refs) continue;
            size_t begin = j;
            std::string cname;
            if (j >= from + 3 && t[j - 2].Is("CONSTRAINT")) {
                cname = NameOf(t[j - 1]);
                begin = j - 2;
            }
            size_t end = j + 1;
            if (check) {
                end = MatchParen(t, j + 1) + 1;
            } else {
                if (end < to) ++end;  // the table
                while (end + 1 < to && t[end].IsOp(".")) end += 2;
                if (end < to && t[end].IsOp("(")) end = MatchParen(t, end) + 1;
                while (end + 2 < to && t[end].Is("ON") && (t[end + 1].Is("DELETE") || t[end + 1].Is("UPDATE"))) {
                    end += 3;
                    if (end < to && (t[end - 1].Is("SET") || t[end - 1].Is("NO"))) ++end;
                }
            }
            end = std::min(end, to);
            const std::string text = JoinTokens(std::vector<Token>(t.begin() + static_cast<std::ptrdiff_t>(j), t.begin() + static_cast<std::ptrdiff_t>(end)));
            lifted.push_back({cname, check ? "C" : "F", check ? text : "FOREIGN KEY (" + QuoteIdent(column) + ") " + text});
            if (!check) lifted.back().name = cname.empty() ? "\x01" + column : cname;
            cuts.emplace_back(begin, end);
            j = end - 1;
        }
    }
    if (lifted.empty()) return;
    // The catalog's CHECK objects of the table, in the order they were made, name the unnamed ones.
    auto checkNames = Strings(db_,
                              "SELECT name FROM __objects WHERE xtype = 'C' AND parent_obj = (SELECT id FROM __objects WHERE name = ? AND "
                              "xtype = 'U') AND lower(name) NOT IN (SELECT lower(name) FROM __constraints WHERE tbl = ?) ORDER BY id",
                              {table, table});
    size_t nextCheck = 0;
    // An unnamed foreign key keeps the name sp_help and sys.foreign_keys gave it before (its table's
    // id and its place among the unnamed ones).
    const auto tableId = Strings(db_, "SELECT id FROM __objects WHERE name = ? AND xtype = 'U'", {table});
    int unnamedKeys = 0;
    for (auto& l : lifted) {
        if (l.kind == "F" && (l.name.empty() || l.name[0] == '\x01') && !tableId.empty()) {
            std::string column = l.name.empty() ? std::string() : l.name.substr(1);
            const auto c = Tokenize(l.clause);
            if (column.empty() && c.size() > 3 && c[2].IsOp("(")) column = NameOf(c[3]);
            l.name = SystemConstraintName("FK", table, column, std::atoi(tableId[0].c_str()) + 7 * ++unnamedKeys);
        }
        if (l.kind == "C") {
            if (l.name.empty() && nextCheck < checkNames.size()) l.name = checkNames[nextCheck];
            if (nextCheck < checkNames.size() && SameNoCase(l.name, checkNames[nextCheck])) ++nextCheck;
        }
        const bool known = !l.name.empty() && l.name[0] != '\x01' &&
                           !Strings(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?)", {l.name}).empty();
        if (l.name.empty() || l.name[0] == '\x01') {
            l.name = SystemConstraintName(l.kind == "C" ? "CK" : "FK", table, l.name.empty() ? std::string() : l.name.substr(1), NewObjectId(db_));
        }
        if (!known) AddConstraintObject(table, l.name, l.kind == "C" ? "C" : "F", "");
        Write(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, ?, ?, 1)",
              {table, l.name, l.kind, "CONSTRAINT " + QuoteIdent(l.name) + " " + l.clause});
    }
    for (auto it = cuts.rbegin(); it != cuts.rend(); ++it)
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(it->first), t.begin() + static_cast<std::ptrdiff_t>(it->second));
    Write(db_, "UPDATE __tablebase SET sql = ? WHERE tbl = ?", {JoinTokens(t), table});
}
