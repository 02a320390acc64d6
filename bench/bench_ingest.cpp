// Fetches the stand-in's generated result of 1,000,000 rows: "ours" into the result dataset through
// the access layer ("ours-tls": the same over an encrypted connection), "bare" through an ODBC loop
// that binds the same columns and discards the rows.
// Prints "seconds <wall> rows <n> bytes <value bytes>".
#include "uDbAccess.h"
#include "uNbLog.h"
#include "uNbStartup.h"

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // The programs' own start-up (allocator settings included), without log lines on stdout.
    NbLogSetLineFd(-1);
    NbLibraryStartup(argv[0]);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_ingest PORT ours|ours-tls|bare [ROWS]\n");
        return 2;
    }
    const std::string port = argv[1], mode = argv[2];
    const std::string rows = argc > 3 ? argv[3] : "1000000";
    const std::string sql = "exec sp_sandbox_rows " + rows;
    TDbConnection db;
    db.ConnectionString = "Provider=SQLOLEDB.1;User ID=sa;Password=Tolvan-2026;Data Source=127.0.0.1," + port +
                          ";Initial Catalog=master;Persist Security Info=True;" +
                          (mode == "ours-tls" ? "Use Encryption for Data=True;Trust Server Certificate=True;" : "");
    db.CommandTimeout = 0;
    db.Open();
    const auto start = std::chrono::steady_clock::now();
    long long count = 0, bytes = 0;
    if (mode == "ours" || mode == "ours-tls") {
        auto r = DbOpenQuery(db, sql);
        TMemCustomDataSet& ds = *r->DataSet();
        count = ds.RowCount();
        const auto end = std::chrono::steady_clock::now();
        ds.MoveFirst();
        while (!ds.AtEnd()) {
            for (int i = 0; i < ds.FieldCount(); ++i) {
                const int t = ds.Field(i).DataType();
                bytes += t == ftString || t == ftWideString ? static_cast<long long>(ds.Field(i).TextView().size())
                         : t == ftInteger                   ? 4
                         : t == ftBoolean                   ? 1
                                                            : 8;
            }
            ds.MoveNext();
        }
        std::printf("seconds %.3f rows %lld bytes %lld\n", std::chrono::duration<double>(end - start).count(), count, bytes);
        return 0;
    }
    // The bare loop: same bindings as the access layer, values discarded.
    SQLHSTMT h;
    SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(db.Handle()), &h);
    SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    const SQLULEN n = 512;
    SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(n), 0);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    // The nvarchar column as UTF-16, as the access layer binds Unicode text.
    const SQLSMALLINT ctypes[8] = {SQL_C_SBIGINT, SQL_C_SBIGINT,        SQL_C_CHAR,   SQL_C_WCHAR,
                                   SQL_C_CHAR,    SQL_C_TYPE_TIMESTAMP, SQL_C_DOUBLE, SQL_C_SBIGINT};
    const size_t widths[8] = {8, 8, 201, 102, 48, sizeof(SQL_TIMESTAMP_STRUCT), 8, 8};
    std::vector<std::vector<char>> bufs(8);
    std::vector<std::vector<SQLLEN>> inds(8);
    for (int c = 0; c < 8; ++c) {
        bufs[static_cast<size_t>(c)].resize(widths[c] * n);
        inds[static_cast<size_t>(c)].resize(n);
        SQLBindCol(h, static_cast<SQLUSMALLINT>(c + 1), ctypes[c], bufs[static_cast<size_t>(c)].data(), static_cast<SQLLEN>(widths[c]),
                   inds[static_cast<size_t>(c)].data());
    }
    while (SQL_SUCCEEDED(SQLFetch(h))) count += static_cast<long long>(fetched);
    const auto end = std::chrono::steady_clock::now();
    SQLFreeHandle(SQL_HANDLE_STMT, h);
    std::printf("seconds %.3f rows %lld bytes 0\n", std::chrono::duration<double>(end - start).count(), count);
    return 0;
}
