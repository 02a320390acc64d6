// The main window against the stand-in: database box, runs rendered on the Text page, tabs.
#include "SandboxProcess.h"
#include "window_fixture.h"
#include "uNbDBGrid.h"
#include "uResultPages.h"
#include "uSqlEditor.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

class TestWindowRun : public QObject {
    Q_OBJECT
    SandboxProcess* server = nullptr;

    void Connect(TfTlvnMain& w) {
        ConnectWindow(w, *server);
    }

private slots:
    void initTestCase() { server = new SandboxProcess(true); }
    void cleanupTestCase() { delete server; }

    void runsNeedAConnectionAndADatabase() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!w.aExecute->isEnabled());
        w.CurrentEditor()->sqledit->setText(QStringLiteral("select 1"));
        QTest::keyClick(&w, Qt::Key_F5);
        QVERIFY(!w.resulttext->isVisible());  // F5 did nothing

        Connect(w);
        QVERIFY(w.eDatabase->isEnabled());
        QCOMPARE(w.eDatabase->count(), 3);  // demo, master, tempdb
        QCOMPARE(w.eDatabase->itemText(0), QStringLiteral("demo"));
        QCOMPARE(w.eDatabase->currentText(), QString());
        QVERIFY(!w.aExecute->isEnabled());
        QCOMPARE(w.statusText->text(), QStringLiteral("Choose a database from the dropdown list."));

        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        QCOMPARE(w.CurrentDatabase, std::string("demo"));
        QVERIFY(w.aExecute->isEnabled());
        // Refresh keeps the box's text.
        w.aRefreshItems->trigger();
        QCOMPARE(w.eDatabase->currentText(), QStringLiteral("demo"));
    }

    void twoBatchesOnTheTextPage() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Connect(w);
        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        w.CurrentEditor()->sqledit->setText(
            QStringLiteral("select top 2 ProductID from Products order by ProductID\ngo\nGO\nprint 'hi'\nselect 'x' as c\n"));
        w.aExecute->trigger();
        QVERIFY(w.resulttext->isVisible());
        // A lower-case "go" is not a separator: the server sees it and refuses it.
        QVERIFY(w.resulttext->toPlainText().endsWith(QStringLiteral("] Incorrect syntax near 'go'.")));
        QCOMPARE(w.statusText->text(), QStringLiteral("DONE"));

        w.CurrentEditor()->sqledit->setText(QStringLiteral("select 1 as a\nGO\nprint 'hi'\nselect 'x' as c\n"));
        w.aExecute->trigger();
        // Results open on the Grid page; the Text page renders when it comes to the front.
        QCOMPARE(w.pcResults->currentWidget(), w.ResultPages->tsGrid);
        w.pcResults->setCurrentWidget(w.resulttext);
        QCOMPARE(w.resulttext->toPlainText(), QStringLiteral("SQLMessage: hi\nRowcount: 1\na \n- \n1 \n\nRowcount: 1\nc \n- \nx \n"));

        w.CurrentEditor()->sqledit->setText(QStringLiteral("select * from Nowhere\n"));
        w.aExecute->trigger();
        QVERIFY(QRegularExpression(QStringLiteral("^\\n\\[\\d\\d:\\d\\d:\\d\\d\\] Invalid object name 'Nowhere'\\.$"))
                    .match(w.resulttext->toPlainText())
                    .hasMatch());

        // A debug run switches the toolbar's execute button to the debug one.
        w.CurrentEditor()->sqledit->setText(QStringLiteral("exec SetOrderStatus 1, 'Nope'\n"));
        w.aExecuteDebug->trigger();
        QVERIFY(!w.aSilly1->isVisible());
        QVERIFY(w.aSilly2->isVisible());
        QVERIFY(w.resulttext->toPlainText().contains(QStringLiteral("Unknown order status Nope.")));
        w.aExecute->trigger();
        QVERIFY(w.aSilly1->isVisible());
    }

    // Which page a run opens on, which tabs show, and when the Text page renders.
    void resultPagesFollowTheUser() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Connect(w);
        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        const QString two = QStringLiteral("select 1 as a\nGO\nselect 'x' as c\n");
        const QString rendered = QStringLiteral("Rowcount: 1\na \n- \n1 \n\nRowcount: 1\nc \n- \nx \n");
        const QString waiting = QStringLiteral("Rendering, please wait...");
        QWidget* text = w.resulttext;
        QWidget* grid = w.ResultPages->tsGrid;
        struct Step {
            const char* name;
            QWidget* bringToFront;  // by the user, before the run
            QString sql;
            QWidget* front;
            bool gridTab;
            int grids;
            QString textShown;  // empty: not checked
        };
        const std::vector<Step> steps{
            {"first run with results: the Grid page", nullptr, two, grid, true, 2, waiting},
            {"Text left in front: the next run opens on it, rendered", text, two, text, true, 2, rendered},
            {"messages only: Text alone", nullptr, QStringLiteral("print 'only'\n"), text, false, 0, QString()},
            {"the earlier choice still holds", nullptr, two, text, true, 2, rendered},
            {"Grid left in front: the next run opens on it", grid, two, grid, true, 2, waiting},
            {"a failure: Text, no grids", nullptr, QStringLiteral("select * from Nowhere\n"), text, false, 0, QString()},
            {"three results: three grids", nullptr, QStringLiteral("select 1 as a\nselect 2 as b\nselect 3 as c\n"), grid, true, 3,
             waiting},
        };
        for (const Step& st : steps) {
            if (st.bringToFront) w.pcResults->setCurrentWidget(st.bringToFront);
            w.CurrentEditor()->sqledit->setText(st.sql);
            w.aExecute->trigger();
            QVERIFY2(w.pcResults->isVisible(), st.name);
            QVERIFY2(w.pcResults->currentWidget() == st.front, st.name);
            QVERIFY2(w.pcResults->isTabVisible(w.pcResults->indexOf(grid)) == st.gridTab, st.name);
            QVERIFY2(w.pcResults->isTabVisible(w.pcResults->indexOf(text)), st.name);
            QVERIFY2(static_cast<int>(w.ResultPages->Grids().size()) == st.grids, st.name);
            if (!st.textShown.isEmpty()) QVERIFY2(w.resulttext->toPlainText() == st.textShown, st.name);
        }
        // The three grids stack top to bottom in result order.
        const auto& grids = w.ResultPages->Grids();
        QVERIFY(grids[2]->y() < grids[1]->y() && grids[1]->y() < grids[0]->y());
        QCOMPARE(grids[0]->y() + grids[0]->height(), grid->height());
        // Switching to Text renders once; switching back and forth does not render again.
        w.pcResults->setCurrentWidget(text);
        QCOMPARE(w.resulttext->toPlainText(),
                 QStringLiteral("Rowcount: 1\na \n- \n1 \n\nRowcount: 1\nb \n- \n2 \n\nRowcount: 1\nc \n- \n3 \n"));
        w.resulttext->setPlainText(QStringLiteral("kept"));
        w.pcResults->setCurrentWidget(grid);
        w.pcResults->setCurrentWidget(text);
        QCOMPARE(w.resulttext->toPlainText(), QStringLiteral("kept"));

        // "X" hides the pane; the next run shows it again.
        QToolButton* x = nullptr;
        for (QToolButton* b : w.findChildren<QToolButton*>())
            if (b->text() == QStringLiteral("X")) x = b;
        QVERIFY(x && x->isVisible());
        QTest::mouseClick(x, Qt::LeftButton);
        QVERIFY(!w.pcResults->isVisible());
        w.aExecute->trigger();
        QVERIFY(w.pcResults->isVisible());
    }

    // While a run works, the Cancel button beside the status text and Esc are the only input the
    // window takes; either stops the run, keeps what it read and leaves the connection usable.
    void cancelButtonAndEscape_data() {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Esc") << true;
    }
    void cancelButtonAndEscape() {
        QFETCH(bool, byEscape);
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Connect(w);
        w.eDatabase->setEditText(QStringLiteral("demo"));
        w.SelectDatabase(QStringLiteral("demo"));
        QVERIFY(!w.bCancel->isVisible());
        w.CurrentEditor()->sqledit->setText(QStringLiteral("select 1 as a\nGO\nwaitfor delay '00:01:00'\nGO\nselect 2 as b\n"));
        bool sawButton = false;
        int tabsDuringRun = -1;
        QTimer::singleShot(500, &w, [&] {
            sawButton = w.bCancel->isVisible() && w.bCancel->isEnabled() && w.statusText->text().startsWith(QStringLiteral("Running: "));
            QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_N, Qt::ControlModifier);  // refused while busy
            tabsDuringRun = w.pc->count();
            if (byEscape)
                QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_Escape);
            else
                QTest::mouseClick(w.bCancel, Qt::LeftButton);
        });
        w.aExecute->trigger();
        QVERIFY(sawButton);
        QCOMPARE(tabsDuringRun, 1);
        QCOMPARE(w.pc->count(), 1);
        QVERIFY(!w.bCancel->isVisible());
        QCOMPARE(w.statusText->text(), QStringLiteral("DONE"));
        QCOMPARE(w.pcResults->currentWidget(), static_cast<QWidget*>(w.resulttext));
        const QString text = w.resulttext->toPlainText();
        QVERIFY2(text.startsWith(QStringLiteral("Rowcount: 1\n")), qPrintable(text));
        QVERIFY2(text.endsWith(QStringLiteral("] Query cancelled by user.")), qPrintable(text));
        QCOMPARE(static_cast<int>(w.ResultPages->Grids().size()), 1);  // the earlier batch's result keeps its grid
        // The connection goes on.
        w.CurrentEditor()->sqledit->setText(QStringLiteral("select 3 as c\n"));
        w.aExecute->trigger();
        QCOMPARE(w.Run->ResultList.size(), size_t{1});
        QCOMPARE(w.Run->ResultList[0]->Field(0).AsInteger(), 3);
    }

    void tabsNumberAndSwitch() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < 9; ++i) w.aNew->trigger();
        QCOMPARE(w.pc->count(), 10);
        QCOMPARE(w.pc->tabText(0), QStringLiteral("&1 "));
        QCOMPARE(w.pc->tabText(9), QStringLiteral("10 "));
        w.pc->setCurrentIndex(1);
        w.aClose->trigger();
        QCOMPARE(w.pc->count(), 9);
        QCOMPARE(w.pc->currentIndex(), 0);
        QCOMPARE(w.pc->tabText(8), QStringLiteral("&9 "));
        QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_3, Qt::ControlModifier);
        QCOMPARE(w.pc->currentIndex(), 2);
        QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(w.pc->currentIndex(), 3);
        w.pc->setCurrentIndex(0);
        QTest::keyClick(w.CurrentEditor()->sqledit, Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(w.pc->currentIndex(), 8);
        while (w.pc->count() > 0) w.aClose->trigger();
        QVERIFY(!w.aClose->isEnabled());
        QVERIFY(!w.aWordWrap->isEnabled());
        QVERIFY(w.CurrentEditor() != nullptr);  // a new tab when there is none
        QCOMPARE(w.pc->count(), 1);
    }
};

QTEST_MAIN(TestWindowRun)
#include "test_window_run.moc"
