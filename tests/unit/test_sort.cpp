#include "dataset_fixture.h"

#include "uNbExceptions.h"

namespace {

using Sort = DatasetTest;

TEST_F(Sort, TextsAscendingIgnoreCaseDescendingUseIt) {
    auto ds = OneColumn(ftString, 10, {"b", "A", "a", "B"});
    ds->SortByField("V", false);
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"A", "a", "b", "B"}));
    ds->SortByField("V", true);
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"b", "a", "B", "A"}));
}

TEST_F(Sort, NullsFirstAscendingLastDescending) {
    struct Case {
        int type;
        std::initializer_list<const char*> values;
        std::vector<std::string> ascending, descending;
    };
    const Case cases[] = {
        {ftInteger, {"3", "<null>", "1"}, {"<null>", "1", "3"}, {"3", "1", "<null>"}},
        {ftLargeint, {"-5", "<null>", "9000000000"}, {"<null>", "-5", "9000000000"}, {"9000000000", "-5", "<null>"}},
        {ftBCD, {"1.5", "-2.25", "<null>"}, {"<null>", "-2.25", "1.5"}, {"1.5", "-2.25", "<null>"}},
        {ftBoolean, {"True", "<null>", "False"}, {"<null>", "False", "True"}, {"True", "False", "<null>"}},
        {ftDate, {"3/4/2009", "1/1/2001", "<null>"}, {"<null>", "1/1/2001", "3/4/2009"}, {"3/4/2009", "1/1/2001", "<null>"}},
        {ftFMTBcd, {"10.5", "9.75", "<null>"}, {"<null>", "9.75", "10.50"}, {"10.50", "9.75", "<null>"}},
    };
    for (const auto& c : cases) {
        auto ds = OneColumn(c.type, c.type == ftFMTBcd ? 2 : 0, c.values);
        ds->SortByField("V", false);
        EXPECT_EQ(Column(*ds), c.ascending) << FieldTypeName(c.type);
        ds->SortByField("V", true);
        EXPECT_EQ(Column(*ds), c.descending) << FieldTypeName(c.type);
    }
}

TEST_F(Sort, CloseFloatsCountAsEqualAndKeepTheirOrder) {
    TMemDataSet ds;
    ds.DefineField("F", ftFloat, 0);
    ds.DefineField("Tag", ftString, 5);
    ds.Open();
    const double values[] = {1.0 + 1e-14, 0.5, 1.0};
    const char* tags[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        ds.AppendRow();
        ds.Field(0).SetAsFloat(values[i]);
        ds.Field(1).SetValueText(tags[i]);
        ds.PostRow();
    }
    ds.SortByField("F", false);
    EXPECT_EQ(Column(ds, 1), (std::vector<std::string>{"y", "x", "z"}));
}

TEST_F(Sort, SeveralFieldsAndTheCurrentRowStays) {
    TMemDataSet ds;
    ds.DefineField("G", ftString, 5);
    ds.DefineField("N", ftInteger, 0);
    ds.Open();
    const std::pair<const char*, int> rows[] = {{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}};
    for (auto [g, n] : rows) {
        ds.AppendRow();
        ds.Field(0).SetValueText(g);
        ds.Field(1).SetAsInteger(n);
        ds.PostRow();
    }
    ds.MoveFirst();
    ds.MoveNext();
    ds.MoveNext();  // b,3
    ds.SortByFields({"G", "N"}, {false, true});
    EXPECT_EQ(ds.Field(1).AsInteger(), 3);
    EXPECT_EQ(ds.RowNumber(), 3);
    EXPECT_EQ(Column(ds, 1), (std::vector<std::string>{"4", "2", "3", "1"}));

    // After a sort a posted row goes to its sorted place.
    ds.AppendRow();
    ds.Field(0).SetValueText("a");
    ds.Field(1).SetAsInteger(3);
    ds.PostRow();
    EXPECT_EQ(ds.RowNumber(), 2);
    EXPECT_EQ(Column(ds, 1), (std::vector<std::string>{"4", "3", "2", "3", "1"}));
}

TEST_F(Sort, EmptyAndSingleRowSortWithoutErrorWhateverTheType) {
    for (int type : {ftBlob, ftMemo, ftVariant, ftUnknown, ftInteger}) {
        auto empty = OneColumn(type, 0, {});
        EXPECT_NO_THROW(empty->SortByField("V", false));
        auto single = OneColumn(type, 0, {"1"});
        EXPECT_NO_THROW(single->SortByField("V", true));
    }
}

TEST_F(Sort, UnsupportedComparisonLeavesTheOrder) {
    for (int type : {ftMemo, ftBlob, ftVariant, ftWideMemo, ftUnknown}) {
        auto ds = OneColumn(type, 0, {"c", "a", "b"});
        std::vector<std::string> before = Column(*ds);
        try {
            ds->SortByField("V", false);
            ADD_FAILURE() << "no error for " << FieldTypeName(type);
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message(), "Comparison is not supported for field 'V'");
        }
        EXPECT_EQ(Column(*ds), before);
        TMemIndex& natural = ds->Indexes().IndexByName("__mem__natural");
        EXPECT_TRUE(natural.Selected());
        EXPECT_FALSE(natural.Built());
    }
}

TEST_F(Sort, IndexLookupsAndUnknownField) {
    auto ds = OneColumn(ftInteger, 0, {"2", "1"});
    EXPECT_EQ(ds->Indexes().FindIndex("missing"), nullptr);
    try {
        ds->Indexes().IndexByName("missing");
        ADD_FAILURE();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Index with name 'missing' does not found");
    }
    TMemIndex& idx = ds->Indexes().FindOrAddIndex("ByV");
    EXPECT_EQ(&ds->Indexes().FindOrAddIndex("byv"), &idx);
    EXPECT_EQ(idx.Options(), static_cast<unsigned>(ioNonMaintained));
    try {
        ds->SortByField("Nope", false);
        ADD_FAILURE();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Field 'Nope' not found");
    }
}

TEST_F(Sort, SecondaryIndexFollowsPostsAndDeletes) {
    auto ds = OneColumn(ftInteger, 0, {"5", "3"});
    TMemIndex& idx = ds->Indexes().FindOrAddIndex("ByV");
    idx.SetFields("V");
    idx.SetActive(true);
    ASSERT_TRUE(idx.Built());
    ds->AppendRow();
    ds->Field(0).SetAsInteger(4);
    ds->PostRow();
    std::vector<std::int32_t> ids;
    for (TMemRow r : idx.Rows()) ids.push_back(reinterpret_cast<TMemRowHeader*>(r)->id);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{2, 3, 1}));

    idx.SetOptions(idx.Options() | ioUnique);
    ds->AppendRow();
    ds->Field(0).SetAsInteger(4);
    try {
        ds->PostRow();
        ADD_FAILURE();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "Violation of unique index ByV(V)");
    }
    ds->CancelRow();
    EXPECT_EQ(ds->RowCount(), 3);

    idx.SetSelected(true);
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"3", "4", "5"}));
    ds->MoveFirst();
    ds->DeleteRow();
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"4", "5"}));
}

TEST_F(Sort, UpkeepSwitchRebuildsOnce) {
    auto ds = OneColumn(ftInteger, 0, {"3", "1"});
    ds->SortByField("V", false);
    ds->Indexes().SetUpkeep(false);
    for (int v : {2, 0}) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(v);
        ds->PostRow();
    }
    ds->Indexes().SetUpkeep(true);
    EXPECT_EQ(Column(*ds), (std::vector<std::string>{"0", "1", "2", "3"}));
}

}  // namespace
