#include "uDbOdbc.h"

#include "uNbFormat.h"
#include "uNbText.h"

#include <dlfcn.h>
#include <link.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

// Drops "[unixODBC][FreeTDS][SQL Server]" and the like from the front of a message: the driver
// manager's and the driver's names, up to the server's own text, which may itself begin with
// brackets (PRINT '[done]').
std::string StripPrefixes(std::string text) {
    while (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) break;
        const std::string name = text.substr(1, close - 1);
        const bool component = name == "unixODBC" || name == "FreeTDS" || name == "SQL Server" || name == "Microsoft" ||
                               name.rfind("ODBC ", 0) == 0 || name == "Driver Manager";
        if (!component) break;
        text.erase(0, close + 1);
        if (name == "SQL Server") break;
    }
    return text;
}

// The severity of a message as FreeTDS keeps it (its SQL_DIAG_SS_MSGSTATE field).
constexpr SQLSMALLINT kDiagFreeTdsSeverity = -1150;

using DiagFieldW = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*);

struct LoadedDriver {
    std::string prefix;  // the driver's file name as the driver manager reports it
    std::string path;
};

int FindLoaded(struct dl_phdr_info* info, size_t, void* data) {
    auto* d = static_cast<LoadedDriver*>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    const char* slash = std::strrchr(info->dlpi_name, '/');
    const char* base = slash ? slash + 1 : info->dlpi_name;
    if (std::strncmp(base, d->prefix.c_str(), d->prefix.size()) == 0) {
        d->path = info->dlpi_name;
        return 1;
    }
    return 0;
}

// The FreeTDS driver's own SQLGetDiagFieldW, found in the library the driver manager loaded.
DiagFieldW FreeTdsDiagField(const std::string& driverFile) {
    static std::mutex mu;
    static std::string resolvedFor;
    static DiagFieldW fn = nullptr;
    std::lock_guard<std::mutex> lock(mu);
    if (resolvedFor == driverFile) return fn;
    resolvedFor = driverFile;
    fn = nullptr;
    LoadedDriver d{driverFile, {}};
    dl_iterate_phdr(FindLoaded, &d);
    if (d.path.empty()) return nullptr;
    // Kept open for the life of the process, so the pointer outlives the driver manager's use.
    void* lib = dlopen(d.path.c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (!lib) return nullptr;
    fn = reinterpret_cast<DiagFieldW>(dlsym(lib, "SQLGetDiagFieldW"));
    return fn;
}

std::string WideField(DiagFieldW fn, SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT id) {
    std::vector<SQLWCHAR> buf(512);
    SQLSMALLINT bytes = 0;
    SQLRETURN rc = fn(type, h, rec, id, buf.data(), static_cast<SQLSMALLINT>(buf.size() * sizeof(SQLWCHAR)), &bytes);
    if (rc == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(bytes) >= buf.size() * sizeof(SQLWCHAR)) {
        buf.assign(static_cast<size_t>(bytes) / sizeof(SQLWCHAR) + 1, 0);
        rc = fn(type, h, rec, id, buf.data(), static_cast<SQLSMALLINT>(buf.size() * sizeof(SQLWCHAR)), &bytes);
    }
    if (!SQL_SUCCEEDED(rc)) return {};
    const size_t n = std::min(buf.size(), static_cast<size_t>(std::max<SQLSMALLINT>(0, bytes)) / sizeof(SQLWCHAR));
    return FromUtf16(buf.data(), n);
}

}  // namespace

std::u16string ToUtf16(std::string_view s, const char* what) {
    // Sized once for the worst case (one unit per byte) and cut at the end: a batch of many
    // kilobytes is converted in one pass, its ASCII runs by a loop the compiler widens in blocks.
    std::u16string out(s.size(), u'\0');
    char16_t* o = out.data();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const end = p + s.size();
    const auto bad = [what] { return EDbError(NbFormat("The %s is not valid UTF-8.", what)); };
    while (p < end) {
        // Runs of ASCII, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL) break;
            for (int k = 0; k < 8; ++k) o[k] = static_cast<char16_t>(p[k]);
            p += 8;
            o += 8;
        }
        if (p == end) break;
        if (*p < 0x80) {
            *o++ = static_cast<char16_t>(*p++);
            continue;
        }
        const unsigned char c = *p;
        char32_t cp;
        size_t len;
        if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            throw bad();
        }
        if (static_cast<size_t>(end - p) < len) throw bad();
        for (size_t k = 1; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) throw bad();
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) throw bad();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *o++ = static_cast<char16_t>(cp);
        }
        p += len;
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

std::string FromUtf16(const SQLWCHAR* s, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        NbAppendUtf8(out, cp);
    }
    return out;
}

void* DriverDiagnosticsFor(SQLHDBC dbc) {
    char name[256] = {0};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DRIVER_NAME, name, sizeof name, &len))) return nullptr;
    // Only the FreeTDS driver is known to keep its records in arrival order for SQLGetDiagField.
    if (std::strstr(name, "tdsodbc") == nullptr) return nullptr;
    return reinterpret_cast<void*>(FreeTdsDiagField(name));
}

std::vector<TDbErrorItem> Diagnostics(SQLSMALLINT type, SQLHANDLE h, SQLHDBC dbc, void* driverDiag) {
    std::vector<TDbErrorItem> out;
    if (driverDiag && dbc && type == SQL_HANDLE_STMT) {
        // The driver's own records, read field by field: the driver manager's copy is built by an
        // insert into a sorted list (quadratic in the number of records), and the driver's
        // SQLGetDiagRec ranks the records by severity; SQLGetDiagField leaves them in the order
        // the server sent them.
        SQLHANDLE drv = h;
        if (SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DRIVER_HSTMT, &drv, sizeof drv, nullptr)) && drv) {
            const auto fn = reinterpret_cast<DiagFieldW>(driverDiag);
            SQLINTEGER count = 0;
            if (SQL_SUCCEEDED(fn(type, drv, 0, SQL_DIAG_NUMBER, &count, 0, nullptr))) {
                out.reserve(static_cast<size_t>(std::max<SQLINTEGER>(0, count)));
                for (SQLINTEGER i = 1; i <= count && i <= 32767; ++i) {
                    const SQLSMALLINT rec = static_cast<SQLSMALLINT>(i);
                    TDbErrorItem item;
                    SQLINTEGER native = 0, severity = 0;
                    fn(type, drv, rec, SQL_DIAG_NATIVE, &native, 0, nullptr);
                    if (SQL_SUCCEEDED(fn(type, drv, rec, kDiagFreeTdsSeverity, &severity, 0, nullptr))) item.Severity = severity;
                    item.Number = static_cast<int>(native);
                    item.SqlState = WideField(fn, type, drv, rec, SQL_DIAG_SQLSTATE).substr(0, 5);
                    item.Description = StripPrefixes(WideField(fn, type, drv, rec, SQL_DIAG_MESSAGE_TEXT));
                    out.push_back(std::move(item));
                }
                return out;
            }
        }
    }
    for (SQLSMALLINT i = 1; i > 0; ++i) {
        SQLWCHAR state[8] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        std::vector<SQLWCHAR> text(1024);
        SQLRETURN rc = SQLGetDiagRecW(type, h, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()), &len);
        if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(text.size())) {
            text.assign(static_cast<size_t>(len) + 1, 0);
            rc = SQLGetDiagRecW(type, h, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()), &len);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        TDbErrorItem item;
        item.Number = static_cast<int>(native);
        item.Description = StripPrefixes(FromUtf16(text.data(), std::min(text.size(), static_cast<size_t>(std::max<SQLSMALLINT>(0, len)))));
        item.SqlState = FromUtf16(state, 5);
        out.push_back(std::move(item));
    }
    return out;
}

bool IsLinkFailure(const TDbErrorItem& e) {
    return e.SqlState == "08S01" || e.SqlState == "08S02" || e.SqlState == "08003" || e.SqlState == "08007" || e.Number == 20017 ||
           e.Number == 20004 || e.Number == 20006 || e.Number == 20047;
}

bool IsInfo(const TDbErrorItem& e) { return e.SqlState.rfind("01", 0) == 0 && !IsLinkFailure(e); }
