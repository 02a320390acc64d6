// Small text helpers shared by every layer: trimming and ASCII case-insensitive comparison.
#pragma once

#include <string>
#include <string_view>

// Without leading and trailing blanks and control characters (codes up to 32).
inline std::string_view NbTrim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
    return s;
}

inline char NbUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Equal when only the case of ASCII letters differs.
inline bool NbSameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (NbUpperAscii(a[i]) != NbUpperAscii(b[i])) return false;
    return true;
}

inline bool NbStartsWithText(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && NbSameText(s.substr(0, prefix.size()), prefix);
}

inline std::string NbUpperText(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = NbUpperAscii(c);
    return out;
}

// Appends one code point as UTF-8 (1 to 4 bytes).
inline void NbAppendUtf8(std::string& out, char32_t cp) {
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
