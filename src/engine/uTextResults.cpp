#include "uTextResults.h"

namespace {

constexpr std::string_view kBlobMarker = "(Blob)";

size_t Chars(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// The length of an integer's decimal text, sign included.
int DigitsOf(std::int64_t v) {
    int n = v < 0 ? 2 : 1;
    std::uint64_t m = v < 0 ? 0ULL - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    while (m >= 10) {
        m /= 10;
        ++n;
    }
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

void RenderTextResults(std::string& out, const std::vector<std::unique_ptr<TMemCustomDataSet>>& results,
                       const TTextRenderSettings& settings) {
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
                    width[static_cast<size_t>(i)] =
                        marker[static_cast<size_t>(i)] ? std::max(len, static_cast<int>(kBlobMarker.size())) : len;
            }
            // Width pass over every row, without building a text per cell: texts are measured in
            // place, integers by their digits, other values formatted into one reused buffer. A
            // column is no longer looked at once it reaches the column-width cap, and the pass
            // ends when every column has.
            const int cap = settings.MaxColumnWidth;
            enum class Kind { Skip, Text, Integer, Boolean, Other };
            std::vector<Kind> kind(static_cast<size_t>(n));
            int open = 0;
            for (int i = 0; i < n; ++i) {
                const size_t c = static_cast<size_t>(i);
                const int type = ds.Field(i).DataType();
                if (marker[c] || (cap > 0 && width[c] >= cap))
                    kind[c] = Kind::Skip;
                else if (StorageOf(type) == TMemStorage::Text)
                    kind[c] = Kind::Text;
                else if (type == ftSmallint || type == ftWord || type == ftInteger || type == ftAutoInc || type == ftLargeint)
                    kind[c] = Kind::Integer;
                else if (type == ftBoolean)
                    kind[c] = Kind::Boolean;
                else
                    kind[c] = Kind::Other;
                if (kind[c] != Kind::Skip) ++open;
            }
            std::string scratch;
            ds.MoveFirst();
            while (open > 0 && !ds.AtEnd()) {
                for (int i = 0; i < n; ++i) {
                    const size_t c = static_cast<size_t>(i);
                    if (kind[c] == Kind::Skip) continue;
                    const TField& f = ds.Field(i);
                    int len = 0;
                    switch (kind[c]) {
                    case Kind::Text:
                        len = static_cast<int>(Chars(f.TextView()));
                        break;
                    case Kind::Integer:
                        if (!f.ValueIsNull()) len = DigitsOf(f.AsLargeInt());
                        break;
                    case Kind::Boolean:
                        if (!f.ValueIsNull()) len = f.AsBoolean() ? 4 : 5;  // "True", "False"
                        break;
                    default:
                        scratch.clear();
                        f.AppendValueText(scratch);
                        len = static_cast<int>(Chars(scratch));
                        break;
                    }
                    if (len > width[c]) {
                        width[c] = len;
                        if (cap > 0 && len >= cap) {
                            kind[c] = Kind::Skip;
                            --open;
                        }
                    }
                }
                ds.MoveNext();
            }
            ds.MoveFirst();
            for (int i = 0; i < n; ++i) text += FormatColumnCell(ds.Field(i).DisplayName(), width[static_cast<size_t>(i)], cap) + " ";
            text += "\r\n";
            if (settings.UnderlineHeadings) {
                for (int i = 0; i < n; ++i)
                    text += FormatColumnCell(std::string(static_cast<size_t>(std::max(0, width[static_cast<size_t>(i)])), '-'),
                                             width[static_cast<size_t>(i)], cap) +
                            " ";
                text += "\r\n";
            }
            int count = 0;
            while (!ds.AtEnd()) {
                if (++count > kTextRowCap) break;
                for (int i = 0; i < n; ++i) {
                    const TField& f = ds.Field(i);
                    if (marker[static_cast<size_t>(i)])
                        text += FormatColumnCell(kBlobMarker, width[static_cast<size_t>(i)], cap);
                    else if (StorageOf(f.DataType()) == TMemStorage::Text)
                        text += FormatColumnCell(f.TextView(), width[static_cast<size_t>(i)], cap);
                    else
                        text += FormatColumnCell(f.ValueText(), width[static_cast<size_t>(i)], cap);
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
