// tolvansql: runs SQL through the same engine as the window and prints what its Text page shows.
#include "uDbBatches.h"
#include "uNbCsv.h"
#include "uNbLog.h"
#include "uNbStartup.h"
#include "uNbText.h"
#include "uNbXml.h"
#include "uRunLoop.h"
#include "uTextResults.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kUsage =
    "usage: tolvansql -S server -U login -P password -d database (-i file.sql | -Q \"sql\")\n"
    "                 [-N [-C]] [-t seconds] [--debug] [--csv file] [--max-column-width N] [--no-underline]\n"
    "       tolvansql --xml file.xml [--csv file] [--max-column-width N] [--no-underline]\n"
    "\n"
    "Runs SQL against SQL Server as Tolvan's F5 does (Shift+F5 with --debug): batches are split at\n"
    "lines reading GO, and the output is what Tolvan's Text page shows.\n"
    "  -S server            host, host,port or host\\instance\n"
    "  -U login -P password a SQL Server login; the password may come from TOLVAN_PASSWORD instead;\n"
    "                       (an empty password is allowed); without -U Windows authentication\n"
    "  -d database          the database to use\n"
    "  -N                   encrypt the connection (TLS); the server's certificate must verify\n"
    "  -C                   with -N: trust the server's certificate without checking it\n"
    "  -i file / -Q sql     the SQL to run; a file is read as UTF-8, or UTF-16 by its byte-order mark\n"
    "  -t seconds           the command timeout (0: none; default 30)\n"
    "  --csv file           also write the first result as CSV\n"
    "  --xml file           no server: import an XML dataset file and print it as the Text page\n"
    "                       would after Import XML; exit 1 with the error when it is refused\n"
    "  --max-column-width N cut columns at N characters (0: no limit; default 100)\n"
    "  --no-underline       no line of hyphens under the headings\n"
    "  --log                the diagnostic log on standard error\n"
    "Ctrl+C cancels the running statement and prints what was read (exit status 1); a second\n"
    "Ctrl+C ends the program at once.\n"
    "Exit status: 0 success, 1 the run failed, 2 could not connect or bad arguments.\n";

class CliHost : public TRunHost {
public:
    void SetStatusText(const std::string&) override {}
    void ShowRunning(std::string_view) override {}
    void SetBusy(bool) override {}
    TQueryWaiter& Waiter() override { return waiter_; }
    void ConnectionLost() override {}

private:
    TCallerThreadWaiter waiter_;
};

// Ctrl+C during a run, without a signal handler: the signal is blocked in every thread and a
// watcher thread reads it from a signalfd. The first cancels the connection's statement; a second
// ends the program at once. An eventfd wakes the watcher to stop, so the program does not wait
// out a polling tick on its way out.
class TInterruptWatcher {
public:
    explicit TInterruptWatcher(TDbConnection& db) {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        // Blocked here before any query thread starts, so the threads started from here on inherit it.
        pthread_sigmask(SIG_BLOCK, &interrupt, &saved_);
        signals_ = signalfd(-1, &interrupt, SFD_CLOEXEC);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (signals_ < 0 || stop_ < 0) {
            const std::string reason = std::strerror(errno);
            Release();
            throw std::runtime_error("cannot watch for Ctrl+C: " + reason);
        }
        try {
            thread_ = std::thread([this, &db] {
                int seen = 0;
                pollfd fds[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
                for (;;) {
                    if (poll(fds, 2, -1) < 0) {
                        if (errno == EINTR) continue;
                        return;
                    }
                    if (fds[1].revents != 0) return;
                    signalfd_siginfo info;
                    if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
                    if (seen++ > 0) {
                        std::fputs("tolvansql: interrupted\n", stderr);
                        std::_Exit(130);
                    }
                    db.Cancel();
                }
            });
        } catch (...) {
            Release();
            throw;
        }
    }
    ~TInterruptWatcher() {
        const uint64_t one = 1;
        if (write(stop_, &one, sizeof one) < 0) std::perror("tolvansql");
        thread_.join();
        Release();
    }
    TInterruptWatcher(const TInterruptWatcher&) = delete;
    TInterruptWatcher& operator=(const TInterruptWatcher&) = delete;

private:
    void Release() {
        if (stop_ >= 0) close(stop_);
        if (signals_ >= 0) close(signals_);
        // A Ctrl+C that comes after the run takes its usual effect once the signal is unblocked.
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

    int signals_ = -1;
    int stop_ = -1;
    sigset_t saved_{};
    std::thread thread_;
};

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

int Main(int argc, char** argv) {
    // Standard output carries the results; the log's lines go to standard error with --log.
    NbLogSetLineFd(-1);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--log") == 0) NbLogSetLineFd(2);
    NbLibraryStartup(argc > 0 ? argv[0] : nullptr);
    std::string server = "localhost", database, file, query, csv, xml;
    TDbConnectionParams params;
    bool haveQuery = false, haveUser = false, debug = false;
    int timeout = 30;
    TTextRenderSettings settings;
    if (const char* pw = std::getenv("TOLVAN_PASSWORD")) params.Password = pw;
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
            } else if (a == "-S")
                server = value();
            else if (a == "-U") {
                params.UserId = value();
                haveUser = true;
            } else if (a == "-P")
                params.Password = value();
            else if (a == "-d")
                database = value();
            else if (a == "-N")
                params.Encrypt = true;
            else if (a == "-C")
                params.TrustServerCertificate = true;
            else if (a == "-i")
                file = value();
            else if (a == "-Q") {
                query = value();
                haveQuery = true;
            } else if (a == "-t") {
                const std::string t = value();
                char* end = nullptr;
                const long v = std::strtol(t.c_str(), &end, 10);
                if (t.empty() || *end != '\0' || v < 0 || v > 65535) return Fail(2, "-t takes a number of seconds, 0 for none");
                timeout = static_cast<int>(v);
            } else if (a == "--debug")
                debug = true;
            else if (a == "--csv")
                csv = value();
            else if (a == "--xml")
                xml = value();
            else if (a == "--max-column-width")
                settings.MaxColumnWidth = std::atoi(value().c_str());
            else if (a == "--no-underline")
                settings.UnderlineHeadings = false;
            else if (a == "--log")
                continue;
            else
                return Fail(2, "unknown option " + a + " (see --help)");
        } catch (const std::invalid_argument& e) {
            return Fail(2, e.what());
        }
    }
    if (!xml.empty()) return file.empty() && !haveQuery ? ImportXml(xml, csv, settings) : Fail(2, "--xml takes no SQL (see --help)");
    if (file.empty() == !haveQuery) return Fail(2, "give exactly one of -i file and -Q sql (see --help)");
    if (database.empty()) return Fail(2, "give the database with -d (see --help)");
    std::string sql = query;
    if (!file.empty()) {
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(1, file + " is a folder, not a file");
        std::ifstream in(file, std::ios::binary);
        if (!in) return Fail(2, "cannot read " + file);
        // Read straight into one buffer: a script may be hundreds of megabytes.
        std::string bytes;
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0, std::ios::beg);
        if (size > 0) {
            bytes.resize(static_cast<size_t>(size));
            in.read(bytes.data(), size);
            bytes.resize(static_cast<size_t>(in.gcount()));
        } else {
            std::stringstream ss;
            ss << in.rdbuf();
            bytes = ss.str();
        }
        try {
            sql = DecodeScriptBytes(std::move(bytes));
        } catch (const Exception& e) {
            return Fail(1, file + ": " + e.Message());
        }
    }

    TDbConnection db;
    // Only a missing login means Windows authentication; an empty password is still a SQL login.
    params.IntegratedSecurity = !haveUser;
    params.Server = server;
    db.ConnectionString = OleDbConnectionString(params);
    db.CommandTimeout = timeout;
    try {
        db.Open();
        db.Execute(UseDatabaseStatement(database));
    } catch (const Exception& e) {
        return Fail(2, e.Message());
    }
    // Blank SQL: the window shows nothing, and so does this.
    if (NbTrim(sql).empty()) return 0;

    TTlvnRun run(db);
    CliHost host;
    const std::string prefix = TTlvnRun::FailurePrefix(NowHHmmss());
    std::string failure;
    bool failedRun = false;
    {
        TInterruptWatcher interrupts(db);
        try {
            run.RunBatches(std::move(sql), debug, host);
        } catch (const std::exception& e) {
            failure = e.what();
            failedRun = true;
        }
    }
    // The CSV file is written by another thread while the text page is made (both only read the
    // rows; the page moves the cursor, the export reads rows by position). It replaces the target
    // only if the page succeeds too; a FIFO or a device gets it after the page, as it cannot be
    // taken back.
    std::unique_ptr<TCsvFileExport> csvFile;
    std::string csvError;
    std::jthread csvWriter;  // joined also when the page fails by an exception
    if (!csv.empty() && !failedRun && !run.ResultList.empty()) {
        try {
            csvFile = std::make_unique<TCsvFileExport>(csv);
        } catch (const Exception& e) {
            csvError = e.Message();
        }
        if (csvFile && csvFile->Staged()) {
            csvWriter = std::jthread([&] {
                try {
                    csvFile->Write(*run.ResultList[0]);
                } catch (const Exception& e) {
                    csvError = e.Message();
                } catch (const std::exception& e) {
                    csvError = e.what();
                }
            });
        }
    }
    bool failed = false;
    PrintLf(run.TextPage(prefix, failedRun ? &failure : nullptr, settings, &failed));
    if (csvWriter.joinable()) csvWriter.join();
    if (failedRun || failed) return failed ? 1 : 0;
    if (!csv.empty()) {
        if (run.ResultList.empty()) return Fail(1, "there is no result to export");
        if (!csvError.empty()) return Fail(1, csvError);
        try {
            if (!csvFile->Staged()) csvFile->Write(*run.ResultList[0]);
            csvFile->Commit();
        } catch (const Exception& e) {
            return Fail(1, e.Message());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever fails, one clear line and exit status 1; nothing aborts the process.
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        return Fail(1, e.what());
    } catch (...) {
        return Fail(1, "unexpected failure");
    }
}
