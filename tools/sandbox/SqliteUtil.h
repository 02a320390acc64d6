// Small helpers between SqlValue and SQLite statements.
#pragma once

#include "Value.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_context;

// A prepared statement finalized on every path, exceptions included.
class SqlStmt {
public:
    SqlStmt() = default;
    SqlStmt(SqlStmt&& o) noexcept : st_(std::exchange(o.st_, nullptr)) {}
    SqlStmt& operator=(SqlStmt&& o) noexcept {
        if (this != &o) {
            Reset();
            st_ = std::exchange(o.st_, nullptr);
        }
        return *this;
    }
    SqlStmt(const SqlStmt&) = delete;
    SqlStmt& operator=(const SqlStmt&) = delete;
    ~SqlStmt() { Reset(); }

    operator sqlite3_stmt*() const { return st_; }
    // For sqlite3_prepare_v2: finalizes what is held and gives the slot.
    sqlite3_stmt** Out() {
        Reset();
        return &st_;
    }
    void Reset();

private:
    sqlite3_stmt* st_ = nullptr;
};

// Prepared statements kept for reuse by their SQL: a few, the least recently used given up first.
class StatementCache {
public:
    // The statement prepared from sql, reset, or none; the caller owns it until it gives it back.
    SqlStmt Take(const std::string& sql);
    // Keeps st for sql, reset and with its parameters cleared.
    void Put(const std::string& sql, SqlStmt st);
    void Clear() { entries_.clear(); }

private:
    std::vector<std::pair<std::string, SqlStmt>> entries_;  // the most recently used last
};

// An INSERT ... VALUES statement in SQLite's SQL with the strings and numbers of its VALUES lists
// taken out as ?1, ?2 ... (a number with a point or an exponent as CAST(?n AS REAL) of its text, so
// that SQLite reads it as it reads the literal): a script's thousands of INSERT statements of one
// table then share one prepared statement. None for anything else, or when its VALUES hold a
// subquery (where an integer may be an ORDER BY position) or parameters of their own.
struct ValuesShape {
    std::string sql;
    std::vector<SqlValue> values;
};
bool ShapeOfValues(std::string_view sql, ValuesShape& shape);

// A database handle closed on every path (once its statements are finalized).
struct DbCloser {
    void operator()(sqlite3* db) const;
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

std::string QuoteIdent(const std::string& s);
// Drops a table the session made (a temporary table, a table variable's) with its catalog rows.
void DropSessionTable(sqlite3* db, const std::string& stored);
SqlValue ColumnValue(sqlite3_stmt* st, int i);
void BindValue(sqlite3_stmt* st, int i, const SqlValue& v);
// A function's result: the value in its own storage class.
void ResultValue(sqlite3_context* ctx, const SqlValue& v);
