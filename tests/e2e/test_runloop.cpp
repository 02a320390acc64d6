// The run loop against the stand-in through FreeTDS.
#include "SandboxProcess.h"
#include "uNbFormat.h"
#include "uRunLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

class Host : public TRunHost {
public:
    std::vector<std::string> statuses;
    int busy = 0, lost = 0;
    void SetStatusText(const std::string& t) override { statuses.push_back(t); }
    void SetBusy(bool b) override { busy += b ? 1 : -1; }
    TQueryWaiter& Waiter() override { return waiter; }
    void ConnectionLost() override { ++lost; }
    TBlockingWaiter waiter;
};

class RunLoop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new SandboxProcess(true); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        db_.ConnectionString =
            OleDbConnectionString({"127.0.0.1," + std::to_string(server_->Port()), "sa", SandboxProcess::Password(), false, ""});
        db_.Open();
        db_.Execute(UseDatabaseStatement("demo"));
    }
    std::string RunFails(TTlvnRun& run, const std::string& sql, bool debug = false) {
        try {
            run.RunBatches(sql, debug, host_);
        } catch (const Exception& e) {
            return e.Message();
        }
        return "<no failure>";
    }
    static SandboxProcess* server_;
    TDbConnection db_;
    Host host_;
};
SandboxProcess* RunLoop::server_ = nullptr;

TEST_F(RunLoop, BatchesAndResults) {
    TTlvnRun run(db_);
    run.RunBatches("select 1 as a\r\nGO\r\nselect 2 as b\r\n", false, host_);
    ASSERT_EQ(run.ResultList.size(), 2u);
    EXPECT_NE(dynamic_cast<TDbDataSet*>(run.ResultList[1].get()), nullptr) << "each batch's first result is used directly";
    EXPECT_EQ(host_.statuses.front(), "Running: select 1 as a\r\nGO\r\nselect 2 as b\r\n");
    EXPECT_EQ(host_.statuses.back(), "DONE");
    EXPECT_EQ(host_.busy, 0);

    run.RunBatches("print 'hi' select 1 as a select 2 as b\r\n", false, host_);
    ASSERT_EQ(run.ResultList.size(), 2u);
    EXPECT_NE(dynamic_cast<TDbDataSet*>(run.ResultList[0].get()), nullptr);
    auto* copy = dynamic_cast<TNbDataSet*>(run.ResultList[1].get());
    ASSERT_NE(copy, nullptr) << "later results of a batch are copies";
    EXPECT_TRUE(copy->ReadOnly());
    EXPECT_EQ(run.MessageText, "SQLMessage: hi\r\n");
}

TEST_F(RunLoop, StatementsWithoutRowsDoNotEndTheRun) {
    TTlvnRun run(db_);
    run.RunBatches(
        "update Products set InStock = 1 where ProductID = 4\r\nGO\r\nselect InStock from Products where ProductID = 4\r\nprint "
        "'after'\r\n",
        false, host_);
    ASSERT_EQ(run.ResultList.size(), 1u);
    EXPECT_EQ(run.ResultList[0]->Field(0).ValueText(), "True");
    EXPECT_EQ(run.MessageText, "SQLMessage: after\r\n") << "a message after the last result is kept";
    run.RunBatches("update Products set InStock = 1 where ProductID = 4\r\n", false, host_);
    EXPECT_TRUE(run.ResultList.empty());
    EXPECT_EQ(run.OutcomeText("\r\n[10:00:00] ", nullptr), "\r\n[10:00:00] Success.");
}

TEST_F(RunLoop, FailureStopsTheRun) {
    TTlvnRun run(db_);
    db_.Execute("if object_id('RunMarks') is null create table RunMarks (n int)");
    const std::string failure = RunFails(run, "select 1 as a\r\nGO\r\nselect * from Nowhere\r\nGO\r\ninsert into RunMarks values (1)\r\n");
    EXPECT_EQ(failure, "Invalid object name 'Nowhere'.");
    EXPECT_EQ(run.ResultList.size(), 1u) << "results of earlier batches stay";
    run.RunBatches("select count(*) as n from RunMarks\r\n", false, host_);
    EXPECT_EQ(run.ResultList[0]->Field(0).AsInteger(), 0) << "later batches were not sent";
    EXPECT_EQ(host_.statuses.back(), "DONE");
}

TEST_F(RunLoop, DebugRunReturnsTheCatchRow) {
    TTlvnRun run(db_);
    run.RunBatches("exec SetOrderStatus 1, 'Nope'\r\n", true, host_);
    ASSERT_EQ(run.ResultList.size(), 1u);
    TMemCustomDataSet& caught = *run.ResultList[0];
    EXPECT_NE(dynamic_cast<TNbDataSet*>(&caught), nullptr);
    EXPECT_EQ(caught.FieldNamed("Errno")->AsInteger(), 50000);
    EXPECT_EQ(caught.FieldNamed("Message")->ValueText(), "Unknown order status Nope.");
    EXPECT_EQ(run.MessageText, "SQLMessage: DEBUG MODE ON\r\n");
}

TEST_F(RunLoop, LostConnectionClosesIt) {
    TTlvnRun run(db_);
    db_.Execute("exec sp_sandbox_drop_after_rows 5");
    EXPECT_EQ(RunFails(run, "select * from Orders\r\n"), "Connection failure");
    EXPECT_FALSE(db_.Connected());
    EXPECT_EQ(host_.lost, 1);
}

TEST_F(RunLoop, MessagesOnceInTheOrderTheServerSentThem) {
    TTlvnRun run(db_);
    // Severities 0, 10 and 5 mixed: the driver's own ranking would move the RAISERRORs first.
    run.RunBatches("print 'first'; raiserror('x',10,1); print 'middle'; raiserror('y',5,3); print 'last'\r\n", false, host_);
    EXPECT_EQ(run.MessageText, "SQLMessage: first\r\nSQLMessage: x\r\nSQLMessage: middle\r\nSQLMessage: y\r\nSQLMessage: last\r\n");
    // Each statement ends on its own, so each message comes with its own result.
    std::vector<TDbErrorItem> items;
    for (auto r = DbExecuteCommand(db_, "print 'first'; raiserror('x',10,1); print 'middle'; raiserror('y',5,3); print 'last'"); r;
         r = r->NextRecordset()) {
        const std::vector<TDbErrorItem> more = db_.Errors();
        items.insert(items.end(), more.begin(), more.end());
    }
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[1].Number, 50000);
    EXPECT_EQ(items[1].Severity, 10);
    EXPECT_EQ(items[3].Severity, 5);
    EXPECT_EQ(items[0].Number, 0);
    EXPECT_EQ(items[0].SqlState, "01000");

    // Messages around results, across batches, each once.
    run.RunBatches("print 'a'; select top 512 OrderID from Orders; print 'b'\r\nGO\r\nprint 'c'; raiserror('d',10,1); select 1 as one\r\n",
                   false, host_);
    EXPECT_EQ(run.MessageText, "SQLMessage: a\r\nSQLMessage: b\r\nSQLMessage: c\r\nSQLMessage: d\r\n");
    EXPECT_EQ(run.ResultList.size(), 2u);
}

TEST_F(RunLoop, MessagesReadDuringAFetchRaiseNoSecondEvent) {
    // A message that arrives while rows are read joins the operation's collection; when the
    // operation raised its informational event already, no second one comes (the run loop would
    // print the later message twice).
    std::vector<std::string> events;
    db_.OnInfoMessage = [&](const TDbErrorItem& e) { events.push_back(e.Description); };
    DbExecuteCommand(db_, "print 'p'");
    db_.AddMessages({{0, "w", "01000"}});
    EXPECT_EQ(events, std::vector<std::string>{"p"});
    DbExecuteCommand(db_, "select 1 as a");
    db_.AddMessages({{0, "w", "01000"}});
    EXPECT_EQ(events, (std::vector<std::string>{"p", "w"})) << "the first message of an operation still raises the event";
    db_.OnInfoMessage = nullptr;
}

TEST_F(RunLoop, EmptyBatchesAreSentAndLaterBatchesRun) {
    TTlvnRun run(db_);
    run.RunBatches("GO\r\nselect 1 as a\r\nGO\r\nGO\r\n  \r\nGO\r\nselect 2 as b\r\n", false, host_);
    ASSERT_EQ(run.ResultList.size(), 2u);
    EXPECT_EQ(run.ResultList[1]->Field(0).AsInteger(), 2);
}

TEST_F(RunLoop, TextOutsideTheBasicPlaneAndBadBytes) {
    TTlvnRun run(db_);
    // Characters outside the Basic Multilingual Plane go through the wide entry points whole.
    run.RunBatches(
        "select cast(N'a\xF0\x9F\x98\x80"
        "b' as nvarchar(10)) as e -- \xE2\x82\xAC \xF0\x9F\x98\x80\r\n",
        false, host_);
    ASSERT_EQ(run.ResultList.size(), 1u);
    EXPECT_EQ(run.ResultList[0]->Field(0).ValueText(),
              "a\xF0\x9F\x98\x80"
              "b");
    // A byte that is not UTF-8 is refused before anything is sent (the driver cut the batch there).
    db_.Execute("if object_id('CutMarks') is null create table CutMarks (id int, x int)");
    db_.Execute("delete from CutMarks; insert into CutMarks values (1, 0); insert into CutMarks values (2, 0)");
    EXPECT_EQ(RunFails(run, "update CutMarks set x = 1 -- Jos\xE9\r\nwhere id = 2\r\n"), "The SQL text is not valid UTF-8.");
    run.RunBatches("select count(*) as n from CutMarks where x = 1\r\n", false, host_);
    EXPECT_EQ(run.ResultList[0]->Field(0).AsInteger(), 0);
}

// Cancels the connection's statement from another thread, as the window's Cancel does, once the
// run has been at work for a moment.
class LateCancel {
public:
    LateCancel(TDbConnection& db, std::chrono::microseconds after)
        : thread_([&db, after] {
              std::this_thread::sleep_for(after);
              db.Cancel();
          }) {}
    ~LateCancel() { thread_.join(); }

private:
    std::thread thread_;
};

TEST_F(RunLoop, CancelDuringAWaitStopsTheRunAndKeepsTheConnection) {
    TTlvnRun run(db_);
    db_.Execute("if object_id('CancelMarks') is null create table CancelMarks (n int); delete from CancelMarks");
    std::string failure;
    {
        LateCancel cancel(db_, std::chrono::milliseconds(500));
        failure = RunFails(
            run, "select 1 as a\r\nGO\r\nprint 'before'; waitfor delay '00:01:00'\r\nGO\r\ninsert into CancelMarks values (1)\r\n");
    }
    EXPECT_EQ(failure, kCancelledByUser);
    EXPECT_TRUE(run.Cancelled);
    ASSERT_EQ(run.ResultList.size(), 1u) << "the earlier batch's result stays";
    EXPECT_EQ(run.MessageText, "SQLMessage: before\r\n") << "messages so far stay; the driver's own cancel note does not show";
    EXPECT_EQ(run.TextPage("\r\n[10:00:00] ", &failure, {}),
              "SQLMessage: before\r\nRowcount: 1\r\na \r\n- \r\n1 \r\n\r\n[10:00:00] Query cancelled by user.")
        << "what the run read, then the outcome";
    EXPECT_EQ(host_.statuses.back(), "DONE");
    EXPECT_EQ(host_.busy, 0);
    EXPECT_TRUE(db_.Connected());
    // The connection serves the next run; the cancelled run's later batch was never sent.
    run.RunBatches("select count(*) as n from CancelMarks\r\n", false, host_);
    EXPECT_FALSE(run.Cancelled);
    ASSERT_EQ(run.ResultList.size(), 1u);
    EXPECT_EQ(run.ResultList[0]->Field(0).AsInteger(), 0);
}

TEST_F(RunLoop, CancelWhileRowsStreamKeepsTheRowsSoFar) {
    TTlvnRun run(db_);
    db_.Execute("if object_id('CancelMarks') is null create table CancelMarks (n int); delete from CancelMarks");
    // The stream as the first result of its batch (fetched with the statement) and as a later one.
    for (const char* sql : {"exec sp_sandbox_rows 50000000\r\nGO\r\ninsert into CancelMarks values (1)\r\n",
                            "select 1 as a exec sp_sandbox_rows 50000000 insert into CancelMarks values (2)\r\n"}) {
        SCOPED_TRACE(sql);
        std::string failure;
        {
            LateCancel cancel(db_, std::chrono::milliseconds(700));
            failure = RunFails(run, sql);
        }
        EXPECT_EQ(failure, kCancelledByUser);
        ASSERT_FALSE(run.ResultList.empty());
        TMemCustomDataSet& cut = *run.ResultList.back();
        const int rows = cut.RowCount();
        EXPECT_GT(rows, 0);
        EXPECT_LT(rows, 50000000);
        // The rows kept are whole: the last one is the row of its number.
        cut.MoveLast();
        EXPECT_EQ(cut.FieldByName("id").AsInteger(), rows);
        EXPECT_EQ(run.MessageText, NbFormat(kCutByCancel, rows));
        run.RunBatches("select count(*) as n from CancelMarks\r\n", false, host_);
        EXPECT_EQ(run.ResultList[0]->Field(0).AsInteger(), 0) << "statements after the stream were not run";
    }
}

TEST_F(RunLoop, CancelAndTimeoutWhileWaitingOnALock) {
    // Another connection holds a write lock; a statement that waits for it is stopped by a
    // cancel, and by the command timeout, and its connection stays usable either way.
    db_.Execute("begin transaction; update Products set InStock = 1 where ProductID = 3");
    TDbConnection other;
    other.ConnectionString = db_.ConnectionString;
    other.Open();
    other.Execute(UseDatabaseStatement("demo"));
    TTlvnRun run(other);
    std::string failure;
    {
        LateCancel cancel(other, std::chrono::milliseconds(500));
        failure = RunFails(run, "update Products set InStock = 0 where ProductID = 3\r\n");
    }
    EXPECT_EQ(failure, kCancelledByUser);
    other.CommandTimeout = 1;
    EXPECT_EQ(RunFails(run, "update Products set InStock = 0 where ProductID = 3\r\n"), "Timeout expired");
    EXPECT_TRUE(other.Connected());
    db_.Execute("rollback");
    run.RunBatches("select 4 as n\r\n", false, host_);
    ASSERT_EQ(run.ResultList.size(), 1u);
    EXPECT_EQ(run.ResultList[0]->Field(0).AsInteger(), 4);
}

TEST_F(RunLoop, CancelAsTheRunFinishesLosesNothing) {
    // Cancels at moments around the end of a short run: the run either completes with its whole
    // result, or ends as cancelled with whole rows; never another error, and the connection goes on.
    TTlvnRun run(db_);
    int completed = 0, cancelled = 0;
    for (int i = 0; i < 40; ++i) {
        std::string failure = "<none>";
        {
            LateCancel cancel(db_, std::chrono::microseconds(250 * i));
            try {
                run.RunBatches("select top 300 OrderID from Orders order by OrderID\r\n", false, host_);
            } catch (const Exception& e) {
                failure = e.Message();
            }
        }
        if (failure == "<none>") {
            ++completed;
            ASSERT_EQ(run.ResultList.size(), 1u);
            EXPECT_EQ(run.ResultList[0]->RowCount(), 300);
        } else {
            ++cancelled;
            ASSERT_EQ(failure, kCancelledByUser);
            for (auto& r : run.ResultList) {
                if (r->RowCount() == 0) continue;
                r->MoveLast();
                EXPECT_EQ(r->Field(0).AsInteger(), r->RowCount()) << "rows kept are the first ones, whole";
            }
        }
        run.RunBatches("select 7 as n\r\n", false, host_);
        ASSERT_EQ(run.ResultList.size(), 1u);
        ASSERT_EQ(run.ResultList[0]->Field(0).AsInteger(), 7);
    }
    EXPECT_EQ(completed + cancelled, 40);
    EXPECT_EQ(host_.busy, 0);
}

}  // namespace
