#include "SqliteUtil.h"
#include "TSql.h"

#include <sqlite3.h>

void SqlStmt::Reset() {
    if (st_) sqlite3_finalize(st_);
    st_ = nullptr;
}

void DbCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

std::string QuoteIdent(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

SqlValue ColumnValue(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
        return SqlValue::FromInt(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
        return SqlValue::FromReal(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
        return SqlValue::FromText(
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    case SQLITE_BLOB: {
        const void* p = sqlite3_column_blob(st, i);
        return SqlValue::FromBlob(std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    }
    default:
        return {};
    }
}

void ResultValue(sqlite3_context* ctx, const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        return sqlite3_result_int64(ctx, v.i);
    case SqlValue::Real:
        return sqlite3_result_double(ctx, v.d);
    case SqlValue::Text:
        return sqlite3_result_text(ctx, v.s.c_str(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    case SqlValue::Blob:
        return sqlite3_result_blob(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    default:
        return sqlite3_result_null(ctx);
    }
}

void BindValue(sqlite3_stmt* st, int i, const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        sqlite3_bind_int64(st, i, v.i);
        break;
    case SqlValue::Real:
        sqlite3_bind_double(st, i, v.d);
        break;
    case SqlValue::Text:
        sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
        break;
    case SqlValue::Blob:
        sqlite3_bind_blob(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
        break;
    default:
        sqlite3_bind_null(st, i);
    }
}

void DropSessionTable(sqlite3* db, const std::string& stored) {
    const std::string drop = "DROP TABLE IF EXISTS " + QuoteIdent(stored) +
                             "; DELETE FROM __columns WHERE object_id IN (SELECT id FROM __objects WHERE name = " + SqlLiteral(stored) +
                             "); DELETE FROM __objects WHERE name = " + SqlLiteral(stored) + ";";
    sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr);
}
