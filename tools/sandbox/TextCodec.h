// Text conversions of the wire: UTF-8 inside the stand-in, UTF-16LE and single-byte code pages on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Decodes the UTF-8 sequence at s[i] and moves i past it; malformed input gives U+FFFD.
std::uint32_t NextCodePoint(std::string_view s, size_t& i);
std::u16string Utf8ToUtf16(std::string_view s);
// The UTF-8 bytes of a code point, added to out.
void AppendUtf8(std::string& out, std::uint32_t cp);
// Text escaped for a JSON string (without its quotes): quote, backslash, slash and control characters.
std::string JsonEscaped(std::string_view text);
std::string Utf16ToUtf8(const char16_t* p, size_t n);
// UTF-16LE bytes (an odd last byte is ignored) to UTF-8.
std::string Utf16BytesToUtf8(std::string_view bytes);
// Characters outside CP1252 become '?'.
std::string Utf8ToCp1252(std::string_view s);
std::string Cp1252ToUtf8(std::string_view s);
// The same for any single-byte Windows or DOS code page (1250-1258, 874, 437, 850) and the
// double-byte Asian ones (932, 936, 949, 950), where a character takes one or two bytes.
std::string Utf8ToCodePage(std::string_view s, int codePage);
std::string CodePageToUtf8(std::string_view s, int codePage);
bool IsDoubleByteCodePage(int codePage);
