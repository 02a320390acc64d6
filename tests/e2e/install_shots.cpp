// The main window's toolbar on an X display (Xvfb in the tests) in two installer states: a program
// that is not installed ("&Install in Start Menu"), and an installed one to which a loopback
// version endpoint announces a newer build ("New Version 0.6.0 is Available!"). Screenshots of the
// toolbar go to the folder given as the first argument.
#include "HttpTestServer.h"
#include "uNbAppInfo.h"
#include "uNbInstallAction.h"
#include "uNbShell.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QToolBar>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) Settle(20);
    return done();
}

bool ShotToolbar(TfTlvnMain& w, const QString& path) {
    auto* bar = w.findChild<QToolBar*>(QStringLiteral("toolbar"));
    if (!bar) return false;
    const QRect area(bar->mapToGlobal(QPoint(0, 0)), bar->size());
    const QPixmap pm = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    return !pm.isNull() && pm.save(path);
}

}  // namespace

int main(int argc, char** argv) {
    NbAppInfoInitialize(argc > 0 ? argv[0] : nullptr);
    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    QTemporaryDir home;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TOLVAN_PROGRAM_FILES_DIR", "TOLVAN_COMMON_PROGRAMS_DIR",
                             "TOLVAN_SYSTEM_CONFIG_DIR"})
        qputenv(name, (home.path() + QLatin1Char('/') + QLatin1String(name)).toLocal8Bit());
    qputenv("TOLVAN_UPGRADE_URL", "");

    QApplication app(argc, argv);
    NbInstallerStartup({}, {}, {});
    NbInstallerUseWidgets();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = true;
    {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.resize(1260, 600);  // wide enough for the whole toolbar, database box included
        w.show();
        Settle(500);
        ok = ok && w.NbInstallAction1->isVisible() && w.NbInstallAction1->text() == QStringLiteral("&Install in Start Menu");
        ok = ok && ShotToolbar(w, out + QStringLiteral("/toolbar-install.png"));
    }

    // Installed, and the endpoint announces a newer build.
    std::filesystem::create_directories(NbGetSpecialFolder(CSIDL_PROGRAMS));
    NbCreateShortcut(NbShortcutFileName(CSIDL_PROGRAMS), {"Tolvan", NbAppExePath(), "", "tolvan", ""});
    THttpTestServer server;
    const QByteArray build = "#!/bin/sh\necho 0.6.0\n";
    server.Answer("/products/tolvan/version/", 200, {},
                  "Tv-Version: 0.6.0\r\nTv-URL: " + server.Url(QStringLiteral("/tolvan")).toUtf8() +
                      "\r\nTv-SHA1: " + QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex() + "\r\n");
    server.Answer("/tolvan", 200, build);
    qputenv("TOLVAN_UPGRADE_URL", server.Url(QStringLiteral("/products/tolvan/version/?Version=")).toUtf8());
    {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.NbInstallAction1->AutoDownload = false;
        w.resize(1260, 600);
        w.show();
        ok = ok && WaitFor([&] { return w.NbInstallAction1->State() == TNbInstallState::Available; }, 10000);
        Settle(300);
        ok = ok && w.NbInstallAction1->text() == QStringLiteral("New Version 0.6.0 is Available!");
        ok = ok && ShotToolbar(w, out + QStringLiteral("/toolbar-upgrade.png"));
    }
    if (!ok) {
        std::fprintf(stderr, "install_shots: a state was not reached or a screenshot is missing\n");
        return 1;
    }
    std::printf("install shots ok: %s\n", qPrintable(out));
    return 0;
}
