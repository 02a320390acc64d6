#include "uNbLog.h"

#include "uNbExceptions.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

namespace {

constexpr size_t kPieceChars = 80;
constexpr size_t kFirstSpace = 6;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

int g_lineFd = STDOUT_FILENO;

std::function<void(std::string_view)>& Sink() {
    static std::function<void(std::string_view)> sink;
    return sink;
}

bool ReadDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    return false;
}

// Whether a debugger is attached, looked up at most once a second: a run that logs thousands of
// lines (one per server message) would otherwise read /proc for each.
bool DebuggerAttached() {
    static std::mutex mu;
    static std::chrono::steady_clock::time_point checked;
    static bool attached = false, known = false;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mu);
    if (!known || now - checked >= std::chrono::seconds(1)) {
        attached = ReadDebuggerAttached();
        checked = now;
        known = true;
    }
    return attached;
}

void WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            throw EInOutError("I/O error " + std::to_string(err) + ": " + std::strerror(err));
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void SendToDebugger(std::string_view text) {
    const auto& sink = Sink();
    if (sink) {
        for (std::string_view piece : NbLogPieces(text)) sink(piece);
        return;
    }
    if (!DebuggerAttached()) return;
    // The channel never reports failure: a failed write to standard error is ignored.
    for (std::string_view piece : NbLogPieces(text)) {
        const ssize_t ignored = ::write(STDERR_FILENO, piece.data(), piece.size());
        (void)ignored;
    }
}

void SendToStdout(std::string_view text) {
    if (g_lineFd < 0) return;
    struct stat st {};
    if (::fstat(g_lineFd, &st) != 0) return;
    const mode_t kind = st.st_mode & S_IFMT;
    if (kind != S_IFREG && kind != S_IFCHR && kind != S_IFIFO && kind != S_IFSOCK) return;
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    WriteAll(g_lineFd, line);
}

}  // namespace

std::vector<std::string_view> NbLogPieces(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        // Walk at most 80 code points of the rest, noting the byte end after each and the last
        // space standing at a position from 6 to 80.
        size_t i = pos, chars = 0, cutAfterSpace = 0;
        while (i < text.size() && chars < kPieceChars) {
            const bool space = text[i] == ' ';
            ++i;
            while (i < text.size() && IsContinuation(static_cast<unsigned char>(text[i]))) ++i;
            ++chars;
            if (space && chars >= kFirstSpace) cutAfterSpace = i;
        }
        size_t end = i;
        if (i < text.size() && cutAfterSpace != 0) end = cutAfterSpace;
        pieces.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return pieces;
}

void NbLog(std::string_view text) {
    SendToDebugger(text);
    SendToStdout(text);
}

void NbLogSetLineFd(int fd) { g_lineFd = fd; }

void NbLogSetDebuggerSink(std::function<void(std::string_view)> sink) { Sink() = std::move(sink); }

std::string NbCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        std::string_view arg(raw.data() + start, end - start);
        if (!line.empty()) line.push_back(' ');
        if (arg.empty() || arg.find_first_of(" \t\"") != std::string_view::npos) {
            line.push_back('"');
            for (char c : arg) {
                if (c == '"') line.push_back('\\');
                line.push_back(c);
            }
            line.push_back('"');
        } else {
            line.append(arg);
        }
        start = end + 1;
    }
    return line;
}

void NbLogInitialize() {
    std::signal(SIGPIPE, SIG_IGN);
    NbLog("Log system initializing.");
    NbLog("Command line: %s", NbCommandLine());
}
