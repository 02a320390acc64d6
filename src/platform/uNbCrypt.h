// Protecting short secrets (remembered passwords) for storage in the settings, and the hex texts
// used for it. The protected form can be read back only with this user's key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The prefix of a protected text: the characters with codes 3 and 4.
inline constexpr std::string_view NbProtectedPrefix = "\x03\x04";

// Empty stays empty; anything else becomes the prefix followed by upper-case hex of a nonce and the
// encrypted text. Raises EInOutError when the user's key cannot be read or created.
std::string NbProtect(const std::string& plain);
// The reverse of NbProtect. A text without the prefix is read as dollar-hex (empty if that fails).
// Raises EConvertError "Error reading: %s" when the data does not open with this user's key, and
// "%s is not a Hexformatstring" for a damaged hex part.
std::string NbUnprotect(const std::string& stored);

// "$" and the upper-case hex of each byte without a leading zero: "abc" gives "$61$62$63".
std::string NbDollarHexEncode(std::string_view text);
// The reverse of NbDollarHexEncode; raises EConvertError for a token that is not a number.
std::string NbDollarHexDecode(std::string_view text);

// Two characters of "0123456789ABCDEF" to their byte value; raises EConvertError otherwise.
std::uint8_t NbHexToByte(std::string_view text);
// Pairs of hex digits to bytes; an odd last character is ignored.
std::vector<std::uint8_t> NbHexToBytes(std::string_view text);

// Where the user's key lives: $XDG_DATA_HOME/Merivane/protect.key (default ~/.local/share).
std::string NbProtectKeyPath();
