// Field type codes of the in-memory dataset and what each code means for storage.
#pragma once

#include "uNbExceptions.h"

#include <cstdint>
#include <string_view>

enum TFieldType : int {
    ftUnknown = 0,
    ftString = 1,
    ftSmallint = 2,
    ftInteger = 3,
    ftWord = 4,
    ftBoolean = 5,
    ftFloat = 6,
    ftCurrency = 7,
    ftBCD = 8,
    ftDate = 9,
    ftTime = 10,
    ftDateTime = 11,
    ftBytes = 12,
    ftVarBytes = 13,
    ftAutoInc = 14,
    ftBlob = 15,
    ftMemo = 16,
    ftGraphic = 17,
    ftFmtMemo = 18,
    ftParadoxOle = 19,
    ftDBaseOle = 20,
    ftTypedBinary = 21,
    ftCursor = 22,
    ftFixedChar = 23,
    ftWideString = 24,
    ftLargeint = 25,
    ftADT = 26,
    ftArray = 27,
    ftReference = 28,
    ftDataSet = 29,
    ftOraBlob = 30,
    ftOraClob = 31,
    ftVariant = 32,
    ftInterface = 33,
    ftIDispatch = 34,
    ftGuid = 35,
    ftTimeStamp = 36,
    ftFMTBcd = 37,
    ftFixedWideChar = 38,
    ftWideMemo = 39,
    ftOraTimeStamp = 40,
    ftOraInterval = 41,
};

inline constexpr int kMaxFieldType = 41;

// How a column keeps its value in the row block.
enum class TMemStorage : std::uint8_t {
    None,       // no value: the column exists, reading yields no data
    Int16,      // ftSmallint, ftBoolean (0/1)
    UInt16,     // ftWord
    Int32,      // ftInteger, ftAutoInc
    Int64,      // ftLargeint, ftBCD (value x 10000)
    Double,     // ftFloat, ftCurrency, ftDate, ftDateTime (days since 1899-12-30)
    TimeMs,     // ftTime: milliseconds since midnight (int32)
    TimeStamp,  // ftTimeStamp: date-time plus nanoseconds
    Decimal,    // ftFMTBcd: 128-bit unscaled value, scale = field size
    Text,       // text and bytes: a reference to the value's bytes, cut at the declared size
    Blob,       // large object: blob id
};

// Large objects keep their data in the blob list; the row holds a blob id.
constexpr bool IsBlobType(int t) {
    return (t >= ftBlob && t <= ftFmtMemo) || t == ftTypedBinary || (t >= ftDataSet && t <= ftOraClob) || t == ftWideMemo;
}
constexpr bool IsTextBlobType(int t) { return t == ftMemo || t == ftFmtMemo || t == ftWideMemo; }

// Text-like columns whose declared size counts characters (UTF-8 code points).
constexpr bool IsCharType(int t) { return t == ftString || t == ftFixedChar || t == ftWideString || t == ftFixedWideChar || t == ftGuid; }
constexpr bool IsByteType(int t) { return t == ftBytes || t == ftVarBytes; }

TMemStorage StorageOf(int type);

// Bytes a column of this type takes in the row block.
int RowBytesOf(int type, int declaredSize);

// The size a field definition states for a column of this type.
int FieldDefSizeOf(int type, int declaredSize);

// The class of the field object that serves a type ("TStringField", ...), "TField" when none is special.
std::string_view FieldClassName(int type);

// The type name ("ftString", ...); "ftUnknown" for codes outside the enumeration.
std::string_view FieldTypeName(int type);

// Errors of the dataset library.
NB_DECLARE_EXCEPTION(EDatabaseError, Exception);
