// Protected passwords and the hex texts under them.
#include "platform_fixture.h"
#include "uNbCrypt.h"
#include "uNbExceptions.h"

#include <sys/stat.h>

#include <functional>

namespace fs = std::filesystem;

namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "(no EConvertError)";
}

}  // namespace

TEST(DollarHex, EncodeAndDecode) {
    struct Case {
        std::string plain, encoded;
    };
    for (const Case& c : {Case{"abc", "$61$62$63"}, Case{"\n", "$A"}, Case{std::string(1, '\0'), "$0"}, Case{"\xFF\x10", "$FF$10"},
                          Case{"", ""}, Case{"\xC3\xA4;}", "$C3$A4$3B$7D"}}) {
        EXPECT_EQ(NbDollarHexEncode(c.plain), c.encoded) << c.encoded;
        EXPECT_EQ(NbDollarHexDecode(c.encoded), c.plain) << c.encoded;
    }
    // Tokens are read by the ordinary integer conversion: decimal unless they start with "$".
    EXPECT_EQ(NbDollarHexDecode("65$42"), "AB");
    EXPECT_EQ(NbDollarHexDecode("$0a"), "\n");
    for (const char* bad : {"abc", "$6G", "$$41", "$-"}) EXPECT_THROW(NbDollarHexDecode(bad), EConvertError) << bad;
}

TEST(HexToBytes, DigitsAndErrors) {
    EXPECT_EQ(NbHexToByte("00"), 0);
    EXPECT_EQ(NbHexToByte("A0"), 160);
    EXPECT_EQ(NbHexToByte("FF"), 255);
    EXPECT_EQ(NbHexToBytes("0A0B"), (std::vector<std::uint8_t>{10, 11}));
    EXPECT_EQ(NbHexToBytes("0A0"), (std::vector<std::uint8_t>{10}));  // an odd last digit is ignored
    for (const char* bad : {"ff", "F", "FFF", "G0", "", " 1"})
        EXPECT_EQ(ErrorOf([&] { NbHexToByte(bad); }), std::string(bad) + " is not a Hexformatstring") << bad;
    EXPECT_EQ(ErrorOf([] { NbHexToBytes("0A0b"); }), "0b is not a Hexformatstring");
}

TEST_F(PlatformTest, ProtectRoundTrip) {
    EXPECT_EQ(NbProtect(""), "");
    EXPECT_EQ(NbUnprotect(""), "");
    for (const std::string& plain :
         std::vector<std::string>{"secret", "a;b", "}", "p\xC3\xA4ss \xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xE5\xAF\x86",
                                  "=\"quoted\", with comma", std::string("nul\0inside", 10)}) {
        const std::string stored = NbProtect(plain);
        ASSERT_TRUE(stored.starts_with("\x03\x04")) << plain;
        const std::string hex = stored.substr(2);
        EXPECT_EQ(hex.size() % 2, 0u);
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << hex;
        EXPECT_EQ(hex.find(NbDollarHexEncode(plain)), std::string::npos);
        EXPECT_EQ(NbUnprotect(stored), plain);
        EXPECT_NE(NbProtect(plain), stored) << "a fresh nonce every time";
    }
    // Texts stored reversibly by someone else are still read; damaged ones read as empty.
    EXPECT_EQ(NbUnprotect("$61$62$63"), "abc");
    EXPECT_EQ(NbUnprotect("abc"), "");
}

TEST_F(PlatformTest, DamagedOrForeignProtectedText) {
    const std::string stored = NbProtect("secret");
    std::string lower = stored;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(ErrorOf([&] { NbUnprotect(lower); }).ends_with(" is not a Hexformatstring"));

    std::string flipped = stored;
    flipped.back() = flipped.back() == '0' ? '1' : '0';
    EXPECT_TRUE(ErrorOf([&] { NbUnprotect(flipped); }).starts_with("Error reading: "));
    EXPECT_TRUE(ErrorOf([&] {
                    NbUnprotect(
                        "\x03\x04"
                        "0011");
                }).starts_with("Error reading: "));

    // Another user: another key file.
    PointAt(root + "/other");
    EXPECT_TRUE(ErrorOf([&] { NbUnprotect(stored); }).starts_with("Error reading: ")) << "no key at all";
    EXPECT_EQ(NbUnprotect(NbProtect("theirs")), "theirs");
    EXPECT_EQ(ErrorOf([&] { NbUnprotect(stored); }), "Error reading: the data was protected with another key or is damaged");
}

TEST_F(PlatformTest, KeyFileIsPrivateAndRefusedOtherwise) {
    const std::string key = root + "/data/Merivane/protect.key";
    EXPECT_EQ(NbProtectKeyPath(), key);
    ASSERT_FALSE(fs::exists(key));
    fs::create_directories(root + "/data/Merivane/Tolvan");
    chmod((root + "/data/Merivane").c_str(), 0755);
    const std::string stored = NbProtect("secret");
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    ASSERT_EQ(stat((root + "/data/Merivane").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    for (const auto& entry : fs::directory_iterator(root + "/data/Merivane"))  // no temporary file left
        EXPECT_TRUE(entry.path().filename() == "protect.key" || entry.path().filename() == "Tolvan") << entry.path();

    const std::string original = ReadFile(key);
    chmod(key.c_str(), 0644);
    try {
        NbProtect("x");
        ADD_FAILURE() << "a readable key was used";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "The protection key " + key + " has the permissions 0644; only its owner may read it (0600)");
    }
    EXPECT_TRUE(ErrorOf([&] { NbUnprotect(stored); }).starts_with("Error reading: The protection key "));

    WriteFile(key, original.substr(0, 31));
    chmod(key.c_str(), 0600);
    EXPECT_THROW(NbProtect("x"), EInOutError);
    EXPECT_EQ(ReadFile(key), original.substr(0, 31)) << "never overwritten";

    WriteFile(key, original);
    EXPECT_EQ(NbUnprotect(stored), "secret");
}
