// Tolvan: start-up and the message loop.
#include "uNbAppInfo.h"
#include "uNbExceptionReporter.h"
#include "uNbInstallAction.h"
#include "uNbStartup.h"
#include "uTolvanMain.h"

#include <QApplication>

namespace {

// Exceptions that escape an event handler are shown, and the program goes on.
class TTolvanApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), e, fTlvnMain);
        } catch (...) {
            NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), std::string("Unknown error"), fTlvnMain);
        }
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    NbLibraryStartup(argc > 0 ? argv[0] : nullptr);

    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";

    TTolvanApplication app(argc, argv);
    // A failure of the installer's start-up switches is shown in the error dialog, and the program ends.
    NbInstallerUseWidgets();
    try {
        NbInstallerStartup();
    } catch (const std::exception& e) {
        NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), e);
        return 1;
    }
    QApplication::setApplicationName(QStringLiteral("Tolvan"));
    QApplication::setOrganizationName(QStringLiteral("Merivane"));
    QApplication::setApplicationVersion(QString::fromStdString(NbAppVersion()));
    // The menu entry the installer writes is named after the application.
    QGuiApplication::setDesktopFileName(QString::fromStdString(NbAppName()));

    TfTlvnMain window;
    fTlvnMain = &window;
    window.show();
    return QApplication::exec();
}
