#include "dataset_fixture.h"
#include "uNbCsv.h"
#include "uNbExceptions.h"
#include "uRunLoop.h"
#include "uTextResults.h"

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Rows = std::vector<std::vector<const char*>>;

// A dataset from "Name,type,size" texts and rows of value texts (nullptr for null).
std::unique_ptr<TMemCustomDataSet> Make(const std::vector<std::string>& fields, const Rows& rows) {
    auto ds = std::make_unique<TMemDataSet>();
    ds->FastFields() = fields;
    ds->Open();
    for (const auto& r : rows) {
        ds->AppendRow();
        for (size_t i = 0; i < r.size(); ++i)
            if (r[i]) ds->Field(static_cast<int>(i)).SetValueText(r[i]);
        ds->PostRow();
    }
    return ds;
}

std::string Render(std::vector<std::unique_ptr<TMemCustomDataSet>> list, TTextRenderSettings s = {}) {
    std::string out = "MSG\r\n";
    RenderTextResults(out, list, s);
    return out;
}

using TextResults = DatasetTest;

TEST(FormatColumnCellTest, CutsAndPads) {
    struct Case {
        const char* text;
        int width, max;
        const char* out;
    };
    const Case cases[] = {
        {"abc", 5, 100, "abc  "}, {"abcdef", 3, 100, "abc"}, {"abcdef", 6, 4, "abcd"},
        {"abc", 0, 100, ""},      {"abc", 5, 0, "abc  "},    {"\xC3\xA9\xC3\xA9\xC3\xA9", 2, 100, "\xC3\xA9\xC3\xA9"},
        {"", 2, -1, "  "},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatColumnCell(c.text, c.width, c.max), c.out) << c.text << " " << c.width;
}

TEST_F(TextResults, LayoutRules) {
    std::vector<std::unique_ptr<TMemCustomDataSet>> two;
    two.push_back(Make({"Name,1,20", "N,3,0"}, {{"Ann", "5"}, {"Bob Smith", nullptr}}));
    two.push_back(Make({"X,3,0"}, {}));
    EXPECT_EQ(Render(std::move(two)),
              "MSG\r\n"
              "Rowcount: 2\r\nName      N \r\n--------- - \r\nAnn       5 \r\nBob Smith   \r\n"
              "\r\nRowcount: 0\r\nX \r\n- \r\n");

    std::vector<std::unique_ptr<TMemCustomDataSet>> blob;
    blob.push_back(Make({"Bl,15,0", ",1,5", "M,16,0"}, {{"xyz", nullptr, "a\r\nb"}}));
    TTextRenderSettings noUnderline;
    noUnderline.UnderlineHeadings = false;
    EXPECT_EQ(Render(std::move(blob), noUnderline), "MSG\r\nRowcount: 1\r\nBl      M    \r\n(Blob)  a\r\nb \r\n");

    std::vector<std::unique_ptr<TMemCustomDataSet>> wide;
    const std::string longText(250, 'w');
    wide.push_back(Make({"W,16,0"}, {{longText.c_str()}}));
    const std::string out = Render(std::move(wide));
    EXPECT_NE(out.find(std::string(100, 'w') + " \r\n"), std::string::npos);
    EXPECT_EQ(out.find(std::string(101, 'w')), std::string::npos);

    EXPECT_EQ(Render({}), "MSG\r\n");
}

TEST_F(TextResults, WidthsMeasuredWithoutTexts) {
    // Integers by their digits (sign included), booleans, floats and dates by their text, nulls as
    // empty; a column that reached the cap is cut there.
    std::vector<std::unique_ptr<TMemCustomDataSet>> list;
    list.push_back(Make({"N,3,0", "L,25,0", "B,5,0", "F,6,0", "D,11,0", "T,1,40"},
                        {{"-1234", "5", "True", "1.5", "1/2/2024", "abcdefghij"},
                         {nullptr, "-9223372036854775808", "False", "-20.25", "12/31/2024 11:59:59 PM", "ab"},
                         {"7", nullptr, nullptr, nullptr, nullptr, nullptr}}));
    TTextRenderSettings s;
    s.MaxColumnWidth = 8;
    s.UnderlineHeadings = false;
    EXPECT_EQ(Render(std::move(list), s),
              "MSG\r\nRowcount: 3\r\n"
              "N     L        B     F      D        T        \r\n"
              "-1234 5        True  1.5    1/2/2024 abcdefgh \r\n"
              "      -9223372 False -20.25 12/31/20 ab       \r\n"
              "7                                             \r\n");
}

TEST_F(TextResults, CapsAt10000Rows) {
    auto ds = std::make_unique<TMemDataSet>();
    ds->DefineField("N", ftInteger, 0);
    ds->Open();
    for (int i = 1; i <= 10001; ++i) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(i);
        ds->PostRow();
    }
    std::vector<std::unique_ptr<TMemCustomDataSet>> list;
    list.push_back(std::move(ds));
    const std::string out = Render(std::move(list));
    EXPECT_NE(out.find("10000 \r\nStopped after 10000 rows.\r\n"), std::string::npos);
    EXPECT_EQ(out.find("10001 \r\n"), std::string::npos);
    EXPECT_NE(out.find("N     \r\n"), std::string::npos) << "the width counts the 10001st row";
}

TEST_F(TextResults, CsvQuotingAndFormats) {
    struct Case {
        std::vector<std::string> items;
        const char* line;
    };
    const Case cases[] = {
        {{"Ann", "Paris"}, "Ann,Paris"}, {{"Bob Smith", ""}, "\"Bob Smith\","}, {{"5\"x"}, "\"5\"\"x\""},
        {{" lead"}, "\" lead\""},        {{"tab\there"}, "\"tab\there\""},      {{""}, "\"\""},
        {{"a,b", "c"}, "\"a,b\",c"},     {{std::string("ok\0 x", 5)}, "ok"},    {{}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvCommaText(c.items).c_str(), std::string(c.line)) << c.line;

    FormatSettings().ShortDateFormat = "dd.mm.yyyy";
    FormatSettings().DateSeparator = ".";
    FormatSettings().DecimalSeparator = ",";
    auto ds = Make({"D,11,0", "F,6,0"}, {});
    ds->AppendRow();
    ds->Field(0).SetAsDateTime(*TextToDateTime("04.03.2009"));
    ds->Field(1).SetAsFloat(1.5);
    ds->PostRow();
    EXPECT_EQ(DataSetToCsv(*ds), "D,F\r\n3/4/2009,\"1,5\"\r\n");
    EXPECT_EQ(FormatSettings().ShortDateFormat, "dd.mm.yyyy") << "restored after the export";
}

TEST_F(TextResults, ExportReplacesTheFileOnlyWhenComplete) {
    char dir[] = "/tmp/tolvan-csv-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/out.csv";
    { std::ofstream(path) << "old contents"; }
    auto ds = Make({"A,1,5"}, {{"x"}});
    ExportCsvFile(*ds, path);
    std::stringstream first;
    first << std::ifstream(path).rdbuf();
    EXPECT_EQ(first.str(), "A\r\nx\r\n");
    try {
        ExportCsvFile(*ds, std::string(dir) + "/missing/out.csv");
        ADD_FAILURE();
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + std::string(dir) + "/missing/out.csv\". ", 0), 0u) << e.what();
    }
    // Nothing but the exported file is left in the folder.
    EXPECT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(::rmdir(dir), 0);
}

TEST_F(TextResults, ExportKeepsModeLinksAndSpecialFiles) {
    char dir[] = "/tmp/tolvan-csv-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string d = dir;
    auto ds = Make({"A,1,5"}, {{"x"}});
    auto read = [](const std::string& p) {
        std::stringstream ss;
        ss << std::ifstream(p).rdbuf();
        return ss.str();
    };
    auto mode = [](const std::string& p) {
        struct stat st {};
        ::lstat(p.c_str(), &st);
        return st.st_mode;
    };
    // The old file's mode stays (a private file does not become world-readable).
    { std::ofstream(d + "/private.csv") << "old"; }
    ::chmod((d + "/private.csv").c_str(), 0600);
    ExportCsvFile(*ds, d + "/private.csv");
    EXPECT_EQ(mode(d + "/private.csv") & 07777, 0600u);
    EXPECT_EQ(read(d + "/private.csv"), "A\r\nx\r\n");
    // A new file gets the mode the umask gives.
    const mode_t old = ::umask(027);
    ExportCsvFile(*ds, d + "/new.csv");
    ::umask(old);
    EXPECT_EQ(mode(d + "/new.csv") & 07777, 0640u);
    // A symbolic link is written through: the link stays, its target gets the rows.
    ASSERT_EQ(::symlink("private.csv", (d + "/link.csv").c_str()), 0);
    auto two = Make({"B,1,5"}, {{"y"}});
    ExportCsvFile(*two, d + "/link.csv");
    EXPECT_TRUE(S_ISLNK(mode(d + "/link.csv")));
    EXPECT_EQ(read(d + "/private.csv"), "B\r\ny\r\n");
    // A FIFO is written straight into and stays a FIFO.
    const std::string fifo = d + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string fromPipe;
    std::thread reader([&] { fromPipe = read(fifo); });
    ExportCsvFile(*ds, fifo);
    reader.join();
    EXPECT_EQ(fromPipe, "A\r\nx\r\n");
    EXPECT_TRUE(S_ISFIFO(mode(fifo)));
    // A device is written into, not replaced.
    ExportCsvFile(*ds, "/dev/null");
    EXPECT_TRUE(S_ISCHR(mode("/dev/null")));
    for (const char* name : {"/private.csv", "/new.csv", "/link.csv", "/pipe"}) EXPECT_EQ(::unlink((d + name).c_str()), 0) << name;
    EXPECT_EQ(::rmdir(dir), 0) << "no temporary left behind";
}

TEST_F(TextResults, LongExportKeepsRowOrder) {
    // More rows than one formatting block: the blocks come back in order.
    auto ds = std::make_unique<TMemDataSet>();
    ds->DefineField("N", ftInteger, 0);
    ds->DefineField("T", ftString, 10);
    ds->Open();
    for (int i = 0; i < 30000; ++i) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(i);
        ds->Field(1).SetValueText(i % 3 ? "a" : "b c");
        ds->PostRow();
    }
    ds->SortByField("N", true);
    ds->MoveFirst();
    ds->MoveNext();
    const std::string csv = DataSetToCsv(*ds);
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "N,T\r");
    for (int expected = 29999; expected >= 0; --expected) {
        ASSERT_TRUE(std::getline(lines, line));
        ASSERT_EQ(line, std::to_string(expected) + (expected % 3 ? ",a\r" : ",\"b c\"\r"));
    }
    EXPECT_EQ(ds->Field(0).AsInteger(), 29998) << "the current row is kept";
}

TEST_F(TextResults, ExportWritesEachRowsOwnLargeValues) {
    // Large-value columns beside short ones, over several formatting blocks, with nulls and empty
    // values; the expected file is built here from the same rule, not by the export.
    auto text = [](int i) -> const char* { return i % 7 == 0 ? nullptr : i % 5 == 0 ? "" : "v"; };
    auto value = [](int i, int col) { return std::string(static_cast<size_t>(i % 40), col == 1 ? 'x' : 'y') + std::to_string(i); };
    auto ds = std::make_unique<TMemDataSet>();
    ds->DefineField("N", ftInteger, 0);
    ds->DefineField("M", ftMemo, 0);
    ds->DefineField("W", ftWideMemo, 0);
    ds->DefineField("S", ftString, 12);
    ds->Open();
    std::string expected = "N,M,W,S\r\n";
    const int rows = 20000;
    for (int i = 0; i < rows; ++i) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(i);
        std::string line = std::to_string(i);
        for (int col = 1; col <= 2; ++col) {
            const int k = i + col;
            line += ',';
            if (!text(k)) continue;
            const std::string v = *text(k) ? value(i, col) : std::string();
            ds->Field(col).SetAsText(v);
            line += v;
        }
        line += ',';
        if (i % 4) {
            ds->Field(3).SetAsText("s" + std::to_string(i));
            line += "s" + std::to_string(i);
        }
        ds->PostRow();
        expected += line + "\r\n";
    }
    ds->MoveFirst();
    EXPECT_FALSE(ds->Field(1).ValueIsNull()) << "an empty large value is not null";
    char dir[] = "/tmp/tolvan-csv-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/big.csv";
    ExportCsvFile(*ds, path);
    std::stringstream written;
    written << std::ifstream(path).rdbuf();
    EXPECT_TRUE(written.str() == expected) << "the export differs from the independently built file";
    EXPECT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(::rmdir(dir), 0);
}

TEST_F(TextResults, TextPageOfARun) {
    // The complete Text page both front ends show, for each way a run ends.
    TDbConnection db;
    TTlvnRun run(db);
    run.MessageText = "SQLMessage: first\r\nSQLMessage: second\r\n";
    const std::string prefix = TTlvnRun::FailurePrefix("10:00:00");
    bool failed = true;
    EXPECT_EQ(run.TextPage(prefix, nullptr, {}, &failed), "SQLMessage: first\r\nSQLMessage: second\r\n\r\n[10:00:00] Success.");
    EXPECT_FALSE(failed);
    const std::string failure = "Invalid object name 'Nowhere'.", noRows = kNoResultSet;
    run.ResultList.push_back(Make({"Name,1,20", "N,3,0"}, {{"Ann", "5"}, {"Bob Smith", nullptr}}));
    run.ResultList.push_back(Make({"M,15,0"}, {{"xyz"}}));
    EXPECT_EQ(run.TextPage(prefix, &failure, {}, &failed),
              "SQLMessage: first\r\nSQLMessage: second\r\n\r\n[10:00:00] Invalid object name 'Nowhere'.");
    EXPECT_TRUE(failed);
    EXPECT_EQ(run.TextPage(prefix, &noRows, {}, &failed), "SQLMessage: first\r\nSQLMessage: second\r\n\r\n[10:00:00] Success.");
    EXPECT_FALSE(failed);
    std::stringstream golden;
    golden << std::ifstream(TOLVAN_FIXTURES "/text_page/results.golden", std::ios::binary).rdbuf();
    EXPECT_EQ(run.TextPage(prefix, nullptr, {}, &failed), golden.str());
    EXPECT_FALSE(failed);
}

TEST(RunLoopText, MessagesAndFailurePrefix) {
    EXPECT_EQ(TTlvnRun::FormatSqlMessage({265929, "ignored", "01000"}), "");
    EXPECT_EQ(TTlvnRun::FormatSqlMessage({0, "hello", "01000"}), "SQLMessage: hello\r\n");
    EXPECT_EQ(TTlvnRun::FailurePrefix("13:05:09"), "\r\n[13:05:09] ");
}

}  // namespace
