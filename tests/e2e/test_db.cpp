// The access layer, the query thread and the result dataset through FreeTDS against the stand-in.
#include "SandboxProcess.h"
#include "uDbAccess.h"
#include "uNbData.h"
#include "uNbFormat.h"
#include "uQueryThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

class Db : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new SandboxProcess(true); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static std::string OleDb(const std::string& user, const std::string& password) {
        return OleDbConnectionString({"127.0.0.1," + std::to_string(server_->Port()), user, password, false, ""});
    }
    void SetUp() override {
        FormatSettings() = TFormatSettings{};
        db_.ConnectionString = OleDb("sa", SandboxProcess::Password());
        db_.Open();
        db_.Execute("use [demo]");
    }
    static std::vector<std::string> Row(TMemCustomDataSet& ds) {
        std::vector<std::string> out;
        for (int i = 0; i < ds.FieldCount(); ++i) out.push_back(ds.Field(i).ValueIsNull() ? "<null>" : ds.Field(i).ValueText());
        return out;
    }
    static SandboxProcess* server_;
    TDbConnection db_;
};
SandboxProcess* Db::server_ = nullptr;

TEST_F(Db, WrongPasswordGivesTheServersMessage) {
    TDbConnection other;
    other.ConnectionString = OleDb("sa", "nope");
    try {
        other.Open();
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "Login failed for user 'sa'.");
    }
    EXPECT_FALSE(other.Connected());
}

TEST_F(Db, NonAsciiAndQuotedLoginsConnect) {
    // Through the wide-character connect, UTF-8 logins and passwords reach the server as typed; a
    // login holding ";Password=" is quoted in the OLE DB text and read back whole.
    struct Case {
        const char* user;
        const char* password;
    };
    const Case cases[] = {{"l\xC3\xB6gin\xE2\x82\xAC", "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC"},
                          {"plain8", "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC"},
                          {"we;Password=x", "pw;1"}};
    for (const Case& c : cases) {
        std::string quotedUser = "[";
        for (const char* q = c.user; *q; ++q) quotedUser += *q;
        db_.Execute("CREATE LOGIN " + quotedUser + "] WITH PASSWORD = N'" + c.password + "'");
        TDbConnection other;
        other.ConnectionString = OleDb(c.user, c.password);
        EXPECT_NO_THROW(other.Open()) << c.user;
        EXPECT_TRUE(other.Connected()) << c.user;
    }
}

TEST_F(Db, PasswordWithSemicolonAndBrace) {
    db_.Execute("CREATE LOGIN quoted WITH PASSWORD = 'a;b}c'");
    TDbConnection other;
    other.ConnectionString = OleDb("quoted", "a;b}c");
    EXPECT_NO_THROW(other.Open());
    EXPECT_TRUE(other.Connected());
}

// Only the driver's prefix is taken from a message: the server's text keeps its own brackets.
TEST_F(Db, MessagesKeepTheirOwnBrackets) {
    std::vector<std::string> infos;
    db_.OnInfoMessage = [&](const TDbErrorItem& e) { infos.push_back(e.Description); };
    DbExecuteCommand(db_, "print '[{\"a\":1}]'");
    EXPECT_EQ(infos, (std::vector<std::string>{"[{\"a\":1}]"}));
    try {
        DbExecuteCommand(db_, "raiserror('[step 2] broken', 16, 1)");
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "[step 2] broken");
    }
}

TEST_F(Db, TwoResultsMessagesAndErrors) {
    std::vector<std::string> infos;
    db_.OnInfoMessage = [&](const TDbErrorItem& e) { infos.push_back(e.Description); };
    auto r = DbOpenQuery(db_, "print 'first' select 1 as a select 'x' as b, 'y' as B");
    ASSERT_TRUE(r->IsOpen());
    EXPECT_EQ(infos, (std::vector<std::string>{"first"}));
    ASSERT_FALSE(db_.Errors().empty());
    EXPECT_EQ(db_.Errors()[0].Number, 0);
    EXPECT_EQ(db_.Errors()[0].Description, "first");
    EXPECT_EQ(Row(*r->DataSet()), (std::vector<std::string>{"1"}));
    auto r2 = r->NextRecordset();
    ASSERT_TRUE(r2 && r2->IsOpen());
    EXPECT_EQ(r2->DataSet()->Field(1).FieldName(), "B_1");
    EXPECT_EQ(r2->NextRecordset(), nullptr);

    try {
        DbOpenQuery(db_, "raiserror('broken %d', 16, 1, 5)");
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "broken 5");
        EXPECT_EQ(db_.Errors().at(0).Number, 50000);
    }
    try {
        DbOpenQuery(db_, "update Products set InStock = 1 where ProductID = 1");
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "CommandText does not return a result set");
    }
    auto closed = DbExecuteCommand(db_, "update Products set InStock = 1 where ProductID = 1");
    EXPECT_FALSE(closed->IsOpen());
}

TEST_F(Db, ConnectionLostMidResult) {
    db_.Execute("exec sp_sandbox_drop_after_rows 100");
    try {
        DbOpenQuery(db_, "select * from Orders");
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "Connection failure");
    }
}

// A waiter that counts how often the caller's loop turns while the worker runs.
class CountingWaiter : public TQueryWaiter {
public:
    int turns = 0;
    void Wait(const std::function<bool()>& done) override {
        while (!done()) {
            ++turns;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void Wake() override {}
};

TEST_F(Db, QueryThreadKeepsTheCallerTurning) {
    CountingWaiter waiter;
    auto r = RunOnQueryThread(db_, "waitfor delay '00:00:00.500' select 7 as seven", false, waiter);
    EXPECT_GT(waiter.turns, 10);
    ASSERT_TRUE(r->IsOpen());
    EXPECT_EQ(r->DataSet()->Field(0).AsInteger(), 7);

    TBlockingWaiter blocking;
    try {
        RunOnQueryThread(db_, "select * from NoSuchTable", false, blocking);
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "Invalid object name 'NoSuchTable'.");
    }
    auto closed = RunOnQueryThread(db_, "update Products set InStock = 1 where ProductID = 2", true, blocking);
    EXPECT_FALSE(closed->IsOpen());
}

TEST_F(Db, ColumnNamesAndTypesInTheResultDataset) {
    auto names = DbOpenQuery(db_, "select 1, 2, 3 as a, 4 as A");
    TNbDataSet copy;
    copy.Open();
    copy.CopyFromDataSet(*names->DataSet());
    ASSERT_EQ(copy.FieldCount(), 4);
    EXPECT_EQ(copy.Field(0).FieldName(), "COLUMN1");
    EXPECT_EQ(copy.Field(1).FieldName(), "COLUMN2");
    EXPECT_EQ(copy.Field(3).FieldName(), "A_1");
    // Names beyond ASCII arrive whole (the driver manager's narrow form cuts each letter to a byte).
    auto wide = DbOpenQuery(db_, "select 1 as [L\u00e4nge], 2 as [\u03a9], 3 as [l\u00c4nge]");
    ASSERT_EQ(wide->DataSet()->FieldCount(), 3);
    EXPECT_EQ(wide->DataSet()->Field(0).FieldName(), "L\u00e4nge");
    EXPECT_EQ(wide->DataSet()->Field(1).FieldName(), "\u03a9");

    struct Case {
        const char* expr;
        int fieldType;
        const char* value;
    };
    const Case cases[] = {
        {"cast(5 as int)", ftInteger, "5"},
        {"cast(NULL as int)", ftInteger, "<null>"},
        {"cast(9000000000 as bigint)", ftLargeint, "9000000000"},
        {"cast(NULL as bigint)", ftLargeint, "<null>"},
        {"cast(7 as tinyint)", ftWord, "7"},
        {"cast(1 as bit)", ftBoolean, "True"},
        {"cast('1.2345678' as decimal(18,6))", ftFMTBcd, "1.234568"},
        {"cast('12.5' as decimal(10,2))", ftBCD, "12.5"},
        {"cast('-12345678901234567890.1234567890' as decimal(38,10))", ftFMTBcd, "-12345678901234567890.1234567890"},
        {"cast('4.25' as money)", ftBCD, "4.25"},
        {"cast(42 as numeric(5,0))", ftInteger, "42"},
        {"cast(0.5 as float)", ftFloat, "0.5"},
        {"cast('2009-03-04 00:00:01' as datetime)", ftDateTime, "3/4/2009 12:00:01 AM"},
        {"cast('2024-01-02 03:04:05.1234567' as datetime2)", ftTimeStamp, "2024-01-02 03:04:05.1234567"},
        {"cast('2024-01-02' as date)", ftDate, "1/2/2024"},
        {"cast('abc' as varchar(10))", ftString, "abc"},
        {"cast('' as varchar(10))", ftString, ""},
        {"cast(NULL as varchar(10))", ftString, "<null>"},
        {"cast(N'\xD0\x9F\xD1\x80\xD0\xB8' as nvarchar(10))", ftString, "\xD0\x9F\xD1\x80\xD0\xB8"},
        {"cast(NULL as nvarchar(10))", ftString, "<null>"},
        // ASCII runs between a letter of two bytes and one beyond the plane (a surrogate pair).
        {"cast(N'abcdefgh\xC3\xA4ijklmnop\xF0\x9F\x98\x80qrs' as nvarchar(40))", ftString, "abcdefgh\xC3\xA4ijklmnop\xF0\x9F\x98\x80qrs"},
        {"cast(N'ab' as nchar(3))", ftFixedWideChar, "ab "},
        {"cast(N'wide' as ntext)", ftWideMemo, "wide"},
        {"cast(N'max' as nvarchar(max))", ftWideMemo, "max"},
        {"cast('long' as varchar(max))", ftMemo, "long"},
        {"cast('6F9619FF-8B86-D011-B42D-00C04FC964FF' as uniqueidentifier)", ftGuid, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"cast(NULL as image)", ftBlob, "<null>"},
        {"cast(0x as varbinary(max))", ftBlob, ""},  // empty, not null
    };
    for (const auto& c : cases) {
        auto r = DbOpenQuery(db_, std::string("select ") + c.expr + " as v");
        TNbDataSet ds;
        ds.Open();
        ds.CopyFromDataSet(*r->DataSet());
        ASSERT_EQ(ds.FieldCount(), 1) << c.expr;
        EXPECT_EQ(ds.Field(0).DataType(), c.fieldType) << c.expr;
        EXPECT_EQ(Row(ds)[0], c.value) << c.expr;
    }
}

TEST_F(Db, ManyBlocksOfRowsArriveWhole) {
    auto r = DbOpenQuery(db_, "exec sp_sandbox_rows 1600");
    TMemCustomDataSet& ds = *r->DataSet();
    ASSERT_EQ(ds.RowCount(), 1600);
    for (int row : {1, 512, 513, 1025, 1600}) {
        ds.SetRowNumber(row);
        EXPECT_EQ(ds.Field(0).AsInteger(), row);
        EXPECT_EQ(ds.Field(2).ValueText(), NbFormat("customer_name_%07d", row));
        EXPECT_EQ(ds.Field(3).ValueText(), NbFormat("wide_n\xC3\xA4me_%07d", row));
    }
}

TEST_F(Db, EmptyResultKeepsItsColumns) {
    auto r = DbOpenQuery(db_, "select * from Customers where 1 = 0");
    TNbDataSet ds;
    ds.Open();
    ds.CopyFromDataSet(*r->DataSet());
    EXPECT_EQ(ds.FieldCount(), 6);
    EXPECT_EQ(ds.RowCount(), 0);
}

TEST(NbData, SmartCopyMergesLayouts) {
    TNbDataSet target;
    target.DefineField("A", ftInteger, 0);
    target.DefineField("B", ftString, 10);
    target.Open();
    TMemDataSet source;
    source.DefineField("B", ftString, 10);
    source.DefineField("C", ftInteger, 0);
    source.Open();
    for (int i = 1; i <= 2; ++i) {
        source.AppendRow();
        source.Field(0).SetValueText("b" + std::to_string(i));
        source.Field(1).SetAsInteger(i);
        source.PostRow();
    }
    target.SmartCopy(source);
    ASSERT_EQ(target.FieldCount(), 3);
    EXPECT_EQ(target.Field(0).FieldName(), "A");
    EXPECT_EQ(target.Field(1).FieldName(), "B");
    EXPECT_EQ(target.Field(2).FieldName(), "C");
    ASSERT_EQ(target.RowCount(), 2);
    target.MoveFirst();
    EXPECT_TRUE(target.Field(0).ValueIsNull());
    EXPECT_EQ(target.Field(1).ValueText(), "b1");
    EXPECT_EQ(target.Field(2).AsInteger(), 1);
}

}  // namespace

namespace {

TEST_F(Db, LargeValueRowsKeepEveryTypeWhateverTheRegionalFormats) {
    // A large-value column makes the fetch read one row at a time. Dates must not go through the
    // regional formats (a time separator "." broke them), and a sql_variant holding a number must
    // not make the large-value read loop (FreeTDS answers "truncated" with a length that fits).
    {
        std::unique_ptr<TDbRecordset> v = DbOpenQuery(db_,
                                                      "select cast(12 as sql_variant) as v, cast(2.5 as sql_variant) as w, "
                                                      "cast(cast(12.345 as decimal(9,3)) as sql_variant) as x, "
                                                      "cast(cast('2011-12-04 10:04:23.123' as datetime) as sql_variant) as y");
        EXPECT_EQ(v->DataSet()->Field(0).ValueText(), "12");
        EXPECT_EQ(v->DataSet()->Field(1).ValueText(), "2.5");
        EXPECT_EQ(v->DataSet()->Field(2).ValueText(), "12.345");
        EXPECT_EQ(v->DataSet()->Field(3).ValueText(), "2011-12-04 10:04:23.123");
    }
    TFormatSettings fi;
    fi.ShortDateFormat = "d.M.yyyy";
    fi.DateSeparator = ".";
    fi.LongTimeFormat = "H.mm.ss";
    fi.TimeSeparator = ".";
    fi.DecimalSeparator = ",";
    FormatSettings() = fi;
    std::unique_ptr<TDbRecordset> r =
        DbOpenQuery(db_,
                    "select cast('x' as varchar(max)) as m, cast('' as varchar(max)) as e, cast(null as varchar(max)) as n, "
                    "cast('2024-01-02 03:04:05.123' as datetime) as d, cast('2024-01-02' as date) as dd, cast(2.5 as float) as f, "
                    "cast(1 as bit) as b, cast(12 as sql_variant) as v, cast(N'text' as sql_variant) as vt");
    TMemCustomDataSet& ds = *r->DataSet();
    TDateTime expected = 0, t = 0;
    ASSERT_TRUE(TryEncodeDate(2024, 1, 2, expected));
    ASSERT_TRUE(TryEncodeTime(3, 4, 5, 123, t));
    EXPECT_DOUBLE_EQ(ds.FieldNamed("d")->AsDateTime(), expected + t);
    EXPECT_DOUBLE_EQ(ds.FieldNamed("dd")->AsDateTime(), expected);
    EXPECT_EQ(ds.FieldNamed("f")->AsFloat(), 2.5);
    EXPECT_TRUE(ds.FieldNamed("b")->AsBoolean());
    EXPECT_EQ(ds.FieldNamed("v")->ValueText(), "12");
    EXPECT_EQ(ds.FieldNamed("vt")->ValueText(), "text");
    EXPECT_EQ(ds.FieldNamed("m")->ValueText(), "x");
    EXPECT_FALSE(ds.FieldNamed("e")->ValueIsNull()) << "an empty large value is not null";
    EXPECT_TRUE(ds.FieldNamed("n")->ValueIsNull());
    EXPECT_EQ(FormatSettings().ShortDateFormat, "d.M.yyyy") << "the fetch leaves the regional settings alone";
    FormatSettings() = TFormatSettings{};
}

}  // namespace
