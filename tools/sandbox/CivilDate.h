// Proleptic Gregorian dates as day numbers counted from 0001-01-01 (day 0).
#pragma once

#include <cstdint>
#include <string>

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
void CivilFromDays(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d);
// "YYYY-MM-DD" of a day number.
std::string DateText(std::int64_t days);
