// Runs one statement on a worker thread while the caller keeps its own loop turning: the window
// handles its events, the command-line tool simply waits.
#pragma once

#include "uDbAccess.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// How the calling thread waits: Wait returns once done() holds, doing the caller's own work
// (handling window events) meanwhile. Wake is called from the worker when it has finished.
class TQueryWaiter {
public:
    virtual ~TQueryWaiter() = default;
    virtual void Wait(const std::function<bool()>& done) = 0;
    virtual void Wake() = 0;
    // True when the caller has nothing of its own to do meanwhile: the statement then runs on the
    // caller's thread, without the two thread hand-offs a worker costs per statement.
    virtual bool RunsOnCaller() const { return false; }
};

// A waiter that just blocks until the worker wakes it.
class TBlockingWaiter : public TQueryWaiter {
public:
    void Wait(const std::function<bool()>& done) override;
    void Wake() override;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

class TQueryThread {
public:
    // Starts at once: a command (debug runs) or a query (normal runs and catalog queries).
    TQueryThread(TDbConnection& db, std::string sql, bool useCommand, TQueryWaiter& waiter, bool allowNoRows = false);
    // Starts at once on other work that yields a recordset (moving to a batch's next result).
    TQueryThread(std::function<std::unique_ptr<TDbRecordset>()> work, TQueryWaiter& waiter);
    ~TQueryThread();
    TQueryThread(const TQueryThread&) = delete;
    TQueryThread& operator=(const TQueryThread&) = delete;

    bool Done() const { return done_.load(std::memory_order_acquire); }
    // Waits for the worker to finish the job; raises its error on this thread, or returns its
    // recordset.
    std::unique_ptr<TDbRecordset> WaitForResult();

    const bool UseCommand;
    const bool AllowNoRows;

private:
    void Execute();

    std::function<std::unique_ptr<TDbRecordset>()> work_;
    TQueryWaiter& waiter_;
    std::unique_ptr<TDbRecordset> recordset_;
    std::exception_ptr error_;
    std::atomic<bool> done_{false};
    // Set by the worker as its last touch of this job; shared, so that either side may go first.
    struct Finish {
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
    };
    std::shared_ptr<Finish> finish_ = std::make_shared<Finish>();
    void Start();
    void AwaitFinish();
};

// A caller that only waits (the command-line tool): statements run on its own thread, and a cancel
// from another thread reaches them there as it reaches a worker.
class TCallerThreadWaiter : public TQueryWaiter {
public:
    void Wait(const std::function<bool()>& done) override;
    void Wake() override {}
    bool RunsOnCaller() const override { return true; }
};

// The one entry point: runs the statement on a query thread and returns its first recordset.
std::unique_ptr<TDbRecordset> RunOnQueryThread(TDbConnection& db, const std::string& sql, bool useCommand, TQueryWaiter& waiter,
                                               bool allowNoRows = false);
// The following result of r, reached on a query thread: the server runs the batch's next
// statements and their rows are fetched while the caller's loop keeps turning (and can cancel).
std::unique_ptr<TDbRecordset> NextRecordsetOnQueryThread(TDbRecordset& r, TQueryWaiter& waiter);
