#include "uDbAccess.h"

#include "uDbOdbc.h"
#include "uDbTls.h"
#include "uNbFormat.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

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
    bool raiseEvent = true;
    {
        std::lock_guard<std::mutex> lock(errorsMutex_);
        for (const auto& d : errors_)
            if (IsInfo(d)) raiseEvent = false;
        errors_.insert(errors_.end(), items.begin(), items.end());
    }
    // One informational event per operation: raised here only when the operation has not raised
    // it already (a second event would make the run loop print a message twice).
    if (!raiseEvent || !OnInfoMessage) return;
    for (const auto& d : items)
        if (IsInfo(d)) {
            OnInfoMessage(d);
            break;
        }
}

namespace {

// Whether the thread sits in poll(2) (or its kin): where the driver waits for the server's bytes.
// Anywhere else in the driver (sending the request, working through bytes already read) a cancel
// from another thread would make the driver write over the request being sent, or leave the
// thread asleep until the command timeout. Unknown: assume it waits.
bool ThreadWaitsForTheServer(long tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/syscall", tid);
    FILE* f = std::fopen(path, "r");
    if (!f) return true;
    char word[32] = {0};
    const int n = std::fscanf(f, "%31s", word);
    std::fclose(f);
    if (n != 1) return true;
    char* end = nullptr;
    const long nr = std::strtol(word, &end, 10);
    if (end == word) return false;  // "running": on a processor, not in a system call
    return nr == SYS_poll || nr == SYS_ppoll || nr == SYS_select || nr == SYS_pselect6;
}

}  // namespace

void TDbConnection::Cancel() {
    cancelRequested_.store(true, std::memory_order_release);
    // Only while the statement's thread waits inside the driver for the server is the driver asked
    // from here: it then notes the cancel and wakes that thread, which sends the attention and
    // reads the acknowledgement. Under the lock the thread cannot leave its call meanwhile; when it
    // is busy in the driver, this asks again a moment later (it soon waits again, or leaves the
    // call and stops by itself: a fetching thread checks between two blocks of rows, CancelPending).
    for (int attempt = 0; attempt < 1000; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(activeMutex_);
            if (!waitingStmt_) return;
            if (ThreadWaitsForTheServer(waitingTid_)) {
                SQLCancel(static_cast<SQLHSTMT>(waitingStmt_));
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool TDbConnection::CancelPending(void* hstmt) {
    if (!CancelRequested()) return false;
    SQLCancel(static_cast<SQLHSTMT>(hstmt));  // on the statement's own thread: sends the attention, reads to its acknowledgement
    return true;
}

void TDbConnection::EnterServerWait(void* hstmt) {
    std::lock_guard<std::mutex> lock(activeMutex_);
    waitingStmt_ = hstmt;
    // Asked once per thread: a script of many short batches waits thousands of times.
    static thread_local const long tid = static_cast<long>(::gettid());
    waitingTid_ = tid;
}

void TDbConnection::LeaveServerWait() {
    std::lock_guard<std::mutex> lock(activeMutex_);
    waitingStmt_ = nullptr;
}

std::vector<TDbErrorItem> TDbConnection::Errors() const {
    std::lock_guard<std::mutex> lock(errorsMutex_);
    return errors_;
}

void TDbConnection::Open() {
    Close();
    const TDbConnectionParams params = ParseOleDbConnectionString(ConnectionString);
    // FreeTDS checks the certificate only when told where the trusted certificates are.
    std::unique_ptr<TFreeTdsCertificateCheck> check;
    if (params.Encrypt && !params.TrustServerCertificate && !IsMicrosoftOdbcDriver(Driver))
        check = std::make_unique<TFreeTdsCertificateCheck>(params);
    const std::string cs = BuildOdbcConnectionString(params, Driver, check ? TFreeTdsCertificateCheck::Section : "");
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(ConnectionTimeout)), 0);
    // The wide entry point: the driver takes UTF-16 as it is, where the byte form would be read in
    // a client character set of the driver's choosing (a non-ASCII login or password failed).
    std::u16string wide;
    try {
        wide = ToUtf16(cs, "connection string");
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        throw;
    }
    const SQLRETURN rc =
        SQLDriverConnectW(dbc, nullptr, WideArg(wide), static_cast<SQLSMALLINT>(wide.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
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
        const bool serverWords = message != "Cannot connect to the server.";
        if (!serverWords && !diags.empty()) {
            message = diags[0].Description;
            for (const auto& d : diags)
                if (d.SqlState != "S1000" && d.SqlState != "HY000") message = d.Description;
        }
        // The driver's words say nothing of encryption: name the server and the reason.
        if (!serverWords && params.Encrypt) {
            const std::string problem = DbEncryptionProblem(params.Server);
            if (problem == "the server does not offer encryption")
                message = NbFormat("The server %s does not offer encryption, and the connection asked for it.", params.Server);
            else if (!problem.empty() && !params.TrustServerCertificate)
                message = NbFormat(
                    "The certificate of the server %s could not be verified: %s. Trust the server certificate only if you know the "
                    "server.",
                    params.Server, problem);
        }
        SetErrors(std::move(diags));
        throw EDbError(message);
    }
    env_ = env;
    dbc_ = dbc;
    driverDiag_ = DriverDiagnosticsFor(dbc);
    open_ = true;
    SetErrors(std::move(diags));
}

void TDbConnection::Close() {
    if (dbc_) {
        if (open_) SQLDisconnect(static_cast<SQLHDBC>(dbc_));
        SQLFreeHandle(SQL_HANDLE_DBC, static_cast<SQLHDBC>(dbc_));
    }
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, static_cast<SQLHENV>(env_));
    dbc_ = env_ = driverDiag_ = nullptr;
    open_ = false;
}

std::vector<TDbErrorItem> TDbConnection::StatementDiagnostics(void* hstmt) const {
    return Diagnostics(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(hstmt), static_cast<SQLHDBC>(dbc_), driverDiag_);
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

    // Sends a batch through the wide entry point (UTF-16 reaches the server without a lossy
    // conversion). An empty batch is sent as one space: the driver refuses a zero-length text.
    SQLRETURN ExecDirect(const std::string& sql) {
        std::u16string wide = sql.empty() ? std::u16string(u" ") : ToUtf16(sql, "SQL text");
        TServerWait wait(*db_, h_);
        if (db_->CancelRequested()) throw EDbCancelled(kCancelledByUser);  // cancelled before it was sent
        return SQLExecDirectW(h_, WideArg(wide), static_cast<SQLINTEGER>(wide.size()));
    }
    // The batch's next result: the server may run long statements before it.
    SQLRETURN MoreResults() {
        TServerWait wait(*db_, h_);
        if (db_->CancelRequested()) throw EDbCancelled(kCancelledByUser);
        return SQLMoreResults(h_);
    }
    TDbConnection& Db() const { return *db_; }
    void SetErrors(std::vector<TDbErrorItem> items) { db_->SetErrors(std::move(items)); }

    // Reads the diagnostics of a call into the connection's errors collection, raises the info
    // events, and turns a failure into an exception.
    void Check(SQLRETURN rc) {
        std::vector<TDbErrorItem> diags = db_->StatementDiagnostics(h_);
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
            // Whatever the driver reports for a statement it was asked to stop (its own "cancelled",
            // or a statement already closed by the cancel), the caller learns of the cancel.
            if (db_->CancelRequested()) throw EDbCancelled(kCancelledByUser);
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
            r->cut_ = DbFetchInto(*db_, h_, *r->data_);
            // The rows are a fetched copy that nothing writes back to the server: not open to changes.
            r->data_->SetReadOnly(true);
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
    const SQLRETURN rc = stmt_->MoreResults();
    stmt_->Check(rc);
    if (rc == SQL_NO_DATA) return nullptr;
    return stmt_->Current(stmt_);
}

namespace {

std::unique_ptr<TDbRecordset> Run(TDbConnection& db, const std::string& sql, bool query) {
    auto stmt = std::make_shared<TDbStatement>(db);
    const SQLRETURN rc = stmt->ExecDirect(sql);
    stmt->Check(rc);
    if (rc == SQL_NO_DATA) {
        if (query) throw EDbError(kNoResultSet);
        std::unique_ptr<TDbRecordset> r = stmt->Current(stmt);
        return r;
    }
    std::unique_ptr<TDbRecordset> r = stmt->Current(stmt);
    if (query) {
        // A PRINT or SET before the query ends on its own, without rows or a count: the query's
        // rows are the first result, and the messages before them stay in the errors collection.
        std::vector<TDbErrorItem> messages = db.Errors();
        while (r && !r->IsOpen() && r->RecordsAffected() < 0) {
            r = r->NextRecordset();
            const std::vector<TDbErrorItem> more = db.Errors();
            messages.insert(messages.end(), more.begin(), more.end());
        }
        stmt->SetErrors(std::move(messages));
        if (!r || !r->IsOpen()) throw EDbError(kNoResultSet);
    }
    return r;
}

}  // namespace

std::unique_ptr<TDbRecordset> DbExecuteCommand(TDbConnection& db, const std::string& sql) { return Run(db, sql, false); }
std::unique_ptr<TDbRecordset> DbOpenQuery(TDbConnection& db, const std::string& sql, bool allowNoRows) {
    return Run(db, sql, !allowNoRows);
}

void TDbConnection::Execute(const std::string& sql) {
    auto stmt = std::make_shared<TDbStatement>(*this);
    SQLRETURN rc = stmt->ExecDirect(sql);
    stmt->Check(rc);
    // Results are not read; later messages and errors still count.
    while (rc != SQL_NO_DATA) {
        rc = stmt->MoreResults();
        stmt->Check(rc);
    }
}
