#include "uMemDataSet.h"

#include "uNbFormat.h"
#include "uNbText.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr size_t kHeader = sizeof(TMemRowHeader);

int ParseDecimalOrZero(std::string_view s) {
    int v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() ? v : 0;
}

std::string JoinFastFields(const std::vector<std::string>& ff) {
    std::string out;
    for (const auto& f : ff) {
        out += f;
        out += '\n';
    }
    return out;
}

}  // namespace

TMemFastField ParseFastField(std::string_view text) {
    TMemFastField f;
    const size_t last = text.rfind(',');
    if (last == std::string_view::npos) {
        f.name = std::string(text);
        return f;
    }
    const size_t prev = last == 0 ? std::string_view::npos : text.rfind(',', last - 1);
    if (prev == std::string_view::npos) {
        f.name = std::string(text.substr(0, last));
        f.type = ParseDecimalOrZero(text.substr(last + 1));
        return f;
    }
    f.name = std::string(text.substr(0, prev));
    f.type = ParseDecimalOrZero(text.substr(prev + 1, last - prev - 1));
    f.size = ParseDecimalOrZero(text.substr(last + 1));
    return f;
}

TMemCustomDataSet::TMemCustomDataSet() : indexes_(*this) {}

TMemCustomDataSet::~TMemCustomDataSet() = default;

// ---------------------------------------------------------------- layout

void TMemCustomDataSet::DefineField(std::string_view name, int type, int size) {
    if (type == ftGuid) size = 38;
    fastFields_.push_back(NbFormat("%s,%d,%d", name, type, size));
}

void TMemCustomDataSet::BuildLayout() {
    std::vector<TMemFieldItem> layout;
    if (!fastFields_.empty() || fieldDefs_.empty()) {
        for (const auto& text : fastFields_) {
            TMemFastField f = ParseFastField(text);
            layout.push_back({static_cast<int>(layout.size()) + 1, f.type, std::move(f.name), f.size, 0, 0});
        }
        fieldDefs_.clear();
    } else {
        for (const auto& d : fieldDefs_) layout.push_back({static_cast<int>(layout.size()) + 1, d.DataType, d.Name, d.Size, 0, 0});
    }
    int offset = 0;
    for (auto& item : layout) {
        item.RowBytes = RowBytesOf(item.DataType, item.Size);
        item.Offset = offset;
        offset += item.RowBytes;
    }
    const std::string source = JoinFastFields(fastFields_);
    if (!rows_.empty() && (source != layoutSource_ || offset != valuesBytes_)) DropRows();
    layout_ = std::move(layout);
    layoutSource_ = source;
    valuesBytes_ = offset;
    store_.SetBlockBytes(static_cast<int>(kHeader + static_cast<size_t>(RowBlockBytes())));
    if (fieldDefs_.empty())
        for (const auto& item : layout_)
            fieldDefs_.push_back({item.Name, item.DataType, FieldDefSizeOf(item.DataType, item.Size), item.FieldNo});
}

void TMemCustomDataSet::CreateFields() {
    fieldNames_.reset();
    const bool keep = fixedFields_ && fields_.size() == layout_.size();
    if (!keep) {
        fields_.clear();
        for (size_t i = 0; i < fieldDefs_.size() && i < layout_.size(); ++i)
            fields_.push_back(std::make_unique<TField>(*this, fieldDefs_[i], static_cast<int>(i)));
    }
    for (auto& f : fields_) {
        const TMemFieldItem& item = layout_[static_cast<size_t>(f->fieldNo_ - 1)];
        f->offset_ = item.Offset;
        f->storage_ = StorageOf(item.DataType);
        f->nullWord_ = valuesBytes_ + 4 * ((item.FieldNo - 1) / 32);
        f->nullBit_ = 1u << ((item.FieldNo - 1) % 32);
    }
}

void TMemCustomDataSet::FreeFields() {
    fieldNames_.reset();
    fields_.clear();
}

void TMemCustomDataSet::SetActive(bool active) {
    if (active == active_) return;
    if (active) {
        BuildLayout();
        CreateFields();
        active_ = true;
        state_ = TDataSetState::Browse;
        std::int32_t maxId = static_cast<std::int32_t>(rows_.size());
        for (TMemRow r : rows_) maxId = std::max(maxId, RowId(r));
        rowIdCounter_ = std::max(rowIdCounter_, maxId);
        pos_ = 0;
        bof_ = true;
        eof_ = rows_.empty();
    } else {
        if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) CancelRow();
        if (!fixedFields_) FreeFields();
        active_ = false;
        state_ = TDataSetState::Inactive;
    }
    NotifyActive();
}

void TMemCustomDataSet::ClearLayout() {
    indexes_.Clear();
    if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) CancelRow();
    const bool wasActive = active_;
    active_ = false;
    state_ = TDataSetState::Inactive;
    fixedFields_ = false;
    FreeFields();
    DropRows();
    layout_.clear();
    layoutSource_.clear();
    valuesBytes_ = 0;
    store_.SetBlockBytes(0);
    fieldDefs_.clear();
    fastFields_.clear();
    if (wasActive) NotifyActive();
}

TField* TMemCustomDataSet::FieldNamed(std::string_view name) const {
    // A few fields are compared in turn; many are found through a hash list of their upper-case
    // names, so that looking up every field of a wide table stays linear.
    constexpr size_t kHashFrom = 16;
    if (fields_.size() < kHashFrom) {
        for (const auto& f : fields_)
            if (NbSameText(f->FieldName(), name)) return f.get();
        return nullptr;
    }
    if (!fieldNames_) {
        fieldNames_ = std::make_unique<TMemSPHashList>(static_cast<int>(fields_.size() * 2));
        for (const auto& f : fields_) {
            const std::string key = NbUpperText(f->FieldName());
            std::uintptr_t found;
            if (!fieldNames_->FindByText(key, found)) fieldNames_->AddPair(reinterpret_cast<std::uintptr_t>(f.get()), key);
        }
    }
    std::uintptr_t found = 0;
    return fieldNames_->FindByText(NbUpperText(name), found) ? reinterpret_cast<TField*>(found) : nullptr;
}

TField& TMemCustomDataSet::FieldByName(std::string_view name) const {
    TField* f = FieldNamed(name);
    if (!f) throw EDatabaseError(NbFormat("Field '%s' not found", name));
    return *f;
}

// ---------------------------------------------------------------- storage

void TMemCustomDataSet::DropRows() {
    pending_ = nullptr;  // its block goes with the chunks
    rows_.clear();
    rows_.shrink_to_fit();
    store_.Clear();
    pendingNewBlobs_.clear();
    pendingOldBlobs_.clear();
    for (auto& idx : indexes_.items_) {
        idx->rows_.clear();
        idx->built_ = false;
    }
    pos_ = 0;
    bof_ = eof_ = true;
}

size_t TMemCustomDataSet::MemoryUsed() const {
    size_t total = rows_.capacity() * sizeof(TMemRow) + store_.MemoryUsed();
    for (const auto& idx : indexes_.items_) total += idx->rows_.capacity() * sizeof(TMemRow);
    return total;
}

const std::uint8_t* TMemCustomDataSet::ReadValues() const {
    if (state_ == TDataSetState::Insert) return pending_ + kHeader;
    if (state_ == TDataSetState::Edit) return editBuf_.data() + kHeader;
    TMemRow r = CurrentRow();
    return r ? Values(r) : nullptr;
}

std::uint8_t* TMemCustomDataSet::WriteEditValues() {
    if (state_ != TDataSetState::Edit) throw EDatabaseError("DataSet Not in Edit or Insert Mode");
    return editBuf_.data() + kHeader;
}

void TMemCustomDataSet::DeleteRowBlobs(const std::uint8_t* values) {
    for (const auto& item : layout_) {
        if (StorageOf(item.DataType) != TMemStorage::Blob) continue;
        std::int32_t id;
        std::memcpy(&id, values + item.Offset, 4);
        if (id > 0) store_.EraseBlob(id, item.FieldNo);
    }
}

void TMemCustomDataSet::EraseBlobs(const std::vector<std::int32_t>& ids) {
    for (std::int32_t id : ids)
        for (const auto& item : layout_)
            if (StorageOf(item.DataType) == TMemStorage::Blob) store_.EraseBlob(id, item.FieldNo);
}

// ---------------------------------------------------------------- cursor

const std::vector<TMemRow>& TMemCustomDataSet::Order() const {
    const TMemIndex* sel = indexes_.SelectedIndex();
    if (sel && !(sel->options_ & ioNatural) && sel->built_) return sel->rows_;
    return rows_;
}

TMemRow TMemCustomDataSet::CurrentRow() const {
    const auto& order = Order();
    if (pos_ < 0 || pos_ >= static_cast<int>(order.size())) return nullptr;
    return order[static_cast<size_t>(pos_)];
}

std::int32_t TMemCustomDataSet::CurrentRowId() const {
    TMemRow r = CurrentRow();
    return r ? RowId(r) : 0;
}

void TMemCustomDataSet::CheckBrowse() {
    if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) PostRow();
}

void TMemCustomDataSet::SetPos(int pos) {
    const int old = pos_;
    pos_ = pos;
    if (old != pos_) NotifyScrolled(pos_ - old);
}

int TMemCustomDataSet::RowCount() const { return static_cast<int>(Order().size()); }

int TMemCustomDataSet::RowNumber() const { return Order().empty() ? 0 : pos_ + 1; }

void TMemCustomDataSet::SetRowNumber(int number) {
    CheckBrowse();
    if (number < 1 || number > RowCount()) throw EDatabaseError(NbFormat("No record at position %d", number - 1));
    bof_ = eof_ = false;
    SetPos(number - 1);
}

void TMemCustomDataSet::MoveFirst() {
    CheckBrowse();
    SetPos(0);
    bof_ = true;
    eof_ = RowCount() == 0;
}

void TMemCustomDataSet::MoveLast() {
    CheckBrowse();
    const int n = RowCount();
    SetPos(n > 0 ? n - 1 : 0);
    eof_ = true;
    bof_ = n == 0;
}

void TMemCustomDataSet::MoveNext() { MoveRows(1); }
void TMemCustomDataSet::MovePrior() { MoveRows(-1); }

int TMemCustomDataSet::MoveRows(int n) {
    CheckBrowse();
    const int count = RowCount();
    if (count == 0) {
        bof_ = eof_ = true;
        return 0;
    }
    int target = pos_ + n;
    int moved = n;
    if (n > 0) {
        bof_ = false;
        if (target >= count) {
            target = count - 1;
            moved = target - pos_;
            eof_ = true;
        } else {
            eof_ = false;
        }
    } else if (n < 0) {
        eof_ = false;
        if (target < 0) {
            target = 0;
            moved = -pos_;
            bof_ = true;
        } else {
            bof_ = false;
        }
    }
    SetPos(target);
    return moved;
}

int TMemCustomDataSet::FindRowInOrder(std::int32_t id) const {
    const auto& order = Order();
    // Appended-only datasets keep row id = position + 1.
    const size_t guess = static_cast<size_t>(id) - 1;
    if (id > 0 && guess < order.size() && RowId(order[guess]) == id) return static_cast<int>(guess);
    for (size_t i = 0; i < order.size(); ++i)
        if (RowId(order[i]) == id) return static_cast<int>(i);
    return -1;
}

TBookmark TMemCustomDataSet::SavePosition() const {
    TMemRow r = CurrentRow();
    if (!r) return std::nullopt;
    return RowId(r);
}

void TMemCustomDataSet::RestorePosition(const TBookmark& bookmark) {
    if (!bookmark) return;
    CheckBrowse();
    const int p = FindRowInOrder(*bookmark);
    if (p < 0) throw EDatabaseError("Bookmark not found");
    bof_ = eof_ = false;
    SetPos(p);
}

// ---------------------------------------------------------------- editing

void TMemCustomDataSet::AppendRow() {
    if (readOnly_) throw EDatabaseError("Cannot modify a read-only dataset");
    CheckBrowse();
    // A new row is written straight into the block it will keep.
    pending_ = store_.NewBlock();
    insertAt_ = -1;
    editModified_ = false;
    state_ = TDataSetState::Insert;
    NotifyEditing();
}

void TMemCustomDataSet::InsertRow() {
    if (readOnly_) throw EDatabaseError("Cannot modify a read-only dataset");
    CheckBrowse();
    pending_ = store_.NewBlock();
    insertAt_ = -1;
    if (TMemRow cur = CurrentRow(); cur && !indexes_.SelectedIndex()) {
        insertAt_ = static_cast<int>(std::find(rows_.begin(), rows_.end(), cur) - rows_.begin());
    }
    editModified_ = false;
    state_ = TDataSetState::Insert;
    NotifyEditing();
}

void TMemCustomDataSet::EditRow() {
    if (readOnly_) throw EDatabaseError("Cannot modify a read-only dataset");
    if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) return;
    TMemRow r = CurrentRow();
    if (!r) throw EDatabaseError(NbFormat("No record at position %d", pos_));
    editBuf_.assign(r, r + store_.BlockBytes());
    editModified_ = false;
    state_ = TDataSetState::Edit;
    NotifyEditing();
}

void TMemCustomDataSet::PostRow() {
    if (state_ == TDataSetState::Insert) {
        BeforePostNew(pending_ + kHeader);
        std::uint8_t* block = pending_;
        const std::int32_t id = ++rowIdCounter_;
        std::memcpy(block, &id, 4);
        const bool appended = !(insertAt_ >= 0 && insertAt_ <= static_cast<int>(rows_.size()));
        if (appended)
            rows_.push_back(block);
        else
            rows_.insert(rows_.begin() + insertAt_, block);
        try {
            IndexInsert(block);
        } catch (...) {
            // The row stays pending, as before the post.
            rows_.erase(std::find(rows_.begin(), rows_.end(), block));
            --rowIdCounter_;
            throw;
        }
        pending_ = nullptr;
        pendingNewBlobs_.clear();
        state_ = TDataSetState::Browse;
        RebuildNaturalIndex();
        // An appended row with no index in force is the last one.
        const bool last = appended && !indexes_.SelectedIndex();
        pos_ = last ? static_cast<int>(rows_.size()) - 1 : std::max(0, FindRowInOrder(id));
        bof_ = eof_ = false;
    } else if (state_ == TDataSetState::Edit) {
        TMemRow row = CurrentRow();
        std::vector<std::uint8_t> old(row, row + store_.BlockBytes());
        std::memcpy(row + kHeader, editBuf_.data() + kHeader, static_cast<size_t>(store_.BlockBytes()) - kHeader);
        try {
            IndexRemove(row);
            IndexInsert(row);
        } catch (...) {
            std::memcpy(row, old.data(), old.size());
            for (auto& idx : indexes_.items_)
                if (idx->Active()) RebuildIndex(*idx);
            throw;
        }
        EraseBlobs(pendingOldBlobs_);
        pendingOldBlobs_.clear();
        pendingNewBlobs_.clear();
        const std::int32_t id = RowId(row);
        state_ = TDataSetState::Browse;
        RebuildNaturalIndex();
        pos_ = std::max(0, FindRowInOrder(id));
    } else {
        return;
    }
    editBuf_.clear();
    NotifyEditing();
    NotifyDataChanged();
}

void TMemCustomDataSet::CancelRow() {
    if (state_ != TDataSetState::Edit && state_ != TDataSetState::Insert) return;
    // Blobs written during the edit are dropped; the row keeps the ones it had.
    EraseBlobs(pendingNewBlobs_);
    pendingNewBlobs_.clear();
    pendingOldBlobs_.clear();
    editBuf_.clear();
    if (pending_) store_.FreeBlock(pending_);
    pending_ = nullptr;
    state_ = TDataSetState::Browse;
    NotifyEditing();
    NotifyDataChanged();
}

void TMemCustomDataSet::DeleteRow() {
    if (readOnly_) throw EDatabaseError("Cannot modify a read-only dataset");
    if (state_ == TDataSetState::Insert) {
        CancelRow();
        return;
    }
    if (state_ == TDataSetState::Edit) CancelRow();
    TMemRow r = CurrentRow();
    if (!r) throw EDatabaseError(NbFormat("No record at position %d", pos_));
    IndexRemove(r);
    rows_.erase(std::find(rows_.begin(), rows_.end(), r));
    DeleteRowBlobs(Values(r));
    store_.FreeBlock(r);
    const int count = RowCount();
    if (pos_ >= count) pos_ = std::max(0, count - 1);
    bof_ = count == 0;
    eof_ = count == 0;
    NotifyDataChanged();
}

void TMemCustomDataSet::EmptyRows() {
    if (!active_) return;
    if (state_ == TDataSetState::Edit || state_ == TDataSetState::Insert) {
        if (editModified_)
            PostRow();
        else
            CancelRow();
    }
    DropRows();
    NotifyDataChanged();
}

std::int64_t TMemCustomDataSet::MaxIntValue(const TField& field) const {
    std::int64_t best = 0;
    for (TMemRow r : rows_) {
        const std::uint8_t* v = Values(r);
        std::uint32_t flags;
        std::memcpy(&flags, v + field.nullWord_, 4);
        if (!(flags & field.nullBit_)) continue;
        std::int32_t x;
        std::memcpy(&x, v + field.offset_, 4);
        best = std::max<std::int64_t>(best, x);
    }
    return best;
}

void TMemDataSet::BeforePostNew(std::uint8_t* /*values*/) {
    if (!AutoIncrement) return;
    for (int i = 0; i < FieldCount(); ++i) {
        TField& f = Field(i);
        if (f.DataType() == ftAutoInc && f.ValueIsNull()) f.SetAsLargeInt(MaxIntValue(f) + 1);
    }
}

// ---------------------------------------------------------------- notifications

void TMemCustomDataSet::AddObserver(TMemDataSetObserver* o) {
    if (std::find(observers_.begin(), observers_.end(), o) == observers_.end()) observers_.push_back(o);
}

void TMemCustomDataSet::RemoveObserver(TMemDataSetObserver* o) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
}

void TMemCustomDataSet::SuspendControls() { ++suspend_; }

void TMemCustomDataSet::ResumeControls() {
    if (suspend_ == 0) return;
    if (--suspend_ == 0)
        for (auto* o : observers_) o->DataChanged();
}

void TMemCustomDataSet::NotifyDataChanged() {
    if (suspend_ == 0)
        for (auto* o : observers_) o->DataChanged();
}
void TMemCustomDataSet::NotifyScrolled(int rows) {
    if (suspend_ == 0)
        for (auto* o : observers_) o->Scrolled(rows);
}
void TMemCustomDataSet::NotifyRecordChanged(TField* field) {
    if (suspend_ == 0)
        for (auto* o : observers_) o->RecordChanged(field);
}
void TMemCustomDataSet::NotifyEditing() {
    if (suspend_ == 0)
        for (auto* o : observers_) o->EditingChanged();
}
void TMemCustomDataSet::NotifyLayout() {
    if (suspend_ == 0)
        for (auto* o : observers_) o->LayoutChanged();
}
void TMemCustomDataSet::NotifyActive() {
    if (suspend_ == 0)
        for (auto* o : observers_) o->ActiveChanged(active_);
}
