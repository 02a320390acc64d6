// Conversions to and from binary types as SQL Server makes them: integers, money and floats as
// their big-endian bytes, nvarchar as UTF-16LE, varchar in its code page, and hexadecimal text in
// CONVERT's styles 1 ("0x0001E240") and 2 ("0001E240").
#pragma once

#include "Value.h"

#include <optional>
#include <string>
#include <string_view>

struct sqlite3_value;

// The bytes of a value whose T-SQL type is `source` (tinyint, smallint, int, bigint, bit, float,
// real, money, smallmoney, nvarchar, varchar, binary), made to fit binary(length) (fixed) or
// varbinary(length); length < 0 is max. A number keeps its rightmost bytes and is padded with
// zeros on the left; text and binary keep their first bytes and binary(n) pads them on the right.
std::string BinaryOf(sqlite3_value* value, std::string_view source, long long length, bool fixed);
// A number stored into a binary column or variable, where its own type is no longer known: an
// integer as an int's four bytes unless it needs a bigint's eight, a float as its eight; binary
// padded with zeros to n for binary(n) and, for a variable, cut to its length. Other values as given.
SqlValue StoredBinary(const SqlType& type, const SqlValue& v, bool cut);
// Hexadecimal text read in style 1 (with 0x) or 2 (without); nothing when it is not valid.
std::optional<std::string> BinaryFromHex(std::string_view text, int style);
// Bytes written as hexadecimal text: style 1 with 0x, style 2 without.
std::string HexOfBinary(std::string_view bytes, int style);
// The integer of a binary value as CAST to an integer type reads it: the rightmost `width` bytes,
// big-endian, zeros added on the left; two's complement unless the type is unsigned (tinyint).
long long IntegerOfBinary(std::string_view bytes, int width, bool isUnsigned);
