// Encrypted connections through FreeTDS, which checks a server's certificate only when its
// configuration names the trusted certificates.
#pragma once

#include <string>

struct TDbConnectionParams;

// For the life of a connect: a private configuration file with one section for the server (its
// host, port or instance, "encryption = require", the trusted certificates and the host-name
// check), and FREETDSCONF pointing at it. Connect with Servername=Section. Not for concurrent
// connects: the process's environment is changed.
class TFreeTdsCertificateCheck {
public:
    explicit TFreeTdsCertificateCheck(const TDbConnectionParams& p);
    ~TFreeTdsCertificateCheck();
    TFreeTdsCertificateCheck(const TFreeTdsCertificateCheck&) = delete;
    TFreeTdsCertificateCheck& operator=(const TFreeTdsCertificateCheck&) = delete;

    static constexpr const char* Section = "tolvan-checked-server";
    std::string Path;

private:
    bool hadOld_ = false;
    std::string old_;
};
