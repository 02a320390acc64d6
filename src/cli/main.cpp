// tolvansql: runs SQL through the same engine as the window and prints what its Text page shows.
#include "uNbCsv.h"
#include "uNbLog.h"
#include "uNbStartup.h"
#include "uNbXml.h"
#include "uRunLoop.h"
#include "uTextResults.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: tolvansql -S server -U login -P password -d database (-i file.sql | -Q \"sql\")\n"
    "                 [--debug] [--csv file] [--max-column-width N] [--no-underline]\n"
    "       tolvansql --xml file.xml [--csv file] [--max-column-width N] [--no-underline]\n"
    "\n"
    "Runs SQL against SQL Server as Tolvan's F5 does (Shift+F5 with --debug): batches are split at\n"
    "lines reading GO, and the output is what Tolvan's Text page shows.\n"
    "  -S server            host, host,port or host\\instance\n"
    "  -U login -P password a SQL Server login; the password may come from TOLVAN_PASSWORD instead;\n"
    "                       without a login Windows authentication is asked for\n"
    "  -d database          the database to use\n"
    "  -i file / -Q sql     the SQL to run\n"
    "  --csv file           also write the first result as CSV\n"
    "  --xml file           no server: import an XML dataset file and print it as the Text page\n"
    "                       would after Import XML; exit 1 with the error when it is refused\n"
    "  --max-column-width N cut columns at N characters (0: no limit; default 100)\n"
    "  --no-underline       no line of hyphens under the headings\n"
    "  --log                the diagnostic log on standard error\n"
    "Exit status: 0 success, 1 the run failed, 2 could not connect or bad arguments.\n";

class CliHost : public TRunHost {
public:
    void SetStatusText(const std::string&) override {}
    void SetBusy(bool) override {}
    TQueryWaiter& Waiter() override { return waiter_; }
    void ConnectionLost() override {}

private:
    TBlockingWaiter waiter_;
};

// "]" doubled, as SQL Server quotes a name.
std::string QuoteName(const std::string& name) {
    std::string out = "[";
    for (char c : name) {
        out += c;
        if (c == ']') out += ']';
    }
    return out + "]";
}

// Every line ending made CR LF, as the editor delivers its text.
std::string CrLf(const std::string& s) {
    std::string out;
    out.reserve(s.size() + s.size() / 16);
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += "\r\n";
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else if (s[i] == '\n') {
            out += "\r\n";
        } else {
            out += s[i];
        }
    }
    return out;
}

void PrintLf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (out.empty() || out.back() != '\n') std::fputc('\n', stdout);
}

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "tolvansql: %s\n", message.c_str());
    return code;
}

// --xml: the import of the result pages without a server, printed as the Text page shows it.
int ImportXml(const std::string& xml, const std::string& csv, const TTextRenderSettings& settings) {
    std::vector<std::unique_ptr<TMemCustomDataSet>> list;
    std::string text;
    try {
        auto imported = std::make_unique<TNbDataSet>();
        LoadXmlFile(*imported, nullptr, xml);
        list.push_back(std::move(imported));
        RenderTextResults(text, list, settings);
        if (!csv.empty()) ExportCsvFile(*list[0], csv);
    } catch (const Exception& e) {
        return Fail(1, e.Message());
    }
    PrintLf(text);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard output carries the results; the log's lines go to standard error with --log.
    NbLogSetLineFd(-1);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--log") == 0) NbLogSetLineFd(2);
    NbLibraryStartup(argc > 0 ? argv[0] : nullptr);
    std::string server = "localhost", user, password, database, file, query, csv, xml;
    bool haveQuery = false, debug = false;
    TTextRenderSettings settings;
    if (const char* pw = std::getenv("TOLVAN_PASSWORD")) password = pw;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        try {
            if (a == "--help" || a == "-h") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (a == "-S") server = value();
            else if (a == "-U") user = value();
            else if (a == "-P") password = value();
            else if (a == "-d") database = value();
            else if (a == "-i") file = value();
            else if (a == "-Q") {
                query = value();
                haveQuery = true;
            } else if (a == "--debug") debug = true;
            else if (a == "--csv") csv = value();
            else if (a == "--xml") xml = value();
            else if (a == "--max-column-width") settings.MaxColumnWidth = std::atoi(value().c_str());
            else if (a == "--no-underline") settings.UnderlineHeadings = false;
            else if (a == "--log") continue;
            else return Fail(2, "unknown option " + a + " (see --help)");
        } catch (const std::invalid_argument& e) {
            return Fail(2, e.what());
        }
    }
    if (!xml.empty()) return file.empty() && !haveQuery ? ImportXml(xml, csv, settings) : Fail(2, "--xml takes no SQL (see --help)");
    if (file.empty() == !haveQuery) return Fail(2, "give exactly one of -i file and -Q sql (see --help)");
    if (database.empty()) return Fail(2, "give the database with -d (see --help)");
    std::string sql = query;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) return Fail(2, "cannot read " + file);
        std::stringstream ss;
        ss << in.rdbuf();
        sql = ss.str();
    }
    sql = CrLf(sql);
    if (!sql.empty() && (sql.size() < 2 || sql.compare(sql.size() - 2, 2, "\r\n") != 0)) sql += "\r\n";

    TDbConnection db;
    const std::string auth = !user.empty() && !password.empty() ? "User ID=" + user + ";Password=" + password + ";" : "Integrated Security=SSPI;";
    db.ConnectionString = "Provider=SQLOLEDB.1;" + auth + "Data Source=" + server + ";Initial Catalog=master;Persist Security Info=True;";
    try {
        db.Open();
        db.Execute("use " + QuoteName(database));
    } catch (const Exception& e) {
        return Fail(2, e.Message());
    }

    TTlvnRun run(db);
    CliHost host;
    const std::string prefix = TTlvnRun::FailurePrefix(NowHHmmss());
    try {
        run.RunBatches(sql, debug, host);
    } catch (const Exception& e) {
        PrintLf(run.OutcomeText(prefix, &e.Message()));
        return e.Message() == kNoResultSet ? 0 : 1;
    }
    if (run.ResultList.empty()) {
        PrintLf(run.OutcomeText(prefix, nullptr));
    } else {
        std::string text = run.MessageText;
        try {
            RenderTextResults(text, run.ResultList, settings);
        } catch (const Exception& e) {
            PrintLf(text + prefix + e.Message());
            return 1;
        }
        PrintLf(text);
    }
    if (!csv.empty()) {
        if (run.ResultList.empty()) return Fail(1, "there is no result to export");
        try {
            ExportCsvFile(*run.ResultList[0], csv);
        } catch (const Exception& e) {
            return Fail(1, e.Message());
        }
    }
    return 0;
}
