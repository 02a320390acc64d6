#include "uDbAccess.h"

#include "MemFormat.h"
#include "uNbFormat.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifndef SQL_SS_VARIANT
#define SQL_SS_VARIANT (-150)
#endif
#ifndef SQL_SS_XML
#define SQL_SS_XML (-152)
#endif
#ifndef SQL_SS_TIME2
#define SQL_SS_TIME2 (-154)
#endif
#ifndef SQL_SS_TIMESTAMPOFFSET
#define SQL_SS_TIMESTAMPOFFSET (-155)
#endif

namespace {

// Drops "[unixODBC][FreeTDS][SQL Server]" and the like from the front of a message.
std::string StripPrefixes(std::string text) {
    while (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) break;
        text.erase(0, close + 1);
    }
    return text;
}

std::vector<TDbErrorItem> Diagnostics(SQLSMALLINT type, SQLHANDLE h) {
    std::vector<TDbErrorItem> out;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[8] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        std::string text(1024, '\0');
        SQLRETURN rc = SQLGetDiagRec(type, h, i, state, &native, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLSMALLINT>(text.size()), &len);
        if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(text.size())) {
            text.assign(static_cast<size_t>(len) + 1, '\0');
            rc = SQLGetDiagRec(type, h, i, state, &native, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLSMALLINT>(text.size()), &len);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        text.resize(static_cast<size_t>(std::max<SQLSMALLINT>(0, len)));
        out.push_back({static_cast<int>(native), StripPrefixes(text), reinterpret_cast<char*>(state)});
    }
    return out;
}

bool IsLinkFailure(const TDbErrorItem& e) {
    return e.SqlState == "08S01" || e.SqlState == "08S02" || e.SqlState == "08003" || e.SqlState == "08007" || e.Number == 20017 ||
           e.Number == 20004 || e.Number == 20006 || e.Number == 20047;
}

bool IsInfo(const TDbErrorItem& e) { return e.SqlState.rfind("01", 0) == 0 && !IsLinkFailure(e); }

std::string OdbcValue(const std::string& value, const char* what) {
    // The driver ends a braced value at the first "};", so a value holding it cannot be passed.
    if (value.find("};") != std::string::npos)
        throw EDbError(NbFormat("The %s contains the characters \"};\", which the ODBC driver cannot accept.", what));
    if (value.find('\0') != std::string::npos) throw EDbError(NbFormat("The %s contains a NUL character.", what));
    return "{" + value + "}";
}

std::string Trim(std::string s) {
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.pop_back();
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= 32) ++i;
    return s.substr(i);
}

}  // namespace

// ---------------------------------------------------------------- connection strings

TDbConnectionParams ParseOleDbConnectionString(const std::string& text) {
    TDbConnectionParams p;
    // The dialog's layout: Provider=SQLOLEDB.1;<auth>Data Source=<server>;Initial Catalog=<db>;...
    // A password is taken up to the last ";Data Source=", so ";" inside it stays in it.
    const std::string kUser = "User ID=", kPassword = ";Password=", kSource = "Data Source=", kCatalog = ";Initial Catalog=";
    size_t sourceAt = text.rfind(";" + kSource);
    const size_t userAt = text.find(kUser);
    if (userAt != std::string::npos && sourceAt != std::string::npos && userAt < sourceAt) {
        const size_t pwAt = text.find(kPassword, userAt);
        if (pwAt != std::string::npos && pwAt < sourceAt) {
            p.UserId = text.substr(userAt + kUser.size(), pwAt - userAt - kUser.size());
            p.Password = text.substr(pwAt + kPassword.size(), sourceAt - pwAt - kPassword.size());
        }
    }
    if (text.find("Integrated Security=SSPI") != std::string::npos && p.UserId.empty()) p.IntegratedSecurity = true;
    if (sourceAt == std::string::npos && text.rfind(kSource, 0) == 0) sourceAt = static_cast<size_t>(-1);
    if (sourceAt != std::string::npos) {
        const size_t start = sourceAt + 1 + kSource.size();
        size_t end = text.find(kCatalog, start);
        if (end == std::string::npos) end = text.find(';', start);
        p.Server = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos && text.compare(end, kCatalog.size(), kCatalog) == 0) {
            const size_t dbStart = end + kCatalog.size();
            const size_t dbEnd = text.find(';', dbStart);
            p.Database = text.substr(dbStart, dbEnd == std::string::npos ? std::string::npos : dbEnd - dbStart);
        }
    }
    return p;
}

std::string BuildOdbcConnectionString(const TDbConnectionParams& p, const std::string& driver) {
    // Server text: "host", "host,port" or "host\instance".
    std::string host = Trim(p.Server), port, instance;
    const size_t comma = host.find(',');
    if (comma != std::string::npos) {
        port = Trim(host.substr(comma + 1));
        host = Trim(host.substr(0, comma));
    }
    const size_t slash = host.find('\\');
    if (slash != std::string::npos) {
        instance = host.substr(slash + 1);
        host = host.substr(0, slash);
    }
    if (host == "." || host == "(local)") host = "localhost";
    std::string cs = "Driver=" + OdbcValue(driver, "driver name") + ";Server=" + OdbcValue(host, "server name") + ";";
    if (!port.empty()) cs += "Port=" + OdbcValue(port, "port") + ";";
    else if (!instance.empty()) cs += "Instance=" + OdbcValue(instance, "instance name") + ";";
    else cs += "Port={1433};";
    if (p.IntegratedSecurity) {
        cs += "Trusted_Connection={yes};";
    } else {
        cs += "UID=" + OdbcValue(p.UserId, "login") + ";PWD=" + OdbcValue(p.Password, "password") + ";";
    }
    if (!p.Database.empty()) cs += "Database=" + OdbcValue(p.Database, "database name") + ";";
    cs += "TDS_Version={7.4};ClientCharset={UTF-8};";
    return cs;
}

// ---------------------------------------------------------------- connection

TDbConnection::TDbConnection() {
    const char* d = std::getenv("TOLVAN_ODBC_DRIVER");
    Driver = d && *d ? d : "FreeTDS";
}

TDbConnection::~TDbConnection() { Close(); }

bool TDbConnection::Connected() const { return open_; }

void TDbConnection::SetErrors(std::vector<TDbErrorItem> items) {
    std::lock_guard<std::mutex> lock(errorsMutex_);
    errors_ = std::move(items);
}

void TDbConnection::AddMessages(const std::vector<TDbErrorItem>& items) {
    if (items.empty()) return;
    {
        std::lock_guard<std::mutex> lock(errorsMutex_);
        errors_.insert(errors_.end(), items.begin(), items.end());
    }
    for (const auto& d : items)
        if (IsInfo(d)) {
            if (OnInfoMessage) OnInfoMessage(d);
            break;
        }
}

std::vector<TDbErrorItem> TDbConnection::Errors() const {
    std::lock_guard<std::mutex> lock(errorsMutex_);
    return errors_;
}

void TDbConnection::Open() {
    Close();
    const std::string cs = BuildOdbcConnectionString(ParseOleDbConnectionString(ConnectionString), Driver);
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(ConnectionTimeout)), 0);
    const SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(cs.c_str())), SQL_NTS, nullptr, 0, nullptr,
                                          SQL_DRIVER_NOPROMPT);
    std::vector<TDbErrorItem> diags = Diagnostics(SQL_HANDLE_DBC, dbc);
    if (!SQL_SUCCEEDED(rc)) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        // The server's own words first (a wrong password), else the driver's.
        std::string message = "Cannot connect to the server.";
        for (const auto& d : diags)
            if (d.Number >= 50 && d.Number < 20000) {
                message = d.Description;
                break;
            }
        if (message == "Cannot connect to the server." && !diags.empty()) {
            message = diags[0].Description;
            for (const auto& d : diags)
                if (d.SqlState != "S1000" && d.SqlState != "HY000") message = d.Description;
        }
        SetErrors(std::move(diags));
        throw EDbError(message);
    }
    env_ = env;
    dbc_ = dbc;
    open_ = true;
    SetErrors(std::move(diags));
}

void TDbConnection::Close() {
    if (dbc_) {
        if (open_) SQLDisconnect(static_cast<SQLHDBC>(dbc_));
        SQLFreeHandle(SQL_HANDLE_DBC, static_cast<SQLHDBC>(dbc_));
    }
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, static_cast<SQLHENV>(env_));
    dbc_ = env_ = nullptr;
    open_ = false;
}

// ---------------------------------------------------------------- statements

class TDbStatement {
public:
    explicit TDbStatement(TDbConnection& db) : db_(&db) {
        if (!db.open_) throw EDbError("The connection is closed.");
        SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(db.dbc_), &h_);
        SQLSetStmtAttr(h_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(db.CommandTimeout)), 0);
    }
    ~TDbStatement() {
        if (h_) {
            SQLFreeStmt(h_, SQL_CLOSE);
            SQLFreeHandle(SQL_HANDLE_STMT, h_);
        }
    }
    TDbStatement(const TDbStatement&) = delete;
    TDbStatement& operator=(const TDbStatement&) = delete;

    SQLHSTMT Handle() const { return h_; }
    TDbConnection& Db() const { return *db_; }

    // Reads the diagnostics of a call into the connection's errors collection, raises the info
    // events, and turns a failure into an exception.
    void Check(SQLRETURN rc) {
        std::vector<TDbErrorItem> diags = Diagnostics(SQL_HANDLE_STMT, h_);
        db_->SetErrors(diags);
        for (const auto& d : diags)
            if (IsLinkFailure(d)) throw EDbError(kConnectionFailure);
        // One informational event per operation, carrying its first message, as the errors
        // collection holds them all.
        if (rc == SQL_SUCCESS_WITH_INFO || rc == SQL_ERROR || rc == SQL_NO_DATA)
            for (const auto& d : diags)
                if (IsInfo(d)) {
                    if (db_->OnInfoMessage) db_->OnInfoMessage(d);
                    break;
                }
        if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) {
            for (const auto& d : diags)
                if (!IsInfo(d)) throw EDbError(d.Description);
            throw EDbError(diags.empty() ? std::string("The statement failed.") : diags[0].Description);
        }
    }

    // Makes a recordset of the current result.
    std::unique_ptr<TDbRecordset> Current(std::shared_ptr<TDbStatement> self) {
        std::unique_ptr<TDbRecordset> r(new TDbRecordset(std::move(self)));
        SQLSMALLINT cols = 0;
        SQLNumResultCols(h_, &cols);
        if (cols > 0) {
            r->open_ = true;
            r->data_ = std::make_unique<TDbDataSet>();
            DbFetchInto(*db_, h_, *r->data_);
        } else {
            SQLLEN count = -1;
            SQLRowCount(h_, &count);
            r->rowsAffected_ = count;
        }
        return r;
    }

private:
    TDbConnection* db_;
    SQLHSTMT h_ = SQL_NULL_HSTMT;
};

TDbRecordset::TDbRecordset(std::shared_ptr<TDbStatement> stmt) : stmt_(std::move(stmt)) {}
TDbRecordset::~TDbRecordset() = default;

std::unique_ptr<TDbRecordset> TDbRecordset::NextRecordset() {
    if (!stmt_) return nullptr;
    const SQLRETURN rc = SQLMoreResults(stmt_->Handle());
    stmt_->Check(rc);
    if (rc == SQL_NO_DATA) return nullptr;
    return stmt_->Current(stmt_);
}

namespace {

std::unique_ptr<TDbRecordset> Run(TDbConnection& db, const std::string& sql, bool query) {
    auto stmt = std::make_shared<TDbStatement>(db);
    const SQLRETURN rc = SQLExecDirect(stmt->Handle(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), static_cast<SQLINTEGER>(sql.size()));
    stmt->Check(rc);
    if (rc == SQL_NO_DATA) {
        if (query) throw EDbError(kNoResultSet);
        std::unique_ptr<TDbRecordset> r = stmt->Current(stmt);
        return r;
    }
    std::unique_ptr<TDbRecordset> r = stmt->Current(stmt);
    if (query && !r->IsOpen()) throw EDbError(kNoResultSet);
    return r;
}

}  // namespace

std::unique_ptr<TDbRecordset> DbExecuteCommand(TDbConnection& db, const std::string& sql) { return Run(db, sql, false); }
std::unique_ptr<TDbRecordset> DbOpenQuery(TDbConnection& db, const std::string& sql, bool allowNoRows) { return Run(db, sql, !allowNoRows); }

void TDbConnection::Execute(const std::string& sql) {
    auto stmt = std::make_shared<TDbStatement>(*this);
    SQLRETURN rc = SQLExecDirect(stmt->Handle(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), static_cast<SQLINTEGER>(sql.size()));
    stmt->Check(rc);
    // Results are not read; later messages and errors still count.
    while (rc != SQL_NO_DATA) {
        rc = SQLMoreResults(stmt->Handle());
        stmt->Check(rc);
    }
}

// ---------------------------------------------------------------- fetching

namespace {

struct ColumnPlan {
    int fieldIndex = -1;  // -1: left out
    SQLSMALLINT sqlType = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    int fieldType = 0;
    SQLSMALLINT cType = 0;
    size_t width = 0;  // bytes per row in the bound buffer
    bool bound = false;
    std::vector<char> buffer;
    std::vector<SQLLEN> ind;
};

std::string TypeName(SQLHSTMT h, SQLUSMALLINT col) {
    char name[128] = {0};
    SQLSMALLINT len = 0;
    SQLColAttribute(h, col, SQL_DESC_TYPE_NAME, name, sizeof name, &len, nullptr);
    std::string s(name);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The field type of the dataset over the recordset, with the declared size to store.
int FieldTypeFor(SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits, const std::string& typeName, bool identity, int& declared) {
    declared = 0;
    switch (type) {
    case SQL_TINYINT: return ftWord;
    case SQL_SMALLINT: return ftSmallint;
    case SQL_INTEGER: return identity ? ftAutoInc : ftInteger;
    case SQL_BIGINT: return ftLargeint;
    case SQL_BIT: return ftBoolean;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return ftFloat;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
        if (typeName == "money" || typeName == "smallmoney") {
            declared = 4;
            return ftBCD;
        }
        if (digits == 0 && size < 10) return ftInteger;
        declared = digits;
        return digits <= 4 && size <= 18 ? ftBCD : ftFMTBcd;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        if (typeName == "datetime2") {
            declared = digits;
            return ftTimeStamp;
        }
        return ftDateTime;
    case SQL_TYPE_DATE:
    case SQL_DATE: return ftDate;
    case SQL_SS_TIME2:
        declared = 16;
        return ftString;
    case SQL_SS_TIMESTAMPOFFSET:
        declared = 34;
        return ftString;
    case SQL_CHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftMemo : ftFixedChar;
    case SQL_VARCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftMemo : ftString;
    case SQL_WCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftWideMemo : ftFixedWideChar;
    case SQL_WVARCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftWideMemo : ftWideString;
    case SQL_LONGVARCHAR: return ftMemo;
    case SQL_WLONGVARCHAR: return ftWideMemo;
    case SQL_BINARY:
        declared = static_cast<int>(size);
        return size == 0 ? ftBlob : ftBytes;
    case SQL_VARBINARY:
        declared = static_cast<int>(size);
        return size == 0 ? ftBlob : ftVarBytes;
    case SQL_LONGVARBINARY: return ftBlob;
    case SQL_GUID:
        declared = 38;
        return ftGuid;
    case SQL_SS_VARIANT: return ftVariant;
    case SQL_SS_XML: return ftMemo;
    default: return -1;
    }
}

// Unique field names: an empty name becomes COLUMN<n>, a repeated one <name>_<n>.
std::string UniqueName(const std::string& name, const std::vector<std::string>& taken) {
    auto isTaken = [&](const std::string& n) {
        std::string u = n;
        for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const auto& t : taken) {
            std::string v = t;
            for (char& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (u == v) return true;
        }
        return false;
    };
    if (!name.empty() && !isTaken(name)) return name;
    for (int n = 1;; ++n) {
        const std::string candidate = name.empty() ? NbFormat("COLUMN%d", n) : NbFormat("%s_%d", name, n);
        if (!isTaken(candidate)) return candidate;
    }
}

std::string ReadLob(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT cType, bool& isNull) {
    std::string out;
    char buf[16384];
    isNull = false;
    for (;;) {
        SQLLEN ind = 0;
        const SQLRETURN rc = SQLGetData(h, col, cType, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            std::vector<TDbErrorItem> diags = Diagnostics(SQL_HANDLE_STMT, h);
            for (const auto& d : diags)
                if (IsLinkFailure(d)) throw EDbError(kConnectionFailure);
            throw EDbError(diags.empty() ? std::string("Reading a value failed.") : diags[0].Description);
        }
        if (ind == SQL_NULL_DATA) {
            isNull = true;
            return {};
        }
        const size_t cap = cType == SQL_C_CHAR ? sizeof buf - 1 : sizeof buf;
        const size_t got = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) > cap) ? cap : static_cast<size_t>(ind);
        out.append(buf, got);
        if (rc == SQL_SUCCESS) break;
    }
    return out;
}

void StoreText(TField& f, int fieldType, std::string_view text) {
    if (fieldType == ftGuid) {
        std::string g = "{";
        for (char c : text) g += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        g += "}";
        f.SetAsText(g);
        return;
    }
    if (fieldType == ftBCD) {
        // The driver writes plain "-123.4500": read it straight into value x 10000.
        std::int64_t units = 0;
        size_t i = 0;
        const bool negative = !text.empty() && text[0] == '-';
        if (negative) ++i;
        int frac = -1;
        bool plain = i < text.size() && text.size() - i <= 19;
        for (; plain && i < text.size(); ++i) {
            const char c = text[i];
            if (c == '.' && frac < 0) {
                frac = 0;
            } else if (c >= '0' && c <= '9') {
                if (frac >= 4) {
                    plain = false;  // more than 4 decimals: round through the general path
                    break;
                }
                units = units * 10 + (c - '0');
                if (frac >= 0) ++frac;
            } else {
                plain = false;
            }
        }
        if (plain) {
            for (int k = frac < 0 ? 0 : frac; k < 4; ++k) units *= 10;
            f.SetAsCurrency(negative ? -units : units);
            return;
        }
        auto d = TextToDecimal(text, 4);
        if (d) f.SetAsCurrency(static_cast<std::int64_t>(*d));
        else f.SetValueText(text);
        return;
    }
    if (fieldType == ftFMTBcd) {
        auto d = TextToDecimal(text, f.Size());
        if (d) f.SetAsVariant(TMemVariant::FromDecimal(*d, f.Size()));
        else f.SetValueText(text);
        return;
    }
    if (fieldType == ftInteger || fieldType == ftLargeint || fieldType == ftSmallint || fieldType == ftWord || fieldType == ftAutoInc) {
        // numeric(p, 0) read as text
        auto i = TextToInt(text);
        if (i) f.SetAsLargeInt(*i);
        else f.SetValueText(text);
        return;
    }
    f.SetAsText(text);
}

}  // namespace

void DbFetchInto(TDbConnection& db, void* hstmtPtr, TMemDataSet& target) {
    SQLHSTMT h = static_cast<SQLHSTMT>(hstmtPtr);
    SQLSMALLINT ncols = 0;
    SQLNumResultCols(h, &ncols);
    std::vector<ColumnPlan> plan(static_cast<size_t>(ncols));
    std::vector<std::string> names;
    bool anyLob = false;
    target.ClearLayout();
    for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
        ColumnPlan& p = plan[c - 1u];
        char name[512] = {0};
        SQLSMALLINT nameLen = 0, nullable = 0;
        SQLDescribeCol(h, c, reinterpret_cast<SQLCHAR*>(name), sizeof name, &nameLen, &p.sqlType, &p.size, &p.digits, &nullable);
        SQLLEN autoUnique = SQL_FALSE;
        SQLColAttribute(h, c, SQL_DESC_AUTO_UNIQUE_VALUE, nullptr, 0, nullptr, &autoUnique);
        int declared = 0;
        p.fieldType = FieldTypeFor(p.sqlType, p.size, p.digits, TypeName(h, c), autoUnique == SQL_TRUE, declared);
        if (p.fieldType < 0) continue;  // a column type the dataset cannot hold is left out
        const std::string unique = UniqueName(name, names);
        names.push_back(unique);
        p.fieldIndex = static_cast<int>(names.size()) - 1;
        target.DefineField(unique, p.fieldType, declared);
        switch (p.fieldType) {
        case ftWord:
        case ftSmallint:
        case ftInteger:
        case ftAutoInc:
        case ftLargeint:
        case ftBoolean:
            p.cType = SQL_C_SBIGINT;
            p.width = sizeof(std::int64_t);
            break;
        case ftFloat:
            p.cType = SQL_C_DOUBLE;
            p.width = sizeof(double);
            break;
        case ftDateTime:
        case ftTimeStamp:
            p.cType = SQL_C_TYPE_TIMESTAMP;
            p.width = sizeof(SQL_TIMESTAMP_STRUCT);
            break;
        case ftDate:
            p.cType = SQL_C_TYPE_DATE;
            p.width = sizeof(SQL_DATE_STRUCT);
            break;
        case ftBCD:
        case ftFMTBcd:
            p.cType = SQL_C_CHAR;
            p.width = 48;
            break;
        case ftGuid:
            p.cType = SQL_C_CHAR;
            p.width = 40;
            break;
        case ftBytes:
        case ftVarBytes:
            p.cType = SQL_C_BINARY;
            p.width = p.size;
            break;
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftFixedWideChar:
            p.cType = SQL_C_CHAR;
            // UTF-8 takes up to 4 bytes a character.
            p.width = std::max<size_t>(p.sqlType == SQL_SS_TIME2 || p.sqlType == SQL_SS_TIMESTAMPOFFSET ? 64 : 0, 4 * static_cast<size_t>(p.size) + 1);
            break;
        default:
            p.cType = (p.fieldType == ftBlob) ? SQL_C_BINARY : SQL_C_CHAR;
            p.width = 0;
            anyLob = true;
            break;
        }
        if (p.width > 65536) {
            anyLob = true;
        }
    }
    target.Open();
    target.SuspendControls();
    target.Indexes().SetUpkeep(false);
    std::vector<TField*> fields;
    for (int i = 0; i < target.FieldCount(); ++i) fields.push_back(&target.Field(i));
    auto finish = [&] {
        SQLFreeStmt(h, SQL_UNBIND);
        SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(1)), 0);
        target.RebuildNaturalIndex();
        target.Indexes().SetUpkeep(true);
        target.MoveFirst();
        target.ResumeControls();
    };
    auto fetchError = [&](SQLRETURN rc) -> std::exception_ptr {
        if (SQL_SUCCEEDED(rc) && rc != SQL_SUCCESS_WITH_INFO) return nullptr;
        std::vector<TDbErrorItem> diags = Diagnostics(SQL_HANDLE_STMT, h);
        for (const auto& d : diags)
            if (IsLinkFailure(d)) return std::make_exception_ptr(EDbError(kConnectionFailure));
        if (!SQL_SUCCEEDED(rc)) return std::make_exception_ptr(EDbError(diags.empty() ? std::string("Fetching rows failed.") : diags[0].Description));
        db.AddMessages(diags);  // messages read ahead with the rows
        return nullptr;
    };
    // One value of a bound cell into its field.
    auto storeCell = [&](const ColumnPlan& p, TField& f, const char* cell, SQLLEN ind) {
        switch (p.cType) {
        case SQL_C_SBIGINT: {
            std::int64_t v;
            std::memcpy(&v, cell, sizeof v);
            if (p.fieldType == ftBoolean) f.SetAsBoolean(v != 0);
            else f.SetAsLargeInt(v);
            break;
        }
        case SQL_C_DOUBLE: {
            double v;
            std::memcpy(&v, cell, sizeof v);
            f.SetAsFloat(v);
            break;
        }
        case SQL_C_TYPE_TIMESTAMP: {
            SQL_TIMESTAMP_STRUCT ts;
            std::memcpy(&ts, cell, sizeof ts);
            TDateTime d = 0, t = 0;
            TryEncodeDate(ts.year, ts.month, ts.day, d);
            if (p.fieldType == ftTimeStamp) {
                const std::int64_t nanos = ((ts.hour * 60LL + ts.minute) * 60LL + ts.second) * 1000000000LL + ts.fraction;
                f.SetAsVariant(TMemVariant::FromTimeStamp(static_cast<std::int64_t>(d), nanos));
            } else {
                TryEncodeTime(ts.hour, ts.minute, ts.second, static_cast<int>((ts.fraction + 500000) / 1000000 % 1000), t);
                f.SetAsDateTime(d + t);
            }
            break;
        }
        case SQL_C_TYPE_DATE: {
            SQL_DATE_STRUCT ds;
            std::memcpy(&ds, cell, sizeof ds);
            TDateTime d = 0;
            TryEncodeDate(ds.year, ds.month, ds.day, d);
            f.SetAsDateTime(d);
            break;
        }
        default: {
            size_t len = ind == SQL_NO_TOTAL ? p.width : static_cast<size_t>(ind);
            if (p.cType == SQL_C_CHAR && len >= p.width) len = p.width - 1;
            if (p.cType == SQL_C_BINARY && len > p.width) len = p.width;
            StoreText(f, p.fieldType, std::string_view(cell, len));
        }
        }
    };

    if (anyLob) {
        // A large value is read piece by piece: one row per fetch, every column through SQLGetData.
        try {
            for (;;) {
                const SQLRETURN rc = SQLFetch(h);
                if (rc == SQL_NO_DATA) break;
                if (std::exception_ptr e = fetchError(rc)) std::rethrow_exception(e);
                target.AppendRow();
                for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
                    ColumnPlan& p = plan[c - 1u];
                    if (p.fieldIndex < 0) continue;
                    TField& f = *fields[static_cast<size_t>(p.fieldIndex)];
                    bool isNull = false;
                    SQLSMALLINT cType = p.cType;
                    if (cType == SQL_C_SBIGINT || cType == SQL_C_DOUBLE || cType == SQL_C_TYPE_TIMESTAMP || cType == SQL_C_TYPE_DATE) cType = SQL_C_CHAR;
                    const std::string v = ReadLob(h, c, cType, isNull);
                    if (isNull) continue;
                    if (p.fieldType == ftDateTime || p.fieldType == ftTimeStamp || p.fieldType == ftDate || p.fieldType == ftFloat ||
                        p.fieldType == ftBoolean) {
                        // Text forms read with the fixed formats the driver writes.
                        TFormatSettingsSwap swap("yyyy-mm-dd", "-");
                        if (p.fieldType == ftBoolean) f.SetAsBoolean(v == "1");
                        else if (p.fieldType == ftFloat) f.SetAsFloat(std::strtod(v.c_str(), nullptr));
                        else f.SetValueText(v.substr(0, p.fieldType == ftTimeStamp ? std::string::npos : 23));
                    } else {
                        StoreText(f, p.fieldType, v);
                    }
                }
                target.PostRow();
            }
        } catch (...) {
            if (target.State() == TDataSetState::Insert) target.CancelRow();
            finish();
            throw;
        }
        finish();
        return;
    }

    // Bound columns and a row array of 512 rows per fetch.
    constexpr SQLULEN kRows = 512;
    SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
    for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
        ColumnPlan& p = plan[c - 1u];
        if (p.fieldIndex < 0) continue;
        p.buffer.assign(p.width * kRows, 0);
        p.ind.assign(kRows, 0);
        SQLBindCol(h, c, p.cType, p.buffer.data(), static_cast<SQLLEN>(p.width), p.ind.data());
        p.bound = true;
    }
    SQLULEN fetched = 0;
    std::vector<SQLUSMALLINT> status(kRows);
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, status.data(), 0);
    try {
        for (;;) {
            const SQLRETURN rc = SQLFetch(h);
            if (rc == SQL_NO_DATA) {
                db.AddMessages(Diagnostics(SQL_HANDLE_STMT, h));
                break;
            }
            if (std::exception_ptr e = fetchError(rc)) std::rethrow_exception(e);
            for (SQLULEN r = 0; r < fetched; ++r) {
                if (status[r] == SQL_ROW_ERROR || status[r] == SQL_ROW_NOROW) continue;
                target.AppendRow();
                for (const ColumnPlan& p : plan) {
                    if (p.fieldIndex < 0) continue;
                    const SQLLEN ind = p.ind[r];
                    if (ind == SQL_NULL_DATA) continue;
                    storeCell(p, *fields[static_cast<size_t>(p.fieldIndex)], p.buffer.data() + r * p.width, ind);
                }
                target.PostRow();
            }
            // A short block ends the result. Fetching again would make the driver read on into
            // the batch's next tokens and swallow the messages that follow this result.
            if (fetched < kRows) break;
        }
    } catch (...) {
        if (target.State() == TDataSetState::Insert) target.CancelRow();
        finish();
        throw;
    }
    finish();
}
