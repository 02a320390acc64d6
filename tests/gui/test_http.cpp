// TNbHttp against a loopback server run by the test's own event loop: the done event with the final
// response of a redirect chain, a second request replacing a running one, and destroying the
// component while a request hangs or from inside its own done event.
#include "HttpTestServer.h"
#include "uNbHttp.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>

#include <memory>

class TestHttp : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void doneCarriesTheFinalResponseOfARedirectChain();
    void secondRequestGivesUpTheFirst();
    void destroyedWhileARequestHangs();
    void destroyedInsideItsOwnDoneEvent();
    void programEndsWhileARequestHangs();
    void failuresEndSilently_data();
    void failuresEndSilently();
};

// Each test starts and ends with no worker thread alive: the components it destroyed released theirs.
void TestHttp::init() { QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), 0, 10000); }
void TestHttp::cleanup() { QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), 0, 10000); }

void TestHttp::doneCarriesTheFinalResponseOfARedirectChain() {
    THttpTestServer server;
    // Five redirects, each with a header that the final response does not carry.
    for (int i = 0; i < 5; ++i)
        server.Answer("/r" + QByteArray::number(i), 302, {},
                      "Location: /r" + QByteArray::number(i + 1) + "\r\nX-Hop: " + QByteArray::number(i) + "\r\n");
    server.Answer("/r5", 200, "the body", "Tv-Version: 1.2.3\r\n");

    TNbHttp http;
    int done = 0;
    QByteArray body;
    http.OnDone = [&](TNbHttp* sender) {
        ++done;
        QCOMPARE(sender, &http);
        QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
        body = *sender->ResponseStream();
    };
    http.Get(server.Url(QStringLiteral("/r0?x=1")), std::make_unique<QByteArray>());
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 10000);
    QCOMPARE(server.requests.size(), 6);
    QCOMPARE(body, QByteArray("the body"));
    QCOMPARE(http.Response().StatusCode, 200);
    QCOMPARE(http.Response().Header(QStringLiteral("tv-version")), QStringLiteral("1.2.3"));
    QCOMPARE(http.Response().Header(QStringLiteral("X-Hop")), QString());
    QCOMPARE(http.ResponseStream(), nullptr);
}

void TestHttp::secondRequestGivesUpTheFirst() {
    THttpTestServer server;  // "/hang" is never answered
    server.Answer("/ok", 200, "fine");
    TNbHttp http;
    int done = 0;
    http.OnDone = [&](TNbHttp*) { ++done; };
    http.Get(server.Url(QStringLiteral("/hang")));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
    http.Get(server.Url(QStringLiteral("/ok")));
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 10000);
    QCOMPARE(http.Response().StatusCode, 200);
    // The abandoned transfer stops at its next progress notification and closes its connection.
    QTRY_COMPARE_WITH_TIMEOUT(server.disconnections, 2, 10000);
    QCOMPARE(done, 1);
}

void TestHttp::destroyedWhileARequestHangs() {
    THttpTestServer server;
    // Workers given up by earlier tests end on their own time; count from a quiet start.
    QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), 0, 10000);
    int done = 0;
    auto* http = new TNbHttp;
    http->OnDone = [&](TNbHttp*) { ++done; };
    http->Post(server.Url(QStringLiteral("/hang")), std::make_unique<QByteArray>("a=1"));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
    QCOMPARE(NbHttpRunningWorkers(), 1);
    delete http;  // returns at once; the worker notices at its next progress notification
    QTRY_COMPARE_WITH_TIMEOUT(server.disconnections, 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), 0, 10000);
    QCOMPARE(done, 0);
}

void TestHttp::destroyedInsideItsOwnDoneEvent() {
    THttpTestServer server;
    server.Answer("/ok", 200, "payload");
    QObject owner;
    QPointer<TNbHttp> http = new TNbHttp(&owner);
    QByteArray seen;
    http->OnDone = [&](TNbHttp* sender) {
        seen = *sender->ResponseStream();
        delete sender;  // as the error report's upload does
    };
    http->Get(server.Url(QStringLiteral("/ok")), std::make_unique<QByteArray>());
    QTRY_VERIFY_WITH_TIMEOUT(http.isNull(), 10000);
    QCOMPARE(seen, QByteArray("payload"));
}

// The program's end does not wait for a request that still hangs: this test runs itself as a child
// that starts one and, once the server has it, returns from main.
void TestHttp::programEndsWhileARequestHangs() {
    THttpTestServer server;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--exit-while-hanging"), server.Url(QStringLiteral("/hang"))});
    QVERIFY(child.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 20000);
    child.write("go\n");
    QTRY_COMPARE_WITH_TIMEOUT(child.state(), QProcess::NotRunning, 20000);
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

namespace {

// A loopback port that nothing listens on.
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

}  // namespace

void TestHttp::failuresEndSilently_data() {
    QTest::addColumn<QString>("failure");
    QTest::newRow("connection refused") << "refused";
    QTest::newRow("error status") << "status";
    QTest::newRow("more than five redirects") << "redirects";
    QTest::newRow("untrusted certificate") << "certificate";
}

// A request that fails ends without OnDone and without telling anyone.
void TestHttp::failuresEndSilently() {
    QFETCH(QString, failure);
    THttpTestServer server;
    server.Answer("/missing", 404, "not here");
    server.Answer("/loop", 302, {}, "Location: /loop\r\n");
    QTemporaryDir dir;
    QProcess tls;
    QString url;
    if (failure == QStringLiteral("refused")) {
        url = QStringLiteral("http://127.0.0.1:%1/").arg(FreePort());
    } else if (failure == QStringLiteral("status")) {
        url = server.Url(QStringLiteral("/missing"));
    } else if (failure == QStringLiteral("redirects")) {
        url = server.Url(QStringLiteral("/loop"));
    } else {
        // An HTTPS server with a self-signed certificate for 127.0.0.1.
        const QString cert = dir.filePath(QStringLiteral("cert.pem")), key = dir.filePath(QStringLiteral("key.pem"));
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                                    QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                                    QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert, QStringLiteral("-days"),
                                    QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                                    QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1")}),
                 0);
        const quint16 port = FreePort();
        tls.start(QStringLiteral("openssl"),
                  {QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-cert"),
                   cert, QStringLiteral("-key"), key, QStringLiteral("-www")});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += tls.readAllStandardOutput()).contains("ACCEPT"), 20000);
        url = QStringLiteral("https://127.0.0.1:%1/").arg(port);
    }
    TNbHttp http;
    int done = 0;
    http.OnDone = [&](TNbHttp*) { ++done; };
    http.Get(url);
    QTRY_VERIFY_WITH_TIMEOUT(http.Finished(), 20000);
    QCOMPARE(done, 0);
    if (failure == QStringLiteral("redirects")) QCOMPARE(server.requests.size(), 6);
}

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--exit-while-hanging") == 0) {
        QCoreApplication app(argc, argv);
        auto* http = new TNbHttp;  // never destroyed, like an upload started without an owner
        http->Get(QString::fromLocal8Bit(argv[2]));
        char line[8];
        return std::fgets(line, sizeof line, stdin) ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    TestHttp test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_http.moc"
