// tolvan-sandbox: a SQL Server stand-in for tests, benchmarks and first runs. It speaks TDS 7.4 on
// loopback and executes T-SQL on SQLite (one file per database).
#include "Connection.h"
#include "ServerState.h"
#include "Session.h"
#include "Socket.h"
#include "TdsWriter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char* const kServerName = "SANDBOX";

int g_wake[2] = {-1, -1};
std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
    const char c = 1;
    const ssize_t ignored = ::write(g_wake[1], &c, 1);
    (void)ignored;
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 1433;
    std::string dataDir;
    std::string saPassword = "Tolvan-2026";
    bool demo = false;
    ConnectionLimits limits;
    size_t maxConnections = 256;
    std::string certFile, keyFile;
};

// Past the connection limit a client gets SQL Server's refusal and the connection is closed.
void Refuse(int fd, size_t maxConnections) {
    TdsWriter w([fd](const std::uint8_t* p, size_t n) { return SendAll(fd, p, n); });
    w.Message(true, 17809, 1, 20,
              "Could not connect because the maximum number of '" + std::to_string(maxConnections) +
                  "' user connections has already been reached. The system administrator can use sp_configure to increase the maximum "
                  "value. The connection has been closed.",
              kServerName, "", 1);
    w.Done(kTokenDone, kDoneError, 0, 0);
    w.Finish();
    ::close(fd);
}

void Usage() {
    std::puts(
        "usage: tolvan-sandbox [--host 127.0.0.1] [--port N] [--data-dir DIR] [--sa-password PW] [--demo]\n"
        "                      [--tls off|on|required] [--cert FILE --key FILE]\n"
        "A SQL Server stand-in that speaks TDS 7.4 and runs T-SQL on SQLite.\n"
        "  --port 0 picks a free port; the first line printed is 'listening on HOST:PORT'.\n"
        "  --data-dir keeps one SQLite file per database (a temporary folder when absent).\n"
        "  --sa-password sets the password of the login sa (default Tolvan-2026).\n"
        "  --demo creates the database 'demo' with sample tables, views, procedures and functions.\n"
        "  --login-timeout S closes a connection whose login is not complete after S seconds (default 60).\n"
        "  --max-connections N refuses clients past N open connections (default 256).\n"
        "  --tls off: no encryption; on (default): as the client asks, the login at least when it can;\n"
        "    required: every connection encrypted, clients that do not encrypt are refused.\n"
        "  --cert/--key: the server's certificate and key (PEM); by default a self-signed pair made at\n"
        "    first start in the data folder (sandbox-cert.pem, sandbox-key.pem).\n"
        "  --exit-with-parent ends the stand-in when the process that started it ends (tests).\n"
        "Test faults: EXEC sp_sandbox_drop_connection closes the connection at once;\n"
        "EXEC sp_sandbox_drop_after_rows N closes it after N rows of the next result.");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.limits.tls = TlsMode::On;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tolvan-sandbox: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--host")
            o.host = next();
        else if (a == "--port")
            o.port = std::atoi(next().c_str());
        else if (a == "--data-dir")
            o.dataDir = next();
        else if (a == "--sa-password")
            o.saPassword = next();
        else if (a == "--demo")
            o.demo = true;
        else if (a == "--exit-with-parent") {
            // A test program that aborts leaves no stand-in behind to hold its test runner.
            const pid_t parent = ::getppid();
            if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) return 1;
        }
        else if (a == "--login-timeout")
            o.limits.loginTimeoutSeconds = std::max(1, std::atoi(next().c_str()));
        else if (a == "--max-connections")
            o.maxConnections = static_cast<size_t>(std::max(1, std::atoi(next().c_str())));
        else if (a == "--tls") {
            const std::string v = next();
            if (v == "off")
                o.limits.tls = TlsMode::Off;
            else if (v == "on")
                o.limits.tls = TlsMode::On;
            else if (v == "required")
                o.limits.tls = TlsMode::Required;
            else {
                std::fprintf(stderr, "tolvan-sandbox: --tls takes off, on or required\n");
                return 2;
            }
        } else if (a == "--cert")
            o.certFile = next();
        else if (a == "--key")
            o.keyFile = next();
        else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "tolvan-sandbox: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    bool tempDir = false;
    if (o.dataDir.empty()) {
        char tmpl[] = "/tmp/tolvan-sandbox-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            std::perror("tolvan-sandbox: mkdtemp");
            return 1;
        }
        o.dataDir = tmpl;
        tempDir = true;
    }
    std::unique_ptr<ServerState> server;
    std::unique_ptr<TlsContext> tls;
    try {
        server = std::make_unique<ServerState>(o.dataDir, o.saPassword, kServerName);
        if (o.demo) CreateDemoDatabase(*server);
        if (o.limits.tls != TlsMode::Off) {
            tls = std::make_unique<TlsContext>(o.certFile, o.keyFile, o.dataDir);
            o.limits.tlsContext = tls.get();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvan-sandbox: %s\n", e.what());
        return 1;
    } catch (const SqlError& e) {
        std::fprintf(stderr, "tolvan-sandbox: demo database: %s\n", e.message.c_str());
        return 1;
    }

    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(o.port));
    if (::inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "tolvan-sandbox: bad host %s\n", o.host.c_str());
        return 2;
    }
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 64) != 0) {
        std::fprintf(stderr, "tolvan-sandbox: cannot listen on %s:%d: %s\n", o.host.c_str(), o.port, std::strerror(errno));
        return 1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("listening on %s:%d\n", o.host.c_str(), ntohs(addr.sin_port));
    std::fflush(stdout);

    if (::pipe(g_wake) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::mutex mu;
    std::list<std::pair<std::shared_ptr<Connection>, std::thread>> clients;
    while (!g_stop) {
        pollfd fds[2] = {{lfd, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (g_stop) break;
        if (!(fds[0].revents & POLLIN)) continue;
        const int cfd = ::accept(lfd, nullptr, nullptr);
        if (cfd < 0) {
            // Out of descriptors or memory: the pending connection stays queued, so wait a little
            // instead of polling again at once.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                static bool told = false;
                if (!told) std::fprintf(stderr, "tolvan-sandbox: cannot accept a connection: %s; retrying\n", std::strerror(errno));
                told = true;
                pollfd wake{g_wake[0], POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        ::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mu);
        // Reap the threads of connections that have ended.
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->first->Finished()) {
                it->second.join();
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if (clients.size() >= o.maxConnections) {
            std::fprintf(stderr, "tolvan-sandbox: connection refused: %zu connections are open (the most is %zu)\n", clients.size(),
                         o.maxConnections);
            Refuse(cfd, o.maxConnections);
            continue;
        }
        auto conn = std::make_shared<Connection>(cfd, *server, g_stop, o.limits);
        try {
            clients.emplace_back(conn, std::thread([conn] { conn->Run(); }));
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "tolvan-sandbox: cannot start a connection thread: %s\n", e.what());
            conn->Close();
        }
    }
    ::close(lfd);
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto& [conn, th] : clients) conn->Interrupt();
    }
    for (auto& [conn, th] : clients) th.join();
    server.reset();
    if (tempDir) {
        std::error_code ec;
        std::filesystem::remove_all(o.dataDir, ec);
    }
    return 0;
}
