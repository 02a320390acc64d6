// What installation scripts written for SQL Server need beyond plain queries: alias types,
// indexes named per table, constraints added by ALTER TABLE, identity seeds and IDENTITY_INSERT,
// DROP DATABASE, GRANT/DENY/REVOKE, CHECKPOINT, and LIKE patterns with character classes.
#include "Catalog.h"
#include "Conversions.h"
#include "Arithmetic.h"
#include "Scripts.h"
#include "Session.h"
#include "SqliteUtil.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace {

SqlError Refused(int number, const std::string& message, int line, int state = 1, int severity = 16) {
    return SqlError{number, severity, state, message, line, "", false};
}

std::string Text(sqlite3_stmt* st, int i) {
    const unsigned char* p = sqlite3_column_text(st, i);
    return p ? reinterpret_cast<const char*>(p) : std::string();
}

// Runs a statement with text parameters and gives the first column of each row.
std::vector<std::string> Column(sqlite3* db, const char* sql, const std::vector<std::string>& params) {
    std::vector<std::string> out;
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql, -1, st.Out(), nullptr) != SQLITE_OK) return out;
    for (size_t i = 0; i < params.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, params[i].c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) out.push_back(Text(st, 0));
    return out;
}

void Run(sqlite3* db, const char* sql, const std::vector<std::string>& params) {
    SqlStmt st;
    if (sqlite3_prepare_v2(db, sql, -1, st.Out(), nullptr) != SQLITE_OK) return;
    for (size_t i = 0; i < params.size(); ++i) sqlite3_bind_text(st, static_cast<int>(i) + 1, params[i].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
}

// The name at t[i] with any db./dbo./schema parts before it; i moves past it.
std::string ObjectName(const std::vector<Token>& t, size_t& i) {
    if (i >= t.size()) return {};
    std::string name = NameOf(t[i++]);
    while (i + 1 < t.size() && t[i].IsOp(".") && t[i + 1].IsName()) {
        name = NameOf(t[i + 1]);
        i += 2;
    }
    return name;
}

bool IsConstraintStart(const Token& t) {
    return t.Is("CONSTRAINT") || t.Is("PRIMARY") || t.Is("UNIQUE") || t.Is("FOREIGN") || t.Is("CHECK") || t.Is("INDEX");
}

// Storage options SQL Server accepts and the stand-in has no use for: WITH FILLFACTOR = n,
// WITH (...) after a key's column list, ON [filegroup], NOT FOR REPLICATION.
std::vector<Token> WithoutStorageOptions(const std::vector<Token>& in) {
    std::vector<Token> out;
    for (size_t i = 0; i < in.size(); ++i) {
        const Token& k = in[i];
        const bool afterList = !out.empty() && out.back().IsOp(")");
        if (k.Is("WITH") && i + 1 < in.size() && in[i + 1].Is("FILLFACTOR")) {
            i += i + 3 < in.size() && in[i + 2].IsOp("=") ? 3 : 2;
            continue;
        }
        if (k.Is("WITH") && afterList && i + 1 < in.size() && in[i + 1].IsOp("(")) {
            i = MatchParen(in, i + 1);
            continue;
        }
        if ((k.Is("ON") || k.Is("TEXTIMAGE_ON")) && afterList && i + 1 < in.size() && in[i + 1].IsName() &&
            (i + 2 >= in.size() || in[i + 2].IsOp(",") || in[i + 2].IsOp(")") || in[i + 2].Is("WITH") || in[i + 2].Is("TEXTIMAGE_ON") ||
             in[i + 2].IsOp(";"))) {
            ++i;
            continue;
        }
        if (k.Is("NOT") && i + 2 < in.size() && in[i + 1].Is("FOR") && in[i + 2].Is("REPLICATION")) {
            i += 2;
            continue;
        }
        out.push_back(k);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------- LIKE with character classes

std::string LikeToGlob(const std::string& like) {
    // GLOB knows [...] and [^...] but is case-sensitive: letters match both cases, as under the
    // server's case-insensitive collation.
    auto bothCases = [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!std::isalpha(u)) return c == '*' || c == '?' || c == '[' || c == ']' ? "[" + std::string(1, c) + "]" : std::string(1, c);
        return "[" + std::string(1, static_cast<char>(std::tolower(u))) + std::string(1, static_cast<char>(std::toupper(u))) + "]";
    };
    std::string out;
    for (size_t i = 0; i < like.size(); ++i) {
        const char c = like[i];
        if (c == '%') {
            out += '*';
        } else if (c == '_') {
            out += '?';
        } else if (c == '[') {
            const size_t close = like.find(']', i + 1);
            if (close == std::string::npos) {
                out += "[[]";
                continue;
            }
            std::string cls = like.substr(i + 1, close - i - 1);
            std::string body = "[";
            size_t k = 0;
            if (!cls.empty() && cls[0] == '^') {
                body += '^';
                k = 1;
            }
            std::string extra;
            for (; k < cls.size(); ++k) {
                const unsigned char a = static_cast<unsigned char>(cls[k]);
                if (k + 2 < cls.size() && cls[k + 1] == '-') {
                    const unsigned char b = static_cast<unsigned char>(cls[k + 2]);
                    body += cls.substr(k, 3);
                    if (std::isalpha(a) && std::isalpha(b)) {
                        const bool lower = std::islower(a);
                        extra += std::string(1, static_cast<char>(lower ? std::toupper(a) : std::tolower(a))) + "-" +
                                 std::string(1, static_cast<char>(lower ? std::toupper(b) : std::tolower(b)));
                    }
                    k += 2;
                } else {
                    body += static_cast<char>(a);
                    if (std::isalpha(a)) extra += static_cast<char>(std::islower(a) ? std::toupper(a) : std::tolower(a));
                }
            }
            out += body + extra + "]";
            i = close;
        } else {
            out += bothCases(c);
        }
    }
    return out;
}

void RewriteBracketLikes(std::vector<Token>& t) {
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].kind != Token::String || !t[i - 1].Is("LIKE") || t[i].value.find('[') == std::string::npos) continue;
        if (i + 1 < t.size() && t[i + 1].Is("ESCAPE")) continue;
        t[i - 1] = MakeToken(Token::Word, "GLOB", t[i - 1].spaceBefore);
        const std::string glob = LikeToGlob(t[i].value);
        t[i] = MakeToken(Token::String, SqlLiteral(glob), t[i].spaceBefore);
        t[i].value = glob;
    }
}

// ---------------------------------------------------------------- catalog of this file's objects

sqlite3_stmt* Session::Cached(const char* sql) {
    SqlStmt& st = cachedStmts_[sql];
    if (!st && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, st.Out(), nullptr) != SQLITE_OK) return nullptr;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return st;
}

void Session::RegisterScriptFunctions() {
    cachedStmts_.clear();  // they belong to the handle before
    // Alias types, indexes named per table and constraints added later live in every database.
    sqlite3_exec(db_, R"(
CREATE TABLE IF NOT EXISTS __types (name nvarchar(128) PRIMARY KEY COLLATE NOCASE, base nvarchar(128), nullable int);
CREATE TABLE IF NOT EXISTS __indexes (tbl nvarchar(128) COLLATE NOCASE, name nvarchar(128) COLLATE NOCASE, stored nvarchar(300),
  is_unique int, is_clustered int, is_pk int, columns nvarchar(4000));
CREATE TABLE IF NOT EXISTS __constraints (tbl nvarchar(128) COLLATE NOCASE, name nvarchar(128) COLLATE NOCASE, kind char(2),
  clause nvarchar(4000), enabled int);
CREATE TABLE IF NOT EXISTS __tablebase (tbl nvarchar(128) PRIMARY KEY COLLATE NOCASE, sql nvarchar(4000));
CREATE TABLE IF NOT EXISTS __typebinds (type nvarchar(128) COLLATE NOCASE, kind char(1), object nvarchar(128));
CREATE TABLE IF NOT EXISTS __identity (tbl nvarchar(128) PRIMARY KEY COLLATE NOCASE, col nvarchar(128), inc bigint, current bigint);
CREATE TABLE IF NOT EXISTS __identity_seed (tbl nvarchar(128) PRIMARY KEY COLLATE NOCASE, seed bigint, inc bigint, reseeded int);
CREATE TABLE IF NOT EXISTS __principals (name nvarchar(128) PRIMARY KEY COLLATE NOCASE, kind char(1));
CREATE INDEX IF NOT EXISTS __columns_table ON __columns (table_name);
CREATE INDEX IF NOT EXISTS __objects_name ON __objects (name);
CREATE INDEX IF NOT EXISTS __objects_parent ON __objects (parent_obj, xtype);
CREATE VIEW IF NOT EXISTS sysindexes AS SELECT (SELECT id FROM __objects WHERE xtype = 'U' AND name = i.tbl) AS id,
  i.name AS name, CASE WHEN i.is_clustered = 1 THEN 1 ELSE 2 END AS indid, 0 AS status FROM __indexes i;
)",
                 nullptr, nullptr, nullptr);
    RegisterStyleFunctions(db_);
    RegisterDateFunctions(db_, &dateFirst_, &dateOrder_, &pending_);
    RegisterExactArithmetic(db_);
    RegisterStoreFunction();
    RegisterBuiltinFunctions();
}

std::string Session::TableNamed(const std::string& name) {
    auto found = Column(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?) AND xtype = 'U'", {TempName(name)});
    return found.empty() ? std::string() : found[0];
}

void Session::AddConstraintObject(const std::string& table, const std::string& name, const char* xtype, const std::string& text) {
    const auto parent = Column(db_, "SELECT id FROM __objects WHERE name = ? AND xtype = 'U'", {table});
    const int id = NewObjectId(db_);
    Run(db_,
        "INSERT INTO __objects (id, name, xtype, parent_obj, crdate) VALUES (?, ?, ?, ?, strftime('%Y-%m-%d %H:%M:%f', 'now', "
        "'localtime'))",
        {std::to_string(id), name, xtype, parent.empty() ? "0" : parent[0]});
    if (!text.empty()) Run(db_, "INSERT INTO __comments (id, number, colid, text) VALUES (?, 0, 1, ?)", {std::to_string(id), text});
}

// ---------------------------------------------------------------- statements

bool Session::ExecScriptStatement(const std::vector<Token>& t, int line) {
    if (t.empty() || t[0].kind != Token::Word) return false;
    const std::string& w = t[0].value;
    if (w == "CHECKPOINT" && t.size() <= 2) return true;
    if (w == "CREATE") {
        size_t i = 1;
        while (i < t.size() && (t[i].Is("UNIQUE") || t[i].Is("CLUSTERED") || t[i].Is("NONCLUSTERED"))) ++i;
        if (i < t.size() && t[i].Is("INDEX")) {
            ExecCreateIndex(t, line);
            return true;
        }
        if (t.size() > 2 && t[1].Is("TYPE")) {
            // CREATE TYPE name FROM base [NULL | NOT NULL]
            size_t k = 2;
            const std::string name = ObjectName(t, k);
            if (k >= t.size() || !t[k].Is("FROM")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + name + "'.", line, "", true};
            const size_t end = TypeEnd(t, k + 1);
            std::string base;
            for (size_t j = k + 1; j < end; ++j) base += t[j].kind == Token::Word ? t[j].text : t[j].value;
            const bool notNull = end + 1 < t.size() && t[end].Is("NOT") && t[end + 1].Is("NULL");
            AddAliasType(name, base, !notNull, line);
            return true;
        }
        if (t.size() > 2 && t[1].Is("TABLE")) {
            ExecCreateTableScript(t, line);
            return true;
        }
        if (t.size() > 2 && (t[1].Is("USER") || t[1].Is("ROLE"))) {
            // CREATE USER name [FOR LOGIN ...] / CREATE ROLE name [AUTHORIZATION ...]: names for GRANT.
            AddPrincipal(NameOf(t[2]), t[1].Is("ROLE"), line);
            return true;
        }
        if (t.size() > 4 && (t[1].Is("RULE") || t[1].Is("DEFAULT"))) {
            // CREATE RULE name AS @value ... / CREATE DEFAULT name AS value: bound to columns later.
            size_t k = 2;
            const std::string name = ObjectName(t, k);
            if (k >= t.size() || !t[k].Is("AS")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + name + "'.", line, "", true};
            if (!Column(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?)", {name}).empty())
                throw SqlError{2714, 16, 3, "There is already an object named '" + name + "' in the database.", line, "", true};
            const int id = NewObjectId(db_);
            Run(db_,
                "INSERT INTO __objects (id, name, xtype, parent_obj, crdate, source) VALUES (?, ?, ?, 0, strftime('%Y-%m-%d %H:%M:%f', "
                "'now', 'localtime'), ?)",
                {std::to_string(id), name, t[1].Is("RULE") ? "R" : "D", JoinTokens(t, k + 1)});
            Run(db_, "INSERT INTO __comments (id, number, colid, text) VALUES (?, 0, 1, ?)", {std::to_string(id), JoinTokens(t)});
            return true;
        }
        return false;
    }
    if (w == "DROP" && t.size() > 2 && (t[1].Is("RULE") || t[1].Is("DEFAULT"))) {
        for (auto& part : SplitCommas(t, 2, t.size())) {
            if (part.empty()) continue;
            const std::string name = NameOf(part.back());
            const char* xtype = t[1].Is("RULE") ? "R" : "D";
            if (Column(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?) AND xtype = ? AND parent_obj = 0", {name, xtype}).empty())
                throw Refused(3701, std::string("Cannot drop the ") + (t[1].Is("RULE") ? "rule" : "default") + " '" + name +
                                        "', because it does not exist or you do not have permission.",
                              line, 5, 11);
            Run(db_, "DELETE FROM __comments WHERE id IN (SELECT id FROM __objects WHERE lower(name) = lower(?) AND xtype = ? AND parent_obj = 0)",
                {name, xtype});
            Run(db_, "DELETE FROM __objects WHERE lower(name) = lower(?) AND xtype = ? AND parent_obj = 0", {name, xtype});
        }
        return true;
    }
    if (w == "ALTER" && t.size() > 2 && t[1].Is("TABLE")) return ExecAlterTable(t, line);
    if (w == "DROP" && t.size() > 2 && t[1].Is("INDEX")) {
        ExecDropIndex(t, line);
        return true;
    }
    if (w == "DROP" && t.size() > 2 && t[1].Is("DATABASE")) {
        ExecDropDatabase(t, line);
        return true;
    }
    if (w == "DROP" && t.size() > 2 && t[1].Is("TYPE")) {
        size_t k = 2;
        if (k + 1 < t.size() && t[k].Is("IF") && t[k + 1].Is("EXISTS")) k += 2;
        const std::string name = ObjectName(t, k);
        if (Column(db_, "SELECT name FROM __types WHERE name = ?", {name}).empty()) {
            if (t[2].Is("IF")) return true;
            throw Refused(218, "Could not find the type '" + name + "'. Either it does not exist or you do not have the necessary permission.",
                          line);
        }
        Run(db_, "DELETE FROM __types WHERE name = ?", {name});
        return true;
    }
    if (w == "DROP" && t.size() > 2 && (t[1].Is("USER") || t[1].Is("ROLE"))) {
        size_t k = 2;
        const bool ifExists = k + 1 < t.size() && t[k].Is("IF") && t[k + 1].Is("EXISTS");
        if (ifExists) k += 2;
        const std::string name = k < t.size() ? NameOf(t[k]) : std::string();
        if (Column(db_, "SELECT name FROM __principals WHERE name = ?", {name}).empty()) {
            if (ifExists) return true;
            throw Refused(15151, std::string("Cannot drop the ") + (t[1].Is("ROLE") ? "role" : "user") + " '" + name +
                                     "', because it does not exist or you do not have permission.",
                          line);
        }
        Run(db_, "DELETE FROM __principals WHERE name = ?", {name});
        return true;
    }
    if (w == "GRANT" || w == "DENY" || w == "REVOKE") {
        ExecPermission(t, line);
        return true;
    }
    return false;
}

bool Session::ExecSystemProcedure(const std::vector<Token>& t, int line) {
    // EXEC sp_addtype name, 'base', 'NOT NULL' | 'NULL' and EXEC sp_droptype name: the name is a
    // word, not an expression.
    size_t i = 1;
    if (i >= t.size() || !t[i].IsName()) return false;
    const std::string proc = Upper(ObjectName(t, i));
    if (proc == "SP_ADDUSER" || proc == "SP_GRANTDBACCESS" || proc == "SP_ADDROLE" || proc == "SP_ADDROLEMEMBER" ||
        proc == "SP_DROPUSER" || proc == "SP_REVOKEDBACCESS" || proc == "SP_DROPROLE") {
        // The older procedures for database users and roles.
        std::vector<std::string> args;
        for (auto& a : SplitCommas(t, i, t.size())) {
            const size_t k = a.size() >= 3 && a[0].kind == Token::Variable && a[1].IsOp("=") ? 2 : 0;
            args.push_back(k < a.size() ? (a[k].kind == Token::Word ? a[k].text : a[k].value) : std::string());
        }
        if (args.empty()) throw SqlError{201, 16, 4, "Procedure or function '" + Upper(proc) + "' expects parameter, which was not supplied.", line, "", false};
        if (proc == "SP_ADDROLEMEMBER") {
            // The role and the member must exist; membership itself grants nothing here.
            for (size_t k = 0; k < 2 && k < args.size(); ++k)
                if (!PrincipalExists(args[k]))
                    throw Refused(15151, "Cannot add the principal '" + args[k] + "', because it does not exist or you do not have permission.",
                                  line);
        } else if (proc == "SP_DROPUSER" || proc == "SP_REVOKEDBACCESS" || proc == "SP_DROPROLE") {
            if (Column(db_, "SELECT name FROM __principals WHERE name = ?", {args[0]}).empty())
                throw Refused(15008, "User or role '" + args[0] + "' does not exist in the current database.", line);
            Run(db_, "DELETE FROM __principals WHERE name = ?", {args[0]});
        } else {
            // sp_adduser login [, name_in_db]; sp_grantdbaccess login [, name_in_db]; sp_addrole role
            const bool role = proc == "SP_ADDROLE";
            AddPrincipal(!role && args.size() > 1 && !args[1].empty() ? args[1] : args[0], role, line);
        }
        out_.ReturnStatus(0);
        out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
        return true;
    }
    if (proc == "SP_BINDRULE" || proc == "SP_BINDEFAULT") {
        std::vector<std::string> args;
        for (auto& a : SplitCommas(t, i, t.size())) {
            const size_t k = a.size() >= 3 && a[0].kind == Token::Variable && a[1].IsOp("=") ? 2 : 0;
            args.push_back(k < a.size() ? (a[k].kind == Token::Word ? a[k].text : a[k].value) : std::string());
        }
        if (args.size() < 2)
            throw SqlError{201, 16, 4,
                           "Procedure or function '" + std::string(proc == "SP_BINDRULE" ? "sp_bindrule" : "sp_bindefault") +
                               "' expects parameter '@objname', which was not supplied.",
                           line, "", false};
        BindRuleOrDefault(proc == "SP_BINDRULE", args[0], args[1], line);
        out_.ReturnStatus(0);
        out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
        return true;
    }
    if (proc != "SP_ADDTYPE" && proc != "SP_DROPTYPE") return false;
    std::vector<std::string> args;
    for (auto& a : SplitCommas(t, i, t.size())) {
        size_t k = a.size() >= 3 && a[0].kind == Token::Variable && a[1].IsOp("=") ? 2 : 0;
        args.push_back(k < a.size() ? (a[k].kind == Token::Word ? a[k].text : a[k].value) : std::string());
    }
    if (args.empty() || (proc == "SP_ADDTYPE" && args.size() < 2))
        throw SqlError{201, 16, 4,
                       "Procedure or function '" + std::string(proc == "SP_ADDTYPE" ? "sp_addtype" : "sp_droptype") + "' expects parameter '" +
                           (args.empty() ? "@typename" : "@phystype") + "', which was not supplied.",
                       line, "", false};
    if (proc == "SP_DROPTYPE") {
        if (Column(db_, "SELECT name FROM __types WHERE name = ?", {args[0]}).empty())
            throw Refused(15017, "The data type '" + args[0] + "' does not exist.", line);
        Run(db_, "DELETE FROM __types WHERE name = ?", {args[0]});
    } else {
        const bool nullable = args.size() < 3 || Upper(args[2]).find("NOT") == std::string::npos;
        AddAliasType(args[0], args[1], nullable, line);
    }
    out_.ReturnStatus(0);
    out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
    return true;
}

void Session::AddAliasType(const std::string& name, std::string base, bool nullable, int line) {
    base.erase(std::remove(base.begin(), base.end(), ' '), base.end());
    SqlType type;
    if (!ParseSqlType(base, type)) throw Refused(243, "Type " + base + " is not a defined system type.", line);
    CheckTypeSize(type, line);
    if (!Column(db_, "SELECT name FROM __types WHERE name = ?", {name}).empty() || ParseSqlType(name, type))
        throw Refused(219, "The type '" + name + "' already exists, or you do not have permission to create it.", line);
    Run(db_, "INSERT INTO __types (name, base, nullable) VALUES (?, ?, ?)", {name, base, nullable ? "1" : "0"});
}

// CREATE TABLE as SQL Server takes it: alias types become their base types (with their NOT NULL),
// type names may be quoted, storage options go, the identity seed is kept, and LIKE patterns with
// character classes in CHECK constraints become GLOB patterns.
void Session::ExecCreateTableScript(const std::vector<Token>& in, int line) {
    size_t i = 2;
    ObjectName(in, i);
    if (i >= in.size() || !in[i].IsOp("(")) return ExecCreateTable(in, line);
    const size_t open = i, close = MatchParen(in, open);
    if (close >= in.size()) return ExecCreateTable(in, line);
    std::vector<Token> t(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(open) + 1);
    std::string identityColumn;
    long long seed = 1, increment = 1;
    struct Key {
        std::string name;
        std::vector<std::string> columns;
        bool primary, clustered;
    };
    std::vector<Key> keys;  // primary keys and clustered unique keys
    int columnNumber = 0;
    bool first = true;
    for (auto part : SplitCommas(in, open + 1, close)) {
        part = WithoutStorageOptions(part);
        RewriteBracketLikes(part);
        if (!first) t.push_back(MakeToken(Token::Op, ",", false));
        first = false;
        if (part.size() >= 2 && !IsConstraintStart(part[0])) {
            ++columnNumber;
            if (part.size() >= 4 && part[2].IsOp(".") && part[3].IsName() && SameNoCase(NameOf(part[1]), "dbo"))
                part.erase(part.begin() + 1, part.begin() + 3);  // [dbo].[alias]
            Token& type = part[1];
            if (type.kind == Token::Quoted || type.kind == Token::Bracketed) type = MakeToken(Token::Word, type.value, type.spaceBefore);
            if (type.kind == Token::Word && !type.Is("AS")) {
                const size_t end = TypeEnd(part, 1);
                std::string text;
                for (size_t k = 1; k < end; ++k) text += part[k].kind == Token::Bracketed || part[k].kind == Token::Quoted ? part[k].value : part[k].text;
                SqlType parsed;
                if (!ParseSqlType(text, parsed)) {
                    SqlStmt st;
                    sqlite3_prepare_v2(db_, "SELECT base, nullable FROM __types WHERE name = ?", -1, st.Out(), nullptr);
                    sqlite3_bind_text(st, 1, type.value.c_str(), -1, SQLITE_TRANSIENT);
                    if (sqlite3_step(st) != SQLITE_ROW)
                        throw SqlError{2715,
                                       16,
                                       6,
                                       "Column, parameter, or variable #" + std::to_string(columnNumber) + ": Cannot find data type " +
                                           type.text + ".",
                                       line,
                                       "",
                                       true};
                    const std::string base = Text(st, 0);
                    const bool nullable = sqlite3_column_int(st, 1) != 0;
                    std::vector<Token> baseTokens = Tokenize(base);
                    for (Token& b : baseTokens) b.spaceBefore = false;
                    if (!baseTokens.empty()) baseTokens[0].spaceBefore = true;
                    bool saysNull = false;
                    for (size_t k = end; k < part.size(); ++k) saysNull = saysNull || part[k].Is("NULL");
                    if (!nullable && !saysNull) {
                        baseTokens.push_back(MakeToken(Token::Word, "NOT"));
                        baseTokens.push_back(MakeToken(Token::Word, "NULL"));
                    }
                    // Rules and defaults bound to the alias type go with the column.
                    SqlStmt binds;
                    sqlite3_prepare_v2(db_, "SELECT kind, object FROM __typebinds WHERE type = ? ORDER BY kind", -1, binds.Out(), nullptr);
                    sqlite3_bind_text(binds, 1, type.value.c_str(), -1, SQLITE_TRANSIENT);
                    std::vector<std::pair<std::string, std::string>> bound;
                    while (sqlite3_step(binds) == SQLITE_ROW) bound.emplace_back(Text(binds, 0), Text(binds, 1));
                    for (auto& [kind, object] : bound) {
                        std::vector<Token> e = RuleOrDefaultExpr(kind == "R", object, line);
                        for (Token& x : e)
                            if (x.kind == Token::Variable) x = MakeToken(Token::Quoted, QuoteIdent(NameOf(part[0])), x.spaceBefore);
                        baseTokens.push_back(MakeToken(Token::Word, kind == "R" ? "CHECK" : "DEFAULT"));
                        baseTokens.push_back(MakeToken(Token::Op, "("));
                        baseTokens.insert(baseTokens.end(), e.begin(), e.end());
                        baseTokens.push_back(MakeToken(Token::Op, ")"));
                    }
                    part.erase(part.begin() + 1, part.begin() + static_cast<std::ptrdiff_t>(end));
                    part.insert(part.begin() + 1, baseTokens.begin(), baseTokens.end());
                }
            }
            for (size_t k = 2; k < part.size(); ++k) {
                if (part[k].Is("IDENTITY")) {
                    identityColumn = NameOf(part[0]);
                    if (k + 1 < part.size() && part[k + 1].IsOp("(")) {
                        const auto args = SplitCommas(part, k + 2, MatchParen(part, k + 1));
                        if (args.size() == 2) {
                            seed = std::strtoll(JoinTokens(args[0]).c_str(), nullptr, 10);
                            std::string inc;
                            for (auto& x : args[1]) inc += x.text;
                            increment = std::strtoll(inc.c_str(), nullptr, 10);
                        }
                    }
                }
                // A column's key keeps the name its CONSTRAINT gives it; an unnamed UNIQUE is SQLite's own.
                const std::string keyName = k >= 3 && part[k - 2].Is("CONSTRAINT") ? NameOf(part[k - 1]) : std::string();
                if (part[k].Is("PRIMARY"))
                    keys.push_back({keyName.empty() ? "PK" : keyName, {NameOf(part[0])}, true, !(k + 2 < part.size() && part[k + 2].Is("NONCLUSTERED"))});
                if (part[k].Is("UNIQUE") && !keyName.empty())
                    keys.push_back({keyName, {NameOf(part[0])}, false, k + 1 < part.size() && part[k + 1].Is("CLUSTERED")});
            }
        } else if (!part.empty()) {
            size_t k = part[0].Is("CONSTRAINT") ? 2 : 0;
            const std::string name = k == 2 && part.size() > 1 ? NameOf(part[1]) : std::string();
            const bool pk = k < part.size() && part[k].Is("PRIMARY");
            const bool unique = k < part.size() && part[k].Is("UNIQUE");
            const bool clustered = std::any_of(part.begin(), part.end(), [](const Token& x) { return x.Is("CLUSTERED"); });
            const bool nonclustered = std::any_of(part.begin(), part.end(), [](const Token& x) { return x.Is("NONCLUSTERED"); });
            if (pk || clustered || (unique && !name.empty())) {
                size_t o = k;
                while (o < part.size() && !part[o].IsOp("(")) ++o;
                std::vector<std::string> cols;
                if (o < part.size())
                    for (auto& c : SplitCommas(part, o + 1, MatchParen(part, o)))
                        if (!c.empty()) cols.push_back(NameOf(c[0]));
                keys.push_back({name.empty() ? "PK" : name, cols, pk, clustered || (pk && !nonclustered)});
            }
        }
        t.insert(t.end(), part.begin(), part.end());
    }
    t.push_back(in[close]);
    ExecCreateTable(t, line);
    size_t k = 2;
    const std::string table = TempName(ObjectName(in, k));
    if (!identityColumn.empty())
        Run(db_, "INSERT OR REPLACE INTO __identity_seed (tbl, seed, inc, reseeded) VALUES (?, ?, ?, 0)",
            {table, std::to_string(seed), std::to_string(increment)});
    if (!identityColumn.empty() && seed != 1)
        Run(db_, "INSERT INTO sqlite_sequence (name, seq) VALUES (?, ?)", {table, std::to_string(seed - 1)});
    if (!identityColumn.empty() && increment != 1 && increment != 0)
        Run(db_, "INSERT OR REPLACE INTO __identity (tbl, col, inc, current) VALUES (?, ?, ?, ?)",
            {table, identityColumn, std::to_string(increment), std::to_string(seed - increment)});
    for (const Key& key : keys) {
        std::string list;
        for (auto& c : key.columns) list += (list.empty() ? "" : ",") + c;
        Run(db_, "INSERT INTO __indexes (tbl, name, stored, is_unique, is_clustered, is_pk, columns) VALUES (?, ?, '', 1, ?, ?, ?)",
            {table, key.name, key.clustered ? "1" : "0", key.primary ? "1" : "0", list});
    }
}

void Session::ExecCreateIndex(const std::vector<Token>& in, int line) {
    const std::vector<Token> t = WithoutStorageOptions(in);
    size_t i = 1;
    bool unique = false, clustered = false;
    for (; i < t.size() && !t[i].Is("INDEX"); ++i) {
        unique = unique || t[i].Is("UNIQUE");
        clustered = clustered || t[i].Is("CLUSTERED");
    }
    ++i;
    if (i + 2 >= t.size()) throw SqlError{102, 15, 1, "Incorrect syntax near 'INDEX'.", line, "", true};
    const std::string name = NameOf(t[i++]);
    if (!t[i].Is("ON")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + t[i].text + "'.", line, "", true};
    ++i;
    const std::string written = ObjectName(t, i);
    const std::string table = TableNamed(written);
    if (table.empty())
        throw Refused(1088, "Cannot find the object \"" + written + "\" because it does not exist or you do not have permissions.", line, 12);
    if (i >= t.size() || !t[i].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near '" + written + "'.", line, "", true};
    const size_t close = MatchParen(t, i);
    std::string columns, list;
    for (auto& c : SplitCommas(t, i + 1, close)) {
        if (c.empty()) continue;
        list += std::string(list.empty() ? "" : ", ") + QuoteIdent(NameOf(c[0]));
        if (c.size() > 1 && c[1].Is("DESC")) list += " DESC";
        columns += (columns.empty() ? "" : ",") + NameOf(c[0]);
    }
    if (!Column(db_, "SELECT name FROM __indexes WHERE tbl = ? AND name = ?", {table, name}).empty())
        throw Refused(1913, "The operation failed because an index or statistics with name '" + name + "' already exists on table 'dbo." +
                                table + "'.",
                      line);
    if (clustered) {
        auto existing = Column(db_, "SELECT name FROM __indexes WHERE tbl = ? AND is_clustered = 1", {table});
        if (!existing.empty())
            throw Refused(1902, "Cannot create more than one clustered index on table 'dbo." + table +
                                    "'. Drop the existing clustered index '" + existing[0] + "' before creating another.",
                          line, 3);
    }
    // SQLite's index names are per database: the stored name carries the table's.
    const std::string stored = table + "$" + name;
    const std::string sql = std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + QuoteIdent(stored) + " ON " +
                            QuoteIdent(table) + " (" + list + ")";
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string msg = sqlite3_errmsg(db_);
        if (msg.find("UNIQUE constraint failed") != std::string::npos)
            throw Refused(1505, "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for the object name 'dbo." +
                                    table + "' and the index name '" + name + "'.",
                          line, 1);
        throw TranslateError(line);
    }
    Run(db_, "INSERT INTO __indexes (tbl, name, stored, is_unique, is_clustered, is_pk, columns) VALUES (?, ?, ?, ?, ?, 0, ?)",
        {table, name, stored, unique ? "1" : "0", clustered ? "1" : "0", columns});
}

void Session::ExecDropIndex(const std::vector<Token>& t, int line) {
    // DROP INDEX table.name [, ...] or DROP INDEX [IF EXISTS] name ON table
    size_t i = 2;
    const bool ifExists = i + 1 < t.size() && t[i].Is("IF") && t[i + 1].Is("EXISTS");
    if (ifExists) i += 2;
    std::vector<std::pair<std::string, std::string>> targets;
    const auto on = std::find_if(t.begin(), t.end(), [](const Token& x) { return x.Is("ON"); });
    if (on != t.end()) {
        size_t k = static_cast<size_t>(on - t.begin()) + 1;
        targets.emplace_back(ObjectName(t, k), NameOf(t[i]));
    } else {
        for (auto& part : SplitCommas(t, i, t.size())) {
            std::vector<std::string> names;
            for (auto& x : part)
                if (x.IsName()) names.push_back(NameOf(x));
            if (names.size() >= 2) targets.emplace_back(names[names.size() - 2], names.back());
        }
    }
    for (auto& [written, name] : targets) {
        const std::string table = TableNamed(written);
        // A key constraint's index goes with its constraint only (ALTER TABLE ... DROP CONSTRAINT).
        const auto key = Column(db_,
                                "SELECT CASE WHEN is_pk = 1 THEN 'PRIMARY KEY' ELSE 'UNIQUE KEY' END FROM __indexes WHERE tbl = ?1 AND name = ?2 "
                                "AND (is_pk = 1 OR stored = '' OR lower(name) IN (SELECT lower(name) FROM __constraints WHERE tbl = ?1 AND kind = 'UQ'))",
                                {table, name});
        if (!key.empty())
            throw Refused(3723, "An explicit DROP INDEX is not allowed on index '" + table + "." + name + "'. It is being used for " + key[0] +
                                    " constraint enforcement.",
                          line, 5, 16);
        auto stored = Column(db_, "SELECT stored FROM __indexes WHERE tbl = ? AND name = ? AND is_pk = 0", {table, name});
        if (stored.empty()) {
            if (ifExists) continue;
            throw Refused(3701, "Cannot drop the index '" + written + "." + name + "', because it does not exist or you do not have permission.",
                          line, 7, 11);
        }
        sqlite3_exec(db_, ("DROP INDEX IF EXISTS " + QuoteIdent(stored[0])).c_str(), nullptr, nullptr, nullptr);
        Run(db_, "DELETE FROM __indexes WHERE tbl = ? AND name = ?", {table, name});
    }
}

void Session::ExecDropDatabase(const std::vector<Token>& t, int line) {
    size_t i = 2;
    const bool ifExists = i + 1 < t.size() && t[i].Is("IF") && t[i + 1].Is("EXISTS");
    if (ifExists) i += 2;
    for (auto& part : SplitCommas(t, i, t.size())) {
        if (part.empty()) continue;
        const std::string written = NameOf(part[0]);
        const std::string name = server_.CanonicalDatabase(written);
        if (name.empty()) {
            if (ifExists) continue;
            throw Refused(3701, "Cannot drop the database '" + written + "', because it does not exist or you do not have permission.", line,
                          1, 11);
        }
        const std::string upper = Upper(name);
        if (upper == "MASTER" || upper == "TEMPDB" || upper == "MODEL" || upper == "MSDB")
            throw Refused(3708, "Cannot drop the database '" + name + "' because it is a system database.", line);
        // In use by this session or another: dropping it would leave them writing into a deleted file.
        const auto sessions = server_.Sessions();
        if (SameNoCase(name, dbName_) || std::any_of(sessions.begin(), sessions.end(), [&](const ServerState::SessionInfo& s) {
                return s.spid != spid_ && SameNoCase(s.database, name);
            }))
            throw Refused(3702, "Cannot drop database \"" + name + "\" because it is currently in use.", line, 4);
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(server_.DatabaseFile("master").c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            DbHandle master(raw);
            sqlite3_busy_timeout(master.get(), 10000);
            Run(master.get(), "DELETE FROM __databases WHERE lower(name) = lower(?)", {name});
        } else {
            sqlite3_close_v2(raw);
        }
        if (attached_.count(upper)) {
            sqlite3_exec(db_, ("DETACH DATABASE " + QuoteIdent(name)).c_str(), nullptr, nullptr, nullptr);
            attached_.erase(upper);
        }
        std::error_code ignored;
        const std::string file = server_.DatabaseFile(name);
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(file + suffix, ignored);
    }
}

void Session::ExecPermission(const std::vector<Token>& t, int line) {
    // GRANT|DENY|REVOKE perms ON object TO|FROM principal: the object and the principal must exist.
    const auto on = std::find_if(t.begin(), t.end(), [](const Token& x) { return x.Is("ON"); });
    const auto to = std::find_if(t.begin(), t.end(), [](const Token& x) { return x.Is("TO") || x.Is("FROM"); });
    if (to == t.end()) throw SqlError{102, 15, 1, "Incorrect syntax near '" + t.back().text + "'.", line, "", true};
    if (on != t.end()) {
        size_t k = static_cast<size_t>(on - t.begin()) + 1;
        if (k + 1 < t.size() && t[k + 1].IsOp(":") ) k += 3;  // OBJECT::name
        const std::string object = ObjectName(t, k);
        if (Column(db_, "SELECT name FROM __objects WHERE lower(name) = lower(?)", {object}).empty())
            throw Refused(15151, "Cannot find the object '" + object + "', because it does not exist or you do not have permission.", line);
    }
    for (auto& part : SplitCommas(t, static_cast<size_t>(to - t.begin()) + 1, t.size())) {
        if (part.empty() || !part[0].IsName()) continue;
        const std::string principal = NameOf(part[0]);
        if (PrincipalExists(principal)) continue;
        throw Refused(15151, "Cannot find the user '" + principal + "', because it does not exist or you do not have permission.", line);
    }
}

// ---------------------------------------------------------------- identity

void Session::SetIdentityInsert(const std::vector<Token>& t, int line) {
    size_t i = 2;
    const std::string written = ObjectName(t, i);
    const bool on = i < t.size() && t[i].Is("ON");
    const std::string table = TableNamed(written);
    if (table.empty())
        throw Refused(1088, "Cannot find the object \"" + written + "\" because it does not exist or you do not have permissions.", line, 11);
    if (Column(db_, "SELECT name FROM __columns WHERE table_name = ? AND is_identity = 1", {table}).empty())
        throw Refused(8106, "Table '" + table + "' does not have the identity property. Cannot perform SET operation.", line);
    if (!on) {
        if (SameNoCase(identityInsert_, table)) identityInsert_.clear();
        return;
    }
    if (!identityInsert_.empty() && !SameNoCase(identityInsert_, table))
        throw Refused(8107, "IDENTITY_INSERT is already ON for table '" + dbName_ + ".dbo." + identityInsert_ +
                                "'. Cannot perform SET operation for table '" + table + "'.",
                      line);
    identityInsert_ = table;
}

std::vector<Token> Session::PrepareInsert(std::vector<Token> t, int line) {
    size_t i = 1;
    if (i < t.size() && t[i].Is("INTO")) ++i;
    if (i >= t.size() || !t[i].IsName() || t[i].kind == Token::Variable) return t;
    const size_t nameAt = i;
    const std::string written = ObjectName(t, i);
    const std::string stored = TempName(written);
    std::vector<std::string> identity;
    if (const auto facts = FactsOf(stored); !facts->identity.empty()) identity.push_back(facts->identity);
    if (identity.empty()) return t;
    const bool insertOn = SameNoCase(identityInsert_, stored);
    if (i < t.size() && t[i].IsOp("(")) {
        const size_t close = MatchParen(t, i);
        for (auto& c : SplitCommas(t, i + 1, close))
            if (!c.empty() && SameNoCase(NameOf(c.back()), identity[0]) && !insertOn)
                throw Refused(544, "Cannot insert explicit value for identity column in table '" + written +
                                       "' when IDENTITY_INSERT is set to OFF.",
                              line);
        return t;
    }
    if (i < t.size() && t[i].Is("DEFAULT")) return t;
    if (insertOn)
        throw Refused(8101, "An explicit value for the identity column in table '" + written +
                                "' can only be specified when a column list is used and IDENTITY_INSERT is ON.",
                      line);
    // Without a column list the values are for the columns other than the identity column.
    std::vector<Token> out(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(i));
    out.push_back(MakeToken(Token::Op, "("));
    bool firstColumn = true;
    for (auto& c : Column(db_, "SELECT name FROM __columns WHERE table_name = ? AND is_identity = 0 ORDER BY colid", {stored})) {
        if (!firstColumn) out.push_back(MakeToken(Token::Op, ",", false));
        firstColumn = false;
        Token name = MakeToken(Token::Quoted, QuoteIdent(c));
        name.value = c;
        out.push_back(name);
    }
    out.push_back(MakeToken(Token::Op, ")", false));
    out.insert(out.end(), t.begin() + static_cast<std::ptrdiff_t>(i), t.end());
    (void)nameAt;
    return out;
}

void Session::ForgetTable(const std::string& table) {
    Run(db_, "DELETE FROM __comments WHERE id IN (SELECT id FROM __objects WHERE xtype IN ('F', 'PK', 'UQ') AND parent_obj = (SELECT id FROM __objects WHERE name = ? AND xtype = 'U'))", {table});
    Run(db_, "DELETE FROM __objects WHERE xtype IN ('F', 'PK', 'UQ') AND parent_obj = (SELECT id FROM __objects WHERE name = ? AND xtype = 'U')", {table});
    for (const char* sql : {"DELETE FROM __indexes WHERE tbl = ?", "DELETE FROM __constraints WHERE tbl = ?", "DELETE FROM __tablebase WHERE tbl = ?",
                            "DELETE FROM __identity WHERE tbl = ?", "DELETE FROM __identity_seed WHERE tbl = ?"})
        Run(db_, sql, {table});
    if (SameNoCase(identityInsert_, table)) identityInsert_.clear();
}

// The expression of a rule (with its @variable) or a default, as written after AS.
std::vector<Token> Session::RuleOrDefaultExpr(bool rule, const std::string& name, int line) {
    const auto source = Column(db_, "SELECT source FROM __objects WHERE lower(name) = lower(?) AND xtype = ? AND parent_obj = 0",
                               {name, rule ? "R" : "D"});
    if (source.empty())
        throw Refused(15016, std::string(rule ? "The rule '" : "The default '") + name + "' does not exist.", line);
    return Tokenize(source[0]);
}

void Session::BindRuleOrDefault(bool rule, const std::string& name, const std::string& target, int line) {
    const std::vector<Token> expr = RuleOrDefaultExpr(rule, name, line);
    // 'table.column' (with an optional schema) binds to a column; a name alone to an alias type,
    // whose columns made from now on get it.
    std::vector<std::string> parts;
    for (auto& x : Tokenize(target))
        if (x.IsName()) parts.push_back(NameOf(x));
    if (parts.size() == 1) {
        if (Column(db_, "SELECT name FROM __types WHERE name = ?", {parts[0]}).empty())
            throw Refused(15148, "The data type or table name '" + parts[0] + "' does not exist or you do not have permission.", line);
        Run(db_, "DELETE FROM __typebinds WHERE type = ? AND kind = ?", {parts[0], rule ? "R" : "D"});
        Run(db_, "INSERT INTO __typebinds (type, kind, object) VALUES (?, ?, ?)", {parts[0], rule ? "R" : "D", name});
        return;
    }
    if (parts.size() < 2) throw Refused(15148, "The data type or table name '" + target + "' does not exist or you do not have permission.", line);
    const std::string column = parts.back(), table = TableNamed(parts[parts.size() - 2]);
    if (table.empty() || Column(db_, "SELECT name FROM __columns WHERE table_name = ? AND name = ?", {table, column}).empty())
        throw Refused(15148, "The data type or table name '" + target + "' does not exist or you do not have permission.", line);
    if (rule) {
        std::vector<Token> check;
        for (const Token& x : expr) {
            if (x.kind == Token::Variable) {
                Token c = MakeToken(Token::Quoted, QuoteIdent(column), x.spaceBefore);
                c.value = column;
                check.push_back(c);
            } else {
                check.push_back(x);
            }
        }
        std::vector<Token> wrapped = {MakeToken(Token::Op, "(")};
        wrapped.insert(wrapped.end(), check.begin(), check.end());
        wrapped.push_back(MakeToken(Token::Op, ")"));
        // A rule bound later does not look at the rows already there.
        const std::string constraint = "rule " + name + " on " + column;
        Run(db_, "DELETE FROM __constraints WHERE tbl = ? AND name = ?", {table, constraint});
        Run(db_, "INSERT INTO __constraints (tbl, name, kind, clause, enabled) VALUES (?, ?, 'C', ?, 1)",
            {table, constraint, "CONSTRAINT " + QuoteIdent(constraint) + " CHECK " + Translate(wrapped, line)});
    } else {
        SetColumnDefault(table, column, expr, line);
        Run(db_, "UPDATE __columns SET default_text = ? WHERE table_name = ? AND name = ?", {"(" + JoinTokens(expr) + ")", table, column});
    }
    RewriteTableDefinition(table, line);
    columnCache_.clear();
}

bool Session::PrincipalExists(const std::string& name) {
    const std::string upper = Upper(name);
    if (upper == "PUBLIC" || upper == "DBO" || upper == "GUEST" || upper == Upper(user_)) return true;
    if (upper.rfind("DB_", 0) == 0) return true;  // the fixed database roles
    return !Column(db_, "SELECT name FROM __principals WHERE name = ?", {name}).empty();
}

void Session::AddPrincipal(const std::string& name, bool role, int line) {
    if (PrincipalExists(name)) throw Refused(15023, "User, group, or role '" + name + "' already exists in the current database.", line);
    Run(db_, "INSERT INTO __principals (name, kind) VALUES (?, ?)", {name, role ? "R" : "U"});
}

// IDENTITY with an increment other than 1: SQLite numbers new rows on from the highest; they are
// numbered again (highest first, so that no two meet) from the table's current identity value.
bool Session::IdentityStepOf(const std::string& table, IdentityStep& step) {
    if (FactsOf(table)->identity.empty()) return false;
    sqlite3_stmt* st = Cached("SELECT col, inc, current FROM __identity WHERE tbl = ?");
    if (!st) return false;
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    const bool found = sqlite3_step(st) == SQLITE_ROW;
    if (found) {
        step.column = Text(st, 0);
        step.increment = sqlite3_column_int64(st, 1);
        step.current = sqlite3_column_int64(st, 2);
    }
    sqlite3_reset(st);
    if (!found) return false;
    SqlStmt max;
    sqlite3_prepare_v2(db_, ("SELECT coalesce(max(rowid), 0) FROM " + QuoteIdent(table)).c_str(), -1, max.Out(), nullptr);
    step.before = max && sqlite3_step(max) == SQLITE_ROW ? sqlite3_column_int64(max, 0) : 0;
    return true;
}

void Session::RenumberIdentity(const std::string& table, const IdentityStep& step, const std::string& captured) {
    std::int64_t last = step.current;
    if (step.increment > 0 && step.before > last) last = step.before;
    std::vector<std::int64_t> fresh;
    {
        SqlStmt st;
        sqlite3_prepare_v2(db_, ("SELECT rowid FROM " + QuoteIdent(table) + " WHERE rowid > ? ORDER BY rowid DESC").c_str(), -1, st.Out(),
                           nullptr);
        sqlite3_bind_int64(st, 1, step.before);
        while (st && sqlite3_step(st) == SQLITE_ROW) fresh.push_back(sqlite3_column_int64(st, 0));
    }
    if (fresh.empty()) return;
    const auto n = static_cast<std::int64_t>(fresh.size());
    SqlStmt move, moveCaptured;
    sqlite3_prepare_v2(db_, ("UPDATE " + QuoteIdent(table) + " SET rowid = ? WHERE rowid = ?").c_str(), -1, move.Out(), nullptr);
    if (!captured.empty())
        sqlite3_prepare_v2(db_, ("UPDATE " + QuoteIdent(captured) + " SET " + QuoteIdent(step.column) + " = ? WHERE " + QuoteIdent(step.column) + " = ?").c_str(),
                           -1, moveCaptured.Out(), nullptr);
    // A negative increment counts down below every row: those go lowest first.
    if (step.increment < 0) std::reverse(fresh.begin(), fresh.end());
    for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t from = fresh[static_cast<size_t>(k)];
        const std::int64_t order = step.increment > 0 ? n - k : k + 1;  // 1 for the first row inserted
        const std::int64_t to = last + step.increment * order;
        for (sqlite3_stmt* st : {static_cast<sqlite3_stmt*>(move), static_cast<sqlite3_stmt*>(moveCaptured)}) {
            if (!st) continue;
            sqlite3_reset(st);
            sqlite3_bind_int64(st, 1, to);
            sqlite3_bind_int64(st, 2, from);
            sqlite3_step(st);
        }
    }
    const std::int64_t current = last + step.increment * n;
    Run(db_, "UPDATE __identity SET current = ? WHERE tbl = ?", {std::to_string(current), table});
    sqlite3_set_last_insert_rowid(db_, current);
}

// The identity's seed and increment as created (1 and 1 for a table made by an earlier stand-in),
// and its current value: the last one given out, or the seed while none has been (a value equal to
// the one before the seed counts as none given out, unless DBCC CHECKIDENT set it).
std::optional<Session::IdentityInfo> Session::IdentityOf(const std::string& table) {
    if (FactsOf(table)->identity.empty()) return std::nullopt;
    IdentityInfo id;
    bool reseeded = false;
    {
        SqlStmt st;
        sqlite3_prepare_v2(db_, "SELECT seed, inc, reseeded FROM __identity_seed WHERE tbl = ?", -1, st.Out(), nullptr);
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        if (st && sqlite3_step(st) == SQLITE_ROW) {
            id.seed = sqlite3_column_int64(st, 0);
            id.increment = sqlite3_column_int64(st, 1);
            reseeded = sqlite3_column_int(st, 2) != 0;
        }
    }
    const auto stepped = Column(db_, "SELECT current FROM __identity WHERE tbl = ?", {table});
    const auto seq = Column(db_, "SELECT seq FROM sqlite_sequence WHERE name = ?", {table});
    const std::string& last = !stepped.empty() ? stepped[0] : !seq.empty() ? seq[0] : std::string();
    const std::int64_t before = id.seed - id.increment;
    id.current = id.seed;
    if (!last.empty()) {
        const std::int64_t value = std::strtoll(last.c_str(), nullptr, 10);
        if (reseeded || value != before) id.current = value;
    }
    return id;
}

// DBCC CHECKIDENT ('table' [, NORESEED | RESEED [, value]]) [WITH NO_INFOMSGS]; other DBCC commands
// change nothing here and report only that they ran.
void Session::ExecDbcc(const std::vector<Token>& t, int line) {
    bool quiet = false;
    for (size_t i = 0; i + 1 < t.size(); ++i)
        if (t[i].Is("WITH") && t[i + 1].Is("NO_INFOMSGS")) quiet = true;
    auto completed = [&] {
        if (!quiet) Info(2528, 1, 10, "DBCC execution completed. If DBCC printed error messages, contact your system administrator.", line);
    };
    if (t.size() < 2 || !t[1].Is("CHECKIDENT")) return completed();
    if (t.size() < 4 || !t[2].IsOp("(")) throw SqlError{102, 15, 1, "Incorrect syntax near 'CHECKIDENT'.", line, "", true};
    const size_t close = MatchParen(t, 2);
    const auto args = SplitCommas(t, 3, close);
    if (args.empty() || args[0].size() != 1) throw SqlError{102, 15, 1, "Incorrect syntax near 'CHECKIDENT'.", line, "", true};
    const std::string written = args[0][0].kind == Token::String ? args[0][0].value : NameOf(args[0][0]);
    const std::string table = TableNamed(LastNamePart(written));
    if (table.empty())
        throw SqlError{2501, 16, 45, "Cannot find a table or object with the name \"" + written + "\". Check the system catalog.", line, "", false};
    const auto id = IdentityOf(table);
    if (!id) throw SqlError{7997, 16, 1, "'" + ShownName(table) + "' does not contain an identity column.", line, "", false};
    const auto top = Column(db_, ("SELECT max(rowid) FROM " + QuoteIdent(table)).c_str(), {});
    const bool rows = !top.empty() && !top[0].empty();
    const std::int64_t column = rows ? std::strtoll(top[0].c_str(), nullptr, 10) : 0;
    const bool noreseed = args.size() > 1 && args[1].size() == 1 && args[1][0].Is("NORESEED");
    std::optional<std::int64_t> to;
    if (args.size() > 2 && args[1].size() == 1 && args[1][0].Is("RESEED")) {
        const SqlValue v = Eval(args[2], line);
        to = v.type == SqlValue::Integer ? v.i : std::strtoll(v.AsText().c_str(), nullptr, 10);
    } else if (!noreseed && rows && (id->increment > 0 ? id->current < column : id->current > column)) {
        to = column;  // RESEED without a value, or no option: up to the largest value in the table
    }
    if (to) {
        const std::string table_ = table;
        if (Column(db_, "SELECT tbl FROM __identity WHERE tbl = ?", {table_}).empty()) {
            Run(db_, "DELETE FROM sqlite_sequence WHERE name = ?", {table_});
            Run(db_, "INSERT INTO sqlite_sequence (name, seq) VALUES (?, ?)", {table_, std::to_string(*to)});
        } else {
            Run(db_, "UPDATE __identity SET current = ? WHERE tbl = ?", {std::to_string(*to), table_});
        }
        Run(db_, "INSERT OR REPLACE INTO __identity_seed (tbl, seed, inc, reseeded) VALUES (?, ?, ?, 1)",
            {table_, std::to_string(id->seed), std::to_string(id->increment)});
    }
    if (!quiet) {
        const std::string current = "current identity value '" + std::to_string(id->current) + "'";
        Info(7998, 1, 10,
             args.size() > 2 ? "Checking identity information: " + current + "."
                             : "Checking identity information: " + current + ", current column value '" +
                                   (rows ? std::to_string(column) : std::string("NULL")) + "'.",
             line);
    }
    completed();
}
