#include "MemTypes.h"

#include <array>

TMemStorage StorageOf(int type) {
    switch (type) {
    case ftSmallint:
    case ftBoolean:
        return TMemStorage::Int16;
    case ftWord:
        return TMemStorage::UInt16;
    case ftInteger:
    case ftAutoInc:
        return TMemStorage::Int32;
    case ftLargeint:
    case ftBCD:
        return TMemStorage::Int64;
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftDateTime:
        return TMemStorage::Double;
    case ftTime:
        return TMemStorage::TimeMs;
    case ftTimeStamp:
        return TMemStorage::TimeStamp;
    case ftFMTBcd:
        return TMemStorage::Decimal;
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftGuid:
    case ftBytes:
    case ftVarBytes:
    case ftVariant:
        return TMemStorage::Text;
    default:
        return IsBlobType(type) ? TMemStorage::Blob : TMemStorage::None;
    }
}

int RowBytesOf(int type, int /*declaredSize*/) {
    switch (StorageOf(type)) {
    case TMemStorage::None:
        return 0;
    case TMemStorage::Int16:
    case TMemStorage::UInt16:
        return 2;
    case TMemStorage::Int32:
    case TMemStorage::TimeMs:
    case TMemStorage::Blob:
        return 4;
    case TMemStorage::Int64:
    case TMemStorage::Double:
        return 8;
    case TMemStorage::TimeStamp:
    case TMemStorage::Decimal:
        return 16;
    // A text or byte value lives outside the row; the slot holds a reference to it, so a column
    // costs its value's length rather than its declared size.
    case TMemStorage::Text:
        return 8;
    }
    return 0;
}

int FieldDefSizeOf(int type, int declaredSize) {
    switch (type) {
    case ftString:
    case ftBytes:
    case ftVarBytes:
    case ftFixedChar:
    case ftDataSet:
    case ftWideString:
    case ftFixedWideChar:
    case ftBCD:        // scale
    case ftFMTBcd:     // scale
    case ftTimeStamp:  // digits of the second's fraction
        return declaredSize;
    case ftGuid:
        return 38;
    default:
        return 0;
    }
}

std::string_view FieldClassName(int type) {
    switch (type) {
    case ftString:
    case ftFixedChar:
        return "TStringField";
    case ftWideString:
    case ftFixedWideChar:
        return "TWideStringField";
    case ftSmallint:
        return "TSmallintField";
    case ftInteger:
        return "TIntegerField";
    case ftWord:
        return "TWordField";
    case ftAutoInc:
        return "TAutoIncField";
    case ftLargeint:
        return "TLargeintField";
    case ftFloat:
        return "TFloatField";
    case ftCurrency:
        return "TCurrencyField";
    case ftBCD:
        return "TBCDField";
    case ftFMTBcd:
        return "TFMTBCDField";
    case ftBoolean:
        return "TBooleanField";
    case ftDate:
        return "TDateField";
    case ftTime:
        return "TTimeField";
    case ftDateTime:
        return "TDateTimeField";
    case ftTimeStamp:
        return "TSQLTimeStampField";
    case ftBytes:
        return "TBytesField";
    case ftVarBytes:
        return "TVarBytesField";
    case ftBlob:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
        return "TBlobField";
    case ftMemo:
    case ftFmtMemo:
        return "TMemoField";
    case ftGraphic:
        return "TGraphicField";
    case ftWideMemo:
        return "TWideMemoField";
    case ftGuid:
        return "TGuidField";
    case ftVariant:
        return "TVariantField";
    default:
        return "TField";
    }
}

std::string_view FieldTypeName(int type) {
    static constexpr std::array<std::string_view, kMaxFieldType + 1> names = {
        "ftUnknown",     "ftString",    "ftSmallint",  "ftInteger",       "ftWord",     "ftBoolean",      "ftFloat",
        "ftCurrency",    "ftBCD",       "ftDate",      "ftTime",          "ftDateTime", "ftBytes",        "ftVarBytes",
        "ftAutoInc",     "ftBlob",      "ftMemo",      "ftGraphic",       "ftFmtMemo",  "ftParadoxOle",   "ftDBaseOle",
        "ftTypedBinary", "ftCursor",    "ftFixedChar", "ftWideString",    "ftLargeint", "ftADT",          "ftArray",
        "ftReference",   "ftDataSet",   "ftOraBlob",   "ftOraClob",       "ftVariant",  "ftInterface",    "ftIDispatch",
        "ftGuid",        "ftTimeStamp", "ftFMTBcd",    "ftFixedWideChar", "ftWideMemo", "ftOraTimeStamp", "ftOraInterval"};
    return type >= 0 && type <= kMaxFieldType ? names[static_cast<size_t>(type)] : "ftUnknown";
}
