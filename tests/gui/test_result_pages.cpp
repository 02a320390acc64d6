// The Grid page's layout: grid heights from the record counts and the page height, and the grids
// and splitters as they are placed on a real page.
#include "uNbDBGrid.h"
#include "uNbData.h"
#include "uResultPages.h"

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

std::unique_ptr<TMemCustomDataSet> Rows(int n) {
    auto ds = std::make_unique<TNbDataSet>();
    ds->DefineField("A", ftInteger, 0);
    ds->Open();
    for (int i = 0; i < n; ++i) {
        ds->AppendRow();
        ds->Field(0).SetAsInteger(i);
        ds->PostRow();
    }
    return ds;
}

}  // namespace

class TestResultPages : public QObject {
    Q_OBJECT
private slots:
    void heights_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QList<int>>("records");
        QTest::addColumn<QList<int>>("heights");
        QTest::newRow("one result fills the page") << 400 << QList<int>{50} << QList<int>{400};
        QTest::newRow("1, 50, 3 records: share, 10 units, the rest") << 400 << QList<int>{1, 50, 3} << QList<int>{131, 190, 73};
        QTest::newRow("zero records: two units over a smaller share") << 70 << QList<int>{0, 0} << QList<int>{38, 29};
        QTest::newRow("zero records: the share over two units") << 400 << QList<int>{0, 0} << QList<int>{198, 199};
        QTest::newRow("tall grids leave nothing for the last") << 200 << QList<int>{50, 50, 50} << QList<int>{190, 190, 0};
    }
    void heights() {
        QFETCH(int, page);
        QFETCH(QList<int>, records);
        QFETCH(QList<int>, heights);
        const std::vector<int> got = ResultGridHeights(page, std::vector<int>(records.begin(), records.end()));
        QCOMPARE(QList<int>(got.begin(), got.end()), heights);
    }

    void gridsStackOnThePage() {
        // The datasets outlive the pages that show them.
        std::vector<std::unique_ptr<TMemCustomDataSet>> results, one;
        QTabWidget pc;
        auto* text = new QPlainTextEdit(&pc);
        pc.addTab(text, QStringLiteral("&Text"));
        auto* x = new QToolButton(&pc);
        TResultPages pages(pc, *text, *x);
        pc.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pc));
        pc.resize(600, 400 + (pc.height() - text->height()));
        QTRY_COMPARE(text->height(), 400);

        for (int n : {1, 50, 3}) results.push_back(Rows(n));
        pages.BuildResultGrids(results);
        pages.ShowGridPage();
        QCOMPARE(pc.currentWidget(), pages.tsGrid);
        // The list keeps the last result's grid first; on the page the first result is on top.
        QCOMPARE(pages.Grids().size(), size_t(3));
        QCOMPARE(pages.Grids()[0]->DataSet(), results[2].get());
        QCOMPARE(pages.Splitters().size(), size_t(2));
        const int w = pages.tsGrid->width();
        const QList<QRect> want{QRect(0, 0, w, 131), QRect(0, 134, w, 190), QRect(0, 327, w, 73)};
        for (int k = 0; k < 3; ++k) QCOMPARE(pages.GridOf(results[static_cast<size_t>(k)].get())->geometry(), want[k]);
        QCOMPARE(pages.Splitters()[0]->geometry(), QRect(0, 131, w, 3));
        for (TNbDBGrid* g : pages.Grids()) {
            QVERIFY(g->AutoSizeColumns);
            QVERIFY(!g->AllowSorting);
        }

        // A drag of the first splitter resizes the grid above it; below 30 pixels it snaps shut.
        QWidget* s = pages.Splitters()[0];
        QTest::mousePress(s, Qt::LeftButton, {}, QPoint(5, 1));
        QTest::mouseMove(s, QPoint(5, 1 - 40));
        QCOMPARE(pages.GridOf(results[0].get())->height(), 91);
        QTest::mouseMove(s, QPoint(5, 1 - 110));
        QCOMPARE(pages.GridOf(results[0].get())->height(), 0);
        QTest::mouseRelease(s, Qt::LeftButton);

        // One result: one grid filling the page, no splitter.
        one.push_back(Rows(2));
        pages.BuildResultGrids(one);
        QCOMPARE(pages.Grids().size(), size_t(1));
        QVERIFY(pages.Splitters().empty());
        QCOMPARE(pages.Grids()[0]->geometry(), QRect(0, 0, w, 400));
        pages.ClearResultGrids();
    }
};

QTEST_MAIN(TestResultPages)
#include "test_result_pages.moc"
