// Conversions of text to SQL Server types by SQL Server's rules (us_english, DATEFORMAT mdy).
#pragma once

#include "SqlType.h"

#include <cstdint>
#include <string>
#include <string_view>

struct DateTimeParts {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int nanos = 0;
    bool hasOffset = false;
    int offsetMinutes = 0;
};

// Reads a date and/or time string in the formats SQL Server accepts: ISO (2024-01-02, 20240102,
// 2024-01-02T03:04:05.123), numeric mdy (12/4/2011, 12-4-11), month names (4 Dec 2011,
// Dec 4 2011, Feb 27 2001 10:24:35:056AM), and times with AM/PM. False when it is no valid date.
// order is the session's DATEFORMAT (mdy, dmy, ymd, ydm, myd, dym) for numeric dates; for datetime
// and smalldatetime (oldStyle) a date led by a four-digit year follows it too (2011-12-04 is
// 12 April under dmy), for the newer types it is always year, month, day.
bool ParseDateTime(std::string_view text, DateTimeParts& out, std::string_view order = "mdy", bool oldStyle = false);
// The canonical text the stand-in stores for a value of the date/time type.
std::string FormatDateTime(const DateTimeParts& p, const SqlType& type);
// A stored date/time value written in a CONVERT style; other text is returned as it is.
std::string DateInStyle(const std::string& stored, int style);
// Whether a date/time kind can hold the value (datetime starts in 1753, smalldatetime in 1900).
bool InDateRange(const DateTimeParts& p, SqlType::Kind kind);

// An integer from text: optional blanks and sign, digits, optionally a fraction (truncated).
bool ParseIntegerText(std::string_view text, long double& out);
// A float as CONVERT writes it in the style: 0 (and CAST) up to six digits, 1 eight and 2 sixteen
// in scientific notation, 3 enough to read it back; exponents of three digits (1.23457e+006).
std::string FloatText(double v, int style);
// A string read as an integer, as SQL Server reads one: optional blanks and sign, digits, no
// fraction; a string of blanks is 0.
bool ParseIntegerString(std::string_view text, long double& out);

// Money as text in CONVERT's style, from its text with four decimals (-1234.5678): 0 (and CAST,
// and an implicit conversion) two decimals, 1 two decimals and thousands separators (-1,234.57),
// 2 and 126 the four decimals as given.
std::string MoneyText(const std::string& fourDecimals, int style);
