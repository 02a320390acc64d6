// Statements SQLite runs: the T-SQL text is translated, prepared, bound to the variables in scope and
// stepped; rows stream to the sink. Expressions of other statements are evaluated the same way.
#include "SelectList.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "TextFunctions.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <set>

// ---------------------------------------------------------------- SQL statements

SqlStmt Session::Prepare(const std::string& sql, int line) {
    SqlStmt st;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), st.Out(), nullptr) != SQLITE_OK) {
        SqlError e = TranslateError(line);
        st.Reset();
        throw e;
    }
    return st;
}

SqlStmt Session::PrepareValues(const ValuesShape& shape, const std::string& sql, int line, bool& shared) {
    if (const std::uint64_t now = server_.CatalogGeneration(); now != valuesGeneration_ || catalogDirty_) {
        valuesCache_.Clear();
        valuesGeneration_ = now;
    }
    SqlStmt st = valuesCache_.Take(shape.sql);
    if (!st && sqlite3_prepare_v2(db_, shape.sql.c_str(), static_cast<int>(shape.sql.size()), st.Out(), nullptr) != SQLITE_OK)
        return Prepare(sql, line);  // its error as the statement was written
    for (size_t i = 0; i < shape.values.size(); ++i) BindValue(st, static_cast<int>(i) + 1, shape.values[i]);
    shared = true;
    return st;
}

void Session::Bind(sqlite3_stmt* st, int line) {
    const int n = sqlite3_bind_parameter_count(st);
    for (int i = 1; i <= n; ++i) {
        const char* name = sqlite3_bind_parameter_name(st, i);
        if (!name || name[0] != '@') continue;
        Variable* v = FindVar(Upper(name));
        if (!v) {
            throw SqlError{137, 15, 2, std::string("Must declare the scalar variable \"") + name + "\".", line, "", true};
        }
        BindValue(st, i, v->value);
    }
}

SqlError Session::TranslateError(int line) {
    // An exception raised inside a function SQLite called (a user function's error, a cancel, a
    // vanished client) continues here, now that SQLite has unwound.
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
    std::string msg = sqlite3_errmsg(db_);
    // Local temporary tables are named as the user wrote them.
    const std::string suffix = "__" + std::to_string(spid_);
    for (size_t at = msg.find(suffix); at != std::string::npos; at = msg.find(suffix, at)) msg.erase(at, suffix.size());
    const int code = sqlite3_errcode(db_);
    auto after = [&](const char* prefix) { return msg.substr(std::strlen(prefix)); };
    auto lastPart = [](std::string s) {
        const size_t dot = s.rfind('.');
        if (dot != std::string::npos) s = s.substr(dot + 1);
        // Without the quotes the translation put around it.
        if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
        return s;
    };
    if (code == SQLITE_INTERRUPT) {
        if (clientGone_) throw DropConnection{};
        throw Attention{};
    }
    if (msg.rfind("no such table: ", 0) == 0)
        return {208, 16, 1, "Invalid object name '" + lastPart(after("no such table: ")) + "'.", line, "", true};
    if (msg.rfind("no such view: ", 0) == 0)
        return {208, 16, 1, "Invalid object name '" + lastPart(after("no such view: ")) + "'.", line, "", true};
    if (msg.rfind("no such column: ", 0) == 0)
        return {207, 16, 1, "Invalid column name '" + lastPart(after("no such column: ")) + "'.", line, "", true};
    if (msg.rfind("no such function: ", 0) == 0)
        return {195, 15, 10, "'" + after("no such function: ") + "' is not a recognized built-in function name.", line, "", true};
    if (msg.find("syntax error") != std::string::npos) {
        const size_t q1 = msg.find('"'), q2 = msg.rfind('"');
        const std::string near = q1 != std::string::npos && q2 > q1 ? msg.substr(q1 + 1, q2 - q1 - 1) : std::string("end of input");
        return {102, 15, 1, "Incorrect syntax near '" + near + "'.", line, "", true};
    }
    if (msg.rfind("incomplete input", 0) == 0) return {102, 15, 1, "Incorrect syntax near the end of the batch.", line, "", true};
    if (auto server = ServerError(msg, line)) return *server;
    if (msg.rfind("NOT NULL constraint failed: ", 0) == 0) {
        std::string col = after("NOT NULL constraint failed: ");
        const size_t dot = col.find('.');
        std::string table = col.substr(0, dot), column = dot == std::string::npos ? col : col.substr(dot + 1);
        return {515,
                16,
                2,
                "Cannot insert the value NULL into column '" + column + "', table '" + dbName_ + ".dbo." + table +
                    "'; column does not allow nulls. INSERT fails.",
                line,
                "",
                false};
    }
    if (msg.find("FOREIGN KEY constraint failed") != std::string::npos && !dmlStatement_.second.empty()) {
        const std::string text = ForeignKeyConflict(dmlStatement_.first, dmlStatement_.second);
        if (!text.empty()) return {547, 16, 0, text, line, "", false};
    }
    if (msg.find("FOREIGN KEY constraint failed") != std::string::npos)
        return {547, 16, 0, "The statement conflicted with a FOREIGN KEY constraint.", line, "", false};
    if (msg.rfind("CHECK constraint failed: ", 0) == 0 && !dmlStatement_.second.empty()) {
        // A named constraint: SQL Server's words, with the column when the check reads one only.
        std::string name = after("CHECK constraint failed: ");
        const auto& [verb, table] = dmlStatement_;
        // An unnamed one: SQLite gives its expression; the catalog's constraint of that text is it.
        auto bare = [](const std::string& x) {
            std::string out;
            for (char ch : x)
                if (ch != ' ' && ch != '(' && ch != ')' && ch != '"' && ch != '[' && ch != ']')
                    out += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            return out;
        };
        if (sqlite3_stmt* st = Cached("SELECT o.name, c.text FROM __objects o JOIN __comments c ON c.id = o.id WHERE o.xtype = 'C' AND "
                                      "o.parent_obj = (SELECT id FROM __objects WHERE name = ? AND xtype = 'U') ORDER BY o.id")) {
            sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
            std::vector<std::string> matches;
            bool named = false;
            while (sqlite3_step(st) == SQLITE_ROW) {
                const std::string objectName = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                named = named || SameNoCase(objectName, name);
                if (bare(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))) == bare(name)) matches.push_back(objectName);
            }
            sqlite3_reset(st);
            if (!named && matches.size() == 1) name = matches[0];
        }
        std::vector<std::string> text;
        if (sqlite3_stmt* st = Cached("SELECT c.text FROM __objects o JOIN __comments c ON c.id = o.id WHERE lower(o.name) = lower(?) AND "
                                      "o.xtype = 'C' UNION ALL SELECT clause FROM __constraints WHERE tbl = ? AND lower(name) = lower(?)")) {
            sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, table.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 3, name.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(st) == SQLITE_ROW) text.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            sqlite3_reset(st);
        }
        if (!text.empty()) {
            std::set<std::string> columns;
            const auto facts = FactsOf(table);
            if (!text.empty())
                for (const Token& k : Tokenize(text[0]))
                    for (const auto& [column, type] : facts->columns)
                        if (k.IsName() && SameNoCase(NameOf(k), column) && !SameNoCase(NameOf(k), name)) columns.insert(column);
            const std::string shown = ShownName(table);
            return {547, 16, 0,
                    "The " + verb + " statement conflicted with the CHECK constraint \"" + name + "\". The conflict occurred in database \"" +
                        dbName_ + "\", table \"dbo." + shown + "\"" + (columns.size() == 1 ? ", column '" + *columns.begin() + "'" : "") + ".",
                    line, "", false};
        }
    }
    if (msg.find("CHECK constraint failed") != std::string::npos)
        return {547, 16, 0, "The statement conflicted with a CHECK constraint.", line, "", false};
    if (msg.find("already exists") != std::string::npos) {
        const size_t sp = msg.find(' ');
        std::string name = msg.substr(sp + 1, msg.find(" already") - sp - 1);
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            std::string plain;
            for (size_t i = 1; i + 1 < name.size(); ++i) {
                plain += name[i];
                if (name[i] == '"' && name[i + 1] == '"') ++i;
            }
            name = plain;
        }
        return {2714, 16, 6, "There is already an object named '" + name + "' in the database.", line, "", false};
    }
    return {50000, 16, 1, msg, line, "", false};
}

void Session::ExecSql(const std::vector<Token>& given, int line, bool isQuery) {
    (void)isQuery;
    // Described as the derived tables and functions they stand for.
    ForXmlAtTop forXml;
    const std::vector<Token> tokens = RewritePivots(RewriteForXml(given, line, &forXml), line);
    std::vector<SelectItem> items = SelectItems(tokens);
    const bool assigns = !items.empty() && std::all_of(items.begin(), items.end(), [](const SelectItem& i) { return i.assignsVariable; }) &&
                         (tokens[0].Is("SELECT") || tokens[0].Is("WITH"));
    std::vector<Token> t = tokens;
    if (assigns) {
        // SELECT @a = x, @b = y ... : run as SELECT x, y and keep the last row's values.
        size_t start, end;
        TopSelectList(t, start, end);
        std::vector<Token> list;
        for (size_t k = 0; k < items.size(); ++k) {
            if (k) list.push_back(MakeToken(Token::Op, ",", false));
            list.insert(list.end(), items[k].expr.begin(), items[k].expr.end());
        }
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(start), t.begin() + static_cast<std::ptrdiff_t>(end));
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(start), list.begin(), list.end());
    }
    const std::string sql = Translate(t, line);
    ValuesShape shape;
    bool shared = false;
    SqlStmt st = !fmtonly_ && ShapeOfValues(sql, shape) ? PrepareValues(shape, sql, line, shared) : Prepare(sql, line);
    Bind(st, line);
    nullSeen_ = nullWarned_ = false;
    if (fmtonly_) {
        // SET FMTONLY ON: the column metadata only; nothing that changes data runs.
        if (sqlite3_column_count(st) == 0 || !sqlite3_stmt_readonly(st) || assigns) return;
        const int first = sqlite3_step(st);  // the first row types what the text does not
        if (first != SQLITE_ROW && first != SQLITE_DONE) throw TranslateError(line);
        out_.Columns(DescribeColumns(st, tokens));
        Done(0, kCmdSelect, 0);
        return;
    }
    int rc = sqlite3_step(st);
    const int ncols = sqlite3_column_count(st);
    auto fail = [&]() {
        SqlError e = TranslateError(line);
        st.Reset();
        throw e;
    };
    if (assigns) {
        std::uint64_t assigned = 0;
        std::vector<TextForm> textForms(items.size());
        for (size_t k = 0; k < items.size(); ++k)
            if (const Variable* v = FindVar(items[k].variable)) textForms[k] = TextFormInto(v->type, items[k].expr, tokens);
        while (rc == SQLITE_ROW) {
            ++assigned;
            for (size_t k = 0; k < items.size() && static_cast<int>(k) < ncols; ++k) {
                Variable* v = FindVar(items[k].variable);
                if (!v) {
                    st.Reset();
                    throw SqlError{137, 15, 1, "Must declare the scalar variable \"" + items[k].variable + "\".", line, "", true};
                }
                if (v->type.kind == SqlType::Variant) VariantTakesBase(*v, items[k].expr, tokens);
                v->value = AssignedValue(v->type, ColumnValue(st, static_cast<int>(k)), textForms[k], line);
            }
            rc = sqlite3_step(st);
        }
        if (rc != SQLITE_DONE) fail();
        st.Reset();
        if (nullSeen_) WarnNullsEliminated(line);
        AssignDone(assigned);
        return;
    }
    if (ncols == 0) {
        while (rc == SQLITE_ROW) rc = sqlite3_step(st);
        if (rc != SQLITE_DONE) fail();
        if (shared)
            valuesCache_.Put(shape.sql, std::move(st));
        else
            st.Reset();
        rowcount_ = sqlite3_changes64(db_);
        if (!dmlCountFrom_.empty()) rowcount_ = InsteadOfRows();
        const std::string& w = tokens[0].value;
        const std::uint16_t cmd = w == "INSERT" ? 0xC3 : w == "DELETE" ? 0xC4 : w == "UPDATE" ? 0xC5 : 0;
        const bool dml = cmd != 0;
        if (dml) Done(nocount_ ? 0 : kDoneCount, cmd, nocount_ ? 0 : static_cast<std::uint64_t>(rowcount_));
        return;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail();
    if (forXml.present && ncols == 1) return SendForXml(st, rc, DescribeColumns(st, tokens), forXml.typed, line);
    const std::vector<SqlColumn> cols = DescribeColumns(st, describeAs_.empty() ? tokens : describeAs_);
    out_.Columns(cols);
    // Columns declared int, smallint or tinyint: a value past the type (2147483647 + 1) is SQL
    // Server's overflow error, not a number cut to the type's bytes.
    std::vector<size_t> smallIntegers;
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].type.kind == SqlType::Int || cols[i].type.kind == SqlType::SmallInt || cols[i].type.kind == SqlType::TinyInt)
            smallIntegers.push_back(i);
    std::uint64_t rows = 0;
    std::vector<SqlValue> values(cols.size());
    while (rc == SQLITE_ROW) {
        for (int i = 0; i < ncols; ++i) values[static_cast<size_t>(i)] = ColumnValue(st, i);
        for (size_t i : smallIntegers) {
            if (values[i].type != SqlValue::Integer) continue;
            const SqlType::Kind k = cols[i].type.kind;
            const std::int64_t lo = k == SqlType::Int ? INT32_MIN : k == SqlType::SmallInt ? INT16_MIN : 0;
            const std::int64_t hi = k == SqlType::Int ? INT32_MAX : k == SqlType::SmallInt ? INT16_MAX : 255;
            if (values[i].i < lo || values[i].i > hi)
                throw SqlError{8115, 16, 2, "Arithmetic overflow error converting expression to data type " + cols[i].type.Name() + ".", line, "",
                               false};
        }
        if (nullSeen_) WarnNullsEliminated(line);
        if (textSize_ < 2147483647) LimitTextSize(cols, values, textSize_);
        out_.Row(cols, values);
        ++rows;
        if (dropAfterRows_ >= 0 && static_cast<long>(rows) >= dropAfterRows_) {
            st.Reset();
            dropAfterRows_ = -1;
            throw DropConnection{};
        }
        if (out_.Failed()) {
            st.Reset();
            throw DropConnection{};
        }
        if ((rows & 255) == 0 && attention_ && attention_()) {
            st.Reset();
            throw Attention{};
        }
        rc = sqlite3_step(st);
    }
    if (rc != SQLITE_DONE) fail();
    st.Reset();
    if (nullSeen_) WarnNullsEliminated(line);
    rowcount_ = static_cast<std::int64_t>(rows);
    Done(nocount_ ? 0 : kDoneCount, kCmdSelect, nocount_ ? 0 : rows);
}

SqlValue Session::Eval(const std::vector<Token>& expr, int line) {
    std::vector<Token> t;
    t.push_back(MakeToken(Token::Word, "SELECT", false));
    t.insert(t.end(), expr.begin(), expr.end());
    if (t.size() > 1) t[1].spaceBefore = true;
    const std::string sql = Translate(t, line);
    SqlStmt st = Prepare(sql, line);
    Bind(st, line);
    nullSeen_ = nullWarned_ = false;
    const int rc = sqlite3_step(st);
    SqlValue v;
    if (rc == SQLITE_ROW)
        v = ColumnValue(st, 0);
    else if (rc != SQLITE_DONE) {
        SqlError e = TranslateError(line);
        st.Reset();
        throw e;
    }
    st.Reset();
    if (nullSeen_) WarnNullsEliminated(line);
    return v;
}

bool Session::EvalCondition(const std::vector<Token>& cond, int line) {
    std::vector<Token> t;
    t.push_back(MakeToken(Token::Word, "CASE", false));
    t.push_back(MakeToken(Token::Word, "WHEN"));
    t.push_back(MakeToken(Token::Op, "("));
    t.insert(t.end(), cond.begin(), cond.end());
    t.push_back(MakeToken(Token::Op, ")"));
    for (const char* w : {"THEN", "1", "ELSE", "0", "END"})
        t.push_back(MakeToken(std::isdigit(static_cast<unsigned char>(w[0])) ? Token::Number : Token::Word, w));
    const SqlValue v = Eval(t, line);
    return v.type == SqlValue::Integer && v.i != 0;
}

// The foreign key a failed statement broke, in SQL Server's words, when only one can be it; empty
// otherwise. SQLite does not say which one failed.
std::string Session::ForeignKeyConflict(const std::string& verb, const std::string& table) {
    struct Key {
        std::string child, parent, from, to;
    };
    auto keysOf = [&](const std::string& child) {
        std::vector<Key> keys;
        SqlStmt st;
        if (sqlite3_prepare_v2(db_, ("PRAGMA foreign_key_list(" + QuoteIdent(child) + ")").c_str(), -1, st.Out(), nullptr) != SQLITE_OK) return keys;
        while (sqlite3_step(st) == SQLITE_ROW)
            if (sqlite3_column_int(st, 1) == 0)  // the first column of each key
                keys.push_back({child, reinterpret_cast<const char*>(sqlite3_column_text(st, 2)),
                                reinterpret_cast<const char*>(sqlite3_column_text(st, 3)),
                                sqlite3_column_text(st, 4) ? reinterpret_cast<const char*>(sqlite3_column_text(st, 4)) : ""});
        return keys;
    };
    std::vector<Key> asChild, asParent;
    if (verb != "DELETE") asChild = keysOf(table);
    if (verb != "INSERT") {
        SqlStmt st;
        sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE '\\_\\_%' ESCAPE '\\'", -1, st.Out(), nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW)
            for (auto& k : keysOf(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))))
                if (SameNoCase(k.parent, table)) asParent.push_back(k);
    }
    if (asChild.size() + asParent.size() != 1) return {};
    const bool child = asChild.size() == 1;
    const Key key = child ? asChild[0] : asParent[0];
    // Its name: in the catalog of constraints, or written before it in the table's definition.
    std::string name;
    auto nameIn = [&](const std::vector<Token>& t) {
        for (size_t i = 0; i + 2 < t.size(); ++i) {
            if (!t[i].Is("CONSTRAINT")) continue;
            size_t k = i + 2;
            if (k + 3 < t.size() && t[k].Is("FOREIGN") && t[k + 1].Is("KEY") && t[k + 2].IsOp("(") && SameNoCase(NameOf(t[k + 3]), key.from))
                return NameOf(t[i + 1]);
            // A column's own REFERENCES: the column's name opens its part.
            if (t[k].Is("REFERENCES")) {
                size_t j = i;
                while (j > 0 && !t[j - 1].IsOp(",") && !t[j - 1].IsOp("(")) --j;
                if (SameNoCase(NameOf(t[j]), key.from)) return NameOf(t[i + 1]);
            }
        }
        return std::string();
    };
    SqlStmt st;
    sqlite3_prepare_v2(db_, "SELECT clause FROM __constraints WHERE tbl = ? AND kind = 'F' AND enabled = 1", -1, st.Out(), nullptr);
    if (st) sqlite3_bind_text(st, 1, key.child.c_str(), -1, SQLITE_TRANSIENT);
    while (name.empty() && st && sqlite3_step(st) == SQLITE_ROW) name = nameIn(Tokenize(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))));
    if (name.empty()) {
        SqlStmt def;
        sqlite3_prepare_v2(db_, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?", -1, def.Out(), nullptr);
        if (def) sqlite3_bind_text(def, 1, key.child.c_str(), -1, SQLITE_TRANSIENT);
        if (def && sqlite3_step(def) == SQLITE_ROW) name = nameIn(Tokenize(reinterpret_cast<const char*>(sqlite3_column_text(def, 0))));
    }
    if (name.empty()) name = ForeignKeyName(key.child, key.from);  // unnamed: the name the catalog shows
    if (name.empty()) return {};
    if (child)
        return "The " + verb + " statement conflicted with the FOREIGN KEY constraint \"" + name + "\". The conflict occurred in database \"" +
               dbName_ + "\", table \"dbo." + ShownName(key.parent) + "\", column '" + (key.to.empty() ? key.from : key.to) + "'.";
    return "The " + verb + " statement conflicted with the REFERENCE constraint \"" + name + "\". The conflict occurred in database \"" +
           dbName_ + "\", table \"dbo." + ShownName(key.child) + "\", column '" + key.from + "'.";
}
