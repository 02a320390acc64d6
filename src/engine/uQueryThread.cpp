#include "uQueryThread.h"

void TBlockingWaiter::Wait(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, done);
}

void TBlockingWaiter::Wake() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    cv_.notify_all();
}

TQueryThread::TQueryThread(TDbConnection& db, std::string sql, bool useCommand, TQueryWaiter& waiter, bool allowNoRows)
    : UseCommand(useCommand), AllowNoRows(allowNoRows), db_(db), sql_(std::move(sql)), waiter_(waiter) {
    if (useCommand) db_.CursorLocation = clUseServer;
    thread_ = std::thread([this] { Execute(); });
}

TQueryThread::~TQueryThread() {
    if (thread_.joinable()) thread_.join();
}

void TQueryThread::Execute() {
    try {
        recordset_ = UseCommand ? DbExecuteCommand(db_, sql_) : DbOpenQuery(db_, sql_, AllowNoRows);
    } catch (...) {
        error_ = std::current_exception();
    }
    done_.store(true, std::memory_order_release);
    waiter_.Wake();
}

std::unique_ptr<TDbRecordset> TQueryThread::WaitForResult() {
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
    return std::move(recordset_);
}

std::unique_ptr<TDbRecordset> RunOnQueryThread(TDbConnection& db, const std::string& sql, bool useCommand, TQueryWaiter& waiter,
                                               bool allowNoRows) {
    TQueryThread thread(db, sql, useCommand, waiter, allowNoRows);
    waiter.Wait([&] { return thread.Done(); });
    return thread.WaitForResult();
}
