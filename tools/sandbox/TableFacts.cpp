// The catalog facts of a table that every INSERT, UPDATE and DELETE needs (identity column, column
// types, triggers), kept per session. Reading them took four catalog queries per statement, each a
// read transaction of its own; a script of thousands of INSERTs spent much of its time there.
// The facts stay good while the server's catalog generation has not moved: every write to a
// catalog table by any connection moves it, before its commit and again once the commit is
// visible, so a session never keeps what it read in between.
#include "Session.h"

#include <sqlite3.h>

#include <cstring>

namespace {

// The identity table's running value changes with every insert; it is never kept.
bool IsCatalogTable(const char* table) {
    return table && table[0] == '_' && table[1] == '_' && std::strcmp(table, "__identity") != 0;
}

}  // namespace

void Session::WatchCatalog() {
    catalogDirty_ = false;
    facts_.clear();
    sqlite3_update_hook(
        db_,
        [](void* p, int, const char*, const char* table, sqlite3_int64) {
            if (!IsCatalogTable(table)) return;
            auto* self = static_cast<Session*>(p);
            self->catalogDirty_ = true;
            self->server_.CatalogChanged();
        },
        this);
    sqlite3_commit_hook(
        db_,
        [](void* p) -> int {
            auto* self = static_cast<Session*>(p);
            if (self->catalogDirty_) self->server_.CatalogChanged();
            return 0;
        },
        this);
    sqlite3_rollback_hook(
        db_,
        [](void* p) {
            auto* self = static_cast<Session*>(p);
            if (self->catalogDirty_) self->server_.CatalogChanged();
            self->catalogDirty_ = false;
        },
        this);
    // Called once a commit is visible to other connections. Setting it replaces SQLite's own
    // checkpoint after 1,000 pages of log, which it therefore does itself.
    sqlite3_wal_hook(
        db_,
        [](void* p, sqlite3* db, const char* name, int pages) -> int {
            auto* self = static_cast<Session*>(p);
            if (self->catalogDirty_) self->server_.CatalogChanged();
            self->catalogDirty_ = false;
            if (pages >= 1000) sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            return SQLITE_OK;
        },
        this);
}

std::shared_ptr<const Session::TableFacts> Session::FactsOf(const std::string& table) {
    // While this connection's own transaction has written the catalog, a savepoint may still undo
    // it without a hook to tell: read afresh and keep nothing. Callers hold what they get while
// triggers run, which may clear the kept facts.
    const bool keep = !catalogDirty_;
    if (keep) {
        const std::uint64_t now = server_.CatalogGeneration();
        if (now != factsGeneration_) {
            facts_.clear();
            factsGeneration_ = now;
        } else if (auto it = facts_.find(table); it != facts_.end()) {
            return it->second;
        }
    }
    auto made = std::make_shared<TableFacts>();
    TableFacts& facts = *made;
    if (sqlite3_stmt* st = Cached("SELECT name FROM __columns WHERE table_name = ? AND is_identity = 1")) {
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) facts.identity = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_reset(st);
    }
    if (sqlite3_stmt* st = Cached("SELECT name, type_text FROM __columns WHERE table_name = ? ORDER BY colid")) {
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW) {
            SqlType type;
            const unsigned char* text = sqlite3_column_text(st, 1);
            if (!text || !ParseSqlType(reinterpret_cast<const char*>(text), type)) type = SqlType::Of(SqlType::NVarChar, -1);
            facts.columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), type);
        }
        sqlite3_reset(st);
    }
    if (sqlite3_stmt* st = Cached("SELECT name, source FROM __objects WHERE xtype = 'TR' AND parent_obj = (SELECT id FROM __objects "
                                  "WHERE name = ? AND xtype IN ('U', 'V')) ORDER BY id")) {
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW)
            facts.triggers.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                        reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        sqlite3_reset(st);
    }
    if (keep) facts_[table] = made;
    return made;
}
