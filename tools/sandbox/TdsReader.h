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
    bool Has(size_t n) const { return p_ <= d_.size() && n <= d_.size() - p_; }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Fixed<1>()); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Fixed<2>()); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Fixed<4>()); }
    std::uint64_t U64() { return Fixed<8>(); }
    // n bytes; past the end, n zero bytes for a short read (at most 64), otherwise none.
    std::string Bytes(size_t n) {
        if (!Has(n)) {
            overran_ = true;
            p_ = d_.size();
            return std::string(n <= 64 ? n : 0, '\0');
        }
        std::string s(reinterpret_cast<const char*>(&d_[p_]), n);
        p_ += n;
        return s;
    }
    std::string Utf16(size_t chars) { return Utf16BytesToUtf8(Bytes(chars * 2)); }
    size_t Pos() const { return p_; }
    bool AtEnd() const { return p_ >= d_.size(); }
    // Whether a read went past the end of the message.
    bool Overran() const { return overran_; }

private:
    template <size_t N>
    std::uint64_t Fixed() {
        std::uint64_t v = 0;
        if (!Has(N)) {
            overran_ = true;
            p_ = d_.size();
            return 0;
        }
        std::memcpy(&v, &d_[p_], N);
        p_ += N;
        return v;
    }

    const std::vector<std::uint8_t>& d_;
    size_t p_;
    bool overran_ = false;
};

// One RPC parameter's name, status, type and value; false when the type is unknown or malformed.
bool ReadRpcParam(TdsReader& r, RpcParam& p);
