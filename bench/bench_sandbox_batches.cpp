// The stand-in's interpreter without the wire: an installation script's batches (one or two INSERT
// statements of a 300-character row each) run by Session::RunBatch, against the same statements run
// by SQLite itself on a database with the stand-in's settings. The difference is what the stand-in
// adds per statement: parsing T-SQL, the translation, the type checks and the answers.
#include "ServerState.h"
#include "Session.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

class NullSink final : public ResultSink {
public:
    void Columns(const std::vector<SqlColumn>&) override {}
    void Row(const std::vector<SqlColumn>&, const std::vector<SqlValue>&) override {}
    void Done(DoneKind, std::uint16_t, std::uint16_t, std::uint64_t) override {}
    void Message(bool error, std::int32_t, std::uint8_t, std::uint8_t, std::string_view text, std::string_view, std::string_view,
                 std::int32_t) override {
        if (error) throw std::runtime_error(std::string(text));
    }
    void DatabaseChanged(std::string_view, std::string_view) override {}
    void Transaction(TranEvent, std::uint64_t) override {}
    void ReturnStatus(std::int32_t) override {}
    void ReturnValue(std::uint16_t, std::string_view, const SqlColumn&, const SqlValue&) override {}
    bool Failed() const override { return false; }
    bool EndsWithDone() const override { return true; }
};

std::string TempDir() {
    char tmpl[] = "/tmp/tolvan-bench-batches-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    return tmpl;
}

std::string Note(int row) {
    std::string lorem;
    while (lorem.size() < 290) lorem += "lorem ipsum dolor sit amet ";
    return "Row " + std::to_string(row) + ": " + lorem.substr(0, 290);
}

std::string Price(int row) {
    const int cents = row % 100;
    return std::to_string(row % 97) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

void StandInInserts(benchmark::State& state) {
    const std::string dir = TempDir();
    {
        ServerState server(dir, "pw", "BENCH");
        server.CreateDatabase("bench");
        NullSink sink;
        Session session(server, sink, [] { return false; });
        std::string error;
        if (!session.Open("bench", error)) throw std::runtime_error(error);
        session.RunBatch("SET NOCOUNT ON");
        session.RunBatch(
            "CREATE TABLE [dbo].[Bench Rows] ([ID] [int] NOT NULL PRIMARY KEY, [Name] [nvarchar](40) NOT NULL, [Price] [money] NULL, "
            "[Note] [nvarchar](400) NULL)");
        int row = 0;
        for (auto _ : state) {
            ++row;
            session.RunBatch("INSERT [dbo].[Bench Rows] ([ID], [Name], [Price], [Note]) VALUES (" + std::to_string(row) +
                             ", N'Customer number " + std::to_string(row) + "', $" + Price(row) + ", N'" + Note(row) + "')\n");
        }
    }
    std::filesystem::remove_all(dir);
}

void SqliteInserts(benchmark::State& state) {
    const std::string dir = TempDir();
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/direct.db").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE \"Bench Rows\" (\"ID\" int NOT NULL PRIMARY KEY, "
                 "\"Name\" nvarchar(40) NOT NULL, \"Price\" money, \"Note\" nvarchar(400))",
                 nullptr, nullptr, nullptr);
    int row = 0;
    for (auto _ : state) {
        ++row;
        const std::string sql = "INSERT INTO \"Bench Rows\" (\"ID\", \"Name\", \"Price\", \"Note\") VALUES (" + std::to_string(row) +
                                ", 'Customer number " + std::to_string(row) + "', " + Price(row) + ", '" + Note(row) + "')";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
    }
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(StandInInserts)->Unit(benchmark::kMicrosecond)->Iterations(3000)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(SqliteInserts)->Unit(benchmark::kMicrosecond)->Iterations(3000)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
