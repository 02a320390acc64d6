// The select list of a statement's outermost SELECT, item by item.
#pragma once

#include "TSql.h"

#include <string>
#include <vector>

struct SelectItem {
    std::vector<Token> expr;
    std::string alias;
    bool hasAlias = false;
    bool assignsVariable = false;
    std::string variable;
};

// The token range [start, end) of the outermost SELECT's list; false when there is no SELECT.
bool TopSelectList(const std::vector<Token>& t, size_t& start, size_t& end);
std::vector<SelectItem> SelectItems(const std::vector<Token>& t);

// A derived table, VALUES list or common table expression of a statement: its alias, the column
// names given after it (empty when none) and its query (SELECT ... or VALUES ...).
struct DerivedTable {
    std::string alias;
    std::vector<std::string> columns;
    std::vector<Token> query;
};

// The derived tables and common table expressions named at the statement's outer level.
std::vector<DerivedTable> DerivedTables(const std::vector<Token>& t);
// The tables named after FROM and JOIN anywhere in the statement.
std::vector<std::string> FromTables(const std::vector<Token>& t);
