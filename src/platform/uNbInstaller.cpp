#include "uNbInstaller.h"

#include "uNbAppInfo.h"
#include "uNbAssert.h"
#include "uNbExceptions.h"
#include "uNbFolders.h"
#include "uNbFormat.h"
#include "uNbRegistry.h"
#include "uNbShell.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QStringList>
#include <QUrl>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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
constexpr const char* kPublisher = "Merivane";
constexpr const char* kHelpLink = "https://www.merivane.com/tolvan/";

std::string Lower(const std::string& s) { return QString::fromStdString(s).toLower().toStdString(); }

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Copies a file, replacing the target's contents in place. Opening a running program for writing
// fails (ETXTBSY), which is how a locked target shows.
void CopyProgram(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw EInOutError(NbFormat("Cannot read %s: %s", from, std::strerror(errno)));
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (out < 0) {
        const int e = errno;
        close(in);
        throw EInOutError(NbFormat("Cannot write %s: %s", to, std::strerror(e)));
    }
    char buf[65536];
    int error = 0;
    for (;;) {
        const ssize_t n = read(in, buf, sizeof buf);
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0) {
                error = errno;
                break;
            }
            done += w;
        }
        if (error) break;
    }
    if (!error && fchmod(out, 0755) != 0) error = errno;
    if (close(out) != 0 && !error) error = errno;
    close(in);
    if (error) throw EInOutError(NbFormat("Cannot write %s: %s", to, std::strerror(error)));
}

// Creates the install folder (marking it as ours when this creates it) and copies the program
// into it, under its own name or, when that file is in use, with "2" appended. Returns the copy.
std::string CopyInto(const std::string& base) {
    if (base.empty()) throw EInOutError("No folder to install into");
    const std::string folder = base + "/" + NbAppName();
    const bool existed = Exists(folder);
    NbForceFolders(folder, 0755);
    if (!existed) {
        const std::string marker = folder + "/" + kNbInstallMarker;
        const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) throw EInOutError(NbFormat("Cannot write %s: %s", marker, std::strerror(errno)));
        const std::string text = "Installed by " + NbAppName() + "\n";
        const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (close(fd) != 0 || !ok) throw EInOutError(NbFormat("Cannot write %s", marker));
    }
    const std::string name = FileName(NbAppExePath());
    std::string target = folder + "/" + name;
    try {
        CopyProgram(NbAppExePath(), target);
    } catch (const EInOutError&) {
        target = folder + "/" + name + "2";
        CopyProgram(NbAppExePath(), target);
    }
    return target;
}

void InstallIcon(const std::string& shortcutFolder) {
    const QString resource = QStringLiteral(":/icons/%1.svg").arg(QString::fromStdString(NbAppIconName()));
    QFile icon(resource);
    if (!icon.open(QIODevice::ReadOnly)) return;
    const QByteArray data = icon.readAll();
    try {
        const std::string folder = NbIconFolderFor(shortcutFolder);
        NbForceFolders(folder, 0755);
        QFile out(QString::fromStdString(folder + "/" + NbAppIconName() + ".svg"));
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) out.write(data);
    } catch (const Exception&) {  // a menu entry without its picture still starts the program
    }
}

void CreateShortcutIn(int programsFolder) {
    const std::string folder = NbGetSpecialFolder(programsFolder);
    NbForceFolders(folder, 0755);
    TNbShortcut s;
    s.Name = NbAppShortName();
    s.Comment = NbAppName();
    s.Target = NbAppExePath();
    char cwd[PATH_MAX];
    s.WorkingDir = getcwd(cwd, sizeof cwd) ? cwd : "";
    s.Icon = NbAppIconName();
    NbCreateShortcut(NbShortcutFileName(programsFolder), s);
    InstallIcon(folder);
}

void RemoveShortcutIn(int programsFolder) {
    const std::string file = NbShortcutFileName(programsFolder);
    if (unlink(file.c_str()) == 0) {
        const std::string icon = NbIconFolderFor(NbGetSpecialFolder(programsFolder)) + "/" + NbAppIconName() + ".svg";
        unlink(icon.c_str());
    }
}

void WriteUninstallEntry() {
    TNbRegistry reg(TNbRegistryRoot::LocalMachine);
    if (!reg.OpenKey(NbUninstallKey(), true)) throw ERegistryException("Cannot create the uninstall entry");
    reg.WriteString("DisplayName", NbAppName());
    reg.WriteString("DisplayIcon", NbAppExePath() + ",0");
    reg.WriteString("Publisher", kPublisher);
    reg.WriteString("HelpLink", kHelpLink);
    reg.WriteString("InstallLocation", Folder(NbAppExePath()));
    reg.WriteString("UninstallString", NbAppExePath() + " /UNINSTALL");
}

// "/WAIT:" followed by a decimal process identifier.
int WaitPid(const std::string& text) {
    const std::string digits = text.substr(6);
    const bool valid = !digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string::npos;
    if (!valid) throw EConvertError(NbFormat("'%s' is not a valid integer value", digits));
    return std::atoi(digits.c_str());
}

std::vector<std::string> CommandLineArgs() {
    std::vector<std::string> args;
    if (QCoreApplication::instance()) {
        const QStringList all = QCoreApplication::arguments();
        for (qsizetype i = 1; i < all.size(); ++i) args.push_back(all[i].toStdString());
    }
    return args;
}

}  // namespace

TNbInstallerUi& NbInstallerUi() {
    static TNbInstallerUi ui{
        [](const std::string&, bool) { return false; },
        [](const std::string&) {},
        [] {},
        [](int) {},
        [](const std::exception&) { throw; },
        [](const std::vector<std::string>& argv) { return NbStartProcess(argv); },
        [](int code) { std::exit(code); },
    };
    return ui;
}

void NbInstallerStartup(TNbInstallerProc afterInstall, TNbInstallerProc beforeUninstall) {
    NbInstallerStartup(std::move(afterInstall), std::move(beforeUninstall), CommandLineArgs());
}

void NbInstallerStartup(TNbInstallerProc afterInstall, TNbInstallerProc beforeUninstall, const std::vector<std::string>& args) {
    StartupState& s = State();
    s.started = true;
    s.afterInstall = std::move(afterInstall);
    s.beforeUninstall = std::move(beforeUninstall);
    TNbInstallerUi& ui = NbInstallerUi();
    const std::string first = args.empty() ? std::string() : args[0];
    try {
        NbAssert(NbAppName() != kNbDefaultAppName, "NbAppName must be set before NbInstaller can work.", kUnit, 628);
        NbAssert(NbAppShortName() != kNbDefaultAppShortName, "NbAppShortName must be set before NbInstaller can work.", kUnit, 630);
        if (first == "/DELETEALL") {
            if (args.size() > 1 && args[1].rfind("/WAIT:", 0) == 0) NbWaitForProcess(WaitPid(args[1]));
            NbDeleteAll();
        } else if (first == "/UNINSTALL") {
            NbUninstall();
        } else {
            return;
        }
    } catch (const std::exception& e) {
        ui.ReportError(e);
        ui.Exit(1);
        return;
    }
    ui.Exit(0);
}

bool NbInstallerStarted() { return State().started; }

void NbInstallerReset() { State() = StartupState(); }

std::string NbShortcutFileName(int programsFolder) { return NbGetSpecialFolder(programsFolder) + "/" + NbAppName() + ".desktop"; }

std::string NbAppIconName() { return Lower(NbAppShortName()); }

std::string NbUninstallKey() { return "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + NbAppName(); }

bool NbIsInstalled() {
    const std::string self = Lower(NbAppExePath());
    if (self.empty()) return false;
    return self == NbReadShortcutTarget(NbShortcutFileName(CSIDL_COMMON_PROGRAMS)) ||
           self == NbReadShortcutTarget(NbShortcutFileName(CSIDL_PROGRAMS));
}

void NbInstall() {
    NbAssert(NbInstallerStarted(), "You must call NbInstallerStartup before creating any NbInstaller components.", kUnit, 380);
    TNbInstallerUi& ui = NbInstallerUi();
    ui.Progress("Installing...");
    std::string copy;
    try {
        try {
            copy = CopyInto(NbGetSpecialFolder(CSIDL_PROGRAM_FILES));
        } catch (const std::exception&) {
            copy = CopyInto(NbGetSpecialFolder(CSIDL_LOCAL_APPDATA));
        }
    } catch (...) {
        ui.Restore();
        throw;
    }
    NbAppExePath() = copy;
    try {
        CreateShortcutIn(CSIDL_COMMON_PROGRAMS);
    } catch (const std::exception&) {
        CreateShortcutIn(CSIDL_PROGRAMS);
    }
    if (State().afterInstall) State().afterInstall();
    try {
        WriteUninstallEntry();
    } catch (...) {  // without rights on the machine settings there is no uninstall entry
    }
    ui.Progress("Done!");
    ui.Sleep(750);
    ui.Restore();
}

std::string NbChooseUninstallCopy() {
    const std::string folder = NbGetSpecialFolder(CSIDL_INTERNET_CACHE);
    std::string name;
    for (int i = 1; i <= 101; ++i) {
        name = NbFormat("%s/tv-uninstall-%d", folder, i);
        unlink(name.c_str());
        if (!Exists(name)) break;
    }
    return name;
}

void NbUninstall() {
    TNbInstallerUi& ui = NbInstallerUi();
    if (!ui.Confirm("Uninstall " + NbAppName() + " from this computer?", false)) return;
    ui.Progress("Uninstalling...");
    if (State().beforeUninstall) State().beforeUninstall();
    try {
        TNbRegistry(TNbRegistryRoot::LocalMachine).DeleteKey(NbUninstallKey());
    } catch (...) {  // nothing to remove, or no rights: ignored like its writing
    }
    RemoveShortcutIn(CSIDL_COMMON_PROGRAMS);
    RemoveShortcutIn(CSIDL_PROGRAMS);
    const std::string copy = NbChooseUninstallCopy();
    NbForceFolders(Folder(copy), 0700);
    CopyProgram(NbAppExePath(), copy);
    ui.StartProcess({copy, "/DELETEALL", NbFormat("/WAIT:%d", static_cast<int>(getpid()))});
    ui.Progress("Uninstall complete!");
    ui.Sleep(750);
    ui.Restore();
}

void NbDeleteAll() {
    for (int special : {CSIDL_PROGRAM_FILES, CSIDL_LOCAL_APPDATA}) {
        const std::string base = NbGetSpecialFolder(special);
        if (base.empty()) continue;
        const std::string folder = base + "/" + NbAppName();
        const std::string marker = folder + "/" + kNbInstallMarker;
        if (!IsFile(marker)) continue;  // not a folder that Install made
        if (DIR* dir = opendir(folder.c_str())) {
            std::vector<std::string> names;
            while (const dirent* e = readdir(dir))
                if (e->d_name[0] != '.') names.emplace_back(e->d_name);
            closedir(dir);
            for (const std::string& n : names) unlink((folder + "/" + n).c_str());
        }
        unlink(marker.c_str());
        rmdir(folder.c_str());
    }
}

std::string NbFileDigest(const std::string& path, bool sha256) {
    QFile f(QString::fromStdString(path));
    if (!Exists(path)) return kNbNoFileDigest;
    if (!f.open(QIODevice::ReadOnly)) return kNbNoFileDigest;
    QCryptographicHash hash(sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1);
    char buf[1024];
    for (;;) {
        const qint64 n = f.read(buf, sizeof buf);
        if (n <= 0) break;
        hash.addData(QByteArrayView(buf, n));
    }
    return hash.result().toHex().toStdString();
}

std::string NbDownloadPath(const std::string& exePath) {
    std::string base = FileName(exePath);
    const size_t pos = base.find("-new");
    if (pos != std::string::npos && pos + 4 == base.size()) base.resize(pos);
    return NbGetSpecialFolder(CSIDL_INTERNET_CACHE) + "/" + base + "-new";
}

bool NbUpgradeUrlAllowed(const std::string& url) {
    const QUrl u(QString::fromStdString(url), QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty()) return false;
    const QString scheme = u.scheme().toLower();
    if (scheme == QStringLiteral("https")) return true;
    if (scheme != QStringLiteral("http")) return false;
    if (u.host().compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) return true;
    if (u.host() == QStringLiteral("::1")) return true;
    const QStringList parts = u.host().split(QLatin1Char('.'));
    if (parts.size() != 4 || parts[0] != QStringLiteral("127")) return false;
    for (const QString& p : parts) {
        bool ok = false;
        const int v = p.toInt(&ok);
        if (!ok || v < 0 || v > 255) return false;
    }
    return true;
}

TNbInstallState NbDecideInstallState(bool installed, const std::string& appVersion, const TNbUpgradeInfo& info,
                                     const std::string& localSha1, const std::string& localSha256, bool autoDownload) {
    if (!installed) return TNbInstallState::Install;
    if (info.Version == appVersion) return TNbInstallState::Hidden;
    if (localSha1 == info.Sha1 && (info.Sha256.empty() || localSha256 == info.Sha256)) return TNbInstallState::Ready;
    if (!info.Sha1.empty() && !info.Url.empty()) return autoDownload ? TNbInstallState::Downloading : TNbInstallState::Available;
    return TNbInstallState::Hidden;
}
