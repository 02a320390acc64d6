// The error dialog and its report, and the About window: the summary rule, the form body and the
// upload address, the "Upload Errors" preference, one upload end to end to a loopback server,
// stack traces named down to the test's own functions, and the About window's title and links.
#include "HttpTestServer.h"
#include "uNbAbout.h"
#include "uNbAppInfo.h"
#include "uNbExceptionReporter.h"
#include "uNbExceptions.h"
#include "uNbHttp.h"
#include "uNbStackNames.h"
#include "uNbStackTrace.h"
#include "uTolvanMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QUrlQuery>

#include <exception>
#include <thread>

namespace {

int g_throwLine = 0;
int g_firstLine = 0;

// The first line of each function below is its name's line; the throw is two lines further down.
[[gnu::noinline]] void ThrowFromTestFunction(const char* message) {
    g_firstLine = __LINE__ - 1;
    g_throwLine = __LINE__ + 1;
    throw Exception(message);
}

[[gnu::noinline]] void ThrowOnWorker() {
    g_firstLine = __LINE__ - 1;
    g_throwLine = __LINE__ + 1;
    throw Exception("thrown on a worker thread");
}

QString CommonFile(const QTemporaryDir& dir) { return dir.path() + QStringLiteral("/Merivane/Common.conf"); }

}  // namespace

class TestReporter : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void summary_data();
    void summary();
    void body_data();
    void body();
    void target_data();
    void target();
    void stackTraceNamesTheThrowingFunction_data();
    void stackTraceNamesTheThrowingFunction();
    void details_data();
    void details();
    void untickedSendsNothingAndIsRemembered();
    void uploadReachesTheServer();
    void aboutTitleAndLinks();
    void mainWindowHandsOverItsLinks();

private:
    QTemporaryDir config_;
};

void TestReporter::initTestCase() {
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
    NbStackTraceEnable(true);
}

void TestReporter::init() { QFile::remove(CommonFile(config_)); }

void TestReporter::summary_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("summary");
    QTest::newRow("letter") << "Connection failure"
                            << "Connection failure.";
    QTest::newRow("digit") << "Error 42"
                           << "Error 42.";
    QTest::newRow("question mark") << "Why?"
                                   << "Why?.";
    QTest::newRow("colon") << "Reason:"
                           << "Reason:.";
    QTest::newRow("period") << "Done."
                            << "Done.";
    QTest::newRow("exclamation") << "Stop!"
                                 << "Stop!";
    QTest::newRow("parenthesis") << "broken (x, line 3)"
                                 << "broken (x, line 3)";
    QTest::newRow("comma") << "a,"
                           << "a,";
    QTest::newRow("space") << "trailing "
                           << "trailing ";
    QTest::newRow("first line only") << "First line\r\nsecond line"
                                     << "First line.";
    QTest::newRow("starts with CR") << "\r\nsecond line"
                                    << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestReporter::summary() {
    QFETCH(QString, message);
    QFETCH(QString, summary);
    QCOMPARE(QString::fromStdString(NbReportSummary(message.toStdString())), summary);
}

void TestReporter::body_data() {
    QTest::addColumn<QString>("message");
    QTest::newRow("plain") << "Plain text";
    QTest::newRow("forged field") << "x&Details=forged&AppName=evil";
    QTest::newRow("form characters") << "a=b+c d%20e?f/g#h*i[j]<k>";
    QTest::newRow("lines and tabs") << "line 1\r\nline 2\tend";
    QTest::newRow("non-ASCII") << QString::fromUtf8(
        "Tabelle \xC3\xBC"
        "ber \xE2\x82\xAC");
    QTest::newRow("empty") << "";
}

// A standard form parser gets back the five fields, in order, with the texts that went in.
void TestReporter::body() {
    QFETCH(QString, message);
    const std::string details = "[0000000000401000] unit.F (Line 1, \"unit.cpp\") + $4\r\n";
    const std::string body = NbErrorReportBody(message.toStdString(), "/opt/tolvan/tolvan", "Merivane Tolvan", "0.5.3", details);
    for (const char c : body) QVERIFY2(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~%&=", c), body.c_str());
    const auto items = QUrlQuery(QString::fromLatin1(body)).queryItems(QUrl::FullyDecoded);
    QCOMPARE(items.size(), 5);
    const QStringList names = {QStringLiteral("Message"), QStringLiteral("ExeName"), QStringLiteral("AppName"),
                               QStringLiteral("AppVersion"), QStringLiteral("Details")};
    const QStringList values = {message, QStringLiteral("/opt/tolvan/tolvan"), QStringLiteral("Merivane Tolvan"), QStringLiteral("0.5.3"),
                                QString::fromStdString(details)};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(items[i].first, names[i]);
        QCOMPARE(items[i].second, values[i]);
    }
}

void TestReporter::target_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QString>("url");
    QTest::newRow("https") << "https://www.merivane.com"
                           << "/opt/tolvan/tolvan"
                           << "https://www.merivane.com/error-report/?ExeBase=tolvan";
    QTest::newRow("trailing slash") << "https://reports.example/base/"
                                    << "tolvan"
                                    << "https://reports.example/base/error-report/?ExeBase=tolvan";
    QTest::newRow("file name encoded") << "https://h"
                                       << "/opt/my apps/tol&van"
                                       << "https://h/error-report/?ExeBase=tol%26van";
    QTest::newRow("loopback http") << "http://127.0.0.1:8080"
                                   << "tolvan"
                                   << "http://127.0.0.1:8080/error-report/?ExeBase=tolvan";
    QTest::newRow("localhost http") << "http://localhost"
                                    << "tolvan"
                                    << "http://localhost/error-report/?ExeBase=tolvan";
    QTest::newRow("IPv6 loopback http") << "http://[::1]:81"
                                        << "tolvan"
                                        << "http://[::1]:81/error-report/?ExeBase=tolvan";
    QTest::newRow("plain http elsewhere") << "http://www.merivane.com"
                                          << "tolvan"
                                          << "";
    QTest::newRow("lookalike host") << "http://127.0.0.1.example.com"
                                    << "tolvan"
                                    << "";
    QTest::newRow("other scheme") << "ftp://127.0.0.1"
                                  << "tolvan"
                                  << "";
    QTest::newRow("no host") << "https://"
                             << "tolvan"
                             << "";
    QTest::newRow("garbage") << "not a url"
                             << "tolvan"
                             << "";
}

void TestReporter::target() {
    QFETCH(QString, base);
    QFETCH(QString, exe);
    QFETCH(QString, url);
    QCOMPARE(NbErrorReportTarget(base, exe.toStdString()), url);
}

void TestReporter::stackTraceNamesTheThrowingFunction_data() {
    QTest::addColumn<bool>("onWorker");
    QTest::newRow("this thread") << false;
    QTest::newRow("carried from a worker thread") << true;
}

// The innermost line is the throwing function itself (nothing of the capture machinery), named
// with its unit, source file, line and the line's distance from the function's first line.
void TestReporter::stackTraceNamesTheThrowingFunction() {
    QFETCH(bool, onWorker);
    std::exception_ptr error;
    if (onWorker) {
        std::thread t([&error] {
            try {
                ThrowOnWorker();
            } catch (...) {
                error = std::current_exception();
            }
        });
        t.join();
    } else {
        try {
            ThrowFromTestFunction("thrown on purpose");
        } catch (...) {
            error = std::current_exception();
        }
    }
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        const QString trace = QString::fromStdString(NbFormatStackTrace(NbExceptionStack(&e)));
        QVERIFY(trace.endsWith(QStringLiteral("\r\n")));
        const QString first = trace.left(trace.indexOf(QStringLiteral("\r\n")));
        const QString function =
            onWorker ? QStringLiteral("ThrowOnWorker\\(\\)") : QStringLiteral("ThrowFromTestFunction\\(char const\\*\\)");
        const QRegularExpression line(QStringLiteral("^\\[[0-9A-F]{16}\\] test_reporter\\.\\(anonymous namespace\\)::%1 "
                                                     "\\(Line %2, \"test_reporter\\.cpp\" \\+ %3\\) \\+ \\$[0-9A-F]+$")
                                          .arg(function)
                                          .arg(g_throwLine)
                                          .arg(g_throwLine - g_firstLine));
        QVERIFY2(line.match(first).hasMatch(), qPrintable(trace));
    }
}

void TestReporter::details_data() {
    QTest::addColumn<QSize>("before");
    QTest::addColumn<QSize>("after");
    QTest::newRow("designed size grows") << QSize(392, 120) << QSize(600, 300);
    QTest::newRow("larger dialog keeps its size") << QSize(700, 400) << QSize(700, 400);
    QTest::newRow("only the short side grows") << QSize(520, 130) << QSize(520, 300);
}

void TestReporter::details() {
    QFETCH(QSize, before);
    QFETCH(QSize, after);
    QWidget owner;
    TNbExceptionReporter dlg(&owner);
    dlg.Message = "Something failed\r\nwith a second line";
    dlg.Details = "[0000000000401000] unit.F (Line 1, \"unit.cpp\") + $4\r\n";
    dlg.Fill();
    dlg.show();
    dlg.resize(before);
    QCOMPARE(dlg.lMessage->text(), QStringLiteral("Something failed."));
    QVERIFY(dlg.mMessage->isHidden());
    QVERIFY(dlg.cbReport->isChecked());  // no preference stored yet
    dlg.bDetails->click();
    QCOMPARE(dlg.size(), after);
    QVERIFY(dlg.mMessage->isVisible());
    QVERIFY(dlg.lMessage->isHidden());
    QVERIFY(!dlg.bDetails->isEnabled());
    QCOMPARE(dlg.mMessage->toPlainText(),
             QStringLiteral("Something failed\nwith a second line\n\n[0000000000401000] unit.F (Line 1, \"unit.cpp\") + $4\n"));
    // Anchored controls follow the bottom right corner.
    QCOMPARE(dlg.bOk->geometry().bottomRight(), QPoint(after.width() - 9, after.height() - 9));
    dlg.cbReport->setChecked(false);  // nothing goes out from this test
    dlg.reject();
}

void TestReporter::untickedSendsNothingAndIsRemembered() {
    THttpTestServer server;
    {
        QSettings s(CommonFile(config_), QSettings::IniFormat);
        s.setValue(QStringLiteral("Error Report URL"), server.Url(QString()));
    }
    QWidget owner;
    {
        TNbExceptionReporter dlg(&owner);
        dlg.Message = "first";
        dlg.Fill();
        dlg.show();
        QVERIFY(dlg.cbReport->isChecked());
        dlg.cbReport->setChecked(false);
        dlg.bOk->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }
    QCOMPARE(QSettings(CommonFile(config_), QSettings::IniFormat).value(QStringLiteral("Upload Errors")).toString(), QStringLiteral("0"));
    QVERIFY(owner.findChildren<TNbHttp*>().isEmpty());
    {
        TNbExceptionReporter dlg(&owner);
        dlg.Message = "second";
        dlg.Fill();
        dlg.show();
        QVERIFY(!dlg.cbReport->isChecked());
        dlg.reject();  // closing by Escape also stores the box
    }
    QCOMPARE(QSettings(CommonFile(config_), QSettings::IniFormat).value(QStringLiteral("Upload Errors")).toString(), QStringLiteral("0"));
    QTest::qWait(100);
    QCOMPARE(server.connections, 0);
}

void TestReporter::uploadReachesTheServer() {
    THttpTestServer server;
    server.Answer("/error-report/", 200, "thanks");
    {
        QSettings s(CommonFile(config_), QSettings::IniFormat);
        s.setValue(QStringLiteral("Error Report URL"), server.Url(QString()));
    }
    NbAppName() = "Merivane Tolvan";
    NbAppVersion() = "0.5.3";
    QWidget owner;
    const std::string message = "Invalid object name 'x&Details=y'.\r\nSELECT * FROM [x&Details=y]";
    QTimer::singleShot(0, &owner, [] {
        auto* dlg = qobject_cast<TNbExceptionReporter*>(QApplication::activeModalWidget());
        QVERIFY(dlg);
        QVERIFY(dlg->cbReport->isChecked());
        dlg->bOk->click();
    });
    try {
        ThrowFromTestFunction(message.c_str());
    } catch (const std::exception& e) {
        NbReportException("/opt/tolvan/tolvan", NbAppName(), NbAppVersion(), e, &owner);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
    const THttpTestRequest& r = server.requests[0];
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("/error-report/?ExeBase=tolvan"));
    QCOMPARE(r.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    const auto items = QUrlQuery(QString::fromLatin1(r.body)).queryItems(QUrl::FullyDecoded);
    QCOMPARE(items.size(), 5);
    QCOMPARE(items[0], qMakePair(QStringLiteral("Message"), QString::fromStdString(message)));
    QCOMPARE(items[1], qMakePair(QStringLiteral("ExeName"), QStringLiteral("/opt/tolvan/tolvan")));
    QCOMPARE(items[2], qMakePair(QStringLiteral("AppName"), QStringLiteral("Merivane Tolvan")));
    QCOMPARE(items[3], qMakePair(QStringLiteral("AppVersion"), QStringLiteral("0.5.3")));
    QCOMPARE(items[4].first, QStringLiteral("Details"));
    QVERIFY2(items[4].second.contains(QStringLiteral("ThrowFromTestFunction(char const*) (Line ")), qPrintable(items[4].second));
    // The upload was owned by the dialog's owner and freed itself once done.
    QTRY_VERIFY_WITH_TIMEOUT(owner.findChildren<TNbHttp*>().isEmpty(), 10000);
    QCOMPARE(QSettings(CommonFile(config_), QSettings::IniFormat).value(QStringLiteral("Upload Errors")).toString(), QStringLiteral("1"));
}

void TestReporter::aboutTitleAndLinks() {
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    QWidget owner;
    QAction featureRequest(QStringLiteral("&Bugs and Features..."), &owner);
    QAction webSite(QStringLiteral("&Merivane Web Site..."), &owner);
    QSignalSpy features(&featureRequest, &QAction::triggered);
    QSignalSpy site(&webSite, &QAction::triggered);
    for (const bool mainWindowShown : {false, true}) {
        NbSetAboutActions(mainWindowShown ? &featureRequest : nullptr, mainWindowShown ? &webSite : nullptr);
        TfNbAbout about(&owner);
        about.show();
        QCOMPARE(about.lAppName->text(), QStringLiteral("Tolvan v0.5.3"));
        QVERIFY(!about.imgBanner->pixmap().isNull());
        QCOMPARE(about.bAboutAction->isVisible(), mainWindowShown);
        QTest::mouseClick(about.lURL, Qt::LeftButton);
        if (mainWindowShown) {
            QCOMPARE(about.bAboutAction->text(), QStringLiteral("&Bugs and Features..."));
            about.bAboutAction->click();
        }
        QCOMPARE(features.size(), mainWindowShown ? 1 : 0);
        QCOMPARE(site.size(), mainWindowShown ? 1 : 0);
    }
    NbSetAboutActions(nullptr, nullptr);
}

// The window's About button sits on the toolbar after Connect; the About window gets the two web
// links only once the main window has been shown.
void TestReporter::mainWindowHandsOverItsLinks() {
    NbSetAboutActions(nullptr, nullptr);
    TfTlvnMain w;
    w.AutoConnect = false;
    const QList<QAction*> tools = w.findChild<QToolBar*>(QStringLiteral("toolbar"))->actions();
    const qsizetype about = tools.indexOf(w.NbAboutAction1);
    QVERIFY(about > tools.indexOf(w.aConnect));
    QCOMPARE(w.NbAboutAction1->text(), QStringLiteral("&About..."));
    QCOMPARE(w.NbAboutAction1->toolTip(), QStringLiteral("Copyright and other information."));
    QCOMPARE(w.aFeatureRequest->toolTip(), QStringLiteral("Submit requests and vote for new features!"));
    QCOMPARE(NbAboutFeatureRequestAction(), nullptr);
    w.show();
    QCOMPARE(NbAboutFeatureRequestAction(), w.aFeatureRequest);
    QCOMPARE(NbAboutWebSiteAction(), w.aWebSite);
}

QTEST_MAIN(TestReporter)
#include "test_reporter.moc"
