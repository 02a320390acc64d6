// Socket I/O of a connection: whole TDS packets out, whole TDS messages in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

bool ReadFull(int fd, void* buf, size_t n);
bool SendAll(int fd, const std::uint8_t* p, size_t n);

struct TdsMessage {
    std::uint8_t type = 0;
    std::uint8_t status = 0;  // of the first packet (0x08: reset the connection)
    std::vector<std::uint8_t> data;
};

// Reads packets until end-of-message; false when the peer has gone, sent a malformed header or more
// than maxBytes in one message (then the connection is to be closed).
bool ReadMessage(int fd, TdsMessage& m, size_t maxBytes);
// The same over any byte source: read(buf, n) gives exactly n bytes or false.
bool ReadMessage(const std::function<bool(void*, size_t)>& read, TdsMessage& m, size_t maxBytes);
