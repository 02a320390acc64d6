#include "uTextResults.h"

namespace {

constexpr std::string_view kBlobMarker = "(Blob)";

size_t Chars(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

bool IsMarkerColumn(const TField& f) { return f.IsBlob() && !IsTextBlobType(f.DataType()); }

}  // namespace

std::string FormatColumnCell(std::string_view t, int width, int maxColumnWidth) {
    int e = width;
    if (maxColumnWidth > 0 && maxColumnWidth < e) e = maxColumnWidth;
    if (e <= 0) return {};
    std::string out;
    // The first e characters (code points), never cut inside one.
    size_t i = 0;
    int chars = 0;
    while (i < t.size() && chars < e) {
        ++i;
        while (i < t.size() && (static_cast<unsigned char>(t[i]) & 0xC0) == 0x80) ++i;
        ++chars;
    }
    out.assign(t.substr(0, i));
    out.append(static_cast<size_t>(e - chars), ' ');
    return out;
}

void RenderTextResults(std::string& out, const std::vector<std::unique_ptr<TMemCustomDataSet>>& results, const TTextRenderSettings& settings) {
    for (size_t k = 0; k < results.size(); ++k) {
        TMemCustomDataSet& ds = *results[k];
        const TMemPositionGuard position(ds);
        {
            std::string text;
            if (k > 0) text += "\r\n";
            text += "Rowcount: " + std::to_string(ds.RowCount()) + "\r\n";
            const int n = ds.FieldCount();
            std::vector<int> width(static_cast<size_t>(n), 0);
            std::vector<bool> marker(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) {
                const TField& f = ds.Field(i);
                marker[static_cast<size_t>(i)] = IsMarkerColumn(f);
                const int len = static_cast<int>(Chars(f.DisplayName()));
                if (len > width[static_cast<size_t>(i)])
                    width[static_cast<size_t>(i)] = marker[static_cast<size_t>(i)] ? std::max(len, static_cast<int>(kBlobMarker.size())) : len;
            }
            // Width pass over every row; text columns are read in place.
            ds.MoveFirst();
            while (!ds.AtEnd()) {
                for (int i = 0; i < n; ++i) {
                    if (marker[static_cast<size_t>(i)]) continue;
                    const TField& f = ds.Field(i);
                    const int len = static_cast<int>(StorageOf(f.DataType()) == TMemStorage::Text ? Chars(f.TextView()) : Chars(f.ValueText()));
                    if (len > width[static_cast<size_t>(i)]) width[static_cast<size_t>(i)] = len;
                }
                ds.MoveNext();
            }
            const int cap = settings.MaxColumnWidth;
            ds.MoveFirst();
            for (int i = 0; i < n; ++i) text += FormatColumnCell(ds.Field(i).DisplayName(), width[static_cast<size_t>(i)], cap) + " ";
            text += "\r\n";
            if (settings.UnderlineHeadings) {
                for (int i = 0; i < n; ++i)
                    text += FormatColumnCell(std::string(static_cast<size_t>(std::max(0, width[static_cast<size_t>(i)])), '-'), width[static_cast<size_t>(i)], cap) + " ";
                text += "\r\n";
            }
            int count = 0;
            while (!ds.AtEnd()) {
                if (++count > kTextRowCap) break;
                for (int i = 0; i < n; ++i) {
                    const TField& f = ds.Field(i);
                    if (marker[static_cast<size_t>(i)]) text += FormatColumnCell(kBlobMarker, width[static_cast<size_t>(i)], cap);
                    else if (StorageOf(f.DataType()) == TMemStorage::Text) text += FormatColumnCell(f.TextView(), width[static_cast<size_t>(i)], cap);
                    else text += FormatColumnCell(f.ValueText(), width[static_cast<size_t>(i)], cap);
                    text += ' ';
                }
                text += "\r\n";
                ds.MoveNext();
            }
            out += text;
            if (count > kTextRowCap) out += "Stopped after 10000 rows.\r\n";
        }
    }
}
