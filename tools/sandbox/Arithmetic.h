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
