#include "TdsReader.h"

#include "CivilDate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

std::string Plp(TdsReader& r) {
    const std::uint64_t total = r.U64();
    if (total == ~0ull) return std::string("\0NULL", 5);
    std::string out;
    for (;;) {
        const std::uint32_t chunk = r.U32();
        if (chunk == 0 || r.AtEnd()) break;
        out += r.Bytes(chunk);
    }
    return out;
}

std::string TimeFromUnits(std::uint64_t units, int scale) {
    std::uint64_t div = 1;
    for (int k = 0; k < scale; ++k) div *= 10;
    const std::uint64_t secs = units / div, frac = units % div;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(secs / 3600),
                  static_cast<unsigned long long>(secs / 60 % 60), static_cast<unsigned long long>(secs % 60));
    std::string out = buf;
    if (scale > 0) {
        std::string f = std::to_string(frac);
        out += "." + std::string(static_cast<size_t>(scale) - std::min(f.size(), static_cast<size_t>(scale)), '0') + f;
    }
    return out;
}

}  // namespace

namespace {

bool OneOf(int v, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (v == a) return true;
    return false;
}

bool ReadParamValue(TdsReader& r, RpcParam& p);

}  // namespace

bool ReadRpcParam(TdsReader& r, RpcParam& p) { return ReadParamValue(r, p) && !r.Overran(); }

namespace {

// One RPC parameter's type and value, each declared length, precision and scale within TDS's limits.
bool ReadParamValue(TdsReader& r, RpcParam& p) {
    const std::uint8_t nameLen = r.U8();
    p.name = r.Utf16(nameLen);
    p.output = (r.U8() & 1) != 0;
    const std::uint8_t type = r.U8();
    auto setNull = [&] { p.value = SqlValue{}; };
    switch (type) {
    case 0x26: {  // INTN
        const std::uint8_t maxLen = r.U8();
        const std::uint8_t len = r.U8();
        if (!OneOf(maxLen, {1, 2, 4, 8}) || !OneOf(len, {0, 1, 2, 4, 8})) return false;
        p.type = SqlType::Of(len == 8 ? SqlType::BigInt : SqlType::Int);
        if (len == 0) return setNull(), true;
        std::int64_t v = 0;
        const std::string b = r.Bytes(len);
        if (len == 1)
            v = static_cast<std::uint8_t>(b[0]);
        else if (len == 2) {
            std::int16_t x;
            std::memcpy(&x, b.data(), 2);
            v = x;
        } else if (len == 4) {
            std::int32_t x;
            std::memcpy(&x, b.data(), 4);
            v = x;
        } else
            std::memcpy(&v, b.data(), 8);
        p.value = SqlValue::FromInt(v);
        return true;
    }
    case 0x30:
        p.type = SqlType::Of(SqlType::TinyInt);
        p.value = SqlValue::FromInt(r.U8());
        return true;
    case 0x34:
        p.type = SqlType::Of(SqlType::SmallInt);
        p.value = SqlValue::FromInt(static_cast<std::int16_t>(r.U16()));
        return true;
    case 0x38:
        p.type = SqlType::Of(SqlType::Int);
        p.value = SqlValue::FromInt(static_cast<std::int32_t>(r.U32()));
        return true;
    case 0x7F:
        p.type = SqlType::Of(SqlType::BigInt);
        p.value = SqlValue::FromInt(static_cast<std::int64_t>(r.U64()));
        return true;
    case 0x32:
        p.type = SqlType::Of(SqlType::Bit);
        p.value = SqlValue::FromInt(r.U8() != 0);
        return true;
    case 0x1F:
        p.type = SqlType::Of(SqlType::Int);
        return setNull(), true;
    case 0x68: {  // BITN
        const std::uint8_t maxLen = r.U8();
        p.type = SqlType::Of(SqlType::Bit);
        const std::uint8_t len = r.U8();
        if (maxLen != 1 || len > 1) return false;
        if (len == 0) return setNull(), true;
        p.value = SqlValue::FromInt(r.U8() != 0);
        return true;
    }
    case 0x6D:
    case 0x3B:
    case 0x3E: {  // floats
        std::uint8_t len = type == 0x3B ? 4 : 8;
        if (type == 0x6D) {
            const std::uint8_t maxLen = r.U8();
            len = r.U8();
            if (!OneOf(maxLen, {4, 8}) || !OneOf(len, {0, 4, 8})) return false;
        }
        p.type = SqlType::Of(len == 4 ? SqlType::Real : SqlType::Float);
        if (len == 0) return setNull(), true;
        const std::string b = r.Bytes(len);
        if (len == 4) {
            float f;
            std::memcpy(&f, b.data(), 4);
            p.value = SqlValue::FromReal(f);
        } else {
            double d;
            std::memcpy(&d, b.data(), 8);
            p.value = SqlValue::FromReal(d);
        }
        return true;
    }
    case 0x6A:
    case 0x6C: {  // DECIMALN, NUMERICN
        const std::uint8_t maxLen = r.U8();
        const int prec = r.U8(), scale = r.U8();
        if (maxLen > 17 || prec < 1 || prec > 38 || scale > prec) return false;
        p.type = SqlType::Of(SqlType::Decimal, 0, prec, scale);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        if (len < 2 || len > 17) return false;
        const bool positive = r.U8() == 1;
        const std::string mag = r.Bytes(len - 1u);
        unsigned __int128 v = 0;
        std::memcpy(&v, mag.data(), std::min<size_t>(mag.size(), 16));
        std::string digits;
        do {
            digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
            v /= 10;
        } while (v != 0);
        while (digits.size() <= static_cast<size_t>(scale)) digits.insert(digits.begin(), '0');
        std::string text = digits.substr(0, digits.size() - static_cast<size_t>(scale));
        if (scale > 0) text += "." + digits.substr(digits.size() - static_cast<size_t>(scale));
        p.value = SqlValue::FromText((positive ? "" : "-") + text);
        return true;
    }
    case 0x6E:
    case 0x3C:
    case 0x7A: {  // money
        std::uint8_t len = type == 0x7A ? 4 : 8;
        if (type == 0x6E) {
            const std::uint8_t maxLen = r.U8();
            len = r.U8();
            if (!OneOf(maxLen, {4, 8}) || !OneOf(len, {0, 4, 8})) return false;
        }
        p.type = SqlType::Of(SqlType::Money);
        if (len == 0) return setNull(), true;
        std::int64_t v;
        if (len == 4)
            v = static_cast<std::int32_t>(r.U32());
        else {
            const std::uint32_t hi = r.U32(), lo = r.U32();
            v = static_cast<std::int64_t>((static_cast<std::uint64_t>(hi) << 32) | lo);
        }
        // The magnitude as unsigned: the smallest money value has no positive counterpart.
        const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s%llu.%04llu", v < 0 ? "-" : "", static_cast<unsigned long long>(mag / 10000),
                      static_cast<unsigned long long>(mag % 10000));
        p.value = SqlValue::FromText(buf);
        return true;
    }
    case 0x6F:
    case 0x3D:
    case 0x3A: {  // datetime
        std::uint8_t len = type == 0x3A ? 4 : 8;
        if (type == 0x6F) {
            const std::uint8_t maxLen = r.U8();
            len = r.U8();
            if (!OneOf(maxLen, {4, 8}) || !OneOf(len, {0, 4, 8})) return false;
        }
        p.type = SqlType::Of(SqlType::DateTime);
        if (len == 0) return setNull(), true;
        std::int64_t days;
        double ms;
        if (len == 4) {
            days = r.U16();
            ms = r.U16() * 60000.0;
        } else {
            days = static_cast<std::int32_t>(r.U32());
            ms = r.U32() / 0.3;
        }
        const long long msr = std::llround(ms);
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s %02lld:%02lld:%02lld.%03lld", DateText(days + 693595).c_str(), msr / 3600000, msr / 60000 % 60,
                      msr / 1000 % 60, msr % 1000);
        p.value = SqlValue::FromText(buf);
        return true;
    }
    case 0x28: {  // DATEN
        p.type = SqlType::Of(SqlType::Date);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        if (len != 3) return false;
        std::uint32_t days = 0;
        const std::string b = r.Bytes(3);
        std::memcpy(&days, b.data(), 3);
        p.value = SqlValue::FromText(DateText(days));
        return true;
    }
    case 0x29:
    case 0x2A:
    case 0x2B: {  // TIMEN, DATETIME2N, DATETIMEOFFSETN
        const int scale = r.U8();
        if (scale > 7) return false;
        p.type = SqlType::Of(type == 0x29 ? SqlType::Time : type == 0x2A ? SqlType::DateTime2 : SqlType::DateTimeOffset, 0, 0, scale);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        const int tb = scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
        if (len != tb + (type == 0x29 ? 0 : 3) + (type == 0x2B ? 2 : 0)) return false;
        std::uint64_t units = 0;
        const std::string tbytes = r.Bytes(static_cast<size_t>(tb));
        std::memcpy(&units, tbytes.data(), static_cast<size_t>(tb));
        std::string text = TimeFromUnits(units, scale);
        if (type != 0x29) {
            std::uint32_t days = 0;
            const std::string b = r.Bytes(3);
            std::memcpy(&days, b.data(), 3);
            text = DateText(days) + " " + text;
        }
        if (type == 0x2B) {
            const std::int16_t off = static_cast<std::int16_t>(r.U16());
            char buf[16];
            std::snprintf(buf, sizeof buf, " %c%02d:%02d", off < 0 ? '-' : '+', std::abs(off) / 60, std::abs(off) % 60);
            text += buf;
        }
        p.value = SqlValue::FromText(text);
        return true;
    }
    case 0x24: {  // GUIDN
        const std::uint8_t maxLen = r.U8();
        p.type = SqlType::Of(SqlType::UniqueIdentifier);
        const std::uint8_t len = r.U8();
        if (maxLen != 16 || (len != 0 && len != 16)) return false;
        if (len == 0) return setNull(), true;
        const std::string g = r.Bytes(16);
        const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        std::string text;
        char buf[4];
        for (int k = 0; k < 16; ++k) {
            if (k == 4 || k == 6 || k == 8 || k == 10) text += '-';
            std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(g[static_cast<size_t>(order[k])]));
            text += buf;
        }
        p.value = SqlValue::FromText(text);
        return true;
    }
    case 0xA5:
    case 0xA7:
    case 0xAD:
    case 0xAF:
    case 0xE7:
    case 0xEF: {  // ushort-length texts and bytes
        const std::uint16_t maxLen = r.U16();
        const bool chars = type == 0xA7 || type == 0xAF || type == 0xE7 || type == 0xEF;
        const bool unicode = type == 0xE7 || type == 0xEF;
        if (chars) r.Bytes(5);
        const bool plp = maxLen == 0xFFFF;
        const bool fixed = type == 0xAD || type == 0xAF || type == 0xEF;
        if ((plp && fixed) || (!plp && (maxLen > 8000 || (unicode && maxLen % 2 != 0)))) return false;
        SqlType::Kind kind = type == 0xA5   ? SqlType::VarBinary
                             : type == 0xAD ? SqlType::Binary
                             : type == 0xA7 ? SqlType::VarChar
                             : type == 0xAF ? SqlType::Char
                             : type == 0xE7 ? SqlType::NVarChar
                                            : SqlType::NChar;
        p.type = SqlType::Of(kind, plp ? -1 : (unicode ? maxLen / 2 : maxLen));
        std::string raw;
        if (plp) {
            raw = Plp(r);
            if (raw == std::string("\0NULL", 5)) return setNull(), true;
        } else {
            const std::uint16_t len = r.U16();
            if (len == 0xFFFF) return setNull(), true;
            if (len > maxLen) return false;
            raw = r.Bytes(len);
        }
        if (unicode) {
            p.value = SqlValue::FromText(Utf16BytesToUtf8(raw));
        } else if (chars) {
            p.value = SqlValue::FromText(Cp1252ToUtf8(raw));
        } else {
            p.value = SqlValue::FromBlob(raw);
        }
        return true;
    }
    case 0x23:
    case 0x63:
    case 0x22: {  // TEXT, NTEXT, IMAGE
        r.U32();
        if (type != 0x22) r.Bytes(5);
        p.type = SqlType::Of(type == 0x23 ? SqlType::Text : type == 0x63 ? SqlType::NText : SqlType::Image, -1);
        const std::uint32_t len = r.U32();
        if (len == 0xFFFFFFFF) return setNull(), true;
        const std::string raw = r.Bytes(len);
        if (type == 0x63) {
            p.value = SqlValue::FromText(Utf16BytesToUtf8(raw));
        } else if (type == 0x23)
            p.value = SqlValue::FromText(Cp1252ToUtf8(raw));
        else
            p.value = SqlValue::FromBlob(raw);
        return true;
    }
    case 0xF1: {                   // XML
        if (r.U8()) return false;  // schema collections are not supported
        p.type = SqlType::Of(SqlType::Xml, -1);
        const std::string raw = Plp(r);
        if (raw == std::string("\0NULL", 5)) return setNull(), true;
        p.value = SqlValue::FromText(Utf16BytesToUtf8(raw));
        return true;
    }
    default:
        return false;
    }
}

}  // namespace
