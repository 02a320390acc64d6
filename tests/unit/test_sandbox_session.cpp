// The stand-in's interpreter driven without a socket: statements in, rows and messages out.
#include "ServerState.h"
#include "Session.h"
#include "sandbox_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

class SandboxSession : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tolvan-session-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        server_ = std::make_unique<ServerState>(dir_, "pw", "TEST");
        session_ = std::make_unique<Session>(*server_, sink_, [] { return false; });
        std::string error;
        ASSERT_TRUE(session_->Open("master", error)) << error;
    }
    void TearDown() override {
        session_.reset();
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::vector<std::string> Run(const std::string& sql) {
        session_->RunBatch(sql);
        return sink_.Take();
    }

    std::string dir_;
    RecordingSink sink_;
    std::unique_ptr<ServerState> server_;
    std::unique_ptr<Session> session_;
};

TEST_F(SandboxSession, StatementsInRowsAndMessagesOut) {
    Run("create table t (id int identity primary key, name varchar(20) not null, amount decimal(10,2))");
    EXPECT_EQ(Run("insert into t (name, amount) values ('Ann', 1.5), ('Bob', 22.25)"), (std::vector<std::string>{"done 2"}));
    EXPECT_EQ(Run("select id, name, amount from t order by id print 'after'"),
              (std::vector<std::string>{"columns id:int name:varchar(20) amount:decimal(10,2)", "row 1 Ann 1.50", "row 2 Bob 22.25",
                                        "done 2", "info 0 after", "done"}));
    EXPECT_EQ(Run("select * from missing"), (std::vector<std::string>{"error 208 Invalid object name 'missing'.", "done error"}));
}

TEST_F(SandboxSession, ProceduresTransactionsAndDatabaseChanges) {
    Run("create procedure p @x int, @y int output as begin set @y = @x * 2 select @x as x return 7 end");
    EXPECT_EQ(Run("declare @r int, @s int exec @s = p 21, @r output select @r as r, @s as s"),
              (std::vector<std::string>{"doneinproc 1", "columns x:int", "row 21", "doneinproc 1", "status 7", "doneproc",
                                        "columns r:int s:int", "row 42 7", "done 1"}));
    EXPECT_EQ(Run("begin tran rollback"), (std::vector<std::string>{"begin", "done", "rollback", "done"}));
    Run("create database other");
    const auto use = Run("use other");
    ASSERT_FALSE(use.empty());
    EXPECT_EQ(use[0], "database other");
    EXPECT_EQ(session_->Database(), "other");
}

// Result columns are typed from the catalog: that of a local temporary table too, and as it stands
// after another session has made the table again.
TEST_F(SandboxSession, ResultTypesFollowTheCatalog) {
    Run("create table #t (d datetime, n decimal(10,2)) insert #t values ('2001-01-02 03:04:05', 1.5)");
    EXPECT_EQ(Run("select min(d) as a, sum(n) as b from #t"),
              (std::vector<std::string>{"columns a:datetime b:decimal(38,2)", "row 2001-01-02 03:04:05.000 1.5", "done 1"}));
    // Named through tempdb, as scripts write it.
    EXPECT_EQ(Run("select count(*) as n from tempdb..#t join tempdb.dbo.#t x on x.n = #t.n"),
              (std::vector<std::string>{"columns n:int", "row 1", "done 1"}));
    Run("create table names (v varchar(5)) insert names values ('Ann')");
    EXPECT_EQ(Run("select v from names").front(), "columns v:varchar(5)");
    RecordingSink otherSink;
    Session other(*server_, otherSink, [] { return false; });
    std::string error;
    ASSERT_TRUE(other.Open("master", error)) << error;
    other.RunBatch("drop table names create table names (v varchar(50)) insert names values ('Bob Smith Junior')");
    EXPECT_EQ(Run("select v from names"), (std::vector<std::string>{"columns v:varchar(50)", "row Bob Smith Junior", "done 1"}));
}

}  // namespace
