// The installer: the start-up switches "/UNINSTALL" and "/DELETEALL [/WAIT:pid]", the installed
// test, installing a copy of the running program with its shortcut and uninstall entry, uninstalling
// and deleting the install folders, and the pieces of the upgrade check (digests, the download path,
// the state decision). What the user sees goes through TNbInstallerUi, which the window layer fills
// (NbInstallerUseWidgets) and tests replace.
#pragma once

#include <functional>
#include <string>
#include <vector>

using TNbInstallerProc = std::function<void()>;

struct TNbInstallerUi {
    // A Yes/No question; true for Yes.
    std::function<bool(const std::string& text, bool yesIsDefault)> Confirm;
    // Shows a progress caption on every install action and paints it; the first call remembers the
    // caption it replaces, Restore puts that back.
    std::function<void(const std::string& caption)> Progress;
    std::function<void()> Restore;
    std::function<void(int ms)> Sleep;
    // Shows a failure of the start-up switches.
    std::function<void(const std::exception& e)> ReportError;
    // Starts a program (NbStartProcess) and ends this one (std::exit).
    std::function<int(const std::vector<std::string>& argv)> StartProcess;
    std::function<void(int code)> Exit;
};
// The process-wide installer interface; every member starts with a working default (no questions
// answered Yes, nothing shown, errors rethrown).
TNbInstallerUi& NbInstallerUi();

// Remembers the hooks and checks the identity; with "/UNINSTALL" or "/DELETEALL" as the first of
// args (the command line without the program) it does that work and ends the program. Returns
// only for an ordinary start.
void NbInstallerStartup(TNbInstallerProc afterInstall = {}, TNbInstallerProc beforeUninstall = {});
void NbInstallerStartup(TNbInstallerProc afterInstall, TNbInstallerProc beforeUninstall, const std::vector<std::string>& args);
bool NbInstallerStarted();
// Forgets the start-up (for tests that run it again).
void NbInstallerReset();

// The shortcut of the program in a programs folder: "<folder>/<NbAppName>.desktop".
std::string NbShortcutFileName(int programsFolder);
// The icon name written into the shortcut and installed beside it: NbAppShortName in lower case.
std::string NbAppIconName();
// The file that marks a folder as made by Install; Delete all only removes folders that hold it.
inline constexpr const char* kNbInstallMarker = ".merivane-install";

// True when NbAppExePath, ignoring letter case, is the target of the program's shortcut in the
// all-users or else in the current user's programs folder.
bool NbIsInstalled();
// Copies the running program into its folder, points a shortcut at the copy and writes the
// uninstall entry; NbAppExePath becomes the copy's path. Shows "Installing..." and "Done!".
void NbInstall();
// The "/UNINSTALL" switch: asks, removes the shortcuts and the uninstall entry, and starts a copy
// of the program from the cache folder with "/DELETEALL /WAIT:<this process>"; then ends.
void NbUninstall();
// The "/DELETEALL" switch: empties and removes the install folders that hold the marker.
void NbDeleteAll();
// "<cache folder>/tv-uninstall-<i>" for the first i whose file is gone after deleting it (at most 101).
std::string NbChooseUninstallCopy();

// The uninstall entry's key under the machine root.
std::string NbUninstallKey();

// The digest of a file as lower-case hex: SHA-1 (sha256 false) or SHA-256; "(file-does-not-exist)"
// when there is no file at the path.
std::string NbFileDigest(const std::string& path, bool sha256 = false);
inline constexpr const char* kNbNoFileDigest = "(file-does-not-exist)";
// Where a new build is downloaded to: "<cache folder>/<program file name>-new", a name that already
// ends in "-new" (its first "-new") losing that ending first.
std::string NbDownloadPath(const std::string& exePath);
// Whether the version check and the download may use the URL: HTTPS, or plain HTTP to a loopback host.
bool NbUpgradeUrlAllowed(const std::string& url);

enum class TNbInstallState { Install, Hidden, Available, Downloading, Ready };
// What the version endpoint announced ("Tv-Version", "Tv-URL", "Tv-SHA1", "Tv-SHA256").
struct TNbUpgradeInfo {
    std::string Version, Url, Sha1, Sha256;
};
// The state of an install action. localSha256 is only looked at when the endpoint sent a SHA-256.
TNbInstallState NbDecideInstallState(bool installed, const std::string& appVersion, const TNbUpgradeInfo& info,
                                     const std::string& localSha1, const std::string& localSha256, bool autoDownload);
