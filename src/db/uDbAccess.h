// The database access layer: one connection, commands and queries, recordsets and the errors
// collection, over ODBC (unixODBC with the FreeTDS driver by default).
#pragma once

#include "uMemDataSet.h"
#include "uNbExceptions.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A failure reported by the driver or the server; the message reads like the server's own text.
NB_DECLARE_EXCEPTION(EDbError, Exception);
// The statement was stopped at the user's request (TDbConnection::Cancel).
NB_DECLARE_EXCEPTION(EDbCancelled, EDbError);

inline constexpr const char* kConnectionFailure = "Connection failure";
inline constexpr const char* kNoResultSet = "CommandText does not return a result set";
inline constexpr const char* kCancelledByUser = "Query cancelled by user.";

struct TDbErrorItem {
    int Number = 0;           // the server's native error number
    std::string Description;  // without the driver manager's and driver's bracketed prefixes
    std::string SqlState;
    int Severity = -1;  // the server's severity (class) where the driver gives it, else -1
};

enum TCursorLocation { clUseServer = 2, clUseClient = 3 };

// What an OLE DB connection string of the connection dialog says.
struct TDbConnectionParams {
    std::string Server;  // "host", "host,port" or "host\instance"
    std::string UserId;
    std::string Password;
    bool IntegratedSecurity = false;
    std::string Database;
    // TLS for the whole connection; and whether a certificate that does not verify is accepted.
    bool Encrypt = false;
    bool TrustServerCertificate = false;
};

// Reads "Provider=SQLOLEDB.1;User ID=..;Password=..;Data Source=..;Initial Catalog=..;..." as the
// dialog builds it. A password may hold ";" or "}": the known layout of the string tells where it ends.
TDbConnectionParams ParseOleDbConnectionString(const std::string& text);
// The OLE DB connection string of the parameters, as the connection dialog builds it: a login that
// holds ";" or starts with a quote is quoted (double quotes, a quote doubled); the password is
// taken up to the last ";Data Source=" when read back. No database gives master.
std::string OleDbConnectionString(const TDbConnectionParams& p);
// The statement that makes a database current: the name in brackets, "]" doubled.
std::string UseDatabaseStatement(const std::string& database);
// The ODBC connection string for a driver; every value brace-quoted. Throws EDbError for a value
// the driver cannot take safely.
// A driver named like Microsoft's takes Encrypt/TrustServerCertificate, FreeTDS Encryption; FreeTDS
// checks a certificate only with a configuration section (serverSection, which then stands for
// the server, port and instance).
std::string BuildOdbcConnectionString(const TDbConnectionParams& p, const std::string& driver, const std::string& serverSection = "");
// Whether the driver's name is one of Microsoft's ODBC drivers for SQL Server.
bool IsMicrosoftOdbcDriver(const std::string& driver);
// Why an encrypted connection to the server ("host", "host,port") fails before the login: the
// server does not offer encryption, or its certificate does not verify against the system's
// trusted certificates (or the file SSL_CERT_FILE names) and the host name. Empty when neither is
// the case or the server cannot be asked.
std::string DbEncryptionProblem(const std::string& server);

class TDbStatement;
class TDbRecordset;
class TDbDataSet;

class TDbConnection {
public:
    TDbConnection();
    ~TDbConnection();
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    std::string ConnectionString;  // the OLE DB form
    std::string Driver;            // ODBC driver name; TOLVAN_ODBC_DRIVER or "FreeTDS"
    int ConnectionTimeout = 15;
    int CommandTimeout = 30;
    TCursorLocation CursorLocation = clUseClient;
    // Raised once per operation that brought informational messages (PRINT and the like), with
    // the first of them, on the thread executing the statement.
    std::function<void(const TDbErrorItem&)> OnInfoMessage;

    void Open();
    void Close();
    bool Connected() const;
    // Runs a statement on the calling thread; its results are discarded.
    void Execute(const std::string& sql);
    // The messages of the last operation (execute, next result, fetch).
    std::vector<TDbErrorItem> Errors() const;

    void* Handle() const { return dbc_; }
    // The diagnostic records of one of this connection's statements, in the order the server sent
    // them where the driver allows it.
    std::vector<TDbErrorItem> StatementDiagnostics(void* hstmt) const;
    // Messages that arrive while rows are read (those after a result's last row) join the errors
    // collection of the operation and raise the informational event.
    void AddMessages(const std::vector<TDbErrorItem>& items);

    // Asks the driver to stop the statement at work (SQLCancel, which sends the server an
    // attention); callable from any thread. A fetch stops at its next block of rows. The statement's caller then sees EDbCancelled, rows
    // already fetched are kept, and the connection stays usable. The request stays noted until
    // ResetCancel, so that a run also stops between statements.
    void Cancel();
    bool CancelRequested() const { return cancelRequested_.load(std::memory_order_acquire); }
    void ResetCancel() { cancelRequested_.store(false, std::memory_order_release); }
    // On the thread that reads the statement's rows, between two fetches: when a cancel was asked
    // for, stops the statement (the driver sends the attention and reads to its acknowledgement)
    // and returns true.
    bool CancelPending(void* hstmt);

private:
    friend class TDbStatement;
    friend class TDbRecordset;
    void SetErrors(std::vector<TDbErrorItem> items);
    friend class TServerWait;
    // The statement whose thread waits inside the driver for the server; Cancel reaches it there.
    void EnterServerWait(void* hstmt);
    void LeaveServerWait();

    void* env_ = nullptr;
    void* dbc_ = nullptr;
    void* driverDiag_ = nullptr;
    bool open_ = false;
    mutable std::mutex errorsMutex_;
    std::vector<TDbErrorItem> errors_;
    std::mutex activeMutex_;
    void* waitingStmt_ = nullptr;
    long waitingTid_ = 0;
    std::atomic<bool> cancelRequested_{false};
};

// One result of a statement: open when it has columns; its rows are fetched into a dataset.
class TDbRecordset {
public:
    ~TDbRecordset();
    bool IsOpen() const { return open_; }
    // The dataset over this recordset, with all its rows; null for a closed recordset.
    std::unique_ptr<TDbDataSet> TakeDataSet() { return std::move(data_); }
    TDbDataSet* DataSet() const { return data_.get(); }
    long long RecordsAffected() const { return rowsAffected_; }
    // The fetch was stopped by a cancel: the dataset holds the rows read until then.
    bool Cut() const { return cut_; }
    // The following result of the same batch, or null when there is none.
    std::unique_ptr<TDbRecordset> NextRecordset();

private:
    friend class TDbStatement;
    TDbRecordset(std::shared_ptr<TDbStatement> stmt);
    std::shared_ptr<TDbStatement> stmt_;
    bool open_ = false;
    long long rowsAffected_ = -1;
    bool cut_ = false;
    std::unique_ptr<TDbDataSet> data_;
};

// The dataset over a recordset: the result's columns as fields, its rows fetched.
class TDbDataSet : public TMemDataSet {
public:
    bool OverRecordset() const override { return true; }
};

// Runs a batch through a command (debug runs: a statement without rows gives a closed recordset).
std::unique_ptr<TDbRecordset> DbExecuteCommand(TDbConnection& db, const std::string& sql);
// Runs a batch through a query (client cursor, all rows fetched); a first result without rows fails
// with "CommandText does not return a result set" unless allowNoRows is set (then it is a closed
// recordset, and the batch's later results can still be reached).
std::unique_ptr<TDbRecordset> DbOpenQuery(TDbConnection& db, const std::string& sql, bool allowNoRows = false);

// Fills a dataset from the current result of an ODBC statement handle (exposed for benchmarks).
// Returns true when a cancel stopped the fetch; the rows read until then stay in the dataset.
bool DbFetchInto(TDbConnection& db, void* hstmt, TMemDataSet& target);
