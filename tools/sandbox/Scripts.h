// Pieces of the translation that installation scripts need: LIKE patterns with character classes
// and CONVERT styles.
#pragma once

#include "TSql.h"
#include "Value.h"

#include <exception>
#include <optional>
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
// sandbox_dateadd/datediff/datediff_big/datepart/datename/datetrunc('part', ...), counting weekdays
// from *dateFirst, and the collation sandbox_datetime of date-time columns (other date text read by
// *dateOrder); an error is left in *pending. All three are the session's and outlive the handle.
void RegisterDateFunctions(sqlite3* db, const int* dateFirst, const std::string* dateOrder, std::exception_ptr* pending);
bool IsDatePartFunction(const std::string& upperName);
// A datepart's full name in capitals (MS gives MILLISECOND, TZ TZOFFSET, ISOWK ISO_WEEK).
std::string DatePartName(const std::string& written);

// The table an INSERT, UPDATE or DELETE changes, as written (an alias of UPDATE ... FROM resolved).
std::string TableOfDml(const std::vector<Token>& t);
// UPDATE x SET ... FROM <tables and joins naming x> and DELETE [FROM] x FROM <...> in SQLite's terms:
// UPDATE table AS x SET ... FROM <the other tables> WHERE <x's join conditions> AND ..., and
// DELETE FROM table WHERE rowid IN (SELECT x.rowid FROM <...>). Nothing for other statements.
std::optional<std::vector<Token>> DmlWithJoins(const std::vector<Token>& t);
// DELETE TOP (n) [FROM] x [WHERE ...] and UPDATE TOP (n) x SET ... [WHERE ...] in SQLite's terms (it
// has no LIMIT there): ... WHERE rowid IN (SELECT rowid FROM x [WHERE ...] LIMIT n). Nothing for
// other statements and for TOP with PERCENT, joins or an alias.
std::optional<std::vector<Token>> DmlWithTop(const std::vector<Token>& t);

// Storing into a column (Store.cpp): whether values of the type are converted on the way in, and
// the value a column of the type holds; SqlError 245, 241, 8114, 8115 ... when it does not convert.
// A literal's date string follows the DATEFORMAT; other text in the stored form of a date is read
// year first, as it came from a date column.
bool StoreConverts(const SqlType& type);
SqlValue StoreValue(const SqlType& type, const SqlValue& v, const std::string& dateOrder, bool literal);
// Exact decimal text of a value at the precision and scale, rounded half away from zero; false when
// it is not a number or (overflow) its integer part does not fit.
bool ExactDecimalText(const SqlValue& v, int precision, int scale, std::string& out, bool& overflow);
// A value expression for a column of the type: a literal converted at once (SqlError when it does
// not convert), anything else wrapped in sandbox_store(expr, 'type').
std::vector<Token> StoredValueTokens(const std::vector<Token>& expr, const SqlType& type, const std::string& dateOrder, int line);
