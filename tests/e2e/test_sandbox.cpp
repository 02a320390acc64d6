// The stand-in seen through the real client stack: unixODBC and the FreeTDS driver over TCP.
#include "OdbcProbe.h"
#include "SandboxProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

class Sandbox : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new SandboxProcess(true); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static std::string Cs(const std::string& db = "master") { return server_->OdbcConnectionString("sa", SandboxProcess::Password(), db); }
    static SandboxProcess* server_;
};
SandboxProcess* Sandbox::server_ = nullptr;

TEST_F(Sandbox, LoginRightAndWrong) {
    OdbcProbe ok;
    ASSERT_TRUE(ok.Connect(Cs()));
    OdbcProbe bad;
    std::vector<OdbcDiag> diags;
    EXPECT_FALSE(bad.Connect(server_->OdbcConnectionString("sa", "wrong"), &diags));
    bool found = false;
    for (const auto& d : diags)
        if (d.native == 18456 && d.text.find("Login failed for user 'sa'.") != std::string::npos) found = true;
    EXPECT_TRUE(found) << (diags.empty() ? "no diagnostics" : diags[0].text);

    // A login created with CREATE LOGIN can connect.
    ok.Run("CREATE LOGIN tester WITH PASSWORD = 'p;w}d'");
    OdbcProbe other;
    EXPECT_TRUE(other.Connect(server_->OdbcConnectionString("tester", "p;w}d")));
}

TEST_F(Sandbox, ResultsMessagesAndErrors) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs("demo")));
    OdbcRun two = c.Run("select 1 as a, 'x' as b select count(*) as n from Customers");
    ASSERT_EQ(two.results.size(), 2u);
    EXPECT_EQ(two.results[0].names, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(two.results[0].rows, (std::vector<std::vector<std::string>>{{"1", "x"}}));
    EXPECT_EQ(two.results[1].rows[0][0], "200");

    // (After an error in the first result the driver manager offers no further results, so the
    // error here follows a result.)
    OdbcRun msgs =
        c.Run("print 'hello' raiserror('note %d', 10, 1, 7) select 4 as four raiserror('bad %s', 16, 3, 'thing') select 5 as five");
    EXPECT_TRUE(msgs.HasDiag(0));
    EXPECT_TRUE(msgs.HasDiag(50000));
    bool sawBad = false;
    for (const auto& d : msgs.diags) sawBad = sawBad || d.text.find("bad thing") != std::string::npos;
    EXPECT_TRUE(sawBad);
    ASSERT_FALSE(msgs.results.empty());
    EXPECT_EQ(msgs.results.back().rows[0][0], "5") << "a severity 16 error ends the statement, not the batch";

    // PRINT converts as varchar does: money with two decimals, datetime in style 0.
    OdbcRun printed = c.Run("print $12.5 print cast('2011-12-04 22:04' as datetime) select 1 as one");
    std::string texts;
    for (const auto& d : printed.diags) texts += d.text.substr(d.text.rfind(']') + 1) + "|";
    EXPECT_EQ(texts, "12.50|Dec  4 2011 10:04PM|");

    OdbcRun missing = c.Run("select * from NoSuchTable select 'not reached' as r");
    EXPECT_TRUE(missing.HasDiag(208));
    for (const auto& r : missing.results) EXPECT_TRUE(r.rows.empty());

    OdbcRun syntax = c.Run("select * from where");
    EXPECT_TRUE(syntax.HasDiag(102));
}

TEST_F(Sandbox, DebugTemplateCatchesTheError) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs("demo")));
    const std::string tmpl =
        "begin try   print 'DEBUG MODE ON';   %s; end try begin catch   select '' as SQL_ERROR_TRAPPED,          error_number() as Errno,"
        "          error_severity() as Severity,          error_state() as State,          error_procedure() as [Procedure],"
        "          error_line() as Line,          error_message() as Message end catch ";
    const std::string user = "exec SetOrderStatus 1, 'Lost'";
    std::string sql = tmpl;
    sql.replace(sql.find("%s"), 2, user);
    OdbcRun run = c.Run(sql);
    EXPECT_TRUE(run.HasDiag(0)) << "DEBUG MODE ON";
    ASSERT_FALSE(run.results.empty());
    const OdbcResult& caught = run.results.back();
    ASSERT_EQ(caught.names.size(), 7u);
    EXPECT_EQ(caught.names[0], "SQL_ERROR_TRAPPED");
    ASSERT_EQ(caught.rows.size(), 1u);
    EXPECT_EQ(caught.rows[0][1], "50000");
    EXPECT_EQ(caught.rows[0][2], "16");
    EXPECT_EQ(caught.rows[0][4], "SetOrderStatus");
    EXPECT_EQ(caught.rows[0][6], "Unknown order status Lost.");
}

TEST_F(Sandbox, UseSwitchesDatabase) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    OdbcRun use = c.Run("use [demo]");
    EXPECT_TRUE(use.HasDiag(5701));
    OdbcRun name = c.Run("select db_name() as d");
    ASSERT_FALSE(name.results.empty());
    EXPECT_EQ(name.results[0].rows[0][0], "demo");
    OdbcRun unknown = c.Run("use [nowhere]");
    EXPECT_TRUE(unknown.HasDiag(911));
}

TEST_F(Sandbox, TypesAsFreeTdsReportsThem) {
    struct Case {
        const char* expr;
        int sqlType;
        const char* value;
    };
    const Case cases[] = {
        {"cast(1 as int)", SQL_INTEGER, "1"},
        {"cast(9000000000 as bigint)", SQL_BIGINT, "9000000000"},
        {"cast(-3 as smallint)", SQL_SMALLINT, "-3"},
        {"cast(200 as tinyint)", SQL_TINYINT, "200"},
        {"cast(1 as bit)", SQL_BIT, "1"},
        {"cast('12.34' as decimal(18,4))", SQL_NUMERIC, "12.3400"},
        {"cast('-12345678901234567890.1234567890' as decimal(38,10))", SQL_NUMERIC, "-12345678901234567890.1234567890"},
        {"cast('7.5' as numeric(5,1))", SQL_NUMERIC, "7.5"},
        {"cast('12.34' as money)", SQL_DECIMAL, "12.3400"},
        {"cast('1.5' as smallmoney)", SQL_DECIMAL, "1.5000"},
        {"cast(2.5 as float)", SQL_DOUBLE, "2.5"},
        {"cast(0.5 as real)", SQL_REAL, "0.5"},
        {"cast('2024-01-02 03:04:05.123' as datetime)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:04:05.123"},
        {"cast('2024-01-02 03:04:00' as smalldatetime)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:04:00"},
        {"cast('2024-01-02' as date)", SQL_TYPE_DATE, "2024-01-02"},
        {"cast('2024-01-02 03:04:05.1234567' as datetime2)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:04:05.1234567"},
        {"cast('abc' as char(5))", SQL_CHAR, "abc  "},
        {"cast('abc' as varchar(10))", SQL_VARCHAR, "abc"},
        {"cast(N'\xC3\xA9t\xC3\xA9' as nchar(5))", SQL_WCHAR, "\xC3\xA9t\xC3\xA9  "},
        {"cast(N'\xD0\x9F\xD1\x80\xD0\xB8' as nvarchar(10))", SQL_WVARCHAR, "\xD0\x9F\xD1\x80\xD0\xB8"},
        {"cast('long' as text)", SQL_LONGVARCHAR, "long"},
        {"cast(N'wide' as ntext)", SQL_WLONGVARCHAR, "wide"},
        {"cast(0x0102 as binary(2))", SQL_BINARY, "0102"},
        {"cast(0x0A0B0C as varbinary(10))", SQL_VARBINARY, "0a0b0c"},
        {"cast(0xFF as image)", SQL_LONGVARBINARY, "ff"},
        {"cast('6F9619FF-8B86-D011-B42D-00C04FC964FF' as uniqueidentifier)", SQL_GUID, "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
        {"cast(NULL as int)", SQL_INTEGER, "<NULL>"},
        {"cast(NULL as nvarchar(5))", SQL_WVARCHAR, "<NULL>"},
    };
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    for (const auto& k : cases) {
        OdbcRun run = c.Run(std::string("select ") + k.expr + " as v");
        ASSERT_EQ(run.results.size(), 1u) << k.expr << (run.diags.empty() ? "" : " " + run.diags[0].text);
        ASSERT_EQ(run.results[0].rows.size(), 1u) << k.expr;
        EXPECT_EQ(run.results[0].types[0], k.sqlType) << k.expr;
        EXPECT_EQ(run.results[0].rows[0][0], k.value) << k.expr;
    }
    // Large types report a column size of 0.
    OdbcRun max = c.Run("select cast('x' as varchar(max)) as a, cast(N'y' as nvarchar(max)) as b, cast(0x01 as varbinary(max)) as c");
    ASSERT_EQ(max.results.size(), 1u);
    EXPECT_EQ(max.results[0].sizes, (std::vector<long long>{0, 0, 0}));
    EXPECT_EQ(max.results[0].rows[0], (std::vector<std::string>{"x", "y", "01"}));
}

TEST_F(Sandbox, CatalogQueriesOnTheDemo) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs("demo")));
    OdbcRun dbs = c.Run("select Name as DATABASE_NAME from master.dbo.sysdatabases order by Name ");
    ASSERT_EQ(dbs.results.size(), 1u);
    EXPECT_EQ(dbs.results[0].rows, (std::vector<std::vector<std::string>>{{"demo"}, {"master"}, {"tempdb"}}));

    // The window's queries: names and source cast to nvarchar, ordered as the server's
    // case-insensitive collation orders them.
    OdbcRun tables = c.Run(
        "select distinct cast(Name as nvarchar(4000)) as Name,     1 as IsTable  from sysobjects  where objectproperty(id, 'IsTable')=1    "
        "and xtype='U'  order by Name ");
    ASSERT_EQ(tables.results.size(), 1u);
    EXPECT_EQ(tables.results[0].types[0], SQL_WVARCHAR);
    EXPECT_EQ(tables.results[0].rows.size(), 4u);
    EXPECT_EQ(tables.results[0].rows[0], (std::vector<std::string>{"Customers", "1"}));

    // Every object with source, in name order with its five properties; defaults and check
    // constraints have source but none of them.
    OdbcRun code = c.Run(
        "select distinct id,    cast(object_name(id) as nvarchar(256)) Name,    objectproperty(id, 'IsView') as IsView,    "
        "objectproperty(id, 'IsTrigger') as IsTrigger,    objectproperty(id, 'IsProcedure') as IsProcedure,    objectproperty(id, "
        "'IsScalarFunction') as IsScalarFunction,    objectproperty(id, 'IsTableFunction') as IsTableFunction from syscomments order by "
        "Name ");
    ASSERT_EQ(code.results.size(), 1u);
    EXPECT_EQ(code.results[0].names[1], "Name");
    std::vector<std::string> listed;
    for (const auto& r : code.results[0].rows) {
        // A generated name ends in the object's id in hex.
        std::string line = r.at(1).rfind("DF__", 0) == 0 ? r.at(1).substr(0, r.at(1).rfind("__")) : r.at(1);
        line += ":";
        for (size_t k = 2; k < 7; ++k) line += r.at(k);
        listed.push_back(line);
    }
    EXPECT_EQ(listed,
              (std::vector<std::string>{"CK_OrderLines_Quantity:00000", "DF__Customers__Creat:00000", "DF__Products__InSto:00000",
                                        "fnCustomerOrders:00001", "fnOrderTotal:00010", "GetCustomerOrders:00100", "Sales/ByMonth:10000",
                                        "SetOrderStatus:00100", "trOrdersNoDelete:01000", "vCustomerOrders:10000", "vProductSales:10000"}));
    OdbcRun kinds = c.Run(
        "select o.xtype, object_name(o.parent_obj), c.text from sysobjects o join syscomments c on c.id = o.id where o.xtype in ('D', 'C') "
        "order by o.name");
    ASSERT_EQ(kinds.results.size(), 1u);
    EXPECT_EQ(kinds.results[0].rows,
              (std::vector<std::vector<std::string>>{
                  {"C ", "OrderLines", "(Quantity > 0)"}, {"D ", "Customers", "(getdate())"}, {"D ", "Products", "((1))"}}));

    OdbcRun structure = c.Run(
        "SELECT COLUMN_NAME, DATA_TYPE,CHARACTER_MAXIMUM_LENGTH,NUMERIC_PRECISION,NUMERIC_SCALE,IS_NULLABLE, "
        "COLUMNPROPERTY(OBJECT_ID(TABLE_NAME), COLUMN_NAME, 'IsIdentity') AS IS_AUTOINCREMENT,COLUMN_DEFAULT FROM  "
        "INFORMATION_SCHEMA.COLUMNS WHERE  TABLE_NAME = 'Products' ORDER BY ORDINAL_POSITION");
    ASSERT_EQ(structure.results.size(), 1u);
    ASSERT_EQ(structure.results[0].rows.size(), 5u);
    EXPECT_EQ(structure.results[0].rows[0], (std::vector<std::string>{"ProductID", "int", "<NULL>", "10", "0", "NO", "1", "<NULL>"}));
    EXPECT_EQ(structure.results[0].rows[3], (std::vector<std::string>{"UnitPrice", "decimal", "<NULL>", "10", "2", "NO", "0", "<NULL>"}));
    EXPECT_EQ(structure.results[0].rows[4][7], "((1))");

    OdbcRun source = c.Run(
        "select cast(text as nvarchar(4000)) text from syscomments where objectproperty(id, N'IsView') = 1   and object_name(id) = "
        "N'vCustomerOrders' order by number, colid ");
    ASSERT_EQ(source.results.size(), 1u);
    ASSERT_EQ(source.results[0].rows.size(), 1u);
    EXPECT_EQ(source.results[0].rows[0][0].rfind("CREATE VIEW vCustomerOrders AS", 0), 0u);

    OdbcRun preview = c.Run("select top 100 * from [Orders]");
    ASSERT_EQ(preview.results.size(), 1u);
    EXPECT_EQ(preview.results[0].rows.size(), 100u);
    EXPECT_EQ(preview.results[0].names[0], "OrderID");
}

TEST_F(Sandbox, LongSourceComesInPiecesOf4000) {
    // Pieces of at most 4000 UTF-16 units, in order; Greek text and a character beyond the basic
    // plane (two units, never split) survive the window's nvarchar query.
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs("demo")));
    std::string body = "CREATE PROCEDURE LongOne AS\nBEGIN\n";
    while (body.size() < 3900) body += "  SELECT 1 AS one\n";
    body += "  -- ";
    body.resize(3999, '-');  // the emoji's two units then straddle the end of the first piece
    body += "\xF0\x9F\x98\x80 \xCE\xA3\xCF\x87\xCF\x8C\xCE\xBB\xCE\xB9\xCE\xBF\n";
    while (body.size() < 9000) body += "  SELECT 1 AS one\n";
    body += "END";
    ASSERT_TRUE(c.Run(body).ok);
    OdbcRun source = c.Run(
        "select cast(text as nvarchar(4000)) text from syscomments where objectproperty(id, N'IsProcedure') = 1   and object_name(id) = "
        "N'LongOne' order by number, colid ");
    ASSERT_EQ(source.results.size(), 1u);
    ASSERT_EQ(source.results[0].rows.size(), 3u);
    auto units = [](const std::string& s) {
        size_t n = 0;
        for (unsigned char ch : s) n += (ch & 0xC0) != 0x80 ? (ch >= 0xF0 ? 2 : 1) : 0;
        return n;
    };
    std::string joined;
    for (const auto& r : source.results[0].rows) {
        EXPECT_LE(units(r[0]), 4000u);
        joined += r[0];
    }
    EXPECT_EQ(units(source.results[0].rows[0][0]), 3999u);
    EXPECT_EQ(joined, body);
}

TEST_F(Sandbox, LongGeneratedResultArrivesWhole) {
    // Many packets, with texts that need conversion, cross the writer's buffer growth.
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    OdbcRun run = c.Run("exec sp_sandbox_rows 20000");
    ASSERT_TRUE(run.ok);
    ASSERT_FALSE(run.results.empty());
    const OdbcResult& r = run.results[0];
    ASSERT_EQ(r.rows.size(), 20000u);
    EXPECT_EQ(r.names, (std::vector<std::string>{"id", "big", "name", "wide_name", "amount", "created", "ratio", "flag"}));
    EXPECT_EQ(r.rows.back(), (std::vector<std::string>{"20000", "60000000140000", "customer_name_0020000", "wide_n\xC3\xA4me_0020000",
                                                       "24690.0000", "2024-01-06 05:33:20.000", "2857.1428571428573", "0"}));
}

TEST_F(Sandbox, CancelStopsAWaitfor) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    OdbcRun run = c.Run("waitfor delay '00:00:20' select 1 as late");
    canceller.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(run.ok);
    OdbcRun after = c.Run("select 2 as again");
    ASSERT_EQ(after.results.size(), 1u) << "the connection is usable after a cancel";
    EXPECT_EQ(after.results[0].rows[0][0], "2");
}

TEST_F(Sandbox, DroppedConnectionIsReported) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs("demo")));
    c.Run("exec sp_sandbox_drop_after_rows 10");
    OdbcRun run = c.Run("select * from Orders");
    EXPECT_FALSE(run.ok);
    bool lost = false;
    for (const auto& d : run.diags) lost = lost || d.state == "08S01" || d.native == 20017 || d.native == 20004;
    EXPECT_TRUE(lost) << (run.diags.empty() ? "no diagnostics" : run.diags[0].state + " " + run.diags[0].text);
}

TEST_F(Sandbox, TwoClientsAtOnce) {
    auto work = [&](int n, std::string* error) {
        OdbcProbe c;
        if (!c.Connect(Cs("demo"))) {
            *error = "connect failed";
            return;
        }
        for (int i = 0; i < 20; ++i) {
            OdbcRun r = c.Run("select count(*) from Orders where CustomerID > " + std::to_string(n));
            if (r.results.size() != 1 || r.results[0].rows.size() != 1) *error = "bad result";
        }
    };
    std::string e1, e2;
    std::thread a(work, 1, &e1), b(work, 2, &e2);
    a.join();
    b.join();
    EXPECT_EQ(e1, "");
    EXPECT_EQ(e2, "");
}

TEST_F(Sandbox, RecursionStopsAtNestingLevel32) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    c.Run("create procedure rec_p as exec rec_p");
    const OdbcRun deep = c.Run("exec rec_p");
    EXPECT_TRUE(deep.HasDiag(217));
    bool text = false;
    for (const auto& d : deep.diags)
        text = text ||
               d.text.find("Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32).") != std::string::npos;
    EXPECT_TRUE(text);
    // Level 32 itself still runs.
    c.Run("create procedure depth_p @n int as if @n < 32 begin declare @m int = @n + 1 exec depth_p @m end else select @@nestlevel as lvl");
    const OdbcRun ok = c.Run("exec depth_p 1");
    ASSERT_FALSE(ok.results.empty());
    EXPECT_EQ(ok.results.back().rows.at(0).at(0), "32");
    const OdbcRun after = c.Run("select 1 as one");
    ASSERT_EQ(after.results.size(), 1u);
}

TEST_F(Sandbox, DatabaseNamesStayInsideTheDataFolder) {
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(Cs()));
    const std::filesystem::path dir = server_->DataDir();
    c.Run("create database [../escaped_by_name]");
    c.Run("create database [sub/dir\\x]");
    EXPECT_FALSE(std::filesystem::exists(dir.parent_path() / "escaped_by_name.db"));
    for (const auto& e : std::filesystem::directory_iterator(dir.parent_path()))
        EXPECT_EQ(e.path().filename().string().find("escaped_by_name"), std::string::npos) << e.path();
    const OdbcRun names = c.Run("select name from sysdatabases where name like '%escaped%' or name like 'sub%' order by name");
    ASSERT_EQ(names.results.size(), 1u);
    EXPECT_EQ(names.results[0].rows, (std::vector<std::vector<std::string>>{{"../escaped_by_name"}, {"sub/dir\\x"}}));
    // Each can be used.
    OdbcProbe other;
    ASSERT_TRUE(other.Connect(Cs("../escaped_by_name")));
    const OdbcRun made = other.Run("create table t (a int) insert into t values (5) select a from t");
    ASSERT_FALSE(made.results.empty()) << (made.diags.empty() ? std::string("no diagnostics") : made.diags[0].text);
    EXPECT_EQ(made.results.back().rows.at(0).at(0), "5");
}

TEST_F(Sandbox, LocalTemporaryTablesBelongToTheirSession) {
    auto a = std::make_unique<OdbcProbe>();
    OdbcProbe b;
    ASSERT_TRUE(a->Connect(Cs()));
    ASSERT_TRUE(b.Connect(Cs()));
    const OdbcRun made = a->Run("create table #mine (v int) insert into #mine values (1) select v from #mine");
    ASSERT_FALSE(made.results.empty()) << (made.diags.empty() ? "" : made.diags[0].text);
    EXPECT_EQ(made.results.back().rows.at(0).at(0), "1");
    EXPECT_TRUE(b.Run("select v from #mine").HasDiag(208)) << "another session does not see it";
    const OdbcRun own = b.Run("create table #mine (w int) insert into #mine values (2) select w from #mine");
    ASSERT_FALSE(own.results.empty()) << (own.diags.empty() ? "" : own.diags[0].text);
    EXPECT_EQ(own.results.back().rows.at(0).at(0), "2");
    const OdbcRun missing = b.Run("select * from #other");
    bool named = false;
    for (const auto& d : missing.diags) named = named || d.text.find("Invalid object name '#other'.") != std::string::npos;
    EXPECT_TRUE(named) << "the name as written";
    a.reset();  // the session ends, and its table with it
    for (int tries = 0; tries < 100; ++tries) {
        if (b.Run("select count(*) from sysobjects where name like '#mine%'").results.at(0).rows.at(0).at(0) == "1") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(b.Run("select count(*) from sysobjects where name like '#mine%'").results.at(0).rows.at(0).at(0), "1");
}

}  // namespace
