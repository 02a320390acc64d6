#include "uResultPages.h"

#include "uNbDBGrid.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>

std::vector<int> ResultGridHeights(int pageHeight, const std::vector<int>& recordCounts) {
    const int n = static_cast<int>(recordCounts.size());
    std::vector<int> heights;
    if (n == 0) return heights;
    const int share = (pageHeight - (n - 1) * kGridSplitterHeight) / n;
    int used = 0;
    for (int k = 0; k + 1 < n; ++k) {
        const int units = std::min(recordCounts[static_cast<size_t>(k)] + 2, kGridMaxUnits);
        const int h = std::max(kGridRowUnit * units, share);
        heights.push_back(h);
        used += h + kGridSplitterHeight;
    }
    heights.push_back(std::max(0, pageHeight - used));
    return heights;
}

namespace {

// A 3-pixel bar between two grids; dragging it resizes the grid above, which snaps shut when
// dragged below the minimum size.
class TResultSplitter : public QWidget {
public:
    TResultSplitter(TGridPage& page, QWidget& above) : QWidget(&page), page_(page), above_(above) {
        setCursor(Qt::SplitVCursor);
        setFixedHeight(kGridSplitterHeight);
    }

protected:
    void mousePressEvent(QMouseEvent* e) override {
        startY_ = qRound(e->globalPosition().y());
        startHeight_ = page_.DockedHeight(&above_);
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (!(e->buttons() & Qt::LeftButton)) return;
        int h = startHeight_ + qRound(e->globalPosition().y()) - startY_;
        // The controls below keep at least the minimum size.
        const int room = page_.height() - (above_.y() + kGridSplitterHeight + kGridSplitterMinSize);
        h = std::min(h, std::max(0, room));
        if (h < kGridSplitterMinSize) h = 0;
        page_.SetDockedHeight(&above_, h);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Window));
    }

private:
    TGridPage& page_;
    QWidget& above_;
    int startY_ = 0;
    int startHeight_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- Grid page

void TGridPage::Dock(QWidget* w, int height) {
    items_.push_back({w, height});
    w->show();
    Relayout();
}

void TGridPage::Undock(QWidget* w) {
    items_.erase(std::remove_if(items_.begin(), items_.end(), [w](const Item& i) { return i.w == w; }), items_.end());
    Relayout();
}

int TGridPage::DockedHeight(QWidget* w) const {
    for (const Item& i : items_)
        if (i.w == w) return i.height;
    return 0;
}

void TGridPage::SetDockedHeight(QWidget* w, int height) {
    for (Item& i : items_)
        if (i.w == w) i.height = height;
    Relayout();
}

void TGridPage::Relayout() {
    int y = 0;
    for (size_t k = 0; k < items_.size(); ++k) {
        const bool last = k + 1 == items_.size();
        const int h = last ? std::max(0, height() - y) : items_[k].height;
        items_[k].w->setGeometry(0, y, width(), h);
        y += h;
    }
}

void TGridPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Relayout();
}

// ---------------------------------------------------------------- result pages

TResultPages::TResultPages(QTabWidget& pcResults, QWidget& tsText, QToolButton& bHideResults)
    : pcResults_(pcResults), tsText_(tsText), bHideResults_(bHideResults) {
    tsGrid = new TGridPage(&pcResults);
    tsGrid->setObjectName(QStringLiteral("tsGrid"));
    tsGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(tsGrid, &QWidget::customContextMenuRequested, tsGrid, [this](const QPoint& at) {
        if (OnPopup) OnPopup(tsGrid->mapToGlobal(at));
    });
    pcResults_.addTab(tsGrid, QStringLiteral("&Grid"));
    pcResults_.setTabVisible(pcResults_.indexOf(tsGrid), false);
    QObject::connect(&pcResults_, &QTabWidget::currentChanged, tsGrid, [this](int index) {
        if (pcResults_.widget(index) == &tsText_) tsTextShow();
    });
}

TResultPages::~TResultPages() { ClearResultGrids(); }

TNbDBGrid* TResultPages::GridOf(const TMemCustomDataSet* ds) const {
    for (TNbDBGrid* g : grids_)
        if (ds && g->DataSet() == ds) return g;
    return nullptr;
}

void TResultPages::ShowResultPane(bool visible) {
    pcResults_.setVisible(visible);
    bHideResults_.setVisible(visible);
}

bool TResultPages::ResultPaneVisible() const { return pcResults_.isVisible(); }

bool TResultPages::GridTabShown() const { return pcResults_.isTabVisible(pcResults_.indexOf(tsGrid)); }

void TResultPages::NotePageInFront() {
    if (ResultPaneVisible() && GridTabShown() && pcResults_.isTabVisible(pcResults_.indexOf(&tsText_)))
        PreferTextPage = pcResults_.currentWidget() == &tsText_;
}

void TResultPages::ClearResultGrids() {
    for (QWidget* s : splitters_) {
        tsGrid->Undock(s);
        delete s;
    }
    splitters_.clear();
    for (TNbDBGrid* g : grids_) {
        tsGrid->Undock(g);
        delete g;
    }
    grids_.clear();
}

void TResultPages::BuildResultGrids(const std::vector<std::unique_ptr<TMemCustomDataSet>>& results) {
    ClearResultGrids();
    const int n = static_cast<int>(results.size());
    if (n == 0) return;
    // The page shares the height of the page in front, which is the one laid out.
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QWidget* front = pcResults_.currentWidget();
    const int pageHeight = front && front != tsGrid ? front->height() : tsGrid->height();
    if (front && front != tsGrid) tsGrid->resize(front->size());
    std::vector<int> counts;
    for (const auto& ds : results) counts.push_back(ds->RowCount());
    const std::vector<int> heights = ResultGridHeights(pageHeight, counts);
    // The last result's grid is created first, as the grid list keeps them.
    std::vector<TNbDBGrid*> topDown(static_cast<size_t>(n));
    for (int k = n - 1; k >= 0; --k) {
        auto* g = new TNbDBGrid(tsGrid);
        g->setObjectName(QStringLiteral("grid%1").arg(k));
        g->AutoSizeColumns = true;
        g->TitleHighlightColor = QApplication::palette().color(QPalette::Light);
        g->SetDataSet(results[static_cast<size_t>(k)].get());
        g->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(g, &QWidget::customContextMenuRequested, g, [this, g](const QPoint& at) {
            if (OnPopup) OnPopup(g->viewport()->mapToGlobal(at));
        });
        grids_.push_back(g);
        topDown[static_cast<size_t>(k)] = g;
    }
    for (int k = 0; k < n; ++k) {
        TNbDBGrid* g = topDown[static_cast<size_t>(k)];
        tsGrid->Dock(g, heights[static_cast<size_t>(k)]);
        if (k + 1 < n) {
            auto* s = new TResultSplitter(*tsGrid, *g);
            splitters_.push_back(s);
            tsGrid->Dock(s, kGridSplitterHeight);
        }
        if (k > 0) QWidget::setTabOrder(topDown[static_cast<size_t>(k - 1)], g);
    }
}

void TResultPages::SetTabs(bool gridTab) {
    pcResults_.setTabVisible(pcResults_.indexOf(&tsText_), true);
    pcResults_.setTabVisible(pcResults_.indexOf(tsGrid), gridTab);
}

void TResultPages::ShowGridPage() {
    ShowResultPane(true);
    const bool grids = !grids_.empty();
    SetTabs(grids);
    pcResults_.setCurrentWidget(grids ? static_cast<QWidget*>(tsGrid) : &tsText_);
}

void TResultPages::ShowTextPage() {
    ShowResultPane(true);
    SetTabs(!grids_.empty());
    pcResults_.setCurrentWidget(&tsText_);
    tsTextShow();
}

void TResultPages::ShowTextPageNoRender() {
    ShowResultPane(true);
    SetTabs(!grids_.empty());
    pcResults_.setCurrentWidget(&tsText_);
}

void TResultPages::tsTextShow() {
    if (!TextRenderPending) return;
    TextRenderPending = false;
    // The text already in view ("Rendering, please wait...") shows while the rendering runs.
    tsText_.repaint();
    if (RenderText) RenderText();
}
