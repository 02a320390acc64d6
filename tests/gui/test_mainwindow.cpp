#include "uTolvanMain.h"

#include "uNbIdleDelay.h"
#include "uSqlEditor.h"

#include <Qsci/qsciscintilla.h>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QtTest>

namespace {
void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void opensWithCaptionSizeAndCentre() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QStringLiteral("Tolvan - Merivane SQL Editor"));
        QCOMPARE(w.minimumSize(), QSize(790, 400));
        QCOMPARE(w.size(), QSize(912, 581));
        const QPoint screenCentre = w.screen()->availableGeometry().center();
        QVERIFY2((w.frameGeometry().center() - screenCentre).manhattanLength() <= 2, "window is not centred");
        w.resize(100, 100);
        QCOMPARE(w.size(), QSize(790, 400));
    }

    // A burst of triggers fires the idle handler once, after the burst; in the window it shows Row/Col.
    // The loop must really block for the idle moment, which QTest::qWait never does.
    void idleDelayFiresOnceAfterABurst() {
        TNbIdleDelay delay;
        delay.SetDelay(300);
        int fired = 0;
        delay.OnIdleDelay = [&fired] { ++fired; };
        for (int i = 0; i < 5; ++i) {
            delay.Trigger();
            RunLoopFor(20);
        }
        QCOMPARE(fired, 0);
        RunLoopFor(1000);
        QCOMPARE(fired, 1);

        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.aNew->trigger();
        QsciScintilla* ed = w.CurrentEditor()->sqledit;
        ed->setFocus();
        QTRY_VERIFY(ed->hasFocus());
        QTest::keyClicks(ed, QStringLiteral("ab"));
        QTest::keyClick(ed, Qt::Key_Return);
        QTest::keyClicks(ed, QStringLiteral("cde"));
        RunLoopFor(600);
        QCOMPARE(w.statusRow->text(), QStringLiteral("Row 2"));
        QCOMPARE(w.statusCol->text(), QStringLiteral("Col 4"));
    }

    void ctrlASelectsTheWholeText() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.resulttext->setPlainText(QStringLiteral("one\ntwo"));
        for (Qt::KeyboardModifiers mods : {Qt::KeyboardModifiers(Qt::ControlModifier), Qt::ControlModifier | Qt::ShiftModifier}) {
            w.resulttext->moveCursor(QTextCursor::Start);
            QTest::keyClick(w.resulttext, Qt::Key_A, mods);
            QCOMPARE(w.resulttext->textCursor().selectedText(), QStringLiteral("one\u2029two"));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
