// Reads the client's side of TDS: little-endian fields of a message, and the typed parameters of a
// remote procedure call (the mirror of TdsWriter's values).
#pragma once

#include "TextCodec.h"
#include "Value.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Reads past the end give zeros and empty strings; Has() tells whether n more bytes are there.
class TdsReader {
public:
    TdsReader(const std::vector<std::uint8_t>& d, size_t pos = 0) : d_(d), p_(pos) {}
    bool Has(size_t n) const { return p_ + n <= d_.size(); }
    std::uint8_t U8() { return Has(1) ? d_[p_++] : 0; }
    std::uint16_t U16() {
        std::uint16_t v = 0;
        if (Has(2)) std::memcpy(&v, &d_[p_], 2);
        p_ += 2;
        return v;
    }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        if (Has(4)) std::memcpy(&v, &d_[p_], 4);
        p_ += 4;
        return v;
    }
    std::uint64_t U64() {
        std::uint64_t v = 0;
        if (Has(8)) std::memcpy(&v, &d_[p_], 8);
        p_ += 8;
        return v;
    }
    std::string Bytes(size_t n) {
        if (!Has(n)) {
            p_ = d_.size();
            return {};
        }
        std::string s(reinterpret_cast<const char*>(&d_[p_]), n);
        p_ += n;
        return s;
    }
    std::string Utf16(size_t chars) { return Utf16BytesToUtf8(Bytes(chars * 2)); }
    size_t Pos() const { return p_; }
    bool AtEnd() const { return p_ >= d_.size(); }

private:
    const std::vector<std::uint8_t>& d_;
    size_t p_;
};

// One RPC parameter's name, status, type and value; false when the type is unknown or malformed.
bool ReadRpcParam(TdsReader& r, RpcParam& p);
