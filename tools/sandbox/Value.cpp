#include "Value.h"

#include "BinaryCasts.h"

#include <cstdio>
#include <cstdlib>

std::string SqlValue::AsText() const {
    switch (type) {
    case Integer:
        return std::to_string(i);
    case Real: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        return buf;
    }
    case Text:
    case Blob:
        return s;
    default:
        return {};
    }
}

// Converts a value to what a variable of the type holds.
SqlValue Coerce(const SqlType& t, SqlValue v) {
    if (v.type == SqlValue::Null) return v;
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
        if (v.type == SqlValue::Real) return SqlValue::FromInt(static_cast<std::int64_t>(v.d));
        if (v.type == SqlValue::Text) return SqlValue::FromInt(std::strtoll(v.s.c_str(), nullptr, 10));
        if (t.kind == SqlType::Bit && v.type == SqlValue::Integer) return SqlValue::FromInt(v.i != 0);
        return v;
    case SqlType::Float:
    case SqlType::Real:
        if (v.type == SqlValue::Integer) return SqlValue::FromReal(static_cast<double>(v.i));
        if (v.type == SqlValue::Text) return SqlValue::FromReal(std::strtod(v.s.c_str(), nullptr));
        return v;
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar: {
        std::string s = v.AsText();
        if (t.length > 0) {
            // Cut at the declared number of characters.
            size_t i = 0;
            int chars = 0;
            while (i < s.size() && chars < t.length) {
                ++i;
                while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
                ++chars;
            }
            s.resize(i);
        }
        return SqlValue::FromText(std::move(s));
    }
    case SqlType::Binary:
    case SqlType::VarBinary:
        return StoredBinary(t, v, true);
    default:
        return v;
    }
}

namespace {
constexpr char kVariantMark[] = {'\0', '\x7F', 'S', 'V', '\x01'};
}

std::string TaggedVariant(const std::string& baseType, const std::string& text) {
    std::string out(kVariantMark, sizeof kVariantMark);
    out += baseType;
    out += '\0';
    out += text;
    return out;
}

bool UntagVariant(const SqlValue& v, SqlType& type, SqlValue& value) {
    if (v.type != SqlValue::Blob || v.s.size() < sizeof kVariantMark || v.s.compare(0, sizeof kVariantMark, kVariantMark, sizeof kVariantMark) != 0)
        return false;
    const size_t nul = v.s.find('\0', sizeof kVariantMark);
    SqlType base;
    if (nul == std::string::npos || !ParseSqlType(std::string_view(v.s).substr(sizeof kVariantMark, nul - sizeof kVariantMark), base)) return false;
    const std::string text = v.s.substr(nul + 1);
    switch (base.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
        value = SqlValue::FromInt(std::strtoll(text.c_str(), nullptr, 10));
        break;
    case SqlType::Float:
    case SqlType::Real:
        value = SqlValue::FromReal(std::strtod(text.c_str(), nullptr));
        break;
    default:
        value = SqlValue::FromText(text);
        break;
    }
    type = base;
    type.base = base.kind;
    type.kind = SqlType::Variant;
    return true;
}
