// The main window for a keyboard user: key preview at the window, the focus across a run, the
// database box at the smallest width and its failures, the find panel's steady layout, the tab
// list and the action pictures.
#include "SandboxProcess.h"
#include "window_fixture.h"
#include "uKeyPreview.h"
#include "uNbAbout.h"
#include "uNbCommonSettings.h"
#include "uNbExceptionReporter.h"
#include "uResultPages.h"
#include "uSqlEditor.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

namespace {

// Lets the event loop block, so idle moments and timers happen (QTest::qWait never blocks).
void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Counts the error dialogs that open and closes each one.
class TErrorBoxCounter : public QObject {
public:
    int Count = 0;
    TErrorBoxCounter() {
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<TNbExceptionReporter*>(w); box && box->isVisible()) {
                    ++Count;
                    box->reject();
                }
            }
        });
        timer_.start();
    }

private:
    QTimer timer_;
};

void ShowWindow(TfTlvnMain& w) {
    w.AutoConnect = false;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

}  // namespace

class TestKeyboard : public QObject {
    Q_OBJECT
    SandboxProcess* server = nullptr;

    void Connect(TfTlvnMain& w) {
        ConnectWindow(w, *server);
    }

private slots:
    void initTestCase() {
        NbWriteUploadErrors(false);
        server = new SandboxProcess(true);
    }
    void cleanupTestCase() { delete server; }

    // The editor that had the focus has it after F5, and the next key types into it.
    void focusStaysAcrossARun() {
        TfTlvnMain w;
        ShowWindow(w);
        Connect(w);
        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        QsciScintilla* ed = w.CurrentEditor()->sqledit;
        ed->setText(QStringLiteral("select 1 as a\nGO\nselect 2 as b\n"));
        w.ResultPages->PreferTextPage = true;  // the check reads the run from the Text page
        ed->setFocus();
        QTRY_VERIFY(ed->hasFocus());
        QTest::keyClick(ed, Qt::Key_F5);
        QVERIFY(w.resulttext->toPlainText().contains(QStringLiteral("Rowcount: 1")));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(ed));
        QVERIFY(w.isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_X);
        QVERIFY(ed->text().contains(QLatin1Char('x')));
        QVERIFY(!w.busyIndicator->isVisible());
    }

    // While busy the window refuses keys, shortcuts, clicks and closing, greys nothing out, and the
    // focus comes back to where it was.
    void busyRefusesInputButKeepsTheLook() {
        TfTlvnMain w;
        ShowWindow(w);
        QsciScintilla* ed = w.CurrentEditor()->sqledit;
        ed->setFocus();
        QTRY_VERIFY(ed->hasFocus());
        QSignalSpy newTab(w.aNew, &QAction::triggered);
        w.KeyPreview->SetBusy(true);
        QTest::keyClicks(ed, QStringLiteral("abc"));
        QTest::keyClick(ed, Qt::Key_N, Qt::ControlModifier);
        auto* toolbar = w.findChild<QToolBar*>(QStringLiteral("toolbar"));
        QTest::mouseClick(toolbar->widgetForAction(w.aNew), Qt::LeftButton);
        QVERIFY(!w.close());
        QCOMPARE(ed->text(), QString());
        QCOMPARE(newTab.count(), 0);
        QVERIFY(w.isVisible());
        QVERIFY(w.aNew->isEnabled() && ed->isEnabled());
        w.aFind->trigger();  // the program moves the focus while busy ...
        QTRY_VERIFY(w.CurrentEditor()->eSearchText->hasFocus());
        w.KeyPreview->SetBusy(false);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(ed));  // ... comes back
        QTest::keyClicks(ed, QStringLiteral("abc"));
        QCOMPARE(ed->text(), QStringLiteral("abc"));
    }

    // Tab keys work from every control of the window, and every key arms the Row/Col update, also a
    // key that ends as a shortcut (F3 from the find box) and a click that moves the caret.
    void keyPreviewFromAnyControl() {
        TfTlvnMain w;
        ShowWindow(w);
        for (int i = 0; i < 7; ++i) w.aNew->trigger();
        TSqlEditor* e = w.CurrentEditor();
        e->sqledit->setText(QStringLiteral("one\ntwo\nthree match\n"));
        w.aFind->trigger();
        QTRY_VERIFY(e->eSearchText->hasFocus());
        QTest::keyClick(e->eSearchText, Qt::Key_7, Qt::ControlModifier);
        QCOMPARE(w.pc->currentIndex(), 6);
        w.pc->setCurrentIndex(7);
        QTRY_VERIFY(e->sqledit->hasFocus());
        w.aFind->trigger();
        e->eSearchText->setText(QStringLiteral("match"));
        e->SelectRange({0, 0}, {0, 0});
        RunLoopFor(400);
        QCOMPARE(w.statusRow->text(), QStringLiteral("Row 1"));
        QTest::keyClick(e->eSearchText, Qt::Key_F3);
        RunLoopFor(400);
        QCOMPARE(w.statusRow->text(), QStringLiteral("Row 3"));
        QCOMPARE(w.statusCol->text(), QStringLiteral("Col 12"));
        QTest::keyClick(e->eSearchText, Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(w.pc->currentIndex(), 0);

        TSqlEditor* first = w.CurrentEditor();
        first->sqledit->setText(QStringLiteral("a\nb\nc\n"));
        RunLoopFor(400);
        const int y = int(first->sqledit->SendScintilla(QsciScintilla::SCI_POINTYFROMPOSITION, 0UL,
                                                        first->sqledit->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, 2UL)));
        QTest::mouseClick(first->sqledit->viewport(), Qt::LeftButton, {}, QPoint(first->sqledit->viewport()->width() / 2, y + 4));
        RunLoopFor(400);
        QCOMPARE(w.statusRow->text(), QStringLiteral("Row 3"));
    }

    // The database box stays in sight over the toolbar's right end down to the smallest width, and
    // the toolbar's buttons keep out from under it.
    void databaseBoxAtTheSmallestWidth() {
        TfTlvnMain w;
        ShowWindow(w);
        w.resize(TfTlvnMain::kMinWidth, 500);
        QTRY_COMPARE(w.width(), TfTlvnMain::kMinWidth);
        RunLoopFor(50);
        QVERIFY(w.eDatabase->isVisible());
        const QRect box(w.eDatabase->mapTo(&w, QPoint(0, 0)), w.eDatabase->size());
        QVERIFY(w.rect().contains(box));
        auto* toolbar = w.findChild<QToolBar*>(QStringLiteral("toolbar"));
        for (QAction* a : toolbar->actions()) {
            QWidget* button = toolbar->widgetForAction(a);
            if (button && button->isVisible()) QVERIFY(!QRect(button->mapTo(&w, QPoint(0, 0)), button->size()).intersects(box));
        }
    }

    // A name that cannot be switched to shows one error box for Enter, none more when the box is
    // left or the window closes; Down in the emptied box picks the first name.
    void oneErrorPerFailedSwitch() {
        TErrorBoxCounter boxes;
        auto* w = new TfTlvnMain;
        ShowWindow(*w);
        Connect(*w);
        QLineEdit* edit = w->eDatabase->lineEdit();
        QTRY_VERIFY(edit->hasFocus());
        QTest::keyClick(edit, Qt::Key_Down);
        QCOMPARE(w->eDatabase->currentText(), w->eDatabase->itemText(0));
        QCOMPARE(w->CurrentDatabase, w->eDatabase->itemText(0).toStdString());

        edit->setText(QStringLiteral("nosuchdb"));
        QTest::keyClick(edit, Qt::Key_Return);
        RunLoopFor(200);
        QCOMPARE(boxes.Count, 1);
        QCOMPARE(w->eDatabase->count(), 3);  // a typed name does not join the server's list (demo, master, tempdb)
        w->activateWindow();
        QTRY_VERIFY(w->isActiveWindow());
        QTRY_VERIFY(edit->hasFocus());
        w->CurrentEditor()->sqledit->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(w->CurrentEditor()->sqledit->hasFocus());
        RunLoopFor(200);
        QCOMPARE(boxes.Count, 1);
        // A name never tried, left in the box as the window closes, is not switched to either.
        w->eDatabase->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(edit->hasFocus());
        edit->setText(QStringLiteral("otherbad"));
        w->close();
        delete w;
        RunLoopFor(200);
        QCOMPARE(boxes.Count, 1);
    }

    // The find panel's messages take no room from the search box and buttons.
    void findMessagesKeepTheLayout() {
        TSqlEditor e;
        e.resize(600, 300);
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        e.sqledit->setText(QStringLiteral("abc"));
        e.ShowFindPanel();
        RunLoopFor(50);
        const QRect before = e.eSearchText->geometry();
        const QRect next = e.bNext->geometry();
        e.eSearchText->setText(QStringLiteral("zzz"));
        QVERIFY(e.lNoMatch->isVisible());
        RunLoopFor(50);
        QCOMPARE(e.eSearchText->geometry(), before);
        QCOMPARE(e.bNext->geometry(), next);
        e.eSearchText->setText(QStringLiteral("["));
        QVERIFY(e.lInvalidRegex->isVisible());
        RunLoopFor(50);
        QCOMPARE(e.eSearchText->geometry(), before);
    }

    // Every tab can be reached from the tab list, however many there are.
    void tabListReachesEveryTab() {
        TfTlvnMain w;
        ShowWindow(w);
        for (int i = 0; i < 18; ++i) w.aNew->trigger();
        auto* list = w.pc->findChild<QToolButton*>(QStringLiteral("bTabList"));
        QVERIFY(list && list->isVisible());
        emit list->menu()->aboutToShow();
        const QList<QAction*> items = list->menu()->actions();
        QCOMPARE(items.size(), 19);
        QCOMPARE(items.at(18)->text(), QStringLiteral("19 "));
        QVERIFY(items.at(18)->isChecked());
        items.at(0)->trigger();
        QCOMPARE(w.pc->currentIndex(), 0);
    }

    // Every action of the window carries a picture of the program's own, and no two look alike.
    void everyActionHasItsOwnPicture() {
        TfTlvnMain w;
        QList<QAction*> actions = {w.aNew,       w.aClose,     w.aRefreshItems, w.aExecute,       w.aExecuteDebug,
                                   w.aWordWrap,  w.aFind,      w.aFindNext,     w.aFindPrev,      w.aConnect,
                                   w.aExportCSV, w.aImportXML, w.aWebSite,      w.aFeatureRequest};
        actions.append(w.NbAboutAction1);
        QList<QImage> seen;
        for (QAction* a : actions) {
            QVERIFY(a);
            const QImage img = a->icon().pixmap(16, 16).toImage();
            QVERIFY2(!img.isNull(), qPrintable(a->text()));
            QVERIFY2(!seen.contains(img), qPrintable(a->text()));
            seen.append(img);
        }
    }
};

QTEST_MAIN(TestKeyboard)
#include "test_keyboard.moc"
