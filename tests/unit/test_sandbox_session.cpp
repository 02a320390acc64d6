// The stand-in's interpreter driven without a socket: statements in, rows and messages out.
#include "ServerState.h"
#include "Session.h"
#include "SqliteUtil.h"
#include "sandbox_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    // A USE in dynamic SQL lasts until its text ends.
    EXPECT_EQ(Run("exec('use master select db_name() as d') select db_name() as d"),
              (std::vector<std::string>{"database master", "info 5701 Changed database context to 'master'.", "done", "columns d:nvarchar(128)",
                                        "row master", "done 1", "database other", "columns d:nvarchar(128)", "row other", "done 1"}));
    // A transaction stays in its database: USE of another is refused rather than losing its rows.
    Run("create table t (a int)");
    EXPECT_EQ(Run("begin tran insert t values (1) use master")[3],
              "error 40000 USE of another database inside a transaction is not supported by the stand-in.");
    Run("use other");
    EXPECT_EQ(Run("commit select count(*) n, @@trancount c from t"),
              (std::vector<std::string>{"commit", "done", "columns n:int c:int", "row 1 0", "done 1"}));
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

// SET XACT_ABORT ON: a run-time error ends the batch and rolls its transaction back; RAISERROR
// does not, and OFF lets the batch go on.
TEST_F(SandboxSession, XactAbortEndsTheBatchAndItsTransaction) {
    Run("create table xa (a int primary key)");
    auto count = [&] { return Run("select count(*) n, @@trancount c from xa")[1]; };
    const auto failed = Run("set xact_abort on begin tran insert xa values (1) insert xa values (1) insert xa values (2) commit");
    EXPECT_NE(std::find(failed.begin(), failed.end(), "rollback"), failed.end());
    EXPECT_EQ(count(), "row 0 0");
    Run("set xact_abort on insert xa values (5) select 1/0 insert xa values (6)");
    EXPECT_EQ(count(), "row 1 0");
    Run("set xact_abort on begin tran insert xa values (3) raiserror('not fatal', 16, 1) insert xa values (4) commit");
    EXPECT_EQ(count(), "row 3 0");
    Run("set xact_abort off begin tran insert xa values (7) select 1/0 insert xa values (8) commit");
    EXPECT_EQ(count(), "row 5 0");
}

// An ORDER BY alias named like a column of the table sorts by the aliased sum, not by the column.
TEST_F(SandboxSession, OrderByAnAliasNamedLikeAColumn) {
    Run("create table om (c int, total money) insert om values (1, 5), (1, 6), (2, 10.5), (3, 2)");
    EXPECT_EQ(Run("select c, sum(total) as total from om group by c order by total desc"),
              (std::vector<std::string>{"columns c:int total:money", "row 1 11", "row 2 10.5", "row 3 2", "done 3"}));
}

// A procedure's date parameters read the strings they are given as dates.
TEST_F(SandboxSession, DateStringsGivenToParameters) {
    Run("create table o (d datetime) insert o values ('2025-11-30'), ('2025-12-01 08:00'), ('2025-12-31')");
    Run("create procedure pDates @from datetime, @to date as select count(*) n from o where d >= @from and d < @to");
    EXPECT_EQ(Run("exec pDates '20251201', '20251231'"), (std::vector<std::string>{"columns n:int", "row 1", "doneinproc 1", "status 0", "doneproc"}));
    EXPECT_EQ(Run("exec pDates 'soon', '20251231'")[0], "error 241 Conversion failed when converting date and/or time from character string.");
}

// A database another session is in cannot be dropped (that session would go on writing into a
// deleted file); once it has left, it can.
TEST_F(SandboxSession, DatabaseInUseElsewhereIsNotDropped) {
    Run("create database shop");
    {
        RecordingSink sink;
        Session other(*server_, sink, [] { return false; });
        std::string error;
        ASSERT_TRUE(other.Open("shop", error)) << error;
        EXPECT_EQ(Run("drop database shop"),
                  (std::vector<std::string>{"error 3702 Cannot drop database \"shop\" because it is currently in use.", "done error"}));
    }
    EXPECT_EQ(Run("drop database shop"), (std::vector<std::string>{"done"}));
    EXPECT_FALSE(server_->DatabaseExists("shop"));
}

// SAVE TRANSACTION and ROLLBACK TRANSACTION to it undo part of a transaction, which goes on;
// a name that is neither a savepoint nor the transaction's is refused and changes nothing.
TEST_F(SandboxSession, SavepointsRollBackPartOfATransaction) {
    Run("create table z (a int)");
    Run("begin tran t1 insert z values (1) save tran s insert z values (2) save tran s2 insert z values (3) rollback tran s "
        "insert z values (4)");
    EXPECT_EQ(Run("rollback tran s2"),
              (std::vector<std::string>{"error 6401 Cannot roll back s2. No transaction or savepoint of that name was found.", "done error"}));
    EXPECT_EQ(Run("select a, @@trancount c from z order by a"),
              (std::vector<std::string>{"columns a:int c:int", "row 1 1", "row 4 1", "done 2"}));
    Run("rollback tran t1");
    EXPECT_EQ(Run("select count(*) n, @@trancount c from z"), (std::vector<std::string>{"columns n:int c:int", "row 0 0", "done 1"}));
    EXPECT_EQ(Run("save tran x")[0], "error 628 Cannot issue SAVE TRANSACTION when there is no active transaction.");
    EXPECT_EQ(Run("begin tran insert z values (5) rollback tran S commit select count(*) n from z"),
              (std::vector<std::string>{"begin", "done", "done 1", "error 6401 Cannot roll back S. No transaction or savepoint of that name was found.",
                                        "done error", "commit", "done", "columns n:int", "row 1", "done 1"}));
}

// A script's INSERT ... VALUES statements of one shape share a prepared statement: each is still
// a statement of its own (its error, its values typed by the table as it stands), and its numbers
// are the values the same literals would have been.
TEST_F(SandboxSession, InsertsOfOneShapeBehaveAsSeparateStatements) {
    Run("create table t (id int primary key, f float, m money, s varchar(5))");
    EXPECT_EQ(Run("insert t (id, f, m, s) values (1, 0.1, $2.50, 'ab')"), (std::vector<std::string>{"done 1"}));
    EXPECT_EQ(Run("insert t (id, f, m, s) values (1, 0.2, $3.50, 'cd')")[0].rfind("error 2627 ", 0), 0u);
    EXPECT_EQ(Run("insert t (id, f, m, s) values (2, 1e-3, $4, 'toolong')")[0].rfind("error 2628 ", 0), 0u);
    EXPECT_EQ(Run("insert t (id, f, m, s) values (3, 123456789.123456789, 5.125, 'it''s')"), (std::vector<std::string>{"done 1"}));
    // Blobs of one shape: each row keeps its own bytes.
    Run("create table b (id int, v varbinary(10)) insert b values (1, 0x0102) insert b values (2, 0xFF) insert b values (3, 0x)");
    EXPECT_EQ(Run("select id, datalength(v) n, v from b where v in (0x0102, 0xFF, 0x) order by id"),
              (std::vector<std::string>{"columns id:int n:int v:varbinary(10)", "row 1 2 \x01\x02", "row 2 1 \xFF", "row 3 0 ", "done 3"}));
    // The literal in the WHERE clause is not a parameter: equal only if the stored double is the same.
    EXPECT_EQ(Run("select id, m, s from t where f = 0.1 or f = 123456789.123456789 order by id"),
              (std::vector<std::string>{"columns id:int m:money s:varchar(5)", "row 1 2.5000 ab", "row 3 5.1250 it's", "done 2"}));
    // The same statement over a table made again with other types.
    Run("drop table t create table t (id varchar(10), f int, m varchar(10), s int)");
    EXPECT_EQ(Run("insert t (id, f, m, s) values (1, 7, $2.50, 12)"), (std::vector<std::string>{"done 1"}));
    EXPECT_EQ(Run("select id + 'x' as a, f + 1 as b, m, s * 2 as c from t"),
              (std::vector<std::string>{"columns a:varchar(11) b:int m:varchar(10) c:int", "row 1x 8 2.50 24", "done 1"}));
}

// The values an INSERT ... VALUES statement shares its prepared statement by: strings and numbers
// of its VALUES lists, nothing else, and no statement where a value may mean more than itself.
TEST(SandboxValuesShape, TakesOutOnlyTheValuesOfValuesLists) {
    struct Case {
        const char* sql;
        const char* shape;  // nullptr: the statement is not shared
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"INSERT INTO \"t\" (\"a\", \"b\") VALUES (1, 'x''y'), (2, '')", "INSERT INTO \"t\" (\"a\", \"b\") VALUES (?1, ?2), (?3, ?4)",
         {"1", "x'y", "2", ""}},
        // Numbers with a point or an exponent as SQLite itself reads the text; the sign stays.
        {"INSERT INTO t VALUES (1.5, .5, 2e3, -7, 1., 3E+2)",
         "INSERT INTO t VALUES (CAST(?1 AS REAL), CAST(?2 AS REAL), CAST(?3 AS REAL), -?4, CAST(?5 AS REAL), CAST(?6 AS REAL))",
         {"1.5", ".5", "2e3", "7", "1.", "3E+2"}},
        // A blob's bytes are taken out too; hexadecimal, integers past 64 bits, names and quoted
        // names stay as written, and so does a blob written other than as SQLite writes one.
        {"INSERT INTO \"t 1\" (\"c\"\"2\", [d 3]) VALUES (X'0A', x'', 0x1F, 99999999999999999999, abs(3), 'q', X'ABC', aX'41')",
         "INSERT INTO \"t 1\" (\"c\"\"2\", [d 3]) VALUES (?1, ?2, 0x1F, 99999999999999999999, abs(?3), ?4, X'ABC', aX'41')",
         {"\n", "", "3", "q"}},
        {"insert into t (x) values ('VALUES (1)') ;", "insert into t (x) values (?1) ;", {"VALUES (1)"}},
        // Not shared: a subquery (ORDER BY 1 is a position), parameters, what follows the lists,
        // other statements, nothing to take out.
        {"INSERT INTO t VALUES ((SELECT max(a) FROM t ORDER BY 1), 2)", nullptr, {}},
        {"INSERT INTO t VALUES (@v, 1)", nullptr, {}},
        {"INSERT INTO t VALUES (1) RETURNING a", nullptr, {}},
        {"INSERT INTO t SELECT 1", nullptr, {}},
        {"SELECT 1", nullptr, {}},
        {"UPDATE t SET a = 1", nullptr, {}},
        {"INSERT INTO t VALUES (NULL)", nullptr, {}},
        {"INSERT INTO t VALUES ('unclosed)", nullptr, {}},
    };
    for (const Case& c : cases) {
        ValuesShape shape;
        const bool shared = ShapeOfValues(c.sql, shape);
        EXPECT_EQ(shared, c.shape != nullptr) << c.sql;
        if (!shared || !c.shape) continue;
        EXPECT_EQ(shape.sql, c.shape);
        std::vector<std::string> values;
        for (const auto& v : shape.values) values.push_back(v.type == SqlValue::Integer ? std::to_string(v.i) : v.s);
        EXPECT_EQ(values, c.values) << c.sql;
    }
}
