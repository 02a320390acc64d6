// Fetching a result into a dataset: the field type for each ODBC column type, bound block reads,
// and the one-row-at-a-time path for large values.
#include "uDbAccess.h"

#include "MemFormat.h"
#include "uDbOdbc.h"
#include "uNbFormat.h"
#include "uNbText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

// ---------------------------------------------------------------- fetching

namespace {

struct ColumnPlan {
    int fieldIndex = -1;  // -1: left out
    SQLSMALLINT sqlType = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    int fieldType = 0;
    SQLSMALLINT cType = 0;
    size_t width = 0;  // bytes per row in the bound buffer
    bool bound = false;
    std::vector<char> buffer;
    std::vector<SQLLEN> ind;
};

std::string TypeName(SQLHSTMT h, SQLUSMALLINT col) {
    char name[128] = {0};
    SQLSMALLINT len = 0;
    SQLColAttribute(h, col, SQL_DESC_TYPE_NAME, name, sizeof name, &len, nullptr);
    std::string s(name);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The field type of the dataset over the recordset, with the declared size to store.
int FieldTypeFor(SQLSMALLINT type, SQLULEN size, SQLSMALLINT digits, const std::string& typeName, bool identity, int& declared) {
    declared = 0;
    switch (type) {
    case SQL_TINYINT:
        return ftWord;
    case SQL_SMALLINT:
        return ftSmallint;
    case SQL_INTEGER:
        return identity ? ftAutoInc : ftInteger;
    case SQL_BIGINT:
        return ftLargeint;
    case SQL_BIT:
        return ftBoolean;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return ftFloat;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
        if (typeName == "money" || typeName == "smallmoney") {
            declared = 4;
            return ftBCD;
        }
        if (digits == 0 && size < 10) return ftInteger;
        declared = digits;
        return digits <= 4 && size <= 18 ? ftBCD : ftFMTBcd;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        if (typeName == "datetime2") {
            declared = digits;
            return ftTimeStamp;
        }
        return ftDateTime;
    case SQL_TYPE_DATE:
    case SQL_DATE:
        return ftDate;
    case SQL_SS_TIME2:
        declared = 16;
        return ftString;
    case SQL_SS_TIMESTAMPOFFSET:
        declared = 34;
        return ftString;
    case SQL_CHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftMemo : ftFixedChar;
    case SQL_VARCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftMemo : ftString;
    case SQL_WCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftWideMemo : ftFixedWideChar;
    case SQL_WVARCHAR:
        declared = static_cast<int>(size);
        return size == 0 ? ftWideMemo : ftWideString;
    case SQL_LONGVARCHAR:
        return ftMemo;
    case SQL_WLONGVARCHAR:
        return ftWideMemo;
    case SQL_BINARY:
        declared = static_cast<int>(size);
        return size == 0 ? ftBlob : ftBytes;
    case SQL_VARBINARY:
        declared = static_cast<int>(size);
        return size == 0 ? ftBlob : ftVarBytes;
    case SQL_LONGVARBINARY:
        return ftBlob;
    case SQL_GUID:
        declared = 38;
        return ftGuid;
    case SQL_SS_VARIANT:
        return ftVariant;
    case SQL_SS_XML:
        return ftMemo;
    default:
        return -1;
    }
}

// Unique field names: an empty name becomes COLUMN<n>, a repeated one <name>_<n>.
std::string UniqueName(const std::string& name, const std::vector<std::string>& taken) {
    auto isTaken = [&](const std::string& n) {
        std::string u = n;
        for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const auto& t : taken) {
            std::string v = t;
            for (char& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (u == v) return true;
        }
        return false;
    };
    if (!name.empty() && !isTaken(name)) return name;
    for (int n = 1;; ++n) {
        const std::string candidate = name.empty() ? NbFormat("COLUMN%d", n) : NbFormat("%s_%d", name, n);
        if (!isTaken(candidate)) return candidate;
    }
}

std::string ReadLob(const TDbConnection& db, SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT cType, bool& isNull) {
    std::string out;
    char buf[16384];
    isNull = false;
    // The total the driver reported first; a driver that keeps answering "truncated" (FreeTDS does
    // for a sql_variant) cannot make the loop run past it.
    SQLLEN total = SQL_NO_TOTAL;
    for (;;) {
        SQLLEN ind = 0;
        const SQLRETURN rc = SQLGetData(h, col, cType, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            std::vector<TDbErrorItem> diags = db.StatementDiagnostics(h);
            for (const auto& d : diags)
                if (IsLinkFailure(d)) throw EDbError(kConnectionFailure);
            throw EDbError(diags.empty() ? std::string("Reading a value failed.") : diags[0].Description);
        }
        if (ind == SQL_NULL_DATA) {
            isNull = true;
            return {};
        }
        const size_t cap = cType == SQL_C_CHAR ? sizeof buf - 1 : sizeof buf;
        if (ind != SQL_NO_TOTAL && static_cast<size_t>(ind) <= cap) {
            // The rest fits the buffer: the value is complete whatever the return code says.
            out.append(buf, static_cast<size_t>(ind));
            break;
        }
        if (ind != SQL_NO_TOTAL && total == SQL_NO_TOTAL) total = static_cast<SQLLEN>(out.size()) + ind;
        out.append(buf, cap);
        if (rc == SQL_SUCCESS) break;
        if (total != SQL_NO_TOTAL && static_cast<SQLLEN>(out.size()) >= total) {
            out.resize(static_cast<size_t>(total));
            break;
        }
    }
    return out;
}

// UTF-16 code units (the driver's SQLWCHAR, little-endian in memory) as UTF-8; a lone surrogate
// becomes U+FFFD.
void AppendUtf16AsUtf8(std::string& out, const char* units, size_t n) {
    auto unit = [&](size_t i) {
        char16_t u;
        std::memcpy(&u, units + 2 * i, 2);
        return u;
    };
    // Written in place: at most three bytes a unit (a surrogate pair's four bytes for two units).
    const size_t start = out.size();
    out.resize(start + 3 * n);
    auto* o = reinterpret_cast<unsigned char*>(out.data() + start);
    size_t i = 0;
    while (i < n) {
        // Runs of ASCII, four units at a time.
        while (i + 4 <= n) {
            std::uint64_t w;
            std::memcpy(&w, units + 2 * i, 8);
            if (w & 0xFF80FF80FF80FF80ULL) break;
            for (int k = 0; k < 4; ++k) o[k] = static_cast<unsigned char>(units[2 * (i + k)]);
            o += 4;
            i += 4;
        }
        if (i == n) break;
        char32_t cp = unit(i++);
        if (cp >= 0xD800 && cp <= 0xDBFF && i < n && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i++) - 0xDC00u);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            *o++ = static_cast<unsigned char>(cp);
        } else if (cp < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *o++ = static_cast<unsigned char>(0xE0 | (cp >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
            *o++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(reinterpret_cast<char*>(o) - out.data()));
}

void StoreText(TField& f, int fieldType, std::string_view text) {
    if (fieldType == ftGuid) {
        std::string g = "{";
        for (char c : text) g += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        g += "}";
        f.SetAsText(g);
        return;
    }
    if (fieldType == ftBCD) {
        // The driver writes plain "-123.4500": read it straight into value x 10000.
        std::int64_t units = 0;
        size_t i = 0;
        const bool negative = !text.empty() && text[0] == '-';
        if (negative) ++i;
        int frac = -1;
        bool plain = i < text.size() && text.size() - i <= 19;
        for (; plain && i < text.size(); ++i) {
            const char c = text[i];
            if (c == '.' && frac < 0) {
                frac = 0;
            } else if (c >= '0' && c <= '9') {
                if (frac >= 4) {
                    plain = false;  // more than 4 decimals: round through the general path
                    break;
                }
                units = units * 10 + (c - '0');
                if (frac >= 0) ++frac;
            } else {
                plain = false;
            }
        }
        if (plain) {
            for (int k = frac < 0 ? 0 : frac; k < 4; ++k) units *= 10;
            f.SetAsCurrency(negative ? -units : units);
            return;
        }
        auto d = TextToDecimal(text, 4);
        if (d)
            f.SetAsCurrency(static_cast<std::int64_t>(*d));
        else
            f.SetValueText(text);
        return;
    }
    if (fieldType == ftFMTBcd) {
        auto d = TextToDecimal(text, f.Size());
        if (d)
            f.SetAsVariant(TMemVariant::FromDecimal(*d, f.Size()));
        else
            f.SetValueText(text);
        return;
    }
    if (fieldType == ftInteger || fieldType == ftLargeint || fieldType == ftSmallint || fieldType == ftWord || fieldType == ftAutoInc) {
        // numeric(p, 0) read as text
        auto i = TextToInt(text);
        if (i)
            f.SetAsLargeInt(*i);
        else
            f.SetValueText(text);
        return;
    }
    f.SetAsText(text);
}

}  // namespace

bool DbFetchInto(TDbConnection& db, void* hstmtPtr, TMemDataSet& target) {
    SQLHSTMT h = static_cast<SQLHSTMT>(hstmtPtr);
    SQLSMALLINT ncols = 0;
    SQLNumResultCols(h, &ncols);
    std::vector<ColumnPlan> plan(static_cast<size_t>(ncols));
    std::vector<std::string> names;
    bool anyLob = false;
    target.ClearLayout();
    for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
        ColumnPlan& p = plan[c - 1u];
        // The name as UTF-16: the driver manager's narrow form cuts each letter to one byte.
        SQLWCHAR wideName[256] = {0};
        SQLSMALLINT nameLen = 0, nullable = 0;
        SQLDescribeColW(h, c, wideName, static_cast<SQLSMALLINT>(std::size(wideName)), &nameLen, &p.sqlType, &p.size, &p.digits, &nullable);
        std::string name;
        AppendUtf16AsUtf8(name, reinterpret_cast<const char*>(wideName),
                          std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(nameLen, 0)), std::size(wideName) - 1));
        SQLLEN autoUnique = SQL_FALSE;
        SQLColAttribute(h, c, SQL_DESC_AUTO_UNIQUE_VALUE, nullptr, 0, nullptr, &autoUnique);
        int declared = 0;
        p.fieldType = FieldTypeFor(p.sqlType, p.size, p.digits, TypeName(h, c), autoUnique == SQL_TRUE, declared);
        if (p.fieldType < 0) continue;  // a column type the dataset cannot hold is left out
        const std::string unique = UniqueName(name, names);
        names.push_back(unique);
        p.fieldIndex = static_cast<int>(names.size()) - 1;
        target.DefineField(unique, p.fieldType, declared);
        switch (p.fieldType) {
        case ftWord:
        case ftSmallint:
        case ftInteger:
        case ftAutoInc:
        case ftLargeint:
        case ftBoolean:
            p.cType = SQL_C_SBIGINT;
            p.width = sizeof(std::int64_t);
            break;
        case ftFloat:
            p.cType = SQL_C_DOUBLE;
            p.width = sizeof(double);
            break;
        case ftDateTime:
        case ftTimeStamp:
            p.cType = SQL_C_TYPE_TIMESTAMP;
            p.width = sizeof(SQL_TIMESTAMP_STRUCT);
            break;
        case ftDate:
            p.cType = SQL_C_TYPE_DATE;
            p.width = sizeof(SQL_DATE_STRUCT);
            break;
        case ftBCD:
        case ftFMTBcd:
            p.cType = SQL_C_CHAR;
            p.width = 48;
            break;
        case ftGuid:
            p.cType = SQL_C_CHAR;
            p.width = 40;
            break;
        case ftBytes:
        case ftVarBytes:
            p.cType = SQL_C_BINARY;
            p.width = p.size;
            break;
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftFixedWideChar:
            p.cType = SQL_C_CHAR;
            // UTF-8 takes up to 4 bytes a character.
            p.width = std::max<size_t>(p.sqlType == SQL_SS_TIME2 || p.sqlType == SQL_SS_TIMESTAMPOFFSET ? 64 : 0,
                                       4 * static_cast<size_t>(p.size) + 1);
            break;
        default:
            p.cType = (p.fieldType == ftBlob) ? SQL_C_BINARY : SQL_C_CHAR;
            p.width = 0;
            anyLob = true;
            break;
        }
        if (p.width > 65536) {
            anyLob = true;
        }
    }
    target.Open();
    target.SuspendControls();
    target.Indexes().SetUpkeep(false);
    std::vector<TField*> fields;
    for (int i = 0; i < target.FieldCount(); ++i) fields.push_back(&target.Field(i));
    auto finish = [&] {
        SQLFreeStmt(h, SQL_UNBIND);
        SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(1)), 0);
        target.RebuildNaturalIndex();
        target.Indexes().SetUpkeep(true);
        target.MoveFirst();
        target.ResumeControls();
    };
    auto fetchError = [&](SQLRETURN rc) -> std::exception_ptr {
        if (SQL_SUCCEEDED(rc) && rc != SQL_SUCCESS_WITH_INFO) return nullptr;
        std::vector<TDbErrorItem> diags = db.StatementDiagnostics(h);
        for (const auto& d : diags)
            if (IsLinkFailure(d)) return std::make_exception_ptr(EDbError(kConnectionFailure));
        if (!SQL_SUCCEEDED(rc))
            return std::make_exception_ptr(EDbError(diags.empty() ? std::string("Fetching rows failed.") : diags[0].Description));
        db.AddMessages(diags);  // messages read ahead with the rows
        return nullptr;
    };
    // One value of a bound cell into its field.
    std::string wide;
    // The day of the last date encoded: rows in a block often share it.
    int lastYear = 0, lastMonth = 0, lastDay = 0;
    TDateTime lastDate = 0;
    auto encodeDate = [&](int year, int month, int day) {
        if (year != lastYear || month != lastMonth || day != lastDay) {
            lastDate = 0;
            TryEncodeDate(year, month, day, lastDate);
            lastYear = year;
            lastMonth = month;
            lastDay = day;
        }
        return lastDate;
    };
    auto storeCell = [&](const ColumnPlan& p, TField& f, const char* cell, SQLLEN ind) {
        switch (p.cType) {
        case SQL_C_SBIGINT: {
            std::int64_t v;
            std::memcpy(&v, cell, sizeof v);
            if (p.fieldType == ftBoolean)
                f.SetAsBoolean(v != 0);
            else
                f.SetAsLargeInt(v);
            break;
        }
        case SQL_C_DOUBLE: {
            double v;
            std::memcpy(&v, cell, sizeof v);
            f.SetAsFloat(v);
            break;
        }
        case SQL_C_TYPE_TIMESTAMP: {
            SQL_TIMESTAMP_STRUCT ts;
            std::memcpy(&ts, cell, sizeof ts);
            const TDateTime d = encodeDate(ts.year, ts.month, ts.day);
            TDateTime t = 0;
            if (p.fieldType == ftTimeStamp) {
                const std::int64_t nanos = ((ts.hour * 60LL + ts.minute) * 60LL + ts.second) * 1000000000LL + ts.fraction;
                f.SetAsVariant(TMemVariant::FromTimeStamp(static_cast<std::int64_t>(d), nanos));
            } else {
                TryEncodeTime(ts.hour, ts.minute, ts.second, static_cast<int>((ts.fraction + 500000) / 1000000 % 1000), t);
                f.SetAsDateTime(d + t);
            }
            break;
        }
        case SQL_C_TYPE_DATE: {
            SQL_DATE_STRUCT ds;
            std::memcpy(&ds, cell, sizeof ds);
            f.SetAsDateTime(encodeDate(ds.year, ds.month, ds.day));
            break;
        }
        case SQL_C_WCHAR: {
            size_t len = ind == SQL_NO_TOTAL ? p.width - 2 : std::min(static_cast<size_t>(ind), p.width - 2);
            wide.clear();
            AppendUtf16AsUtf8(wide, cell, len / 2);
            StoreText(f, p.fieldType, wide);
            break;
        }
        default: {
            size_t len = ind == SQL_NO_TOTAL ? p.width : static_cast<size_t>(ind);
            if (p.cType == SQL_C_CHAR && len >= p.width) len = p.width - 1;
            if (p.cType == SQL_C_BINARY && len > p.width) len = p.width;
            StoreText(f, p.fieldType, std::string_view(cell, len));
        }
        }
    };

    // A fetch that fails after a cancel ends the result where it stands: the rows so far stay.
    auto cutByCancel = [&](SQLRETURN rc) { return !SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA && db.CancelRequested(); };
    bool cut = false;
    if (anyLob) {
        // A large value is read piece by piece: one row per fetch, every column through SQLGetData.
        try {
            for (;;) {
                if (db.CancelPending(h)) {
                    cut = true;
                    break;
                }
                SQLRETURN rc;
                {
                    TServerWait wait(db, h);
                    rc = SQLFetch(h);
                }
                if (rc == SQL_NO_DATA) break;
                if (cutByCancel(rc)) {
                    cut = true;
                    break;
                }
                if (std::exception_ptr e = fetchError(rc)) std::rethrow_exception(e);
                target.AppendRow();
                for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
                    ColumnPlan& p = plan[c - 1u];
                    if (p.fieldIndex < 0) continue;
                    TField& f = *fields[static_cast<size_t>(p.fieldIndex)];
                    if (p.cType == SQL_C_SBIGINT || p.cType == SQL_C_DOUBLE || p.cType == SQL_C_TYPE_TIMESTAMP ||
                        p.cType == SQL_C_TYPE_DATE) {
                        // Fixed-size values come as binary structures, as in the bound path: no
                        // text form, no regional settings.
                        alignas(8) char cell[64];
                        SQLLEN ind = 0;
                        const SQLRETURN got = SQLGetData(h, c, p.cType, cell, sizeof cell, &ind);
                        if (!SQL_SUCCEEDED(got)) {
                            std::vector<TDbErrorItem> diags = db.StatementDiagnostics(h);
                            for (const auto& d : diags)
                                if (IsLinkFailure(d)) throw EDbError(kConnectionFailure);
                            throw EDbError(diags.empty() ? std::string("Reading a value failed.") : diags[0].Description);
                        }
                        if (ind != SQL_NULL_DATA) storeCell(p, f, cell, ind);
                        continue;
                    }
                    bool isNull = false;
                    const std::string v = ReadLob(db, h, c, p.cType, isNull);
                    if (!isNull) StoreText(f, p.fieldType, v);
                }
                target.PostRow();
            }
        } catch (const EDbError& e) {
            // A value read that failed after a cancel: the row in progress goes, the rows before stay.
            if (target.State() == TDataSetState::Insert) target.CancelRow();
            finish();
            if (db.CancelRequested() && e.Message() != kConnectionFailure) return true;
            throw;
        } catch (...) {
            if (target.State() == TDataSetState::Insert) target.CancelRow();
            finish();
            throw;
        }
        finish();
        return cut;
    }

    // Bound columns and a row array of 512 rows per fetch.
    constexpr SQLULEN kRows = 512;
    SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
    for (SQLUSMALLINT c = 1; c <= ncols; ++c) {
        ColumnPlan& p = plan[c - 1u];
        if (p.fieldIndex < 0) continue;
        // Unicode text bound as UTF-16, the wire's own form: the driver copies it, and the
        // conversion to UTF-8 here is cheaper than the driver's.
        if ((p.fieldType == ftWideString || p.fieldType == ftFixedWideChar) && p.cType == SQL_C_CHAR && p.sqlType != SQL_SS_TIME2 &&
            p.sqlType != SQL_SS_TIMESTAMPOFFSET) {
            p.cType = SQL_C_WCHAR;
            p.width = 2 * static_cast<size_t>(p.size) + 2;
        }
        p.buffer.assign(p.width * kRows, 0);
        p.ind.assign(kRows, 0);
        SQLBindCol(h, c, p.cType, p.buffer.data(), static_cast<SQLLEN>(p.width), p.ind.data());
        p.bound = true;
    }
    SQLULEN fetched = 0;
    std::vector<SQLUSMALLINT> status(kRows);
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, status.data(), 0);
    try {
        for (;;) {
            if (db.CancelPending(h)) {
                cut = true;
                break;
            }
            SQLRETURN rc;
            {
                TServerWait wait(db, h);
                rc = SQLFetch(h);
            }
            if (rc == SQL_NO_DATA) {
                db.AddMessages(db.StatementDiagnostics(h));
                break;
            }
            if (cutByCancel(rc)) {
                cut = true;
                break;
            }
            if (std::exception_ptr e = fetchError(rc)) std::rethrow_exception(e);
            for (SQLULEN r = 0; r < fetched; ++r) {
                if (status[r] == SQL_ROW_ERROR || status[r] == SQL_ROW_NOROW) continue;
                target.AppendRow();
                for (const ColumnPlan& p : plan) {
                    if (p.fieldIndex < 0) continue;
                    const SQLLEN ind = p.ind[r];
                    if (ind == SQL_NULL_DATA) continue;
                    storeCell(p, *fields[static_cast<size_t>(p.fieldIndex)], p.buffer.data() + r * p.width, ind);
                }
                target.PostRow();
            }
            // A short block ends the result. Fetching again would make the driver read on into
            // the batch's next tokens and swallow the messages that follow this result.
            if (fetched < kRows) break;
        }
    } catch (...) {
        if (target.State() == TDataSetState::Insert) target.CancelRow();
        finish();
        throw;
    }
    finish();
    return cut;
}
