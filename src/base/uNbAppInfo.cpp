#include "uNbAppInfo.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {
struct Identity {
    std::string exePath;
    std::string name = kNbDefaultAppName;
    std::string shortName = kNbDefaultAppShortName;
    std::string version = kNbDefaultAppVersion;
};
Identity& Id() {
    static Identity id;
    return id;
}
}  // namespace

std::string& NbAppExePath() { return Id().exePath; }
std::string& NbAppName() { return Id().name; }
std::string& NbAppShortName() { return Id().shortName; }
std::string& NbAppVersion() { return Id().version; }

void NbAppInfoInitialize(const char* argv0) {
    Identity& id = Id();
    id.name = kNbDefaultAppName;
    id.shortName = kNbDefaultAppShortName;
    id.version = kNbDefaultAppVersion;
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) self = std::filesystem::absolute(argv0 ? argv0 : "", ec);
    id.exePath = self.lexically_normal().string();
}
