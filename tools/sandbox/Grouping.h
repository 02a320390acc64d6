// GROUP BY ROLLUP, CUBE and GROUPING SETS (and the older WITH ROLLUP and WITH CUBE), which SQLite
// does not have: the query becomes a UNION ALL of one GROUP BY per grouping set, the columns a set
// leaves out as NULL and GROUPING and GROUPING_ID as the constants they are in it.
#pragma once

#include "TSql.h"

#include <functional>
#include <vector>

// SELECT a, b, SUM(c) FROM t GROUP BY ROLLUP(a, b) ORDER BY a
//   -> SELECT * FROM (SELECT a, b, SUM(c) ... GROUP BY a, b UNION ALL SELECT a, NULL AS b, SUM(c) ... GROUP BY a
//      UNION ALL SELECT NULL AS a, NULL AS b, SUM(c) ...) AS __grouping_sets ORDER BY a
// exact tells whether an expression of the statement is an exact decimal or money (text to SQLite),
// which ORDER BY sorts as a number. Throws SqlError for what it cannot do.
using ExactDecimal = std::function<bool(const std::vector<Token>& expr, const std::vector<Token>& statement)>;
std::vector<Token> RewriteGroupingSets(std::vector<Token> t, int line, const ExactDecimal& exact);
