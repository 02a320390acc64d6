// DDL: CREATE TABLE, DROP, and CREATE/ALTER of procedures, functions, triggers and views.
#include "Catalog.h"
#include "Collation.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "TextCodec.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

namespace {

std::string CheckText(const std::vector<Token>& p, size_t check) {
    size_t open = check + 1;
    if (open >= p.size() || !p[open].IsOp("(")) return std::string();
    return JoinTokens(p, open, MatchParen(p, open) + 1);
}

}  // namespace

std::string Session::ColumnDefinition(const std::vector<Token>& part, const std::string& shownName, int databaseCollation, int line,
                                      ColumnInfo& c, std::vector<ConstraintObject>& constraintObjects, bool& columnNamed) {
    c.name = NameOf(part[0]);
    if (part.size() >= 3 && part[1].Is("AS")) {
        // A computed column: SQLite's generated column, typed once the table exists (ExecCreateTable).
        size_t end = 2;
        for (int depth = 0; end < part.size(); ++end) {
            if (part[end].IsOp("(")) depth++;
            if (part[end].IsOp(")")) depth--;
            if (depth == 0 && (part[end].Is("PERSISTED") || part[end].Is("CONSTRAINT") || part[end].Is("PRIMARY") || part[end].Is("UNIQUE") ||
                               part[end].Is("NOT") || part[end].Is("NULL") || part[end].Is("CHECK") || part[end].Is("REFERENCES")))
                break;
        }
        c.computed.assign(part.begin() + 2, part.begin() + static_cast<std::ptrdiff_t>(end));
        c.type = SqlType::Of(SqlType::Variant);
        return QuoteIdent(c.name) + " GENERATED ALWAYS AS (" + Translate(c.computed, line) + ") VIRTUAL";
    }
    const size_t typeEnd = TypeEnd(part, 1);
    c.type = TypeOf(part, 1, typeEnd);
    CheckTypeSize(c.type, line);
    if (c.type.IsText() || c.type.IsUnicode()) c.type.collation = databaseCollation;
    std::vector<std::string> constraints;
    bool primary = false;
    std::string constraintName;  // CONSTRAINT name before the next DEFAULT or CHECK
    for (size_t k = typeEnd; k < part.size(); ++k) {
        const Token& w = part[k];
        if (w.Is("IDENTITY")) {
            c.identity = true;
            c.nullable = false;
            if (k + 1 < part.size() && part[k + 1].IsOp("(")) k = MatchParen(part, k + 1);
        } else if (w.Is("NOT") && k + 1 < part.size() && part[k + 1].Is("NULL")) {
            c.nullable = false;
            constraints.push_back("NOT NULL");
            ++k;
        } else if (w.Is("NULL")) {
        } else if (w.Is("PRIMARY") && k + 1 < part.size() && part[k + 1].Is("KEY")) {
            primary = true;
            c.nullable = false;
            ++k;
        } else if (w.Is("CLUSTERED") || w.Is("NONCLUSTERED") || w.Is("ROWGUIDCOL")) {
        } else if (w.Is("CONSTRAINT")) {
            if (k + 1 < part.size()) constraintName = NameOf(part[k + 1]);
            ++k;
        } else if (w.Is("COLLATE")) {
            if (k + 1 < part.size()) {
                const std::string collation = NameOf(part[k + 1]);
                const int id = SameNoCase(collation, "DATABASE_DEFAULT") ? databaseCollation : CollationId(collation);
                if (id < 0) throw SqlError{448, 16, 1, "Invalid collation '" + collation + "'.", line, "", true};
                if (c.type.IsText() || c.type.IsUnicode()) c.type.collation = id;
            }
            ++k;
        } else if (w.Is("DEFAULT")) {
            size_t end = k + 1;
            if (end < part.size() && part[end].IsOp("("))
                end = MatchParen(part, end) + 1;
            else if (end + 1 < part.size() && part[end + 1].IsOp("("))
                end = MatchParen(part, end + 1) + 1;
            else if (end < part.size() && part[end].IsOp("-"))
                end += 2;
            else
                ++end;
            std::vector<Token> expr(part.begin() + static_cast<std::ptrdiff_t>(k) + 1,
                                    part.begin() + static_cast<std::ptrdiff_t>(std::min(end, part.size())));
            while (expr.size() >= 2 && expr.front().IsOp("(") && MatchParen(expr, 0) == expr.size() - 1)
                expr = std::vector<Token>(expr.begin() + 1, expr.end() - 1);
            const std::string text = JoinTokens(expr);
            const bool number = expr.size() == 1 && expr[0].kind == Token::Number;
            c.defaultText = number ? "((" + text + "))" : "(" + text + ")";
            constraintObjects.push_back({"D", constraintName, c.name, c.defaultText});
            constraintName.clear();
            const bool now =
                expr.size() >= 1 && (expr[0].Is("GETDATE") || expr[0].Is("CURRENT_TIMESTAMP") || expr[0].Is("SYSDATETIME"));
            const bool constant =
                expr.size() == 1 && (expr[0].kind == Token::Number || expr[0].kind == Token::String || expr[0].Is("NULL"));
            if (now)
                constraints.push_back(c.type.kind == SqlType::Date ? "DEFAULT (date('now', 'localtime'))"
                                                                   : "DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))");
            else if (constant || (expr.size() == 2 && expr[0].IsOp("-"))) {
                // Converted to the column's type now; a value that does not convert fails each insert that takes it.
                std::string value;
                try {
                    value = Translate(StoredValueTokens(expr, c.type, dateOrder_, line), line);
                } catch (const SqlError&) {
                    value = "(sandbox_store(" + Translate(expr, line) + ", " + SqlLiteral(c.type.Declared()) + "))";
                }
                constraints.push_back("DEFAULT " + value);
            }
            k = end - 1;
        } else if (w.Is("REFERENCES") || w.Is("CHECK") || w.Is("UNIQUE") || w.Is("FOREIGN")) {
            if (w.Is("CHECK")) constraintObjects.push_back({"C", constraintName, c.name, CheckText(part, k)});
            std::vector<Token> rest(part.begin() + static_cast<std::ptrdiff_t>(k), part.end());
            const bool named = !constraintName.empty() && (w.Is("CHECK") || w.Is("REFERENCES"));
            columnNamed = columnNamed || named;
            constraints.push_back((named ? "CONSTRAINT " + QuoteIdent(constraintName) + " " : std::string()) + Translate(rest, line));
            break;
        }
    }
    std::string def = QuoteIdent(c.name) + " " + SqliteTypeText(c.type);
    if (c.type.IsText() || c.type.IsUnicode()) def += " COLLATE NOCASE";  // the server's collation is case-insensitive
    if (c.type.kind == SqlType::DateTime || c.type.kind == SqlType::DateTime2 || c.type.kind == SqlType::SmallDateTime)
        def += " COLLATE sandbox_datetime";  // instants: a date without a time is midnight (DateFunctions.cpp)
    if (c.type.kind == SqlType::Decimal || c.type.kind == SqlType::Numeric || c.type.kind == SqlType::Money ||
        c.type.kind == SqlType::SmallMoney)  // exact decimal text (Store.cpp), compared as numbers
        def = QuoteIdent(c.name) + " TEXT " + SqliteTypeText(c.type) + " COLLATE sandbox_numeric";
    if (primary) def += " PRIMARY KEY";
    const bool sized = (c.type.IsText() || c.type.IsUnicode() || c.type.IsBinary()) && c.type.length > 0 &&
                       c.type.kind != SqlType::Text && c.type.kind != SqlType::NText && c.type.kind != SqlType::Image;
    // varchar in a double-byte code page counts its bytes there.
    const int codePage = CollationById(c.type.collation).codePage;
    const int byteCodePage = c.type.IsText() && IsDoubleByteCodePage(codePage) ? codePage : 0;
    if (sized)
        def += " CHECK (sandbox_fits(" + QuoteIdent(c.name) + ", " + std::to_string(c.type.length) + ", " + SqlLiteral(shownName) +
               ", " + SqlLiteral(c.name) + ", " + std::to_string(byteCodePage) + "))";
    for (auto& k : constraints) def += " " + k;
    return def;
}

void Session::RecordConstraintObjects(int tableId, const std::string& name, const std::string& shownName,
                                      const std::vector<ConstraintObject>& constraintObjects) {
    SqlStmt st;
    for (const ConstraintObject& o : constraintObjects) {
        if (o.text.empty() || name != shownName) continue;  // a temporary table's are not the database's
        const int objectId = NewObjectId(db_);
        std::string objectName = o.name;
        if (objectName.empty()) {
            objectName = SystemConstraintName(o.xtype[0] == 'D' ? "DF" : "CK", name, o.column, objectId);
        }
        sqlite3_prepare_v2(db_,
                           "INSERT INTO __objects (id, name, xtype, parent_obj, crdate) VALUES (?, ?, ?, ?, strftime('%Y-%m-%d %H:%M:%f', "
                           "'now', 'localtime'))",
                           -1, st.Out(), nullptr);
        sqlite3_bind_int(st, 1, objectId);
        sqlite3_bind_text(st, 2, objectName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, o.xtype, -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 4, tableId);
        sqlite3_step(st);
        st.Reset();
        sqlite3_prepare_v2(db_, "INSERT INTO __comments (id, number, colid, text) VALUES (?, 0, 1, ?)", -1, st.Out(), nullptr);
        sqlite3_bind_int(st, 1, objectId);
        sqlite3_bind_text(st, 2, o.text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        st.Reset();
    }
}

int Session::DatabaseCollation() {
    SqlStmt q;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM __collation", -1, q.Out(), nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
        return std::max(kDefaultCollation, CollationId(reinterpret_cast<const char*>(sqlite3_column_text(q, 0))));
    return kDefaultCollation;
}

void Session::ExecCreateTable(const std::vector<Token>& t, int line) {
    size_t i = 2;
    std::string name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".")) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    const std::string shownName = name;  // as the user wrote it, for messages
    name = TempName(name);
    if (i >= t.size() || !t[i].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + name + "'.", line, "", true};
    const size_t close = MatchParen(t, i);
    std::vector<ColumnInfo> cols;
    std::vector<std::string> defs;
    std::string identityCol;
    std::vector<ConstraintObject> constraintObjects;
    bool columnNamed = false, tableConstraintSeen = false;
    // Character columns that name no collation take the database's (a temporary table the server's).
    const int databaseCollation = shownName[0] != '#' ? DatabaseCollation() : kDefaultCollation;
    for (auto& part : SplitCommas(t, i + 1, close)) {
        if (part.empty()) continue;
        const bool tableConstraint = part[0].Is("CONSTRAINT") || part[0].Is("PRIMARY") || part[0].Is("UNIQUE") || part[0].Is("FOREIGN") ||
                                     part[0].Is("CHECK") || part[0].Is("INDEX");
        if (tableConstraint) {
            // A primary key on the identity column alone is already the row id.
            std::string text;
            size_t k = 0;
            if (part[0].Is("CONSTRAINT")) k = 2;
            if (k < part.size() && part[k].Is("INDEX")) continue;
            if (k < part.size() && part[k].Is("CHECK"))
                constraintObjects.push_back({"C", k == 2 ? NameOf(part[1]) : std::string(), std::string(), CheckText(part, k)});
            bool pk = k < part.size() && part[k].Is("PRIMARY");
            std::vector<Token> kept;
            // The name of a CHECK or FOREIGN KEY stays with it: SQLite names it when it fails, and
            // ALTER TABLE ... NOCHECK CONSTRAINT finds it there.
            const bool named = k == 2 && k < part.size() && (part[k].Is("CHECK") || part[k].Is("FOREIGN"));
            for (size_t j = named ? 0 : k; j < part.size(); ++j)
                if (!part[j].Is("CLUSTERED") && !part[j].Is("NONCLUSTERED") && !part[j].Is("ASC")) kept.push_back(part[j]);
            for (Token& n : kept)
                if (n.kind == Token::Bracketed) n.text = QuoteIdent(n.value);  // SQLite's brackets know no doubled "]"

            if (pk && !identityCol.empty()) {
                size_t open = 0;
                while (open < kept.size() && !kept[open].IsOp("(")) ++open;
                const auto keyCols = SplitCommas(kept, open + 1, MatchParen(kept, open));
                if (keyCols.size() == 1 && !keyCols[0].empty() && SameNoCase(NameOf(keyCols[0][0]), identityCol)) continue;
            }
            // SQLite gives the last CONSTRAINT name of the columns to the first table constraint
            // when that has none: a named constraint that never fails takes it instead.
            if (columnNamed && !named && !tableConstraintSeen) defs.push_back("CONSTRAINT \"sandbox_none\" CHECK (1)");
            tableConstraintSeen = true;
            defs.push_back(JoinTokens(kept));
            continue;
        }
        ColumnInfo c;
        bool named = false;
        const std::string def = ColumnDefinition(part, shownName, databaseCollation, line, c, constraintObjects, named);
        columnNamed = columnNamed || named;
        if (c.identity && (c.type.kind == SqlType::Int || c.type.kind == SqlType::BigInt || c.type.kind == SqlType::SmallInt)) {
            identityCol = c.name;
            defs.push_back(QuoteIdent(c.name) + " INTEGER PRIMARY KEY AUTOINCREMENT");
        } else {
            defs.push_back(def);
        }
        cols.push_back(c);
    }
    std::string ddl = "CREATE TABLE " + QuoteIdent(name) + " (";
    for (size_t k = 0; k < defs.size(); ++k) ddl += (k ? ", " : "") + defs[k];
    ddl += ")";
    if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
    const int id = NewObjectId(db_);
    SqlStmt st;
    sqlite3_prepare_v2(db_,
                       "INSERT INTO __objects (id, name, xtype, parent_obj, crdate) VALUES (?, ?, 'U', 0, strftime('%Y-%m-%d %H:%M:%f', "
                       "'now', 'localtime'))",
                       -1, st.Out(), nullptr);
    sqlite3_bind_int(st, 1, id);
    sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    st.Reset();
    RecordColumns(db_, id, name, cols);
    // Computed columns take the type of their expression over the table's columns.
    for (size_t k = 0; k < cols.size(); ++k) {
        if (cols[k].computed.empty()) continue;
        std::vector<Token> query = {MakeToken(Token::Word, "SELECT")};
        query.insert(query.end(), cols[k].computed.begin(), cols[k].computed.end());
        query.push_back(MakeToken(Token::Word, "FROM"));
        query.push_back(MakeToken(Token::Bracketed, name));
        query.back().value = name;
        columnCache_.clear();
        bool named = false;
        SqlType type;
        try {
            const StatementTablesInView inView(*this, query);
            type = InferExprType(cols[k].computed, named);
        } catch (const SqlError&) {
            named = false;
        }
        if (!named || type.kind == SqlType::Variant) continue;
        ColumnInfo typed = cols[k];
        typed.type = type;
        SqlStmt del;
        sqlite3_prepare_v2(db_, "DELETE FROM __columns WHERE object_id = ? AND name = ?", -1, del.Out(), nullptr);
        sqlite3_bind_int(del, 1, id);
        sqlite3_bind_text(del, 2, typed.name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(del);
        RecordColumns(db_, id, name, {typed}, static_cast<int>(k) + 1);
    }
    RecordConstraintObjects(id, name, shownName, constraintObjects);
    // Temporary tables go with the session that made them (global ones too, as no one else holds them here).
    if (name != shownName || name.rfind("##", 0) == 0) tempTables_.emplace_back(dbName_, name);
    columnCache_.clear();
}

void Session::ExecDrop(const std::vector<Token>& t, int line) {
    if (t.size() < 3) throw SqlError{102, 15, 1, "Incorrect syntax near 'DROP'.", line, "", true};
    const std::string kind = t[1].value;
    if (kind == "DATABASE" || kind == "LOGIN" || kind == "INDEX") return;  // not modelled
    size_t i = 2;
    bool ifExists = false;
    if (i + 1 < t.size() && t[i].Is("IF") && t[i + 1].Is("EXISTS")) {
        ifExists = true;
        i += 2;
    }
    const char* xtypes = kind == "TABLE"                           ? "'U'"
                         : kind == "VIEW"                          ? "'V'"
                         : (kind == "PROC" || kind == "PROCEDURE") ? "'P'"
                         : kind == "FUNCTION"                      ? "'FN','IF','TF'"
                         : kind == "TRIGGER"                       ? "'TR'"
                                                                   : nullptr;
    if (!xtypes) return ExecSql(t, line, false);
    for (auto& part : SplitCommas(t, i, t.size())) {
        if (part.empty()) continue;
        std::string name = TempName(NameOf(part.back()));
        SqlStmt st;
        const std::string find = std::string("SELECT id, name FROM __objects WHERE lower(name) = lower(?) AND xtype IN (") + xtypes + ")";
        sqlite3_prepare_v2(db_, find.c_str(), -1, st.Out(), nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        int id = 0;
        if (sqlite3_step(st) == SQLITE_ROW) {
            id = sqlite3_column_int(st, 0);
            name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        }
        st.Reset();
        if (!id) {
            if (ifExists) continue;
            const std::string what = kind == "TABLE"      ? "table"
                                     : kind == "VIEW"     ? "view"
                                     : kind == "FUNCTION" ? "function"
                                     : kind == "TRIGGER"  ? "trigger"
                                                          : "procedure";
            throw SqlError{
                3701, 11, 5,    "Cannot drop the " + what + " '" + name + "', because it does not exist or you do not have permission.",
                line, "", false};
        }
        if (kind == "TABLE" || kind == "VIEW") {
            const std::string sql = "DROP " + kind + " " + QuoteIdent(name);
            if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(line);
            ForgetTable(name);
        }
        // The table's triggers, defaults and check constraints go with it.
        const std::string ids = "(SELECT id FROM __objects WHERE id = " + std::to_string(id) + " OR (parent_obj = " + std::to_string(id) +
                                " AND xtype IN ('TR', 'D', 'C')))";
        const std::string del = "DELETE FROM __comments WHERE id IN " + ids + "; DELETE FROM __objects WHERE id IN " + ids +
                                "; DELETE FROM __columns WHERE object_id = " + std::to_string(id) + ";";
        sqlite3_exec(db_, del.c_str(), nullptr, nullptr, nullptr);
    }
    columnCache_.clear();
}

void Session::ExecModule(const Stmt& s) {
    const auto& t = s.tokens;
    // CREATE OR ALTER creates the module or, when it exists, alters it (its source keeps the words).
    const bool orAlter = t.size() > 2 && t[0].Is("CREATE") && t[1].Is("OR") && t[2].Is("ALTER");
    bool alter = t[0].Is("ALTER");
    std::string source = s.sourceText;
    while (!source.empty() && (source.back() == ' ' || source.back() == '\r' || source.back() == '\n' || source.back() == ';'))
        source.pop_back();
    if (alter) source = "CREATE" + source.substr(5);
    Module m = ParseModuleHeader(source);
    if (m.name.empty() || m.body.empty()) throw SqlError{102, 15, 1, "Incorrect syntax near 'AS'.", s.line, "", true};
    const bool temporary = m.xtype == "P" && m.name[0] == '#';
    if (temporary) m.name = TempName(m.name);
    SqlStmt st;
    sqlite3_prepare_v2(db_, "SELECT id, xtype FROM __objects WHERE lower(name) = lower(?)", -1, st.Out(), nullptr);
    sqlite3_bind_text(st, 1, m.name.c_str(), -1, SQLITE_TRANSIENT);
    int existing = 0;
    std::string existingType;
    if (sqlite3_step(st) == SQLITE_ROW) {
        existing = sqlite3_column_int(st, 0);
        existingType = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    }
    st.Reset();
    if (orAlter && existing && existingType == m.xtype) alter = true;
    if (!alter && existing)
        throw SqlError{2714, 16, 3, "There is already an object named '" + m.name + "' in the database.", s.line, "", true};
    // A temporary procedure belongs to its session (#p) or its creator's (##p) and goes with it.
    if (temporary && !alter) tempTables_.emplace_back(dbName_, m.name);
    if (alter && !existing) throw SqlError{208, 16, 1, "Invalid object name '" + m.name + "'.", s.line, "", true};
    int parent = 0;
    if (m.xtype == "TR") {
        // CREATE TRIGGER name ON table ...
        for (size_t k = 0; k + 1 < t.size(); ++k)
            if (t[k].Is("ON")) {
                std::string table = NameOf(t[k + 1]);
                if (k + 3 < t.size() && t[k + 2].IsOp(".")) table = NameOf(t[k + 3]);
                SqlStmt q;
                sqlite3_prepare_v2(db_, "SELECT id FROM __objects WHERE lower(name) = lower(?) AND xtype IN ('U','V')", -1, q.Out(),
                                   nullptr);
                sqlite3_bind_text(q, 1, table.c_str(), -1, SQLITE_TRANSIENT);
                if (sqlite3_step(q) == SQLITE_ROW) parent = sqlite3_column_int(q, 0);
                q.Reset();
                if (!parent) {
                    throw SqlError{8197,   16, 4,   "The object '" + table + "' does not exist or is invalid for this operation.",
                                   s.line, "", true};
                }
                break;
            }
    }
    std::vector<ColumnInfo> viewCols;
    if (m.xtype == "V") {
        const auto bodyTokens = Tokenize(m.body);
        // They run through virtual tables of the session (Apply.cpp), which a stored view cannot name.
        if (std::any_of(bodyTokens.begin(), bodyTokens.end(), [](const Token& k) { return k.Is("APPLY") || k.Is("STRING_SPLIT"); }))
            throw SqlError{40000, 16, 1, "APPLY and STRING_SPLIT in a view are not supported by the stand-in.", s.line, "", true};
        const std::string select = Translate(bodyTokens, m.bodyLine);
        if (alter) sqlite3_exec(db_, ("DROP VIEW IF EXISTS " + QuoteIdent(m.name)).c_str(), nullptr, nullptr, nullptr);
        const std::string ddl = "CREATE VIEW " + QuoteIdent(m.name) + " AS " + select;
        if (sqlite3_exec(db_, ddl.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw TranslateError(s.line);
        SqlStmt q = Prepare("SELECT * FROM " + QuoteIdent(m.name), s.line);
        sqlite3_step(q);
        // Typed from the view's own select list; the names are the view's.
        const std::vector<SqlColumn> described = DescribeColumns(q, bodyTokens);
        for (size_t k = 0; k < described.size(); ++k) {
            const char* name = sqlite3_column_name(q, static_cast<int>(k));
            viewCols.push_back({name ? name : described[k].name, described[k].type, described[k].nullable, false, "", {}});
        }
        q.Reset();
    }
    const int id = existing ? existing : NewObjectId(db_);
    std::string del = "DELETE FROM __objects WHERE id = " + std::to_string(id) +
                      "; DELETE FROM __comments WHERE id = " + std::to_string(id) +
                      "; DELETE FROM __columns WHERE object_id = " + std::to_string(id) + ";";
    sqlite3_exec(db_, del.c_str(), nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_,
                       "INSERT INTO __objects (id, name, xtype, parent_obj, crdate, source) VALUES (?, ?, ?, ?, strftime('%Y-%m-%d "
                       "%H:%M:%f', 'now', 'localtime'), ?)",
                       -1, st.Out(), nullptr);
    sqlite3_bind_int(st, 1, id);
    sqlite3_bind_text(st, 2, m.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, m.xtype.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 4, parent);
    sqlite3_bind_text(st, 5, source.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    st.Reset();
    // The source in pieces of at most 4000 UTF-16 units (nvarchar(4000)); a character beyond the
    // basic plane takes two and is not split.
    sqlite3_prepare_v2(db_, "INSERT INTO __comments (id, number, colid, text) VALUES (?, ?, ?, ?)", -1, st.Out(), nullptr);
    size_t pos = 0;
    int colid = 0;
    while (pos < source.size()) {
        size_t end = pos;
        int units = 0;
        while (end < source.size()) {
            const int width = static_cast<unsigned char>(source[end]) >= 0xF0 ? 2 : 1;
            if (units + width > 4000) break;
            ++end;
            while (end < source.size() && (static_cast<unsigned char>(source[end]) & 0xC0) == 0x80) ++end;
            units += width;
        }
        sqlite3_reset(st);
        sqlite3_bind_int(st, 1, id);
        sqlite3_bind_int(st, 2, m.xtype == "P" ? 1 : 0);
        sqlite3_bind_int(st, 3, ++colid);
        sqlite3_bind_text(st, 4, source.data() + pos, static_cast<int>(end - pos), SQLITE_TRANSIENT);
        sqlite3_step(st);
        pos = end;
    }
    st.Reset();
    if (!viewCols.empty()) RecordColumns(db_, id, m.name, viewCols);
    if (m.xtype == "FN") RegisterFunctions();
    columnCache_.clear();
}
