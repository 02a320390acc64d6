#include "uRunLoop.h"

#include "uDbBatches.h"
#include "uNbCsv.h"
#include "uNbLog.h"
#include "uNbText.h"
#include "uNbXml.h"
#include "uTextResults.h"

#include <ctime>

namespace {}  // namespace

std::string NowHHmmss() {
    const std::time_t now = std::time(nullptr);
    std::tm tmv{};
    localtime_r(&now, &tmv);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tmv);
    return buf;
}

TTlvnRun::TTlvnRun(TDbConnection& db) : db_(db) {
    db_.OnInfoMessage = [this](const TDbErrorItem& item) { dbInfoMessage(item); };
}

TTlvnRun::~TTlvnRun() {
    ClearRunResults();
    db_.OnInfoMessage = nullptr;
}

std::string TTlvnRun::FormatSqlMessage(const TDbErrorItem& item) {
    if (item.Number == 265929) return {};
    return NbFormat("SQLMessage: %s\r\n", item.Description);
}

void TTlvnRun::dbInfoMessage(const TDbErrorItem& item) {
    NbLog("InfoMessage: {%s}", item.Description);
    std::lock_guard<std::mutex> lock(infoMutex_);
    lastInfoMessage_ = FormatSqlMessage(item);
}

void TTlvnRun::ClearRunResults() {
    MessageText.clear();
    ResultList.clear();
}

// Appends the last informational line and the errors collection (its first item skipped when the
// event already delivered it), then clears the informational line. After a cancel the driver's
// "operation cancelled" record is left out.
void TTlvnRun::CollectMessages(bool afterCancel) {
    std::string last;
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        last = lastInfoMessage_;
    }
    MessageText += last;
    const std::vector<TDbErrorItem> errors = db_.Errors();
    size_t kept = 0;
    for (size_t i = 0; i < errors.size(); ++i) {
        NbLog("%d: {%s}", static_cast<int>(i), errors[i].Description);
        // The driver's own note of the cancel: the outcome says it.
        if (afterCancel && (errors[i].SqlState == "HY008" || errors[i].SqlState == "S1008")) continue;
        const std::string line = FormatSqlMessage(errors[i]);
        if (kept++ == 0 && line == last) continue;
        MessageText += line;
    }
    std::lock_guard<std::mutex> lock(infoMutex_);
    lastInfoMessage_.clear();
}

std::unique_ptr<TMemCustomDataSet> TTlvnRun::MakeResultDataSet(TDbRecordset& r, bool direct) {
    if (direct) return r.TakeDataSet();
    std::unique_ptr<TDbDataSet> over = r.TakeDataSet();
    auto copy = std::make_unique<TNbDataSet>();
    copy->Open();
    copy->CopyFromDataSet(*over);
    copy->SetReadOnly(true);
    return copy;
}

// On the query thread: results without rows (a PRINT, a SET, a count) are walked past there, their
// messages collected as the run loop would, so that a batch costs one trip to the query thread per
// result with rows rather than one per statement. A cancel stops the walk.
std::unique_ptr<TDbRecordset> TTlvnRun::SkipResultsWithoutRows(std::unique_ptr<TDbRecordset> r) {
    while (r && !r->IsOpen() && !db_.CancelRequested()) {
        CollectMessages();
        NbLog("NextRecordset");
        r = r->NextRecordset();
    }
    return r;
}

void TTlvnRun::RunBatches(std::string text, bool debug, TRunHost& host) {
    ClearRunResults();
    Cancelled = false;
    db_.ResetCancel();
    host.ShowRunning(text);
    host.SetBusy(true);
    NbLog("Query start");
    // Whether the errors collection of the last operation is in MessageText already.
    bool collected = false;
    auto finish = [&] {
        db_.ResetCancel();  // a cancel belongs to this run only
        host.SetBusy(false);
        host.SetStatusText("DONE");
    };
    // A cancel ends the run like a failure, but what the run has read stays: the results so far
    // and the messages of the operation the cancel stopped.
    auto cancelled = [&] {
        if (!collected) CollectMessages(true);
        Cancelled = true;
        finish();
    };
    try {
        // The script is walked once: batches are cut at positions, and the run ends where only
        // blanks remain.
        size_t end = text.size();
        while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
        size_t pos = 0;
        while (pos < end) {
            if (db_.CancelRequested()) throw EDbCancelled(kCancelledByUser);  // later batches are not sent
            {
                std::lock_guard<std::mutex> lock(infoMutex_);
                lastInfoMessage_.clear();
            }
            NbLog("QueryWait");
            const std::string batch = WrapDebugBatch(NextBatchAnyLineEnd(text, pos), debug);
            // A batch whose first statement returns no rows (an UPDATE) still runs to its end and
            // the run goes on with the next batch.
            collected = false;
            if (debug) db_.CursorLocation = clUseServer;
            TQueryThread first(
                [&] { return SkipResultsWithoutRows(debug ? DbExecuteCommand(db_, batch) : DbOpenQuery(db_, batch, true)); },
                host.Waiter());
            host.Waiter().Wait([&] { return first.Done(); });
            std::unique_ptr<TDbRecordset> r = first.WaitForResult();
            bool direct = !debug;
            while (r) {
                CollectMessages();
                collected = true;
                if (r->IsOpen()) {
                    const bool cut = r->Cut();
                    // The batch's first rows are used directly (a PRINT or SET before them ends on its own).
                    ResultList.push_back(MakeResultDataSet(*r, direct));
                    direct = false;
                    if (cut) MessageText += NbFormat(kCutByCancel, ResultList.back()->RowCount());
                }
                if (db_.CancelRequested()) throw EDbCancelled(kCancelledByUser);
                NbLog("NextRecordset");
                // On a query thread: the batch's later statements may run long or stream many rows.
                collected = false;
                TQueryThread next([&] { return SkipResultsWithoutRows(r->NextRecordset()); }, host.Waiter());
                host.Waiter().Wait([&] { return next.Done(); });
                r = next.WaitForResult();
            }
            // Messages of the move past the last result are kept too.
            CollectMessages();
            collected = true;
        }
    } catch (const EDbCancelled&) {
        cancelled();
        throw;
    } catch (const EDbError& e) {
        if (e.Message() == kConnectionFailure) {
            db_.Close();
            host.ConnectionLost();
        } else if (db_.CancelRequested()) {
            // Whatever the driver made of a statement stopped by the cancel.
            cancelled();
            throw EDbCancelled(kCancelledByUser);
        }
        finish();
        throw;
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

std::unique_ptr<TNbDataSet> TTlvnRun::OpenResultDataSet(const std::string& statement, TRunHost& host) {
    db_.ResetCancel();
    host.SetStatusText("Running: " + statement);
    host.SetBusy(true);
    struct Restore {
        TRunHost& h;
        ~Restore() {
            h.SetBusy(false);
            h.SetStatusText("DONE");
        }
    } restore{host};
    std::unique_ptr<TDbRecordset> r = RunOnQueryThread(db_, statement, false, host.Waiter());
    auto copy = std::make_unique<TNbDataSet>();
    copy->Open();
    copy->CopyFromDataSet(*r->DataSet());
    return copy;
}

void TTlvnRun::ExportFirstResultCsv(const std::string& path) {
    if (ResultList.empty()) throw EListError(NbFormat("List index out of bounds (%d)", 0));
    ExportCsvFile(*ResultList[0], path);
}

void TTlvnRun::ImportXmlAsFirstResult(const std::string& path) {
    if (ResultList.empty()) throw EListError(NbFormat("List index out of bounds (%d)", 0));
    auto imported = std::make_unique<TNbDataSet>();
    LoadXmlFile(*imported, nullptr, path);
    ResultList[0] = std::move(imported);
}

std::string TTlvnRun::FailurePrefix(const std::string& timeHHmmss) { return NbFormat("\r\n[%s] ", timeHHmmss); }

std::string TTlvnRun::OutcomeText(const std::string& prefix, const std::string* failure) const {
    if (!failure) return MessageText + prefix + "Success.";
    return MessageText + prefix + (*failure == kNoResultSet ? std::string("Success.") : *failure);
}

std::string TTlvnRun::TextPage(const std::string& prefix, const std::string* failure, const TTextRenderSettings& settings,
                               bool* failed) const {
    if (failed) *failed = failure && *failure != kNoResultSet;
    // A cancelled run shows what it had read, then its outcome.
    const bool keepResults = failure && Cancelled && !ResultList.empty();
    if ((failure && !keepResults) || ResultList.empty()) return OutcomeText(prefix, failure);
    std::string text = MessageText;
    try {
        RenderTextResults(text, ResultList, settings);
    } catch (const std::exception& e) {
        if (failed) *failed = true;
        const std::string message = e.what();
        return OutcomeText(prefix, &message);
    }
    if (keepResults) text += prefix + *failure;
    return text;
}
