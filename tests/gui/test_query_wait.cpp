// While a statement runs on the query thread, the window's event loop keeps turning.
#include "SandboxProcess.h"
#include "uQtQueryWaiter.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

class TestQueryWait : public QObject {
    Q_OBJECT
private slots:
    void timersFireDuringAWaitfor() {
        SandboxProcess server(false);
        TDbConnection db;
        db.ConnectionString = "Provider=SQLOLEDB.1;User ID=sa;Password=Tolvan-2026;Data Source=127.0.0.1," +
                              std::to_string(server.Port()) + ";Initial Catalog=master;Persist Security Info=True;";
        db.Open();
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(20);
        TQtQueryWaiter waiter;
        QElapsedTimer clock;
        clock.start();
        auto r = RunOnQueryThread(db, "waitfor delay '00:00:00.600' select 1 as one", false, waiter);
        const qint64 elapsed = clock.elapsed();
        QVERIFY(r->IsOpen());
        QVERIFY2(ticks >= 10, qPrintable(QStringLiteral("only %1 timer ticks").arg(ticks)));
        // The worker's wake-up ends the wait promptly, without waiting for other events.
        timer.stop();
        QVERIFY(elapsed < 5000);
        clock.restart();
        auto quick = RunOnQueryThread(db, "select 2 as two", false, waiter);
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(quick->DataSet()->Field(0).AsInteger(), 2);
    }
};

QTEST_MAIN(TestQueryWait)
#include "test_query_wait.moc"
