// The declared type of an arithmetic expression (a + b * c), by SQL Server's rules for each
// operator: integers keep the wider integer type, decimals get the precision and scale the
// operator gives, money stays money, floats win, and + of strings concatenates.
#pragma once

#include "SqlType.h"
#include "TSql.h"

#include <functional>
#include <vector>

// infer types one operand (named false when it cannot be seen). False when e is not a chain of
// operands joined by + - * / % at its outer level, or an operand's type is not seen.
bool ArithmeticType(const std::vector<Token>& e, const std::function<SqlType(const std::vector<Token>&, bool&)>& infer, SqlType& out);

// The type of a op b for two operand types; false when SQL Server's rules give none the stand-in types.
bool CombineTypes(const SqlType& a, char op, const SqlType& b, SqlType& out);

struct sqlite3;
// sandbox_exact('op', a, b, 'type'): a op b on exact decimals, rounded to the result type's scale,
// with SQL Server's errors (8115 past the type's range, 8134 dividing by zero); and the aggregates
// sandbox_moneysum (SUM of money, 8115 past money's range), sandbox_decavg and sandbox_moneyavg.
void RegisterExactArithmetic(sqlite3* db);
