// The catalog rows every database file carries: objects, their source and their columns.
#pragma once

#include "SqlType.h"
#include "TSql.h"

#include <string>
#include <vector>

struct sqlite3;

struct ColumnInfo {
    std::string name;
    SqlType type;
    bool nullable = true;
    bool identity = false;
    std::string defaultText;
    std::vector<Token> computed;  // the expression of a computed column (name AS expression)
};

void ExecOrThrow(sqlite3* db, const std::string& sql);
// The id for a new object of the database.
int NewObjectId(sqlite3* db);
// A constraint's name as SQL Server makes one up: CK__Orders__Qty__0EA3310A (prefix, the first 9
// characters of the table, the first 5 of the column when there is one, the object id in hex).
std::string SystemConstraintName(const std::string& prefix, const std::string& table, const std::string& column, int id);
// Records the columns of a table or view.
// The first column gets colid firstColid, the next one more (ALTER TABLE ... ADD continues a table).
void RecordColumns(sqlite3* db, int objectId, const std::string& table, const std::vector<ColumnInfo>& cols, int firstColid = 1);
// The SQLite column type text of a declared type.
std::string SqliteTypeText(const SqlType& t);
