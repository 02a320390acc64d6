// Text rendering and CSV export of generated datasets of eight columns.
//   bench_text_csv render ROWS   -> "seconds S rows R"
//   bench_text_csv csv ROWS FILE -> "seconds S bytes B"
//   bench_text_csv xml ROWS FILE -> "seconds S bytes B rows R" (the XML import of such a table)
//   bench_text_csv xmlvalue entities|plain N FILE -> "seconds S bytes B chars C" (one value)
#include "MemFormat.h"
#include "uNbCsv.h"
#include "uNbData.h"
#include "uNbLog.h"
#include "uNbXml.h"

#include <fstream>
#include "uTextResults.h"

#include <sys/stat.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    NbLogSetLineFd(-1);  // standard output carries the figures
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_text_csv render|csv ROWS [FILE]\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "xmlvalue" && argc >= 5) {
        // One Char value of N named entities, or of plain characters of the same byte length; then
        // the import timed.
        static const char* const kEntities[] = {"&lt;", "&amp;",  "&COPY;",  "&Pi;",   "&TRADE;",
                                                "&gt;", "&QUOT;", "&infin;", "&APOS;", "&quot;"};
        const long n = std::atol(argv[3]);
        std::string value;
        for (long i = 0; i < n; ++i) value += kEntities[i % 10];
        if (std::string(argv[2]) == "plain") value.assign(value.size(), 'x');
        {
            std::ofstream out(argv[4], std::ios::binary);
            out << "<TABLE><METADATA><FIELDS><FIELD attrname=\"V\" fieldtype=\"Char(100000000)\"/></FIELDS></METADATA><ROWDATA><ROW><V>"
                << value << "</V></ROW></ROWDATA></TABLE>";
        }
        const auto start = std::chrono::steady_clock::now();
        TNbDataSet ds;
        LoadXmlFile(ds, nullptr, argv[4]);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("seconds %.6f bytes %zu chars %zu\n", s, value.size(), ds.Field(0).ValueText().size());
        return 0;
    }
    const long rows = std::atol(argv[2]);
    if (mode == "xml") {
        // A file of the import layout with eight columns, then the import timed.
        {
            std::ofstream out(argv[3], std::ios::binary);
            out << "<?xml version=\"1.0\"?>\n<TABLE><METADATA><FIELDS>\n"
                   "<FIELD attrname=\"id\" fieldtype=\"Integer\"/><FIELD attrname=\"big\" fieldtype=\"LargeInt\"/>"
                   "<FIELD attrname=\"name\" fieldtype=\"Char(50)\"/><FIELD attrname=\"wide__name\" fieldtype=\"WideString(50)\"/>"
                   "<FIELD attrname=\"amount\" fieldtype=\"BCD\"/><FIELD attrname=\"created\" fieldtype=\"DateTime\"/>"
                   "<FIELD attrname=\"ratio\" fieldtype=\"Float\"/><FIELD attrname=\"flag\" fieldtype=\"Boolean\"/>\n"
                   "</FIELDS></METADATA><ROWDATA>\n";
            char line[512];
            for (long i = 1; i <= rows; ++i) {
                std::snprintf(
                    line, sizeof line,
                    "<ROW><id>%ld</id><big>%lld</big><name>customer_name_%07ld</name><wide__name>wide &amp; name %07ld</wide__name>"
                    "<amount>%ld.%04ld</amount><created>%ld/%ld/2024 %02ld:%02ld:%02ld</created><ratio>%.6f</ratio><flag>%s</flag></ROW>\n",
                    i, i * 3000000007LL, i, i, i * 12345 / 10000, i * 12345 % 10000, 1 + i % 12, 1 + i % 28, i / 3600 % 24, i / 60 % 60,
                    i % 60, static_cast<double>(i) / 7.0, i % 2 ? "True" : "False");
                out << line;
            }
            out << "</ROWDATA></TABLE>\n";
        }
        struct stat st {};
        ::stat(argv[3], &st);
        const auto start = std::chrono::steady_clock::now();
        TNbDataSet ds;
        LoadXmlFile(ds, nullptr, argv[3]);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("seconds %.4f bytes %lld rows %d\n", s, static_cast<long long>(st.st_size), ds.RowCount());
        return 0;
    }
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
    struct stat st {};
    ::stat(argv[3], &st);
    std::printf("seconds %.4f bytes %lld\n", s, static_cast<long long>(st.st_size));
    return 0;
}
