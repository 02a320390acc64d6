// Tolvan: start-up and the message loop.
#include "uNbAppInfo.h"
#include "uNbInstaller.h"
#include "uNbStartup.h"
#include "uTolvanMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    NbLibraryStartup(argc > 0 ? argv[0] : nullptr);

    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    NbInstallerStartup();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tolvan"));
    QApplication::setOrganizationName(QStringLiteral("Merivane"));
    QApplication::setApplicationVersion(QString::fromStdString(NbAppVersion()));
    QGuiApplication::setDesktopFileName(QStringLiteral("tolvan"));

    TfTlvnMain window;
    fTlvnMain = &window;
    window.show();
    return QApplication::exec();
}
