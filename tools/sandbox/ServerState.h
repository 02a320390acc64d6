// What all connections of the stand-in share: the data folder, the databases and the logins.
#pragma once

#include "SqliteUtil.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <map>
#include <string>
#include <vector>

struct sqlite3;

// What all connections share: the data folder and the logins.
class ServerState {
public:
    ServerState(std::string dataDir, std::string saPassword, std::string serverName);

    const std::string& DataDir() const { return dataDir_; }
    const std::string& ServerName() const { return serverName_; }
    std::string DatabaseFile(const std::string& name) const;
    bool DatabaseExists(const std::string& name);
    // The database's name as created (case kept), or empty.
    std::string CanonicalDatabase(const std::string& name);
    // collation: the default of the database's character columns, empty for the server's.
    void CreateDatabase(const std::string& name, const std::string& collation = "");
    // The database's id (master 1, tempdb 2), or 0 when there is none of that name.
    int DatabaseId(const std::string& name);
    bool CheckLogin(const std::string& user, const std::string& password);
    void CreateLogin(const std::string& user, const std::string& password);
    int NextSpid() { return ++spid_; }
    // The sessions logged in (sp_who): each publishes its login, host and database as they change.
    struct SessionInfo {
        int spid = 0;
        std::string login, host, database;
    };
    void PublishSession(const SessionInfo& info);
    void EndSession(int spid);
    std::vector<SessionInfo> Sessions();
    // Counts writes to the catalog tables by any connection; what a session keeps of the catalog
    // is good while the count has not moved.
    std::uint64_t CatalogGeneration() const { return catalogGen_.load(std::memory_order_acquire); }
    void CatalogChanged() { catalogGen_.fetch_add(1, std::memory_order_acq_rel); }
    // Prepares a database file with the catalog tables and views.
    static void InitCatalog(sqlite3* db, const std::string& dbName, bool isMaster);

private:
    std::string dataDir_;
    std::string serverName_;
    std::mutex mutex_;
    // master, open for the server's own lookups (logins, database names): opening it and reading its
    // schema for each took longer than a login's TLS handshake. Guarded by mutex_.
    DbHandle master_;
    std::atomic<int> spid_{50};
    std::mutex sessionsMutex_;
    std::map<int, SessionInfo> sessions_;  // guarded by sessionsMutex_
    std::atomic<std::uint64_t> catalogGen_{0};
};

// Builds the demo database when it is missing.
void CreateDemoDatabase(ServerState& server);
