#include "TextCodec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

// Decodes the UTF-8 sequence at s[i] and moves i past it. A byte that cannot start a sequence gives
// U+FFFD and moves one byte; a sequence cut short by the end gives U+FFFD and moves to the end.
std::uint32_t NextCodePoint(std::string_view s, size_t& i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    size_t extra;
    if (c < 0x80) {
        cp = c;
        extra = 0;
    } else if ((c >> 5) == 6) {
        cp = c & 0x1F;
        extra = 1;
    } else if ((c >> 4) == 14) {
        cp = c & 0x0F;
        extra = 2;
    } else if ((c >> 3) == 30) {
        cp = c & 0x07;
        extra = 3;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + extra >= s.size()) {
        i = s.size();
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += extra + 1;
    return cp;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        std::uint32_t cp = NextCodePoint(s, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* p, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        std::uint32_t cp = p[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(p[i + 1]) - 0xDC00);
            ++i;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string JsonEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string Utf8ToCp1252(std::string_view s) {
    static const std::pair<char16_t, unsigned char> kHigh[] = {
        {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85}, {0x2020, 0x86}, {0x2021, 0x87},
        {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A}, {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91},
        {0x2019, 0x92}, {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97}, {0x02DC, 0x98},
        {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C}, {0x017E, 0x9E}, {0x0178, 0x9F}};
    bool ascii = true;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (ascii) return std::string(s);
    std::string out;
    for (char16_t c : Utf8ToUtf16(s)) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (auto [u, b] : kHigh)
            if (u == c) mapped = static_cast<char>(b);
        out += mapped;
    }
    return out;
}

std::string Utf16BytesToUtf8(std::string_view bytes) {
    if (bytes.size() < 2) return {};
    std::u16string w(bytes.size() / 2, u'\0');
    std::memcpy(w.data(), bytes.data(), w.size() * 2);
    return Utf16ToUtf8(w.data(), w.size());
}

// Latin-1 bytes as UTF-8 (the CP1252 letters in 0x80-0x9F are taken as their Latin-1 code points).
std::string Cp1252ToUtf8(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

// A single-byte code page both ways, read once from the system's iconv.
struct CodePage {
    char32_t toUnicode[256] = {};  // 0: a byte the code page leaves undefined
    std::unordered_map<char32_t, unsigned char> fromUnicode;
};

const CodePage* CodePageTable(int codePage) {
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<CodePage>> tables;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = tables.find(codePage);
    if (it != tables.end()) return it->second.get();
    auto table = std::make_unique<CodePage>();
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-32LE", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        tables[codePage] = nullptr;
        return nullptr;
    }
    for (int b = 0; b < 256; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(b), out[16];
        char* pin = &in;
        char* pout = out;
        size_t inLeft = 1, outLeft = sizeof out;
        if (iconv(cd, &pin, &inLeft, &pout, &outLeft) == static_cast<size_t>(-1)) continue;
        iconv(cd, nullptr, nullptr, &pout, &outLeft);  // a code page that waits for a combining mark
        if (sizeof out - outLeft != 4) continue;
        char32_t u;
        std::memcpy(&u, out, 4);
        table->toUnicode[b] = u;
        table->fromUnicode.emplace(u, static_cast<unsigned char>(b));
    }
    iconv_close(cd);
    return (tables[codePage] = std::move(table)).get();
}

// The converters a thread has opened, closed when it ends.
struct Converters {
    std::map<std::pair<std::string, std::string>, iconv_t> open;
    Converters() = default;
    Converters(const Converters&) = delete;
    Converters& operator=(const Converters&) = delete;
    ~Converters() {
        for (auto& entry : open)
            if (entry.second != reinterpret_cast<iconv_t>(-1)) iconv_close(entry.second);
    }
};

// A converter of the system's iconv for this thread, kept open; nullptr when iconv lacks it.
iconv_t Converter(const std::string& to, const std::string& from) {
    thread_local Converters converters;
    auto& open = converters.open;
    auto it = open.find({to, from});
    if (it == open.end()) {
        iconv_t cd = iconv_open(to.c_str(), from.c_str());
        it = open.emplace(std::make_pair(to, from), cd).first;
    }
    return it->second == reinterpret_cast<iconv_t>(-1) ? nullptr : it->second;
}

// One character's bytes in a double-byte code page; empty when the code page lacks it.
std::string DoubleByteChar(iconv_t cd, std::string_view utf8) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* pin = const_cast<char*>(utf8.data());
    char* pout = out;
    size_t inLeft = utf8.size(), outLeft = sizeof out;
    if (iconv(cd, &pin, &inLeft, &pout, &outLeft) == static_cast<size_t>(-1)) return {};
    return std::string(out, sizeof out - outLeft);
}

std::string Utf8ToDoubleByte(std::string_view s, int codePage) {
    iconv_t cd = Converter("CP" + std::to_string(codePage), "UTF-8");
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t from = i;
        const std::uint32_t cp = NextCodePoint(s, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        const std::string bytes = cd ? DoubleByteChar(cd, s.substr(from, i - from)) : std::string();
        out += bytes.empty() ? std::string("?") : bytes;
    }
    return out;
}

std::string DoubleByteToUtf8(std::string_view s, int codePage) {
    iconv_t cd = Converter("UTF-8", "CP" + std::to_string(codePage));
    std::string out;
    out.reserve(s.size() * 2);
    char buf[256];
    char* pin = const_cast<char*>(s.data());
    size_t inLeft = s.size();
    if (cd) iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (!cd) {
            out += static_cast<unsigned char>(*pin) < 0x80 ? *pin : '?';
            ++pin, --inLeft;
            continue;
        }
        char* pout = buf;
        size_t outLeft = sizeof buf;
        const size_t r = iconv(cd, &pin, &inLeft, &pout, &outLeft);
        out.append(buf, sizeof buf - outLeft);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte the code page leaves undefined, or a lead byte without its second.
            out += '?';
            ++pin, --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

bool IsDoubleByteCodePage(int codePage) { return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950; }

std::string Utf8ToCodePage(std::string_view s, int codePage) {
    if (codePage == 1252) return Utf8ToCp1252(s);
    if (IsDoubleByteCodePage(codePage)) return Utf8ToDoubleByte(s, codePage);
    bool ascii = true;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    const CodePage* table = ascii ? nullptr : CodePageTable(codePage);
    if (!table) return ascii ? std::string(s) : Utf8ToCp1252(s);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const char32_t cp = NextCodePoint(s, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        auto it = table->fromUnicode.find(cp);
        out += it == table->fromUnicode.end() ? '?' : static_cast<char>(it->second);
    }
    return out;
}

std::string CodePageToUtf8(std::string_view s, int codePage) {
    if (IsDoubleByteCodePage(codePage)) return DoubleByteToUtf8(s, codePage);
    const CodePage* table = codePage == 1252 ? nullptr : CodePageTable(codePage);
    if (!table) return Cp1252ToUtf8(s);
    std::u16string w;
    w.reserve(s.size());
    for (unsigned char c : s) {
        const char32_t u = c < 0x80 ? c : table->toUnicode[c];
        if (u == 0 && c != 0)
            w.push_back(u'?');
        else if (u >= 0x10000) {
            w.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
            w.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
        } else
            w.push_back(static_cast<char16_t>(u));
    }
    return Utf16ToUtf8(w.data(), w.size());
}
