#include "Socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

bool ReadFull(int fd, void* buf, size_t n) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool SendAll(int fd, const std::uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadMessage(int fd, TdsMessage& m, size_t maxBytes) {
    return ReadMessage([fd](void* buf, size_t n) { return ReadFull(fd, buf, n); }, m, maxBytes);
}

bool ReadMessage(const std::function<bool(void*, size_t)>& read, TdsMessage& m, size_t maxBytes) {
    m.data.clear();
    for (;;) {
        std::uint8_t h[8];
        if (!read(h, 8)) return false;
        const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
        if (len < 8) return false;
        if (m.data.empty()) m.status = h[1];
        m.type = h[0];
        const size_t old = m.data.size();
        if (old + len - 8 > maxBytes) {
            std::fprintf(stderr, "tolvan-sandbox: a request of more than %zu bytes; connection closed\n", maxBytes);
            return false;
        }
        m.data.resize(old + len - 8);
        if (len > 8 && !read(m.data.data() + old, len - 8)) return false;
        if (h[1] & 1) return true;
    }
}
