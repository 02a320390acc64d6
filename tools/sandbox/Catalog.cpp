// The server-wide state and the catalog tables and views every database file carries.
#include "Engine.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

namespace {

void ExecOrThrow(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "sqlite error";
        sqlite3_free(err);
        throw std::runtime_error(msg + " in: " + sql.substr(0, 200));
    }
}

sqlite3* OpenFile(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db, 10000);
    ExecOrThrow(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    return db;
}

std::string LowerName(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

ServerState::ServerState(std::string dataDir, std::string saPassword, std::string serverName)
    : dataDir_(std::move(dataDir)), serverName_(std::move(serverName)) {
    std::filesystem::create_directories(dataDir_);
    sqlite3* db = OpenFile(DatabaseFile("master"));
    InitCatalog(db, "master", true);
    ExecOrThrow(db, "INSERT OR IGNORE INTO __databases(name, dbid, crdate, filename) VALUES ('master', 1, '2003-04-08 09:13:36.390', " +
                        SqlLiteral(DatabaseFile("master")) + ")");
    ExecOrThrow(db, "INSERT OR REPLACE INTO __logins(name, password) VALUES ('sa', " + SqlLiteral(saPassword) + ")");
    sqlite3_close(db);
}

std::string ServerState::DatabaseFile(const std::string& name) const { return dataDir_ + "/" + LowerName(name) + ".db"; }

std::string ServerState::CanonicalDatabase(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = OpenFile(DatabaseFile("master"));
    std::string found;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM __databases WHERE lower(name) = lower(?)", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) found = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return found;
}

bool ServerState::DatabaseExists(const std::string& name) { return !CanonicalDatabase(name).empty(); }

void ServerState::CreateDatabase(const std::string& name) {
    if (DatabaseExists(name)) {
        throw SqlError{1801, 16, 3, "Database '" + name + "' already exists. Choose a different database name.", 1, "", false};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = OpenFile(DatabaseFile(name));
    InitCatalog(db, name, false);
    sqlite3_close(db);
    sqlite3* master = OpenFile(DatabaseFile("master"));
    ExecOrThrow(master, "INSERT INTO __databases(name, dbid, crdate, filename) SELECT " + SqlLiteral(name) +
                            ", coalesce(max(dbid), 4) + 1, strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'), " +
                            SqlLiteral(DatabaseFile(name)) + " FROM __databases");
    sqlite3_close(master);
}

bool ServerState::CheckLogin(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = OpenFile(DatabaseFile("master"));
    bool ok = false;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT password FROM __logins WHERE lower(name) = lower(?)", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) ok = password == reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return ok;
}

void ServerState::CreateLogin(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = OpenFile(DatabaseFile("master"));
    ExecOrThrow(db, "INSERT OR REPLACE INTO __logins(name, password) VALUES (" + SqlLiteral(user) + ", " + SqlLiteral(password) + ")");
    sqlite3_close(db);
}

void ServerState::InitCatalog(sqlite3* db, const std::string& dbName, bool isMaster) {
    ExecOrThrow(db, R"(
CREATE TABLE IF NOT EXISTS __objects (id int PRIMARY KEY, name nvarchar(128) NOT NULL, xtype char(2) NOT NULL,
  parent_obj int NOT NULL DEFAULT 0, crdate datetime NOT NULL, source ntext, params ntext);
CREATE TABLE IF NOT EXISTS __comments (id int NOT NULL, number smallint NOT NULL, colid smallint NOT NULL, text nvarchar(4000));
CREATE TABLE IF NOT EXISTS __columns (object_id int, table_name nvarchar(128), colid int, name nvarchar(128),
  type_text nvarchar(128), data_type nvarchar(128), char_max int, char_octets int, num_precision tinyint,
  num_radix smallint, num_scale int, dt_precision smallint, is_nullable varchar(3), is_identity int,
  default_text nvarchar(4000));
CREATE VIEW IF NOT EXISTS sysobjects AS SELECT name, id, xtype, 1 AS uid, 0 AS info, 0 AS status,
  0 AS base_schema_ver, 0 AS replinfo, parent_obj, crdate, 0 AS ftcatid, 0 AS schema_ver, 0 AS stats_schema_ver,
  xtype AS type, 0 AS userstat, 0 AS sysstat, 0 AS indexdel, crdate AS refdate, 0 AS version, 0 AS deltrig,
  0 AS instrig, 0 AS updtrig, 0 AS seltrig, 0 AS category, 0 AS cache FROM __objects;
CREATE VIEW IF NOT EXISTS syscomments AS SELECT id, number, colid, 0 AS status, text AS ctext, 2 AS texttype,
  0 AS language, 0 AS encrypted, 0 AS compressed, text FROM __comments;
CREATE VIEW IF NOT EXISTS information_schema_tables AS SELECT )" + SqlLiteral(dbName) +
                        R"( AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, name AS TABLE_NAME,
  CASE xtype WHEN 'U' THEN 'BASE TABLE' ELSE 'VIEW' END AS TABLE_TYPE FROM __objects WHERE xtype IN ('U', 'V');
CREATE VIEW IF NOT EXISTS information_schema_columns AS SELECT )" + SqlLiteral(dbName) +
                        R"( AS TABLE_CATALOG, 'dbo' AS TABLE_SCHEMA, table_name AS TABLE_NAME,
  name AS COLUMN_NAME, colid AS ORDINAL_POSITION, default_text AS COLUMN_DEFAULT, is_nullable AS IS_NULLABLE,
  data_type AS DATA_TYPE, char_max AS CHARACTER_MAXIMUM_LENGTH, char_octets AS CHARACTER_OCTET_LENGTH,
  num_precision AS NUMERIC_PRECISION, num_radix AS NUMERIC_PRECISION_RADIX, num_scale AS NUMERIC_SCALE,
  dt_precision AS DATETIME_PRECISION FROM __columns;
)");
    if (isMaster) {
        ExecOrThrow(db, R"(
CREATE TABLE IF NOT EXISTS __databases (name nvarchar(128) PRIMARY KEY, dbid smallint, crdate datetime, filename nvarchar(260));
CREATE TABLE IF NOT EXISTS __logins (name nvarchar(128) PRIMARY KEY, password nvarchar(128));
CREATE VIEW IF NOT EXISTS sysdatabases AS SELECT name, dbid, NULL AS sid, 0 AS mode, 0 AS status, 0 AS status2,
  crdate, crdate AS reserved, 0 AS category, 150 AS cmptlevel, filename, 904 AS version FROM __databases;
)");
    }
}
