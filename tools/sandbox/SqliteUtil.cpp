#include "SqliteUtil.h"
#include "TSql.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>

void SqlStmt::Reset() {
    if (st_) sqlite3_finalize(st_);
    st_ = nullptr;
}

void DbCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

std::string QuoteIdent(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

SqlValue ColumnValue(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
        return SqlValue::FromInt(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
        return SqlValue::FromReal(sqlite3_column_double(st, i));
    case SQLITE_TEXT:
        return SqlValue::FromText(
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    case SQLITE_BLOB: {
        const void* p = sqlite3_column_blob(st, i);
        return SqlValue::FromBlob(std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    }
    default:
        return {};
    }
}

void ResultValue(sqlite3_context* ctx, const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        return sqlite3_result_int64(ctx, v.i);
    case SqlValue::Real:
        return sqlite3_result_double(ctx, v.d);
    case SqlValue::Text:
        return sqlite3_result_text(ctx, v.s.c_str(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    case SqlValue::Blob:
        return sqlite3_result_blob(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    default:
        return sqlite3_result_null(ctx);
    }
}

void BindValue(sqlite3_stmt* st, int i, const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        sqlite3_bind_int64(st, i, v.i);
        break;
    case SqlValue::Real:
        sqlite3_bind_double(st, i, v.d);
        break;
    case SqlValue::Text:
        sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
        break;
    case SqlValue::Blob:
        sqlite3_bind_blob(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
        break;
    default:
        sqlite3_bind_null(st, i);
    }
}

void DropSessionTable(sqlite3* db, const std::string& stored) {
    const std::string drop = "DROP TABLE IF EXISTS " + QuoteIdent(stored) +
                             "; DELETE FROM __columns WHERE object_id IN (SELECT id FROM __objects WHERE name = " + SqlLiteral(stored) +
                             "); DELETE FROM __objects WHERE name = " + SqlLiteral(stored) + ";";
    sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr);
}

SqlStmt StatementCache::Take(const std::string& sql) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first != sql) continue;
        SqlStmt st = std::move(it->second);
        entries_.erase(it);
        return st;
    }
    return SqlStmt();
}

void StatementCache::Put(const std::string& sql, SqlStmt st) {
    constexpr size_t kKept = 16;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (entries_.size() >= kKept) entries_.erase(entries_.begin());
    entries_.emplace_back(sql, std::move(st));
}

namespace {

bool WordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80; }

// The end of the quoted text starting at i (a string, a quoted identifier), its closing quote doubled inside.
size_t QuotedEnd(std::string_view s, size_t i) {
    const char close = s[i] == '[' ? ']' : s[i];
    for (size_t j = i + 1; j < s.size(); ++j) {
        if (s[j] != close) continue;
        if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
            ++j;
            continue;
        }
        return j + 1;
    }
    return std::string_view::npos;
}

bool SameWord(std::string_view word, std::string_view upper) {
    if (word.size() != upper.size()) return false;
    for (size_t k = 0; k < word.size(); ++k)
        if (std::toupper(static_cast<unsigned char>(word[k])) != upper[k]) return false;
    return true;
}

}  // namespace

bool ShapeOfValues(std::string_view sql, ValuesShape& shape) {
    // Bounded well below SQLite's own limit of parameters.
    constexpr size_t kMaxValues = 999;
    shape.sql.clear();
    shape.values.clear();
    shape.sql.reserve(sql.size());
    bool first = true, inValues = false;
    int depth = 0;
    size_t from = 0;  // what is not yet in shape.sql, copied as it stands up to a value taken out
    auto take = [&](size_t at, size_t end, SqlValue v, bool real) {
        shape.sql.append(sql.substr(from, at - from));
        if (real) shape.sql += "CAST(";
        shape.values.push_back(std::move(v));
        shape.sql += '?';
        shape.sql += std::to_string(shape.values.size());
        if (real) shape.sql += " AS REAL)";
        from = end;
    };
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        const bool afterWord = i > 0 && WordChar(sql[i - 1]);
        if (c == '\'' || c == '"' || c == '`' || c == '[') {
            const size_t end = QuotedEnd(sql, i);
            if (end == std::string_view::npos) return false;
            if (c == '\'' && inValues && depth > 0 && !afterWord) {  // not X'...', a blob
                std::string text;
                size_t k = i + 1;
                ReadQuoted(sql, k, '\'', text);
                take(i, end, SqlValue::FromText(std::move(text)), false);
            } else if (c == '\'' && inValues && depth > 0 && (sql[i - 1] == 'x' || sql[i - 1] == 'X') && (i < 2 || !WordChar(sql[i - 2]))) {
                // X'0A0B', a blob: its bytes (a scripts' images differ row by row, their statements not).
                const std::string_view hex = sql.substr(i + 1, end - i - 2);
                SqlValue blob;
                blob.type = SqlValue::Blob;
                bool ok = hex.size() % 2 == 0;
                for (size_t k = 0; ok && k < hex.size(); k += 2) {
                    unsigned byte = 0;
                    ok = std::from_chars(hex.data() + k, hex.data() + k + 2, byte, 16).ec == std::errc() &&
                         std::isxdigit(static_cast<unsigned char>(hex[k])) && std::isxdigit(static_cast<unsigned char>(hex[k + 1]));
                    blob.s += static_cast<char>(byte);
                }
                if (ok) take(i - 1, end, std::move(blob), false);
            }
            i = end;
            continue;
        }
        if (c == '@' || c == ':' || c == '$' || c == '?') return false;
        const bool digit = c >= '0' && c <= '9';
        if (inValues && depth > 0 && !afterWord && (i == 0 || sql[i - 1] != '.') &&
            (digit || (c == '.' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1]))))) {
            // A number as SQLite reads one: digits, a point, an exponent.
            size_t end = i;
            auto digits = [&] {
                while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end]))) ++end;
            };
            digits();
            bool integer = true;
            if (end < sql.size() && sql[end] == '.') {
                integer = false;
                ++end;
                digits();
            }
            if (end + 1 < sql.size() && (sql[end] == 'e' || sql[end] == 'E')) {
                size_t k = end + 1;
                if (k < sql.size() && (sql[k] == '+' || sql[k] == '-')) ++k;
                if (k < sql.size() && std::isdigit(static_cast<unsigned char>(sql[k]))) {
                    integer = false;
                    end = k;
                    digits();
                }
            }
            const std::string_view number = sql.substr(i, end - i);
            std::int64_t n = 0;
            // Not 0x1F or 12abc; an integer past 64 bits stays too (-9223372036854775808 is SQLite's
            // smallest integer only as one literal).
            if ((end >= sql.size() || !WordChar(sql[end])) &&
                (!integer || std::from_chars(number.data(), number.data() + number.size(), n).ec == std::errc())) {
                // A fraction as SQLite's own reading of the text gives the value the literal would have.
                take(i, end, integer ? SqlValue::FromInt(n) : SqlValue::FromText(std::string(number)), !integer);
                i = end;
                continue;
            }
        }
        if (WordChar(c) && !afterWord) {
            size_t end = i;
            while (end < sql.size() && WordChar(sql[end])) ++end;
            const std::string_view word = sql.substr(i, end - i);
            if (first && !SameWord(word, "INSERT")) return false;
            first = false;
            if (inValues && SameWord(word, "SELECT")) return false;
            if (inValues && depth == 0) return false;  // RETURNING, ON CONFLICT ...
            if (!inValues && depth == 0 && SameWord(word, "VALUES")) inValues = true;
            i = end;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')' && --depth < 0) return false;
        if (inValues && depth == 0 && !(c == '(' || c == ')' || c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c)))) return false;
        ++i;
    }
    shape.sql.append(sql.substr(from));
    return inValues && depth == 0 && !shape.values.empty() && shape.values.size() <= kMaxValues;
}
