// The result pane's pages after a run: the Text page and the Grid page with one grid per result
// dataset, stacked top to bottom with splitters, and the choice of the page in front.
#pragma once

#include "uMemDataSet.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QTabWidget;
class QToolButton;
class TNbDBGrid;

inline constexpr int kGridRowUnit = 19;
inline constexpr int kGridMaxUnits = 10;
inline constexpr int kGridSplitterHeight = 3;
inline constexpr int kGridSplitterMinSize = 30;

// Heights of the grids of n results, top to bottom, on a page of the given height: each grid takes
// 19 pixels per record plus two, at most 10 units but at least the share of the page; the last
// one fills what remains (which can be less than its own share, or nothing).
std::vector<int> ResultGridHeights(int pageHeight, const std::vector<int>& recordCounts);

// The Grid page: its children docked at the top in order, the last one filling the rest.
class TGridPage : public QWidget {
public:
    explicit TGridPage(QWidget* parent = nullptr) : QWidget(parent) {}
    // Docks a control below the ones already docked, with the given height.
    void Dock(QWidget* w, int height);
    void Undock(QWidget* w);
    int DockedHeight(QWidget* w) const;
    void SetDockedHeight(QWidget* w, int height);
    void Relayout();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Item {
        QWidget* w;
        int height;
    };
    std::vector<Item> items_;
};

class TResultPages {
public:
    TResultPages(QTabWidget& pcResults, QWidget& tsText, QToolButton& bHideResults);
    ~TResultPages();
    TResultPages(const TResultPages&) = delete;
    TResultPages& operator=(const TResultPages&) = delete;

    TGridPage* tsGrid;
    bool PreferTextPage = false;
    bool TextRenderPending = false;
    // Renders the run's text into the Text page (RenderTextResults of the window).
    std::function<void()> RenderText;
    // The popup of the Grid page and its grids.
    std::function<void(const QPoint& globalPos)> OnPopup;

    // The grids of the last run, in creation order (the last result's grid first), and the
    // splitters between them.
    const std::vector<TNbDBGrid*>& Grids() const { return grids_; }
    const std::vector<QWidget*>& Splitters() const { return splitters_; }
    TNbDBGrid* GridOf(const TMemCustomDataSet* ds) const;

    void ShowResultPane(bool visible);
    bool ResultPaneVisible() const;
    // Step one of a run: remembers whether the Text page is in front while both pages are shown.
    void NotePageInFront();
    void BuildResultGrids(const std::vector<std::unique_ptr<TMemCustomDataSet>>& results);
    // Frees the grids and splitters; done before the datasets they show are freed.
    void ClearResultGrids();
    void ShowGridPage();
    void ShowTextPage();
    void ShowTextPageNoRender();
    void tsTextShow();

private:
    bool GridTabShown() const;
    void SetTabs(bool gridTab);

    QTabWidget& pcResults_;
    QWidget& tsText_;
    QToolButton& bHideResults_;
    std::vector<TNbDBGrid*> grids_;
    std::vector<QWidget*> splitters_;
};
