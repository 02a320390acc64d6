// The stand-in's TDS encryption on the wire, seen by a small client of our own (OpenSSL): the
// PRELOGIN answers, login-only and full encryption, and the refusal of a client that does not
// encrypt when the server requires it. (FreeTDS's side is covered by the dialog and tolvansql tests.)
#include "SandboxProcess.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        ::close(fd_);
    }
    bool Connected() const { return connected_; }

    // Sends PRELOGIN with the ENCRYPTION value and gives the server's.
    int Prelogin(std::uint8_t encryption) {
        const Bytes body = {0, 0, 11, 0, 6, 1, 0, 17, 0, 1, 0xFF, 9, 0, 0, 0, 0, 0, encryption};
        SendPacket(0x12, body, false);
        Bytes answer;
        if (!ReadMessage(answer, false)) return -1;
        for (size_t i = 0; i + 5 <= answer.size() && answer[i] != 0xFF; i += 5) {
            const size_t off = (static_cast<size_t>(answer[i + 1]) << 8) | answer[i + 2];
            if (answer[i] == 1 && off < answer.size()) return answer[off];
        }
        return -1;
    }

    // The TLS handshake inside PRELOGIN packets; afterwards TLS goes straight over the socket.
    bool Handshake() {
        ctx_ = SSL_CTX_new(TLS_client_method());
        ssl_ = SSL_new(ctx_);
        SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(ssl_);
        for (;;) {
            const int r = SSL_do_handshake(ssl_);
            BIO* out = SSL_get_wbio(ssl_);
            Bytes records(BIO_ctrl_pending(out));
            if (!records.empty()) {
                BIO_read(out, records.data(), static_cast<int>(records.size()));
                SendPacket(0x12, records, false);
            }
            if (r == 1) break;
            if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return false;
            Bytes in;
            if (!ReadMessage(in, false)) return false;
            BIO_write(SSL_get_rbio(ssl_), in.data(), static_cast<int>(in.size()));
        }
        BIO* socket = BIO_new_socket(fd_, BIO_NOCLOSE);
        SSL_set_bio(ssl_, socket, socket);
        return true;
    }

    void SendLogin(bool encrypted) { SendPacket(0x10, Login7("sa", SandboxProcess::Password()), encrypted); }
    void SendBatch(const std::string& sql, bool encrypted) {
        Bytes body = {22, 0, 0, 0, 18, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        for (char c : sql) body.insert(body.end(), {static_cast<std::uint8_t>(c), 0});
        SendPacket(0x01, body, encrypted);
    }
    bool ReadMessage(Bytes& out, bool encrypted) {
        out.clear();
        for (;;) {
            std::uint8_t h[8];
            if (!Read(h, 8, encrypted)) return false;
            const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
            if (len < 8) return false;
            const size_t old = out.size();
            out.resize(old + len - 8);
            if (len > 8 && !Read(out.data() + old, len - 8, encrypted)) return false;
            if (h[1] & 1) return true;
        }
    }

private:
    static Bytes Login7(const std::string& user, const std::string& password) {
        Bytes m(94, 0);
        auto put32 = [&](size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) m[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        auto put16 = [&](size_t at, size_t v) {
            m[at] = static_cast<std::uint8_t>(v & 0xFF);
            m[at + 1] = static_cast<std::uint8_t>(v >> 8);
        };
        put32(4, 0x74000004);
        put32(8, 4096);
        // Offsets of the texts (host, user, password, app, server, extension, library, language,
        // database, SSPI, attach file, change password): every one empty ...
        const size_t offsets[] = {36, 40, 44, 48, 52, 56, 60, 64, 68, 78, 82, 86};
        for (size_t at : offsets) put16(at, 94);
        // ... but the login and the password (UTF-16, the password scrambled as TDS does).
        put16(40, m.size());
        put16(42, user.size());
        for (char c : user) m.insert(m.end(), {static_cast<std::uint8_t>(c), 0});
        put16(44, m.size());
        put16(46, password.size());
        for (char c : password)
            for (std::uint8_t b : {static_cast<std::uint8_t>(c), std::uint8_t{0}})
                m.push_back(static_cast<std::uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5));
        for (size_t at : offsets)
            if (at > 44) put16(at, m.size());
        put32(0, static_cast<std::uint32_t>(m.size()));
        return m;
    }
    void SendPacket(std::uint8_t type, const Bytes& body, bool encrypted) {
        const size_t len = body.size() + 8;
        Bytes p = {type, 1, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len & 0xFF), 0, 0, 1, 0};
        p.insert(p.end(), body.begin(), body.end());
        if (encrypted)
            SSL_write(ssl_, p.data(), static_cast<int>(p.size()));
        else
            ::send(fd_, p.data(), p.size(), MSG_NOSIGNAL);
    }
    bool Read(std::uint8_t* p, size_t n, bool encrypted) {
        while (n > 0) {
            const long r = encrypted ? SSL_read(ssl_, p, static_cast<int>(n)) : ::recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

bool HasToken(const Bytes& m, std::uint8_t token) { return std::find(m.begin(), m.end(), token) != m.end(); }

// The printable ASCII of a message, its UTF-16 texts' zero bytes dropped.
std::string Ascii(const Bytes& m) {
    std::string s;
    for (std::uint8_t b : m)
        if (b >= 32 && b < 127) s += static_cast<char>(b);
    return s;
}

}  // namespace

// ENCRYPT_OFF from the client: only the login travels encrypted, the answer and all after it in
// the clear. ENCRYPT_ON: everything encrypted.
TEST(SandboxTls, LoginOnlyAndFullEncryption) {
    SandboxProcess server(false);
    struct Case {
        std::uint8_t client;
        int answer;
        bool full;
    };
    for (const Case c : {Case{0, 0, false}, Case{1, 1, true}, Case{3, 1, true}}) {
        SCOPED_TRACE(static_cast<int>(c.client));
        RawClient client(server.Port());
        ASSERT_TRUE(client.Connected());
        ASSERT_EQ(client.Prelogin(c.client), c.answer);
        ASSERT_TRUE(client.Handshake());
        client.SendLogin(true);
        Bytes reply;
        ASSERT_TRUE(client.ReadMessage(reply, c.full));
        EXPECT_TRUE(HasToken(reply, 0xAD)) << "no login acknowledgement";
        client.SendBatch("select 'hidden-or-not' as x", c.full);
        ASSERT_TRUE(client.ReadMessage(reply, c.full));
        EXPECT_NE(Ascii(reply).find("hidden-or-not"), std::string::npos);
    }
}

// --tls required: every client is asked to encrypt; one that logs in in the clear gets the
// server's refusal in words and the connection closes. --tls off: encryption is not supported.
TEST(SandboxTls, RequiredRefusesAClientThatDoesNotEncrypt) {
    SandboxProcess required(false, {"--tls", "required"});
    {
        RawClient client(required.Port());
        ASSERT_EQ(client.Prelogin(2), 3);
        client.SendLogin(false);
        Bytes reply;
        ASSERT_TRUE(client.ReadMessage(reply, false));
        EXPECT_TRUE(HasToken(reply, 0xAA));
        EXPECT_NE(Ascii(reply).find("Login failed. The server requires an encrypted connection, and the client did not encrypt it."),
                  std::string::npos)
            << Ascii(reply);
        EXPECT_FALSE(client.ReadMessage(reply, false));  // closed
    }
    {
        RawClient client(required.Port());
        ASSERT_EQ(client.Prelogin(0), 3);  // login-only is not enough: all of it encrypted
        ASSERT_TRUE(client.Handshake());
        client.SendLogin(true);
        Bytes reply;
        ASSERT_TRUE(client.ReadMessage(reply, true));
        EXPECT_TRUE(HasToken(reply, 0xAD));
    }
    SandboxProcess off(false, {"--tls", "off"});
    RawClient client(off.Port());
    EXPECT_EQ(client.Prelogin(0), 2);
}
