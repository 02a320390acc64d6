#include "uQueryThread.h"

#include <deque>
#include <stdexcept>
#include <vector>

namespace {

// Worker threads kept between statements: a batch of a script is often a fraction of a
// millisecond's work for the server, and starting and joining a thread for each cost as much again.
// Idle workers wait for the next job; a job that finds none idle gets a new worker. The pool is
// never destroyed: a process that exits while a statement still runs does not wait for it.
class TWorkers {
public:
    static TWorkers& Instance() {
        static TWorkers* const workers = new TWorkers;
        return *workers;
    }

    void Run(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_ == 0) {
            threads_.emplace_back([this] { Loop(); });
            ++idle_;
        }
        --idle_;
        jobs_.push_back(std::move(job));
        cv_.notify_one();
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return !jobs_.empty(); });
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
            ++idle_;
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    int idle_ = 0;
};

}  // namespace

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
    Start();
}

TQueryThread::TQueryThread(std::function<std::unique_ptr<TDbRecordset>()> work, TQueryWaiter& waiter)
    : UseCommand(false), AllowNoRows(true), work_(std::move(work)), waiter_(waiter) {
    Start();
}

void TQueryThread::Start() {
    if (waiter_.RunsOnCaller()) {
        Execute();
        finish_->finished = true;
        return;
    }
    TWorkers::Instance().Run([this, finish = finish_] {
        Execute();
        std::lock_guard<std::mutex> lock(finish->mutex);
        finish->finished = true;
        finish->cv.notify_all();
    });
}

void TQueryThread::AwaitFinish() {
    std::unique_lock<std::mutex> lock(finish_->mutex);
    finish_->cv.wait(lock, [&] { return finish_->finished; });
}

TQueryThread::~TQueryThread() { AwaitFinish(); }

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
    AwaitFinish();
    if (error_) std::rethrow_exception(error_);
    return std::move(recordset_);
}

void TCallerThreadWaiter::Wait(const std::function<bool()>& done) {
    // The work ran before the wait; nothing is left to wait for.
    if (!done()) throw std::logic_error("a statement run on the caller's thread did not finish");
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
