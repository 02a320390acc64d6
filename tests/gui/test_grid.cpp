// The data grid over in-memory datasets, offscreen: auto-sizing, sorting by title clicks, the
// title highlight, read-only browsing and editing, copying, and the grid's own errors.
#include "uDbAccess.h"
#include "uNbDBGrid.h"
#include "uNbData.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {

// Lets the event loop block, so that the grid's idle delay can fire (QTest::qWait never blocks).
void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A dataset of the given columns ("name:type:size") and rows ("<null>" for null).
template <class T = TNbDataSet>
std::unique_ptr<T> MakeData(const std::vector<std::tuple<const char*, int, int>>& fields,
                            const std::vector<std::vector<const char*>>& rows) {
    auto ds = std::make_unique<T>();
    for (const auto& [name, type, size] : fields) ds->DefineField(name, type, size);
    ds->Open();
    for (const auto& row : rows) {
        ds->AppendRow();
        for (size_t i = 0; i < row.size(); ++i)
            if (std::string(row[i]) != "<null>") ds->Field(static_cast<int>(i)).SetValueText(row[i]);
        ds->PostRow();
    }
    ds->MoveFirst();
    return ds;
}

QHeaderView* Titles(TNbDBGrid& g) { return g.findChild<QHeaderView*>(); }

QPoint TitleCentre(TNbDBGrid& g, int column) {
    QHeaderView* h = Titles(g);
    return QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
}

std::vector<std::string> ColumnValues(TMemCustomDataSet& ds, int field) {
    std::vector<std::string> out;
    for (int r = 0; r < ds.RowCount(); ++r) out.push_back(ds.Field(field).DisplayTextFrom(ds.RowValuesAt(r)));
    return out;
}

struct Shown {
    std::unique_ptr<TNbDBGrid> grid = std::make_unique<TNbDBGrid>();
    explicit Shown(TMemCustomDataSet* ds, int w = 500, int h = 300) {
        grid->resize(w, h);
        grid->SetDataSet(ds);
    }
    void Show(bool autoSize = false) {
        grid->AutoSizeColumns = autoSize;
        grid->show();
        QVERIFY(QTest::qWaitForWindowExposed(grid.get()));
        RunLoopFor(40);
    }
};

}  // namespace

class TestGrid : public QObject {
    Q_OBJECT
private slots:
    void autoSizeFollowsTheRowsShown() {
        // 200 rows of 3-character values in a column declared 50 wide; row 150 holds 16 characters.
        std::vector<std::vector<const char*>> rows(200, {"abc", "  "});
        rows[150] = {"abcdefghijklmnop", ""};
        auto ds = MakeData({{"Name", ftString, 50}, {"B", ftString, 10}}, rows);
        Shown s(ds.get());
        QCOMPARE(s.grid->ColumnWidth(0),
                 ds->Field(0).DisplayWidth() * QFontMetrics(s.grid->font()).horizontalAdvance(QLatin1Char('0')) + 4);
        s.Show(true);
        const int w0 = QFontMetrics(s.grid->font()).horizontalAdvance(QLatin1Char('0'));
        const int title = QFontMetrics(Titles(*s.grid)->font()).horizontalAdvance(QStringLiteral("Name"));
        QCOMPARE(ds->Field(0).DisplayWidth(), 3);
        QCOMPARE(s.grid->ColumnWidth(0), std::max(3 * w0 + 4, title + 4));
        QCOMPARE(ds->Field(1).DisplayWidth(), 1);  // blank values count as one character

        s.grid->verticalScrollBar()->setValue(140);
        RunLoopFor(40);
        QCOMPARE(ds->Field(0).DisplayWidth(), 16);
        QCOMPARE(s.grid->ColumnWidth(0), 16 * w0 + 4);
        s.grid->verticalScrollBar()->setValue(0);
        RunLoopFor(40);
        s.grid->verticalScrollBar()->setValue(3);
        RunLoopFor(40);
        QCOMPARE(s.grid->ColumnWidth(0), 16 * w0 + 4);  // scrolled away: it does not narrow

        // A drag of a column border stops automatic sizing for good.
        QHeaderView* h = Titles(*s.grid);
        const int border = h->sectionViewportPosition(1) + h->sectionSize(1) - 1;
        QTest::mouseMove(h->viewport(), QPoint(border, h->height() / 2));
        QTest::mousePress(h->viewport(), Qt::LeftButton, {}, QPoint(border, h->height() / 2));
        QTest::mouseMove(h->viewport(), QPoint(border + 30, h->height() / 2));
        QTest::mouseRelease(h->viewport(), Qt::LeftButton, {}, QPoint(border + 30, h->height() / 2));
        QVERIFY(s.grid->UserResized());
        const int widthB = s.grid->ColumnWidth(1);
        ds->SetRowNumber(2);
        ds->EditRow();
        ds->Field(1).SetValueText("a long text for B");
        ds->PostRow();
        s.grid->verticalScrollBar()->setValue(0);
        RunLoopFor(40);
        s.grid->verticalScrollBar()->setValue(1);
        RunLoopFor(40);
        QCOMPARE(s.grid->ColumnWidth(1), widthB);
        QCOMPARE(s.grid->ColumnWidth(0), 16 * w0 + 4);
    }

    void titleClicksSort_data() {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("firstA");
        QTest::newRow("once: ascending") << QList<int>{0} << "A" << 0 << "1";
        QTest::newRow("twice: descending") << QList<int>{0, 0} << "A" << 1 << "3";
        QTest::newRow("three times: ascending") << QList<int>{0, 0, 0} << "A" << 0 << "1";
        QTest::newRow("another title: ascending") << QList<int>{0, 0, 1} << "B" << 0 << "3";
    }
    void titleClicksSort() {
        QFETCH(QList<int>, clicks);
        QFETCH(QString, field);
        QFETCH(int, direction);
        QFETCH(QString, firstA);
        auto ds = MakeData({{"A", ftInteger, 0}, {"B", ftString, 5}}, {{"2", "b"}, {"3", "a"}, {"1", "c"}});
        Shown s(ds.get());
        s.grid->AllowSorting = true;
        int raised = 0;
        s.grid->OnTitleClick = [&raised](int) { ++raised; };
        s.Show();
        for (int c : clicks) QTest::mouseClick(Titles(*s.grid)->viewport(), Qt::LeftButton, {}, TitleCentre(*s.grid, c));
        QCOMPARE(raised, static_cast<int>(clicks.size()));
        QCOMPARE(QString::fromStdString(s.grid->SortFieldName()), field);
        QCOMPARE(s.grid->SortDirection(), direction);
        QCOMPARE(QString::fromStdString(ColumnValues(*ds, 0)[0]), firstA);
    }

    void sortIconsOnlyWithSorting() {
        auto ds = MakeData({{"A", ftInteger, 0}}, {{"2"}, {"1"}});
        for (bool allow : {false, true}) {
            Shown s(ds.get());
            s.grid->AllowSorting = allow;
            s.Show();
            QHeaderView* h = Titles(*s.grid);
            const QImage img = h->grab().toImage();
            // The unsorted icon's lower triangle is silver, 7 pixels in from the title's right edge.
            const int x = h->sectionViewportPosition(0) + h->sectionSize(0) - 7 + 3;
            const int y = (h->height() - 10) / 2 + 8;
            QCOMPARE(img.pixelColor(x, y) == QColor(192, 192, 192), allow);
        }
    }

    void recordsetResultIsNotSorted() {
        auto ds = MakeData<TDbDataSet>({{"A", ftInteger, 0}}, {{"2"}, {"1"}, {"3"}});
        Shown s(ds.get());
        s.grid->AllowSorting = true;
        int raised = -1;
        s.grid->OnTitleClick = [&raised](int column) { raised = column; };
        s.Show();
        QTest::mouseClick(Titles(*s.grid)->viewport(), Qt::LeftButton, {}, TitleCentre(*s.grid, 0));
        QCOMPARE(raised, 0);
        QCOMPARE(s.grid->SortDirection(), -1);
        QCOMPARE(ColumnValues(*ds, 0), (std::vector<std::string>{"2", "1", "3"}));
    }

    void hoverHighlightsTheTitle() {
        auto ds = MakeData({{"A", ftString, 5}, {"B", ftString, 5}}, {{"x", "y"}});
        Shown s(ds.get());
        s.Show();
        QHeaderView* h = Titles(*s.grid);
        QTest::mouseMove(h->viewport(), TitleCentre(*s.grid, 0));
        QCOMPARE(s.grid->HoveredTitle(), std::string("A"));
        // Black until a colour is set.
        QCOMPARE(h->grab().toImage().pixelColor(h->sectionViewportPosition(0) + 1, 2), QColor(Qt::black));
        QTest::mouseMove(h->viewport(), TitleCentre(*s.grid, 1));
        QCOMPARE(s.grid->HoveredTitle(), std::string("B"));
        QTest::mouseMove(s.grid->viewport(), QPoint(5, 5));
        QCOMPARE(s.grid->HoveredTitle(), std::string());
        QCOMPARE(h->grab().toImage().pixelColor(h->sectionViewportPosition(0) + 1, 2), s.grid->palette().color(QPalette::Button));
        s.grid->HighlightTitle = false;
        QTest::mouseMove(h->viewport(), TitleCentre(*s.grid, 0));
        QCOMPARE(s.grid->HoveredTitle(), std::string());
    }

    void readOnlyResultIsBrowsedNotChanged() {
        auto ds = MakeData({{"A", ftString, 10}}, {{"one"}, {"two"}});
        ds->SetReadOnly(true);
        Shown s(ds.get());
        s.Show();
        s.grid->setFocus();
        QTest::keyClick(s.grid.get(), Qt::Key_X);
        QTest::keyClick(s.grid.get(), Qt::Key_Escape);
        QCOMPARE(ColumnValues(*ds, 0), (std::vector<std::string>{"one", "two"}));
        // F2 shows the editor, its text selectable but not changeable.
        QTest::keyClick(s.grid.get(), Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor && editor->isVisible() && editor->parent() == s.grid->viewport());
        QVERIFY(editor->isReadOnly());
        QCOMPARE(editor->selectedText(), QStringLiteral("one"));
        QTest::keyClick(editor, Qt::Key_Z);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents();
        QCOMPARE(ColumnValues(*ds, 0), (std::vector<std::string>{"one", "two"}));
        // Down at the last record appends nothing; Ctrl+Delete deletes nothing and asks nothing.
        s.grid->setFocus();
        QTest::keyClick(s.grid.get(), Qt::Key_Down);
        QTest::keyClick(s.grid.get(), Qt::Key_Down);
        QCOMPARE(ds->RowCount(), 2);
        QCOMPARE(ds->RowNumber(), 2);
        QCOMPARE(s.grid->currentIndex().row(), 1);
        bool asked = false;
        QTimer::singleShot(200, [&asked] {
            if (QWidget* m = QApplication::activeModalWidget()) {
                asked = true;
                m->close();
            }
        });
        QTest::keyClick(s.grid.get(), Qt::Key_Delete, Qt::ControlModifier);
        RunLoopFor(300);
        QVERIFY(!asked);
        QCOMPARE(ds->RowCount(), 2);
    }

    void editsPostAndAFailedPostStaysInEditing() {
        auto ds = MakeData<TMemDataSet>({{"A", ftInteger, 0}}, {{"1"}, {"2"}});
        TMemIndex& idx = ds->Indexes().FindOrAddIndex("ByA");
        idx.SetFields("A");
        idx.SetOptions(idx.Options() | ioUnique);
        idx.SetActive(true);
        Shown s(ds.get());
        std::string error;
        s.grid->OnError = [&error](const std::exception& e) { error = e.what(); };
        s.Show();
        s.grid->setFocus();
        QTest::keyClick(s.grid.get(), Qt::Key_F2);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("5"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCoreApplication::processEvents();  // the editor commits through a queued call
        QCOMPARE(ds->State(), TDataSetState::Browse);
        QCOMPARE(ColumnValues(*ds, 0), (std::vector<std::string>{"5", "2"}));

        QTest::keyClick(s.grid.get(), Qt::Key_Down);
        QTest::keyClick(s.grid.get(), Qt::Key_F2);
        auto* e = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(e);
        e->selectAll();
        QTest::keyClicks(e, QStringLiteral("5"));
        QTest::keyClick(e, Qt::Key_Return);
        QCoreApplication::processEvents();
        QCOMPARE(error, std::string("Violation of unique index ByA(A)"));
        QCOMPARE(ds->State(), TDataSetState::Edit);
        // Moving away tries the post again; it fails again and the record stays current.
        QTest::keyClick(s.grid.get(), Qt::Key_Up);
        QCOMPARE(ds->State(), TDataSetState::Edit);
        QCOMPARE(s.grid->currentIndex().row(), 1);
        QTest::keyClick(s.grid.get(), Qt::Key_Escape);
        QCOMPARE(ds->State(), TDataSetState::Browse);
        QCOMPARE(ColumnValues(*ds, 0), (std::vector<std::string>{"5", "2"}));
    }

    void copyAsTabSeparatedText() {
        auto ds = MakeData({{"N", ftInteger, 0}, {"T", ftString, 10}, {"U", ftString, 10}},
                           {{"1", "a\tb", "<null>"}, {"22", "", "x"}, {"333", "c", "y"}});
        Shown s(ds.get());
        s.Show();
        s.grid->setFocus();
        auto* m = s.grid->model();
        s.grid->selectionModel()->select(QItemSelection(m->index(0, 1), m->index(1, 2)), QItemSelectionModel::ClearAndSelect);
        QTest::keyClick(s.grid.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("\"a\tb\"\t\n\tx\n"));
        s.grid->selectAll();
        QTest::keyClick(s.grid.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("N\tT\tU\n1\t\"a\tb\"\t\n22\t\tx\n333\tc\ty\n"));
    }

    void nullIsMutedAndNumbersRightAligned() {
        auto ds = MakeData({{"N", ftInteger, 0}, {"T", ftString, 20}}, {{"7", "<null>"}, {"8", ""}});
        Shown s(ds.get());
        s.Show();
        s.grid->clearSelection();
        s.grid->clearFocus();
        const QImage img = s.grid->viewport()->grab().toImage();
        const QColor base = s.grid->palette().color(QPalette::Base);
        const QColor lines(192, 192, 192);
        auto inked = [&](int column, int row, QColor* colour) {
            const QRect cell = s.grid->visualRect(s.grid->model()->index(row, column)).adjusted(1, 1, -2, -2);
            int left = -1, right = -1;
            for (int x = cell.left(); x <= cell.right(); ++x)
                for (int y = cell.top(); y <= cell.bottom(); ++y) {
                    const QColor c = img.pixelColor(x, y);
                    if (c == base || c == lines) continue;
                    if (left < 0) left = x;
                    right = x;
                    if (colour && c.lightness() < colour->lightness()) *colour = c;
                }
            if (left < 0) return std::pair{-1, -1};
            return std::pair{left - cell.left(), cell.right() - right};
        };
        const auto [numberLeft, numberRight] = inked(0, 0, nullptr);
        QVERIFY(numberRight < numberLeft);  // the digit sits at the right
        QColor darkest = Qt::white;
        const auto [nullLeft, nullRight] = inked(1, 0, &darkest);
        QVERIFY(nullLeft >= 0 && nullLeft < nullRight);               // "NULL" shows, at the left
        QVERIFY(darkest != s.grid->palette().color(QPalette::Text));  // muted, not the text colour
        QCOMPARE(inked(1, 1, nullptr).first, -1);                     // an empty text shows nothing
    }

    void pageKeysMoveTheRecord() {
        std::vector<std::vector<const char*>> rows(1000, {"v"});
        auto ds = MakeData({{"A", ftString, 5}, {"B", ftString, 5}}, rows);
        Shown s(ds.get());
        s.Show();
        s.grid->setFocus();
        const int page = s.grid->VisibleRows();
        QTest::keyClick(s.grid.get(), Qt::Key_PageDown);
        QCOMPARE(ds->RowNumber(), 1 + page);
        QTest::keyClick(s.grid.get(), Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(ds->RowNumber(), 1000);
        QCOMPARE(s.grid->TopRow(), 1000 - page);
        QTest::keyClick(s.grid.get(), Qt::Key_End);
        QCOMPARE(s.grid->currentIndex().column(), 1);
        QTest::keyClick(s.grid.get(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(ds->RowNumber(), 1);
        // A wheel notch down moves one record forward, up one back.
        const QPointF at(20, 20);
        QWheelEvent down(at, s.grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                         Qt::NoScrollPhase, false);
        QApplication::sendEvent(s.grid->viewport(), &down);
        QApplication::sendEvent(s.grid->viewport(), &down);
        QCOMPARE(ds->RowNumber(), 3);
        QWheelEvent up(at, s.grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                       false);
        QApplication::sendEvent(s.grid->viewport(), &up);
        QCOMPARE(ds->RowNumber(), 2);
        // The cursor moved elsewhere brings the grid along.
        ds->SetRowNumber(500);
        QCOMPARE(s.grid->currentIndex().row(), 499);
        QVERIFY(s.grid->TopRow() <= 499 && 499 < s.grid->TopRow() + page);
    }

    void fixedRowErrors() {
        auto ds = MakeData({{"A", ftString, 5}}, {{"x"}, {"y"}});
        Shown s(ds.get());
        s.Show();
        QCOMPARE(s.grid->RowCount(), 3);  // the title row and two records
        try {
            s.grid->SetFixedRows(3);
            QFAIL("no error");
        } catch (const std::exception& e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Fixed row count must be less than row count which is 3"));
        }
        try {
            s.grid->SetFixedRows(-1);
            QFAIL("no error");
        } catch (const std::exception& e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Grid index out of range"));
        }
        s.grid->SetFixedRows(2);
        QCOMPARE(s.grid->FixedRows(), 2);
    }
};

QTEST_MAIN(TestGrid)
#include "test_grid.moc"
