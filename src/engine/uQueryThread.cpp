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
    : UseCommand(useCommand), AllowNoRows(allowNoRows), waiter_(waiter) {
    if (useCommand) db.CursorLocation = clUseServer;
    work_ = [&db, sql = std::move(sql), useCommand, allowNoRows] {
        return useCommand ? DbExecuteCommand(db, sql) : DbOpenQuery(db, sql, allowNoRows);
    };
    thread_ = std::thread([this] { Execute(); });
}

TQueryThread::TQueryThread(std::function<std::unique_ptr<TDbRecordset>()> work, TQueryWaiter& waiter)
    : UseCommand(false), AllowNoRows(true), work_(std::move(work)), waiter_(waiter) {
    thread_ = std::thread([this] { Execute(); });
}

TQueryThread::~TQueryThread() {
    if (thread_.joinable()) thread_.join();
}

void TQueryThread::Execute() {
    try {
        recordset_ = work_();
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

std::unique_ptr<TDbRecordset> NextRecordsetOnQueryThread(TDbRecordset& r, TQueryWaiter& waiter) {
    TQueryThread thread([&r] { return r.NextRecordset(); }, waiter);
    waiter.Wait([&] { return thread.Done(); });
    return thread.WaitForResult();
}
