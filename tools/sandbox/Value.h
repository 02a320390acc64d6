// Values and result columns as the interpreter hands them over: SQLite's storage classes with the
// SQL Server type a column or parameter declares.
#pragma once

#include "SqlType.h"

#include <cstdint>
#include <string>

struct SqlValue {
    enum Type : std::uint8_t { Null, Integer, Real, Text, Blob };
    Type type = Null;
    std::int64_t i = 0;
    double d = 0;
    std::string s;  // text (UTF-8) or bytes

    static SqlValue FromInt(std::int64_t v) {
        SqlValue x;
        x.type = Integer;
        x.i = v;
        return x;
    }
    static SqlValue FromReal(double v) {
        SqlValue x;
        x.type = Real;
        x.d = v;
        return x;
    }
    static SqlValue FromText(std::string v) {
        SqlValue x;
        x.type = Text;
        x.s = std::move(v);
        return x;
    }
    static SqlValue FromBlob(std::string v) {
        SqlValue x;
        x.type = Blob;
        x.s = std::move(v);
        return x;
    }
    std::string AsText() const;
};

struct SqlColumn {
    std::string name;
    SqlType type;
    bool nullable = true;
    bool identity = false;
};

// A parameter of a remote procedure call as the client sent it.
struct RpcParam {
    std::string name;
    bool output = false;
    SqlType type;
    SqlValue value;
};

// Converts a value to what a variable of the type holds.
SqlValue Coerce(const SqlType& t, SqlValue v);

// A sql_variant value that carries its base type where rows of one result column have different
// ones (a UNION of variants): a blob of a marker, the base type's declared text, a NUL and the value
// as text. Only the writer of results reads it.
std::string TaggedVariant(const std::string& baseType, const std::string& text);
// The base type (as a sql_variant of it) and value of a tagged variant; false for any other value.
bool UntagVariant(const SqlValue& v, SqlType& type, SqlValue& value);
