// Text conversions SQLite lacks: CAST to char(n)/nchar(n) pads with blanks, binary converted to
// a character type is read as UTF-16 (nvarchar) or CP1252 (varchar).
#pragma once

struct sqlite3;

// sandbox_text(x, unicode) and sandbox_pad(text, 1, n).
void RegisterTextFunctions(sqlite3* db);
