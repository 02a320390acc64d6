// The ODBC calls the access layer's files share: diagnostics and their classification, and the
// driver-specific SQL types. Internal to src/db.
#pragma once

#include "uDbAccess.h"

#include <sql.h>
#include <sqlext.h>

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

// The diagnostic records of a handle, in the order the driver manager gives them.
std::vector<TDbErrorItem> Diagnostics(SQLSMALLINT type, SQLHANDLE h);
// A record that says the link to the server is gone.
bool IsLinkFailure(const TDbErrorItem& e);
// An informational message (PRINT, a low-severity RAISERROR), not an error.
bool IsInfo(const TDbErrorItem& e);
