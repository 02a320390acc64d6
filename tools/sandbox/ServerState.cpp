// The server-wide state: the data folder, its databases and the logins.
#include "Catalog.h"
#include "ServerState.h"
#include "Session.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

namespace {

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
