// The in-memory dataset: an ordered list of typed fields, rows with permanent ids, null flags, a blob
// store, a current-row cursor and sort orders. Every result the user sees lives in one.
#pragma once

#include "MemFormat.h"
#include "MemHash.h"
#include "MemRowStore.h"
#include "MemTypes.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TMemCustomDataSet;
class TMemIndexes;

// A value of any field type, or null.
struct TMemVariant {
    enum Kind : std::uint8_t { Null, Boolean, Integer, Float, Currency, DateTime, TimeStamp, Decimal, Text };
    Kind kind = Null;
    std::int64_t i = 0;      // Boolean, Integer, Currency (value x 10000), TimeStamp (days)
    std::int64_t nanos = 0;  // TimeStamp: nanoseconds of the day
    double d = 0;            // Float, DateTime
    TMemInt128 dec = 0;      // Decimal, with scale
    int scale = 0;
    std::string text;  // Text (also bytes)

    static TMemVariant FromText(std::string s) {
        TMemVariant v;
        v.kind = Text;
        v.text = std::move(s);
        return v;
    }
    static TMemVariant FromInt(std::int64_t x) {
        TMemVariant v;
        v.kind = Integer;
        v.i = x;
        return v;
    }
    static TMemVariant FromFloat(double x) {
        TMemVariant v;
        v.kind = Float;
        v.d = x;
        return v;
    }
    static TMemVariant FromBool(bool b) {
        TMemVariant v;
        v.kind = Boolean;
        v.i = b;
        return v;
    }
    static TMemVariant FromDateTime(TDateTime x) {
        TMemVariant v;
        v.kind = DateTime;
        v.d = x;
        return v;
    }
    static TMemVariant FromCurrency(std::int64_t x10000) {
        TMemVariant v;
        v.kind = Currency;
        v.i = x10000;
        return v;
    }
    static TMemVariant FromTimeStamp(std::int64_t days, std::int64_t ns) {
        TMemVariant v;
        v.kind = TimeStamp;
        v.i = days;
        v.nanos = ns;
        return v;
    }
    static TMemVariant FromDecimal(TMemInt128 x, int s) {
        TMemVariant v;
        v.kind = Decimal;
        v.dec = x;
        v.scale = s;
        return v;
    }
    bool IsNull() const { return kind == Null; }
};

// A row as stored: the bookmark, then the column values, then the null flags.
struct TMemRowHeader {
    std::int32_t id;
};
using TMemRow = std::uint8_t*;

// One column of the row layout.
struct TMemFieldItem {
    int FieldNo = 0;  // 1-based
    int DataType = 0;
    std::string Name;
    int Size = 0;  // declared size
    int RowBytes = 0;
    int Offset = 0;  // from the start of the values
};

struct TFieldDef {
    std::string Name;
    int DataType = 0;
    int Size = 0;
    int FieldNo = 0;
};

using TBookmark = std::optional<std::int32_t>;

enum class TDataSetState { Inactive, Browse, Edit, Insert };
enum class TBlobStreamMode { Read, Write, ReadWrite };

class TField;

// Receives the notifications a dataset sends to bound controls (grids, data sources).
class TMemDataSetObserver {
public:
    virtual ~TMemDataSetObserver() = default;
    virtual void ActiveChanged(bool /*active*/) {}
    virtual void LayoutChanged() {}
    virtual void DataChanged() {}
    virtual void Scrolled(int /*rows*/) {}
    virtual void RecordChanged(TField* /*field, nullptr for the whole row*/) {}
    virtual void EditingChanged() {}
};

// A growable byte buffer opened on one large-object field of the current row.
class TMemBlobStream {
public:
    TMemBlobStream(TField& field, TBlobStreamMode mode);
    ~TMemBlobStream();
    TMemBlobStream(const TMemBlobStream&) = delete;
    TMemBlobStream& operator=(const TMemBlobStream&) = delete;

    size_t Read(void* buffer, size_t count);
    void Write(const void* buffer, size_t count);
    void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
    size_t Size() const { return data_.size(); }
    size_t Position() const { return pos_; }
    void Seek(size_t pos) { pos_ = pos < data_.size() ? pos : data_.size(); }
    void Truncate() {
        data_.resize(pos_);
        modified_ = true;
    }
    const std::string& Data() const { return data_; }
    // Stores the bytes when they were changed; also done by the destructor.
    void Close();

private:
    TField* field_;
    std::string data_;
    size_t pos_ = 0;
    bool modified_ = false;
    bool closed_ = false;
};

// A column of an open dataset, with the accessors of its value in the current row (or in the row
// being added or changed).
class TField {
public:
    TField(TMemCustomDataSet& dataSet, const TFieldDef& def, int index);

    TMemCustomDataSet& DataSet() const { return *ds_; }
    const std::string& FieldName() const { return name_; }
    const std::string& DisplayLabel() const { return displayLabel_; }
    void SetDisplayLabel(std::string label);
    const std::string& DisplayName() const { return displayLabel_.empty() ? name_ : displayLabel_; }
    int DataType() const { return type_; }
    int Size() const { return size_; }
    int FieldNo() const { return fieldNo_; }
    int Index() const { return index_; }
    std::string_view ClassName() const { return FieldClassName(type_); }
    bool IsBlob() const { return IsBlobType(type_); }
    int BlobType() const { return IsBlob() ? type_ : 0; }

    bool ReadOnly = false;
    bool Visible = true;
    bool Required = false;
    int DisplayWidth() const { return displayWidth_; }
    void SetDisplayWidth(int width);

    bool ValueIsNull() const;
    std::string ValueText() const;
    // The value text of this column in a row's values (RowValues, RowValuesAt).
    std::string ValueTextFrom(const std::uint8_t* values) const;
    // Appends the value text to out, without a temporary for the common types; the second form
    // reads from a row's values fetched once for all its fields (RowValues).
    void AppendValueText(std::string& out) const;
    void AppendValueText(std::string& out, const std::uint8_t* values) const;
    std::string DisplayText() const;
    // The display text of this column in a row's values (RowValuesAt), without moving the cursor.
    std::string DisplayTextFrom(const std::uint8_t* values) const;
    bool ValueIsNullIn(const std::uint8_t* values) const;
    void SetValueText(std::string_view text);

    std::int32_t AsInteger() const;
    std::int64_t AsLargeInt() const;
    double AsFloat() const;
    std::int64_t AsCurrency() const;  // fixed-point, value x 10000
    TDateTime AsDateTime() const;
    bool AsBoolean() const;
    TMemVariant AsVariant() const;

    void SetAsInteger(std::int32_t v) { SetAsLargeInt(v); }
    void SetAsLargeInt(std::int64_t v);
    void SetAsFloat(double v);
    void SetAsCurrency(std::int64_t x10000);
    void SetAsDateTime(TDateTime v);
    void SetAsBoolean(bool v);
    void SetAsVariant(const TMemVariant& v);
    // Text value straight into the column (cut at the declared size, NUL ends it); for the fast paths.
    void SetAsText(std::string_view text);

    void ClearValue();
    void AssignValue(const TField& source);
    std::unique_ptr<TMemBlobStream> OpenBlobStream(TBlobStreamMode mode);
    // The blob's bytes in the current row, empty when none.
    std::string BlobBytes() const;
    std::string BlobBytesFrom(const std::uint8_t* values) const;

    // Where the value sits in a row's values, and its null flag.
    int SlotOffset() const { return offset_; }
    int NullWordOffset() const { return nullWord_; }
    std::uint32_t NullBit() const { return nullBit_; }

    // Reads the text of a text column without copying; valid until the row changes.
    std::string_view TextView() const;

private:
    friend class TMemCustomDataSet;
    friend class TMemBlobStream;
    [[noreturn]] void InvalidValue(std::string_view text, const char* kind) const;

    TMemCustomDataSet* ds_;
    std::string name_;
    std::string displayLabel_;
    int type_;
    int size_;
    int fieldNo_;
    int index_;
    int displayWidth_;
    TMemStorage storage_;
    int offset_ = 0;    // offset of its slot from the start of the row's values
    int nullWord_ = 0;  // byte offset of its null word from the start of the row's values
    std::uint32_t nullBit_ = 0;
};

enum TMemIndexOption : unsigned {
    ioPrimary = 1,
    ioUnique = 2,
    ioDescending = 4,
    ioCaseInsensitive = 8,
    ioNonMaintained = 16,
    ioNatural = 32,
};

// One sort order of a dataset.
class TMemIndex {
public:
    TMemIndex(TMemIndexes& owner, std::string name);

    const std::string& Name() const { return name_; }
    const std::string& Fields() const { return fields_; }
    const std::string& DescFields() const { return descFields_; }
    unsigned Options() const { return options_; }
    bool Selected() const;
    bool Built() const { return built_; }
    bool Active() const;

    void SetFields(std::string fields);
    void SetDescFields(std::string descFields);
    void SetOptions(unsigned options);
    void SetSelected(bool selected);
    void SetActive(bool active);

    // The rows in this index's order (the row store for a natural index).
    const std::vector<TMemRow>& Rows() const;

private:
    friend class TMemIndexes;
    friend class TMemCustomDataSet;
    void Changed(bool orderChanged);

    TMemIndexes* owner_;
    std::string name_;
    std::string fields_;
    std::string descFields_;
    unsigned options_ = ioNonMaintained;
    std::vector<TMemRow> rows_;
    bool built_ = false;
};

// The sort orders of a dataset; the selected one decides the row order seen through the cursor.
class TMemIndexes {
public:
    explicit TMemIndexes(TMemCustomDataSet& ds) : ds_(&ds) {}

    int Count() const { return static_cast<int>(items_.size()); }
    TMemIndex& operator[](int i) const { return *items_[static_cast<size_t>(i)]; }
    TMemIndex* FindIndex(std::string_view name) const;
    TMemIndex& IndexByName(std::string_view name) const;
    TMemIndex& FindOrAddIndex(std::string_view name);
    TMemIndex* SelectedIndex() const { return selected_ >= 0 ? items_[static_cast<size_t>(selected_)].get() : nullptr; }
    void Clear();

    bool Upkeep() const { return upkeep_; }
    // Switching upkeep back on rebuilds every active index once.
    void SetUpkeep(bool on);

private:
    friend class TMemIndex;
    friend class TMemCustomDataSet;
    TMemCustomDataSet* ds_;
    std::vector<std::unique_ptr<TMemIndex>> items_;
    int selected_ = -1;
    bool upkeep_ = true;
    TMemIndex* natural_ = nullptr;  // "__MEM__Natural", once it exists
};

inline constexpr const char* kNaturalIndexName = "__MEM__Natural";

class TMemCustomDataSet {
public:
    TMemCustomDataSet();
    virtual ~TMemCustomDataSet();
    TMemCustomDataSet(const TMemCustomDataSet&) = delete;
    TMemCustomDataSet& operator=(const TMemCustomDataSet&) = delete;

    std::string Name;

    // Layout.
    std::vector<std::string>& FastFields() { return fastFields_; }
    const std::vector<std::string>& FastFields() const { return fastFields_; }
    std::vector<TFieldDef>& FieldDefs() { return fieldDefs_; }
    const std::vector<TMemFieldItem>& FieldList() const { return layout_; }
    void DefineField(std::string_view name, int type, int size);
    void ClearLayout();
    // Field objects survive closing and reopening once fixed (the merged layout of a copy).
    bool FixedFields() const { return fixedFields_; }
    void SetFixedFields(bool fixed) { fixedFields_ = fixed; }

    bool Active() const { return active_; }
    void SetActive(bool active);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool ro) { readOnly_ = ro; }
    // True for a dataset that stands for a server result rather than a copy of one; grids never
    // sort such a dataset themselves.
    virtual bool OverRecordset() const { return false; }
    TDataSetState State() const { return state_; }

    int FieldCount() const { return static_cast<int>(fields_.size()); }
    TField& Field(int i) const { return *fields_[static_cast<size_t>(i)]; }
    TField* FieldNamed(std::string_view name) const;
    TField& FieldByName(std::string_view name) const;

    // Cursor.
    void MoveFirst();
    void MoveLast();
    void MoveNext();
    void MovePrior();
    int MoveRows(int n);
    bool AtEnd() const { return eof_; }
    bool AtStart() const { return bof_; }
    int RowCount() const;
    int RowNumber() const;
    void SetRowNumber(int number);
    bool KnowsRowNumbers() const { return true; }
    TBookmark SavePosition() const;
    void RestorePosition(const TBookmark& bookmark);

    // Editing.
    void AppendRow();
    void InsertRow();
    void EditRow();
    void PostRow();
    void CancelRow();
    void DeleteRow();
    void EmptyRows();

    // Bound controls.
    void AddObserver(TMemDataSetObserver* o);
    void RemoveObserver(TMemDataSetObserver* o);
    void SuspendControls();
    void ResumeControls();
    bool ControlsSuspended() const { return suspend_ > 0; }

    // Sort orders.
    TMemIndexes& Indexes() { return indexes_; }
    void SortByField(std::string_view fieldName, bool descending);
    void SortByFields(const std::vector<std::string>& fieldNames, const std::vector<bool>& descending);
    // Rebuilds "__MEM__Natural", creating it when needed (after every post and every bulk copy).
    void RebuildNaturalIndex();

    // The values of the current row (or the row being edited); nullptr when there is none.
    const std::uint8_t* RowValues() const { return ReadValues(); }
    // The values of the row at a 0-based position of the current order, without moving the cursor;
    // reading them from several threads is safe while nothing changes the dataset.
    const std::uint8_t* RowValuesAt(int index) const { return Values(Order()[static_cast<size_t>(index)]); }

    // Storage facts.
    int NullFlagWords() const { return static_cast<int>(layout_.size()) / 32 + 2; }
    int RowBlockBytes() const { return valuesBytes_ + 4 * NullFlagWords(); }
    std::int32_t CurrentRowId() const;
    // Bytes held by rows, texts and blobs (the benchmark's memory figure).
    size_t MemoryUsed() const;
    // Receives a failure while a blob stream stores its bytes on close (it does not leave the close).
    static void SetBlobErrorHandler(std::function<void(const std::exception&)> handler) { BlobErrorHandler() = std::move(handler); }
    static std::function<void(const std::exception&)>& BlobErrorHandler() {
        static std::function<void(const std::exception&)> handler;
        return handler;
    }

protected:
    virtual void BeforePostNew(std::uint8_t* /*values*/) {}
    // The largest 32-bit value a column holds (0 for none).
    std::int64_t MaxIntValue(const TField& field) const;

private:
    friend class TField;
    friend class TMemBlobStream;
    friend class TMemIndex;
    friend class TMemIndexes;

    // Layout and storage.
    void BuildLayout();
    void CreateFields();
    void FreeFields();
    void DropRows();
    static std::uint8_t* Values(TMemRow row) { return row + sizeof(TMemRowHeader); }
    static std::int32_t RowId(TMemRow row) {
        std::int32_t id;
        std::memcpy(&id, row, 4);
        return id;
    }

    // Values of the current row (or the row being edited); nullptr when there is no row.
    const std::uint8_t* ReadValues() const;
    // Throws when not editing. The row being added is the common case (a fetch writes every cell
    // of every row), answered here without a call.
    std::uint8_t* WriteValues() {
        if (state_ == TDataSetState::Insert) return pending_ + sizeof(TMemRowHeader);
        return WriteEditValues();
    }
    std::uint8_t* WriteEditValues();
    void FieldWritten(TField& field) {
        editModified_ = true;
        if (suspend_ == 0) NotifyRecordChanged(&field);
    }

    // Blobs.
    void DeleteRowBlobs(const std::uint8_t* values);
    // Drops the blobs of every blob field with one of these ids.
    void EraseBlobs(const std::vector<std::int32_t>& ids);

    // Cursor over the current order.
    const std::vector<TMemRow>& Order() const;
    TMemRow CurrentRow() const;
    void CheckBrowse();
    void SetPos(int pos);
    int FindRowInOrder(std::int32_t id) const;

    // Index upkeep.
    void IndexInsert(TMemRow row);
    void IndexRemove(TMemRow row);
    void RebuildIndex(TMemIndex& index);
    void ResolveIndexFields(const TMemIndex& index, std::vector<TField*>& out) const;
    void SelectIndex(TMemIndex* index);

    // Notifications.
    void NotifyDataChanged();
    void NotifyScrolled(int rows);
    void NotifyRecordChanged(TField* field);
    void NotifyEditing();
    void NotifyLayout();
    void NotifyActive();

    std::vector<std::string> fastFields_;
    std::vector<TFieldDef> fieldDefs_;
    std::vector<TMemFieldItem> layout_;
    std::string layoutSource_;  // the FastFields the layout was built from
    std::vector<std::unique_ptr<TField>> fields_;
    // Upper-case field names to fields, built on the first look-up by name among many fields.
    mutable std::unique_ptr<TMemSPHashList> fieldNames_;
    bool fixedFields_ = false;
    int valuesBytes_ = 0;

    std::vector<TMemRow> rows_;  // the rows, in store order
    TMemRowStore store_;
    std::vector<std::int32_t> pendingNewBlobs_;  // made while editing; dropped on cancel
    std::vector<std::int32_t> pendingOldBlobs_;  // replaced while editing; dropped on post

    std::int32_t rowIdCounter_ = 0;
    bool active_ = false;
    bool readOnly_ = false;
    TDataSetState state_ = TDataSetState::Inactive;
    std::vector<std::uint8_t> editBuf_;  // header + values + null flags of the row being changed
    std::uint8_t* pending_ = nullptr;    // the block of the row being added
    int insertAt_ = -1;                  // store position for an inserted row, -1 to append
    bool editModified_ = false;

    int pos_ = 0;
    bool bof_ = true;
    bool eof_ = true;

    int suspend_ = 0;
    std::vector<TMemDataSetObserver*> observers_;

    TMemIndexes indexes_;
};

// Saves a dataset's position and suspends its bound controls; puts both back when it goes out of
// scope, also when the work in between fails.
class TMemPositionGuard {
public:
    explicit TMemPositionGuard(TMemCustomDataSet& ds) : ds_(ds), saved_(ds.SavePosition()) { ds_.SuspendControls(); }
    ~TMemPositionGuard() {
        try {
            ds_.RestorePosition(saved_);
        } catch (...) {
        }
        ds_.ResumeControls();
    }
    TMemPositionGuard(const TMemPositionGuard&) = delete;
    TMemPositionGuard& operator=(const TMemPositionGuard&) = delete;

private:
    TMemCustomDataSet& ds_;
    TBookmark saved_;
};

class TMemDataSet : public TMemCustomDataSet {
public:
    // Numbers null ftAutoInc fields of new rows; off by default.
    bool AutoIncrement = false;

protected:
    void BeforePostNew(std::uint8_t* values) override;
};

// Splits a FastFields text at its last two commas: name, type code, size. A code or size that is not
// a valid decimal number reads as 0.
struct TMemFastField {
    std::string name;
    int type = 0;
    int size = 0;
};
TMemFastField ParseFastField(std::string_view text);
