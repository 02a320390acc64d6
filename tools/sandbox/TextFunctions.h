// Text conversions SQLite lacks: CAST to char(n)/nchar(n) pads with blanks, binary converted to
// a character type is read as UTF-16 (nvarchar) or CP1252 (varchar).
#pragma once

#include "Value.h"

#include <vector>

struct sqlite3;

// sandbox_text(x, unicode) and sandbox_pad(text, 1, n).
void RegisterTextFunctions(sqlite3* db);
// FORMAT with .NET's format strings (FormatFunction.cpp); registered by RegisterTextFunctions.
void RegisterFormatFunction(sqlite3* db);

// SET TEXTSIZE: values of text, ntext, image and the max types cut to that many bytes.
void LimitTextSize(const std::vector<SqlColumn>& cols, std::vector<SqlValue>& values, long long textSize);
