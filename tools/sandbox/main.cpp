// tolvan-sandbox: a SQL Server stand-in for tests, benchmarks and first runs. It speaks TDS 7.4 on
// loopback and executes T-SQL on SQLite (one file per database).
#include "Engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kTds74 = 0x74000004;
const char* const kServerName = "SANDBOX";

int g_wake[2] = {-1, -1};
std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
    const char c = 1;
    const ssize_t ignored = ::write(g_wake[1], &c, 1);
    (void)ignored;
}

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

struct Message {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> data;
};

// Reads packets until end-of-message.
bool ReadMessage(int fd, Message& m) {
    m.data.clear();
    for (;;) {
        std::uint8_t h[8];
        if (!ReadFull(fd, h, 8)) return false;
        const size_t len = (static_cast<size_t>(h[2]) << 8) | h[3];
        if (len < 8) return false;
        m.type = h[0];
        const size_t old = m.data.size();
        m.data.resize(old + len - 8);
        if (len > 8 && !ReadFull(fd, m.data.data() + old, len - 8)) return false;
        if (h[1] & 1) return true;
    }
}

class Reader {
public:
    Reader(const std::vector<std::uint8_t>& d, size_t pos = 0) : d_(d), p_(pos) {}
    bool Has(size_t n) const { return p_ + n <= d_.size(); }
    std::uint8_t U8() { return Has(1) ? d_[p_++] : 0; }
    std::uint16_t U16() {
        std::uint16_t v = 0;
        if (Has(2)) std::memcpy(&v, &d_[p_], 2);
        p_ += 2;
        return v;
    }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        if (Has(4)) std::memcpy(&v, &d_[p_], 4);
        p_ += 4;
        return v;
    }
    std::uint64_t U64() {
        std::uint64_t v = 0;
        if (Has(8)) std::memcpy(&v, &d_[p_], 8);
        p_ += 8;
        return v;
    }
    std::string Bytes(size_t n) {
        if (!Has(n)) {
            p_ = d_.size();
            return {};
        }
        std::string s(reinterpret_cast<const char*>(&d_[p_]), n);
        p_ += n;
        return s;
    }
    std::string Utf16(size_t chars) {
        const std::string raw = Bytes(chars * 2);
        std::u16string w(raw.size() / 2, u'\0');
        std::memcpy(w.data(), raw.data(), w.size() * 2);
        return Utf16ToUtf8(w.data(), w.size());
    }
    size_t Pos() const { return p_; }
    bool AtEnd() const { return p_ >= d_.size(); }

private:
    const std::vector<std::uint8_t>& d_;
    size_t p_;
};

std::string Cp1252ToUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) out += static_cast<char>(c);
        else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Plp(Reader& r) {
    const std::uint64_t total = r.U64();
    if (total == ~0ull) return std::string("\0NULL", 5);
    std::string out;
    for (;;) {
        const std::uint32_t chunk = r.U32();
        if (chunk == 0 || r.AtEnd()) break;
        out += r.Bytes(chunk);
    }
    return out;
}

std::string DateFromDays(std::int64_t days) {
    // Days since 0001-01-01 to a civil date.
    std::int64_t z = days - 719162 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y + (m <= 2)), m, d);
    return buf;
}

std::string TimeFromUnits(std::uint64_t units, int scale) {
    std::uint64_t div = 1;
    for (int k = 0; k < scale; ++k) div *= 10;
    const std::uint64_t secs = units / div, frac = units % div;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(secs / 3600),
                  static_cast<unsigned long long>(secs / 60 % 60), static_cast<unsigned long long>(secs % 60));
    std::string out = buf;
    if (scale > 0) {
        std::string f = std::to_string(frac);
        out += "." + std::string(static_cast<size_t>(scale) - std::min(f.size(), static_cast<size_t>(scale)), '0') + f;
    }
    return out;
}

// One RPC parameter's type and value.
bool ReadParam(Reader& r, Session::RpcParam& p) {
    const std::uint8_t nameLen = r.U8();
    p.name = r.Utf16(nameLen);
    p.output = (r.U8() & 1) != 0;
    const std::uint8_t type = r.U8();
    auto setNull = [&] { p.value = SqlValue{}; };
    switch (type) {
    case 0x26: {  // INTN
        r.U8();
        const std::uint8_t len = r.U8();
        p.type = SqlType::Of(len == 8 ? SqlType::BigInt : SqlType::Int);
        if (len == 0) return setNull(), true;
        std::int64_t v = 0;
        const std::string b = r.Bytes(len);
        if (len == 1) v = static_cast<std::uint8_t>(b[0]);
        else if (len == 2) { std::int16_t x; std::memcpy(&x, b.data(), 2); v = x; }
        else if (len == 4) { std::int32_t x; std::memcpy(&x, b.data(), 4); v = x; }
        else std::memcpy(&v, b.data(), 8);
        p.value = SqlValue::FromInt(v);
        return true;
    }
    case 0x30: p.type = SqlType::Of(SqlType::TinyInt); p.value = SqlValue::FromInt(r.U8()); return true;
    case 0x34: p.type = SqlType::Of(SqlType::SmallInt); p.value = SqlValue::FromInt(static_cast<std::int16_t>(r.U16())); return true;
    case 0x38: p.type = SqlType::Of(SqlType::Int); p.value = SqlValue::FromInt(static_cast<std::int32_t>(r.U32())); return true;
    case 0x7F: p.type = SqlType::Of(SqlType::BigInt); p.value = SqlValue::FromInt(static_cast<std::int64_t>(r.U64())); return true;
    case 0x32: p.type = SqlType::Of(SqlType::Bit); p.value = SqlValue::FromInt(r.U8() != 0); return true;
    case 0x1F: p.type = SqlType::Of(SqlType::Int); return setNull(), true;
    case 0x68: {  // BITN
        r.U8();
        p.type = SqlType::Of(SqlType::Bit);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        p.value = SqlValue::FromInt(r.U8() != 0);
        return true;
    }
    case 0x6D:
    case 0x3B:
    case 0x3E: {  // floats
        std::uint8_t len = type == 0x3B ? 4 : 8;
        if (type == 0x6D) {
            r.U8();
            len = r.U8();
        }
        p.type = SqlType::Of(len == 4 ? SqlType::Real : SqlType::Float);
        if (len == 0) return setNull(), true;
        const std::string b = r.Bytes(len);
        if (len == 4) { float f; std::memcpy(&f, b.data(), 4); p.value = SqlValue::FromReal(f); }
        else { double d; std::memcpy(&d, b.data(), 8); p.value = SqlValue::FromReal(d); }
        return true;
    }
    case 0x6A:
    case 0x6C: {  // DECIMALN, NUMERICN
        r.U8();
        const int prec = r.U8(), scale = r.U8();
        p.type = SqlType::Of(SqlType::Decimal, 0, prec, scale);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        const bool positive = r.U8() == 1;
        const std::string mag = r.Bytes(len - 1u);
        unsigned __int128 v = 0;
        std::memcpy(&v, mag.data(), std::min<size_t>(mag.size(), 16));
        std::string digits;
        do {
            digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
            v /= 10;
        } while (v != 0);
        while (digits.size() <= static_cast<size_t>(scale)) digits.insert(digits.begin(), '0');
        std::string text = digits.substr(0, digits.size() - static_cast<size_t>(scale));
        if (scale > 0) text += "." + digits.substr(digits.size() - static_cast<size_t>(scale));
        p.value = SqlValue::FromText((positive ? "" : "-") + text);
        return true;
    }
    case 0x6E:
    case 0x3C:
    case 0x7A: {  // money
        std::uint8_t len = type == 0x7A ? 4 : 8;
        if (type == 0x6E) {
            r.U8();
            len = r.U8();
        }
        p.type = SqlType::Of(SqlType::Money);
        if (len == 0) return setNull(), true;
        std::int64_t v;
        if (len == 4) v = static_cast<std::int32_t>(r.U32());
        else {
            const std::uint32_t hi = r.U32(), lo = r.U32();
            v = static_cast<std::int64_t>((static_cast<std::uint64_t>(hi) << 32) | lo);
        }
        char buf[40];
        std::snprintf(buf, sizeof buf, "%s%lld.%04lld", v < 0 ? "-" : "", std::llabs(v) / 10000, std::llabs(v) % 10000);
        p.value = SqlValue::FromText(buf);
        return true;
    }
    case 0x6F:
    case 0x3D:
    case 0x3A: {  // datetime
        std::uint8_t len = type == 0x3A ? 4 : 8;
        if (type == 0x6F) {
            r.U8();
            len = r.U8();
        }
        p.type = SqlType::Of(SqlType::DateTime);
        if (len == 0) return setNull(), true;
        std::int64_t days;
        double ms;
        if (len == 4) {
            days = r.U16();
            ms = r.U16() * 60000.0;
        } else {
            days = static_cast<std::int32_t>(r.U32());
            ms = r.U32() / 0.3;
        }
        const long long msr = std::llround(ms);
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s %02lld:%02lld:%02lld.%03lld", DateFromDays(days + 693595).c_str(), msr / 3600000, msr / 60000 % 60,
                      msr / 1000 % 60, msr % 1000);
        p.value = SqlValue::FromText(buf);
        return true;
    }
    case 0x28: {  // DATEN
        p.type = SqlType::Of(SqlType::Date);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        std::uint32_t days = 0;
        const std::string b = r.Bytes(3);
        std::memcpy(&days, b.data(), 3);
        p.value = SqlValue::FromText(DateFromDays(days));
        return true;
    }
    case 0x29:
    case 0x2A:
    case 0x2B: {  // TIMEN, DATETIME2N, DATETIMEOFFSETN
        const int scale = r.U8();
        p.type = SqlType::Of(type == 0x29 ? SqlType::Time : type == 0x2A ? SqlType::DateTime2 : SqlType::DateTimeOffset, 0, 0, scale);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        const int tb = scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
        std::uint64_t units = 0;
        const std::string tbytes = r.Bytes(static_cast<size_t>(tb));
        std::memcpy(&units, tbytes.data(), static_cast<size_t>(tb));
        std::string text = TimeFromUnits(units, scale);
        if (type != 0x29) {
            std::uint32_t days = 0;
            const std::string b = r.Bytes(3);
            std::memcpy(&days, b.data(), 3);
            text = DateFromDays(days) + " " + text;
        }
        if (type == 0x2B) {
            const std::int16_t off = static_cast<std::int16_t>(r.U16());
            char buf[16];
            std::snprintf(buf, sizeof buf, " %c%02d:%02d", off < 0 ? '-' : '+', std::abs(off) / 60, std::abs(off) % 60);
            text += buf;
        }
        p.value = SqlValue::FromText(text);
        return true;
    }
    case 0x24: {  // GUIDN
        r.U8();
        p.type = SqlType::Of(SqlType::UniqueIdentifier);
        const std::uint8_t len = r.U8();
        if (len == 0) return setNull(), true;
        const std::string g = r.Bytes(16);
        const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        std::string text;
        char buf[4];
        for (int k = 0; k < 16; ++k) {
            if (k == 4 || k == 6 || k == 8 || k == 10) text += '-';
            std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(g[static_cast<size_t>(order[k])]));
            text += buf;
        }
        p.value = SqlValue::FromText(text);
        return true;
    }
    case 0xA5:
    case 0xA7:
    case 0xAD:
    case 0xAF:
    case 0xE7:
    case 0xEF: {  // ushort-length texts and bytes
        const std::uint16_t maxLen = r.U16();
        const bool chars = type == 0xA7 || type == 0xAF || type == 0xE7 || type == 0xEF;
        const bool unicode = type == 0xE7 || type == 0xEF;
        if (chars) r.Bytes(5);
        const bool plp = maxLen == 0xFFFF;
        SqlType::Kind kind = type == 0xA5 ? SqlType::VarBinary : type == 0xAD ? SqlType::Binary : type == 0xA7 ? SqlType::VarChar
                           : type == 0xAF ? SqlType::Char : type == 0xE7 ? SqlType::NVarChar : SqlType::NChar;
        p.type = SqlType::Of(kind, plp ? -1 : (unicode ? maxLen / 2 : maxLen));
        std::string raw;
        if (plp) {
            raw = Plp(r);
            if (raw == std::string("\0NULL", 5)) return setNull(), true;
        } else {
            const std::uint16_t len = r.U16();
            if (len == 0xFFFF) return setNull(), true;
            raw = r.Bytes(len);
        }
        if (unicode) {
            std::u16string w(raw.size() / 2, u'\0');
            std::memcpy(w.data(), raw.data(), w.size() * 2);
            p.value = SqlValue::FromText(Utf16ToUtf8(w.data(), w.size()));
        } else if (chars) {
            p.value = SqlValue::FromText(Cp1252ToUtf8(raw));
        } else {
            p.value = SqlValue::FromBlob(raw);
        }
        return true;
    }
    case 0x23:
    case 0x63:
    case 0x22: {  // TEXT, NTEXT, IMAGE
        r.U32();
        if (type != 0x22) r.Bytes(5);
        p.type = SqlType::Of(type == 0x23 ? SqlType::Text : type == 0x63 ? SqlType::NText : SqlType::Image, -1);
        const std::uint32_t len = r.U32();
        if (len == 0xFFFFFFFF) return setNull(), true;
        const std::string raw = r.Bytes(len);
        if (type == 0x63) {
            std::u16string w(raw.size() / 2, u'\0');
            std::memcpy(w.data(), raw.data(), w.size() * 2);
            p.value = SqlValue::FromText(Utf16ToUtf8(w.data(), w.size()));
        } else if (type == 0x23) p.value = SqlValue::FromText(Cp1252ToUtf8(raw));
        else p.value = SqlValue::FromBlob(raw);
        return true;
    }
    case 0xF1: {  // XML
        if (r.U8()) return false;  // schema collections are not supported
        p.type = SqlType::Of(SqlType::Xml, -1);
        const std::string raw = Plp(r);
        if (raw == std::string("\0NULL", 5)) return setNull(), true;
        std::u16string w(raw.size() / 2, u'\0');
        std::memcpy(w.data(), raw.data(), w.size() * 2);
        p.value = SqlValue::FromText(Utf16ToUtf8(w.data(), w.size()));
        return true;
    }
    default: return false;
    }
}

class Connection {
public:
    Connection(int fd, ServerState& server) : fd_(fd), server_(server) {}

    void Run() {
        TdsWriter out([this](const std::uint8_t* p, size_t n) { return SendAll(fd_, p, n); });
        std::unique_ptr<Session> session;
        Message m;
        while (!g_stop && ReadMessage(fd_, m)) {
            try {
                switch (m.type) {
                case 0x12: Prelogin(m, out); break;
                case 0x10:
                    if (!Login(m, out, session)) return Close();
                    break;
                case 0x01: {
                    if (!session) return Close();
                    Reader r(m.data);
                    const std::uint32_t headers = r.U32();
                    const size_t start = headers >= 4 && headers <= m.data.size() ? headers : 0;
                    const size_t chars = (m.data.size() - start) / 2;
                    std::u16string w(chars, u'\0');
                    std::memcpy(w.data(), m.data.data() + start, chars * 2);
                    session->RunBatch(Utf16ToUtf8(w.data(), w.size()));
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
                    Reader r(m.data);
                    const std::uint32_t headers = r.U32();
                    Reader body(m.data, headers >= 4 && headers <= m.data.size() ? headers : 0);
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
                default: return Close();
                }
            } catch (const Attention&) {
                out.Done(kTokenDone, kDoneAttn, 0, 0);
                out.Finish();
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

    void Close() {
        std::lock_guard<std::mutex> lock(fdMutex_);
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_RDWR);
            ::close(fd_);
            fd_ = -1;
        }
        done_ = true;
    }

    void Interrupt() {
        std::lock_guard<std::mutex> lock(fdMutex_);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    bool Finished() const { return done_; }

private:
    // True when an ATTENTION packet waits on the socket; it is consumed.
    bool AttentionPending() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return false;
        std::uint8_t h[8];
        const ssize_t n = ::recv(fd_, h, 8, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) throw DropConnection{};
        if (n < 8 || h[0] != 0x06) return false;
        Message m;
        ReadMessage(fd_, m);
        return true;
    }

    void Prelogin(const Message& m, TdsWriter& out) {
        // Find the client's encryption option.
        std::uint8_t clientEncryption = 2;
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
        body.push_back(2);  // encryption not supported
        body.push_back(0);
        body.insert(body.end(), {0, 0, 0, 0});
        body.push_back(0);
        out.Raw(body.data(), body.size());
        out.Finish();
        if (clientEncryption == 1 || clientEncryption == 3) {
            std::fprintf(stderr, "tolvan-sandbox: a client required encryption, which the stand-in does not offer; connection closed\n");
            throw DropConnection{};
        }
    }

    bool Login(const Message& m, TdsWriter& out, std::unique_ptr<Session>& session) {
        Reader r(m.data);
        auto str = [&](size_t at) {
            Reader h(m.data, at);
            const std::uint16_t off = h.U16(), len = h.U16();
            Reader s(m.data, off);
            return s.Utf16(len);
        };
        if (m.data.size() < 94) return false;
        r.U32();
        const std::uint32_t tdsVersion = r.U32();
        const std::uint32_t packetSize = r.U32();
        const std::string user = str(40);
        std::string password;
        {
            Reader h(m.data, 44);
            const std::uint16_t off = h.U16(), len = h.U16();
            std::vector<std::uint8_t> pw(m.data.begin() + std::min<size_t>(off, m.data.size()),
                                         m.data.begin() + std::min<size_t>(off + static_cast<size_t>(len) * 2, m.data.size()));
            for (auto& b : pw) {
                b ^= 0xA5;
                b = static_cast<std::uint8_t>(((b & 0x0F) << 4) | (b >> 4));
            }
            std::u16string w(pw.size() / 2, u'\0');
            std::memcpy(w.data(), pw.data(), w.size() * 2);
            password = Utf16ToUtf8(w.data(), w.size());
        }
        const std::string database = str(68);
        Reader sspi(m.data, 78);
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
        auto s = std::make_unique<Session>(server_, out, [this] { return AttentionPending(); });
        s->SetUser(user);
        std::string error;
        if (!s->Open(database, error)) return fail(4060, 11, error);
        out.EnvChange(1, s->Database(), "");
        out.Message(false, 5701, 2, 0, "Changed database context to '" + s->Database() + "'.", kServerName, "", 1);
        const std::uint8_t collation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};
        out.EnvChangeBytes(7, std::string(reinterpret_cast<const char*>(collation), 5), "");
        out.EnvChange(2, "us_english", "");
        out.Message(false, 5703, 1, 0, "Changed language setting to us_english.", kServerName, "", 1);
        out.LoginAck(kTds74, "Tolvan Sandbox");
        int size = packetSize == 0 ? 4096 : static_cast<int>(packetSize);
        size = std::max(512, std::min(32767, size));
        out.EnvChange(4, std::to_string(size), std::to_string(out.PacketSize()));
        out.Done(kTokenDone, 0, 0, 0);
        out.Finish();
        out.SetPacketSize(size);
        session = std::move(s);
        return true;
    }

    void Rpc(const Message& m, TdsWriter& out, Session& session) {
        Reader r(m.data);
        const std::uint32_t headers = r.U32();
        Reader body(m.data, headers >= 4 && headers <= m.data.size() ? headers : 0);
        const std::uint16_t nameLen = body.U16();
        std::string name;
        int procId = 0;
        if (nameLen == 0xFFFF) procId = body.U16();
        else name = body.Utf16(nameLen);
        body.U16();  // option flags
        std::vector<Session::RpcParam> params;
        while (!body.AtEnd()) {
            Session::RpcParam p;
            if (!ReadParam(body, p)) {
                out.Message(true, 8016, 1, 16, "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol stream is incorrect.", kServerName, "", 1);
                out.Done(kTokenDone, kDoneError, 0, 0);
                return;
            }
            params.push_back(std::move(p));
        }
        session.RunRpc(name, procId, std::move(params));
    }

    int fd_;
    ServerState& server_;
    std::mutex fdMutex_;
    std::atomic<bool> done_{false};
};

struct Options {
    std::string host = "127.0.0.1";
    int port = 1433;
    std::string dataDir;
    std::string saPassword = "Tolvan-2026";
    bool demo = false;
};

void Usage() {
    std::puts(
        "usage: tolvan-sandbox [--host 127.0.0.1] [--port N] [--data-dir DIR] [--sa-password PW] [--demo]\n"
        "A SQL Server stand-in that speaks TDS 7.4 and runs T-SQL on SQLite.\n"
        "  --port 0 picks a free port; the first line printed is 'listening on HOST:PORT'.\n"
        "  --data-dir keeps one SQLite file per database (a temporary folder when absent).\n"
        "  --sa-password sets the password of the login sa (default Tolvan-2026).\n"
        "  --demo creates the database 'demo' with sample tables, views, procedures and functions.\n"
        "Test faults: EXEC sp_sandbox_drop_connection closes the connection at once;\n"
        "EXEC sp_sandbox_drop_after_rows N closes it after N rows of the next result.");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tolvan-sandbox: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--host") o.host = next();
        else if (a == "--port") o.port = std::atoi(next().c_str());
        else if (a == "--data-dir") o.dataDir = next();
        else if (a == "--sa-password") o.saPassword = next();
        else if (a == "--demo") o.demo = true;
        else if (a == "--help" || a == "-h") { Usage(); return 0; }
        else {
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
    try {
        server = std::make_unique<ServerState>(o.dataDir, o.saPassword, kServerName);
        if (o.demo) CreateDemoDatabase(*server);
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
    struct sigaction sa{};
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
        if (cfd < 0) continue;
        ::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_shared<Connection>(cfd, *server);
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
        clients.emplace_back(conn, std::thread([conn] { conn->Run(); }));
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
