#include "dataset_fixture.h"
#include "uNbData.h"
#include "uNbLog.h"
#include "uNbTemp.h"
#include "uNbXml.h"
#include "uNbStream.h"
#include "uNbCsv.h"
#include "uRunLoop.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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
    TNbDataSet ds;
    LoadXmlFile(ds, nullptr, kDir + "lowercase.xml");
    EXPECT_EQ(ds.FieldCount(), 0);
    EXPECT_EQ(ds.RowCount(), 0);
}

TEST_F(Xml, LargeValuesAreNotLimitedByBlocks) {
    // One value of 400 KB: far more than ten 16 KB blocks.
    char path[] = "/tmp/tolvan-xml-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string big(400000, 'x');
    const std::string text = "<TABLE><METADATA><FIELDS><FIELD a=\"M\" b=\"Memo\"/></FIELDS></METADATA><ROWDATA><ROW><M>" + big +
                             "</M></ROW></ROWDATA></TABLE>";
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
