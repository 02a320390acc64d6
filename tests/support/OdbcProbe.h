// A minimal raw ODBC client for testing the stand-in itself through unixODBC and FreeTDS: runs a
// batch and collects every result (column types, values as text) and every diagnostic.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

struct OdbcDiag {
    std::string state;
    long native = 0;
    std::string text;
    int fetchRow = -1;  // for a message that came with a fetch: the 0-based row it came with
};

struct OdbcResult {
    std::vector<std::string> names;
    std::vector<int> types;
    std::vector<long long> sizes;
    std::vector<int> nullables;  // SQL_NULLABLE, SQL_NO_NULLS
    std::vector<std::vector<std::string>> rows;  // "<NULL>" for null
    long long rowCount = -1;
};

struct OdbcRun {
    bool ok = true;
    std::vector<OdbcResult> results;
    std::vector<OdbcDiag> diags;
    bool HasDiag(long native) const {
        for (const auto& d : diags)
            if (d.native == native) return true;
        return false;
    }
};

class OdbcProbe {
public:
    OdbcProbe();
    ~OdbcProbe();
    OdbcProbe(const OdbcProbe&) = delete;
    OdbcProbe& operator=(const OdbcProbe&) = delete;

    bool Connect(const std::string& connectionString, std::vector<OdbcDiag>* diags = nullptr);
    // Values come as text, or with binary the driver's binary form of each value in hexadecimal
    // (for a sql_variant: the value of its base type).
    OdbcRun Run(const std::string& sql, bool binary = false);
    // Cancels the running statement from another thread.
    void Cancel();

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
    bool connected_ = false;
};
