// SQL Server column types as the stand-in reports them, parsed from declared type texts.
#pragma once

#include <string>
#include <string_view>

struct SqlType {
    enum Kind {
        Int,
        BigInt,
        SmallInt,
        TinyInt,
        Bit,
        Decimal,
        Numeric,
        Money,
        SmallMoney,
        Float,
        Real,
        DateTime,
        SmallDateTime,
        Date,
        Time,
        DateTime2,
        DateTimeOffset,
        Char,
        VarChar,
        NChar,
        NVarChar,
        Text,
        NText,
        Binary,
        VarBinary,
        Image,
        UniqueIdentifier,
        Variant,
        Xml
    };
    Kind kind = Int;
    int length = 0;     // characters or bytes; -1 for max
    int precision = 0;  // decimal, numeric
    int scale = 0;      // decimal, numeric; fraction digits of time, datetime2, datetimeoffset
    // sql_variant: the type its values hold when every value has the same one (length, precision
    // and scale above are then that type's); Variant when each value's storage class decides.
    Kind base = Variant;
    int collation = 0;  // character types: the collation's id (Collation.h), 0 for the server's default


    static SqlType Of(Kind k, int len = 0, int prec = 0, int sc = 0) { return SqlType{k, len, prec, sc}; }
    bool IsText() const { return kind == Char || kind == VarChar || kind == Text; }
    bool IsUnicode() const { return kind == NChar || kind == NVarChar || kind == NText || kind == Xml; }
    bool IsBinary() const { return kind == Binary || kind == VarBinary || kind == Image; }
    bool IsInteger() const { return kind == TinyInt || kind == SmallInt || kind == Int || kind == BigInt; }
    std::string Name() const;  // as declared: "varchar(50)", "decimal(18,4)", "nvarchar(max)"
    // Name() with the collation when it is not the default: "varchar(50) COLLATE Greek_CI_AS".
    std::string Declared() const;
};

// Parses a T-SQL type text ("varchar(50)", "DECIMAL(18, 4)", "nvarchar(max)", "int identity",
// "varchar(9) COLLATE Greek_CI_AS"); false when the text names no known type.
bool ParseSqlType(std::string_view text, SqlType& out);

// An integer type (or bit) as the decimal that holds every value of it; any other type unchanged.
SqlType IntegerAsDecimal(const SqlType& t);
