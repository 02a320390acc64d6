// Encrypted connections: the FreeTDS configuration that makes the driver check the server's
// certificate, and the check of our own that names why an encrypted connection failed.
#include "uDbTls.h"

#include "uDbAccess.h"
#include "uNbFormat.h"
#include "uNbText.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

namespace {

struct ServerAddress {
    std::string host, port = "1433", instance;
};

ServerAddress SplitServer(const std::string& server) {
    ServerAddress a;
    a.host = std::string(NbTrim(server));
    if (const size_t comma = a.host.find(','); comma != std::string::npos) {
        a.port = std::string(NbTrim(a.host.substr(comma + 1)));
        a.host = std::string(NbTrim(a.host.substr(0, comma)));
    }
    if (const size_t slash = a.host.find('\\'); slash != std::string::npos) {
        a.instance = a.host.substr(slash + 1);
        a.host = a.host.substr(0, slash);
    }
    if (a.host == "." || a.host == "(local)") a.host = "localhost";
    return a;
}

// A value of the configuration file: one line, no comment characters.
std::string ConfValue(const std::string& v) {
    if (v.find_first_of("\r\n;#") != std::string::npos)
        throw EDbError("The server name contains characters the driver's settings cannot hold.");
    return v;
}

// The trusted certificates: the file SSL_CERT_FILE names, else the system's.
std::string CaFile() {
    const char* f = std::getenv("SSL_CERT_FILE");
    return f && *f ? std::string(f) : std::string("system");
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

int ConnectTo(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(list);
    return fd;
}

bool SendAll(int fd, const std::uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool RecvAll(int fd, std::uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// One PRELOGIN message out, in packets of at most 4096 bytes.
bool SendPrelogin(int fd, const std::vector<std::uint8_t>& body) {
    std::uint8_t id = 1;
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(body.size() - at, 4096 - 8);
        const size_t len = n + 8;
        std::vector<std::uint8_t> packet = {0x12,
                                            static_cast<std::uint8_t>(at + n == body.size() ? 1 : 0),
                                            static_cast<std::uint8_t>(len >> 8),
                                            static_cast<std::uint8_t>(len & 0xFF),
                                            0,
                                            0,
                                            id++,
                                            0};
        packet.insert(packet.end(), body.begin() + static_cast<std::ptrdiff_t>(at), body.begin() + static_cast<std::ptrdiff_t>(at + n));
        if (!SendAll(fd, packet.data(), packet.size())) return false;
        at += n;
    } while (at < body.size());
    return true;
}

// One whole message in; false when the server left or sent no TDS.
bool ReadMessage(int fd, std::vector<std::uint8_t>& out) {
    out.clear();
    for (;;) {
        std::uint8_t h[8];
        if (!RecvAll(fd, h, 8)) return false;
        const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
        if (len < 8 || out.size() > 1 << 20) return false;
        const size_t old = out.size();
        out.resize(old + len - 8);
        if (len > 8 && !RecvAll(fd, out.data() + old, len - 8)) return false;
        if (h[1] & 1) return true;
    }
}

}  // namespace

TFreeTdsCertificateCheck::TFreeTdsCertificateCheck(const TDbConnectionParams& p) {
    const ServerAddress a = SplitServer(p.Server);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir =
        runtime && *runtime ? std::string(runtime) + "/tolvan" : NbFormat("/tmp/tolvan-%u", static_cast<unsigned>(::getuid()));
    ::mkdir(dir.c_str(), 0700);
    // The file decides which certificates are trusted: only a folder of our own, closed to others, holds it.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        throw EDbError("The folder " + dir + " for the driver's settings is not the user's own; the server certificate cannot be checked.");
    Path = NbFormat("%s/freetds-%d.conf", dir, static_cast<int>(::getpid()));
    {
        std::ofstream f(Path, std::ios::trunc);
        f << "[" << Section << "]\n\thost = " << ConfValue(a.host) << "\n";
        if (!a.instance.empty() && p.Server.find(',') == std::string::npos)
            f << "\tinstance = " << ConfValue(a.instance) << "\n";
        else
            f << "\tport = " << ConfValue(a.port) << "\n";
        f << "\tencryption = require\n\tca file = " << ConfValue(CaFile()) << "\n\tcheck certificate hostname = yes\n";
        if (!f) throw EDbError("The driver's settings for checking the server certificate cannot be written to " + Path + ".");
    }
    // The driver reads the file named here first and goes on to the usual ones for other names.
    if (const char* old = std::getenv("FREETDSCONF")) {
        hadOld_ = true;
        old_ = old;
    }
    ::setenv("FREETDSCONF", Path.c_str(), 1);
}

TFreeTdsCertificateCheck::~TFreeTdsCertificateCheck() {
    if (hadOld_)
        ::setenv("FREETDSCONF", old_.c_str(), 1);
    else
        ::unsetenv("FREETDSCONF");
    std::remove(Path.c_str());
}

std::string DbEncryptionProblem(const std::string& server) {
    const ServerAddress a = SplitServer(server);
    if (!a.instance.empty() && server.find(',') == std::string::npos) return "";
    Socket s(ConnectTo(a.host, a.port));
    if (s.Fd() < 0) return "";
    // PRELOGIN: VERSION and ENCRYPTION (ON), then the terminator.
    const std::vector<std::uint8_t> prelogin = {0, 0, 11, 0, 6, 1, 0, 17, 0, 1, 0xFF, 9, 0, 0, 0, 0, 0, 1};
    std::vector<std::uint8_t> answer;
    if (!SendPrelogin(s.Fd(), prelogin) || !ReadMessage(s.Fd(), answer)) return "";
    std::uint8_t encryption = 2;
    for (size_t i = 0; i + 5 <= answer.size() && answer[i] != 0xFF; i += 5) {
        const size_t off = (static_cast<size_t>(answer[i + 1]) << 8) | answer[i + 2];
        if (answer[i] == 1 && off < answer.size()) encryption = answer[off];
    }
    if (encryption == 2) return "the server does not offer encryption";

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!ctx) return "";
    const std::string ca = CaFile();
    if (ca == "system" ? SSL_CTX_set_default_verify_paths(ctx.get()) != 1
                       : SSL_CTX_load_verify_locations(ctx.get(), ca.c_str(), nullptr) != 1)
        return "the trusted certificates (" + ca + ") cannot be read";
    // The handshake completes either way; the result of the check is read afterwards.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    if (!ssl) return "";
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    in6_addr ip{};
    if (::inet_pton(AF_INET, a.host.c_str(), &ip) == 1 || ::inet_pton(AF_INET6, a.host.c_str(), &ip) == 1)
        X509_VERIFY_PARAM_set1_ip_asc(param, a.host.c_str());
    else
        X509_VERIFY_PARAM_set1_host(param, a.host.c_str(), 0);
    SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(ssl.get());
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl.get());
        BIO* out = SSL_get_wbio(ssl.get());
        std::vector<std::uint8_t> records(BIO_ctrl_pending(out));
        if (!records.empty()) {
            BIO_read(out, records.data(), static_cast<int>(records.size()));
            if (!SendPrelogin(s.Fd(), records)) return "";
        }
        if (r == 1) break;
        if (SSL_get_error(ssl.get(), r) != SSL_ERROR_WANT_READ) {
            char buf[256];
            ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
            return std::string("the TLS handshake failed (") + buf + ")";
        }
        if (!ReadMessage(s.Fd(), answer)) return "";
        BIO_write(SSL_get_rbio(ssl.get()), answer.data(), static_cast<int>(answer.size()));
    }
    const long verified = SSL_get_verify_result(ssl.get());
    if (verified == X509_V_OK) return "";
    return X509_verify_cert_error_string(verified);
}
