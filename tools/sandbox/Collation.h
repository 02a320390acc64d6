// SQL Server collations of character columns: the code page their varchar text is kept and sent in,
// and the five bytes that name the collation on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct CollationInfo {
    std::string name;      // as SQL Server spells it
    std::uint8_t wire[5];  // LCID and comparison flags (little-endian), then the SQL sort id
    int codePage;
};

// The collation of columns that name none: the server's default.
constexpr int kDefaultCollation = 0;

// The id of a collation by its name (any case), or -1 for a name SQL Server does not know.
int CollationId(std::string_view name);
const CollationInfo& CollationById(int id);
