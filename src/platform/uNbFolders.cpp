#include "uNbFolders.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Only absolute paths count; the base-directory rules say relative ones are to be ignored.
std::string AbsoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] == '/' ? std::string(v) : std::string();
}

std::string Home() {
    std::string home = AbsoluteEnv("HOME");
    if (home.empty())
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    return home;
}

}  // namespace

std::string NbUserConfigFolder() {
    const std::string v = AbsoluteEnv("XDG_CONFIG_HOME");
    return v.empty() ? Home() + "/.config" : v;
}

std::string NbUserDataFolder() {
    const std::string v = AbsoluteEnv("XDG_DATA_HOME");
    return v.empty() ? Home() + "/.local/share" : v;
}

std::string NbMachineConfigReadFolder() {
    if (std::string v = AbsoluteEnv("TOLVAN_SYSTEM_CONFIG_DIR"); !v.empty()) return v;
    if (const char* dirs = std::getenv("XDG_CONFIG_DIRS"); dirs && dirs[0] == '/') {
        const std::string all(dirs);
        return all.substr(0, all.find(':'));
    }
    return "/etc/xdg";
}

std::string NbMachineConfigWriteFolder() {
    const std::string v = AbsoluteEnv("TOLVAN_SYSTEM_CONFIG_DIR");
    return v.empty() ? std::string("/etc/xdg") : v;
}

void NbForceFolders(const std::string& path, unsigned mode) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST) {
            struct stat st {};
            if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            throw EInOutError(NbFormat("%s is not a folder", part));
        }
        throw EInOutError(NbFormat("Cannot create the folder %s: %s", part, std::strerror(errno)));
    }
}
