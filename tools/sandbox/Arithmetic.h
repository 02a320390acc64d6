// The declared type of an arithmetic expression (a + b * c), by SQL Server's rules for each
// operator: integers keep the wider integer type, decimals get the precision and scale the
// operator gives, money stays money, floats win, and + of strings concatenates.
#pragma once

#include "SqlType.h"
#include "TSql.h"
#include "Value.h"

#include <functional>
#include <vector>

// infer types one operand (named false when it cannot be seen). False when e is not a chain of
// operands joined by + - * / % at its outer level, or an operand's type is not seen.
bool ArithmeticType(const std::vector<Token>& e, const std::function<SqlType(const std::vector<Token>&, bool&)>& infer, SqlType& out);

// The type of a op b for two operand types; false when SQL Server's rules give none the stand-in types.
bool CombineTypes(const SqlType& a, char op, const SqlType& b, SqlType& out);

// An exact decimal value (a number, or text past 15 digits) as text that compares and sorts as a
// number, with numbers and with other such text: CAST(sandbox_dectext(value) AS TEXT) COLLATE
// sandbox_numeric. SQLite would put every text after every number.
std::vector<Token> ComparedAsNumber(std::vector<Token> value);
// Whether the expression t[from, to) is an operand of a comparison (=, <, BETWEEN, IN ...), looking
// past the parentheses around it.
bool NextToComparison(const std::vector<Token>& t, size_t from, size_t to);

// A number or decimal text with exactly the scale's digits after the point (5 -> 5.00).
std::string DecimalAtScale(const SqlValue& value, int scale);

struct sqlite3;
// sandbox_exact('op', a, b, 'type'): a op b on exact decimals, rounded to the result type's scale,
// with SQL Server's errors (8115 past the type's range, 8134 dividing by zero); and the aggregates
// sandbox_moneysum (SUM of money, 8115 past money's range), sandbox_decavg and sandbox_moneyavg.
void RegisterExactArithmetic(sqlite3* db);
