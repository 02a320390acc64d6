// While a statement runs on the query thread, the window's event loop keeps turning.
#include "SandboxProcess.h"
#include "uQtQueryWaiter.h"

#include <QTimer>
#include <QtTest>

class TestQueryWait : public QObject {
    Q_OBJECT
private slots:
    void timersFireDuringAWaitfor() {
        SandboxProcess server(false);
        TDbConnection db;
        db.ConnectionString = "Provider=SQLOLEDB.1;User ID=sa;Password=Tolvan-2026;Data Source=127.0.0.1," + std::to_string(server.Port()) +
                              ";Initial Catalog=master;Persist Security Info=True;";
        db.Open();
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(20);
        TQtQueryWaiter waiter;
        auto r = RunOnQueryThread(db, "waitfor delay '00:00:00.600' select 1 as one", false, waiter);
        QVERIFY(r->IsOpen());
        QVERIFY2(ticks >= 10, qPrintable(QStringLiteral("only %1 timer ticks").arg(ticks)));
        // With no timer or other event pending, only the worker's wake-up can end the wait: a lost
        // wake-up hangs here (and the test's timeout reports it).
        timer.stop();
        auto quick = RunOnQueryThread(db, "select 2 as two", false, waiter);
        QCOMPARE(quick->DataSet()->Field(0).AsInteger(), 2);
    }
};

QTEST_MAIN(TestQueryWait)
#include "test_query_wait.moc"
