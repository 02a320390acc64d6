// Pieces of the translation that installation scripts need: LIKE patterns with character classes
// and CONVERT styles.
#pragma once

#include "TSql.h"

#include <string>
#include <vector>

struct sqlite3;

// A LIKE pattern as a GLOB pattern of SQLite: % and _ become * and ?, [a-z] classes keep their
// meaning, and letters match either case as under the server's case-insensitive collation.
std::string LikeToGlob(const std::string& like);
// x LIKE '...[...]...' becomes x GLOB '...' (SQLite's LIKE knows no character classes).
void RewriteBracketLikes(std::vector<Token>& t);

// sandbox_to_style(value, style) and sandbox_from_style(text, style): CONVERT's date styles.
void RegisterStyleFunctions(sqlite3* db);
// sandbox_dateadd/datediff/datepart/datename('part', ...).
void RegisterDateFunctions(sqlite3* db);
bool IsDatePartFunction(const std::string& upperName);
