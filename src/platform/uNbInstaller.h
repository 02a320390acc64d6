// The installer's start-up hook. It checks that the program has set its identity and, once the
// installer is complete, handles the uninstall switches of the command line.
#pragma once

#include <functional>

using TNbInstallerProc = std::function<void()>;

void NbInstallerStartup(TNbInstallerProc afterInstall = {}, TNbInstallerProc beforeUninstall = {});
bool NbInstallerStarted();
