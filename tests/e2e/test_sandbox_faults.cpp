// The stand-in against bad clients, over a raw socket: crafted and broken TDS messages, clients
// that vanish mid-result. After each, the stand-in must still serve a fresh client; at the end it
// must exit cleanly (under the sanitizers a leak or undefined behaviour makes the exit status fail).
#include "OdbcProbe.h"
#include "SandboxProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& b, std::uint16_t v) { b.insert(b.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}); }
void PutU32(Bytes& b, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
void PutUtf16(Bytes& b, const std::string& ascii) {
    for (char c : ascii) PutU16(b, static_cast<std::uint8_t>(c));
}

// A TDS client that writes whatever it is told to.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval tv{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Connected() const { return connected_; }

    void Raw(const Bytes& b) {
        size_t off = 0;
        while (off < b.size()) {
            const ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
    // A message in packets of packetSize bytes; the last with end-of-message unless eom is false.
    void Send(std::uint8_t type, const Bytes& body, size_t packetSize = 4096, bool eom = true) {
        const size_t room = packetSize - 8;
        size_t off = 0;
        std::uint8_t id = 1;
        do {
            const size_t n = std::min(room, body.size() - off);
            const bool last = off + n == body.size();
            Bytes p = {type,
                       static_cast<std::uint8_t>(last && eom ? 1 : 0),
                       static_cast<std::uint8_t>((n + 8) >> 8),
                       static_cast<std::uint8_t>(n + 8),
                       0,
                       0,
                       id++,
                       0};
            p.insert(p.end(), body.begin() + static_cast<std::ptrdiff_t>(off), body.begin() + static_cast<std::ptrdiff_t>(off + n));
            Raw(p);
            off += n;
        } while (off < body.size());
    }
    // One whole response; false when the connection closed (or nothing came within the timeout).
    bool Read(Bytes& out) {
        out.clear();
        for (;;) {
            std::uint8_t h[8];
            if (!Full(h, 8)) return false;
            const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
            if (len < 8) return false;
            const size_t old = out.size();
            out.resize(old + len - 8);
            if (!Full(out.data() + old, len - 8)) return false;
            if (h[1] & 1) return true;
        }
    }
    // One packet of a response; eom tells whether it ends the message, spid is the header's session.
    bool ReadPacket(Bytes& out, bool& eom, int* spid = nullptr) {
        std::uint8_t h[8];
        if (!Full(h, 8)) return false;
        const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
        if (len < 8) return false;
        out.resize(len - 8);
        eom = (h[1] & 1) != 0;
        if (spid) *spid = (h[4] << 8) | h[5];
        return Full(out.data(), len - 8);
    }
    // Whether the stand-in closes the connection (reads until it does).
    bool Closes() {
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0) return errno == ECONNRESET;
        }
    }
    void Prelogin() {
        Bytes b = {0, 0, 11, 0, 6, 1, 0, 17, 0, 1, 0xFF, 15, 0, 0, 0, 0, 0, 2};
        Send(0x12, b);
        Bytes r;
        Read(r);
    }
    static Bytes Login7(const std::string& user, const std::string& password, const std::string& db, std::uint32_t packetSize) {
        Bytes b(94, 0);
        auto setU32 = [&](size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); };
        setU32(4, 0x74000004);
        setU32(8, packetSize);
        Bytes data;
        auto field = [&](size_t at, const std::string& s, bool scramble) {
            const auto off = static_cast<std::uint16_t>(94 + data.size());
            std::memcpy(&b[at], &off, 2);
            const auto len = static_cast<std::uint16_t>(s.size());
            std::memcpy(&b[at + 2], &len, 2);
            Bytes u;
            PutUtf16(u, s);
            if (scramble)
                for (auto& c : u) c = static_cast<std::uint8_t>((((c & 0x0F) << 4) | (c >> 4)) ^ 0xA5);
            data.insert(data.end(), u.begin(), u.end());
        };
        field(36, "host", false);
        field(40, user, false);
        field(44, password, true);
        field(48, "faults", false);
        field(68, db, false);
        b.insert(b.end(), data.begin(), data.end());
        setU32(0, static_cast<std::uint32_t>(b.size()));
        return b;
    }
    bool Login(const std::string& password = SandboxProcess::Password(), const std::string& db = "master",
               std::uint32_t packetSize = 4096) {
        Prelogin();
        Send(0x10, Login7("sa", password, db, packetSize));
        Bytes r;
        return Read(r) && Contains(r, {0xAD});  // LOGINACK
    }
    static Bytes Batch(const std::string& sql) {
        Bytes b;
        PutU32(b, 22);
        PutU32(b, 18);
        PutU16(b, 2);
        b.insert(b.end(), 8, 0);
        PutU32(b, 1);
        PutUtf16(b, sql);
        return b;
    }
    int fd() const { return fd_; }

    static bool Contains(const Bytes& hay, const Bytes& needle) {
        return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
    }
    // Whether the response carries an ERROR token with the number.
    static bool HasError(const Bytes& r, std::int32_t number) {
        for (size_t i = 0; i + 7 <= r.size(); ++i) {
            std::int32_t n;
            std::memcpy(&n, &r[i + 3], 4);
            if (r[i] == 0xAA && n == number) return true;
        }
        return false;
    }

private:
    bool Full(std::uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
};

// An RPC of sp_executesql (procedure id 10) with the statement, its declaration and one crafted parameter.
Bytes ExecuteSql(const std::string& sql, const std::string& decl, const Bytes& param) {
    Bytes b;
    PutU32(b, 22);
    PutU32(b, 18);
    PutU16(b, 2);
    b.insert(b.end(), 8, 0);
    PutU32(b, 1);
    PutU16(b, 0xFFFF);
    PutU16(b, 10);
    PutU16(b, 0);
    for (const std::string* text : {&sql, &decl}) {
        b.insert(b.end(), {0, 0, 0xE7});  // unnamed NVARCHAR(4000)
        PutU16(b, 8000);
        b.insert(b.end(), {0x09, 0x04, 0xD0, 0x00, 0x34});
        PutU16(b, static_cast<std::uint16_t>(text->size() * 2));
        PutUtf16(b, *text);
    }
    b.insert(b.end(), param.begin(), param.end());
    return b;
}

// A named parameter "@p" (two UTF-16 characters) with status 0 and the type bytes given.
Bytes Param(const Bytes& typeAndValue) {
    Bytes b = {2, '@', 0, 'p', 0, 0};
    b.insert(b.end(), typeAndValue.begin(), typeAndValue.end());
    return b;
}

int CountDescriptors(pid_t pid, const char* suffix = nullptr) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (suffix) {
                char target[512] = {};
                const ssize_t len = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
                if (len <= 0 || std::string(target).find(suffix) == std::string::npos) continue;
            }
            ++n;
        }
        ::closedir(d);
    }
    return n;
}

class SandboxFaults : public ::testing::Test {
protected:
    void ExpectServes(const std::string& afterWhat) {
        OdbcProbe c;
        ASSERT_TRUE(c.Connect(server_->OdbcConnectionString())) << "no fresh client after: " << afterWhat;
        const OdbcRun run = c.Run("select 41 + 1 as n");
        ASSERT_EQ(run.results.size(), 1u) << afterWhat;
        EXPECT_EQ(run.results[0].rows[0][0], "42") << afterWhat;
    }
    std::unique_ptr<SandboxProcess> server_ = std::make_unique<SandboxProcess>(true, std::vector<std::string>{"--login-timeout", "2"});
};

TEST_F(SandboxFaults, MalformedMessagesHurtOnlyTheirConnection) {
    enum Outcome { Closes, Answers, ErrorNumber };
    struct Case {
        const char* name;
        bool login;
        std::function<void(RawClient&)> send;
        Outcome outcome;
        int error = 0;
    };
    const Case cases[] = {
        {"garbage bytes", false, [](RawClient& c) { c.Raw(Bytes(64, 0xEE)); }, Closes},
        {"packet length 0", false,
         [](RawClient& c) {
             c.Raw({0x12, 1, 0, 0, 0, 0, 1, 0});
         },
         Closes},
        {"packet length 7", false,
         [](RawClient& c) {
             c.Raw({0x12, 1, 0, 7, 0, 0, 1, 0});
         },
         Closes},
        {"packet length 65535, then silence (login timeout)", false,
         [](RawClient& c) {
             c.Raw({0x12, 1, 0xFF, 0xFF, 0, 0, 1, 0, 1, 2});
         },
         Closes},
        {"truncated PRELOGIN, then silence", false,
         [](RawClient& c) {
             c.Raw({0x12, 1, 0, 40, 0, 0, 1, 0, 0, 0, 11, 0});
         },
         Closes},
        {"silent client (login timeout)", false, [](RawClient&) {}, Closes},
        {"PRELOGIN options past the end", false,
         [](RawClient& c) {
             c.Send(0x12, {0, 0xFF, 0xF0, 0, 6, 1, 0xFF, 0xFF, 0, 1, 0xFF});
         },
         Answers},
        {"LOGIN7 shorter than its fixed part", false,
         [](RawClient& c) {
             c.Prelogin();
             c.Send(0x10, Bytes(50, 0));
         },
         Closes},
        {"LOGIN7 with absurd offsets and lengths", false,
         [](RawClient& c) {
             Bytes l = RawClient::Login7("sa", "x", "master", 4096);
             for (size_t at = 36; at < 90; at += 4) l[at] = l[at + 1] = l[at + 2] = l[at + 3] = 0xFF;
             c.Prelogin();
             c.Send(0x10, l);
         },
         Answers},
        {"LOGIN7 with an empty password", false,
         [](RawClient& c) {
             c.Prelogin();
             c.Send(0x10, RawClient::Login7("sa", "", "master", 4096));
         },
         ErrorNumber, 18456},
        {"a login message without end beyond 128 KB", false, [](RawClient& c) { c.Send(0x10, Bytes(200000, 1), 4096, false); }, Closes},
        {"unknown message type after login", true,
         [](RawClient& c) {
             c.Send(0x55, {1, 2, 3});
         },
         Closes},
        {"TIME parameter of scale 64", true,
         [](RawClient& c) {
             c.Send(0x03, ExecuteSql("select @p", "@p time", Param({0x29, 64, 5, 0, 0, 0, 0, 0})));
         },
         ErrorNumber, 8016},
        {"DATETIME2 parameter of scale 200", true,
         [](RawClient& c) {
             c.Send(0x03, ExecuteSql("select @p", "@p datetime2", Param({0x2A, 200, 8, 0, 0, 0, 0, 0, 0, 0, 0})));
         },
         ErrorNumber, 8016},
        {"DECIMAL parameter of precision 99", true,
         [](RawClient& c) {
             c.Send(0x03, ExecuteSql("select @p", "@p decimal", Param({0x6A, 17, 99, 2, 5, 1, 1, 0, 0, 0})));
         },
         ErrorNumber, 8016},
        {"INTN parameter cut short", true,
         [](RawClient& c) {
             c.Send(0x03, ExecuteSql("select @p", "@p bigint", Param({0x26, 8, 8, 1, 2})));
         },
         ErrorNumber, 8016},
        {"NVARCHAR parameter longer than declared", true,
         [](RawClient& c) {
             c.Send(0x03,
                    ExecuteSql("select @p", "@p nvarchar(1)", Param({0xE7, 2, 0, 0x09, 0x04, 0xD0, 0x00, 0x34, 4, 0, 'a', 0, 'b', 0})));
         },
         ErrorNumber, 8016},
        {"WAITFOR DELAY of 99999999999 hours", true,
         [](RawClient& c) { c.Send(0x01, RawClient::Batch("waitfor delay '99999999999:00:00'")); }, ErrorNumber, 241},
        {"attention with nothing running", true, [](RawClient& c) { c.Send(0x06, {}); }, Answers},
    };
    for (const Case& k : cases) {
        RawClient c(server_->Port());
        ASSERT_TRUE(c.Connected()) << k.name;
        if (k.login) {
            ASSERT_TRUE(c.Login()) << k.name;
        }
        k.send(c);
        Bytes r;
        switch (k.outcome) {
        case Closes:
            EXPECT_TRUE(c.Closes()) << k.name;
            break;
        case Answers:
            EXPECT_TRUE(c.Read(r) || c.Closes()) << k.name;
            break;
        case ErrorNumber:
            EXPECT_TRUE(c.Read(r)) << k.name;
            EXPECT_TRUE(RawClient::HasError(r, k.error)) << k.name;
            break;
        }
        ExpectServes(k.name);
    }
    // The smallest money value keeps its sign on the way in and out.
    {
        RawClient c(server_->Port());
        ASSERT_TRUE(c.Login());
        c.Send(0x03, ExecuteSql("select @p as m", "@p money", Param({0x6E, 8, 8, 0, 0, 0, 0x80, 0, 0, 0, 0})));
        Bytes r;
        ASSERT_TRUE(c.Read(r));
        EXPECT_FALSE(RawClient::HasError(r, 8016));
        EXPECT_TRUE(RawClient::Contains(r, {8, 0, 0, 0, 0x80, 0, 0, 0, 0})) << "money -922337203685477.5808 in the row";
    }
    // A request without end-of-message is refused past 65,536 packets of the negotiated size.
    {
        RawClient c(server_->Port());
        ASSERT_TRUE(c.Login(SandboxProcess::Password(), "master", 512));
        std::thread writer([&] { c.Send(0x01, Bytes(65536u * 512u + 4096u, 'a'), 512, false); });
        EXPECT_TRUE(c.Closes());
        ::shutdown(c.fd(), SHUT_RDWR);
        writer.join();
        ExpectServes("an endless request");
    }
    EXPECT_EQ(server_->Stop(), 0) << "the stand-in's exit status (sanitizer reports fail it)";
}

TEST_F(SandboxFaults, AttentionsAreAcknowledgedAtTheEndOfTheResponse) {
    // The acknowledgement is a DONE with the attention bit (0x20) and nothing else set, the last
    // token of the message: whether the statement waits, streams rows, or has already finished.
    auto endsWithAck = [](const Bytes& r) {
        return r.size() >= 13 && r[r.size() - 13] == 0xFD && r[r.size() - 12] == 0x20 && r[r.size() - 11] == 0;
    };
    struct Case {
        const char* name;
        const char* sql;
        int packetsFirst;  // packets read before the attention (-1: the whole response)
    };
    const Case cases[] = {
        {"inside WAITFOR", "print 'x'; waitfor delay '00:01:00'", 0},
        {"streaming rows", "exec sp_sandbox_rows 10000000", 3},
        {"after the response", "select 1 as n", -1},
    };
    for (const Case& k : cases) {
        RawClient c(server_->Port());
        ASSERT_TRUE(c.Login()) << k.name;
        c.Send(0x01, RawClient::Batch(k.sql));
        Bytes r, packet;
        bool eom = false;
        if (k.packetsFirst < 0) {
            ASSERT_TRUE(c.Read(r)) << k.name;
            EXPECT_FALSE(endsWithAck(r)) << k.name;
        } else if (k.packetsFirst == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the server is in its wait
        }
        for (int i = 0; i < k.packetsFirst; ++i) ASSERT_TRUE(c.ReadPacket(packet, eom) && !eom) << k.name;
        c.Send(0x06, {});
        ASSERT_TRUE(c.Read(r)) << k.name;
        EXPECT_TRUE(endsWithAck(r)) << k.name;
        // The connection goes on.
        c.Send(0x01, RawClient::Batch("select 42 as n"));
        ASSERT_TRUE(c.Read(r)) << k.name;
        EXPECT_FALSE(endsWithAck(r)) << k.name;
        EXPECT_TRUE(RawClient::Contains(r, {0xD1}) && RawClient::Contains(r, {42, 0, 0, 0})) << k.name;  // a row holding 42
    }
}

TEST_F(SandboxFaults, ClientsResetMidResultLeaveNothingOpen) {
    ExpectServes("start");
    const int baseline = CountDescriptors(server_->Pid());
    const int baselineDb = CountDescriptors(server_->Pid(), ".db");
    for (int k = 0; k < 12; ++k) {
        RawClient c(server_->Port());
        ASSERT_TRUE(c.Login(SandboxProcess::Password(), "demo"));
        c.Send(0x01, RawClient::Batch("select a.OrderID, b.OrderID from Orders a cross join Orders b"));
        std::uint8_t some[8192];
        ASSERT_GT(::recv(c.fd(), some, sizeof some, 0), 0);
        linger hard{1, 0};
        ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);  // close with a reset
    }
    // The stand-in notices each reset at its next write; wait for the connections to end.
    int open = 0;
    for (int tries = 0; tries < 300; ++tries) {
        open = CountDescriptors(server_->Pid());
        if (open <= baseline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LE(open, baseline);
    EXPECT_LE(CountDescriptors(server_->Pid(), ".db"), baselineDb);
    ExpectServes("resets");
    EXPECT_EQ(server_->Stop(), 0) << "the stand-in's exit status (sanitizer reports fail it)";
}

TEST_F(SandboxFaults, ConnectionsPastTheLimitAreRefused) {
    server_ = std::make_unique<SandboxProcess>(false, std::vector<std::string>{"--max-connections", "2"});
    RawClient a(server_->Port()), b(server_->Port());
    ASSERT_TRUE(a.Login());
    ASSERT_TRUE(b.Login());
    RawClient third(server_->Port());
    Bytes r;
    ASSERT_TRUE(third.Read(r));
    EXPECT_TRUE(RawClient::HasError(r, 17809));
    EXPECT_TRUE(third.Closes());
}

// Not a fault, but only a raw client sees it: output parameters of sp_executesql come back as
// RETURNVALUE tokens before the end of the call.
TEST_F(SandboxFaults, OutputParametersComeBack) {
    RawClient c(server_->Port());
    ASSERT_TRUE(c.Login());
    c.Send(0x03, ExecuteSql("set @p = 40 + 2", "@p int output", {2, '@', 0, 'p', 0, 1, 0x26, 4, 0}));
    Bytes r;
    ASSERT_TRUE(c.Read(r));
    const Bytes value = {0xAC, 2, 0, 2, '@', 0, 'p', 0, 1};  // RETURNVALUE, ordinal 2, "@p", output
    const auto at = std::search(r.begin(), r.end(), value.begin(), value.end());
    ASSERT_NE(at, r.end()) << "no RETURNVALUE token";
    EXPECT_TRUE(RawClient::Contains(Bytes(at, r.end()), {0x26, 4, 4, 42, 0, 0, 0})) << "the value 42 as int";
}

// A request flagged "reset connection" rolls back the transaction the session left open.
TEST_F(SandboxFaults, ResetConnectionRollsBack) {
    RawClient c(server_->Port());
    ASSERT_TRUE(c.Login());
    Bytes r;
    c.Send(0x01, RawClient::Batch("create table reset_t (v int) begin tran insert into reset_t values (1)"));
    ASSERT_TRUE(c.Read(r));
    Bytes batch = RawClient::Batch("select count(*) as n from reset_t");
    Bytes packet = {0x01, 0x09, static_cast<std::uint8_t>((batch.size() + 8) >> 8), static_cast<std::uint8_t>(batch.size() + 8), 0, 0,
                    1,    0};
    packet.insert(packet.end(), batch.begin(), batch.end());
    c.Raw(packet);
    ASSERT_TRUE(c.Read(r));
    EXPECT_TRUE(RawClient::Contains(r, {0xD1, 4, 0, 0, 0, 0}) || RawClient::Contains(r, {0xD1, 0, 0, 0, 0}))
        << "the insert was rolled back";
}

// A RAISERROR ... WITH NOWAIT goes out at once, in a packet of its own before the statement after
// it ends; every packet carries the session's id, the one @@SPID (a smallint) reads.
TEST_F(SandboxFaults, NowaitMessagesGoOutAtOnceUnderTheSessionsId) {
    RawClient c(server_->Port());
    ASSERT_TRUE(c.Login());
    c.Send(0x01, RawClient::Batch("raiserror ('step one', 0, 1) with nowait; waitfor delay '00:01:00'"));
    Bytes packet;
    bool eom = true;
    int spid = 0;
    // Without the flush nothing would come before the minute's wait, and this read would time out.
    ASSERT_TRUE(c.ReadPacket(packet, eom, &spid));
    EXPECT_FALSE(eom);
    Bytes text;
    PutUtf16(text, "step one");
    EXPECT_TRUE(RawClient::Contains(packet, text));
    c.Send(0x06, {});
    Bytes r;
    ASSERT_TRUE(c.Read(r));
    c.Send(0x01, RawClient::Batch("select @@spid as s"));
    int spidAgain = 0;
    ASSERT_TRUE(c.ReadPacket(r, eom, &spidAgain) && eom);
    ASSERT_GT(spid, 0);
    EXPECT_EQ(spidAgain, spid);
    const auto lo = static_cast<std::uint8_t>(spid & 0xFF), hi = static_cast<std::uint8_t>(spid >> 8);
    EXPECT_TRUE(RawClient::Contains(r, {0xD1, lo, hi}) || RawClient::Contains(r, {0xD1, 2, lo, hi})) << "@@SPID, a smallint, is " << spid;
}

}  // namespace
