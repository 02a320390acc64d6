#include "OdbcProbe.h"

namespace {

void Collect(SQLSMALLINT type, SQLHANDLE h, std::vector<OdbcDiag>& out) {
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[8] = {0}, text[2048] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(type, h, i, state, &native, text, sizeof text, &len))) break;
        out.push_back({reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(text)});
    }
}

}  // namespace

OdbcProbe::OdbcProbe() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
}

OdbcProbe::~OdbcProbe() {
    if (stmt_) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

bool OdbcProbe::Connect(const std::string& cs, std::vector<OdbcDiag>* diags) {
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(cs.c_str())), SQL_NTS, out,
                                          sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
    if (diags) Collect(SQL_HANDLE_DBC, dbc_, *diags);
    connected_ = SQL_SUCCEEDED(rc);
    if (connected_) SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    return connected_;
}

void OdbcProbe::Cancel() { SQLCancel(stmt_); }

OdbcRun OdbcProbe::Run(const std::string& sql, bool binary) {
    OdbcRun run;
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLRETURN rc = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    for (int guard = 0; guard < 10000; ++guard) {
        if (rc == SQL_NO_DATA) break;
        Collect(SQL_HANDLE_STMT, stmt_, run.diags);
        if (rc == SQL_ERROR) run.ok = false;
        if (SQL_SUCCEEDED(rc)) {
            SQLSMALLINT cols = 0;
            SQLNumResultCols(stmt_, &cols);
            if (cols > 0) {
                OdbcResult r;
                for (SQLUSMALLINT c = 1; c <= cols; ++c) {
                    SQLCHAR name[256] = {0};
                    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
                    SQLULEN size = 0;
                    SQLDescribeCol(stmt_, c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
                    r.names.emplace_back(reinterpret_cast<char*>(name));
                    r.types.push_back(type);
                    r.sizes.push_back(static_cast<long long>(size));
                    r.nullables.push_back(nullable);
                }
                for (;;) {
                    const SQLRETURN f = SQLFetch(stmt_);
                    if (f == SQL_SUCCESS_WITH_INFO || f == SQL_NO_DATA) {
                        const size_t before = run.diags.size();
                        Collect(SQL_HANDLE_STMT, stmt_, run.diags);
                        for (size_t d = before; d < run.diags.size(); ++d) run.diags[d].fetchRow = static_cast<int>(r.rows.size());
                    }
                    if (f == SQL_NO_DATA) break;
                    if (!SQL_SUCCEEDED(f)) {
                        Collect(SQL_HANDLE_STMT, stmt_, run.diags);
                        run.ok = false;
                        return run;
                    }
                    std::vector<std::string> row;
                    for (SQLUSMALLINT c = 1; c <= cols; ++c) {
                        std::string value;
                        SQLLEN ind = 0;
                        char buf[4096];
                        bool isNull = false;
                        const size_t room = binary ? sizeof buf : sizeof buf - 1;
                        for (;;) {
                            const SQLRETURN g = SQLGetData(stmt_, c, binary ? SQL_C_BINARY : SQL_C_CHAR, buf, sizeof buf, &ind);
                            if (g == SQL_NO_DATA) break;
                            if (!SQL_SUCCEEDED(g)) break;
                            if (ind == SQL_NULL_DATA) {
                                isNull = true;
                                break;
                            }
                            const bool fits = ind != SQL_NO_TOTAL && static_cast<size_t>(ind) <= room;
                            value.append(buf, fits ? static_cast<size_t>(ind) : room);
                            // FreeTDS answers a sql_variant with "truncated" however often it is asked:
                            // a value that fitted is whole.
                            if (g == SQL_SUCCESS || fits) break;
                        }
                        if (binary && !isNull) {
                            std::string hex;
                            for (unsigned char b : value) {
                                hex += "0123456789abcdef"[b >> 4];
                                hex += "0123456789abcdef"[b & 15];
                            }
                            value = hex;
                        }
                        row.push_back(isNull ? "<NULL>" : value);
                    }
                    r.rows.push_back(std::move(row));
                }
                run.results.push_back(std::move(r));
            } else {
                SQLLEN count = -1;
                SQLRowCount(stmt_, &count);
                OdbcResult r;
                r.rowCount = count;
                run.results.push_back(std::move(r));
            }
        }
        rc = SQLMoreResults(stmt_);
    }
    return run;
}
