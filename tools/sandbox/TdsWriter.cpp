#include "TdsWriter.h"

#include "Collation.h"

#include "CivilDate.h"
#include "TextCodec.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

namespace {


struct DateParts {
    int y = 1900, mo = 1, d = 1, h = 0, mi = 0, s = 0;
    std::int64_t nanos = 0;
    int offsetMinutes = 0;
    bool hasDate = false;
};

// "YYYY-MM-DD[ HH:MM[:SS[.f...]]][ +HH:MM]" or "HH:MM[:SS[.f]]".
bool ParseDateText(const std::string& t, DateParts& p) {
    const char* c = t.c_str();
    auto num = [&](int digits, int& out) {
        out = 0;
        for (int k = 0; k < digits; ++k) {
            if (*c < '0' || *c > '9') return false;
            out = out * 10 + (*c++ - '0');
        }
        return true;
    };
    while (*c == ' ') ++c;
    if (std::strlen(c) >= 10 && c[4] == '-') {
        if (!num(4, p.y) || *c++ != '-' || !num(2, p.mo) || *c++ != '-' || !num(2, p.d)) return false;
        p.hasDate = true;
        if (*c == ' ' || *c == 'T')
            ++c;
        else if (*c == '\0')
            return true;
    }
    if (*c == '\0') return p.hasDate;
    if (!num(2, p.h) || *c++ != ':' || !num(2, p.mi)) return false;
    if (*c == ':') {
        ++c;
        if (!num(2, p.s)) return false;
        if (*c == '.') {
            ++c;
            int digits = 0;
            while (*c >= '0' && *c <= '9') {
                if (digits < 9) p.nanos = p.nanos * 10 + (*c - '0');
                ++digits;
                ++c;
            }
            for (; digits < 9; ++digits) p.nanos *= 10;
        }
    }
    while (*c == ' ') ++c;
    if (*c == '+' || *c == '-') {
        const int sign = *c++ == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!num(2, oh) || *c++ != ':' || !num(2, om)) return false;
        p.offsetMinutes = sign * (oh * 60 + om);
    } else if (*c == 'Z') {
        ++c;
    }
    return *c == '\0';
}

DateParts DateOf(const SqlValue& v) {
    DateParts p;
    if (v.type == SqlValue::Text) ParseDateText(v.s, p);
    return p;
}

// Exact decimal of a value at a scale: unscaled magnitude and sign, rounding half away from zero.
bool DecimalOf(const SqlValue& v, int scale, UInt128& mag, bool& negative) {
    std::string t;
    if (v.type == SqlValue::Integer)
        t = std::to_string(v.i);
    else if (v.type == SqlValue::Real) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", v.d);
        t = buf;
        if (t.find_first_of("eE") != std::string::npos) {
            std::snprintf(buf, sizeof buf, "%.*f", scale, v.d);
            t = buf;
        }
    } else
        t = v.s;
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
    mag = 0;
    int frac = -1;
    int roundDigit = -1;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '.') {
            if (frac >= 0) return false;
            frac = 0;
            continue;
        }
        if (c < '0' || c > '9') break;
        if (frac >= scale) {
            if (roundDigit < 0) roundDigit = c - '0';
            continue;
        }
        mag = mag * 10 + static_cast<unsigned>(c - '0');
        if (frac >= 0) ++frac;
    }
    for (int k = frac < 0 ? 0 : frac; k < scale; ++k) mag *= 10;
    if (roundDigit >= 5) mag += 1;
    if (mag == 0) negative = false;
    return true;
}

std::int64_t IntOf(const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        return v.i;
    case SqlValue::Real:
        // A float becomes an integer by truncation, as SQL Server converts one (AVG of an int column: 1.5 is 1).
        if (!(v.d > -9223372036854775808.0 && v.d < 9223372036854775808.0)) return 0;
        return static_cast<std::int64_t>(v.d);
    case SqlValue::Text:
        return std::strtoll(v.s.c_str(), nullptr, 10);
    default:
        return 0;
    }
}

double RealOf(const SqlValue& v) {
    switch (v.type) {
    case SqlValue::Integer:
        return static_cast<double>(v.i);
    case SqlValue::Real:
        return v.d;
    case SqlValue::Text:
        return std::strtod(v.s.c_str(), nullptr);
    default:
        return 0;
    }
}

int TimeBytes(int scale) { return scale <= 2 ? 3 : (scale <= 4 ? 4 : 5); }

std::uint64_t TimeUnits(const DateParts& p, int scale) {
    std::uint64_t units = static_cast<std::uint64_t>(p.h * 3600 + p.mi * 60 + p.s);
    std::uint64_t fracUnits = static_cast<std::uint64_t>(p.nanos);
    int div = 9 - scale;
    while (div-- > 0) fracUnits /= 10;
    for (int k = 0; k < scale; ++k) units *= 10;
    return units + fracUnits;
}

bool ParseGuid(const std::string& text, std::uint8_t out[16]) {
    std::string hex;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    if (hex.size() != 32) return false;
    std::uint8_t raw[16];
    for (int i = 0; i < 16; ++i)
        raw[i] = static_cast<std::uint8_t>(std::strtoul(hex.substr(static_cast<size_t>(i) * 2, 2).c_str(), nullptr, 16));
    // The first three groups travel little-endian.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out[i] = raw[order[i]];
    return true;
}

}  // namespace

TdsWriter::TdsWriter(std::function<bool(const std::uint8_t*, size_t)> send, std::uint8_t packetType)
    : send_(std::move(send)), packetType_(packetType) {
    buf_.resize(64 * 1024);
}

void TdsWriter::Grow(size_t n) {
    if (begin_ > kHeaderRoom) {
        std::memmove(buf_.data() + kHeaderRoom, buf_.data() + begin_, end_ - begin_);
        end_ -= begin_ - kHeaderRoom;
        begin_ = kHeaderRoom;
    }
    if (end_ + n > buf_.size()) buf_.resize(std::max(buf_.size() * 2, end_ + n + 4096));
}

void TdsWriter::PutCp1252(std::string_view s, size_t maxBytes) {
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        Put(s.data(), std::min(s.size(), maxBytes));
        return;
    }
    const std::string b = Utf8ToCp1252(s);
    Put(b.data(), std::min(b.size(), maxBytes));
}

void TdsWriter::PutUtf16(std::string_view s, size_t maxUnits, std::uint16_t* unitsOut) {
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        const size_t n = std::min(s.size(), maxUnits);
        if (end_ + n * 2 > buf_.size()) Grow(n * 2);
        std::uint8_t* o = buf_.data() + end_;
        for (size_t i = 0; i < n; ++i) {
            o[2 * i] = static_cast<std::uint8_t>(s[i]);
            o[2 * i + 1] = 0;
        }
        end_ += n * 2;
        if (unitsOut) *unitsOut = static_cast<std::uint16_t>(n);
        return;
    }
    // UTF-8 decoded straight into UTF-16LE units in the buffer.
    if (end_ + 2 * s.size() + 4 > buf_.size()) Grow(2 * s.size() + 4);
    size_t units = 0;
    auto unit = [&](std::uint32_t u) {
        buf_[end_++] = static_cast<std::uint8_t>(u & 0xFF);
        buf_[end_++] = static_cast<std::uint8_t>(u >> 8);
        ++units;
    };
    for (size_t i = 0; i < s.size() && units < maxUnits;) {
        std::uint32_t cp = NextCodePoint(s, i);
        if (cp >= 0x10000) {
            if (units + 2 > maxUnits) break;
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    if (unitsOut) *unitsOut = static_cast<std::uint16_t>(units);
}

void TdsWriter::BeforeToken() {
    started_ = true;
    if (held_) {
        held_ = false;
        U8(heldToken_);
        U16(static_cast<std::uint16_t>(heldStatus_ | kDoneMore));
        U16(heldCmd_);
        U64(heldRows_);
    }
    FlushFull();
}

bool TdsWriter::SendPacket(size_t bodyStart, size_t n, bool last) {
    if (failed_) return false;
    std::uint8_t* h = buf_.data() + bodyStart - kHeaderRoom;
    const auto len = static_cast<std::uint16_t>(8 + n);
    h[0] = packetType_;
    h[1] = last ? 1 : 0;
    h[2] = static_cast<std::uint8_t>(len >> 8);
    h[3] = static_cast<std::uint8_t>(len & 0xFF);
    h[4] = static_cast<std::uint8_t>(spid_ >> 8);
    h[5] = static_cast<std::uint8_t>(spid_ & 0xFF);
    h[6] = packetId_++;
    h[7] = 0;
    if (!send_(h, 8 + n)) failed_ = true;
    return !failed_;
}

void TdsWriter::FlushFull() {
    const size_t body = static_cast<size_t>(packetSize_) - 8;
    while (end_ - begin_ > body) {
        SendPacket(begin_, body, false);
        begin_ += body;
    }
}

bool TdsWriter::Finish() {
    if (held_) {
        held_ = false;
        U8(heldToken_);
        U16(heldStatus_);
        U16(heldCmd_);
        U64(heldRows_);
    }
    FlushFull();
    if (buf_.size() < kHeaderRoom) buf_.resize(4096);
    SendPacket(begin_, end_ - begin_, true);
    begin_ = end_ = kHeaderRoom;
    packetId_ = 1;
    started_ = false;
    return !failed_;
}

void TdsWriter::Flush() {
    FlushFull();
    if (end_ == begin_) return;
    SendPacket(begin_, end_ - begin_, false);
    begin_ = end_ = kHeaderRoom;
}

void TdsWriter::Raw(const std::uint8_t* data, size_t size) {
    started_ = true;
    Put(data, size);
    FlushFull();
}

void TdsWriter::BVarChar(std::string_view utf8) {
    const std::u16string w = Utf8ToUtf16(utf8);
    const size_t n = std::min<size_t>(w.size(), 255);
    U8(static_cast<std::uint8_t>(n));
    Put(w.data(), n * 2);
}

void TdsWriter::USVarChar(std::string_view utf8) {
    const std::u16string w = Utf8ToUtf16(utf8);
    const size_t n = std::min<size_t>(w.size(), 65535);
    U16(static_cast<std::uint16_t>(n));
    Put(w.data(), n * 2);
}

void TdsWriter::TypeInfo(const SqlType& t) {
    auto ushortLen = [&](int chars, int bytesPerChar) {
        U16(t.length < 0 ? 0xFFFF : static_cast<std::uint16_t>(std::min(8000, chars * bytesPerChar)));
    };
    switch (t.kind) {
    case SqlType::Int:
        U8(0x26);
        U8(4);
        break;
    case SqlType::BigInt:
        U8(0x26);
        U8(8);
        break;
    case SqlType::SmallInt:
        U8(0x26);
        U8(2);
        break;
    case SqlType::TinyInt:
        U8(0x26);
        U8(1);
        break;
    case SqlType::Bit:
        U8(0x68);
        U8(1);
        break;
    case SqlType::Decimal:
    case SqlType::Numeric: {
        U8(t.kind == SqlType::Decimal ? 0x6A : 0x6C);
        const int p = t.precision;
        U8(static_cast<std::uint8_t>(p <= 9 ? 5 : p <= 19 ? 9 : p <= 28 ? 13 : 17));
        U8(static_cast<std::uint8_t>(p));
        U8(static_cast<std::uint8_t>(t.scale));
        break;
    }
    case SqlType::Money:
        U8(0x6E);
        U8(8);
        break;
    case SqlType::SmallMoney:
        U8(0x6E);
        U8(4);
        break;
    case SqlType::Float:
        U8(0x6D);
        U8(8);
        break;
    case SqlType::Real:
        U8(0x6D);
        U8(4);
        break;
    case SqlType::DateTime:
        U8(0x6F);
        U8(8);
        break;
    case SqlType::SmallDateTime:
        U8(0x6F);
        U8(4);
        break;
    case SqlType::Date:
        U8(0x28);
        break;
    case SqlType::Time:
        U8(0x29);
        U8(static_cast<std::uint8_t>(t.scale));
        break;
    case SqlType::DateTime2:
        U8(0x2A);
        U8(static_cast<std::uint8_t>(t.scale));
        break;
    case SqlType::DateTimeOffset:
        U8(0x2B);
        U8(static_cast<std::uint8_t>(t.scale));
        break;
    case SqlType::Char:
        U8(0xAF);
        ushortLen(t.length, 1);
        Put(CollationById(t.collation).wire, 5);
        break;
    case SqlType::VarChar:
        U8(0xA7);
        ushortLen(t.length, 1);
        Put(CollationById(t.collation).wire, 5);
        break;
    case SqlType::NChar:
        U8(0xEF);
        ushortLen(t.length, 2);
        Put(CollationById(t.collation).wire, 5);
        break;
    case SqlType::NVarChar:
        U8(0xE7);
        ushortLen(t.length, 2);
        Put(CollationById(t.collation).wire, 5);
        break;
    case SqlType::Binary:
        U8(0xAD);
        ushortLen(t.length, 1);
        break;
    case SqlType::VarBinary:
        U8(0xA5);
        ushortLen(t.length, 1);
        break;
    case SqlType::Text:
    case SqlType::NText:
    case SqlType::Image:
        U8(t.kind == SqlType::Text ? 0x23 : t.kind == SqlType::NText ? 0x63 : 0x22);
        U32(0x7FFFFFFF);
        if (t.kind != SqlType::Image) Put(CollationById(t.collation).wire, 5);
        U8(1);  // table name: one part
        USVarChar("t");
        break;
    case SqlType::UniqueIdentifier:
        U8(0x24);
        U8(16);
        break;
    case SqlType::Variant:
        U8(0x62);
        U32(8009);
        break;
    case SqlType::Xml:
        U8(0xF1);
        U8(0);
        break;
    }
}

void TdsWriter::Plp(std::string_view bytes) {
    U64(bytes.size());
    if (!bytes.empty()) {
        U32(static_cast<std::uint32_t>(bytes.size()));
        Put(bytes.data(), bytes.size());
    }
    U32(0);
}

void TdsWriter::Value(const SqlType& t, const SqlValue& v) {
    const bool null = v.type == SqlValue::Null;
    const bool plp = t.length < 0 && (t.kind == SqlType::VarChar || t.kind == SqlType::NVarChar || t.kind == SqlType::VarBinary);
    switch (t.kind) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt: {
        const int n = t.kind == SqlType::Int ? 4 : t.kind == SqlType::BigInt ? 8 : t.kind == SqlType::SmallInt ? 2 : 1;
        if (null) {
            U8(0);
            return;
        }
        const std::int64_t x = IntOf(v);
        U8(static_cast<std::uint8_t>(n));
        Put(&x, static_cast<size_t>(n));
        return;
    }
    case SqlType::Bit:
        if (null) {
            U8(0);
            return;
        }
        U8(1);
        U8((v.type == SqlValue::Real ? v.d != 0 : IntOf(v) != 0) || (v.type == SqlValue::Text && (v.s == "true" || v.s == "TRUE")) ? 1 : 0);
        return;
    case SqlType::Decimal:
    case SqlType::Numeric: {
        if (null) {
            U8(0);
            return;
        }
        UInt128 mag;
        bool neg;
        DecimalOf(v, t.scale, mag, neg);
        const int p = t.precision;
        const int n = p <= 9 ? 5 : p <= 19 ? 9 : p <= 28 ? 13 : 17;
        U8(static_cast<std::uint8_t>(n));
        U8(neg ? 0 : 1);
        Put(&mag, static_cast<size_t>(n - 1));
        return;
    }
    case SqlType::Money:
    case SqlType::SmallMoney: {
        if (null) {
            U8(0);
            return;
        }
        UInt128 mag;
        bool neg;
        DecimalOf(v, 4, mag, neg);
        // Two's complement in unsigned arithmetic: -922337203685477.5808 has no positive counterpart.
        const std::uint64_t m64 = static_cast<std::uint64_t>(mag);
        const std::int64_t x = static_cast<std::int64_t>(neg ? 0 - m64 : m64);
        if (t.kind == SqlType::SmallMoney) {
            U8(4);
            U32(static_cast<std::uint32_t>(static_cast<std::int32_t>(x)));
        } else {
            U8(8);
            U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x) >> 32));
            U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x) & 0xFFFFFFFFu));
        }
        return;
    }
    case SqlType::Float:
    case SqlType::Real:
        if (null) {
            U8(0);
            return;
        }
        if (t.kind == SqlType::Real) {
            const float f = static_cast<float>(RealOf(v));
            U8(4);
            Put(&f, 4);
        } else {
            const double d = RealOf(v);
            U8(8);
            Put(&d, 8);
        }
        return;
    case SqlType::DateTime:
    case SqlType::SmallDateTime: {
        if (null) {
            U8(0);
            return;
        }
        const DateParts p = DateOf(v);
        const std::int64_t days = DaysFromCivil(p.y, static_cast<unsigned>(p.mo), static_cast<unsigned>(p.d)) - DaysFromCivil(1900, 1, 1);
        if (t.kind == SqlType::SmallDateTime) {
            U8(4);
            U16(static_cast<std::uint16_t>(days));
            U16(static_cast<std::uint16_t>(p.h * 60 + p.mi + (p.s >= 30 ? 1 : 0)));
        } else {
            const double ms = (p.h * 3600.0 + p.mi * 60.0 + p.s) * 1000.0 + static_cast<double>(p.nanos) / 1e6;
            U8(8);
            U32(static_cast<std::uint32_t>(static_cast<std::int32_t>(days)));
            U32(static_cast<std::uint32_t>(std::llround(ms * 0.3)));
        }
        return;
    }
    case SqlType::Date: {
        if (null) {
            U8(0);
            return;
        }
        const DateParts p = DateOf(v);
        const std::uint32_t days = static_cast<std::uint32_t>(DaysFromCivil(p.y, static_cast<unsigned>(p.mo), static_cast<unsigned>(p.d)));
        U8(3);
        Put(&days, 3);
        return;
    }
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset: {
        if (null) {
            U8(0);
            return;
        }
        DateParts p = DateOf(v);
        const int tb = TimeBytes(t.scale);
        if (t.kind == SqlType::DateTimeOffset && p.offsetMinutes != 0) {
            // Travels as UTC with the offset beside it.
            std::int64_t secs = (DaysFromCivil(p.y, static_cast<unsigned>(p.mo), static_cast<unsigned>(p.d))) * 86400LL + p.h * 3600 +
                                p.mi * 60 + p.s - p.offsetMinutes * 60LL;
            std::int64_t days = secs / 86400;
            secs %= 86400;
            p.h = static_cast<int>(secs / 3600);
            p.mi = static_cast<int>(secs / 60 % 60);
            p.s = static_cast<int>(secs % 60);
            const std::uint64_t units = TimeUnits(p, t.scale);
            U8(static_cast<std::uint8_t>(tb + 5));
            Put(&units, static_cast<size_t>(tb));
            const auto d32 = static_cast<std::uint32_t>(days);
            Put(&d32, 3);
            U16(static_cast<std::uint16_t>(static_cast<std::int16_t>(p.offsetMinutes)));
            return;
        }
        const std::uint64_t units = TimeUnits(p, t.scale);
        const std::uint32_t days = static_cast<std::uint32_t>(DaysFromCivil(p.y, static_cast<unsigned>(p.mo), static_cast<unsigned>(p.d)));
        U8(static_cast<std::uint8_t>(tb + (t.kind == SqlType::Time ? 0 : t.kind == SqlType::DateTime2 ? 3 : 5)));
        Put(&units, static_cast<size_t>(tb));
        if (t.kind != SqlType::Time) Put(&days, 3);
        if (t.kind == SqlType::DateTimeOffset) U16(0);
        return;
    }
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::Binary:
    case SqlType::VarBinary: {
        if (plp && null) {
            U64(~0ull);
            return;
        }
        if (null) {
            U16(0xFFFF);
            return;
        }
        if (t.kind == SqlType::VarChar && !plp && v.type == SqlValue::Text) {
            // The common case without padding: length, then the bytes.
            if (end_ + 2 * v.s.size() + 16 > buf_.size()) Grow(2 * v.s.size() + 16);
            const size_t at = end_;
            U16(0);
            const size_t before = end_;
            if (t.collation == kDefaultCollation)
                PutCp1252(v.s, 8000);
            else {
                const std::string b = Utf8ToCodePage(v.s, CollationById(t.collation).codePage);
                Put(b.data(), std::min<size_t>(b.size(), 8000));
            }
            const auto n = static_cast<std::uint16_t>(end_ - before);
            std::memcpy(buf_.data() + at, &n, 2);
            return;
        }
        std::string bytes = t.IsBinary() ? v.s : Utf8ToCodePage(v.AsText(), CollationById(t.collation).codePage);
        if (t.kind == SqlType::Char || t.kind == SqlType::Binary) {
            if (bytes.size() < static_cast<size_t>(t.length))
                bytes.append(static_cast<size_t>(t.length) - bytes.size(), t.kind == SqlType::Char ? ' ' : '\0');
        }
        if (plp) {
            Plp(bytes);
            return;
        }
        if (bytes.size() > 8000) bytes.resize(8000);
        U16(static_cast<std::uint16_t>(bytes.size()));
        Put(bytes.data(), bytes.size());
        return;
    }
    case SqlType::NChar:
    case SqlType::NVarChar:
    case SqlType::Xml: {
        const bool isPlp = plp || t.kind == SqlType::Xml;
        if (isPlp && null) {
            U64(~0ull);
            return;
        }
        if (null) {
            U16(0xFFFF);
            return;
        }
        if (t.kind == SqlType::NVarChar && !isPlp && v.type == SqlValue::Text) {
            if (end_ + 2 * v.s.size() + 16 > buf_.size()) Grow(2 * v.s.size() + 16);
            const size_t at = end_;
            U16(0);
            std::uint16_t units = 0;
            PutUtf16(v.s, 4000, &units);
            const auto bytes = static_cast<std::uint16_t>(units * 2);
            std::memcpy(buf_.data() + at, &bytes, 2);
            return;
        }
        std::u16string w = Utf8ToUtf16(v.AsText());
        if (t.kind == SqlType::NChar && w.size() < static_cast<size_t>(t.length)) w.append(static_cast<size_t>(t.length) - w.size(), u' ');
        if (isPlp) {
            Plp(std::string_view(reinterpret_cast<const char*>(w.data()), w.size() * 2));
            return;
        }
        if (w.size() > 4000) w.resize(4000);
        U16(static_cast<std::uint16_t>(w.size() * 2));
        Put(w.data(), w.size() * 2);
        return;
    }
    case SqlType::Text:
    case SqlType::NText:
    case SqlType::Image: {
        if (null) {
            U8(0);
            return;
        }
        std::string bytes;
        if (t.kind == SqlType::Image)
            bytes = v.s;
        else if (t.kind == SqlType::Text)
            bytes = Utf8ToCodePage(v.AsText(), CollationById(t.collation).codePage);
        else {
            const std::u16string w = Utf8ToUtf16(v.AsText());
            bytes.assign(reinterpret_cast<const char*>(w.data()), w.size() * 2);
        }
        U8(16);
        const std::uint8_t ptr[16] = {1};
        Put(ptr, 16);
        const std::uint8_t ts[8] = {1};
        Put(ts, 8);
        U32(static_cast<std::uint32_t>(bytes.size()));
        Put(bytes.data(), bytes.size());
        return;
    }
    case SqlType::UniqueIdentifier: {
        std::uint8_t g[16];
        if (null || !ParseGuid(v.AsText(), g)) {
            U8(0);
            return;
        }
        U8(16);
        Put(g, 16);
        return;
    }
    case SqlType::Variant: {
        if (null) {
            U32(0);
            return;
        }
        if (SqlType tagged; v.type == SqlValue::Blob) {
            SqlValue value;
            if (UntagVariant(v, tagged, value)) {
                VariantOfBase(tagged, value);
                return;
            }
        }
        if (t.base != SqlType::Variant) {
            VariantOfBase(t, v);
            return;
        }
        if (v.type == SqlValue::Integer) {
            const bool big = v.i > 2147483647LL || v.i < -2147483648LL;
            U32(big ? 10 : 6);
            U8(big ? 0x7F : 0x38);
            U8(0);
            Put(&v.i, big ? 8 : 4);
        } else if (v.type == SqlValue::Real) {
            U32(10);
            U8(0x3E);
            U8(0);
            Put(&v.d, 8);
        } else if (v.type == SqlValue::Blob) {
            const size_t n = std::min<size_t>(v.s.size(), 8000);
            U32(static_cast<std::uint32_t>(2 + 2 + n));
            U8(0xA5);
            U8(2);
            U16(8000);
            Put(v.s.data(), n);
        } else {
            const std::u16string w = Utf8ToUtf16(v.AsText());
            const size_t n = std::min<size_t>(w.size(), 4000);
            U32(static_cast<std::uint32_t>(2 + 7 + n * 2));
            U8(0xE7);
            U8(7);
            Put(CollationById(t.collation).wire, 5);
            U16(8000);
            Put(w.data(), n * 2);
        }
        return;
    }
    }
}

void TdsWriter::VariantOfBase(const SqlType& t, const SqlValue& v) {
    SqlType b = t;
    b.kind = t.base;
    b.base = SqlType::Variant;
    // The base type's token, then its properties: scale for the newer time types, precision and
    // scale for decimals, collation and maximum length for text, maximum length for binary.
    static const struct {
        SqlType::Kind kind;
        std::uint8_t token;
    } kTokens[] = {{SqlType::TinyInt, 0x30},  {SqlType::Bit, 0x32},           {SqlType::SmallInt, 0x34},
                   {SqlType::Int, 0x38},      {SqlType::BigInt, 0x7F},        {SqlType::Real, 0x3B},
                   {SqlType::Float, 0x3E},    {SqlType::Money, 0x3C},         {SqlType::SmallMoney, 0x7A},
                   {SqlType::DateTime, 0x3D}, {SqlType::SmallDateTime, 0x3A}, {SqlType::Date, 0x28},
                   {SqlType::Time, 0x29},     {SqlType::DateTime2, 0x2A},     {SqlType::DateTimeOffset, 0x2B},
                   {SqlType::Decimal, 0x6A},  {SqlType::Numeric, 0x6C},       {SqlType::UniqueIdentifier, 0x24},
                   {SqlType::Char, 0xAF},     {SqlType::VarChar, 0xA7},       {SqlType::NChar, 0xEF},
                   {SqlType::NVarChar, 0xE7}, {SqlType::Binary, 0xAD},        {SqlType::VarBinary, 0xA5}};
    std::uint8_t token = 0;
    for (const auto& k : kTokens)
        if (k.kind == b.kind) token = k.token;
    // The length in front of the base type's own value, which a variant leaves out.
    const size_t lengthBytes = b.IsText() || b.IsUnicode() || b.IsBinary() ? 2 : 1;
    if (token == 0 || b.length < 0) {
        SqlType plain = t;
        plain.base = SqlType::Variant;
        Value(plain, v);
        return;
    }
    const size_t lengthAt = end_;
    U32(0);
    U8(token);
    const size_t propsAt = end_;
    U8(0);
    if (b.kind == SqlType::Time || b.kind == SqlType::DateTime2 || b.kind == SqlType::DateTimeOffset) {
        U8(static_cast<std::uint8_t>(b.scale));
    } else if (b.kind == SqlType::Decimal || b.kind == SqlType::Numeric) {
        U8(static_cast<std::uint8_t>(b.precision));
        U8(static_cast<std::uint8_t>(b.scale));
    } else if (b.IsText() || b.IsUnicode()) {
        Put(CollationById(t.collation).wire, 5);
        U16(static_cast<std::uint16_t>(b.length * (b.IsUnicode() ? 2 : 1)));
    } else if (b.IsBinary()) {
        U16(static_cast<std::uint16_t>(b.length));
    }
    buf_[propsAt] = static_cast<std::uint8_t>(end_ - propsAt - 1);
    // The value as the base type writes it, without its length.
    const size_t valueAt = end_;
    Value(b, v);
    std::memmove(buf_.data() + valueAt, buf_.data() + valueAt + lengthBytes, end_ - valueAt - lengthBytes);
    end_ -= lengthBytes;
    const auto total = static_cast<std::uint32_t>(end_ - lengthAt - 4);
    std::memcpy(buf_.data() + lengthAt, &total, 4);
}

void TdsWriter::ColMetadata(const std::vector<SqlColumn>& cols) {
    BeforeToken();
    U8(0x81);
    U16(static_cast<std::uint16_t>(cols.size()));
    for (const auto& c : cols) {
        U32(0);
        std::uint16_t flags = 0;
        if (c.nullable) flags |= 0x01;
        if (c.identity) flags |= 0x10;
        U16(flags);
        TypeInfo(c.type);
        BVarChar(c.name);
    }
}

void TdsWriter::Row(const std::vector<SqlColumn>& cols, const std::vector<SqlValue>& values) {
    BeforeToken();
    U8(0xD1);
    for (size_t i = 0; i < cols.size(); ++i) Value(cols[i].type, i < values.size() ? values[i] : SqlValue{});
}

void TdsWriter::Done(std::uint8_t token, std::uint16_t status, std::uint16_t curcmd, std::uint64_t rows) {
    BeforeToken();
    held_ = true;
    heldToken_ = token;
    heldStatus_ = status;
    heldCmd_ = curcmd;
    heldRows_ = rows;
}

void TdsWriter::Message(bool error, std::int32_t number, std::uint8_t state, std::uint8_t cls, std::string_view text,
                        std::string_view server, std::string_view proc, std::int32_t line) {
    BeforeToken();
    const std::u16string m = Utf8ToUtf16(text), s = Utf8ToUtf16(server), p = Utf8ToUtf16(proc);
    const size_t mlen = std::min<size_t>(m.size(), 4000);
    const size_t len = 4 + 1 + 1 + 2 + mlen * 2 + 1 + s.size() * 2 + 1 + p.size() * 2 + 4;
    U8(error ? 0xAA : 0xAB);
    U16(static_cast<std::uint16_t>(len));
    U32(static_cast<std::uint32_t>(number));
    U8(state);
    U8(cls);
    U16(static_cast<std::uint16_t>(mlen));
    Put(m.data(), mlen * 2);
    U8(static_cast<std::uint8_t>(s.size()));
    Put(s.data(), s.size() * 2);
    U8(static_cast<std::uint8_t>(p.size()));
    Put(p.data(), p.size() * 2);
    U32(static_cast<std::uint32_t>(line));
}

void TdsWriter::EnvChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue) {
    BeforeToken();
    const std::u16string n = Utf8ToUtf16(newValue), o = Utf8ToUtf16(oldValue);
    U8(0xE3);
    U16(static_cast<std::uint16_t>(1 + 1 + n.size() * 2 + 1 + o.size() * 2));
    U8(type);
    U8(static_cast<std::uint8_t>(n.size()));
    Put(n.data(), n.size() * 2);
    U8(static_cast<std::uint8_t>(o.size()));
    Put(o.data(), o.size() * 2);
}

void TdsWriter::EnvChangeBytes(std::uint8_t type, std::string_view newValue, std::string_view oldValue) {
    BeforeToken();
    U8(0xE3);
    U16(static_cast<std::uint16_t>(1 + 1 + newValue.size() + 1 + oldValue.size()));
    U8(type);
    U8(static_cast<std::uint8_t>(newValue.size()));
    Put(newValue.data(), newValue.size());
    U8(static_cast<std::uint8_t>(oldValue.size()));
    Put(oldValue.data(), oldValue.size());
}

void TdsWriter::LoginAck(std::uint32_t tdsVersion, std::string_view progName) {
    BeforeToken();
    const std::u16string n = Utf8ToUtf16(progName);
    U8(0xAD);
    U16(static_cast<std::uint16_t>(1 + 4 + 1 + n.size() * 2 + 4));
    U8(1);
    // The version travels big-endian here.
    U8(static_cast<std::uint8_t>(tdsVersion >> 24));
    U8(static_cast<std::uint8_t>(tdsVersion >> 16));
    U8(static_cast<std::uint8_t>(tdsVersion >> 8));
    U8(static_cast<std::uint8_t>(tdsVersion));
    U8(static_cast<std::uint8_t>(n.size()));
    Put(n.data(), n.size() * 2);
    const std::uint8_t version[4] = {15, 0, 0x07, 0xD0};
    Put(version, 4);
}

void TdsWriter::ReturnStatus(std::int32_t status) {
    BeforeToken();
    U8(0x79);
    U32(static_cast<std::uint32_t>(status));
}

void TdsWriter::ReturnValue(std::uint16_t ordinal, std::string_view name, const SqlColumn& col, const SqlValue& value) {
    BeforeToken();
    U8(0xAC);
    U16(ordinal);
    BVarChar(name);
    U8(0x01);
    U32(0);
    U16(col.nullable ? 1 : 0);
    TypeInfo(col.type);
    Value(col.type, value);
}
