#include "uDbBatches.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"
#include "uNbText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

const char* const kDebugTemplate =
    "begin try   print 'DEBUG MODE ON';   %s; end try begin catch   select '' as SQL_ERROR_TRAPPED,          error_number() as Errno,"
    "          error_severity() as Severity,          error_state() as State,          error_procedure() as [Procedure],"
    "          error_line() as Line,          error_message() as Message end catch ";

std::string TakeLine(std::string& text) {
    const size_t p = text.find("\r\n");
    std::string line;
    if (p == std::string::npos) {
        line.swap(text);
    } else {
        line = text.substr(0, p + 2);
        text.erase(0, p + 2);
    }
    return line;
}

std::string NextBatch(std::string_view text, size_t& pos) {
    std::string batch;
    while (pos < text.size()) {
        const size_t p = text.find("\r\n", pos);
        const size_t end = p == std::string::npos ? text.size() : p + 2;
        if (end - pos == 4 && text.compare(pos, 4, "GO\r\n") == 0) {
            pos = end;
            break;
        }
        batch.append(text, pos, end - pos);
        pos = end;
    }
    return batch;
}

namespace {

// The first CR or LF from pos: vectorised searches for each over a window that doubles, so that
// a long line costs one pass and text without any LF (CR endings) is not searched to its end for
// every line.
size_t FindLineBreak(std::string_view text, size_t pos) {
    for (size_t window = 256; pos < text.size(); pos += window, window *= 2) {
        const std::string_view w = text.substr(pos, window);
        const void* lf = std::memchr(w.data(), '\n', w.size());
        const size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - w.data()) : w.size();
        if (const void* cr = std::memchr(w.data(), '\r', n)) return pos + static_cast<size_t>(static_cast<const char*>(cr) - w.data());
        if (lf) return pos + n;
    }
    return std::string_view::npos;
}

}  // namespace

std::string NextBatchAnyLineEnd(std::string_view text, size_t& pos) {
    std::string batch;
    while (pos < text.size()) {
        const size_t p = FindLineBreak(text, pos);
        const size_t lineEnd = p == std::string::npos ? text.size() : p;
        size_t next = lineEnd;
        if (p != std::string::npos) next += text[p] == '\r' && p + 1 < text.size() && text[p + 1] == '\n' ? 2 : 1;
        const std::string_view line = text.substr(pos, lineEnd - pos);
        pos = next;
        if (p != std::string::npos && line == "GO") break;
        batch.append(line);
        if (p != std::string::npos) batch += "\r\n";
    }
    return batch;
}

std::string TakeNextBatch(std::string& text) {
    size_t pos = 0;
    std::string batch = NextBatch(text, pos);
    text.erase(0, pos);
    return batch;
}

std::string WrapDebugBatch(const std::string& batch, bool debug) {
    if (!debug) return batch;
    std::string out = kDebugTemplate;
    out.replace(out.find("%s"), 2, batch);
    return out;
}

std::string CrLfText(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 16);
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\r' && s[i] != '\n') continue;
        out.append(s, start, i - start);
        out += "\r\n";
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        start = i + 1;
    }
    out.append(s, start, std::string_view::npos);
    return out;
}

namespace {

[[noreturn]] void BadText(const char* what, int line) { throw EConvertError(NbFormat("The file %s (line %d).", what, line)); }

int LineAt(std::string_view s, size_t i) { return 1 + static_cast<int>(std::count(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i), '\n')); }

// Checks UTF-8 and NULs; the line of the first fault is named. Plain ASCII, the common case, is
// passed over eight bytes at a time.
void CheckUtf8(std::string_view s) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    for (size_t i = 0; i < s.size();) {
        if (i + 8 <= s.size()) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            // No byte with its high bit set and no zero byte among the eight.
            if (((w | ((w - kOnes) & ~w)) & kHighs) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == 0) BadText("holds a NUL character", LineAt(s, i));
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > s.size()) BadText("is not valid UTF-8", LineAt(s, i));
        char32_t cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) BadText("is not valid UTF-8", LineAt(s, i));
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) BadText("is not valid UTF-8", LineAt(s, i));
        i += len;
    }
}

std::string FromUtf16Bytes(std::string_view s, bool bigEndian) {
    if (s.size() % 2) BadText("is not valid UTF-16", 1 + static_cast<int>(std::count(s.begin(), s.end(), '\n')));
    std::string out;
    out.reserve(s.size());
    int line = 1;
    auto unit = [&](size_t i) -> char32_t {
        const unsigned char a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
        return bigEndian ? (static_cast<char32_t>(a) << 8 | b) : (static_cast<char32_t>(b) << 8 | a);
    };
    for (size_t i = 0; i < s.size(); i += 2) {
        char32_t cp = unit(i);
        if (cp == 0) BadText("holds a NUL character", line);
        if (cp == '\n') ++line;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= s.size()) BadText("is not valid UTF-16", line);
            const char32_t lo = unit(i + 2);
            if (lo < 0xDC00 || lo > 0xDFFF) BadText("is not valid UTF-16", line);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            BadText("is not valid UTF-16", line);
        }
        NbAppendUtf8(out, cp);
    }
    return out;
}

}  // namespace

std::string DecodeScriptBytes(std::string bytes) {
    const std::string_view head(bytes.data(), std::min<size_t>(bytes.size(), 3));
    if (head.substr(0, 2) == "\xFF\xFE") return FromUtf16Bytes(std::string_view(bytes).substr(2), false);
    if (head.substr(0, 2) == "\xFE\xFF") return FromUtf16Bytes(std::string_view(bytes).substr(2), true);
    const size_t mark = head == "\xEF\xBB\xBF" ? 3 : 0;
    CheckUtf8(std::string_view(bytes).substr(mark));
    bytes.erase(0, mark);
    return bytes;
}
