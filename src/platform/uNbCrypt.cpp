#include "uNbCrypt.h"

#include "uNbExceptions.h"
#include "uNbFolders.h"
#include "uNbFormat.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr std::string_view HexDigits = "0123456789ABCDEF";
using TKey = std::array<unsigned char, crypto_secretbox_KEYBYTES>;

// Holds the key in memory that is wiped when it goes.
struct TKeyHolder {
    TKey Key{};
    ~TKeyHolder() { sodium_memzero(Key.data(), Key.size()); }
};

std::string Octal(unsigned mode) {
    std::string s;
    for (int shift = 9; shift >= 0; shift -= 3) s += static_cast<char>('0' + ((mode >> shift) & 7));
    return s;
}

void InitSodium() {
    if (sodium_init() < 0) throw EInOutError("The encryption library could not be initialized");
}

// Reads the key file. Returns false when it does not exist; refuses (raises) one that is not a
// private regular file of this user with exactly the key's size, so it is never used or replaced.
bool ReadKey(const std::string& path, TKey& key) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw EInOutError(NbFormat("Cannot read the protection key %s: %s", path, std::strerror(errno)));
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw EInOutError(NbFormat("The protection key %s is not a regular file", path));
    if (st.st_uid != geteuid()) throw EInOutError(NbFormat("The protection key %s belongs to another user", path));
    if ((st.st_mode & 077) != 0)
        throw EInOutError(
            NbFormat("The protection key %s has the permissions %s; only its owner may read it (0600)", path, Octal(st.st_mode & 0777)));
    if (st.st_size != static_cast<off_t>(key.size()))
        throw EInOutError(
            NbFormat("The protection key %s has %d bytes instead of %d", path, static_cast<long long>(st.st_size), key.size()));
    size_t got = 0;
    while (got < key.size()) {
        const ssize_t n = read(fd, key.data() + got, key.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw EInOutError(NbFormat("Cannot read the protection key %s", path));
        got += static_cast<size_t>(n);
    }
    return true;
}

// Writes a new random key under a temporary name and links it into place, so that the key file
// never exists half-written and two programs creating it at once end up with the same key.
void CreateKey(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    NbForceFolders(folder, 0700);
    // The folder may have been made earlier by something else (the stand-in keeps its data there).
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0) chmod(folder.c_str(), 0700);
    TKeyHolder fresh;
    randombytes_buf(fresh.Key.data(), fresh.Key.size());
    std::string temp = folder + "/.protect.key.XXXXXX";
    const int fd = mkstemp(temp.data());  // mode 0600
    if (fd < 0) throw EInOutError(NbFormat("Cannot create the protection key in %s: %s", folder, std::strerror(errno)));
    bool ok = write(fd, fresh.Key.data(), fresh.Key.size()) == static_cast<ssize_t>(fresh.Key.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    const int linkError = ok && link(temp.c_str(), path.c_str()) != 0 ? errno : 0;
    unlink(temp.c_str());
    if (!ok || (linkError != 0 && linkError != EEXIST))
        throw EInOutError(NbFormat("Cannot create the protection key %s: %s", path, std::strerror(ok ? linkError : errno)));
}

void LoadKey(TKey& key, bool create) {
    InitSodium();
    const std::string path = NbProtectKeyPath();
    if (ReadKey(path, key)) return;
    if (!create) throw EInOutError(NbFormat("The protection key %s does not exist", path));
    CreateKey(path);
    if (!ReadKey(path, key)) throw EInOutError(NbFormat("Cannot read the protection key %s", path));
}

std::string ToHex(const unsigned char* data, size_t size) {
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s += HexDigits[data[i] >> 4];
        s += HexDigits[data[i] & 15];
    }
    return s;
}

// The ordinary integer conversion: an optional sign, then decimal digits, or hex digits after "$"
// or "0x"; the value must fit 32 bits.
int StrToInt(std::string_view s) {
    const std::string shown(s);
    const auto fail = [&] { return EConvertError(NbFormat("'%s' is not a valid integer value", shown)); };
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) throw fail();
    long long value = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            throw fail();
        value = value * base + d;
        if (value > static_cast<long long>(INT_MAX) + 1) throw fail();
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) throw fail();
    return static_cast<int>(value);
}

}  // namespace

std::string NbProtectKeyPath() { return NbUserDataFolder() + "/Merivane/protect.key"; }

std::string NbProtect(const std::string& plain) {
    if (plain.empty()) return {};
    TKeyHolder k;
    LoadKey(k.Key, true);
    std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size());
    unsigned char* nonce = box.data();
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), nonce,
                          k.Key.data());
    return std::string(NbProtectedPrefix) + ToHex(box.data(), box.size());
}

std::string NbUnprotect(const std::string& stored) {
    if (stored.empty()) return {};
    if (!stored.starts_with(NbProtectedPrefix)) {
        try {
            return NbDollarHexDecode(stored);
        } catch (const std::exception&) {
            return {};
        }
    }
    const std::vector<std::uint8_t> box = NbHexToBytes(std::string_view(stored).substr(NbProtectedPrefix.size()));
    TKeyHolder k;
    try {
        LoadKey(k.Key, false);
    } catch (const EInOutError& e) {
        throw EConvertError("Error reading: " + e.Message());
    }
    constexpr size_t overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (box.size() < overhead) throw EConvertError("Error reading: the protected data is too short");
    std::string plain(box.size() - overhead, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()), box.data() + crypto_secretbox_NONCEBYTES,
                                   box.size() - crypto_secretbox_NONCEBYTES, box.data(), k.Key.data()) != 0)
        throw EConvertError("Error reading: the data was protected with another key or is damaged");
    return plain;
}

std::string NbDollarHexEncode(std::string_view text) {
    std::string s;
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        s += '$';
        if (b >= 16) s += HexDigits[b >> 4];
        s += HexDigits[b & 15];
    }
    return s;
}

std::string NbDollarHexDecode(std::string_view text) {
    // Tokens run up to the next "$"; the "$" appended at the end closes the last one. A token of
    // one character is not converted but carried into the next.
    const std::string input = std::string(text) + '$';
    std::string result, token;
    for (const char c : input) {
        if (c == '$' && token.size() > 1) {
            result += static_cast<char>(static_cast<unsigned char>(StrToInt(token) & 0xFF));
            token.clear();
        }
        token += c;
    }
    return result;
}

std::uint8_t NbHexToByte(std::string_view text) {
    if (text.size() == 2) {
        const size_t hi = HexDigits.find(text[0]), lo = HexDigits.find(text[1]);
        if (hi != std::string_view::npos && lo != std::string_view::npos) return static_cast<std::uint8_t>(hi * 16 + lo);
    }
    throw EConvertError(NbFormat("%s is not a Hexformatstring", text));
}

std::vector<std::uint8_t> NbHexToBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = NbHexToByte(text.substr(i * 2, 2));
    return bytes;
}
