// Writes one TDS response: tokens into packets of the negotiated size, the last with end-of-message.
// A DONE-family token is held back until the next token shows whether it needs DONE_MORE.
#pragma once

#include "ResultSink.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum : std::uint8_t { kTokenDone = 0xFD, kTokenDoneProc = 0xFE, kTokenDoneInProc = 0xFF };

class TdsWriter {
public:
    // send(bytes) writes a whole packet to the socket; false when the peer has gone.
    TdsWriter(std::function<bool(const std::uint8_t*, size_t)> send, std::uint8_t packetType = 4);

    void SetPacketSize(int size) { packetSize_ = size; }
    int PacketSize() const { return packetSize_; }
    // The session id every packet header carries (the server's @@SPID of the connection).
    void SetSpid(std::uint16_t spid) { spid_ = spid; }

    void ColMetadata(const std::vector<SqlColumn>& cols);
    void Row(const std::vector<SqlColumn>& cols, const std::vector<SqlValue>& values);
    void Done(std::uint8_t token, std::uint16_t status, std::uint16_t curcmd, std::uint64_t rows);
    void Message(bool error, std::int32_t number, std::uint8_t state, std::uint8_t cls, std::string_view text, std::string_view server,
                 std::string_view proc, std::int32_t line);
    void EnvChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void EnvChangeBytes(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void LoginAck(std::uint32_t tdsVersion, std::string_view progName);
    void ReturnStatus(std::int32_t status);
    void ReturnValue(std::uint16_t ordinal, std::string_view name, const SqlColumn& col, const SqlValue& value);
    // Raw bytes of a response that is not a token stream (PRELOGIN).
    void Raw(const std::uint8_t* data, size_t size);

    // Ends the response: the held DONE goes out as the last token, with end-of-message.
    bool Finish();
    // Sends the tokens written so far as a packet that does not end the response.
    void Flush();
    bool Failed() const { return failed_; }
    // Whether the last token written is a DONE-family token (held back for now).
    bool EndsWithDone() const { return held_; }
    // Whether anything of the current response has been sent or held.
    bool Started() const { return started_; }

private:
    void BeforeToken();
    void Put(const void* p, size_t n) {
        if (end_ + n > buf_.size()) Grow(n);
        std::memcpy(buf_.data() + end_, p, n);
        end_ += n;
    }
    void Grow(size_t n);
    // Text as CP1252 bytes or UTF-16LE code units, with a fast path for ASCII.
    void PutCp1252(std::string_view utf8, size_t maxBytes);
    void PutUtf16(std::string_view utf8, size_t maxUnits, std::uint16_t* unitsOut);
    void U8(std::uint8_t v) { Put(&v, 1); }
    void U16(std::uint16_t v) { Put(&v, 2); }
    void U32(std::uint32_t v) { Put(&v, 4); }
    void U64(std::uint64_t v) { Put(&v, 8); }
    void BVarChar(std::string_view utf8);
    void USVarChar(std::string_view utf8);
    void TypeInfo(const SqlType& t);
    void Value(const SqlType& t, const SqlValue& v);
    // A non-null sql_variant value whose base type the column knows.
    void VariantOfBase(const SqlType& t, const SqlValue& v);
    void Plp(std::string_view bytes);
    void FlushFull();
    bool SendPacket(size_t bodyStart, size_t n, bool last);

    std::function<bool(const std::uint8_t*, size_t)> send_;
    std::uint8_t packetType_;
    int packetSize_ = 4096;
    std::uint16_t spid_ = 0;
    // Pending bytes are buf_[begin_, end_). The 8 bytes before begin_ are always free, so a packet
    // header is written in front of its body and both go out in one write.
    static constexpr size_t kHeaderRoom = 8;
    std::vector<std::uint8_t> buf_;
    size_t begin_ = kHeaderRoom;
    size_t end_ = kHeaderRoom;
    std::uint8_t packetId_ = 1;
    bool held_ = false;
    std::uint8_t heldToken_ = 0;
    std::uint16_t heldStatus_ = 0, heldCmd_ = 0;
    std::uint64_t heldRows_ = 0;
    bool failed_ = false;
    bool started_ = false;
};
