#include "Tls.h"

#include "Socket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace {

// The library's reason for the last failure, or what was being done.
std::string LastError(const char* doing) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return doing;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return std::string(doing) + ": " + buf;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A self-signed certificate for localhost and 127.0.0.1, valid ten years, with its P-256 key.
void MakeSelfSigned(const std::string& certFile, const std::string& keyFile) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) throw std::runtime_error(LastError("cannot make a key"));
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tolvan Sandbox"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
    if (X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")) {
        X509_add_ext(cert.get(), san, -1);
        X509_EXTENSION_free(san);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) throw std::runtime_error(LastError("cannot sign the certificate"));
    {
        const mode_t old = ::umask(077);
        File k(std::fopen(keyFile.c_str(), "w"));
        ::umask(old);
        if (!k || PEM_write_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
            throw std::runtime_error("cannot write " + keyFile);
    }
    File c(std::fopen(certFile.c_str(), "w"));
    if (!c || PEM_write_X509(c.get(), cert.get()) != 1) throw std::runtime_error("cannot write " + certFile);
}

}  // namespace

std::uint8_t PreloginEncryptionAnswer(TlsMode mode, std::uint8_t client) {
    if (mode == TlsMode::Off) return kEncryptNotSup;
    if (mode == TlsMode::Required) return kEncryptReq;
    // As the client asks: ON and REQ get everything encrypted, OFF the login only, NOT_SUP nothing.
    if (client == kEncryptOn || client == kEncryptReq) return kEncryptOn;
    if (client == kEncryptOff) return kEncryptOff;
    return kEncryptNotSup;
}

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile, const std::string& dataDir) {
    std::string cert = certFile, key = keyFile;
    if (cert.empty() != key.empty()) throw std::runtime_error("--cert and --key go together");
    if (cert.empty()) {
        cert = (std::filesystem::path(dataDir) / "sandbox-cert.pem").string();
        key = (std::filesystem::path(dataDir) / "sandbox-key.pem").string();
        std::error_code ec;
        if (!std::filesystem::exists(cert, ec) || !std::filesystem::exists(key, ec)) MakeSelfSigned(cert, key);
    }
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) throw std::runtime_error(LastError("cannot start TLS"));
    // TDS 7.x clients speak TLS 1.2 inside the PRELOGIN exchange.
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str()) != 1)
        throw std::runtime_error(LastError(("cannot read the certificate " + cert).c_str()));
    if (SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx_) != 1)
        throw std::runtime_error(LastError(("cannot read the key " + key).c_str()));
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsSession::TlsSession(const TlsContext& context, int fd) : fd_(fd) {
    ssl_ = SSL_new(context.Handle());
    if (!ssl_) throw std::runtime_error(LastError("cannot start a TLS session"));
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

bool TlsSession::FlushHandshake() {
    // The server's records go out as one PRELOGIN message, in packets of at most 4096 bytes.
    BIO* out = SSL_get_wbio(ssl_);
    std::vector<std::uint8_t> records(BIO_ctrl_pending(out));
    if (records.empty()) return true;
    BIO_read(out, records.data(), static_cast<int>(records.size()));
    std::uint8_t id = 1;
    for (size_t at = 0; at < records.size();) {
        const size_t n = std::min<size_t>(records.size() - at, 4096 - 8);
        const size_t len = n + 8;
        std::vector<std::uint8_t> packet = {0x12,
                                            static_cast<std::uint8_t>(at + n == records.size() ? 1 : 0),
                                            static_cast<std::uint8_t>(len >> 8),
                                            static_cast<std::uint8_t>(len & 0xFF),
                                            0,
                                            0,
                                            id++,
                                            0};
        packet.insert(packet.end(), records.begin() + static_cast<std::ptrdiff_t>(at),
                      records.begin() + static_cast<std::ptrdiff_t>(at + n));
        if (!::SendAll(fd_, packet.data(), packet.size())) return false;
        at += n;
    }
    return true;
}

bool TlsSession::Handshake(const std::vector<std::uint8_t>& firstRecords, std::string& error) {
    BIO_write(SSL_get_rbio(ssl_), firstRecords.data(), static_cast<int>(firstRecords.size()));
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl_);
        const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
        if (!FlushHandshake()) {
            error = "the client left during the TLS handshake";
            return false;
        }
        if (r == 1) break;
        if (e != SSL_ERROR_WANT_READ) {
            error = LastError("the TLS handshake failed");
            return false;
        }
        TdsMessage m;
        if (!::ReadMessage(fd_, m, 64 * 1024)) {
            error = "the client left during the TLS handshake (did it reject the certificate?)";
            return false;
        }
        if (m.type != 0x12) {
            error = "the client sent something other than PRELOGIN during the TLS handshake";
            return false;
        }
        BIO_write(SSL_get_rbio(ssl_), m.data.data(), static_cast<int>(m.data.size()));
    }
    // From here on the records travel bare over the socket.
    BIO* socket = BIO_new_socket(fd_, BIO_NOCLOSE);
    SSL_set_bio(ssl_, socket, socket);
    return true;
}

bool TlsSession::ReadFull(void* buf, size_t n) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (n > 0) {
        size_t got = 0;
        if (SSL_read_ex(ssl_, p, n, &got) != 1) return false;
        p += got;
        n -= got;
    }
    return true;
}

bool TlsSession::SendAll(const std::uint8_t* p, size_t n) {
    while (n > 0) {
        size_t sent = 0;
        if (SSL_write_ex(ssl_, p, n, &sent) != 1) return false;
        p += sent;
        n -= sent;
    }
    return true;
}

size_t TlsSession::Pending() const { return static_cast<size_t>(SSL_pending(ssl_)); }

int TlsSession::Peek(void* buf, size_t n) {
    size_t got = 0;
    if (SSL_peek_ex(ssl_, buf, n, &got) != 1) return -1;
    return static_cast<int>(got);
}
