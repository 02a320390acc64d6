// Sort orders of the in-memory dataset: comparison rules, index upkeep and sorting.
#include "uMemDataSet.h"
#include "uNbText.h"

#include "uNbFormat.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

constexpr std::array<unsigned char, 256> MakeUpperTable() {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = static_cast<unsigned char>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return t;
}
constexpr std::array<unsigned char, 256> kUpper = MakeUpperTable();

template <typename T>
T Load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int CompareBytes(std::string_view a, std::string_view b, bool caseInsensitive) {
    const size_t n = std::min(a.size(), b.size());
    if (!caseInsensitive) {
        const int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
        if (r) return r < 0 ? -1 : 1;
    } else {
        const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
        const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
        for (size_t i = 0; i < n; ++i) {
            const unsigned char x = kUpper[pa[i]], y = kUpper[pb[i]];
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

template <typename T>
int Cmp(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Time stamps within a millisecond of each other are equal.
int CompareTimeStamps(TMemInt128 x, TMemInt128 y) {
    const TMemInt128 d = x - y;
    if (d > 1000000) return 1;
    if (d < -1000000) return -1;
    return 0;
}

int CompareDoubles(double a, double b) {
    if (b - a > 1e-13) return -1;
    if (a - b > 1e-13) return 1;
    return 0;
}

std::vector<std::string> SplitFields(const std::string& fields) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= fields.size()) {
        size_t end = fields.find(';', start);
        if (end == std::string::npos) end = fields.size();
        std::string name = fields.substr(start, end - start);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (!name.empty()) out.push_back(std::move(name));
        start = end + 1;
    }
    return out;
}

// One field of a sort key, resolved against the row layout.
struct KeyPart {
    int type;
    TMemStorage storage;
    int offset;
    int nullWord;
    std::uint32_t nullBit;
    bool caseInsensitive;
    bool descending;
    std::string name;
};

// Compares two rows for an index: field by field, then by row id.
class RowComparer {
public:
    std::vector<KeyPart> parts;
    bool reverseAll = false;

    int Compare(TMemRow a, TMemRow b, bool tieBreak = true) const {
        const int r = CompareFrom(0, a, b);
        if (r != 0 || !tieBreak) return r;
        return TieBreak(Load<std::int32_t>(a), Load<std::int32_t>(b));
    }

    // The fields from the given one on, with their reversals; 0 when all are equal.
    int CompareFrom(size_t first, TMemRow a, TMemRow b) const {
        const std::uint8_t* va = a + sizeof(TMemRowHeader);
        const std::uint8_t* vb = b + sizeof(TMemRowHeader);
        for (size_t i = first; i < parts.size(); ++i) {
            int r = CompareValue(parts[i], va, vb);
            if (r != 0) return Orient(i, r);
        }
        return 0;
    }

    int Orient(size_t part, int r) const {
        if (parts[part].descending) r = -r;
        return reverseAll ? -r : r;
    }

    int TieBreak(std::int32_t idA, std::int32_t idB) const {
        const int r = Cmp(idA, idB);
        return reverseAll ? -r : r;
    }

    static bool Comparable(int type) {
        // Large objects, variants and the columns without storage have no order. Wide texts
        // (UTF-8) compare by code point, case folded for a-z under the case-insensitive rule.
        switch (StorageOf(type)) {
        case TMemStorage::None:
        case TMemStorage::Blob:
            return false;
        default:
            return type != ftVariant;
        }
    }

    static std::string_view TextOf(const std::uint8_t* slot) {
        if (slot[0] & 1) return {reinterpret_cast<const char*>(slot + 1), static_cast<size_t>(slot[0] >> 1)};
        const char* p;
        std::memcpy(&p, slot, sizeof p);
        if (!p) return {};
        return {p + 4, Load<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(p))};
    }

    static TMemInt128 TimeStampNanos(const std::uint8_t* slot) {
        return static_cast<TMemInt128>(Load<std::int64_t>(slot)) * 86400000000000LL + Load<std::int64_t>(slot + 8);
    }

private:
    static int CompareValue(const KeyPart& p, const std::uint8_t* va, const std::uint8_t* vb) {
        if (!Comparable(p.type)) throw EDatabaseError(NbFormat("Comparison is not supported for field '%s'", p.name));
        const bool ha = Load<std::uint32_t>(va + p.nullWord) & p.nullBit;
        const bool hb = Load<std::uint32_t>(vb + p.nullWord) & p.nullBit;
        if (!ha || !hb) return ha == hb ? 0 : (ha ? 1 : -1);
        const std::uint8_t* sa = va + p.offset;
        const std::uint8_t* sb = vb + p.offset;
        switch (p.storage) {
        case TMemStorage::Text:
            return CompareBytes(TextOf(sa), TextOf(sb), p.caseInsensitive && !IsByteType(p.type));
        case TMemStorage::Int16:
            return Cmp(Load<std::int16_t>(sa), Load<std::int16_t>(sb));
        case TMemStorage::UInt16:
            return Cmp(Load<std::uint16_t>(sa), Load<std::uint16_t>(sb));
        case TMemStorage::Int32:
        case TMemStorage::TimeMs:
            return Cmp(Load<std::int32_t>(sa), Load<std::int32_t>(sb));
        case TMemStorage::Int64:
            return Cmp(Load<std::int64_t>(sa), Load<std::int64_t>(sb));
        case TMemStorage::Double:
            return CompareDoubles(Load<double>(sa), Load<double>(sb));
        case TMemStorage::Decimal:
            return Cmp(Load<TMemInt128>(sa), Load<TMemInt128>(sb));
        case TMemStorage::TimeStamp:
            return CompareTimeStamps(TimeStampNanos(sa), TimeStampNanos(sb));
        default:
            return 0;
        }
    }
};

}  // namespace

// ---------------------------------------------------------------- TMemIndex

TMemIndex::TMemIndex(TMemIndexes& owner, std::string name) : owner_(&owner), name_(std::move(name)) {}

bool TMemIndex::Selected() const { return owner_->SelectedIndex() == this; }

bool TMemIndex::Active() const {
    if (options_ & ioNonMaintained) return false;
    if (!owner_->upkeep_) return false;
    if ((options_ & ioNatural) && !Selected()) return false;
    return true;
}

const std::vector<TMemRow>& TMemIndex::Rows() const { return (options_ & ioNatural) ? owner_->ds_->rows_ : rows_; }

void TMemIndex::Changed(bool orderChanged) {
    if (!orderChanged) return;
    built_ = false;
    TMemCustomDataSet& ds = *owner_->ds_;
    if (!ds.Active()) return;
    if (Active() || Selected()) {
        const TBookmark here = ds.SavePosition();
        ds.RebuildIndex(*this);
        if (here) {
            const int p = ds.FindRowInOrder(*here);
            if (p >= 0) ds.pos_ = p;
        }
        ds.NotifyDataChanged();
    }
}

void TMemIndex::SetFields(std::string fields) {
    if (fields == fields_) return;
    fields_ = std::move(fields);
    Changed(true);
}

void TMemIndex::SetDescFields(std::string descFields) {
    if (descFields == descFields_) return;
    descFields_ = std::move(descFields);
    Changed(true);
}

void TMemIndex::SetOptions(unsigned options) {
    if (options == options_) return;
    options_ = options;
    Changed(true);
}

void TMemIndex::SetActive(bool active) { SetOptions(active ? (options_ & ~ioNonMaintained) : (options_ | ioNonMaintained)); }

void TMemIndex::SetSelected(bool selected) {
    if (selected == Selected()) return;
    owner_->ds_->SelectIndex(selected ? this : nullptr);
}

// ---------------------------------------------------------------- TMemIndexes

TMemIndex* TMemIndexes::FindIndex(std::string_view name) const {
    for (const auto& i : items_)
        if (NbSameText(i->Name(), name)) return i.get();
    return nullptr;
}

TMemIndex& TMemIndexes::IndexByName(std::string_view name) const {
    TMemIndex* i = FindIndex(name);
    if (!i) throw EDatabaseError(NbFormat("Index with name '%s' does not found", name));
    return *i;
}

TMemIndex& TMemIndexes::FindOrAddIndex(std::string_view name) {
    if (TMemIndex* i = FindIndex(name)) return *i;
    items_.push_back(std::make_unique<TMemIndex>(*this, std::string(name)));
    return *items_.back();
}

void TMemIndexes::Clear() {
    items_.clear();
    selected_ = -1;
    natural_ = nullptr;
}

void TMemIndexes::SetUpkeep(bool on) {
    if (on == upkeep_) return;
    upkeep_ = on;
    if (!on || !ds_->Active()) return;
    const TBookmark here = ds_->SavePosition();
    for (auto& i : items_)
        if (i->Active()) ds_->RebuildIndex(*i);
    if (here) {
        const int p = ds_->FindRowInOrder(*here);
        if (p >= 0) ds_->pos_ = p;
    }
    ds_->NotifyDataChanged();
}

// ---------------------------------------------------------------- dataset side

void TMemCustomDataSet::ResolveIndexFields(const TMemIndex& index, std::vector<TField*>& out) const {
    out.clear();
    for (const std::string& name : SplitFields(index.fields_)) out.push_back(&FieldByName(name));
}

namespace {

RowComparer MakeComparer(const TMemIndex& index, const std::vector<TField*>& fields) {
    RowComparer c;
    for (size_t i = 0; i < fields.size(); ++i) {
        const TField& f = *fields[i];
        const bool desc = i < index.DescFields().size() && index.DescFields()[i] != ' ';
        c.parts.push_back({f.DataType(), StorageOf(f.DataType()), f.SlotOffset(), f.NullWordOffset(), f.NullBit(),
                           (index.Options() & ioCaseInsensitive) != 0, desc, f.FieldName()});
    }
    c.reverseAll = (index.Options() & ioDescending) && index.DescFields().empty();
    return c;
}

constexpr size_t kPrefetch = 16;

// Sorts row references by the first field's value taken out once per row into a compact record,
// so the sort reads contiguous keys instead of following every row; later fields and the row-id
// tie-break are compared from the rows only when the first field is equal.
template <typename Key, typename Extract, typename KeyCompare>
void SortByExtractedKey(std::vector<TMemRow>& order, const RowComparer& cmp, Extract extract, KeyCompare keyCompare) {
    struct Rec {
        Key key;
        TMemRow row;
        std::int32_t id;
        bool has;
    };
    const KeyPart& p = cmp.parts[0];
    std::vector<Rec> recs;
    recs.reserve(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        if (i + kPrefetch < order.size()) __builtin_prefetch(order[i + kPrefetch] + sizeof(TMemRowHeader) + p.offset);
        const TMemRow r = order[i];
        const std::uint8_t* v = r + sizeof(TMemRowHeader);
        const bool has = Load<std::uint32_t>(v + p.nullWord) & p.nullBit;
        recs.push_back({has ? extract(v + p.offset) : Key{}, r, Load<std::int32_t>(r), has});
    }
    const bool more = cmp.parts.size() > 1;
    std::stable_sort(recs.begin(), recs.end(), [&](const Rec& a, const Rec& b) {
        int r;
        if (!a.has || !b.has)
            r = a.has == b.has ? 0 : (a.has ? 1 : -1);
        else
            r = keyCompare(a.key, b.key);
        if (r != 0) return cmp.Orient(0, r) < 0;
        if (more) {
            r = cmp.CompareFrom(1, a.row, b.row);
            if (r != 0) return r < 0;
        }
        return cmp.TieBreak(a.id, b.id) < 0;
    });
    for (size_t i = 0; i < recs.size(); ++i) order[i] = recs[i].row;
}

// For columns whose values fit in 32 bits: a null becomes the smallest key (nulls sort first) and
// the row id is read from the row only on equal keys, so a record is 16 bytes.
template <typename Extract>
void SortByNarrowIntKey(std::vector<TMemRow>& order, const RowComparer& cmp, Extract extract) {
    struct Rec {
        std::int64_t key;
        TMemRow row;
    };
    const KeyPart& p = cmp.parts[0];
    std::vector<Rec> recs;
    recs.reserve(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        // Rows lie anywhere in memory once sorted; fetching ahead keeps several misses in flight.
        if (i + kPrefetch < order.size()) __builtin_prefetch(order[i + kPrefetch] + sizeof(TMemRowHeader) + p.offset);
        const TMemRow r = order[i];
        const std::uint8_t* v = r + sizeof(TMemRowHeader);
        const bool has = Load<std::uint32_t>(v + p.nullWord) & p.nullBit;
        recs.push_back({has ? std::int64_t{extract(v + p.offset)} : std::numeric_limits<std::int64_t>::min(), r});
    }
    const bool more = cmp.parts.size() > 1;
    std::stable_sort(recs.begin(), recs.end(), [&](const Rec& a, const Rec& b) {
        if (a.key != b.key) return cmp.Orient(0, a.key < b.key ? -1 : 1) < 0;
        if (more) {
            const int r = cmp.CompareFrom(1, a.row, b.row);
            if (r != 0) return r < 0;
        }
        return cmp.TieBreak(Load<std::int32_t>(a.row), Load<std::int32_t>(b.row)) < 0;
    });
    for (size_t i = 0; i < recs.size(); ++i) order[i] = recs[i].row;
}

void SortRows(std::vector<TMemRow>& order, const RowComparer& cmp) {
    if (order.size() < 2) return;
    if (cmp.parts.empty()) {
        std::stable_sort(order.begin(), order.end(), [&](TMemRow a, TMemRow b) { return cmp.Compare(a, b) < 0; });
        return;
    }
    const KeyPart& p = cmp.parts[0];
    if (!RowComparer::Comparable(p.type)) throw EDatabaseError(NbFormat("Comparison is not supported for field '%s'", p.name));
    switch (p.storage) {
    case TMemStorage::Int16:
        return SortByNarrowIntKey(order, cmp, Load<std::int16_t>);
    case TMemStorage::UInt16:
        return SortByNarrowIntKey(order, cmp, Load<std::uint16_t>);
    case TMemStorage::Int32:
    case TMemStorage::TimeMs:
        return SortByNarrowIntKey(order, cmp, Load<std::int32_t>);
    case TMemStorage::Int64:
        return SortByExtractedKey<std::int64_t>(
            order, cmp, [](const std::uint8_t* s) { return Load<std::int64_t>(s); }, Cmp<std::int64_t>);
    case TMemStorage::Double:
        return SortByExtractedKey<double>(
            order, cmp, [](const std::uint8_t* s) { return Load<double>(s); }, CompareDoubles);
    case TMemStorage::Decimal:
        return SortByExtractedKey<TMemInt128>(
            order, cmp, [](const std::uint8_t* s) { return Load<TMemInt128>(s); }, Cmp<TMemInt128>);
    case TMemStorage::TimeStamp:
        return SortByExtractedKey<TMemInt128>(order, cmp, RowComparer::TimeStampNanos, CompareTimeStamps);
    case TMemStorage::Text: {
        const bool ci = p.caseInsensitive && !IsByteType(p.type);
        return SortByExtractedKey<std::string_view>(order, cmp, RowComparer::TextOf,
                                                    [ci](std::string_view a, std::string_view b) { return CompareBytes(a, b, ci); });
    }
    default:
        std::stable_sort(order.begin(), order.end(), [&](TMemRow a, TMemRow b) { return cmp.Compare(a, b) < 0; });
    }
}

}  // namespace

void TMemCustomDataSet::RebuildIndex(TMemIndex& index) {
    const bool natural = index.options_ & ioNatural;
    if (natural && !index.Selected()) return;
    index.built_ = false;
    std::vector<TField*> fields;
    ResolveIndexFields(index, fields);
    RowComparer cmp = MakeComparer(index, fields);
    // Sorting works on a copy of the row references, so a comparison that fails leaves the
    // order as it was.
    std::vector<TMemRow> order = rows_;
    if (order.size() >= 2) {
        SortRows(order, cmp);
        if (index.options_ & (ioPrimary | ioUnique))
            for (size_t i = 1; i < order.size(); ++i)
                if (cmp.Compare(order[i - 1], order[i], false) == 0)
                    throw EDatabaseError(NbFormat("Duplicate record in unique index %s(%s)", index.name_, index.fields_));
    }
    if (natural) {
        rows_ = std::move(order);
    } else {
        index.rows_ = std::move(order);
    }
    index.built_ = true;
}

void TMemCustomDataSet::IndexInsert(TMemRow row) {
    for (auto& ip : indexes_.items_) {
        TMemIndex& index = *ip;
        const bool natural = index.options_ & ioNatural;
        if (!index.Active() || !index.built_) {
            // Not kept up to date: its order is stale until it is rebuilt.
            index.built_ = false;
            if (!natural) index.rows_.clear();
            continue;
        }
        std::vector<TField*> fields;
        ResolveIndexFields(index, fields);
        RowComparer cmp = MakeComparer(index, fields);
        std::vector<TMemRow>& list = natural ? rows_ : index.rows_;
        if (natural) {
            auto it = std::find(list.rbegin(), list.rend(), row);
            if (it != list.rend()) list.erase(std::next(it).base());
        }
        auto at = std::upper_bound(list.begin(), list.end(), row, [&](TMemRow a, TMemRow b) { return cmp.Compare(a, b) < 0; });
        if (index.options_ & (ioPrimary | ioUnique)) {
            const bool clash = (at != list.begin() && cmp.Compare(*std::prev(at), row, false) == 0) ||
                               (at != list.end() && cmp.Compare(*at, row, false) == 0);
            if (clash) {
                if (natural) list.push_back(row);
                throw EDatabaseError(NbFormat("Violation of unique index %s(%s)", index.name_, index.fields_));
            }
        }
        list.insert(at, row);
    }
}

void TMemCustomDataSet::IndexRemove(TMemRow row) {
    for (auto& ip : indexes_.items_) {
        if (ip->options_ & ioNatural) continue;
        auto it = std::find(ip->rows_.begin(), ip->rows_.end(), row);
        if (it != ip->rows_.end()) ip->rows_.erase(it);
    }
}

void TMemCustomDataSet::RebuildNaturalIndex() {
    if (!indexes_.natural_) indexes_.natural_ = &indexes_.FindOrAddIndex(kNaturalIndexName);
    TMemIndex& index = *indexes_.natural_;
    if (index.options_ & ioNatural) {
        // Kept in place row by row while upkeep is on; a full sort only when that lapsed.
        if (index.Selected() && !index.built_) RebuildIndex(index);
    } else {
        // Its own list (all rows in row-id order) is read by nobody while it is not selected;
        // it is built when selected instead of after every post.
        index.built_ = false;
        index.rows_.clear();
    }
}

void TMemCustomDataSet::SelectIndex(TMemIndex* index) {
    CheckBrowse();
    const TBookmark here = SavePosition();
    int position = -1;
    for (size_t i = 0; i < indexes_.items_.size(); ++i)
        if (indexes_.items_[i].get() == index) position = static_cast<int>(i);
    indexes_.selected_ = position;
    auto restore = [&] {
        if (here) {
            const int p = FindRowInOrder(*here);
            pos_ = p >= 0 ? p : 0;
        }
        NotifyDataChanged();
    };
    try {
        if (index && ((index->options_ & ioNatural) || !index->built_)) RebuildIndex(*index);
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

void TMemCustomDataSet::SortByField(std::string_view fieldName, bool descending) { SortByFields({std::string(fieldName)}, {descending}); }

void TMemCustomDataSet::SortByFields(const std::vector<std::string>& fieldNames, const std::vector<bool>& descending) {
    TMemIndex& index = indexes_.FindOrAddIndex(kNaturalIndexName);
    std::string fields, desc;
    for (size_t i = 0; i < fieldNames.size(); ++i) {
        if (i) fields += ';';
        fields += fieldNames[i];
        desc += i < descending.size() && descending[i] ? 'X' : ' ';
    }
    const bool firstDescending = !descending.empty() && descending[0];
    // The intermediate steps of setting fields, flags and options end in the same order as one
    // build with the final settings, since every build is a total order; so only that one runs.
    index.fields_ = std::move(fields);
    index.descFields_ = std::move(desc);
    index.options_ = firstDescending ? (ioDescending | ioNatural) : (ioCaseInsensitive | ioNatural);
    index.built_ = false;
    if (index.Selected()) {
        CheckBrowse();
        const TBookmark here = SavePosition();
        try {
            RebuildIndex(index);
        } catch (...) {
            NotifyDataChanged();
            throw;
        }
        if (here) {
            const int p = FindRowInOrder(*here);
            pos_ = p >= 0 ? p : 0;
        }
        NotifyDataChanged();
    } else {
        SelectIndex(&index);
    }
}
