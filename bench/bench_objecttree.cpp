// The object tree with 100,000 object paths of six kinds in the window (offscreen): a search that
// matches 100 of them, rebuilt and painted, against a bare case-insensitive substring scan of the
// same paths; and the unfiltered tree built and painted against a bare copy of the paths.
#include "bench_common.h"

#include "uObjectTree.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QTreeView>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kPaths = 100000;
constexpr int kMatches = 100;
const char* const kFilter = "ledger";

// Kinds with their share of a large database and a usual name prefix; names are two or three
// business words and a number, sorted by name within a kind as the server lists them. Every
// thousandth name carries the word the filter looks for.
std::vector<std::string> MakePaths() {
    struct Kind {
        const char* name;
        const char* prefix;
        int count;
    };
    const Kind kinds[] = {{"Table", "", 30000},
                          {"View", "v", 15000},
                          {"Procedure", "usp_", 35000},
                          {"Trigger", "tr", 5000},
                          {"ScalarFunction", "fn", 10000},
                          {"TableFunction", "tvf", 5000}};
    const char* const words[] = {"Customer", "Order",    "Invoice", "Product", "Supplier",  "Shipment", "Payment",  "Account",
                                 "Employee", "Region",   "Price",   "Stock",   "Warehouse", "Contract", "Audit",    "History",
                                 "Detail",   "Summary",  "Status",  "Archive", "Import",    "Export",   "Batch",    "Queue",
                                 "Config",   "Setting",  "User",    "Role",    "Document",  "Note",     "Category", "Currency",
                                 "Tax",      "Discount", "Return",  "Refund",  "Channel",   "Campaign", "Budget",   "Forecast"};
    const int nw = static_cast<int>(std::size(words));
    std::vector<std::string> paths;
    paths.reserve(kPaths);
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    int made = 0;
    for (const Kind& k : kinds) {
        std::vector<std::string> names;
        for (int i = 0; i < k.count; ++i, ++made) {
            std::string n = k.prefix;
            n += words[next() % nw];
            n += words[next() % nw];
            if (made % (kPaths / kMatches) == 0)
                n += "Ledger";
            else if (next() % 2)
                n += words[next() % nw];
            n += "_" + std::to_string(i);
            names.push_back(std::move(n));
        }
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) paths.push_back(std::string(k.name) + "/" + n);
    }
    return paths;
}

const std::vector<std::string>& Paths() {
    static const std::vector<std::string> paths = MakePaths();
    return paths;
}

TfTlvnMain* window = nullptr;

void BM_BareScan(benchmark::State& state) {
    const std::vector<std::string>& paths = Paths();
    const std::string needle = kFilter;
    std::string lower;
    for (auto _ : state) {
        int n = 0;
        for (const std::string& p : paths) {
            lower.assign(p);
            for (char& c : lower)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            n += lower.find(needle) != std::string::npos;
        }
        benchmark::DoNotOptimize(n);
    }
}

void BM_BareCopy(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::string> copy(Paths());
        benchmark::DoNotOptimize(copy.data());
    }
}

void RebuildAndPaint(benchmark::State& state, const QString& filter) {
    for (auto _ : state) {
        window->RebuildObjectTree(filter);
        window->itemtree->viewport()->repaint();
    }
}
void BM_TreeFilter(benchmark::State& state) { RebuildAndPaint(state, QString::fromLatin1(kFilter)); }
void BM_TreeLoad(benchmark::State& state) { RebuildAndPaint(state, QString()); }

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    TfTlvnMain w;
    w.AutoConnect = false;
    w.show();
    QApplication::processEvents();
    window = &w;
    w.ObjectTree.ObjectPathList = Paths();
    if (w.ObjectTree.CountMatchingPaths(kFilter) != kMatches) {
        std::fprintf(stderr, "bench_objecttree: the filter matches %d paths\n", w.ObjectTree.CountMatchingPaths(kFilter));
        return 1;
    }
    using TBench = void (*)(benchmark::State&);
    const std::pair<const char*, TBench> benches[] = {
        {"bare_scan", BM_BareScan}, {"tree_filter", BM_TreeFilter}, {"bare_copy", BM_BareCopy}, {"tree_load", BM_TreeLoad}};
    for (const auto& [name, fn] : benches)
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5)->ReportAggregatesOnly(true);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto& s = reporter.seconds;
    std::printf("REPORT tree_filter %.2fms, bare scan %.2fms (median of 5 runs of 5)\n", s["tree_filter"] * 1e3, s["bare_scan"] * 1e3);
    std::printf("REPORT tree_load %.2fms, bare copy %.2fms (median of 5 runs of 5)\n", s["tree_load"] * 1e3, s["bare_copy"] * 1e3);
    bool ok = true;
    ok &= GoalAtMost("tree_filter", s["tree_filter"] / s["bare_scan"], 20.0, "x");
    ok &= GoalAtMost("tree_load", s["tree_load"] / s["bare_copy"], 50.0, "x");
    return ok ? 0 : 1;
}
