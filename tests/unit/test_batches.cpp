#include "uDbAccess.h"
#include "uDbBatches.h"
#include "uDbOdbc.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <optional>
#include <tuple>
#include <vector>

namespace {

std::vector<std::string> AllBatches(std::string text) {
    std::vector<std::string> out;
    while (!text.empty()) out.push_back(TakeNextBatch(text));
    return out;
}

TEST(Batches, SplitAtGoLines) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> batches;
    };
    const Case cases[] = {
        {"two statements", "select 1\r\nGO\r\nselect 2\r\n", {"select 1\r\n", "select 2\r\n"}},
        {"no separator", "select 1\r\nselect 2\r\n", {"select 1\r\nselect 2\r\n"}},
        {"not separators", "a\r\ngo\r\n GO\r\nGO \r\nGO;\r\nGo\r\n", {"a\r\ngo\r\n GO\r\nGO \r\nGO;\r\nGo\r\n"}},
        {"last GO without line break stays", "select 1\r\nGO", {"select 1\r\nGO"}},
        {"leading separator gives an empty batch", "GO\r\nselect 1\r\n", {"", "select 1\r\n"}},
        {"two separators in a row", "a\r\nGO\r\nGO\r\nb\r\n", {"a\r\n", "", "b\r\n"}},
        {"lone LF is not a line end", "a\nGO\nb\r\n", {"a\nGO\nb\r\n"}},
    };
    for (const auto& c : cases) EXPECT_EQ(AllBatches(c.text), c.batches) << c.name;

    // The run loop's walk over text with any line endings gives what the walk over the text made
    // CR LF gives, including lines far longer than one search window and CR-only text.
    const std::string texts[] = {
        "a\nGO\nb\rGO\rc\r\nGO\r\nd",
        "select 1\nGO\n\nGO",
        "x\r\r\nGO\n\rGO\r",
        std::string(5000, 'x') + "\nGO\n" + std::string(300, 'y') + "\r" + std::string(70000, 'z') + "\rGO\r",
        "GO",
        "",
    };
    for (const std::string& t : texts) {
        const std::string crlf = CrLfText(t);
        std::vector<std::string> want, got;
        for (size_t pos = 0; pos < crlf.size();) want.push_back(NextBatch(crlf, pos));
        for (size_t pos = 0; pos < t.size();) got.push_back(NextBatchAnyLineEnd(t, pos));
        EXPECT_EQ(got, want) << t.substr(0, 40);
    }

    std::string text = "one\r\ntwo";
    EXPECT_EQ(TakeLine(text), "one\r\n");
    EXPECT_EQ(TakeLine(text), "two");
    EXPECT_EQ(text, "");
}

TEST(Batches, DebugTemplate) {
    EXPECT_EQ(WrapDebugBatch("select 1\r\n", false), "select 1\r\n");
    const std::string wrapped = WrapDebugBatch("select '%d'\r\n", true);
    EXPECT_EQ(
        wrapped.rfind("begin try   print 'DEBUG MODE ON';   select '%d'\r\n; end try begin catch   select '' as SQL_ERROR_TRAPPED,", 0),
        0u);
    EXPECT_EQ(wrapped.substr(wrapped.size() - 37), "error_message() as Message end catch ");
}

// The encryption options: absent from the OLE DB text when off, read back when on, and each
// driver's keywords.
TEST(ConnectionString, EncryptionOptions) {
    TDbConnectionParams p;
    p.Server = "srv,1500";
    p.UserId = "sa";
    p.Password = "pw;Use Encryption for Data=True;";  // the option's text inside a password is not the option
    const std::string plain = OleDbConnectionString(p);
    EXPECT_EQ(
        plain,
        "Provider=SQLOLEDB.1;User ID=sa;Password=pw;Use Encryption for Data=True;;Data Source=srv,1500;Initial Catalog=master;Persist "
        "Security Info=True;");
    EXPECT_FALSE(ParseOleDbConnectionString(plain).Encrypt);
    EXPECT_EQ(ParseOleDbConnectionString(plain).Password, p.Password);
    EXPECT_EQ(BuildOdbcConnectionString(ParseOleDbConnectionString(plain), "FreeTDS").find("Encryption={"), std::string::npos);

    p.Password = "pw";
    p.Encrypt = true;
    EXPECT_EQ(OleDbConnectionString(p),
              "Provider=SQLOLEDB.1;User ID=sa;Password=pw;Data Source=srv,1500;Initial Catalog=master;Persist Security "
              "Info=True;Use Encryption for Data=True;");
    p.TrustServerCertificate = true;
    const std::string both = OleDbConnectionString(p);
    EXPECT_EQ(both,
              "Provider=SQLOLEDB.1;User ID=sa;Password=pw;Data Source=srv,1500;Initial Catalog=master;Persist Security "
              "Info=True;Use Encryption for Data=True;Trust Server Certificate=True;");
    const TDbConnectionParams back = ParseOleDbConnectionString(both);
    EXPECT_TRUE(back.Encrypt);
    EXPECT_TRUE(back.TrustServerCertificate);
    EXPECT_EQ(back.Server, "srv,1500");
    EXPECT_EQ(back.Password, "pw");

    EXPECT_EQ(BuildOdbcConnectionString(back, "FreeTDS"),
              "Driver={FreeTDS};Server={srv};Port={1500};UID={sa};PWD={pw};Database={master};Encryption={require};TDS_Version={7.4};"
              "ClientCharset={UTF-8};PacketSize={32767};");
    EXPECT_EQ(BuildOdbcConnectionString(back, "FreeTDS", "checked"),
              "Driver={FreeTDS};Servername={checked};UID={sa};PWD={pw};Database={master};Encryption={require};TDS_Version={7.4};"
              "ClientCharset={UTF-8};PacketSize={32767};");
    EXPECT_EQ(BuildOdbcConnectionString(back, "ODBC Driver 18 for SQL Server"),
              "Driver={ODBC Driver 18 for SQL Server};Server={srv,1500};UID={sa};PWD={pw};Database={master};Encrypt={yes};"
              "TrustServerCertificate={yes};");
    TDbConnectionParams unencrypted = back;
    unencrypted.Encrypt = unencrypted.TrustServerCertificate = false;
    EXPECT_EQ(BuildOdbcConnectionString(unencrypted, "ODBC Driver 17 for SQL Server"),
              "Driver={ODBC Driver 17 for SQL Server};Server={srv,1500};UID={sa};PWD={pw};Database={master};Encrypt={no};");
}

// Text for the driver: UTF-8 to UTF-16 with surrogate pairs, and malformed input refused whole.
TEST(ConnectionString, TextToUtf16) {
    const struct {
        std::string in;
        std::optional<std::u16string> out;
    } cases[] = {
        {"", u""},
        {"select 1", u"select 1"},
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x98\x83 \xF0\x9D\x84\x9E!", u"Gr\u00FC\u00DFe \u2603 \U0001D11E!"},
        {"x\xC3", std::nullopt},              // cut short
        {"\xC0\xAF", std::nullopt},          // overlong
        {"\xED\xA0\x80", std::nullopt},      // a surrogate written in UTF-8
        {"\xF4\x90\x80\x80", std::nullopt},  // past U+10FFFF
        {"a\x80" "b", std::nullopt},
        {"0123456789abcdef\xC3\xBCxyz01234567", u"0123456789abcdef\u00FCxyz01234567"},  // past whole ASCII blocks
        {"0123456789\x80", std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.out) {
            EXPECT_EQ(ToUtf16(c.in, "SQL text"), *c.out) << c.in;
        } else {
            try {
                ToUtf16(c.in, "SQL text");
                ADD_FAILURE() << "accepted " << c.in;
            } catch (const EDbError& e) {
                EXPECT_EQ(e.Message(), "The SQL text is not valid UTF-8.");
            }
        }
    }
}

// The process's own converters for the driver's pairs answer as the C library's do: the same
// output, the same error, the input and output left at the same places, for whole, cut, malformed
// and surrogate input, with output space from none to enough.
TEST(ConnectionString, TextConvertersMatchTheCLibrary) {
    using Open = iconv_t (*)(const char*, const char*);
    using Conv = size_t (*)(iconv_t, char**, size_t*, char**, size_t*);
    using Close = int (*)(iconv_t);
    const auto libOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "iconv_open"));
    const auto libConv = reinterpret_cast<Conv>(dlsym(RTLD_NEXT, "iconv"));
    const auto libClose = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "iconv_close"));
    ASSERT_TRUE(libOpen && libConv && libClose);
    // What the driver's own lookups find.
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "iconv"), reinterpret_cast<void*>(&iconv));
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "iconv_open"), reinterpret_cast<void*>(&iconv_open));
    const auto utf16le = [](std::u16string_view text) {
        std::string bytes;
        for (char16_t u : text) {
            bytes += static_cast<char>(u & 0xFF);
            bytes += static_cast<char>(u >> 8);
        }
        return bytes;
    };
    std::string allBytes;
    for (int b = 1; b < 256; ++b) allBytes += static_cast<char>(b);
    const struct {
        const char* to;
        const char* from;
        std::vector<std::string> inputs;
    } pairs[] = {
        {"UTF-16LE", "UTF-8",
         {"", "select 1", std::string(40, 'x') + "\xC3\xA4" + std::string(9, 'y'), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80!",
          "abc\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x80", "\xED\xA0\x80", "\xED\x9F\xBF", "\xF4\x90\x80\x80",
          "\xF4\x8F\xBF\xBF", "\xF5\x80\x80\x80", "\xF0\x80\x80\x80", "\xF5\x80", "\xF8\x88\x80\x80\x80", "\xF8\x80\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80", "\xFE", "\xFF", "a\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xE2\x28\xA1", "12345678\xC3\xA4"}},
        {"UTF-8", "UTF-16LE",
         {"", std::string("a\0", 2), std::string("\xE4\0\xAC\x20", 4), std::string("\x3D\xD8\x00\xDE", 4), std::string("\x3D\xD8", 2),
          std::string("\x3D\xD8\x41\x00", 4), std::string("\x00\xDE", 2), std::string("a\0b", 3), std::string("\xFF\xFF\x00\x08", 4),
          utf16le(u"0123456789abcdefghij\u00E4klmnopqrstuvw\u20AC"), utf16le(u"0123456789") + std::string("\x00\xDC", 2)}},
        {"UTF-8", "CP1252", {"", "plain", "\x80\x9F \xE4\xFF", "0123456789abcdefghij\x80klmnopqrstuvwxyz", allBytes}},
    };
    for (const auto& pair : pairs) {
        const iconv_t ours = iconv_open(pair.to, pair.from);
        const iconv_t lib = libOpen(pair.to, pair.from);
        ASSERT_NE(lib, reinterpret_cast<iconv_t>(-1)) << pair.from;
        for (const std::string& input : pair.inputs) {
            // CP1252 byte by byte too, so every byte's answer is compared on its own.
            std::vector<std::string> pieces{input};
            if (std::string(pair.from) == "CP1252")
                for (char ch : input) pieces.emplace_back(1, ch);
            for (const std::string& in : pieces) {
                for (size_t room : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, in.size() * 4 + 8}) {
                    const auto run = [&](auto conv, iconv_t cd) {
                        std::string src = in, out(room, '\0');
                        char* ip = src.data();
                        char* op = out.data();
                        size_t il = src.size(), ol = room;
                        errno = 0;
                        const size_t rc = conv(cd, &ip, &il, &op, &ol);
                        const int err = rc == static_cast<size_t>(-1) ? errno : 0;
                        return std::make_tuple(rc, err, il, out.substr(0, room - ol));
                    };
                    EXPECT_EQ(run(iconv, ours), run(libConv, lib))
                        << pair.from << " to " << pair.to << ", input " << ::testing::PrintToString(in) << ", room " << room;
                }
            }
        }
        EXPECT_EQ(iconv_close(ours), 0);
        EXPECT_EQ(libClose(lib), 0);
    }
    // Other pairs are the C library's, and still convert.
    const iconv_t other = iconv_open("UTF-8", "ISO-8859-2");
    ASSERT_NE(other, reinterpret_cast<iconv_t>(-1));
    std::string latin2 = "\xB1", out(8, '\0');
    char* ip = latin2.data();
    char* op = out.data();
    size_t il = 1, ol = out.size();
    EXPECT_EQ(iconv(other, &ip, &il, &op, &ol), 0u);
    EXPECT_EQ(out.substr(0, out.size() - ol), "\xC4\x85");
    EXPECT_EQ(iconv_close(other), 0);
}

TEST(ConnectionString, ParsedAndQuoted) {
    const TDbConnectionParams p = ParseOleDbConnectionString(
        "Provider=SQLOLEDB.1;User ID=sa;Password=a;b}c=;Data Source=x;Data Source=host,1500;Initial Catalog=master;Persist Security "
        "Info=True;");
    EXPECT_EQ(p.UserId, "sa");
    EXPECT_EQ(p.Password, "a;b}c=;Data Source=x");
    EXPECT_EQ(p.Server, "host,1500");
    EXPECT_EQ(p.Database, "master");
    EXPECT_FALSE(p.IntegratedSecurity);
    EXPECT_EQ(BuildOdbcConnectionString(p, "FreeTDS"),
              "Driver={FreeTDS};Server={host};Port={1500};UID={sa};PWD={a;b}c=;Data "
              "Source=x};Database={master};TDS_Version={7.4};ClientCharset={UTF-8};PacketSize={32767};");

    const TDbConnectionParams sspi = ParseOleDbConnectionString(
        "Provider=SQLOLEDB.1;Integrated Security=SSPI;Data Source=srv\\inst;Initial Catalog=master;Persist Security Info=True;");
    EXPECT_TRUE(sspi.IntegratedSecurity);
    EXPECT_EQ(BuildOdbcConnectionString(sspi, "FreeTDS"),
              "Driver={FreeTDS};Server={srv};Instance={inst};Trusted_Connection={yes};Database={master};TDS_Version={7.4};ClientCharset={"
              "UTF-8};PacketSize={32767};");

    TDbConnectionParams bad = p;
    bad.Password = "x};Server=evil";
    try {
        BuildOdbcConnectionString(bad, "FreeTDS");
        ADD_FAILURE();
    } catch (const EDbError& e) {
        EXPECT_EQ(e.Message(), "The password contains the characters \"};\", which the ODBC driver cannot accept.");
    }
}

TEST(ScriptText, LineEndingsAndFileDecoding) {
    EXPECT_EQ(CrLfText("a\nb\r\nc\rd\n\ne"), "a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(CrLfText("\r\n\r"), "\r\n\r\n");
    struct Case {
        std::string bytes;
        std::optional<std::string> text;  // none: refused
        const char* error;  // the message when refused
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFselect 1", "select 1", nullptr},
        {std::string("\xFF\xFEs\0\xE4\0=\xD8\0\xDE", 10), "s\xC3\xA4\xF0\x9F\x98\x80", nullptr},
        {std::string("\xFE\xFF\0s\0\xE4", 6), "s\xC3\xA4", nullptr},
        {"select 'a\xE2\x82\xAC'", "select 'a\xE2\x82\xAC'", nullptr},
        {"update T set x = 1 -- Jos\xE9\nwhere id = 2", std::nullopt, "The file is not valid UTF-8 (line 1)."},
        {std::string("a\nb\n\0", 5), std::nullopt, "The file holds a NUL character (line 3)."},
        {"\xC0\xAF", std::nullopt, "The file is not valid UTF-8 (line 1)."},
        {"a\n\xED\xA0\x80", std::nullopt, "The file is not valid UTF-8 (line 2)."},
        {std::string("\xFF\xFE\0\xD8", 4), std::nullopt, "The file is not valid UTF-16 (line 1)."},
        // Faults behind long plain runs, which are checked eight bytes at a time.
        {"select 1234567\nselect 7654321\n" + std::string("\0", 1) + "x", std::nullopt, "The file holds a NUL character (line 3)."},
        {"select 1234567\nselect 7654321\nselect 'abcdefg\x80'", std::nullopt, "The file is not valid UTF-8 (line 3)."},
        {"\xEF\xBB\xBF" + std::string(1000, 'x') + "\xC3\xA4", std::string(1000, 'x') + "\xC3\xA4", nullptr},
    };
    for (const Case& c : cases) {
        if (c.text) {
            EXPECT_EQ(DecodeScriptBytes(c.bytes), *c.text);
            continue;
        }
        try {
            DecodeScriptBytes(c.bytes);
            ADD_FAILURE() << c.bytes;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), c.error);
        }
    }
}

TEST(ConnectionString, LoginsAndPasswordsSurviveTheRoundTrip) {
    struct Case {
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"we;Password=x", "pw"},
        {"a\"b;c", "p;Data Source=q"},
        {"\"q", "x"},
        {"l\xC3\xB6gin\xE2\x82\xAC", "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC"},
        {" lead", ""},
        {"plain", "a\"b"},
    };
    for (const Case& c : cases) {
        TDbConnectionParams p;
        p.Server = "host,1500";
        p.UserId = c.user;
        p.Password = c.password;
        p.Database = "demo";
        const TDbConnectionParams back = ParseOleDbConnectionString(OleDbConnectionString(p));
        EXPECT_EQ(back.UserId, c.user) << OleDbConnectionString(p);
        EXPECT_EQ(back.Password, c.password) << OleDbConnectionString(p);
        EXPECT_EQ(back.Server, "host,1500");
        EXPECT_EQ(back.Database, "demo");
        EXPECT_FALSE(back.IntegratedSecurity);
    }
    EXPECT_EQ(OleDbConnectionString({"srv", "we;x", "pw", false, ""}),
              "Provider=SQLOLEDB.1;User ID=\"we;x\";Password=pw;Data Source=srv;Initial Catalog=master;Persist Security Info=True;");
    TDbConnectionParams sspi;
    sspi.Server = "srv";
    sspi.IntegratedSecurity = true;
    EXPECT_TRUE(ParseOleDbConnectionString(OleDbConnectionString(sspi)).IntegratedSecurity);
    EXPECT_EQ(UseDatabaseStatement("a]b"), "use [a]]b]");
}

}  // namespace
