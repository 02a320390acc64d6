// Aggregates that skip NULL values say so, as SQL Server does with ANSI_WARNINGS on: each argument
// passes through a watch that notes a NULL.
#pragma once

#include "TSql.h"

#include <vector>

struct sqlite3;

// SUM(x), AVG(x), MIN(x), MAX(x), COUNT(x) ... -> the same over sandbox_nullwatch(x).
std::vector<Token> WatchAggregateNulls(std::vector<Token> t);
// Registers sandbox_nullwatch on the handle; it sets *seen when its argument is NULL.
void RegisterNullWatch(sqlite3* db, bool* seen);

// STDEV, STDEVP, VAR and VARP as aggregates and window functions (SQLite has none): the sample
// or population deviation and variance as a float, NULL with too few values.
void RegisterDeviations(sqlite3* db);
