// TDS encryption on the server side: the certificate, the PRELOGIN answer, and one connection's TLS
// session (OpenSSL). The handshake travels inside PRELOGIN packets; afterwards TLS records go
// straight over the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

// What the server offers: --tls off (encryption not supported), on (as the client asks; the
// login at least is encrypted when the client can), required (everything encrypted).
enum class TlsMode { Off, On, Required };

// The PRELOGIN ENCRYPTION values.
enum : std::uint8_t { kEncryptOff = 0, kEncryptOn = 1, kEncryptNotSup = 2, kEncryptReq = 3 };

// The server's answer to the client's ENCRYPTION value under a mode.
std::uint8_t PreloginEncryptionAnswer(TlsMode mode, std::uint8_t client);

// The server's certificate and key, shared by all connections.
class TlsContext {
public:
    // Loads certFile and keyFile; when both are empty, the pair sandbox-cert.pem / sandbox-key.pem
    // of dataDir, made self-signed (for localhost and 127.0.0.1) when missing. Throws
    // std::runtime_error naming the file and the library's reason.
    TlsContext(const std::string& certFile, const std::string& keyFile, const std::string& dataDir);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    ssl_ctx_st* Handle() const { return ctx_; }

private:
    ssl_ctx_st* ctx_ = nullptr;
};

// One connection's TLS session over the socket fd.
class TlsSession {
public:
    TlsSession(const TlsContext& context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Runs the handshake whose client records arrive in PRELOGIN messages, the first already read
    // (firstRecords); the server's records go out in PRELOGIN packets. False (with the reason in
    // error) when the client left or the handshake failed.
    bool Handshake(const std::vector<std::uint8_t>& firstRecords, std::string& error);
    // Exactly n decrypted bytes; false when the peer has gone or the stream broke.
    bool ReadFull(void* buf, size_t n);
    bool SendAll(const std::uint8_t* p, size_t n);
    // Decrypted bytes already buffered.
    size_t Pending() const;
    // Up to n decrypted bytes without consuming them (blocks for one record); -1 when the peer has gone.
    int Peek(void* buf, size_t n);

private:
    bool FlushHandshake();
    int fd_;
    ssl_st* ssl_ = nullptr;
};
