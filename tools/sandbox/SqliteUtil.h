// Small helpers between SqlValue and SQLite statements.
#pragma once

#include "Value.h"

#include <string>

struct sqlite3_stmt;

std::string QuoteIdent(const std::string& s);
SqlValue ColumnValue(sqlite3_stmt* st, int i);
void BindValue(sqlite3_stmt* st, int i, const SqlValue& v);
