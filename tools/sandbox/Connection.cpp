#include "Connection.h"

#include "Session.h"
#include "TdsReader.h"
#include "TdsSink.h"
#include "TdsWriter.h"
#include "TextCodec.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr std::uint32_t kTds74 = 0x74000004;
const char* const kServerName = "SANDBOX";
// A PRELOGIN or LOGIN7 message is far smaller (LOGIN7 is at most 128 KB).
constexpr size_t kMaxLoginMessage = 128 * 1024;
// How long a connection polls for its client's next request before it sleeps in recv: a script's
// next batch mostly comes within this, and waking a sleeping thread costs more than the batch's
// own work (on virtual machines, where waking an idle CPU is slow, several times more).
constexpr auto kPollForRequest = std::chrono::microseconds(100);

}  // namespace
void Connection::Run() {
    TdsWriter out([this](const std::uint8_t* p, size_t n) { return tls_ ? tls_->SendAll(p, n) : SendAll(fd_, p, n); });
    const auto read = [this](void* buf, size_t n) { return Read(buf, n); };
    TdsSink sink(out);
    std::unique_ptr<Session> session;
    TdsMessage m;
    // Until the login completes, a client has limits.loginTimeoutSeconds for each read and small messages.
    SetReadTimeout(limits_.loginTimeoutSeconds);
    while (!stop_ && (!session || AwaitRequest()) && ReadMessage(read, m, session ? 65536 * static_cast<size_t>(out.PacketSize()) : kMaxLoginMessage)) {
        try {
            if ((m.status & 0x18) != 0 && session && m.type != 0x06) session->ResetConnection((m.status & 0x10) != 0);
            switch (m.type) {
            case 0x12:
                if (preloginAnswered_ && !tls_ && encryption_ != kEncryptNotSup && limits_.tlsContext && !session) {
                    // The client's first TLS records, carried in a PRELOGIN packet.
                    auto tls = std::make_unique<TlsSession>(*limits_.tlsContext, fd_);
                    std::string error;
                    if (!tls->Handshake(m.data, error)) {
                        std::fprintf(stderr, "tolvan-sandbox: %s; connection closed\n", error.c_str());
                        return Close();
                    }
                    tls_ = std::move(tls);
                    break;
                }
                Prelogin(m, out);
                break;
            case 0x10: {
                const bool encrypted = tls_ != nullptr;
                if (!encrypted && (encryption_ == kEncryptReq || encryption_ == kEncryptOn)) {
                    // The server asked for encryption and the client sent its login in the clear.
                    out.Message(true, 18456, 1, 14,
                                "Login failed. The server requires an encrypted connection, and the client did not encrypt it.",
                                kServerName, "", 1);
                    out.Done(kTokenDone, kDoneError, 0, 0);
                    out.Finish();
                    std::fprintf(stderr, "tolvan-sandbox: a client logged in without the encryption the server requires; refused\n");
                    return Close();
                }
                // Encryption of the login only: the answer goes back in the clear, and so does the rest.
                if (encrypted && encryption_ == kEncryptOff) tls_.reset();
                if (!Login(m, out, sink, session)) return Close();
                SetReadTimeout(0);
                break;
            }
            case 0x01: {
                if (!session) return Close();
                TdsReader r(m.data);
                const std::uint32_t headers = r.U32();
                const size_t start = headers >= 4 && headers <= m.data.size() ? headers : 0;
                session->RunBatch(
                    Utf16BytesToUtf8(std::string_view(reinterpret_cast<const char*>(m.data.data()) + start, m.data.size() - start)));
                out.Finish();
                break;
            }
            case 0x03: {
                if (!session) return Close();
                Rpc(m, out, *session);
                out.Finish();
                break;
            }
            case 0x06:
                // An attention that arrives after its response was sent.
                out.Done(kTokenDone, kDoneAttn, 0, 0);
                out.Finish();
                break;
            case 0x0E: {
                if (!session) return Close();
                TdsReader r(m.data);
                const std::uint32_t headers = r.U32();
                TdsReader body(m.data, headers >= 4 && headers <= m.data.size() ? headers : 0);
                const int type = body.U16();
                bool beginNew = false;
                if (type == 7 || type == 8) {
                    const std::uint8_t nameLen = body.U8();
                    body.Bytes(nameLen * 2u);
                    beginNew = body.Has(1) && (body.U8() & 1);
                }
                session->TransactionRequest(type, beginNew);
                out.Finish();
                break;
            }
            default:
                return Close();
            }
        } catch (const Attention&) {
            out.Done(kTokenDone, kDoneAttn, 0, 0);
            out.Finish();
        } catch (const EndConnection&) {
            out.Finish();
            return Close();
        } catch (const DropConnection&) {
            return Close();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tolvan-sandbox: %s\n", e.what());
            return Close();
        }
        if (out.Failed()) return Close();
    }
    Close();
}

bool Connection::AwaitRequest() {
    // One CPU: the client needs it to send the request polled for.
    static const bool worthIt = std::thread::hardware_concurrency() > 1;
    if (!worthIt) return true;
    const auto until = std::chrono::steady_clock::now() + kPollForRequest;
    std::uint8_t b;
    while (::recv(fd_, &b, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EINTR))
        if (std::chrono::steady_clock::now() >= until) break;
    return true;
}

void Connection::SetReadTimeout(int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void Connection::Close() {
    std::lock_guard<std::mutex> lock(fdMutex_);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
    done_ = true;
}

void Connection::Interrupt() {
    std::lock_guard<std::mutex> lock(fdMutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool Connection::Read(void* buf, size_t n) { return tls_ ? tls_->ReadFull(buf, n) : ReadFull(fd_, buf, n); }

bool Connection::AttentionPending() {
    if (!tls_ || tls_->Pending() == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return false;
    }
    std::uint8_t h[8];
    const ssize_t n = tls_ ? tls_->Peek(h, 8) : ::recv(fd_, h, 8, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (tls_ && n < 0)) throw DropConnection{};
    if (n < 8 || h[0] != 0x06) return false;
    TdsMessage m;
    ReadMessage([this](void* buf, size_t len) { return Read(buf, len); }, m, kMaxLoginMessage);
    return true;
}

void Connection::Prelogin(const TdsMessage& m, TdsWriter& out) {
    // Find the client's encryption option.
    std::uint8_t clientEncryption = kEncryptNotSup;
    for (size_t i = 0; i + 5 <= m.data.size() && m.data[i] != 0xFF; i += 5) {
        const size_t off = (static_cast<size_t>(m.data[i + 1]) << 8) | m.data[i + 2];
        if (m.data[i] == 1 && off < m.data.size()) clientEncryption = m.data[off];
    }
    std::vector<std::uint8_t> body;
    const std::uint8_t options[][2] = {{0, 6}, {1, 1}, {2, 1}, {3, 4}, {4, 1}};
    std::uint16_t offset = 5 * 5 + 1;
    for (auto& o : options) {
        body.push_back(o[0]);
        body.push_back(static_cast<std::uint8_t>(offset >> 8));
        body.push_back(static_cast<std::uint8_t>(offset & 0xFF));
        body.push_back(0);
        body.push_back(o[1]);
        offset = static_cast<std::uint16_t>(offset + o[1]);
    }
    body.push_back(0xFF);
    const std::uint8_t version[6] = {15, 0, 0x07, 0xD0, 0, 0};
    body.insert(body.end(), version, version + 6);
    encryption_ = PreloginEncryptionAnswer(limits_.tlsContext ? limits_.tls : TlsMode::Off, clientEncryption);
    preloginAnswered_ = true;
    body.push_back(encryption_);
    body.push_back(0);
    body.insert(body.end(), {0, 0, 0, 0});
    body.push_back(0);
    out.Raw(body.data(), body.size());
    out.Finish();
    // A client that asked for encryption decides itself whether to go on without it (FreeTDS and
    // others end the connection and say why).
    if ((clientEncryption == kEncryptOn || clientEncryption == kEncryptReq) && encryption_ == kEncryptNotSup)
        std::fprintf(stderr, "tolvan-sandbox: a client asked for encryption, which the stand-in does not offer (--tls off)\n");
}

bool Connection::Login(const TdsMessage& m, TdsWriter& out, ResultSink& sink, std::unique_ptr<Session>& session) {
    TdsReader r(m.data);
    auto str = [&](size_t at) {
        TdsReader h(m.data, at);
        const std::uint16_t off = h.U16(), len = h.U16();
        TdsReader s(m.data, off);
        return s.Utf16(len);
    };
    if (m.data.size() < 94) return false;
    r.U32();
    const std::uint32_t tdsVersion = r.U32();
    const std::uint32_t packetSize = r.U32();
    const std::string user = str(40);
    std::string password;
    {
        TdsReader h(m.data, 44);
        const std::uint16_t off = h.U16(), len = h.U16();
        std::vector<std::uint8_t> pw(m.data.begin() + std::min<size_t>(off, m.data.size()),
                                     m.data.begin() + std::min<size_t>(off + static_cast<size_t>(len) * 2, m.data.size()));
        for (auto& b : pw) {
            b ^= 0xA5;
            b = static_cast<std::uint8_t>(((b & 0x0F) << 4) | (b >> 4));
        }
        password = Utf16BytesToUtf8(std::string_view(reinterpret_cast<const char*>(pw.data()), pw.size()));
    }
    const std::string database = str(68);
    TdsReader sspi(m.data, 78);
    const std::uint16_t sspiLen = static_cast<std::uint16_t>((sspi.U16(), sspi.U16()));
    (void)tdsVersion;
    auto fail = [&](int number, int cls, const std::string& text) {
        out.Message(true, number, 1, static_cast<std::uint8_t>(cls), text, kServerName, "", 1);
        out.Done(kTokenDone, kDoneError, 0, 0);
        out.Finish();
        return false;
    };
    if (sspiLen > 0 || user.empty())
        return fail(18452, 14, "Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.");
    if (!server_.CheckLogin(user, password)) return fail(18456, 14, "Login failed for user '" + user + "'.");
    auto s = std::make_unique<Session>(server_, sink, [this] { return AttentionPending(); });
    s->SetUser(user);
    s->SetClient(str(36), str(48));
    std::string error;
    if (!s->Open(database, error)) return fail(4060, 11, error);
    out.EnvChange(1, s->Database(), "");
    out.Message(false, 5701, 2, 0, "Changed database context to '" + s->Database() + "'.", kServerName, "", 1);
    const std::uint8_t collation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};
    out.EnvChangeBytes(7, std::string(reinterpret_cast<const char*>(collation), 5), "");
    out.EnvChange(2, "us_english", "");
    out.Message(false, 5703, 1, 0, "Changed language setting to us_english.", kServerName, "", 1);
    // Clients choose their SQL Server paths by this name; the version bytes say 15.0.2000.
    out.LoginAck(kTds74, "Microsoft SQL Server");
    out.SetSpid(s->Spid());
    int size = packetSize == 0 ? 4096 : static_cast<int>(packetSize);
    size = std::max(512, std::min(32767, size));
    out.EnvChange(4, std::to_string(size), std::to_string(out.PacketSize()));
    out.Done(kTokenDone, 0, 0, 0);
    out.Finish();
    out.SetPacketSize(size);
    session = std::move(s);
    return true;
}

void Connection::Rpc(const TdsMessage& m, TdsWriter& out, Session& session) {
    TdsReader r(m.data);
    const std::uint32_t headers = r.U32();
    TdsReader body(m.data, headers >= 4 && headers <= m.data.size() ? headers : 0);
    const std::uint16_t nameLen = body.U16();
    std::string name;
    int procId = 0;
    if (nameLen == 0xFFFF)
        procId = body.U16();
    else
        name = body.Utf16(nameLen);
    body.U16();  // option flags
    std::vector<RpcParam> params;
    while (!body.AtEnd()) {
        RpcParam p;
        if (!ReadRpcParam(body, p)) {
            out.Message(true, 8016, 1, 16,
                        "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol stream is incorrect.", kServerName, "",
                        1);
            out.Done(kTokenDone, kDoneError, 0, 0);
            return;
        }
        params.push_back(std::move(p));
    }
    session.RunRpc(name, procId, std::move(params));
}
