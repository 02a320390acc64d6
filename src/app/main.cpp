// Tolvan: start-up and the message loop.
#include "uNbAppInfo.h"
#include "uNbInstaller.h"
#include "uNbStartup.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QMessageBox>

namespace {

// Exceptions that escape an event handler are shown, and the program goes on.
class TTolvanApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            AppEventsException(QString::fromStdString(e.what()));
        } catch (...) {
            AppEventsException(QStringLiteral("Unknown error"));
        }
        return false;
    }

private:
    static void AppEventsException(const QString& message) {
        QMessageBox::critical(fTlvnMain, QStringLiteral("Tolvan"), message);
    }
};

}  // namespace

int main(int argc, char** argv) {
    NbLibraryStartup(argc > 0 ? argv[0] : nullptr);

    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    NbInstallerStartup();

    TTolvanApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tolvan"));
    QApplication::setOrganizationName(QStringLiteral("Merivane"));
    QApplication::setApplicationVersion(QString::fromStdString(NbAppVersion()));
    QGuiApplication::setDesktopFileName(QStringLiteral("tolvan"));

    TfTlvnMain window;
    fTlvnMain = &window;
    window.show();
    return QApplication::exec();
}
