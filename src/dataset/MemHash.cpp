#include "MemHash.h"

#include "uNbExceptions.h"

#include <cmath>

namespace {

const char* const kChangeText = "MemHash:Changing of string hash key not allowed. \r\fDelete first then add with new key.";
const char* const kChangePointer = "MemHash:Changing of hash key not allowed. \r\fDelete first then add with new key.";
constexpr int kMaxSteps = 1000;

NB_DECLARE_EXCEPTION(EMemHashError, Exception);

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

std::uint32_t MemHashText(std::string_view text) {
    std::uint32_t h = 0;
    for (unsigned char b : text) {
        h = (h << 4) + b;
        const std::uint32_t g = h & 0xF0000000u;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

int MemNextPrime(int n) {
    auto isPrime = [](int v) {
        if (v < 2) return false;
        const int limit = static_cast<int>(std::lround(std::sqrt(static_cast<double>(v)))) + 1;
        for (int d = 2; d <= limit; ++d)
            if (d != v && v % d == 0) return false;
        return true;
    };
    while (!isPrime(n)) ++n;
    return n;
}

TMemHashItem::TMemHashItem(Kind kind, std::string text, std::uintptr_t pointer)
    : kind_(kind), text_(std::move(text)), pointer_(pointer), textHash_(MemHashText(text_)) {}

int TMemHashItemStringPointer::Compare(const TMemHashItem* other) const {
    if (!other) throw EMemHashError("MemHash:Missing HashItem!");
    if (other->ItemKind() != StringPointer) return -2;
    return Sign(other->Text().compare(Text()));
}

bool TMemHashItemStringPointer::SameEntry(const TMemHashItem& other) const {
    return other.ItemKind() == ItemKind() && other.HashValue() == HashValue() && other.Text() == Text();
}

int TMemHashItemPointerString::Compare(const TMemHashItem* other) const {
    if (!other) throw EMemHashError("MemHash:Missing HashItem!");
    if (other->ItemKind() != PointerString) return -2;
    if (other->Pointer() == Pointer()) return 0;
    return other->Pointer() < Pointer() ? -1 : 1;
}

bool TMemHashItemPointerString::SameEntry(const TMemHashItem& other) const {
    return other.ItemKind() == ItemKind() && other.Pointer() == Pointer() && other.Text() == Text();
}

TMemHashList::TMemHashList(int initialSize, double growthFactor, double loadFactor) : loadFactor_(loadFactor), growthFactor_(growthFactor) {
    const int buckets = MemNextPrime(initialSize < 101 ? 101 : initialSize);
    buckets_.assign(static_cast<size_t>(buckets), nullptr);
    threshold_ = static_cast<int>(std::nearbyint(buckets * loadFactor_));
}

TMemHashList::~TMemHashList() {
    for (TMemHashItem* head : buckets_) {
        while (head) {
            TMemHashItem* next = head->next_;
            delete head;
            head = next;
        }
    }
}

TMemHashList::Place TMemHashList::FindPlace(const TMemHashItem& item, const char* loopMessage) const {
    Place p;
    TMemHashItem* cur = buckets_[static_cast<size_t>(BucketOf(item.HashValue()))];
    if (!cur) return p;
    int steps = 0;
    p.at = cur;
    p.result = cur->Compare(&item);
    while (p.result < 0 && cur->next_) {
        if (++steps > kMaxSteps) throw EMemHashError(loopMessage);
        cur = cur->next_;
        p.at = cur;
        p.result = cur->Compare(&item);
    }
    return p;
}

void TMemHashList::Link(TMemHashItem* item, const Place& place) {
    const size_t b = static_cast<size_t>(BucketOf(item->HashValue()));
    if (!place.at) {
        item->next_ = item->prev_ = nullptr;
        buckets_[b] = item;
    } else if (place.result > 0) {
        // Before the stopping item.
        item->next_ = place.at;
        item->prev_ = place.at->prev_;
        if (place.at->prev_)
            place.at->prev_->next_ = item;
        else
            buckets_[b] = item;
        place.at->prev_ = item;
    } else {
        item->prev_ = place.at;
        item->next_ = place.at->next_;
        if (place.at->next_) place.at->next_->prev_ = item;
        place.at->next_ = item;
    }
}

void TMemHashList::Unlink(TMemHashItem* item) {
    const size_t b = static_cast<size_t>(BucketOf(item->HashValue()));
    if (item->prev_)
        item->prev_->next_ = item->next_;
    else
        buckets_[b] = item->next_;
    if (item->next_) item->next_->prev_ = item->prev_;
    item->next_ = item->prev_ = nullptr;
}

TMemHashItem* TMemHashList::AddItem(std::unique_ptr<TMemHashItem> item) {
    const Place place = FindPlace(*item, "Infinite Loop");
    if (place.at && place.result == 0) {
        if (!place.at->SameEntry(*item)) throw EMemHashError(kChangeText);
        ++place.at->useCount_;
        return place.at;
    }
    TMemHashItem* raw = item.release();
    Link(raw, place);
    ++itemCount_;
    if (itemCount_ >= threshold_) Grow();
    return raw;
}

void TMemHashList::Grow() {
    const int old = BucketCount();
    const int buckets = MemNextPrime(old + static_cast<int>(old * growthFactor_));
    std::vector<TMemHashItem*> items;
    ForEachItem([&](TMemHashItem* i) { items.push_back(i); });
    buckets_.assign(static_cast<size_t>(buckets), nullptr);
    threshold_ = static_cast<int>(std::nearbyint(buckets * loadFactor_));
    itemCount_ = 0;
    for (TMemHashItem* i : items) {
        i->next_ = i->prev_ = nullptr;
        Link(i, FindPlace(*i, "Infinite Loop"));
        ++itemCount_;
    }
    ResetIteration();
}

TMemSPHashList::~TMemSPHashList() {
    if (OwnsObjects && ObjectDeleter)
        ForEachItem([&](TMemHashItem* i) {
            if (i->ItemKind() == TMemHashItem::PointerString) ObjectDeleter(i->Pointer());
        });
}

void TMemSPHashList::AddPair(std::uintptr_t pointer, std::string_view text) {
    auto pitem = std::make_unique<TMemHashItemPointerString>(std::string(text), pointer);
    const Place pplace = FindPlace(*pitem, "Infinite Loop");
    if (pplace.at && pplace.result == 0) {
        TMemHashItem* found = pplace.at;
        if (found->Text() != text) throw EMemHashError(kChangeText);
        TMemHashItemStringPointer probe{std::string(text), pointer};
        const Place tplace = FindPlace(probe, "Infinite Loop");
        if (!tplace.at || tplace.result != 0) throw EMemHashError("MemHash:Broken string/pointer hash.");
        if (tplace.at->Pointer() != pointer) throw EMemHashError(kChangePointer);
        ++found->useCount_;
        ++tplace.at->useCount_;
        return;
    }
    TMemHashItem* p = pitem.release();
    Link(p, pplace);
    ++itemCount_;
    auto titem = std::make_unique<TMemHashItemStringPointer>(std::string(text), pointer);
    const Place tplace = FindPlace(*titem, "Infinite Loop");
    if (tplace.at && tplace.result == 0) {
        Unlink(p);
        delete p;
        --itemCount_;
        throw EMemHashError("MemHash:Hash exists when should not.");
    }
    Link(titem.release(), tplace);
    ++itemCount_;
    if (itemCount_ >= threshold_) Grow();
}

const TMemHashItem* TMemSPHashList::FindTextItem(std::string_view text) const {
    TMemHashItemStringPointer probe{std::string(text), 0};
    const Place p = FindPlace(probe, "Infinite Looper");
    return p.at && p.result == 0 ? p.at : nullptr;
}

const TMemHashItem* TMemSPHashList::FindPointerItem(std::uintptr_t pointer) const {
    TMemHashItemPointerString probe{std::string(), pointer};
    const Place p = FindPlace(probe, "Infinite Loop");
    return p.at && p.result == 0 ? p.at : nullptr;
}

bool TMemSPHashList::FindByText(std::string_view text, std::uintptr_t& pointer) const {
    const TMemHashItem* i = FindTextItem(text);
    if (!i) return false;
    pointer = i->Pointer();
    return true;
}

void TMemSPHashList::ForEachPair(const std::function<void(std::uintptr_t, const std::string&, void*)>& callback, void* arg) const {
    ForEachItem([&](TMemHashItem* i) {
        if (i->ItemKind() == TMemHashItem::PointerString) callback(i->Pointer(), i->Text(), arg);
    });
}
