// The ODBC calls the access layer's files share: diagnostics and their classification, and the
// driver-specific SQL types. Internal to src/db.
#pragma once

#include "uDbAccess.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <string>
#include <vector>

#ifndef SQL_SS_VARIANT
#define SQL_SS_VARIANT (-150)
#endif
#ifndef SQL_SS_XML
#define SQL_SS_XML (-152)
#endif
#ifndef SQL_SS_TIME2
#define SQL_SS_TIME2 (-154)
#endif
#ifndef SQL_SS_TIMESTAMPOFFSET
#define SQL_SS_TIMESTAMPOFFSET (-155)
#endif

// The diagnostic records of a handle. With a known driver's reader (DriverDiagnosticsFor) a
// statement's records come from the driver itself, in the order the server sent them; otherwise
// through the driver manager.
std::vector<TDbErrorItem> Diagnostics(SQLSMALLINT type, SQLHANDLE h, SQLHDBC dbc = nullptr, void* driverDiag = nullptr);
// The reader of the connection's driver's own diagnostics, or null for a driver we do not know.
void* DriverDiagnosticsFor(SQLHDBC dbc);

// UTF-8 to UTF-16 for the wide-character entry points; throws EDbError naming what for bad UTF-8.
std::u16string ToUtf16(std::string_view utf8, const char* what);
std::string FromUtf16(const SQLWCHAR* s, size_t n);
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters are UTF-16 code units");
inline SQLWCHAR* WideArg(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }
// A record that says the link to the server is gone.
bool IsLinkFailure(const TDbErrorItem& e);
// An informational message (PRINT, a low-severity RAISERROR), not an error.
bool IsInfo(const TDbErrorItem& e);

// A driver call in which the thread waits for the server; a cancel from another thread may reach
// it there (TDbConnection::Cancel).
class TServerWait {
public:
    TServerWait(TDbConnection& db, void* h) : db_(db) { db_.EnterServerWait(h); }
    ~TServerWait() { db_.LeaveServerWait(); }
    TServerWait(const TServerWait&) = delete;
    TServerWait& operator=(const TServerWait&) = delete;

private:
    TDbConnection& db_;
};
