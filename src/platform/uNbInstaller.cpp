#include "uNbInstaller.h"

#include "uNbAppInfo.h"
#include "uNbAssert.h"

namespace {
struct StartupState {
    bool started = false;
    TNbInstallerProc afterInstall;
    TNbInstallerProc beforeUninstall;
};
StartupState& State() {
    static StartupState s;
    return s;
}
constexpr const char* kUnit = "NbUtils/uNbInstaller";
}  // namespace

void NbInstallerStartup(TNbInstallerProc afterInstall, TNbInstallerProc beforeUninstall) {
    StartupState& s = State();
    s.started = true;
    s.afterInstall = std::move(afterInstall);
    s.beforeUninstall = std::move(beforeUninstall);
    NbAssert(NbAppName() != kNbDefaultAppName, "NbAppName must be set before NbInstaller can work.", kUnit, 628);
    NbAssert(NbAppShortName() != kNbDefaultAppShortName, "NbAppShortName must be set before NbInstaller can work.", kUnit, 630);
}

bool NbInstallerStarted() { return State().started; }
