// Shows the error dialog (short, then with its details and a real stack trace) over the main
// window, and the About window, on an X display (Xvfb in the tests); screenshots go to the folder
// given as the first argument.
#include "uNbAbout.h"
#include "uNbAppInfo.h"
#include "uNbExceptionReporter.h"
#include "uNbExceptions.h"
#include "uNbStackTrace.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool Shot(const QString& path, const QRect& area) {
    const QPixmap pm = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QImage img = pm.toImage();
    bool varied = false;
    for (int y = 0; y < img.height() && !varied; y += 7)
        for (int x = 0; x < img.width() && !varied; x += 7) varied = img.pixel(x, y) != img.pixel(0, 0);
    return varied && pm.save(path);
}

// Like the program's own: exceptions that escape an event handler go to the error dialog.
class TShotApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), e, fTlvnMain);
        }
        return false;
    }
};

// A small failing call chain, so that the trace has a few frames of its own.
[[gnu::noinline]] void CreateExportFile(const std::string& path) {
    throw EInOutError("Cannot create file \"" + path + "\". No such file or directory");
}
[[gnu::noinline]] void ExportResults(const std::string& path) { CreateExportFile(path); }

// Runs the step once a modal window is up, inside that window's own loop.
void WhenModal(std::function<void(QWidget*)> step) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, step] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            poll->deleteLater();
            poll->stop();
            step(w);
        }
    });
    poll->start(50);
}

}  // namespace

int main(int argc, char** argv) {
    NbStackTraceEnable(true);
    NbAppInfoInitialize(argc > 0 ? argv[0] : nullptr);
    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    // Reports from this run go nowhere: a loopback port that nothing listens on.
    QSettings(config.path() + QStringLiteral("/Merivane/Common.conf"), QSettings::IniFormat)
        .setValue(QStringLiteral("Error Report URL"), QStringLiteral("http://127.0.0.1:1"));

    TShotApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    TfTlvnMain w;
    w.AutoConnect = false;
    fTlvnMain = &w;
    w.show();
    Settle(500);

    bool ok = true;
    WhenModal([&](QWidget* modal) {
        auto* dlg = qobject_cast<TNbExceptionReporter*>(modal);
        Settle(300);
        ok = ok && dlg && Shot(out + QStringLiteral("/error-dialog.png"), dlg->frameGeometry().adjusted(-8, -8, 8, 8));
        if (dlg) {
            dlg->bDetails->click();
            Settle(300);
            ok = ok && Shot(out + QStringLiteral("/error-dialog-details.png"), dlg->frameGeometry().adjusted(-8, -8, 8, 8));
            dlg->bOk->click();
        }
    });
    QTimer::singleShot(0, &w, [] { ExportResults("/home/ann/reports/missing/orders.csv"); });
    Settle(2500);

    WhenModal([&](QWidget* modal) {
        Settle(300);
        ok = ok && qobject_cast<TfNbAbout*>(modal) && Shot(out + QStringLiteral("/about.png"), modal->frameGeometry());
        static_cast<QDialog*>(modal)->accept();
    });
    w.NbAboutAction1->trigger();
    if (!ok) {
        std::fprintf(stderr, "report_shots: a screenshot is missing or blank\n");
        return 1;
    }
    std::printf("report shots ok: %s\n", qPrintable(out));
    return 0;
}
