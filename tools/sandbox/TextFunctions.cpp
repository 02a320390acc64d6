#include "TextFunctions.h"
#include "TextCodec.h"
#include "Value.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace {

void ToText(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) != SQLITE_BLOB) {
        const unsigned char* p = sqlite3_value_text(argv[0]);
        if (!p) return sqlite3_result_null(ctx);
        return sqlite3_result_text(ctx, reinterpret_cast<const char*>(p), sqlite3_value_bytes(argv[0]), SQLITE_TRANSIENT);
    }
    const std::string_view bytes(static_cast<const char*>(sqlite3_value_blob(argv[0])), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
    // A variant tagged with its base type is its value's text.
    SqlType base;
    SqlValue value;
    if (UntagVariant(SqlValue::FromBlob(std::string(bytes)), base, value)) {
        const std::string text = value.AsText();
        return sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    const std::string out = sqlite3_value_int(argv[1]) != 0 ? Utf16BytesToUtf8(bytes) : Cp1252ToUtf8(bytes);
    sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// The first n characters, padded with blanks to n.
void Pad(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const unsigned char* p = sqlite3_value_text(argv[0]);
    if (!p) return sqlite3_result_null(ctx);
    const std::string_view s(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
    const sqlite3_int64 n = sqlite3_value_int64(argv[2]);
    std::string out;
    sqlite3_int64 chars = 0;
    for (size_t i = 0; i < s.size() && chars < n; ++chars) {
        const size_t from = i;
        NextCodePoint(s, i);
        out.append(s.substr(from, i - from));
    }
    out.append(static_cast<size_t>(n - chars), ' ');
    sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

}  // namespace

void RegisterTextFunctions(sqlite3* db) {
    sqlite3_create_function_v2(db, "sandbox_text", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, ToText, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "sandbox_pad", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, Pad, nullptr, nullptr, nullptr);
    RegisterFormatFunction(db);
}

void LimitTextSize(const std::vector<SqlColumn>& cols, std::vector<SqlValue>& values, long long textSize) {
    for (size_t c = 0; c < cols.size() && c < values.size(); ++c) {
        const SqlType& t = cols[c].type;
        const bool large = t.kind == SqlType::Text || t.kind == SqlType::NText || t.kind == SqlType::Image ||
                           (t.length < 0 && (t.kind == SqlType::VarChar || t.kind == SqlType::NVarChar || t.kind == SqlType::VarBinary));
        SqlValue& v = values[c];
        if (!large || (v.type != SqlValue::Text && v.type != SqlValue::Blob)) continue;
        if (t.IsBinary()) {
            if (static_cast<long long>(v.s.size()) > textSize) v.s.resize(static_cast<size_t>(textSize));
            continue;
        }
        // Characters up to the size in bytes on the wire: two a UTF-16 unit, one a CP1252 character.
        const long long unitBytes = t.IsUnicode() ? 2 : 1;
        long long bytes = 0;
        size_t i = 0;
        while (i < v.s.size()) {
            size_t next = i;
            const std::uint32_t cp = NextCodePoint(v.s, next);
            const long long need = unitBytes * (t.IsUnicode() && cp > 0xFFFF ? 2 : 1);
            if (bytes + need > textSize) break;
            bytes += need;
            i = next;
        }
        v.s.resize(i);
    }
}
