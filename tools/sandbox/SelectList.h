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
