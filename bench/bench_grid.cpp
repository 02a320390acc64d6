// The data grid on 1,000,000 rows x 8 columns against the same grid on 1,000 rows, offscreen at
// 1280 x 800: opening (build and first paint), Page Down and Ctrl+End with their repaints, the
// memory the grid adds, and sorting by a title click against the dataset's own sort.
#include "bench_common.h"

#include "uMemDataSet.h"
#include "uNbDBGrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

namespace {

std::unique_ptr<TMemDataSet> MakeRows(int rows) {
    auto ds = std::make_unique<TMemDataSet>();
    ds->DefineField("i", ftInteger, 0);
    ds->DefineField("big", ftLargeint, 0);
    ds->DefineField("text", ftString, 50);
    ds->DefineField("wide", ftWideString, 50);
    ds->DefineField("money", ftBCD, 4);
    ds->DefineField("when", ftDateTime, 0);
    ds->DefineField("real", ftFloat, 0);
    ds->DefineField("flag", ftBoolean, 0);
    ds->Open();
    TField* f[8];
    for (int c = 0; c < 8; ++c) f[c] = &ds->Field(c);
    std::mt19937_64 rng(42);
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string text;
    ds->SuspendControls();
    for (int r = 0; r < rows; ++r) {
        ds->AppendRow();
        f[0]->SetAsInteger(static_cast<std::int32_t>(rng() % 2000000000));
        f[1]->SetAsLargeInt(static_cast<std::int64_t>(rng()));
        text.resize(16 + rng() % 9);
        for (char& c : text) c = letters[rng() % 52];
        f[2]->SetAsText(text);
        for (char& c : text) c = letters[rng() % 52];
        f[3]->SetAsText(text);
        f[4]->SetAsCurrency(static_cast<std::int64_t>(rng() % 100000000000LL));
        f[5]->SetAsDateTime(40000.0 + static_cast<double>(rng() % 20000) + static_cast<double>(rng() % 86400) / 86400.0);
        f[6]->SetAsFloat(static_cast<double>(rng() % 1000000) / 7.0);
        f[7]->SetAsBoolean(rng() & 1);
        ds->PostRow();
    }
    ds->ResumeControls();
    ds->MoveFirst();
    return ds;
}

// CPU seconds of this thread for the work: the machine is shared, and waiting for a core is not
// the grid's cost. Every figure on both sides of a goal is taken the same way.
double Seconds(const std::function<void()>& work) {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    work();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Resident bytes of this process.
double ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Lets the event loop block, so that the grid's idle step (the end of an auto-size cycle) runs.
void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One grid as the result pages make it, filling a shown 1280 x 800 window.
std::unique_ptr<TNbDBGrid> OpenGrid(QWidget& host, TMemCustomDataSet& ds) {
    auto g = std::make_unique<TNbDBGrid>(&host);
    g->AutoSizeColumns = true;
    g->TitleHighlightColor = QApplication::palette().color(QPalette::Light);
    g->setGeometry(host.rect());
    g->SetDataSet(&ds);
    g->show();
    g->repaint();  // the first paint, drawn now
    return g;
}

void Key(TNbDBGrid& g, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(&g, key, mods);
    g.repaint();  // the grid with its data area, titles and indicator
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QWidget host;
    host.resize(1280, 800);
    host.show();
    if (!QTest::qWaitForWindowExposed(&host)) return 1;

    std::printf("building the datasets...\n");
    std::unique_ptr<TMemDataSet> small = MakeRows(1000);
    std::unique_ptr<TMemDataSet> big = MakeRows(1000000);
    bool ok = true;

    // Warm-up: fonts, style and the window's backing store exist before anything is measured.
    for (int i = 0; i < 3; ++i) {
        auto g = OpenGrid(host, *small);
        Settle(15);
    }

    // grid_memory: what binding and painting the grid on the big dataset adds to the process.
    {
        Settle(15);
        const double before = ResidentBytes();
        auto g = OpenGrid(host, *big);
        Settle(15);
        Key(*g, Qt::Key_PageDown);
        Settle(15);
        const double added = (ResidentBytes() - before) / (1024.0 * 1024.0);
        std::printf("grid on 1,000,000 rows adds %.2f MB resident (dataset itself %.1f MB)\n", added,
                    static_cast<double>(big->MemoryUsed()) / (1024.0 * 1024.0));
        ok &= GoalAtMost("grid_memory", added, 2.0, "MB");
    }

    // grid_open: building the grid and its first paint, medians of interleaved runs.
    {
        std::vector<double> tSmall, tBig;
        for (int i = 0; i < 15; ++i) {
            std::unique_ptr<TNbDBGrid> g;
            tSmall.push_back(Seconds([&] { g = OpenGrid(host, *small); }));
            g.reset();
            tBig.push_back(Seconds([&] { g = OpenGrid(host, *big); }));
            g.reset();
        }
        const double s = Median(tSmall) * 1e3, b = Median(tBig) * 1e3;
        std::printf("grid_open: 1,000 rows %.3f ms, 1,000,000 rows %.3f ms\n", s, b);
        ok &= GoalAtMost("grid_open", b / s, 2.0, "x");
    }

    // grid_page: Page Down plus repaint at row 900,000 against row 500 of 1,000; Ctrl+End from the top.
    {
        // Interleaved: one Page Down on each grid in turn, each from its starting row.
        auto gs = OpenGrid(host, *small);
        auto gb = OpenGrid(host, *big);
        gb->hide();
        std::vector<double> ts, tb;
        for (int i = 0; i < 41; ++i) {
            for (int side = 0; side < 2; ++side) {
                TNbDBGrid& g = side ? *gb : *gs;
                TMemDataSet& ds = side ? *big : *small;
                (side ? gs : gb)->hide();
                g.show();
                g.setFocus();
                ds.SetRowNumber(side ? 900000 : 500);
                Settle(15);
                (side ? tb : ts).push_back(Seconds([&] { Key(g, Qt::Key_PageDown); }));
            }
        }
        const double ps = Median(ts) * 1e3, pb = Median(tb) * 1e3;
        std::printf("grid_page: Page Down at 500 of 1,000 %.3f ms, at 900,000 of 1,000,000 %.3f ms\n", ps, pb);
        ok &= GoalAtMost("grid_page", pb / ps, 1.5, "x");
        std::vector<double> es_, eb_;
        for (int i = 0; i < 21; ++i) {
            for (int side = 0; side < 2; ++side) {
                TNbDBGrid& g = side ? *gb : *gs;
                TMemDataSet& ds = side ? *big : *small;
                (side ? gs : gb)->hide();
                g.show();
                g.setFocus();
                ds.SetRowNumber(1);
                Settle(15);
                (side ? eb_ : es_).push_back(Seconds([&] { Key(g, Qt::Key_End, Qt::ControlModifier); }));
            }
        }
        const double es = Median(es_) * 1e3, eb = Median(eb_) * 1e3;
        std::printf("grid_page_end: Ctrl+End on 1,000 %.3f ms, on 1,000,000 %.3f ms\n", es, eb);
        ok &= GoalAtMost("grid_page_end", eb / es, 1.5, "x");
    }

    // grid_sort: a title click with sorting on against SortByField. Every measured sort starts
    // from the same shuffled order (sorted by another column first, not measured), ascending and
    // descending in turn.
    {
        auto shuffle = [&] { big->SortByField("big", false); };
        std::vector<double> tDataset, tClick;
        for (int i = 0; i < 4; ++i) {
            shuffle();
            tDataset.push_back(Seconds([&] { big->SortByField("i", i % 2 == 1); }));
        }
        auto g = OpenGrid(host, *big);
        g->AllowSorting = true;
        QHeaderView* titles = g->findChild<QHeaderView*>();
        const int column = 0;
        const QPoint at(titles->sectionViewportPosition(column) + titles->sectionSize(column) / 2, titles->height() / 2);
        for (int i = 0; i < 4; ++i) {
            shuffle();
            Settle(15);
            tClick.push_back(Seconds([&] {
                QTest::mouseClick(titles->viewport(), Qt::LeftButton, {}, at);
                g->repaint();
            }));
            if (g->SortFieldName() != "i" || g->SortDirection() != i % 2) {
                std::printf("grid_sort: the click did not sort as expected\n");
                ok = false;
            }
        }
        const double d = Median(tDataset) * 1e3, c = Median(tClick) * 1e3;
        std::printf("grid_sort: SortByField %.1f ms, title click %.1f ms (medians of 4)\n", d, c);
        ok &= GoalAtMost("grid_sort", c / d, 1.2, "x");
    }
    return ok ? 0 : 1;
}
