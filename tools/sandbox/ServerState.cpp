// The server-wide state: the data folder, its databases and the logins.
#include "ServerState.h"
#include "Catalog.h"
#include "Session.h"

#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <stdexcept>

namespace {

DbHandle OpenFile(const std::string& path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory"));
    sqlite3_busy_timeout(db.get(), 10000);
    ExecOrThrow(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    return db;
}

// A database name as a file name that stays inside the data folder: letters (any alphabet), digits,
// space and _ - $ # @ are kept (ASCII lower-cased); every other byte, "." and "/" among them, is
// written as %XX.
std::string FileNameOf(const std::string& name) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c >= 0x80 || c == ' ' || c == '_' || c == '-' || c == '$' || c == '#' || c == '@') {
            out += static_cast<char>(std::tolower(c));
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace

ServerState::ServerState(std::string dataDir, std::string saPassword, std::string serverName)
    : dataDir_(std::move(dataDir)), serverName_(std::move(serverName)) {
    std::filesystem::create_directories(dataDir_);
    master_ = OpenFile(DatabaseFile("master"));
    sqlite3* db = master_.get();
    InitCatalog(db, "master", true);
    ExecOrThrow(db,
                "INSERT OR IGNORE INTO __databases(name, dbid, crdate, filename) VALUES ('master', 1, '2003-04-08 09:13:36.390', " +
                    SqlLiteral(DatabaseFile("master")) + ")");
    ExecOrThrow(db, "INSERT OR REPLACE INTO __logins(name, password) VALUES ('sa', " + SqlLiteral(saPassword) + ")");
    // tempdb starts empty with every start of the server.
    std::filesystem::remove(DatabaseFile("tempdb"));
    {
        DbHandle temp = OpenFile(DatabaseFile("tempdb"));
        InitCatalog(temp.get(), "tempdb", false);
    }
    ExecOrThrow(db,
                "INSERT OR REPLACE INTO __databases(name, dbid, crdate, filename) VALUES ('tempdb', 2, strftime('%Y-%m-%d %H:%M:%f', "
                "'now', 'localtime'), " +
                    SqlLiteral(DatabaseFile("tempdb")) + ")");
}

std::string ServerState::DatabaseFile(const std::string& name) const { return dataDir_ + "/" + FileNameOf(name) + ".db"; }

std::string ServerState::CanonicalDatabase(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = master_.get();
    std::string found;
    SqlStmt st;
    sqlite3_prepare_v2(db, "SELECT name FROM __databases WHERE lower(name) = lower(?)", -1, st.Out(), nullptr);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) found = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    st.Reset();
    return found;
}

int ServerState::DatabaseId(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = master_.get();
    int id = 0;
    SqlStmt st;
    sqlite3_prepare_v2(db, "SELECT dbid FROM __databases WHERE lower(name) = lower(?)", -1, st.Out(), nullptr);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) id = sqlite3_column_int(st, 0);
    st.Reset();
    return id;
}

bool ServerState::DatabaseExists(const std::string& name) { return !CanonicalDatabase(name).empty(); }

void ServerState::CreateDatabase(const std::string& name, const std::string& collation) {
    if (DatabaseExists(name)) {
        throw SqlError{1801, 16, 3, "Database '" + name + "' already exists. Choose a different database name.", 1, "", false};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    DbHandle db = OpenFile(DatabaseFile(name));
    InitCatalog(db.get(), name, false);
    if (!collation.empty())
        ExecOrThrow(db.get(), "CREATE TABLE __collation (name nvarchar(128)); INSERT INTO __collation VALUES (" + SqlLiteral(collation) + ")");
    ExecOrThrow(master_.get(), "INSERT INTO __databases(name, dbid, crdate, filename) SELECT " + SqlLiteral(name) +
                                  ", coalesce(max(dbid), 4) + 1, strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'), " +
                                  SqlLiteral(DatabaseFile(name)) + " FROM __databases");
}

bool ServerState::CheckLogin(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = master_.get();
    bool ok = false;
    SqlStmt st;
    sqlite3_prepare_v2(db, "SELECT password FROM __logins WHERE lower(name) = lower(?)", -1, st.Out(), nullptr);
    sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) ok = password == reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    st.Reset();
    return ok;
}

void ServerState::CreateLogin(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = master_.get();
    ExecOrThrow(db,
                "INSERT OR REPLACE INTO __logins(name, password) VALUES (" + SqlLiteral(user) + ", " + SqlLiteral(password) + ")");
}

void ServerState::PublishSession(const SessionInfo& info) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_[info.spid] = info;
}

void ServerState::EndSession(int spid) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.erase(spid);
}

std::vector<ServerState::SessionInfo> ServerState::Sessions() {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    std::vector<SessionInfo> out;
    for (const auto& [spid, info] : sessions_) out.push_back(info);
    return out;
}
