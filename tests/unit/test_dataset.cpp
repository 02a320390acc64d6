#include "dataset_fixture.h"

#include "uNbExceptions.h"

#include <cmath>
#include <thread>

namespace {

template <typename F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no error>";
}

TEST(FastFields, SplitAtTheLastTwoCommas) {
    struct Case {
        const char* text;
        const char* name;
        int type, size;
    };
    const Case cases[] = {
        {"CustName,1,40", "CustName", 1, 40},
        {"Qty,3,0", "Qty", 3, 0},
        {"Price, net,6,8", "Price, net", 6, 8},
        {"A,x,10", "A", 0, 10},
        {"B,3,y", "B", 3, 0},
        {",,", "", 0, 0},
        {"a,b,c,d,5,7", "a,b,c,d", 5, 7},
    };
    for (const auto& c : cases) {
        const TMemFastField f = ParseFastField(c.text);
        EXPECT_EQ(f.name, c.name) << c.text;
        EXPECT_EQ(f.type, c.type) << c.text;
        EXPECT_EQ(f.size, c.size) << c.text;
    }
}

using Dataset = DatasetTest;

TEST_F(Dataset, OpensWithoutColumns) {
    TMemDataSet ds;
    ds.Open();
    EXPECT_EQ(ds.FieldCount(), 0);
    EXPECT_EQ(ds.RowCount(), 0);
    EXPECT_TRUE(ds.AtEnd());
    EXPECT_TRUE(ds.AtStart());
}

TEST_F(Dataset, LayoutFromFastFields) {
    TMemDataSet ds;
    ds.FastFields() = {"Price, net,6,8", "A,x,10", "Id,35,5"};
    ds.DefineField("G", ftGuid, 12);
    ds.Open();
    ASSERT_EQ(ds.FieldCount(), 4);
    EXPECT_EQ(ds.Field(0).FieldName(), "Price, net");
    EXPECT_EQ(ds.Field(0).DataType(), ftFloat);
    EXPECT_EQ(ds.Field(1).DataType(), ftUnknown);
    EXPECT_EQ(ds.FastFields().back(), "G,35,38");
    EXPECT_EQ(ds.Field(3).Size(), 38);
    EXPECT_EQ(ds.Field(0).ClassName(), "TFloatField");
    EXPECT_EQ(ds.FieldNamed("price, NET"), &ds.Field(0));
    EXPECT_EQ(ds.FieldNamed("nope"), nullptr);

    ds.AppendRow();
    ds.Field(1).SetValueText("anything");
    ds.PostRow();
    EXPECT_FALSE(ds.Field(1).ValueIsNull()) << "the null flag follows writes";
    EXPECT_EQ(ds.Field(1).ValueText(), "");
}

TEST_F(Dataset, ValueAndDisplayTexts) {
    struct Case {
        int type, size;
        const char* input;
        const char* value;
        const char* display;
    };
    const Case cases[] = {
        {ftString, 10, "hello", "hello", "hello"},
        {ftFixedChar, 10, "ab  ", "ab  ", "ab  "},
        {ftSmallint, 0, "-12", "-12", "-12"},
        {ftInteger, 0, "2147483647", "2147483647", "2147483647"},
        {ftWord, 0, "65535", "65535", "65535"},
        {ftLargeint, 0, "-9223372036854775808", "-9223372036854775808", "-9223372036854775808"},
        {ftBoolean, 0, "tr", "True", "True"},
        {ftBoolean, 0, "FALSE", "False", "False"},
        {ftFloat, 0, "3.25", "3.25", "3.25"},
        {ftFloat, 0, "0.1", "0.1", "0.1"},
        {ftFloat, 0, "1e20", "1E20", "1E20"},
        {ftFloat, 0, "0.00001", "1E-5", "1E-5"},
        {ftFloat, 0, "123456789012345678", "1.23456789012346E17", "1.23456789012346E17"},
        {ftCurrency, 0, "-1234.5", "-1234.5", "($1,234.50)"},
        {ftCurrency, 0, "1234567.125", "1234567.125", "$1,234,567.13"},
        {ftBCD, 4, "12.5000", "12.5", "12.5"},
        {ftBCD, 4, "1.2345678", "1.2346", "1.2346"},
        {ftBCD, 4, "-7", "-7", "-7"},
        {ftDate, 0, "3/4/2009", "3/4/2009", "3/4/2009"},
        {ftTime, 0, "13:05:09", "1:05:09 PM", "1:05:09 PM"},
        {ftTime, 0, "12:00:00 AM", "12:00:00 AM", "12:00:00 AM"},
        {ftDateTime, 0, "3/4/2009", "3/4/2009", "3/4/2009"},
        {ftDateTime, 0, "3/4/2009 0:00:01", "3/4/2009 12:00:01 AM", "3/4/2009 12:00:01 AM"},
        {ftTimeStamp, 7, "2024-01-02 03:04:05.1234567", "2024-01-02 03:04:05.1234567", "2024-01-02 03:04:05.1234567"},
        {ftFMTBcd, 10, "12345678901234567890123456.7890123456", "12345678901234567890123456.7890123456",
         "12345678901234567890123456.7890123456"},
        {ftFMTBcd, 2, "-0.5", "-0.50", "-0.50"},
        {ftGuid, 38, "{0F8FAD5B-D9CB-469F-A165-70867728950E}", "{0F8FAD5B-D9CB-469F-A165-70867728950E}",
         "{0F8FAD5B-D9CB-469F-A165-70867728950E}"},
        {ftWideString, 5, "\xC3\xA9t\xC3\xA9s", "\xC3\xA9t\xC3\xA9s", "\xC3\xA9t\xC3\xA9s"},
        {ftFixedWideChar, 3, "abc", "abc", "abc"},
        {ftWideMemo, 0, "line1\r\nline2", "line1\r\nline2", "line1\r\nline2"},
        {ftMemo, 0, "memo text", "memo text", "memo text"},
        {ftVariant, 0, "42", "42", "42"},
    };
    for (const auto& c : cases) {
        auto ds = OneColumn(c.type, c.size, {c.input});
        EXPECT_EQ(ds->Field(0).ValueText(), c.value) << FieldTypeName(c.type) << " " << c.input;
        EXPECT_EQ(ds->Field(0).DisplayText(), c.display) << FieldTypeName(c.type) << " " << c.input;
    }
}

TEST_F(Dataset, TextsFollowRegionalSettings) {
    TFormatSettings& fs = FormatSettings();
    fs.DecimalSeparator = ",";
    fs.ShortDateFormat = "dd.mm.yyyy";
    fs.DateSeparator = ".";
    fs.LongTimeFormat = "hh:nn:ss";
    auto f = OneColumn(ftFloat, 0, {"2,5"});
    EXPECT_EQ(f->Field(0).ValueText(), "2,5");
    auto d = OneColumn(ftDateTime, 0, {"04.03.2009 17:30:00"});
    EXPECT_EQ(d->Field(0).ValueText(), "04.03.2009 17:30:00");
    {
        TFormatSettingsSwap swap("M/d/yyyy", "/");
        EXPECT_EQ(d->Field(0).ValueText(), "3/4/2009 17:30:00");
        std::string elsewhere, helper;
        std::thread([&] { elsewhere = d->Field(0).ValueText(); }).join();
        std::thread([&] {
            const TFormatSettingsUse use(swap.Settings());
            helper = d->Field(0).ValueText();
        }).join();
        EXPECT_EQ(elsewhere, "04.03.2009 17:30:00") << "another thread keeps the process-wide settings";
        EXPECT_EQ(helper, "3/4/2009 17:30:00") << "a helper of the swapping thread uses its settings";
    }
    EXPECT_EQ(d->Field(0).ValueText(), "04.03.2009 17:30:00") << "settings restored";
}

TEST_F(Dataset, TextIsCutAtDeclaredCharactersAndNul) {
    struct Case {
        int type, size;
        std::string input, stored;
    };
    const Case cases[] = {
        {ftString, 5, "abcdefg", "abcde"},
        {ftString, 5, "", ""},
        {ftString, 5, std::string("ab\0cd", 5), "ab"},
        {ftString, 3, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9\xC3\xA9"},
        {ftString, 2,
         "a\xE2\x82\xAC"
         "b",
         "a\xE2\x82\xAC"},
        {ftWideString, 2, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {ftVarBytes, 3, std::string("\0\1\2\3", 4), std::string("\0\1\2", 3)},
    };
    for (const auto& c : cases) {
        TMemDataSet ds;
        ds.DefineField("T", c.type, c.size);
        ds.Open();
        ds.AppendRow();
        ds.Field(0).SetValueText(c.input);
        ds.PostRow();
        EXPECT_FALSE(ds.Field(0).ValueIsNull());
        EXPECT_EQ(ds.Field(0).ValueText(), c.stored) << c.input;
    }
}

TEST_F(Dataset, NullVersusEmpty) {
    TMemDataSet ds;
    ds.DefineField("S", ftString, 10);
    ds.DefineField("I", ftInteger, 0);
    ds.DefineField("M", ftMemo, 0);
    ds.Open();
    ds.AppendRow();
    ds.PostRow();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ds.Field(i).ValueIsNull()) << "a new row is all null";

    ds.EditRow();
    ds.Field(0).SetValueText("");
    ds.Field(1).SetValueText("");
    ds.Field(2).SetValueText("");
    ds.PostRow();
    EXPECT_FALSE(ds.Field(0).ValueIsNull()) << "empty text is a value";
    EXPECT_TRUE(ds.Field(1).ValueIsNull()) << "empty text stores null in a number";
    EXPECT_FALSE(ds.Field(2).ValueIsNull()) << "an empty memo is a value, as in the database";

    ds.EditRow();
    ds.Field(0).ClearValue();
    ds.Field(1).SetAsInteger(0);
    ds.PostRow();
    EXPECT_TRUE(ds.Field(0).ValueIsNull());
    EXPECT_FALSE(ds.Field(1).ValueIsNull());
    EXPECT_EQ(ds.Field(1).AsInteger(), 0);
    EXPECT_EQ(ds.Field(0).AsInteger(), 0) << "reading a null gives 0";
}

TEST_F(Dataset, NullFlagAreaFor33Columns) {
    TMemDataSet ds;
    for (int i = 1; i <= 33; ++i) ds.DefineField("C" + std::to_string(i), ftInteger, 0);
    ds.Open();
    EXPECT_EQ(ds.NullFlagWords(), 3);
    const TField& last = ds.Field(32);
    EXPECT_EQ(last.NullWordOffset(), ds.FieldList().back().Offset + 4 + 4) << "second word of the flag area";
    EXPECT_EQ(last.NullBit(), 1u);
    EXPECT_EQ(ds.Field(31).NullBit(), 1u << 31);

    ds.AppendRow();
    ds.Field(32).SetAsInteger(7);
    ds.PostRow();
    for (int i = 0; i < 32; ++i) ASSERT_TRUE(ds.Field(i).ValueIsNull());
    EXPECT_EQ(ds.Field(32).AsInteger(), 7);
}

TEST_F(Dataset, WideTypesVariantAndDecimalKeepTheirValues) {
    TMemDataSet ds;
    ds.DefineField("W", ftWideString, 10);
    ds.DefineField("F", ftFixedWideChar, 4);
    ds.DefineField("M", ftWideMemo, 0);
    ds.DefineField("V", ftVariant, 0);
    ds.DefineField("D", ftFMTBcd, 10);
    ds.Open();
    ds.AppendRow();
    ds.Field(0).SetValueText("\xD0\x9F\xD1\x80\xD0\xB8");  // Cyrillic
    ds.Field(1).SetValueText("ab  ");
    ds.Field(2).SetValueText(std::string(10000, 'x'));
    ds.Field(3).SetValueText("2024-01-02");
    ds.Field(4).SetValueText("-9999999999999999999999999999.9999999999");
    ds.PostRow();
    EXPECT_EQ(ds.Field(0).ValueText(), "\xD0\x9F\xD1\x80\xD0\xB8");
    EXPECT_EQ(ds.Field(1).ValueText(), "ab  ");
    EXPECT_EQ(ds.Field(2).ValueText().size(), 10000u);
    EXPECT_EQ(ds.Field(3).ValueText(), "2024-01-02");
    EXPECT_EQ(ds.Field(4).ValueText(), "-9999999999999999999999999999.9999999999");

    ds.EditRow();
    EXPECT_EQ(ErrorOf([&] { ds.Field(4).SetValueText("1234567890123456789012345678901234567890"); }),
              "'1234567890123456789012345678901234567890' is not a valid floating point value for field 'D'");
    ds.CancelRow();
}

TEST_F(Dataset, ConversionErrorsKeepTheRowPending) {
    struct Case {
        int type;
        const char* input;
        const char* message;
    };
    const Case cases[] = {
        {ftInteger, "12x", "'12x' is not a valid integer value for field 'Label'"},
        {ftSmallint, "40000", "'40000' is not a valid integer value for field 'Label'"},
        {ftFloat, "1.2.3", "'1.2.3' is not a valid floating point value for field 'Label'"},
        {ftBoolean, "yes", "'yes' is not a valid boolean value for field 'Label'"},
        {ftDate, "13/45/2009", "'13/45/2009' is not a valid date"},
        {ftTime, "25:00:00", "'25:00:00' is not a valid time"},
        {ftDateTime, "soon", "'soon' is not a valid date and time"},
    };
    for (const auto& c : cases) {
        TMemDataSet ds;
        ds.DefineField("F", c.type, 0);
        ds.Open();
        ds.Field(0).SetDisplayLabel("Label");
        ds.AppendRow();
        EXPECT_EQ(ErrorOf([&] { ds.Field(0).SetValueText(c.input); }), c.message);
        EXPECT_EQ(ds.State(), TDataSetState::Insert);
        ds.PostRow();
        EXPECT_EQ(ds.RowCount(), 1);
    }
}

TEST_F(Dataset, WritesOutsideEditingAndReadOnlyFail) {
    auto ds = OneColumn(ftInteger, 0, {"1", "2"});
    EXPECT_EQ(ErrorOf([&] { ds->Field(0).SetAsInteger(5); }), "DataSet Not in Edit or Insert Mode");
    EXPECT_EQ(ErrorOf([&] { ds->Field(0).ClearValue(); }), "DataSet Not in Edit or Insert Mode");
    ds->SetReadOnly(true);
    for (auto op :
         {&TMemCustomDataSet::EditRow, &TMemCustomDataSet::AppendRow, &TMemCustomDataSet::DeleteRow, &TMemCustomDataSet::InsertRow})
        EXPECT_EQ(ErrorOf([&] { (ds.get()->*op)(); }), "Cannot modify a read-only dataset");
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"1", "2"}));
}

TEST_F(Dataset, CursorBookmarksAndRowIds) {
    auto ds = OneColumn(ftInteger, 0, {"10", "20", "30", "40", "50", "60"});
    EXPECT_EQ(ds->RowNumber(), 1);
    EXPECT_EQ(ds->MoveRows(3), 3);
    EXPECT_EQ(ds->Field(0).AsInteger(), 40);
    EXPECT_EQ(ds->MoveRows(10), 2);
    EXPECT_TRUE(ds->AtEnd());
    EXPECT_EQ(ds->RowNumber(), 6);
    EXPECT_EQ(ds->MoveRows(-10), -5);
    EXPECT_TRUE(ds->AtStart());

    ds->MoveRows(4);  // row id 5
    const TBookmark fifth = ds->SavePosition();
    ASSERT_TRUE(fifth.has_value());
    EXPECT_EQ(*fifth, 5);
    ds->MoveFirst();
    ds->RestorePosition(fifth);
    EXPECT_EQ(ds->Field(0).AsInteger(), 50);
    ds->DeleteRow();
    EXPECT_EQ(ds->Field(0).AsInteger(), 60) << "the next row becomes current";
    EXPECT_EQ(ErrorOf([&] { ds->RestorePosition(fifth); }), "Bookmark not found");
    EXPECT_NO_THROW(ds->RestorePosition(std::nullopt));

    ds->AppendRow();
    ds->Field(0).SetAsInteger(70);
    ds->PostRow();
    EXPECT_EQ(ds->CurrentRowId(), 7) << "ids are never reused";

    ds->MoveFirst();
    ds->MoveNext();
    ds->InsertRow();
    ds->Field(0).SetAsInteger(15);
    ds->PostRow();
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"10", "15", "20", "30", "40", "60", "70"}));
}

TEST_F(Dataset, EmptyRowsKeepsLayoutAndClearLayoutDropsIt) {
    auto ds = OneColumn(ftMemo, 0, {"a", "b"});
    ds->EmptyRows();
    EXPECT_EQ(ds->RowCount(), 0);
    EXPECT_EQ(ds->FieldCount(), 1);
    ds->AppendRow();
    ds->Field(0).SetValueText("c");
    ds->PostRow();
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"c"}));
    ds->ClearLayout();
    EXPECT_FALSE(ds->Active());
    EXPECT_TRUE(ds->FastFields().empty());
    ds->Open();
    EXPECT_EQ(ds->FieldCount(), 0);
    EXPECT_EQ(ds->RowCount(), 0);
}

TEST_F(Dataset, BlobStreamsAndCancelKeepsTheOldBlob) {
    auto ds = OneColumn(ftBlob, 0, {"first"});
    {
        ds->EditRow();
        auto s = ds->Field(0).OpenBlobStream(TBlobStreamMode::ReadWrite);
        EXPECT_EQ(s->Data(), "first");
        s->Seek(s->Size());
        s->Write(" and more");
        s->Close();
        EXPECT_EQ(ds->Field(0).ValueText(), "first and more");
        ds->CancelRow();
    }
    EXPECT_EQ(ds->Field(0).ValueText(), "first") << "a cancelled edit keeps the stored blob";

    ds->EditRow();
    ds->Field(0).OpenBlobStream(TBlobStreamMode::Write)->Write("second");
    ds->PostRow();
    EXPECT_EQ(ds->Field(0).ValueText(), "second");

    ds->EditRow();
    ds->Field(0).OpenBlobStream(TBlobStreamMode::Write);  // closed empty
    ds->PostRow();
    EXPECT_FALSE(ds->Field(0).ValueIsNull()) << "an empty large object is a value";
    EXPECT_EQ(ds->Field(0).ValueText(), "");
}

TEST_F(Dataset, AssignValueCarriesNullsAndBlobs) {
    TMemDataSet src;
    src.DefineField("I", ftInteger, 0);
    src.DefineField("B", ftBlob, 0);
    src.DefineField("D", ftFMTBcd, 6);
    src.Open();
    src.AppendRow();
    src.Field(1).SetValueText(std::string("\0\1\2", 3));
    src.Field(2).SetValueText("123456789012345678901234.123456");
    src.PostRow();

    TMemDataSet dst;
    dst.DefineField("I", ftInteger, 0);
    dst.DefineField("B", ftBlob, 0);
    dst.DefineField("D", ftFMTBcd, 6);
    dst.Open();
    dst.AppendRow();
    for (int i = 0; i < 3; ++i) dst.Field(i).AssignValue(src.Field(i));
    dst.PostRow();
    EXPECT_TRUE(dst.Field(0).ValueIsNull());
    EXPECT_EQ(dst.Field(1).ValueText(), std::string("\0\1\2", 3));
    EXPECT_EQ(dst.Field(2).ValueText(), "123456789012345678901234.123456");
}

class Recorder : public TMemDataSetObserver {
public:
    std::vector<std::string> events;
    void DataChanged() override { events.push_back("data"); }
    void Scrolled(int n) override { events.push_back("scroll " + std::to_string(n)); }
    void RecordChanged(TField* f) override { events.push_back("record " + (f ? f->FieldName() : std::string("*"))); }
};

TEST_F(Dataset, SuspendedControlsGetOneRefresh) {
    auto ds = OneColumn(ftInteger, 0, {"1", "2", "3"});
    Recorder r;
    ds->AddObserver(&r);
    ds->MoveNext();
    EXPECT_EQ(r.events, (std::vector<std::string>{"scroll 1"}));
    r.events.clear();
    ds->SuspendControls();
    ds->SuspendControls();
    ds->MoveNext();
    ds->AppendRow();
    ds->Field(0).SetAsInteger(4);
    ds->PostRow();
    ds->ResumeControls();
    EXPECT_TRUE(r.events.empty());
    ds->ResumeControls();
    EXPECT_EQ(r.events, (std::vector<std::string>{"data"}));
    ds->RemoveObserver(&r);
}

TEST_F(Dataset, TextColumnsCostTheirValueNotTheirDeclaredSize) {
    TMemDataSet ds;
    ds.DefineField("name", ftString, 8000);
    ds.Open();
    for (int i = 0; i < 20000; ++i) {
        ds.AppendRow();
        ds.Field(0).SetValueText("object_name_" + std::to_string(i));
        ds.PostRow();
    }
    EXPECT_LT(ds.MemoryUsed(), 20000u * 80u) << "about 17 bytes of text per row, never 8000";
    ds.MoveLast();
    EXPECT_EQ(ds.Field(0).ValueText(), "object_name_19999");
}

}  // namespace
