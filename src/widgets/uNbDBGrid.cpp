#include "uNbDBGrid.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"
#include "uNbIdleDelay.h"
#include "uNbText.h"

#include <qdrawutil.h>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

NB_DECLARE_EXCEPTION(EInvalidGridOperation, Exception);

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Characters (code points) of a UTF-8 text.
int Utf8Length(std::string_view s) {
    int n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// A cell of a tab-separated copy: quoted when it holds a tab, a line break or a quote.
QString TsvCell(const QString& s) {
    if (!s.contains(QLatin1Char('\t')) && !s.contains(QLatin1Char('\n')) && !s.contains(QLatin1Char('\r')) && !s.contains(QLatin1Char('"')))
        return s;
    QString q = s;
    q.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

// One line of text in a cell without a layout pass; clipped only when it does not fit.
void DrawCellText(QPainter& p, const QFontMetrics& fm, const QRect& r, const QString& s, bool right) {
    const int w = fm.horizontalAdvance(s);
    const int y = r.top() + (r.height() - fm.height()) / 2 + fm.ascent();
    if (w <= r.width()) {
        p.drawText(right ? r.right() + 1 - w : r.left(), y, s);
        return;
    }
    // Too long: cut at the side away from the alignment, as the drawing would place it.
    p.save();
    p.setClipRect(r, Qt::IntersectClip);
    p.drawText(right ? r.right() + 1 - w : r.left(), y, s);
    p.restore();
}

// The in-place editor: the field's text, which stays selectable but unchangeable when the cell
// cannot be modified.
class TDBGridInplaceEdit : public QStyledItemDelegate {
public:
    explicit TDBGridInplaceEdit(TNbDBGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
        auto* e = new QLineEdit(parent);
        e->setFrame(false);
        return e;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        auto* e = static_cast<QLineEdit*>(editor);
        e->setText(index.data(Qt::EditRole).toString());
        e->setReadOnly(!(index.flags() & Qt::ItemIsEditable) || !modifiable(index));
        e->selectAll();
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        auto* e = static_cast<QLineEdit*>(editor);
        if (e->isReadOnly() || !e->isModified()) return;
        model->setData(index, e->text(), Qt::EditRole);
    }
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex&) const override {
        editor->setGeometry(option.rect);
    }

private:
    bool modifiable(const QModelIndex& index) const {
        return !grid_.ReadOnly && index.column() < static_cast<int>(grid_.Columns().size()) &&
               !grid_.Columns()[static_cast<size_t>(index.column())].ReadOnly && grid_.DataSet() && !grid_.DataSet()->ReadOnly() &&
               grid_.DataLink().ColumnField(index.column()) && !grid_.DataLink().ColumnField(index.column())->ReadOnly;
    }
    TNbDBGrid& grid_;
};

}  // namespace

// The title row: painted by the grid; reports the pointer over titles and the start of a resize.
class TNbGridTitles : public QHeaderView {
public:
    explicit TNbGridTitles(TNbDBGrid& grid) : QHeaderView(Qt::Horizontal, &grid), grid_(grid) {
        setMouseTracking(true);
        setSectionsClickable(true);
        setHighlightSections(false);
        setMinimumSectionSize(1);
        setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }

protected:
    void paintSection(QPainter* p, const QRect& rect, int logical) const override { grid_.PaintTitle(*p, rect, logical); }
    bool OnBorder(int x) const {
        const int grip = style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, this);
        const int logical = logicalIndexAt(x);
        if (logical < 0) return false;
        const int left = sectionViewportPosition(logical);
        const int right = left + sectionSize(logical);
        return x >= right - grip || (x <= left + grip && visualIndex(logical) > 0);
    }
    void mousePressEvent(QMouseEvent* e) override {
        grid_.ClearHoveredTitle();
        const int x = qRound(e->position().x());
        if (e->button() == Qt::LeftButton && (grid_.Options() & dgColumnResize) && OnBorder(x)) {
            // A drag of a column border: automatic sizing stops for good.
            grid_.userResized_ = true;
            grid_.resizing_ = true;
        }
        QHeaderView::mousePressEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        const bool wasResizing = grid_.resizing_;
        grid_.resizing_ = false;
        const int logical = logicalIndexAt(qRound(e->position().x()));
        const int pressedAt = pressed_;
        pressed_ = -1;
        QHeaderView::mouseReleaseEvent(e);
        if (!wasResizing && e->button() == Qt::LeftButton && logical >= 0 && logical == pressedAt && !moved_) grid_.ClickTitle(logical);
        moved_ = false;
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (e->buttons() & Qt::LeftButton) moved_ = moved_ || (pressed_ >= 0 && logicalIndexAt(qRound(e->position().x())) != pressed_);
        QHeaderView::mouseMoveEvent(e);
        const int logical = logicalIndexAt(qRound(e->position().x()));
        if (logical >= 0)
            grid_.HoverTitle(logical);
        else
            grid_.ClearHoveredTitle();
    }
    bool viewportEvent(QEvent* e) override {
        if (e->type() == QEvent::MouseButtonPress) {
            auto* m = static_cast<QMouseEvent*>(e);
            if (m->button() == Qt::LeftButton) {
                pressed_ = logicalIndexAt(qRound(m->position().x()));
                moved_ = false;
            }
        } else if (e->type() == QEvent::Leave) {
            grid_.ClearHoveredTitle();
        }
        return QHeaderView::viewportEvent(e);
    }

private:
    TNbDBGrid& grid_;
    int pressed_ = -1;
    bool moved_ = false;
};

// The indicator column at the left and the footer band at the bottom, painted by the grid.
class TNbGridSide : public QWidget {
public:
    TNbGridSide(TNbDBGrid& grid, bool footer) : QWidget(&grid), grid_(grid), footer_(footer) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (footer_)
            grid_.PaintFooter(p);
        else
            grid_.PaintSide(p);
    }
    void mousePressEvent(QMouseEvent* e) override {
        grid_.ClearHoveredTitle();
        QWidget::mousePressEvent(e);
    }

private:
    TNbDBGrid& grid_;
    bool footer_;
};

TDBGridOptions DefaultGridOptions() {
    TDBGridOptions o =
        dgEditing | dgTitles | dgIndicator | dgColumnResize | dgColLines | dgRowLines | dgTabs | dgConfirmDelete | dgCancelOnExit;
    if (QLocale::system().language() == QLocale::Korean) o |= dgAlwaysShowEditor;
    return o;
}

// ---------------------------------------------------------------- data link

TGridDataLink::TGridDataLink(TNbDBGrid& grid) : QAbstractTableModel(&grid), grid_(grid) {}

TGridDataLink::~TGridDataLink() {
    if (ds_) ds_->RemoveObserver(this);
}

void TGridDataLink::SetDataSet(TMemCustomDataSet* ds) {
    if (ds == ds_) return;
    beginResetModel();
    if (ds_) ds_->RemoveObserver(this);
    ds_ = ds;
    if (ds_) ds_->AddObserver(this);
    rows_ = Active() ? ds_->RowCount() : 0;
    endResetModel();
}

TField* TGridDataLink::ColumnField(int column) const {
    if (!Active() || column < 0 || column >= static_cast<int>(grid_.columns_.size())) return nullptr;
    const int f = grid_.columns_[static_cast<size_t>(column)].FieldIndex;
    return f >= 0 && f < ds_->FieldCount() ? &ds_->Field(f) : nullptr;
}

std::string TGridDataLink::CellText(int row, int column) const {
    TField* f = ColumnField(column);
    if (!f || row < 0 || row >= ds_->RowCount()) return {};
    return f->DisplayTextFrom(ds_->RowValuesAt(row));
}

bool TGridDataLink::CellIsNull(int row, int column) const {
    TField* f = ColumnField(column);
    if (!f || row < 0 || row >= ds_->RowCount()) return true;
    return f->ValueIsNullIn(ds_->RowValuesAt(row));
}

bool TGridDataLink::IsNumeric(const TField& f) {
    switch (f.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeint:
    case ftFMTBcd:
        return true;
    default:
        return false;
    }
}

int TGridDataLink::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TGridDataLink::columnCount(const QModelIndex& parent) const {
    return parent.isValid() || !Active() ? 0 : static_cast<int>(grid_.columns_.size());
}

QVariant TGridDataLink::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: {
        // A row being edited shows the edit buffer's values.
        TField* f = ColumnField(index.column());
        if (!f) return {};
        if (ds_->State() == TDataSetState::Edit && ds_->RowNumber() == index.row() + 1) return Q(f->DisplayText());
        return Q(CellText(index.row(), index.column()));
    }
    case Qt::TextAlignmentRole: {
        TField* f = ColumnField(index.column());
        return f && IsNumeric(*f) ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    default:
        return {};
    }
}

QVariant TGridDataLink::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    TField* f = ColumnField(section);
    return f ? Q(f->DisplayName()) : QVariant();
}

Qt::ItemFlags TGridDataLink::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags fl = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (grid_.EditingAllowed()) fl |= Qt::ItemIsEditable;
    return fl;
}

bool TGridDataLink::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !grid_.CanModify(index.column())) return false;
    TField* f = ColumnField(index.column());
    try {
        if (ds_->State() == TDataSetState::Browse) {
            grid_.MoveCursorTo(index.row());
            ds_->EditRow();
        }
        f->SetValueText(value.toString().toStdString());
        ds_->PostRow();
    } catch (const std::exception& e) {
        // The record stays in editing, so the user can correct or cancel it.
        grid_.Report(e);
        return false;
    }
    return true;
}

void TGridDataLink::ActiveChanged(bool) {
    beginResetModel();
    rows_ = Active() ? ds_->RowCount() : 0;
    endResetModel();
    grid_.LinkActiveChanged();
}

void TGridDataLink::LayoutChanged() { grid_.LinkLayoutChanged(); }

void TGridDataLink::DataChanged() {
    const int now = Active() ? ds_->RowCount() : 0;
    if (now != rows_) {
        beginResetModel();
        rows_ = now;
        endResetModel();
    } else if (rows_ > 0 && columnCount() > 0) {
        // Only the rows in view: the view measures every cell of the range it is told about.
        const int top = std::min(grid_.TopRow(), rows_ - 1);
        const int last = std::min(rows_, top + grid_.ClientRowsReach()) - 1;
        emit dataChanged(index(top, 0), index(last, columnCount() - 1));
    }
    grid_.LinkDataChanged();
}

void TGridDataLink::Scrolled(int) { grid_.LinkScrolled(); }

void TGridDataLink::RecordChanged(TField*) { grid_.LinkRecordChanged(); }

void TGridDataLink::EditingChanged() { grid_.LinkEditingChanged(); }

// ---------------------------------------------------------------- grid

TNbDBGrid::TNbDBGrid(QWidget* owner) : QAbstractItemView(owner), options_(DefaultGridOptions()) {
    link_ = new TGridDataLink(*this);
    titles_ = new TNbGridTitles(*this);
    side_ = new TNbGridSide(*this, false);
    footer_ = new TNbGridSide(*this, true);
    idle_ = new TNbIdleDelay(this);
    idle_->SetDelay(10);
    idle_->OnIdleDelay = [this] { IdleDelayIdleDelay(); };
    setItemDelegate(new TDBGridInplaceEdit(*this));
    QAbstractItemView::setModel(link_);
    titles_->setModel(link_);
    titles_->setSectionsMovable(true);
    setSelectionMode(ExtendedSelection);
    setSelectionBehavior(SelectItems);
    setHorizontalScrollMode(ScrollPerPixel);
    setVerticalScrollMode(ScrollPerItem);
    setMouseTracking(true);
    setAutoScroll(true);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    connect(titles_, &QHeaderView::sectionResized, this, [this] {
        updateGeometries();
        viewport()->update();
        footer_->update();
    });
    connect(titles_, &QHeaderView::sectionMoved, this, [this](int, int from, int to) {
        viewport()->update();
        footer_->update();
        if (OnColumnMoved) OnColumnMoved(from, to);
    });
    connect(titles_, &QHeaderView::sectionCountChanged, this, [this] { updateGeometries(); });
    SetOptions(options_);
}

TNbDBGrid::~TNbDBGrid() { link_->SetDataSet(nullptr); }

void TNbDBGrid::SetDataSet(TMemCustomDataSet* ds) {
    link_->SetDataSet(ds);
    sortField_ = "-== Merivane ==-";
    sortDirection_ = -1;
    RebuildLayout();
    SyncCurrentFromCursor();
}

void TNbDBGrid::SetOptions(TDBGridOptions options) {
    options_ = options;
    setSelectionBehavior((options_ & dgRowSelect) ? SelectRows : SelectItems);
    setTabKeyNavigation(options_ & dgTabs);
    titles_->setSectionsMovable(options_ & dgColumnResize);
    titles_->setSectionResizeMode((options_ & dgColumnResize) ? QHeaderView::Interactive : QHeaderView::Fixed);
    if (!(options_ & dgEditing) || (options_ & dgRowSelect))
        setEditTriggers(NoEditTriggers);
    else if (options_ & dgAlwaysShowEditor)
        setEditTriggers(CurrentChanged | EditKeyPressed | AnyKeyPressed | SelectedClicked);
    else
        setEditTriggers(EditKeyPressed | AnyKeyPressed | SelectedClicked);
    RebuildLayout();
}

int TNbDBGrid::ColumnWidth(int column) const { return titles_->sectionSize(column); }

int TNbDBGrid::ClientRowsReach() const { return std::max(1, (viewport()->height() + rowHeight_ - 1) / rowHeight_); }

int TNbDBGrid::TopRow() const { return verticalScrollBar()->value(); }

int TNbDBGrid::VisibleRows() const { return std::max(1, viewport()->height() / rowHeight_); }

int TNbDBGrid::RowCount() const {
    const int titleRows = (options_ & dgTitles) ? 1 : 0;
    const int records = link_->Active() ? std::min(link_->rowCount(), ClientRowsReach()) : 0;
    return titleRows + std::max(1, records);
}

void TNbDBGrid::SetFixedRows(int rows) {
    if (rows < 0) throw EInvalidGridOperation("Grid index out of range");
    const int count = RowCount();
    if (rows >= count) throw EInvalidGridOperation(NbFormat("Fixed row count must be less than row count which is %d", count));
    fixedRows_ = rows;
}

bool TNbDBGrid::EditingAllowed() const { return (options_ & dgEditing) && !(options_ & dgRowSelect); }

bool TNbDBGrid::CanModify(int column) const {
    if (ReadOnly || column < 0 || column >= static_cast<int>(columns_.size()) || columns_[static_cast<size_t>(column)].ReadOnly)
        return false;
    TMemCustomDataSet* ds = DataSet();
    TField* f = link_->ColumnField(column);
    return ds && !ds->ReadOnly() && f && !f->ReadOnly;
}

bool TNbDBGrid::IsImageColumn(int column) const {
    if (ImageList.empty() || ImageListColumns.empty() || column < 0 || column >= static_cast<int>(columns_.size())) return false;
    const std::string& name = columns_[static_cast<size_t>(column)].FieldName;
    std::string_view list = ImageListColumns;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (SameTextNoCase(TrimBlanks(list.substr(0, comma)), name)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

void TNbDBGrid::Report(const std::exception& e) {
    if (OnError)
        OnError(e);
    else
        QMessageBox::critical(this, QApplication::applicationDisplayName(), QString::fromUtf8(e.what()));
}

// ---------------------------------------------------------------- layout

int TNbDBGrid::WidthRule(const TNbColumn& c) const {
    TField* f = c.FieldIndex >= 0 && DataSet() && c.FieldIndex < DataSet()->FieldCount() ? &DataSet()->Field(c.FieldIndex) : nullptr;
    if (!f) return 64;
    const QFontMetrics fm(font());
    int w = f->DisplayWidth() * fm.horizontalAdvance(QLatin1Char('0')) + 4;
    if (options_ & dgTitles) w = std::max(w, QFontMetrics(titles_->font()).horizontalAdvance(Q(f->DisplayName())) + 4);
    return w;
}

void TNbDBGrid::ApplyFieldWidths() {
    if (userResized_) return;
    for (size_t i = 0; i < columns_.size(); ++i) {
        const TNbColumn& c = columns_[i];
        const int w = c.Width >= 0 ? c.Width : WidthRule(c);
        if (titles_->sectionSize(static_cast<int>(i)) != w) titles_->resizeSection(static_cast<int>(i), w);
    }
}

void TNbDBGrid::RebuildLayout() {
    if (rebuilding_) return;
    rebuilding_ = true;
    rowHeight_ = QFontMetrics(font()).height() + 3 + ((options_ & dgRowLines) ? 1 : 0);
    titleHeight_ = (options_ & dgTitles) ? QFontMetrics(titles_->font()).height() + 4 : 0;
    // One column per visible field, in field order.
    std::vector<TNbColumn> wanted;
    if (link_->Active()) {
        TMemCustomDataSet& ds = *DataSet();
        for (int i = 0; i < ds.FieldCount(); ++i) {
            if (!ds.Field(i).Visible) continue;
            TNbColumn c;
            c.FieldIndex = i;
            c.FieldName = ds.Field(i).FieldName();
            for (const TNbColumn& old : columns_)
                if (old.FieldName == c.FieldName) {
                    c.Width = old.Width;
                    c.ReadOnly = old.ReadOnly;
                    c.FooterFormat = old.FooterFormat;
                }
            wanted.push_back(std::move(c));
        }
    }
    bool same = wanted.size() == columns_.size();
    for (size_t i = 0; same && i < wanted.size(); ++i)
        same = wanted[i].FieldIndex == columns_[i].FieldIndex && wanted[i].FieldName == columns_[i].FieldName;
    if (!same) {
        link_->BeginReset();
        columns_ = std::move(wanted);
        stats_.assign(columns_.size(), AutoStats{});
        link_->EndReset();
    }
    const int footer = (options_ & dgShowFooter) ? rowHeight_ + 4 : 0;
    setViewportMargins(IndicatorWidth(), titleHeight_, 0, footer);
    footer_->setVisible(footer > 0);
    ApplyFieldWidths();
    updateGeometries();
    viewport()->update();
    side_->update();
    rebuilding_ = false;
    AutoSizeVisibleColumns();
}

void TNbDBGrid::AutoSizeVisibleColumns() {
    if (!AutoSizeColumns || latch_ || userResized_ || !link_->Active()) return;
    latch_ = true;
    TMemCustomDataSet& ds = *DataSet();
    const int rows = link_->rowCount();
    const int top = TopRow();
    const int last = std::min(rows, top + ClientRowsReach());
    // Columns from the first one shown to the last one that begins inside the client area.
    std::vector<int> shown;
    const int width = viewport()->width();
    for (int v = 0; v < titles_->count(); ++v) {
        const int logical = titles_->logicalIndex(v);
        if (titles_->isSectionHidden(logical)) continue;
        const int x = titles_->sectionViewportPosition(logical);
        if (x + titles_->sectionSize(logical) <= 0) continue;
        if (x >= width) break;
        if (!IsImageColumn(logical)) shown.push_back(logical);
    }
    const int gridColumns = static_cast<int>(columns_.size()) + ((options_ & dgIndicator) ? 1 : 0);
    for (int r = top; r < last; ++r) {
        const std::uint8_t* values = ds.RowValuesAt(r);
        for (int c : shown) {
            TField* f = link_->ColumnField(c);
            if (!f) continue;
            int v = 0;
            try {
                v = Utf8Length(TrimBlanks(f->DisplayTextFrom(values)));
            } catch (...) {
                v = 0;  // a value whose text cannot be made counts as empty
            }
            v = std::max(v, 1);
            if (r == top && colsInitialised_ < gridColumns) {
                f->SetDisplayWidth(v);
                ++colsInitialised_;
            }
            if (f->DisplayWidth() < v) f->SetDisplayWidth(v);
            if (AutoSizeUsingStats && static_cast<size_t>(c) < stats_.size()) {
                AutoStats& s = stats_[static_cast<size_t>(c)];
                s.logSum += std::log(static_cast<double>(v));
                ++s.count;
                if (r == last - 1 && f->DataType() == ftString) {
                    const int m = static_cast<int>(std::ceil(std::exp(s.logSum / static_cast<double>(s.count)) - 1e-9));
                    s.statMax = std::max(s.statMax, m);
                    f->SetDisplayWidth(std::abs(s.statMax - 1));
                }
            }
        }
    }
}

void TNbDBGrid::SyncScrollBar() {
    AutoSizeVisibleColumns();
    idle_->Trigger();
}

void TNbDBGrid::IdleDelayIdleDelay() {
    latch_ = false;
    updateGeometries();
    viewport()->update();
    side_->update();
    titles_->viewport()->update();
}

void TNbDBGrid::updateGeometries() {
    const int rows = link_->rowCount();
    const int visible = VisibleRows();
    verticalScrollBar()->setRange(0, std::max(0, rows - visible));
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setSingleStep(1);
    const int width = viewport()->width();
    horizontalScrollBar()->setRange(0, std::max(0, titles_->length() - width));
    horizontalScrollBar()->setPageStep(std::max(1, width));
    horizontalScrollBar()->setSingleStep(20);
    const QRect vg = viewport()->geometry();
    const int ind = IndicatorWidth();
    titles_->setGeometry(vg.left(), vg.top() - titleHeight_, vg.width(), titleHeight_);
    titles_->setVisible(titleHeight_ > 0);
    titles_->setOffset(horizontalScrollBar()->value());
    side_->setGeometry(vg.left() - ind, vg.top() - titleHeight_, ind, vg.height() + titleHeight_);
    side_->setVisible(ind > 0);
    const int footer = (options_ & dgShowFooter) ? rowHeight_ + 4 : 0;
    footer_->setGeometry(vg.left() - ind, vg.bottom() + 1, vg.width() + ind, footer);
    QAbstractItemView::updateGeometries();
}

void TNbDBGrid::resizeEvent(QResizeEvent* event) {
    QAbstractItemView::resizeEvent(event);
    updateGeometries();
}

void TNbDBGrid::scrollContentsBy(int, int) {
    titles_->setOffset(horizontalScrollBar()->value());
    viewport()->update();
    side_->update();
    footer_->update();
    SyncScrollBar();
}

// ---------------------------------------------------------------- the dataset's notifications

void TNbDBGrid::LinkActiveChanged() {
    RebuildLayout();
    SyncCurrentFromCursor();
}

void TNbDBGrid::LinkLayoutChanged() { RebuildLayout(); }

void TNbDBGrid::LinkDataChanged() {
    updateGeometries();
    SyncCurrentFromCursor();
    viewport()->update();
    side_->update();
    titles_->viewport()->update();
    SyncScrollBar();
}

void TNbDBGrid::LinkScrolled() {
    if (!syncing_) SyncCurrentFromCursor();
}

void TNbDBGrid::LinkRecordChanged() { viewport()->update(); }

void TNbDBGrid::LinkEditingChanged() { side_->update(); }

void TNbDBGrid::SyncCurrentFromCursor() {
    if (syncing_ || !link_->Active() || link_->rowCount() == 0 || link_->columnCount() == 0) return;
    const int row = std::clamp(DataSet()->RowNumber() - 1, 0, link_->rowCount() - 1);
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && cur.row() == row) return;
    const int column = cur.isValid() ? cur.column() : titles_->logicalIndex(0);
    syncing_ = true;
    const QModelIndex idx = link_->index(row, column);
    selectionModel()->setCurrentIndex(
        idx, QItemSelectionModel::ClearAndSelect | ((options_ & dgRowSelect) ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
    scrollTo(idx);
    syncing_ = false;
    side_->update();
}

void TNbDBGrid::MoveCursorTo(int row) {
    TMemCustomDataSet* ds = DataSet();
    if (!ds || !ds->Active() || row < 0 || row >= ds->RowCount() || ds->RowNumber() == row + 1) return;
    const bool was = syncing_;
    syncing_ = true;
    try {
        // Leaving a record posts its changes first.
        if (ds->State() == TDataSetState::Edit || ds->State() == TDataSetState::Insert) ds->PostRow();
        ds->SetRowNumber(row + 1);
    } catch (const std::exception& e) {
        syncing_ = was;
        Report(e);
        return;
    }
    syncing_ = was;
}

void TNbDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QAbstractItemView::currentChanged(current, previous);
    if (!syncing_ && current.isValid()) {
        MoveCursorTo(current.row());
        TMemCustomDataSet* ds = DataSet();
        // A post that failed keeps the record current.
        if (ds && ds->RowNumber() != current.row() + 1 && ds->RowNumber() > 0) {
            syncing_ = true;
            selectionModel()->setCurrentIndex(link_->index(ds->RowNumber() - 1, current.column()), QItemSelectionModel::ClearAndSelect);
            syncing_ = false;
        }
    }
    side_->update();
    SyncScrollBar();
}

// ---------------------------------------------------------------- geometry

QRect TNbDBGrid::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != link_) return {};
    const int y = (index.row() - TopRow()) * rowHeight_;
    return QRect(titles_->sectionViewportPosition(index.column()), y, titles_->sectionSize(index.column()), rowHeight_);
}

void TNbDBGrid::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) return;
    const int r = index.row();
    const int top = TopRow();
    const int visible = VisibleRows();
    QScrollBar* vs = verticalScrollBar();
    if (hint == PositionAtTop || (hint == EnsureVisible && r < top))
        vs->setValue(r);
    else if (hint == PositionAtBottom || (hint == EnsureVisible && r >= top + visible))
        vs->setValue(r - visible + 1);
    else if (hint == PositionAtCenter)
        vs->setValue(r - visible / 2);
    if (options_ & dgRowSelect) return;
    const int x = titles_->sectionPosition(index.column());
    const int w = titles_->sectionSize(index.column());
    QScrollBar* hs = horizontalScrollBar();
    const int off = hs->value();
    const int vw = viewport()->width();
    if (x < off)
        hs->setValue(x);
    else if (x + w > off + vw)
        hs->setValue(std::min(x, x + w - vw));
}

QModelIndex TNbDBGrid::indexAt(const QPoint& point) const {
    if (point.y() < 0 || point.x() < 0) return {};
    const int r = TopRow() + point.y() / rowHeight_;
    if (r >= link_->rowCount()) return {};
    const int c = titles_->logicalIndexAt(point.x());
    if (c < 0) return {};
    return link_->index(r, c);
}

int TNbDBGrid::horizontalOffset() const { return horizontalScrollBar()->value(); }

int TNbDBGrid::verticalOffset() const { return TopRow() * rowHeight_; }

bool TNbDBGrid::isIndexHidden(const QModelIndex& index) const { return titles_->isSectionHidden(index.column()); }

void TNbDBGrid::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    const QRect r = rect.normalized();
    const int rows = link_->rowCount();
    if (rows == 0 || link_->columnCount() == 0) return;
    const int r0 = std::clamp(TopRow() + std::max(0, r.top()) / rowHeight_, 0, rows - 1);
    const int r1 = std::clamp(TopRow() + std::max(0, r.bottom()) / rowHeight_, 0, rows - 1);
    int v0 = titles_->visualIndexAt(std::max(0, r.left()));
    int v1 = titles_->visualIndexAt(std::max(0, r.right()));
    if (v0 < 0) v0 = 0;
    if (v1 < 0) v1 = titles_->count() - 1;
    if (v0 > v1) std::swap(v0, v1);
    QItemSelection sel;
    for (int v = v0; v <= v1; ++v) {
        const int c = titles_->logicalIndex(v);
        sel.select(link_->index(r0, c), link_->index(r1, c));
    }
    selectionModel()->select(sel, command);
}

QRegion TNbDBGrid::visualRegionForSelection(const QItemSelection&) const { return QRegion(viewport()->rect()); }

QModelIndex TNbDBGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const int rows = link_->rowCount();
    const int cols = link_->columnCount();
    if (rows == 0 || cols == 0) return {};
    const QModelIndex cur = currentIndex();
    int r = cur.isValid() ? cur.row() : 0;
    int v = cur.isValid() ? titles_->visualIndex(cur.column()) : 0;
    const bool ctrl = modifiers & Qt::ControlModifier;
    const bool rowSelect = options_ & dgRowSelect;
    const int top = TopRow();
    const int page = VisibleRows();
    switch (action) {
    case MoveUp:
        r = ctrl ? top : r - 1;
        break;
    case MoveDown:
        r = ctrl ? top + page - 1 : r + 1;
        break;
    case MovePageUp:
        r = ctrl ? top : r - page;
        break;
    case MovePageDown:
        r = ctrl ? top + page - 1 : r + page;
        break;
    case MoveHome:
        if (ctrl || rowSelect || cols == 1)
            r = 0;
        else
            v = 0;
        break;
    case MoveEnd:
        if (ctrl || rowSelect || cols == 1)
            r = rows - 1;
        else
            v = cols - 1;
        break;
    case MoveLeft:
        if (rowSelect)
            --r;
        else
            v = ctrl ? 0 : v - 1;
        break;
    case MoveRight:
        if (rowSelect)
            ++r;
        else
            v = ctrl ? cols - 1 : v + 1;
        break;
    case MoveNext:
        if (modifiers & (Qt::ControlModifier | Qt::AltModifier)) break;
        if (++v >= cols) {
            if (r + 1 < rows) {
                v = 0;
                ++r;
            } else {
                v = cols - 1;
            }
        }
        break;
    case MovePrevious:
        if (modifiers & (Qt::ControlModifier | Qt::AltModifier)) break;
        if (--v < 0) {
            if (r > 0) {
                v = cols - 1;
                --r;
            } else {
                v = 0;
            }
        }
        break;
    }
    r = std::clamp(r, 0, rows - 1);
    v = std::clamp(v, 0, cols - 1);
    return link_->index(r, titles_->logicalIndex(v));
}

bool TNbDBGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    if (!EditingAllowed() || IsImageColumn(index.column())) return false;
    return QAbstractItemView::edit(index, trigger, event);
}

// ---------------------------------------------------------------- input

void TNbDBGrid::keyPressEvent(QKeyEvent* event) {
    TMemCustomDataSet* ds = DataSet();
    if (!link_->Active()) {
        event->ignore();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        return;
    }
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_Delete:
        if (ctrl) {
            if (ReadOnly || ds->ReadOnly() || ds->RowCount() == 0) return;
            const bool several = selectionModel()->selectedRows().size() > 1 && (options_ & dgMultiSelect);
            if (options_ & dgConfirmDelete) {
                const auto answer =
                    QMessageBox::question(this, QApplication::applicationDisplayName(),
                                          several ? QStringLiteral("Delete all selected records?") : QStringLiteral("Delete record?"),
                                          QMessageBox::Ok | QMessageBox::Cancel);
                if (answer != QMessageBox::Ok) return;
            }
            try {
                ds->DeleteRow();
            } catch (const std::exception& e) {
                Report(e);
            }
            return;
        }
        break;
    case Qt::Key_Escape:
        if (state() == EditingState) break;
        if (ds->State() == TDataSetState::Edit || ds->State() == TDataSetState::Insert) {
            ds->CancelRow();
            viewport()->update();
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (state() != EditingState && !(options_ & dgAlwaysShowEditor)) {
            edit(currentIndex(), EditKeyPressed, event);
            return;
        }
        break;
    default:
        break;
    }
    // Ctrl with a move key moves the selection with the current cell, as a plain move does.
    if (ctrl && !(event->modifiers() & Qt::ShiftModifier)) {
        switch (event->key()) {
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Left:
        case Qt::Key_Right: {
            const CursorAction a = event->key() == Qt::Key_Home       ? MoveHome
                                   : event->key() == Qt::Key_End      ? MoveEnd
                                   : event->key() == Qt::Key_Up       ? MoveUp
                                   : event->key() == Qt::Key_Down     ? MoveDown
                                   : event->key() == Qt::Key_PageUp   ? MovePageUp
                                   : event->key() == Qt::Key_PageDown ? MovePageDown
                                   : event->key() == Qt::Key_Left     ? MoveLeft
                                                                      : MoveRight;
            const QModelIndex to = moveCursor(a, event->modifiers());
            if (to.isValid()) {
                selectionModel()->setCurrentIndex(
                    to, QItemSelectionModel::ClearAndSelect |
                            ((options_ & dgRowSelect) ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
                scrollTo(to);
            }
            return;
        }
        default:
            break;
        }
    }
    QAbstractItemView::keyPressEvent(event);
}

void TNbDBGrid::ClearHoveredTitle() {
    if (hoveredTitle_.empty()) return;
    hoveredTitle_.clear();
    titles_->viewport()->update();
}

void TNbDBGrid::mousePressEvent(QMouseEvent* event) {
    ClearHoveredTitle();
    QAbstractItemView::mousePressEvent(event);
}

void TNbDBGrid::mouseReleaseEvent(QMouseEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    QAbstractItemView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && at.isValid() && OnCellClick) OnCellClick(at.column());
}

void TNbDBGrid::wheelEvent(QWheelEvent* event) {
    // One notch moves one record.
    const int notches = event->angleDelta().y() / 120;
    if (notches == 0 || !link_->Active() || link_->rowCount() == 0) {
        QAbstractItemView::wheelEvent(event);
        return;
    }
    const QModelIndex cur = currentIndex();
    const int r = std::clamp((cur.isValid() ? cur.row() : 0) - notches, 0, link_->rowCount() - 1);
    const QModelIndex to = link_->index(r, cur.isValid() ? cur.column() : titles_->logicalIndex(0));
    selectionModel()->setCurrentIndex(
        to, QItemSelectionModel::ClearAndSelect | ((options_ & dgRowSelect) ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
    scrollTo(to);
    event->accept();
}

void TNbDBGrid::leaveEvent(QEvent* event) {
    ClearHoveredTitle();
    QAbstractItemView::leaveEvent(event);
}

bool TNbDBGrid::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Leave) ClearHoveredTitle();
    return QAbstractItemView::viewportEvent(event);
}

void TNbDBGrid::HoverTitle(int column) {
    if (resizing_ || column < 0 || column >= static_cast<int>(columns_.size())) return;
    const std::string& name = columns_[static_cast<size_t>(column)].FieldName;
    if (HighlightTitle) {
        if (hoveredTitle_ != name) hoveredTitle_ = name;
        titles_->viewport()->update();
    } else if (!hoveredTitle_.empty()) {
        hoveredTitle_.clear();
        titles_->viewport()->update();
    }
    if (OnMouseOverTitle) OnMouseOverTitle(column);
}

void TNbDBGrid::ClickTitle(int column) {
    if (column < 0 || column >= static_cast<int>(columns_.size())) return;
    TMemCustomDataSet* ds = DataSet();
    if (AllowSorting && ds && ds->Active() && dynamic_cast<TMemDataSet*>(ds) && !ds->OverRecordset()) {
        const std::string& name = columns_[static_cast<size_t>(column)].FieldName;
        const int direction = (name == sortField_ && sortDirection_ == 0) ? 1 : 0;
        sortDirection_ = direction;
        sortField_ = name;
        try {
            ds->SortByField(name, direction == 1);
        } catch (const std::exception& e) {
            Report(e);
        }
        titles_->viewport()->update();
    }
    if (OnTitleClick) OnTitleClick(column);
}

// ---------------------------------------------------------------- copying

QString TNbDBGrid::SelectionAsText() const {
    if (!link_->Active() || link_->rowCount() == 0) return {};
    QItemSelection sel = selectionModel()->selection();
    if (sel.isEmpty() && currentIndex().isValid()) sel.select(currentIndex(), currentIndex());
    if (sel.isEmpty()) return {};
    const int rows = link_->rowCount();
    int r0 = rows, r1 = -1;
    std::vector<bool> colSelected(columns_.size(), false);
    bool wholeColumns = true;
    for (const QItemSelectionRange& range : sel) {
        r0 = std::min(r0, range.top());
        r1 = std::max(r1, range.bottom());
        for (int c = range.left(); c <= range.right(); ++c) colSelected[static_cast<size_t>(c)] = true;
        if (range.top() != 0 || range.bottom() != rows - 1) wholeColumns = false;
    }
    std::vector<int> cols;  // in the order shown
    for (int v = 0; v < titles_->count(); ++v) {
        const int c = titles_->logicalIndex(v);
        if (colSelected[static_cast<size_t>(c)] && !titles_->isSectionHidden(c)) cols.push_back(c);
    }
    const bool oneRange = sel.size() == 1;
    QString out;
    if (wholeColumns) {
        for (size_t i = 0; i < cols.size(); ++i) {
            if (i) out += QLatin1Char('\t');
            out += TsvCell(Q(link_->ColumnField(cols[i])->DisplayName()));
        }
        out += QLatin1Char('\n');
    }
    TMemCustomDataSet& ds = *DataSet();
    for (int r = r0; r <= r1; ++r) {
        const std::uint8_t* values = ds.RowValuesAt(r);
        for (size_t i = 0; i < cols.size(); ++i) {
            if (i) out += QLatin1Char('\t');
            if (!oneRange && !selectionModel()->isSelected(link_->index(r, cols[i]))) continue;
            out += TsvCell(Q(link_->ColumnField(cols[i])->DisplayTextFrom(values)));
        }
        out += QLatin1Char('\n');
    }
    return out;
}

void TNbDBGrid::CopySelection() const {
    const QString text = SelectionAsText();
    if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

// ---------------------------------------------------------------- drawing

QColor TNbDBGrid::LineColor() const {
    const QColor silver(192, 192, 192);
    return palette().color(QPalette::Base) == silver ? QColor(128, 128, 128) : silver;
}

void TNbDBGrid::paintEvent(QPaintEvent* event) {
    if (firstPaint_) {
        firstPaint_ = false;
        latch_ = false;
        if (link_->Active()) SyncScrollBar();
    }
    QPainter p(viewport());
    const QRect area = event->rect();
    const QPalette& pal = palette();
    p.fillRect(area, pal.color(QPalette::Base));
    if (!link_->Active()) return;
    TMemCustomDataSet& ds = *DataSet();
    const int rows = link_->rowCount();
    const int top = TopRow();
    const int last = std::min(rows, top + ClientRowsReach());
    const int width = viewport()->width();
    const bool colLines = options_ & dgColLines;
    const bool rowLines = options_ & dgRowLines;
    const bool focused = hasFocus() || (state() == EditingState);
    const bool showSelection = focused || (options_ & dgAlwaysShowSelection);
    const QColor text = isEnabled() ? pal.color(QPalette::Text) : pal.color(QPalette::Disabled, QPalette::Text);
    const QColor muted = pal.color(QPalette::Disabled, QPalette::Text);
    const QColor lines = LineColor();
    const QModelIndex cur = currentIndex();
    const bool editingRow = ds.State() == TDataSetState::Edit;
    QItemSelectionModel* sm = selectionModel();
    const QItemSelection selection = sm->selection();
    auto selected = [&](int r, int c) {
        for (const QItemSelectionRange& range : selection)
            if (r >= range.top() && r <= range.bottom() && c >= range.left() && c <= range.right()) return true;
        return false;
    };
    std::vector<int> shown;
    for (int v = titles_->visualIndexAt(0); v >= 0 && v < titles_->count(); ++v) {
        const int logical = titles_->logicalIndex(v);
        if (titles_->isSectionHidden(logical)) continue;
        if (titles_->sectionViewportPosition(logical) >= width) break;
        shown.push_back(logical);
    }
    QFont nullFont = font();
    nullFont.setItalic(true);
    const QFontMetrics fm(font());
    const QFontMetrics nullFm(nullFont);
    p.setFont(font());
    for (int r = top; r < last; ++r) {
        const int y = (r - top) * rowHeight_;
        const std::uint8_t* values = ds.RowValuesAt(r);
        for (int c : shown) {
            const int x = titles_->sectionViewportPosition(c);
            const QRect cell(x, y, titles_->sectionSize(c), rowHeight_);
            if (!cell.intersects(area)) continue;
            const QRect inner = cell.adjusted(0, 0, colLines ? -1 : 0, rowLines ? -1 : 0);
            const bool isSel = showSelection && selected(r, c);
            if (isSel) p.fillRect(inner, focused ? pal.color(QPalette::Highlight) : pal.color(QPalette::Inactive, QPalette::Highlight));
            TField* f = link_->ColumnField(c);
            if (f) {
                const QRect tr = inner.adjusted(2, 0, -2, 0);
                if (IsImageColumn(c)) {
                    if (!f->ValueIsNullIn(values)) {
                        bool ok = false;
                        const int i = Q(f->DisplayTextFrom(values)).trimmed().toInt(&ok);
                        if (ok && i >= 0 && i < static_cast<int>(ImageList.size())) {
                            const QPixmap& pm = ImageList[static_cast<size_t>(i)];
                            const int h = std::max(1, inner.height() - 1);
                            const QPixmap scaled = pm.scaled(pm.width(), h);
                            p.drawPixmap(inner.left() + (inner.width() - scaled.width()) / 2, inner.top(), scaled);
                        }
                    }
                } else if (editingRow && ds.RowNumber() == r + 1) {
                    p.setPen(isSel ? pal.color(QPalette::HighlightedText) : text);
                    DrawCellText(p, fm, tr, Q(f->DisplayText()), TGridDataLink::IsNumeric(*f));
                } else if (f->ValueIsNullIn(values)) {
                    // NULL is told apart from an empty text by a muted word.
                    p.setPen(isSel ? pal.color(QPalette::HighlightedText) : muted);
                    p.setFont(nullFont);
                    DrawCellText(p, nullFm, tr, QStringLiteral("NULL"), false);
                    p.setFont(font());
                } else {
                    p.setPen(isSel ? pal.color(QPalette::HighlightedText) : text);
                    DrawCellText(p, fm, tr, Q(f->DisplayTextFrom(values)), TGridDataLink::IsNumeric(*f));
                }
            }
            p.setPen(lines);
            if (colLines) p.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
            if (rowLines) p.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
            if (hasFocus() && !(options_ & dgRowSelect) && cur.row() == r && cur.column() == c && isActiveWindow()) {
                p.setPen(QPen(pal.color(QPalette::HighlightedText), 1, Qt::DotLine));
                p.drawRect(inner.adjusted(0, 0, -1, -1));
            }
        }
    }
}

void TNbDBGrid::PaintIndicatorGlyph(QPainter& p, const QRect& cell, int glyph) const {
    // 6 x 11 pictures, right edge 2 pixels from the cell's (1 with both line options), centred.
    const int inset = ((options_ & dgColLines) && (options_ & dgRowLines)) ? 1 : 2;
    const int left = cell.right() + 1 - inset - 6;
    const int top = cell.top() + (cell.height() - 11) / 2;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::black);
    p.setBrush(Qt::black);
    switch (glyph) {
    case 0: {  // solid right-pointing triangle
        const QPoint pts[3] = {QPoint(left, top), QPoint(left + 5, top + 5), QPoint(left, top + 10)};
        p.drawPolygon(pts, 3);
        break;
    }
    case 1:  // I-beam
        p.drawLine(left + 1, top + 1, left + 4, top + 1);
        p.drawLine(left + 1, top + 9, left + 4, top + 9);
        p.drawLine(left + 2, top + 1, left + 2, top + 9);
        p.drawLine(left + 3, top + 1, left + 3, top + 9);
        break;
    case 2:  // asterisk
        p.drawLine(left + 3, top + 2, left + 3, top + 8);
        p.drawLine(left + 0, top + 5, left + 5, top + 5);
        p.drawLine(left + 1, top + 3, left + 5, top + 7);
        p.drawLine(left + 1, top + 7, left + 5, top + 3);
        break;
    case 3:  // filled disc
        p.drawEllipse(QRect(left + 1, top + 3, 4, 4));
        break;
    default: {  // open arrow
        p.setBrush(Qt::NoBrush);
        const QPoint pts[3] = {QPoint(left, top), QPoint(left + 5, top + 5), QPoint(left, top + 10)};
        p.drawPolygon(pts, 3);
        break;
    }
    }
    p.restore();
}

void TNbDBGrid::PaintSide(QPainter& p) {
    const QPalette& pal = palette();
    const int w = side_->width();
    p.fillRect(side_->rect(), pal.color(QPalette::Button));
    const bool colLines = options_ & dgColLines;
    const bool rowLines = options_ & dgRowLines;
    p.setPen(pal.color(QPalette::Dark));
    if (titleHeight_ > 0) {
        if (colLines) p.drawLine(w - 1, 0, w - 1, titleHeight_ - 1);
        if (rowLines) p.drawLine(0, titleHeight_ - 1, w - 1, titleHeight_ - 1);
    }
    if (!link_->Active()) return;
    TMemCustomDataSet& ds = *DataSet();
    const int top = TopRow();
    const int last = std::min(link_->rowCount(), top + ClientRowsReach());
    const QModelIndex cur = currentIndex();
    const bool multi = options_ & dgMultiSelect;
    for (int r = top; r < last; ++r) {
        const QRect cell(0, titleHeight_ + (r - top) * rowHeight_, w, rowHeight_);
        p.setPen(pal.color(QPalette::Dark));
        if (colLines) p.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
        if (rowLines) p.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
        const bool isCurrent = cur.isValid() && cur.row() == r;
        const bool isSelected = multi && selectionModel()->isRowSelected(r, QModelIndex());
        int glyph = -1;
        if (isCurrent) {
            if (ds.State() == TDataSetState::Edit)
                glyph = 1;
            else if (ds.State() == TDataSetState::Insert)
                glyph = 2;
            else
                glyph = isSelected ? 4 : 0;
        } else if (isSelected) {
            glyph = 3;
        }
        if (glyph >= 0) PaintIndicatorGlyph(p, cell.adjusted(0, 0, colLines ? -1 : 0, rowLines ? -1 : 0), glyph);
    }
}

void TNbDBGrid::PaintTitle(QPainter& p, const QRect& rect, int column) const {
    const QPalette& pal = palette();
    const bool both = (options_ & dgColLines) && (options_ & dgRowLines);
    const std::string name =
        column >= 0 && column < static_cast<int>(columns_.size()) ? columns_[static_cast<size_t>(column)].FieldName : std::string();
    const bool highlighted = HighlightTitle && !hoveredTitle_.empty() && hoveredTitle_ == name;
    const QColor bg = highlighted ? TitleHighlightColor : pal.color(QPalette::Button);
    p.fillRect(rect, pal.color(QPalette::Button));
    const QRect inner = both ? rect.adjusted(0, 0, -1, -1) : rect;
    p.fillRect(inner, bg);
    p.setPen(pal.color(QPalette::Dark));
    if (options_ & dgColLines) p.drawLine(rect.right(), rect.top(), rect.right(), rect.bottom());
    if (options_ & dgRowLines) p.drawLine(rect.left(), rect.bottom(), rect.right(), rect.bottom());
    if (TitleButtons && both) qDrawShadePanel(&p, inner, pal, false, 1);
    // The caption stays readable on a dark highlight.
    p.setPen(bg.lightness() < 100 ? QColor(Qt::white) : pal.color(QPalette::ButtonText));
    p.setFont(titles_->font());
    const TField* f = link_->ColumnField(column);
    if (f) p.drawText(inner.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Q(f->DisplayName()));
    if (AllowSorting && ShowSortIcons) {
        int icon = -1;
        if (sortDirection_ >= 0 && name == sortField_)
            icon = sortDirection_;
        else if (sortDirection_ < 0 && ShowUnsortedIcon)
            icon = 2;
        if (icon >= 0) {
            // Two 7-pixel triangles, up over down; the one of the direction is black.
            const int left = rect.right() + 1 - 7;
            const int top = (rect.top() + rect.bottom() + 1 - 10) / 2;
            const QColor silver(192, 192, 192);
            const QColor up = icon == 0 ? QColor(Qt::black) : silver;
            const QColor down = icon == 1 ? QColor(Qt::black) : silver;
            p.save();
            p.setRenderHint(QPainter::Antialiasing, false);
            for (int k = 0; k < 4; ++k) {
                p.setPen(up);
                p.drawLine(left + 3 - k, top + k, left + 3 + k, top + k);
                p.setPen(down);
                p.drawLine(left + 3 - k, top + 9 - k, left + 3 + k, top + 9 - k);
            }
            p.restore();
        }
    }
}

void TNbDBGrid::PaintFooter(QPainter& p) {
    const QPalette& pal = palette();
    const QRect band = footer_->rect();
    p.fillRect(band, pal.color(QPalette::Button));
    p.setPen(Qt::black);
    p.drawRect(band.adjusted(0, 0, -1, -1));
    p.setPen(Qt::white);
    p.drawLine(band.left() + 1, band.top() + 1, band.right() - 1, band.top() + 1);
    const int ind = IndicatorWidth();
    for (int c = 0; c < static_cast<int>(columns_.size()); ++c) {
        const std::string& format = columns_[static_cast<size_t>(c)].FooterFormat;
        if (NbTrim(format).empty() || titles_->isSectionHidden(c)) continue;
        std::string text;
        for (size_t i = 0; i < format.size(); ++i) {
            if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') ++i;
            text += format[i];
        }
        const QRect box(ind + titles_->sectionViewportPosition(c), band.top() + 2, titles_->sectionSize(c), band.height() - 4);
        p.setPen(pal.color(QPalette::Shadow));
        p.drawLine(box.topLeft(), box.topRight());
        p.drawLine(box.topLeft(), box.bottomLeft());
        p.setPen(pal.color(QPalette::Light));
        p.drawLine(box.bottomLeft(), box.bottomRight());
        p.drawLine(box.topRight(), box.bottomRight());
        p.setPen(pal.color(QPalette::ButtonText));
        p.setClipRect(box.adjusted(4, 0, -5, 0));
        p.drawText(box.adjusted(4, 0, -5, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Q(text));
        p.setClipping(false);
    }
}
