#include "uNbShell.h"

#include "uNbExceptions.h"
#include "uNbFolders.h"
#include "uNbFormat.h"

#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::string AbsoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] == '/' ? std::string(v) : std::string();
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string CacheFolder() {
    if (std::string v = AbsoluteEnv("XDG_CACHE_HOME"); !v.empty()) return v;
    // The data folder's home: ~/.local/share → ~/.cache.
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] == '/' ? home : "") + "/.cache";
}

// A program named without a folder is the one the launcher finds through $PATH.
std::string ResolveProgram(const std::string& program) {
    if (program.empty() || program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string_view dirs(path ? path : "");
    while (!dirs.empty()) {
        const size_t colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (dir.empty() || dir[0] != '/') continue;
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return program;
}

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

}  // namespace

std::string NbGetSpecialFolder(int folder) {
    std::string path;
    switch (folder) {
    case CSIDL_PROGRAMS:
        path = NbUserDataFolder() + "/applications";
        break;
    case CSIDL_COMMON_PROGRAMS:
        path = AbsoluteEnv("TOLVAN_COMMON_PROGRAMS_DIR");
        if (path.empty()) path = "/usr/share/applications";
        break;
    case CSIDL_LOCAL_APPDATA:
        path = NbUserDataFolder();
        break;
    case CSIDL_INTERNET_CACHE:
        path = CacheFolder();
        break;
    case CSIDL_PROGRAM_FILES:
        path = AbsoluteEnv("TOLVAN_PROGRAM_FILES_DIR");
        if (path.empty()) path = "/opt";
        break;
    default:
        return {};
    }
    return WithoutTrailingSlash(path);
}

std::string NbIconFolderFor(const std::string& shortcutFolder) {
    const std::string folder = WithoutTrailingSlash(shortcutFolder);
    const size_t slash = folder.rfind('/');
    const std::string dataDir = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    return dataDir + "/icons/hicolor/scalable/apps";
}

std::string NbQuoteExecArgument(std::string_view arg) {
    std::string out;
    const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string_view::npos;
    if (quote) out += '"';
    for (char c : arg) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    if (quote) out += '"';
    return out;
}

std::vector<std::string> NbSplitExecLine(std::string_view exec) {
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == ' ' || c == '\t') {
            if (inArg) args.push_back(std::move(cur));
            cur.clear();
            inArg = false;
        } else if (c == '"') {
            inArg = true;
            for (++i;; ++i) {
                if (i >= exec.size()) throw EConvertError("Unterminated quote in Exec=");
                const char q = exec[i];
                if (q == '"') break;
                if (q == '\\') {
                    if (i + 1 >= exec.size() || std::string_view("\"`$\\").find(exec[i + 1]) == std::string_view::npos)
                        throw EConvertError("Invalid escape in Exec=");
                    cur += exec[++i];
                } else if (q == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
                    cur += '%';
                    ++i;
                } else {
                    cur += q;
                }
            }
        } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
            inArg = true;
            cur += '%';
            ++i;
        } else {
            inArg = true;
            cur += c;
        }
    }
    if (inArg) args.push_back(std::move(cur));
    return args;
}

std::string NbEscapeDesktopValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case ' ':  // only a leading space needs the escape
            out += i == 0 ? "\\s" : " ";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string NbUnescapeDesktopValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 >= value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:  // not a string escape: kept for the Exec= quoting rules
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

void NbCreateShortcut(const std::string& fileName, const TNbShortcut& shortcut) {
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Version=1.0\n"
         << "Name=" << NbEscapeDesktopValue(shortcut.Name) << "\n";
    if (!shortcut.Comment.empty()) text << "Comment=" << NbEscapeDesktopValue(shortcut.Comment) << "\n";
    text << "Exec=" << NbEscapeDesktopValue(NbQuoteExecArgument(shortcut.Target)) << "\n";
    if (!shortcut.WorkingDir.empty()) text << "Path=" << NbEscapeDesktopValue(shortcut.WorkingDir) << "\n";
    if (!shortcut.Icon.empty()) text << "Icon=" << NbEscapeDesktopValue(shortcut.Icon) << "\n";
    text << "Terminal=false\n"
         << "Categories=Development;Database;\n";
    const std::string data = text.str();
    const int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw EInOutError(NbFormat("Cannot create the shortcut %s: %s", fileName, std::strerror(errno)));
    const ssize_t written = write(fd, data.data(), data.size());
    const int writeErrno = errno;
    const bool closed = close(fd) == 0;
    if (written != static_cast<ssize_t>(data.size()) || !closed) {
        unlink(fileName.c_str());
        throw EInOutError(NbFormat("Cannot write the shortcut %s: %s", fileName, std::strerror(written < 0 ? writeErrno : EIO)));
    }
}

std::string NbReadShortcutTarget(const std::string& fileName) {
    std::ifstream in(fileName);
    if (!in) return {};
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || line.rfind("Exec", 0) != 0) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos || line.find_first_not_of(" \t", 4) != eq) continue;
        try {
            const size_t start = line.find_first_not_of(" \t", eq + 1);
            const auto args = NbSplitExecLine(NbUnescapeDesktopValue(start == std::string::npos ? std::string() : line.substr(start)));
            if (args.empty()) return {};
            return QString::fromStdString(ResolveProgram(args.front())).toLower().toStdString();
        } catch (const EConvertError&) {
            return {};
        }
    }
    return {};
}

int NbStartProcess(const std::vector<std::string>& argv) {
    if (argv.empty()) return 0;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The new program outlives this one: a session of its own, default signal handling.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? static_cast<int>(pid) : 0;
}

void NbWaitForProcess(int pid) {
    if (pid <= 0) return;
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    close(fd);
}
