// One client connection: the TDS protocol state (pre-login, login, requests, attentions) over its
// socket, with the session that interprets its batches.
#pragma once

#include "ServerState.h"
#include "Socket.h"
#include "Tls.h"

#include <atomic>
#include <memory>
#include <mutex>

class ResultSink;
class Session;
class TdsWriter;

struct ConnectionLimits {
    // A client that has not completed its login after this long (per read) is disconnected.
    int loginTimeoutSeconds = 60;
    // The encryption offered, and the certificate when it is not Off.
    TlsMode tls = TlsMode::Off;
    const TlsContext* tlsContext = nullptr;
};

class Connection {
public:
    // stop tells the connection to end after the request in progress.
    Connection(int fd, ServerState& server, const std::atomic<bool>& stop, ConnectionLimits limits = {})
        : fd_(fd), server_(server), stop_(stop), limits_(limits) {}

    // Serves the client until it leaves, the server stops or the protocol breaks.
    void Run();
    void Close();
    // Shuts the socket down so that a blocked read returns.
    void Interrupt();
    bool Finished() const { return done_; }

private:
    // True when an ATTENTION packet waits on the socket; it is consumed.
    bool AttentionPending();
    // Polls the socket briefly for the next request before the read that sleeps for it; always true.
    bool AwaitRequest();
    // SO_RCVTIMEO of the socket; 0 for none.
    void SetReadTimeout(int seconds);
    void Prelogin(const TdsMessage& m, TdsWriter& out);
    // Reads exactly n bytes from the client, through TLS while it is on.
    bool Read(void* buf, size_t n);
    bool Login(const TdsMessage& m, TdsWriter& out, ResultSink& sink, std::unique_ptr<Session>& session);
    void Rpc(const TdsMessage& m, TdsWriter& out, Session& session);

    int fd_;
    ServerState& server_;
    const std::atomic<bool>& stop_;
    ConnectionLimits limits_;
    std::mutex fdMutex_;
    std::atomic<bool> done_{false};
    // The ENCRYPTION value answered at PRELOGIN; a TLS session while the traffic is encrypted.
    std::uint8_t encryption_ = kEncryptNotSup;
    bool preloginAnswered_ = false;
    std::unique_ptr<TlsSession> tls_;
};
