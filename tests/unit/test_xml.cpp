#include "dataset_fixture.h"
#include "uNbCsv.h"
#include "uNbData.h"
#include "uNbLog.h"
#include "uNbStream.h"
#include "uNbTemp.h"
#include "uNbXml.h"
#include "uRunLoop.h"

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const std::string kDir = TOLVAN_FIXTURES "/xml/";

std::string ErrorOf(const std::string& file) {
    TNbDataSet ds;
    try {
        LoadXmlFile(ds, nullptr, kDir + file);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no error>";
}

using Xml = DatasetTest;

TEST_F(Xml, BasicFile) {
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, kDir + "basic.xml");
    ASSERT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.Field(1).FieldName(), "First Name");
    ASSERT_EQ(ds.RowCount(), 1);
    EXPECT_EQ(ds.Field(0).AsInteger(), 1);
    EXPECT_EQ(ds.Field(1).ValueText(), "Ann");
    EXPECT_FALSE(ds.ReadOnly());
}

TEST_F(Xml, ValuesEntitiesCdataBlobsAndDates) {
    FormatSettings().ShortDateFormat = "dd.mm.yyyy";  // the file's dates read M/d/yyyy whatever the user's order
    FormatSettings().DateSeparator = ".";
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, kDir + "values.xml");
    ASSERT_EQ(ds.RowCount(), 3);
    ds.MoveFirst();
    EXPECT_EQ(ds.FieldByName("Name").ValueText(), "<B>");
    EXPECT_EQ(ds.FieldByName("Amount").AsCurrency(), 12346) << "rounded to 4 places";
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(ds.FieldByName("When").AsDateTime(), y, mo, d, h, mi, s, ms);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi}), (std::vector<int>{2009, 3, 4, 13, 5}));
    EXPECT_EQ(ds.FieldByName("Notes").ValueText(), "a <raw> & text");
    EXPECT_EQ(ds.FieldByName("Pic").ValueText(), "abc") << "86)C decodes to abc";
    ds.MoveNext();
    EXPECT_EQ(ds.FieldByName("Name").ValueText(), "<") << "decoded twice: &amp;lt; then &LT;";
    EXPECT_TRUE(ds.FieldByName("N").ValueIsNull()) << "an empty Integer element stores null";
    EXPECT_TRUE(ds.FieldByName("Pic").ValueIsNull());
    DecodeDateTime(ds.FieldByName("When").AsDateTime(), y, mo, d, h, mi, s, ms);
    EXPECT_EQ(d, 4);
    ds.MoveNext();
    EXPECT_EQ(ds.FieldByName("Name").ValueText(), "\n  indented");
    EXPECT_EQ(FormatSettings().ShortDateFormat, "dd.mm.yyyy") << "date settings restored";
}

TEST_F(Xml, ErrorsAndIgnoredInput) {
    EXPECT_EQ(ErrorOf("badtype.xml"), "MemXML2Dataset: Field C not defined in result table!");
    EXPECT_EQ(ErrorOf("norows.xml"), "XML2Dataset: No metadata, and no fields defined!");
    EXPECT_EQ(ErrorOf("missing.xml").rfind("Cannot open file \"" + kDir + "missing.xml\". ", 0), 0u);
    // Without a TABLE element (lower-case names, an empty file) there is nothing to import.
    EXPECT_EQ(ErrorOf("lowercase.xml"), "XML2Dataset: No <TABLE> element found!");
}

// Files that end too early, or whose values or columns cannot be stored as written, are refused.
TEST_F(Xml, DamagedFilesAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"truncated_mid_value.xml", "XML2Dataset: Unexpected end of file: the value of ID at line 8, column 6 is not closed"},
        {"truncated_mid_date.xml", "XML2Dataset: Unexpected end of file: the value of When at line 8, column 16 is not closed"},
        {"missing_row_end.xml", "XML2Dataset: Unexpected end of file: <ROW> at line 8, column 1 is not closed"},
        {"unterminated_cdata.xml", "XML2Dataset: Unexpected end of file: the CDATA section at line 8, column 13 is not closed"},
        {"char_no_size.xml", "XML2Dataset: Field Name has no valid size in its type \"Char\"!"},
        {"bcd_out_of_range.xml", "'1000000000000000' is not a valid floating point value for field 'Amount'"},
    };
    for (const auto& [file, error] : cases) EXPECT_EQ(ErrorOf(file), error) << file;
}

// A one-column file with one value, read from memory: the value's text, or the error.
std::string ImportOne(const std::string& type, const std::string& value) {
    TNbTempMemoryStream stream("<TABLE><METADATA><FIELDS><FIELD a=\"V\" b=\"" + type + "\"/></FIELDS></METADATA><ROWDATA><ROW><V>" + value +
                               "</V></ROW></ROWDATA></TABLE>");
    TNbDataSet ds;
    try {
        LoadXmlStream(ds, stream);
    } catch (const Exception& e) {
        return e.Message();
    }
    return ds.Field(0).DataType() == ftBCD ? std::to_string(ds.Field(0).AsCurrency()) : ds.Field(0).ValueText();
}

TEST_F(Xml, BcdValuesAreExactOrRefused) {
    EXPECT_EQ(Column(*[] {
                  auto ds = std::make_unique<TNbDataSet>();
                  LoadXmlFile(*ds, nullptr, kDir + "bcd.xml");
                  return ds;
              }()),
              (std::vector<std::string>{"900719925474.0993", "-922337203685477.5808", "0.0002", "0.0004", "150"}));
    const std::string bad = " is not a valid floating point value for field 'V'";
    const std::pair<const char*, std::string> cases[] = {
        // value x 10000, half to even at the fourth place
        {"922337203685477.5807", "9223372036854775807"},
        {"0.00005", "0"},
        {"0.00015", "2"},
        {"-0.00015", "-2"},
        {"0.000050001", "1"},
        {"12345e-8", "1"},
        {"1E+3", "10000000"},
        {"0e999999999999", "0"},
        {"1e-999999999999", "0"},
        {"\n  7\n", "70000"},
        // out of range or not a number
        {"1e15", "'1e15'" + bad},
        {"-1e16", "'-1e16'" + bad},
        {"922337203685477.5808", "'922337203685477.5808'" + bad},
        {"1e300", "'1e300'" + bad},
        {"", "''" + bad},
        {"1e", "'1e'" + bad},
        {".", "'.'" + bad},
        {"1.2.3", "'1.2.3'" + bad},
        {"0x10", "'0x10'" + bad},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(ImportOne("BCD", value), expected) << value;
    FormatSettings().DecimalSeparator = ",";
    EXPECT_EQ(ImportOne("BCD", "1,25"), "12500");
    EXPECT_EQ(ImportOne("BCD", "1.25"), "'1.25'" + bad);
}

TEST_F(Xml, ColumnSizesMustHoldValues) {
    for (const char* type : {"Char(-5)", "Char(0)", "Char(2147483648)", "WideString", "Integer(-1)"})
        EXPECT_EQ(ImportOne(type, "x"), std::string("XML2Dataset: Field V has no valid size in its type \"") + type + "\"!");
    EXPECT_EQ(ImportOne("Char(2147483647)", "xyz"), "xyz");
    EXPECT_EQ(ImportOne("Char(x)", "xyz"), "'x' is not a valid integer value");
}

TEST_F(Xml, Utf16FilesAndEntitiesGiveUtf8) {
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, kDir + "utf16.xml");
    ASSERT_EQ(ds.RowCount(), 1);
    EXPECT_EQ(ds.FieldByName("Name").ValueText(), "Zo\xC3\xAB \xF0\x9F\x98\x80");
    TNbTempMemoryStream broken(std::string("\xFF\xFE<\x00\x00\xDC", 6));
    EXPECT_THROW(LoadXmlStream(ds, broken), EXML2Dataset) << "a lone low surrogate";

    TNbDataSet named;
    LoadXmlFile(named, nullptr, kDir + "entities.xml");
    EXPECT_EQ(Column(named), (std::vector<std::string>{"\xC2\xA9", "\xC2\xAE", "\xC3\xAC", "\xC3\xA3", "<", "> & &AMP"}));
}

// The second decoding as the format describes it: replace the first occurrence of the first name
// found, then start again from the first name.
std::string RepeatedReplacement(std::string text) {
    static const std::pair<std::string, std::string> kNames[] = {{"&AMP;", "&"},         {"&LT;", "<"},           {"&GT;", ">"},
                                                                 {"&APOS;", "'"},        {"&QUOT;", "\""},        {"&TRADE;", "\xC2\xAE"},
                                                                 {"&COPY;", "\xC2\xA9"}, {"&INFIN;", "\xC3\xAC"}, {"&PI;", "\xC3\xA3"}};
    for (bool again = true; again;) {
        again = false;
        std::string upper = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const auto& [name, ch] : kNames)
            if (const size_t at = upper.find(name); at != std::string::npos) {
                text.replace(at, name.size(), ch);
                again = true;
                break;
            }
    }
    return text;
}

TEST_F(Xml, EntityDecodingMatchesRepeatedReplacement) {
    const char* pieces[] = {"&",      "AMP;",  "amp;",   "Amp", "LT;", "gt;", "Apos;", "QUOT;",
                            "trade;", "COPY;", "InFiN;", "PI;", "P",   "x",   ";",     " "};
    unsigned seed = 12345;
    for (int n = 0; n < 400; ++n) {
        std::string text, escaped;
        for (int k = 0; k < 12; ++k) {
            seed = seed * 1103515245u + 12345u;
            text += pieces[(seed >> 16) % std::size(pieces)];
        }
        // Every "&" written as "&amp;" reaches the second decoding as the text itself.
        for (char c : text) escaped += c == '&' ? std::string("&amp;") : std::string(1, c);
        ASSERT_EQ(ImportOne("Char(200)", escaped), RepeatedReplacement(text)) << text;
    }
}

TEST_F(Xml, DateColumnsTakeADateAndTime) {
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, kDir + "date_with_time.xml");
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(ds.FieldByName("D").AsDateTime(), y, mo, d, h, mi, s, ms);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{1999, 12, 31, 0, 0, 0})) << "the time is dropped";
    DecodeDateTime(ds.FieldByName("DT").AsDateTime(), y, mo, d, h, mi, s, ms);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{1999, 12, 31, 23, 59, 59}));
    EXPECT_EQ(ImportOne("Date", "12/31/1999 25:00"), "'12/31/1999 25:00' is not a valid date and time");
}

// Every proper prefix of a complete file is refused, and the dataset keeps what it held.
TEST_F(Xml, EveryPrefixOfACompleteFileIsRefused) {
    std::ifstream in(kDir + "complete.xml", std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(whole.substr(whole.size() - 8), "</TABLE>");
    TNbDataSet ds;
    {
        TNbTempMemoryStream stream(whole);
        LoadXmlStream(ds, stream);
    }
    ASSERT_EQ(ds.RowCount(), 2);
    EXPECT_EQ(ds.FieldByName("Name").ValueText(), "a < b");
    const std::vector<std::string> before = Column(ds, 1);
    for (size_t n = 0; n < whole.size(); ++n) {
        TNbTempMemoryStream prefix(whole.substr(0, n));
        EXPECT_THROW(LoadXmlStream(ds, prefix), Exception) << n << " bytes";
        ASSERT_EQ(ds.FieldCount(), 6);
        ASSERT_EQ(Column(ds, 1), before) << n << " bytes";
    }
}

TEST_F(Xml, ColumnNamesWithCommasStayWhole) {
    TNbTempMemoryStream stream(
        "<TABLE><METADATA><FIELDS><FIELD a=\"Price\" b=\"Integer\"/><FIELD a=\"Price, net\" b=\"Integer\"/></FIELDS></METADATA>"
        "<ROWDATA><ROW><Price>1</Price><Price, net>2</Price, net></ROW></ROWDATA></TABLE>");
    TNbDataSet ds;
    LoadXmlStream(ds, stream);
    ASSERT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.FieldByName("Price").AsInteger(), 1);
    EXPECT_EQ(ds.FieldByName("Price, net").AsInteger(), 2);
}

TEST_F(Xml, WideTablesImport) {
    // 5,000 columns, every one named in the row in the opposite order (found by the hash list).
    std::string text = "<TABLE><METADATA><FIELDS>";
    constexpr int kColumns = 5000;
    for (int i = 0; i < kColumns; ++i) text += "<FIELD a=\"C" + std::to_string(i) + "\" b=\"Integer\"/>";
    text += "</FIELDS></METADATA><ROWDATA><ROW>";
    for (int i = kColumns - 1; i >= 0; --i) text += "<c" + std::to_string(i) + ">" + std::to_string(i) + "</c" + std::to_string(i) + ">";
    text += "</ROW></ROWDATA></TABLE>";
    TNbTempMemoryStream stream(text);
    TNbDataSet ds;
    LoadXmlStream(ds, stream);
    ASSERT_EQ(ds.FieldCount(), kColumns);
    EXPECT_EQ(ds.Field(1234).FieldName(), "C1234");
    EXPECT_EQ(ds.Field(1234).AsInteger(), 1234);
    EXPECT_EQ(ds.FieldByName("c4999").AsInteger(), 4999);
}

TEST_F(Xml, LargeValuesAreNotLimitedByBlocks) {
    // One value of 400 KB: far more than ten 16 KB blocks.
    char path[] = "/tmp/tolvan-xml-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string big(400000, 'x');
    const std::string text =
        "<TABLE><METADATA><FIELDS><FIELD a=\"M\" b=\"Memo\"/></FIELDS></METADATA><ROWDATA><ROW><M>" + big + "</M></ROW></ROWDATA></TABLE>";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, path);
    ::unlink(path);
    ASSERT_EQ(ds.RowCount(), 1);
    EXPECT_EQ(ds.Field(0).ValueText().size(), big.size());
}

TEST_F(Xml, ImportAndExportStepsOnTheResultList) {
    TDbConnection db;
    TTlvnRun run(db);
    try {
        run.ImportXmlAsFirstResult(kDir + "basic.xml");
        ADD_FAILURE();
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (0)");
    }
    EXPECT_THROW(run.ExportFirstResultCsv("/tmp/never.csv"), EListError);
    run.ResultList.push_back(std::make_unique<TMemDataSet>());
    EXPECT_THROW(run.ImportXmlAsFirstResult(kDir + "norows.xml"), EXML2Dataset);
    EXPECT_EQ(run.ResultList[0]->FieldCount(), 0) << "a failed import leaves the first result";
    run.ImportXmlAsFirstResult(kDir + "basic.xml");
    EXPECT_EQ(run.ResultList[0]->FieldCount(), 2);
    EXPECT_FALSE(run.ResultList[0]->ReadOnly());
}

TEST(StreamWrap, ReadsInPiecesAndWritesText) {
    std::string data(3000, 'x');
    data[2999] = 'y';
    TNbStreamWrap wrap(std::make_unique<TNbMemoryStream>(data));
    char buf[10];
    EXPECT_EQ(wrap.ReadBytes(buf, 10), 10);
    EXPECT_EQ(wrap.ReadText(5), "xxxxx");
    const std::string rest = wrap.ReadText(-1);
    EXPECT_EQ(rest.size(), 2985u);
    EXPECT_EQ(rest.back(), 'y');
    EXPECT_EQ(wrap.ReadBytes(buf, 10), 0);

    TNbStreamWrap out(std::make_unique<TNbMemoryStream>());
    TMemDataSet ds;
    ds.DefineField("A", ftString, 5);
    ds.Open();
    WriteDataSetCsv(out, ds);
    EXPECT_EQ(static_cast<TNbMemoryStream&>(out.Inner()).Data(), "A\r\n");
}

TEST(Temp, RegistryCountsForgottenStreams) {
    TNbTemp::Cycle();
    std::vector<std::string> lines;
    NbLogSetDebuggerSink([&](std::string_view p) { lines.emplace_back(p); });
    TNbTemp::Cycle();
    EXPECT_TRUE(lines.empty()) << "nothing left, nothing logged";
    new TNbTempMemoryStream("forgotten");
    TNbTempMemoryStream* freed = new TNbTempMemoryStream();
    delete freed;
    TNbTemp::Cycle();
    NbLogSetDebuggerSink({});
    EXPECT_EQ(lines, (std::vector<std::string>{"---CYCLE TEMPORARIES (o1,c0) ---"}));
}

TEST(Temp, FileNamesFallBackToNumbers) {
    char dir[] = "/tmp/tolvan-tmp-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    ::setenv("TMPDIR", dir, 1);
    const std::string first = NbCreateTempFile("report.xml");
    EXPECT_EQ(first, std::string(dir) + "/report.xml");
    // A name that cannot be replaced (here a folder of that name) moves on to report-2.xml.
    ::unlink(first.c_str());
    ::mkdir(first.c_str(), 0700);
    const std::string second = NbCreateTempFile("report.xml");
    EXPECT_EQ(second, std::string(dir) + "/report-2.xml");
    // A temporary of the same name that exists (its reader may still use it) is kept; the next
    // number is taken.
    { std::ofstream(second) << "in use"; }
    const std::string third = NbCreateTempFile("report.xml");
    EXPECT_EQ(third, std::string(dir) + "/report-3.xml");
    std::stringstream kept;
    kept << std::ifstream(second).rdbuf();
    EXPECT_EQ(kept.str(), "in use");
    // A copy that fails leaves no temporary behind.
    char base[] = "/tmp/tolvan-base-XXXXXX";
    ASSERT_TRUE(::mkdtemp(base));
    ::mkdir((std::string(base) + "/sub.xml").c_str(), 0700);
    {
        TNbFileRepository repo(base);
        EXPECT_THROW(repo.Resolve("sub.xml"), EInOutError);
    }
    EXPECT_NE(::access((std::string(dir) + "/sub.xml").c_str(), F_OK), 0);
    ::rmdir((std::string(base) + "/sub.xml").c_str());
    ::rmdir(base);
    ::unsetenv("TMPDIR");
    ::unlink(second.c_str());
    ::unlink(third.c_str());
    ::rmdir(first.c_str());
    ::rmdir(dir);
}

}  // namespace
