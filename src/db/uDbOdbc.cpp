#include "uDbOdbc.h"

#include <algorithm>

namespace {

// Drops "[unixODBC][FreeTDS][SQL Server]" and the like from the front of a message.
std::string StripPrefixes(std::string text) {
    while (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) break;
        text.erase(0, close + 1);
    }
    return text;
}

}  // namespace

std::vector<TDbErrorItem> Diagnostics(SQLSMALLINT type, SQLHANDLE h) {
    std::vector<TDbErrorItem> out;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[8] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        std::string text(1024, '\0');
        SQLRETURN rc = SQLGetDiagRec(type, h, i, state, &native, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLSMALLINT>(text.size()), &len);
        if (rc == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(text.size())) {
            text.assign(static_cast<size_t>(len) + 1, '\0');
            rc = SQLGetDiagRec(type, h, i, state, &native, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLSMALLINT>(text.size()), &len);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        text.resize(static_cast<size_t>(std::max<SQLSMALLINT>(0, len)));
        out.push_back({static_cast<int>(native), StripPrefixes(text), reinterpret_cast<char*>(state)});
    }
    return out;
}

bool IsLinkFailure(const TDbErrorItem& e) {
    return e.SqlState == "08S01" || e.SqlState == "08S02" || e.SqlState == "08003" || e.SqlState == "08007" || e.Number == 20017 ||
           e.Number == 20004 || e.Number == 20006 || e.Number == 20047;
}

bool IsInfo(const TDbErrorItem& e) { return e.SqlState.rfind("01", 0) == 0 && !IsLinkFailure(e); }
