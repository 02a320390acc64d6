#include "uSqlEditor.h"
#include "uSqlSearch.h"
#include "uTolvanMain.h"

#include <Qsci/qsciscintilla.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtTest>

Q_DECLARE_METATYPE(TTextPos)

namespace {

// A match as "line:start-end", or the outcome's name, so the table reads plainly.
QString Describe(const TSearchResult& r) {
    switch (r.Outcome) {
    case TSearchOutcome::Empty:
        return QStringLiteral("empty");
    case TSearchOutcome::InvalidPattern:
        return QStringLiteral("invalid");
    case TSearchOutcome::NoMatch:
        return QStringLiteral("none");
    case TSearchOutcome::Found:
        break;
    }
    return QStringLiteral("%1:%2-%3").arg(r.Match.Start.Line).arg(r.Match.Start.Column).arg(r.Match.End.Column);
}

void TypeInto(QLineEdit* edit, const QString& text) {
    for (QChar c : text) QTest::keyClick(edit, c.toLatin1());
}

}  // namespace

class TestFind : public QObject {
    Q_OBJECT
private slots:
    void searchText_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<TTextPos>("caret");
        QTest::addColumn<bool>("forward");
        QTest::addColumn<QString>("expected");
        // Lines: "select a from t", "SELECT b", "where x = 'aaa'"
        QTest::newRow("forward from start") << "select" << TTextPos{0, 0} << true << "0:0-6";
        QTest::newRow("forward at caret counts") << "from" << TTextPos{0, 9} << true << "0:9-13";
        QTest::newRow("forward ignores case") << "SELECT" << TTextPos{0, 1} << true << "1:0-6";
        QTest::newRow("forward wraps") << "select" << TTextPos{2, 3} << true << "0:0-6";
        QTest::newRow("backward ends at caret") << "select" << TTextPos{1, 6} << false << "1:0-6";
        QTest::newRow("backward skips a match past caret") << "select" << TTextPos{1, 5} << false << "0:0-6";
        QTest::newRow("backward wraps") << "where" << TTextPos{0, 0} << false << "2:0-5";
        QTest::newRow("backward takes the last overlapping") << "aa" << TTextPos{2, 14} << false << "2:12-14";
        QTest::newRow("no line-spanning match") << "t\\s+SELECT" << TTextPos{0, 0} << true << "none";
        QTest::newRow("anchors see the whole line") << "^b" << TTextPos{1, 7} << true << "none";
        QTest::newRow("escaped bracket") << "\\[" << TTextPos{0, 0} << true << "none";
        QTest::newRow("open bracket") << "[" << TTextPos{0, 0} << true << "invalid";
        QTest::newRow("empty pattern") << "" << TTextPos{0, 0} << true << "empty";
        QTest::newRow("empty matches skipped") << "x*" << TTextPos{0, 0} << true << "2:6-7";
    }
    void searchText() {
        QFETCH(QString, pattern);
        QFETCH(TTextPos, caret);
        QFETCH(bool, forward);
        QFETCH(QString, expected);
        const QStringList lines{QStringLiteral("select a from t"), QStringLiteral("SELECT b"), QStringLiteral("where x = 'aaa'")};
        QCOMPARE(Describe(SearchText(lines, pattern, caret, forward)), expected);
    }

    // Typing extends the current match instead of moving on; labels follow the last search.
    void incrementalTypingAndLabels() {
        TSqlEditor e;
        e.show();
        e.sqledit->setText(QStringLiteral("sele selection\r\nselected"));
        e.sqledit->setCursorPosition(0, 2);
        e.ShowFindPanel();
        TypeInto(e.eSearchText, QStringLiteral("sel"));
        QCOMPARE(e.sqledit->selectedText(), QStringLiteral("sel"));
        QCOMPARE(e.CaretPos(), (TTextPos{0, 8}));
        TypeInto(e.eSearchText, QStringLiteral("e"));
        QCOMPARE(e.CaretPos(), (TTextPos{0, 9}));
        TypeInto(e.eSearchText, QStringLiteral("cted"));
        QCOMPARE(e.CaretPos(), (TTextPos{1, 8}));
        QVERIFY(!e.lNoMatch->isVisible());

        e.eSearchText->setText(QStringLiteral("zzz"));
        QVERIFY(e.lNoMatch->isVisible());
        QCOMPARE(e.sqledit->selectedText(), QString());

        e.eSearchText->setText(QStringLiteral("["));
        QVERIFY(!e.lNoMatch->isVisible());
        QVERIFY(e.lInvalidRegex->isVisible());
        e.eSearchText->setText(QStringLiteral("\\[?selected"));
        QVERIFY(!e.lInvalidRegex->isVisible());
        QCOMPARE(e.sqledit->selectedText(), QStringLiteral("selected"));

        e.eSearchText->setText(QString());
        QVERIFY(!e.lInvalidRegex->isVisible() && !e.lNoMatch->isVisible());
        QCOMPARE(e.sqledit->selectedText(), QStringLiteral("selected"));
    }

    void nextPreviousAndNonAsciiText() {
        TSqlEditor e;
        e.show();
        e.sqledit->setText(QStringLiteral("Malmö ö\r\nöl"));
        e.ShowFindPanel();
        e.eSearchText->setText(QStringLiteral("Ö"));
        QCOMPARE(e.CaretPos(), (TTextPos{0, 5}));
        QTest::keyClick(e.eSearchText, Qt::Key_Return);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 7}));
        e.bNext->click();
        QCOMPARE(e.CaretPos(), (TTextPos{1, 1}));
        e.bNext->click();
        QCOMPARE(e.CaretPos(), (TTextPos{0, 5}));
        e.bPrevious->click();  // caret at 0:5, the match 4-5 ends there
        QCOMPARE(e.CaretPos(), (TTextPos{0, 4}));
        e.bPrevious->click();
        QCOMPARE(e.CaretPos(), (TTextPos{1, 0}));
        QCOMPARE(e.sqledit->selectedText(), QStringLiteral("ö"));
    }

    void panelShowsHidesAndEscapeCloses() {
        TSqlEditor e;
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        QVERIFY(!e.pSearch->isVisible());
        e.ToggleFindPanel();
        QVERIFY(e.pSearch->isVisible());
        QCOMPARE(e.pSearch->height(), 32);
        QTRY_VERIFY(e.eSearchText->hasFocus());
        QTest::keyClick(e.eSearchText, Qt::Key_Escape);
        QVERIFY(!e.pSearch->isVisible());
        QTRY_VERIFY(e.sqledit->hasFocus());
        e.ToggleFindPanel();
        e.ToggleFindPanel();
        QVERIFY(!e.pSearch->isVisible());
    }

    // Tab stays in the editor and indents with spaces; Backspace in the indent goes back one level.
    void tabIndentsWithSpaces() {
        TSqlEditor e;
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        e.sqledit->setFocus();
        QTRY_VERIFY(e.sqledit->hasFocus());
        QTest::keyClick(e.sqledit, Qt::Key_Tab);
        QTest::keyClick(e.sqledit, Qt::Key_Tab);
        QTest::keyClick(e.sqledit, Qt::Key_Backspace);
        QVERIFY(e.sqledit->hasFocus());
        QCOMPARE(e.sqledit->text(), QStringLiteral("    "));
    }

    // Home alternates between the first non-blank character and column 1, End between the last
    // non-blank character and the line end.
    void homeAndEndAlternate() {
        TSqlEditor e;
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        e.sqledit->setText(QStringLiteral("  abc   \r\nnext"));
        e.sqledit->setCursorPosition(0, 4);
        QTest::keyClick(e.sqledit, Qt::Key_Home);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 2}));
        QTest::keyClick(e.sqledit, Qt::Key_Home);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 0}));
        QTest::keyClick(e.sqledit, Qt::Key_End);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 5}));
        QTest::keyClick(e.sqledit, Qt::Key_End);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 8}));
        QTest::keyClick(e.sqledit, Qt::Key_End);
        QCOMPARE(e.CaretPos(), (TTextPos{0, 5}));
        e.sqledit->setCursorPosition(0, 2);
        QTest::keyClick(e.sqledit, Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(e.sqledit->selectedText(), QStringLiteral("abc"));
    }

    // Enter trims the spaces the line leaves behind, keeps the indent for the new line, and one undo
    // takes back both.
    void enterTrimsTrailingSpacesAndKeepsIndent() {
        TSqlEditor e;
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        e.sqledit->setText(QStringLiteral("  select 1   "));
        e.sqledit->setCursorPosition(0, 13);
        QTest::keyClick(e.sqledit, Qt::Key_Return);
        QCOMPARE(e.sqledit->text(), QStringLiteral("  select 1\r\n  "));
        QCOMPARE(e.CaretPos(), (TTextPos{1, 2}));
        e.sqledit->undo();
        QCOMPARE(e.sqledit->text(), QStringLiteral("  select 1   "));
    }

    void scrollHintNamesTheTopLine() {
        TSqlEditor e;
        e.resize(300, 200);
        e.SetWordWrap(false);
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        QStringList lines;
        for (int i = 1; i <= 200; ++i) lines << QStringLiteral("line %1").arg(i);
        e.sqledit->setText(lines.join(QStringLiteral("\r\n")));
        emit e.sqledit->verticalScrollBar()->sliderMoved(41);
        QCOMPARE(QToolTip::text(), QStringLiteral("Line: 42"));
    }

    // The frame raises OnShow once, and its active control waits until the frame is in a window.
    void frameShowAndPendingActiveControl() {
        QWidget window;
        auto* other = new QLineEdit(&window);
        auto* e = new TSqlEditor;
        int shows = 0;
        e->OnShow = [&shows] { ++shows; };
        QCOMPARE(e->ActiveControl(), nullptr);
        QCOMPARE(e->PendingActiveControl(), e->sqledit);
        e->setParent(&window);
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(other);
        layout->addWidget(e);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        other->setFocus();
        QTRY_COMPARE(e->ActiveControl(), other);
        e->setFocus();
        QTRY_COMPARE(e->ActiveControl(), e->sqledit);
        QCOMPARE(e->PendingActiveControl(), nullptr);
        e->hide();
        e->show();
        QCOMPARE(shows, 1);
        e->SetActiveControl(e->eSearchText);
        QCOMPARE(e->PendingActiveControl(), nullptr);
    }

    // F3 with the panel hidden shows it and searches for the remembered text; with no tab it opens one.
    void findNextFromTheWindow() {
        TfTlvnMain w;
        w.AutoConnect = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.aNew->trigger();
        TSqlEditor* e = w.CurrentEditor();
        e->sqledit->setText(QStringLiteral("a go b go"));
        e->ShowFindPanel();
        e->eSearchText->setText(QStringLiteral("go"));
        QCOMPARE(e->CaretPos(), (TTextPos{0, 4}));
        e->HideFindPanel();
        w.aFindNext->trigger();
        QVERIFY(e->pSearch->isVisible());
        QTRY_VERIFY(e->eSearchText->hasFocus());
        QCOMPARE(e->CaretPos(), (TTextPos{0, 9}));
        w.aFindPrev->trigger();
        QCOMPARE(e->CaretPos(), (TTextPos{0, 7}));

        while (w.pc->count() > 0) w.aClose->trigger();
        QVERIFY(!w.aFind->isEnabled());
        w.aFindNext->trigger();
        QCOMPARE(w.pc->count(), 1);
        QVERIFY(w.CurrentEditor()->pSearch->isVisible());
    }
};

QTEST_MAIN(TestFind)
#include "test_find.moc"
