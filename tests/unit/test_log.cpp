#include "uNbExceptions.h"
#include "uNbFormat.h"
#include "uNbLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// Points standard output at another descriptor for the life of the object.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int fd) : saved_(::dup(STDOUT_FILENO)) { ::dup2(fd, STDOUT_FILENO); }
    ~StdoutRedirect() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

struct PieceCase {
    const char* name;
    std::string text;
    std::vector<std::string> pieces;
};

TEST(LogPieces, SplitsAtTheRule) {
    const std::string a80 = Repeat('a', 80);
    const std::string words = "The quick brown fox jumps over the lazy dog and keeps running far across the wide field";
    const std::vector<PieceCase> cases = {
        {"empty", "", {}},
        {"short", "hello", {"hello"}},
        {"exactly 80", a80, {a80}},
        {"81 without space", a80 + "b", {a80, "b"}},
        {"spaces only at 1..5 cut hard", " a b " + Repeat('x', 80), {" a b " + Repeat('x', 75), Repeat('x', 5)}},
        {"space at 6 is used", "abcde " + Repeat('x', 80), {"abcde ", Repeat('x', 80)}},
        {"cut after last space at or before 80",
         words,
         {"The quick brown fox jumps over the lazy dog and keeps running far across the ", "wide field"}},
        {"space at 81 not used", Repeat('a', 80) + " tail", {Repeat('a', 80), " tail"}},
        {"space exactly at 80", Repeat('a', 79) + " tail", {Repeat('a', 79) + " ", "tail"}},
        // 81 two-byte characters: 80 characters, then 1; never cut inside a sequence.
        {"counts characters not bytes",
         [] {
             std::string s;
             for (int i = 0; i < 81; ++i) s += "\xC3\xA9";
             return s;
         }(),
         {[] {
              std::string s;
              for (int i = 0; i < 80; ++i) s += "\xC3\xA9";
              return s;
          }(),
          "\xC3\xA9"}},
        {"line breaks kept", "one\r\ntwo", {"one\r\ntwo"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (auto p : NbLogPieces(c.text)) got.emplace_back(p);
        EXPECT_EQ(got, c.pieces) << c.name;
    }
}

TEST(Log, TextFormWritesPercentAsItStands) {
    std::vector<std::string> pieces;
    NbLogSetDebuggerSink([&](std::string_view p) { pieces.emplace_back(p); });
    NbLog("50% of %d and %s");
    NbLog("%d: {%s}", 7, "select 1");
    NbLogSetDebuggerSink({});
    EXPECT_EQ(pieces, (std::vector<std::string>{"50% of %d and %s", "7: {select 1}"}));
}

TEST(Log, FormatMismatchRaisesBeforeWriting) {
    int calls = 0;
    NbLogSetDebuggerSink([&](std::string_view) { ++calls; });
    EXPECT_THROW(NbLog("%d items", "text"), EConvertError);
    EXPECT_THROW(NbLog("%s and %s", "one"), EConvertError);
    NbLogSetDebuggerSink({});
    EXPECT_EQ(calls, 0);
}

TEST(Log, FileGetsWholeUnsplitLines) {
    char path[] = "/tmp/tolvan-log-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string longLine = Repeat('z', 200) + " end";
    {
        StdoutRedirect redirect(fd);
        NbLogSetDebuggerSink([](std::string_view) {});
        NbLog("first");
        NbLog(longLine);
        NbLogSetDebuggerSink({});
    }
    ::close(fd);
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    ::unlink(path);
    EXPECT_EQ(all.str(), "first\n" + longLine + "\n");
}

TEST(Log, ClosedPipeRaisesInOutErrorAndDoesNotKill) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // the reader has gone
    {
        StdoutRedirect redirect(fds[1]);
        NbLogSetDebuggerSink([](std::string_view) {});
        EXPECT_THROW(NbLog("nobody reads this"), EInOutError);
        NbLogSetDebuggerSink({});
    }
    ::close(fds[1]);
}

TEST(Log, NoUsableStdoutWritesNothingAndRaisesNothing) {
    const int closedFd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(closedFd, 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::close(STDOUT_FILENO);
    NbLogSetDebuggerSink([](std::string_view) {});
    EXPECT_NO_THROW(NbLog("into the void"));
    NbLogSetDebuggerSink({});
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(closedFd);
}

TEST(Format, PlaceholdersAndErrors) {
    EXPECT_EQ(NbFormat("%s (%s, line %d)", "x", "NbUtils/uNbData", 1023), "x (NbUtils/uNbData, line 1023)");
    EXPECT_EQ(NbFormat("[%5d|%-4s|%.2s|%X|%%]", -42, "ab", "xyz", 255), "[  -42|ab  |xy|FF|%]");
    EXPECT_EQ(NbFormat("%07d|%05d", 42, -7), "0000042|-0007");
    EXPECT_THROW(NbFormat("%q", 1), EConvertError);
    EXPECT_THROW(NbFormat("%d"), EConvertError);
    EXPECT_THROW(NbFormat("trailing %"), EConvertError);
}

}  // namespace
