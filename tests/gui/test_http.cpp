// TNbHttp against a loopback server run by the test's own event loop: the done event with the final
// response of a redirect chain, a second request replacing a running one, and destroying the
// component while a request hangs or from inside its own done event.
#include "HttpTestServer.h"
#include "uNbHttp.h"

#include <QPointer>
#include <QTest>
#include <QThread>

#include <memory>

class TestHttp : public QObject {
    Q_OBJECT
private slots:
    void doneCarriesTheFinalResponseOfARedirectChain();
    void secondRequestGivesUpTheFirst();
    void destroyedWhileARequestHangs();
    void destroyedInsideItsOwnDoneEvent();
};

void TestHttp::doneCarriesTheFinalResponseOfARedirectChain() {
    THttpTestServer server;
    // Five redirects, each with a header that the final response does not carry.
    for (int i = 0; i < 5; ++i)
        server.Answer("/r" + QByteArray::number(i), 302, {}, "Location: /r" + QByteArray::number(i + 1) + "\r\nX-Hop: " + QByteArray::number(i) + "\r\n");
    server.Answer("/r5", 200, "the body", "Tv-Version: 1.2.3\r\n");

    TNbHttp http;
    int done = 0;
    QByteArray body;
    http.OnDone = [&](TNbHttp* sender) {
        ++done;
        QCOMPARE(sender, &http);
        QCOMPARE(QThread::currentThread(), qApp->thread());
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
    const int before = NbHttpRunningWorkers();
    int done = 0;
    auto* http = new TNbHttp;
    http->OnDone = [&](TNbHttp*) { ++done; };
    http->Post(server.Url(QStringLiteral("/hang")), std::make_unique<QByteArray>("a=1"));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 10000);
    QCOMPARE(NbHttpRunningWorkers(), before + 1);
    delete http;  // returns at once; the worker notices at its next progress notification
    QTRY_COMPARE_WITH_TIMEOUT(server.disconnections, 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), before, 10000);
    QCOMPARE(done, 0);
}

void TestHttp::destroyedInsideItsOwnDoneEvent() {
    THttpTestServer server;
    server.Answer("/ok", 200, "payload");
    const int before = NbHttpRunningWorkers();
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
    QTRY_COMPARE_WITH_TIMEOUT(NbHttpRunningWorkers(), before, 10000);
}

QTEST_MAIN(TestHttp)
#include "test_http.moc"
