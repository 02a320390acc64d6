// T-SQL query forms SQLite writes differently, rewritten on the T-SQL tokens before translation:
// VALUES row constructors with column names, STRING_AGG, the NCHAR function and OPTION hints.
#pragma once

#include "TSql.h"

#include <vector>

// (VALUES (1, 'a'), (2, 'b')) AS t(id, name) -> (SELECT column1 AS id, column2 AS name FROM (VALUES ...)) AS t;
// STRING_AGG(x, ',') [WITHIN GROUP (ORDER BY ...)] -> group_concat(x, ','); NCHAR(n) -> char(n);
// OPTION (MAXRECURSION n) and other query hints are dropped.
std::vector<Token> RewriteQueryForms(std::vector<Token> in);
