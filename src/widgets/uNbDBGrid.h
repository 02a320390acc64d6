// The data grid: a Qt item view over an in-memory dataset. Cells are read from the dataset's rows
// when they are painted or asked for; the grid keeps nothing per row, so its memory does not grow
// with the row count. Adds to the usual grid: column sizing from the rows shown, the highlighted
// title under the pointer, sorting by a title click, the indicator column, a footer band and
// image columns.
#pragma once

#include "uMemDataSet.h"

#include <QAbstractItemView>
#include <QAbstractTableModel>
#include <QColor>
#include <QHeaderView>
#include <QPixmap>

#include <functional>
#include <string>
#include <vector>

class TNbDBGrid;
class TNbIdleDelay;

enum TDBGridOption : unsigned {
    dgEditing = 1u << 0,
    dgAlwaysShowEditor = 1u << 1,
    dgTitles = 1u << 2,
    dgIndicator = 1u << 3,
    dgColumnResize = 1u << 4,
    dgColLines = 1u << 5,
    dgRowLines = 1u << 6,
    dgTabs = 1u << 7,
    dgRowSelect = 1u << 8,
    dgAlwaysShowSelection = 1u << 9,
    dgConfirmDelete = 1u << 10,
    dgCancelOnExit = 1u << 11,
    dgMultiSelect = 1u << 12,
    dgShowFooter = 1u << 13,
};
using TDBGridOptions = unsigned;

// The initial option set (with dgAlwaysShowEditor added for a Korean locale).
TDBGridOptions DefaultGridOptions();

// One grid column bound to one field of the dataset.
struct TNbColumn {
    int FieldIndex = -1;  // in the dataset's field list
    std::string FieldName;
    int Width = -1;  // -1: from the field's display width
    bool ReadOnly = false;
    std::string FooterFormat;
};

// The link between a grid and its dataset, as the view's model: one model row per dataset row in
// the current order, one model column per grid column. Follows the dataset's notifications.
class TGridDataLink : public QAbstractTableModel, private TMemDataSetObserver {
public:
    explicit TGridDataLink(TNbDBGrid& grid);
    ~TGridDataLink() override;

    void SetDataSet(TMemCustomDataSet* ds);
    TMemCustomDataSet* DataSet() const { return ds_; }
    bool Active() const { return ds_ && ds_->Active(); }
    TField* ColumnField(int column) const;

    // The display text of a cell, and whether it is null.
    std::string CellText(int row, int column) const;
    bool CellIsNull(int row, int column) const;
    // Whether the field's values are numbers (shown right-aligned).
    static bool IsNumeric(const TField& f);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // Model changes the grid makes itself (columns rebuilt).
    void BeginReset() { beginResetModel(); }
    void EndReset() { endResetModel(); }

private:
    void ActiveChanged(bool active) override;
    void LayoutChanged() override;
    void DataChanged() override;
    void Scrolled(int rows) override;
    void RecordChanged(TField* field) override;
    void EditingChanged() override;

    TNbDBGrid& grid_;
    TMemCustomDataSet* ds_ = nullptr;
    int rows_ = 0;  // the row count the view was last told about
};

class TNbDBGrid : public QAbstractItemView {
    Q_OBJECT
public:
    explicit TNbDBGrid(QWidget* owner = nullptr);
    ~TNbDBGrid() override;

    // The bound dataset (the data source); nullptr unbinds.
    void SetDataSet(TMemCustomDataSet* ds);
    TMemCustomDataSet* DataSet() const { return link_->DataSet(); }
    TGridDataLink& DataLink() const { return *link_; }

    bool AutoSizeColumns = false;
    bool AutoSizeUsingStats = false;
    bool HighlightTitle = true;
    QColor TitleHighlightColor = QColor(0, 0, 0);
    bool ShowSortIcons = true;
    bool ShowUnsortedIcon = true;
    bool TitleButtons = false;
    bool AllowSorting = false;
    bool ReadOnly = false;
    // Comma-separated field names whose integer values pick a picture of ImageList.
    std::string ImageListColumns;
    std::vector<QPixmap> ImageList;

    TDBGridOptions Options() const { return options_; }
    void SetOptions(TDBGridOptions options);

    std::vector<TNbColumn>& Columns() { return columns_; }
    int ColumnWidth(int column) const;  // pixels
    int DefaultRowHeight() const { return rowHeight_; }
    int TitleHeight() const { return titleHeight_; }
    int IndicatorWidth() const { return (options_ & dgIndicator) ? 11 : 0; }

    // Title rows plus the records; the fixed rows must stay fewer.
    int RowCount() const;
    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int rows);

    // Sort state: the field last sorted by, -1 none / 0 ascending / 1 descending.
    const std::string& SortFieldName() const { return sortField_; }
    int SortDirection() const { return sortDirection_; }
    const std::string& HoveredTitle() const { return hoveredTitle_; }
    bool UserResized() const { return userResized_; }

    void RebuildLayout();
    void AutoSizeVisibleColumns();
    void SyncScrollBar();
    void HoverTitle(int column);
    void ClearHoveredTitle();
    void ClickTitle(int column);
    // The first row shown, and how many whole rows fit.
    int TopRow() const;
    int VisibleRows() const;
    // The selected cells as tab-separated lines (with a title line when whole columns are selected).
    QString SelectionAsText() const;
    void CopySelection() const;

    // Raised while moving over a title, after a click on a title or a data cell (grid column).
    std::function<void(int)> OnMouseOverTitle;
    std::function<void(int)> OnTitleClick;
    std::function<void(int)> OnCellClick;
    // Raised after the user dragged a column to another place (from and to positions).
    std::function<void(int, int)> OnColumnMoved;
    // A failure of the dataset while posting or moving; a message box when not set.
    std::function<void(const std::exception&)> OnError;

    // QAbstractItemView
    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    friend class TGridDataLink;
    friend class TNbGridTitles;
    friend class TNbGridSide;

    // Dataset notifications, through the link.
    void LinkActiveChanged();
    void LinkLayoutChanged();
    void LinkDataChanged();
    void LinkScrolled();
    void LinkRecordChanged();
    void LinkEditingChanged();

    void ApplyFieldWidths();
    int WidthRule(const TNbColumn& c) const;
    void SyncCurrentFromCursor();
    void MoveCursorTo(int row);
    bool IsImageColumn(int column) const;
    bool CanModify(int column) const;
    bool EditingAllowed() const;
    void Report(const std::exception& e);
    void IdleDelayIdleDelay();
    void PaintSide(QPainter& p);
    void PaintTitle(QPainter& p, const QRect& rect, int column) const;
    void PaintFooter(QPainter& p);
    void PaintIndicatorGlyph(QPainter& p, const QRect& cell, int glyph) const;
    QColor LineColor() const;
    int ClientRowsReach() const;  // rows reached by the client area, the partly shown one included

    TGridDataLink* link_;
    QHeaderView* titles_;
    QWidget* side_;    // indicator column and its title cell
    QWidget* footer_;  // footer band
    TNbIdleDelay* idle_;
    TDBGridOptions options_;
    std::vector<TNbColumn> columns_;
    struct AutoStats {
        double logSum = 0;
        long count = 0;
        int statMax = 0;
    };
    std::vector<AutoStats> stats_;
    int rowHeight_ = 17;
    int titleHeight_ = 18;
    int fixedRows_ = 1;
    std::string sortField_ = "-== Merivane ==-";
    int sortDirection_ = -1;
    std::string hoveredTitle_;
    bool latch_ = false;
    int colsInitialised_ = 0;
    bool userResized_ = false;
    bool firstPaint_ = true;
    bool syncing_ = false;  // the cursor and the current index are being brought in line
    bool rebuilding_ = false;
    int pressedTitle_ = -1;  // title pressed with the left button, for the click on release
    bool resizing_ = false;
};
