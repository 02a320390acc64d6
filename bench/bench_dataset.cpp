// The in-memory dataset against plain C++ containers holding the same values: appending, memory,
// sorting by a text and by an integer column, and reading every value's text.
#include "bench_common.h"

#include "uMemDataSet.h"

#include <malloc.h>
#include <algorithm>
#include <cstring>
#include <random>

namespace {

constexpr int kRows = 1000000;

struct PlainRow {
    std::int32_t i;
    std::int64_t big;
    std::string text;
    std::string wide;
    std::int64_t money;  // decimal(18,4) as value x 10000
    double when;
    double real;
    bool flag;
};

// The same pseudo-random values for every measurement.
const std::vector<PlainRow>& Source() {
    static const std::vector<PlainRow> rows = [] {
        std::vector<PlainRow> out;
        out.reserve(kRows);
        std::mt19937_64 rng(42);
        const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
        for (int r = 0; r < kRows; ++r) {
            PlainRow p;
            p.i = static_cast<std::int32_t>(rng() % 2000000000);
            p.big = static_cast<std::int64_t>(rng());
            p.text.resize(16 + rng() % 9);
            for (char& c : p.text) c = letters[rng() % 52];
            p.wide.resize(16 + rng() % 9);
            for (char& c : p.wide) c = letters[rng() % 52];
            p.money = static_cast<std::int64_t>(rng() % 100000000000LL);
            p.when = 40000.0 + static_cast<double>(rng() % 20000) + static_cast<double>(rng() % 86400) / 86400.0;
            p.real = static_cast<double>(rng() % 1000000) / 7.0;
            p.flag = rng() & 1;
            out.push_back(std::move(p));
        }
        return out;
    }();
    return rows;
}

void Define(TMemDataSet& ds) {
    ds.DefineField("i", ftInteger, 0);
    ds.DefineField("big", ftLargeint, 0);
    ds.DefineField("text", ftString, 50);
    ds.DefineField("wide", ftWideString, 50);
    ds.DefineField("money", ftBCD, 4);
    ds.DefineField("when", ftDateTime, 0);
    ds.DefineField("real", ftFloat, 0);
    ds.DefineField("flag", ftBoolean, 0);
    ds.Open();
}

void Fill(TMemDataSet& ds) {
    TField* f[8];
    for (int c = 0; c < 8; ++c) f[c] = &ds.Field(c);
    ds.SuspendControls();
    for (const PlainRow& p : Source()) {
        ds.AppendRow();
        f[0]->SetAsInteger(p.i);
        f[1]->SetAsLargeInt(p.big);
        f[2]->SetAsText(p.text);
        f[3]->SetAsText(p.wide);
        f[4]->SetAsCurrency(p.money);
        f[5]->SetAsDateTime(p.when);
        f[6]->SetAsFloat(p.real);
        f[7]->SetAsBoolean(p.flag);
        ds.PostRow();
    }
    ds.ResumeControls();
}

void BM_PlainAppend(benchmark::State& state) {
    const auto& src = Source();
    for (auto _ : state) {
        std::vector<PlainRow> rows;
        for (const PlainRow& p : src) rows.push_back(PlainRow{p.i, p.big, p.text, p.wide, p.money, p.when, p.real, p.flag});
        benchmark::DoNotOptimize(rows.data());
    }
}

void BM_DatasetAppend(benchmark::State& state) {
    Source();
    for (auto _ : state) {
        TMemDataSet ds;
        Define(ds);
        Fill(ds);
        benchmark::DoNotOptimize(ds.RowCount());
    }
}

TMemDataSet& Filled() {
    static TMemDataSet* ds = [] {
        auto* d = new TMemDataSet;
        Define(*d);
        Fill(*d);
        return d;
    }();
    return *ds;
}

int CompareNoCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

void BM_PairSortText(benchmark::State& state) {
    const auto& src = Source();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::pair<std::string, int>> keys;
        keys.reserve(src.size());
        for (size_t r = 0; r < src.size(); ++r) keys.emplace_back(src[r].text, static_cast<int>(r));
        state.ResumeTiming();
        std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
            const int c = CompareNoCase(a.first, b.first);
            return c != 0 ? c < 0 : a.second < b.second;
        });
        benchmark::DoNotOptimize(keys.data());
    }
}

void BM_PairSortInt(benchmark::State& state) {
    const auto& src = Source();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::pair<std::int32_t, int>> keys;
        keys.reserve(src.size());
        for (size_t r = 0; r < src.size(); ++r) keys.emplace_back(src[r].i, static_cast<int>(r));
        state.ResumeTiming();
        std::stable_sort(keys.begin(), keys.end());
        benchmark::DoNotOptimize(keys.data());
    }
}

// Each run sorts the fetch order (row-id order) by the column, so every run does the same work.
void SortBy(benchmark::State& state, const char* field) {
    TMemDataSet& ds = Filled();
    for (auto _ : state) {
        state.PauseTiming();
        ds.SortByField("big", false);  // scramble the store away from the column's order
        state.ResumeTiming();
        ds.SortByField(field, false);
    }
}
void BM_DatasetSortText(benchmark::State& state) { SortBy(state, "text"); }
void BM_DatasetSortInt(benchmark::State& state) { SortBy(state, "i"); }

void BM_DatasetValueText(benchmark::State& state) {
    TMemDataSet& ds = Filled();
    size_t bytes = 0;
    for (auto _ : state) {
        ds.MoveFirst();
        while (!ds.AtEnd()) {
            for (int c = 0; c < 8; ++c) bytes += ds.Field(c).ValueText().size();
            ds.MoveNext();
        }
    }
    benchmark::DoNotOptimize(bytes);
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(kRows) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Source();
    benchmark::RegisterBenchmark("plain_append", BM_PlainAppend)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("dataset_append", BM_DatasetAppend)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("pair_sort_text", BM_PairSortText)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("dataset_sort_text", BM_DatasetSortText)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("pair_sort_int", BM_PairSortInt)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("dataset_sort_int", BM_DatasetSortInt)->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark("dataset_value_text", BM_DatasetValueText)->Unit(benchmark::kMillisecond)->Iterations(2);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Memory: bytes the heap holds for the filled dataset against the values' own bytes.
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    size_t valueBytes = 0;
    {
        TMemDataSet ds;
        Define(ds);
        Fill(ds);
        const size_t after = mallinfo2().uordblks;
        for (const PlainRow& p : Source()) valueBytes += 4 + 8 + p.text.size() + p.wide.size() + 8 + 8 + 8 + 1;
        const double allowed = static_cast<double>(valueBytes + 16ull * kRows);
        const double used = static_cast<double>(after - before);
        std::printf("dataset memory: %.1f MB for %.1f MB of values (%.1f bytes per row)\n", used / 1e6,
                    static_cast<double>(valueBytes) / 1e6, used / kRows);
        bool ok = true;
        auto& s = reporter.seconds;
        ok &= GoalAtMost("dataset_append", s["dataset_append"] / s["plain_append"], 3.0, "x");
        ok &= GoalAtMost("dataset_memory", used / allowed, 1.5, "x");
        ok &= GoalAtMost("dataset_sort_text", s["dataset_sort_text"] / s["pair_sort_text"], 2.0, "x");
        ok &= GoalAtMost("dataset_sort_int", s["dataset_sort_int"] / s["pair_sort_int"], 2.0, "x");
        std::printf("REPORT dataset_value_text %.2fM rows/s\n", reporter.counters["dataset_value_text"]["rows_per_s"] / 1e6);
        return ok ? 0 : 1;
    }
}
