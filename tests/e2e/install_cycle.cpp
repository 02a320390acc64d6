// The whole cycle with the real program on an X display (Xvfb): the toolbar's install action copies
// the built tolvan into a temporary machine whose all-users menu cannot be written, so the entry
// lands in the user's menu and validates; the entry's Exec= starts the installed copy (its window
// appears); "tolvan /UNINSTALL", answered Yes, removes the entry, and the uninstall copy deletes the
// install folder once the uninstalling program has ended.
// Arguments: the built tolvan.
#include "uNbAppInfo.h"
#include "uNbInstallAction.h"
#include "uNbShell.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

bool failed = false;
void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "install_cycle: FAIL %s\n", what);
        failed = true;
    }
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(50);
    }
    return done();
}

// xdotool's answer, or empty when it fails.
QString XdoTool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

std::string ExecOf(const std::string& desktopFile) {
    std::ifstream in(desktopFile);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Exec=", 0) == 0) {
            const auto args = NbSplitExecLine(NbUnescapeDesktopValue(line.substr(5)));
            return args.empty() ? std::string() : args.front();
        }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    NbAppInfoInitialize(argv[0]);
    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    QTemporaryDir home;
    const QString root = home.path();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TOLVAN_PROGRAM_FILES_DIR", "TOLVAN_SYSTEM_CONFIG_DIR"})
        qputenv(name, (root + QLatin1Char('/') + QLatin1String(name)).toLocal8Bit());
    QFile(root + QStringLiteral("/blocker")).open(QIODevice::WriteOnly);
    qputenv("TOLVAN_COMMON_PROGRAMS_DIR", (root + QStringLiteral("/blocker/applications")).toLocal8Bit());
    qputenv("TOLVAN_UPGRADE_URL", "");

    QApplication app(argc, argv);
    NbInstallerStartup({}, {}, {});
    NbInstallerUseWidgets();
    // The program being installed is the built tolvan.
    NbAppExePath() = std::filesystem::canonical(argv[1]).string();
    const std::string installed = root.toStdString() + "/TOLVAN_PROGRAM_FILES_DIR/Merivane Tolvan/tolvan";
    const std::string entry = NbShortcutFileName(CSIDL_PROGRAMS);
    {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        WaitFor([] { return false; }, 300);
        Check(w.NbInstallAction1->isVisible() && w.NbInstallAction1->text() == QStringLiteral("&Install in Start Menu"), "install state");
        w.NbInstallAction1->trigger();
        Check(!w.NbInstallAction1->isVisible(), "installed: the action is hidden");
    }
    Check(std::filesystem::exists(installed), "copied into the program files folder");
    Check(QProcess::execute(QStringLiteral("desktop-file-validate"), {QString::fromStdString(entry)}) == 0,
          "the user's menu entry validates");
    Check(std::filesystem::exists(root.toStdString() + "/XDG_DATA_HOME/icons/hicolor/scalable/apps/tolvan.svg"), "icon beside the entry");

    // The menu entry starts the installed copy.
    const std::string exec = ExecOf(entry);
    Check(exec == installed, "Exec= names the installed copy");
    QProcess started;
    started.start(QString::fromStdString(exec), {});
    Check(started.waitForStarted(10000), "the entry's program starts");
    const QString window =
        XdoTool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                 QString::number(started.processId()), QStringLiteral("--name"), QStringLiteral("Tolvan - Merivane SQL Editor")});
    Check(!window.isEmpty(), "the installed copy shows its window");
    Check(std::filesystem::read_symlink("/proc/" + std::to_string(started.processId()) + "/exe").string() == installed,
          "the running program is the installed copy");
    started.kill();
    started.waitForFinished(10000);

    // Uninstall, answering the question with Yes.
    QProcess uninstall;
    uninstall.start(QString::fromStdString(installed), {QStringLiteral("/UNINSTALL")});
    Check(uninstall.waitForStarted(10000), "the uninstall starts");
    const QString box =
        XdoTool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                 QString::number(uninstall.processId()), QStringLiteral("--name"), QStringLiteral("^Tolvan$")});
    Check(!box.isEmpty(), "the uninstall question shows");
    XdoTool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), box});
    XdoTool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QStringLiteral("y")});
    Check(uninstall.waitForFinished(20000) && uninstall.exitCode() == 0, "the uninstall ends");
    Check(!std::filesystem::exists(entry), "the menu entry is gone");
    Check(WaitFor([&] { return !std::filesystem::exists(std::filesystem::path(installed).parent_path()); }, 30000),
          "the install folder is deleted");
    Check(std::filesystem::exists(root.toStdString() + "/XDG_CACHE_HOME/tv-uninstall-1"), "the uninstall copy stays in the cache");
    if (failed) return 1;
    std::printf("install cycle ok\n");
    return 0;
}
