// Text rendering and CSV export of generated datasets of eight columns.
//   bench_text_csv render ROWS   -> "seconds S rows R"
//   bench_text_csv csv ROWS FILE -> "seconds S bytes B"
#include "MemFormat.h"
#include "uNbCsv.h"
#include "uTextResults.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

std::unique_ptr<TMemDataSet> Generate(long rows) {
    auto ds = std::make_unique<TMemDataSet>();
    ds->DefineField("id", ftInteger, 0);
    ds->DefineField("big", ftLargeint, 0);
    ds->DefineField("name", ftString, 50);
    ds->DefineField("wide_name", ftWideString, 50);
    ds->DefineField("amount", ftBCD, 4);
    ds->DefineField("created", ftDateTime, 0);
    ds->DefineField("ratio", ftFloat, 0);
    ds->DefineField("flag", ftBoolean, 0);
    ds->Open();
    ds->SuspendControls();
    char buf[64];
    TDateTime base = 0;
    TryEncodeDate(2024, 1, 1, base);
    for (long i = 1; i <= rows; ++i) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(static_cast<std::int32_t>(i));
        ds->Field(1).SetAsLargeInt(i * 3000000007LL);
        std::snprintf(buf, sizeof buf, "customer_name_%07ld", i);
        ds->Field(2).SetAsText(buf);
        std::snprintf(buf, sizeof buf, "wide_n\xC3\xA4me_%07ld", i);
        ds->Field(3).SetAsText(buf);
        ds->Field(4).SetAsCurrency(i * 12345LL);
        ds->Field(5).SetAsDateTime(base + static_cast<double>(i) / 86400.0);
        ds->Field(6).SetAsFloat(static_cast<double>(i) / 7.0);
        ds->Field(7).SetAsBoolean(i % 2);
        ds->PostRow();
    }
    ds->ResumeControls();
    return ds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_text_csv render|csv ROWS [FILE]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const long rows = std::atol(argv[2]);
    std::vector<std::unique_ptr<TMemCustomDataSet>> list;
    list.push_back(Generate(rows));
    const auto start = std::chrono::steady_clock::now();
    if (mode == "render") {
        std::string out;
        RenderTextResults(out, list, TTextRenderSettings{});
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("seconds %.4f rows %ld chars %zu\n", s, rows, out.size());
        return 0;
    }
    ExportCsvFile(*list[0], argv[3]);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat st{};
    ::stat(argv[3], &st);
    std::printf("seconds %.4f bytes %lld\n", s, static_cast<long long>(st.st_size));
    return 0;
}
