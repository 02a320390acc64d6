// The batch run loop: splits the SQL into batches, runs each on a query thread, walks its
// recordsets, collects server messages and keeps the row-returning results. Shared by the window
// and the command-line tool; what the window does around a run comes through TRunHost.
#pragma once

#include "uDbAccess.h"
#include "uDbBatches.h"
#include "uNbData.h"
#include "uQueryThread.h"
#include "uTextResults.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The caller's side of a run: status texts, busy state, how to wait, a lost connection.
NB_DECLARE_EXCEPTION(EListError, Exception);

class TRunHost {
public:
    virtual ~TRunHost() = default;
    virtual void SetStatusText(const std::string& text) = 0;  // "Running: ..." and "DONE"
    // "Running: " and the script, as the run starts; a host that shows no status need not build
    // the text (a script may be many megabytes).
    virtual void ShowRunning(std::string_view script) { SetStatusText("Running: " + CrLfText(script)); }
    virtual void SetBusy(bool busy) = 0;                      // wait cursor, window disabled
    virtual TQueryWaiter& Waiter() = 0;
    virtual void ConnectionLost() = 0;  // the connection was closed
};

class TTlvnRun {
public:
    explicit TTlvnRun(TDbConnection& db);
    ~TTlvnRun();
    TTlvnRun(const TTlvnRun&) = delete;
    TTlvnRun& operator=(const TTlvnRun&) = delete;

    TDbConnection& Db() { return db_; }

    // The results and messages of the last run.
    std::vector<std::unique_ptr<TMemCustomDataSet>> ResultList;
    std::string MessageText;

    // Runs every batch of the text (each batch's line endings made CR LF); raises the first failure (the connection closed first when it
    // is "Connection failure"). A cancel (the connection's Cancel, from any thread) raises EDbCancelled with "Query cancelled by
    // user.": later batches are not sent, the results and messages read so far stay (a result cut short keeps its rows and
    // gets a line in MessageText), and Cancelled is set.
    void RunBatches(std::string text, bool debug, TRunHost& host);
    // The last run ended by a cancel.
    bool Cancelled = false;
    std::unique_ptr<TMemCustomDataSet> MakeResultDataSet(TDbRecordset& r, bool direct);
    static std::string FormatSqlMessage(const TDbErrorItem& item);
    void dbInfoMessage(const TDbErrorItem& item);
    void ClearRunResults();
    // One catalog or schema statement through the query path, copied into a new result dataset.
    std::unique_ptr<TNbDataSet> OpenResultDataSet(const std::string& statement, TRunHost& host);

    // The export after the save dialog: the first result to a CSV file.
    void ExportFirstResultCsv(const std::string& path);
    // The import after the open dialog: an XML file read into a new result dataset that takes the
    // first result's place. On failure the result list is unchanged.
    void ImportXmlAsFirstResult(const std::string& path);

    // The text a finished run shows when there is nothing to render: the messages, the time prefix
    // and "Success." or the failure's message.
    static std::string FailurePrefix(const std::string& timeHHmmss);
    std::string OutcomeText(const std::string& prefix, const std::string* failure) const;
    // The complete Text page of the last run, as both front ends show it: after a failure (null
    // when none) the messages, the prefix and the failure's message ("Success." for a batch
    // without a result set); with no results the messages, the prefix and "Success."; else the
    // messages and the results' text. A failure while rendering gives the messages, the prefix
    // and that failure. After a cancel the results read so far are shown, then the prefix and the
    // failure. failed, when given, tells whether the page reports a failure.
    std::string TextPage(const std::string& prefix, const std::string* failure, const TTextRenderSettings& settings,
                         bool* failed = nullptr) const;

private:
    std::unique_ptr<TDbRecordset> SkipResultsWithoutRows(std::unique_ptr<TDbRecordset> r);
    void CollectMessages(bool afterCancel = false);

    TDbConnection& db_;
    std::mutex infoMutex_;
    std::string lastInfoMessage_;
};

// The line MessageText gets for a result whose fetch the cancel stopped, with its row count.
inline constexpr const char* kCutByCancel = "The result was cut by the cancel after %d rows.\r\n";

// "HH:mm:ss" of the local time now.
std::string NowHHmmss();
