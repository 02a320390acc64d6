// Chained hash tables of typed items: TMemHashList, and on top of it TMemSPHashList, a two-way map
// between texts and pointers in which an entry is found by its text or by its pointer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TMemHashItem {
public:
    enum Kind : int { StringPointer = 3, PointerString = 4 };
    TMemHashItem(Kind kind, std::string text, std::uintptr_t pointer);
    virtual ~TMemHashItem() = default;

    Kind ItemKind() const { return kind_; }
    int UseCount() const { return useCount_; }
    const std::string& Text() const { return text_; }
    std::uintptr_t Pointer() const { return pointer_; }
    std::uint32_t TextHash() const { return textHash_; }

    virtual std::uint32_t HashValue() const = 0;
    // -2 for an item of the other kind; otherwise the order of the other item against this one.
    virtual int Compare(const TMemHashItem* other) const = 0;
    virtual bool SameEntry(const TMemHashItem& other) const = 0;

private:
    friend class TMemHashList;
    friend class TMemSPHashList;
    Kind kind_;
    int useCount_ = 1;
    TMemHashItem* next_ = nullptr;
    TMemHashItem* prev_ = nullptr;
    std::string text_;
    std::uintptr_t pointer_;
    std::uint32_t textHash_;
};

class TMemHashItemStringPointer final : public TMemHashItem {
public:
    TMemHashItemStringPointer(std::string text, std::uintptr_t pointer) : TMemHashItem(StringPointer, std::move(text), pointer) {}
    std::uint32_t HashValue() const override { return TextHash(); }
    int Compare(const TMemHashItem* other) const override;
    bool SameEntry(const TMemHashItem& other) const override;
};

class TMemHashItemPointerString final : public TMemHashItem {
public:
    TMemHashItemPointerString(std::string text, std::uintptr_t pointer) : TMemHashItem(PointerString, std::move(text), pointer) {}
    std::uint32_t HashValue() const override { return static_cast<std::uint32_t>(Pointer()); }
    int Compare(const TMemHashItem* other) const override;
    bool SameEntry(const TMemHashItem& other) const override;
};

// The ELF (PJW) hash of a text's bytes.
std::uint32_t MemHashText(std::string_view text);
// The smallest prime not below n (trial division).
int MemNextPrime(int n);

class TMemHashList {
public:
    TMemHashList(int initialSize, double growthFactor, double loadFactor);
    virtual ~TMemHashList();
    TMemHashList(const TMemHashList&) = delete;
    TMemHashList& operator=(const TMemHashList&) = delete;

    virtual int Count() const { return itemCount_; }
    int BucketCount() const { return static_cast<int>(buckets_.size()); }
    int ItemCount() const { return itemCount_; }
    int Threshold() const { return threshold_; }

    // Links the item in, or, when an equal item exists, raises its use count and returns it.
    TMemHashItem* AddItem(std::unique_ptr<TMemHashItem> item);

protected:
    struct Place {
        TMemHashItem* at = nullptr;  // the item where the walk stopped, nullptr for an empty bucket
        int result = 0;              // the last comparison
    };
    int BucketOf(std::uint32_t hash) const { return static_cast<int>((hash & 0x7FFFFFFFu) % buckets_.size()); }
    Place FindPlace(const TMemHashItem& item, const char* loopMessage) const;
    void Link(TMemHashItem* item, const Place& place);
    void Unlink(TMemHashItem* item);
    virtual void Grow();
    virtual void ResetIteration() {}
    template <typename F>
    void ForEachItem(F&& f) const {
        for (TMemHashItem* head : buckets_)
            for (TMemHashItem* i = head; i; i = i->next_) f(i);
    }

    std::vector<TMemHashItem*> buckets_;
    int itemCount_ = 0;
    double loadFactor_;
    double growthFactor_;
    int threshold_ = 0;
};

class TMemSPHashList : public TMemHashList {
public:
    TMemSPHashList(int initialSize = 101, double growthFactor = 0.75, double loadFactor = 0.75)
        : TMemHashList(initialSize, growthFactor, loadFactor) {}
    ~TMemSPHashList() override;

    // When set, destroying the list hands every pointer-keyed item's pointer to ObjectDeleter.
    bool OwnsObjects = false;
    std::function<void(std::uintptr_t)> ObjectDeleter;

    // The number of text/pointer pairs.
    int Count() const override { return ItemCount() / 2; }
    void AddPair(std::uintptr_t pointer, std::string_view text);
    bool FindByText(std::string_view text, std::uintptr_t& pointer) const;
    void ForEachPair(const std::function<void(std::uintptr_t pointer, const std::string& text, void* arg)>& callback, void* arg) const;
    // The item holding a pointer, or nullptr.
    const TMemHashItem* FindPointerItem(std::uintptr_t pointer) const;
    const TMemHashItem* FindTextItem(std::string_view text) const;

protected:
    void ResetIteration() override {
        iterBucket_ = 0;
        iterItem_ = nullptr;
    }

private:
    int iterBucket_ = 0;
    TMemHashItem* iterItem_ = nullptr;
};
