#include "MemHash.h"
#include "uNbExceptions.h"

#include <gtest/gtest.h>

namespace {

TEST(MemHash, BucketCountsAndGrowth) {
    EXPECT_EQ(TMemSPHashList(101).BucketCount(), 101);
    EXPECT_EQ(TMemSPHashList(10).BucketCount(), 101);
    EXPECT_EQ(TMemSPHashList(200).BucketCount(), 211);

    TMemHashList list(101, 0.75, 0.75);
    EXPECT_EQ(list.Threshold(), 76);
    for (int i = 0; i < 75; ++i)
        list.AddItem(std::make_unique<TMemHashItemStringPointer>("k" + std::to_string(i), static_cast<std::uintptr_t>(i)));
    EXPECT_EQ(list.BucketCount(), 101);
    list.AddItem(std::make_unique<TMemHashItemStringPointer>("k75", 75u));
    EXPECT_EQ(list.BucketCount(), 179);
    EXPECT_EQ(list.Threshold(), 134);
    EXPECT_EQ(list.ItemCount(), 76);
}

TEST(MemHash, ElfHash) {
    EXPECT_EQ(MemHashText(""), 0u);
    EXPECT_EQ(MemHashText("a"), 0x61u);
    EXPECT_EQ(MemHashText("ab"), 0x672u);
    // Long texts fold the top nibble back in and stay within 28 bits.
    EXPECT_LT(MemHashText("a rather long text to overflow the hash"), 0x10000000u);
}

TEST(MemHash, PairsAddedTwiceAndFoundByText) {
    TMemSPHashList list;
    int a = 0, b = 0;
    const auto pa = reinterpret_cast<std::uintptr_t>(&a);
    const auto pb = reinterpret_cast<std::uintptr_t>(&b);
    list.AddPair(pa, "");
    EXPECT_EQ(list.Count(), 1);
    list.AddPair(pa, "");
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.FindTextItem("")->UseCount(), 2);
    EXPECT_EQ(list.FindPointerItem(pa)->UseCount(), 2);
    std::uintptr_t found = 0;
    ASSERT_TRUE(list.FindByText("", found));
    EXPECT_EQ(found, pa);

    struct Case {
        std::uintptr_t pointer;
        const char* text;
        const char* message;
    };
    const Case errors[] = {
        {pb, "", "MemHash:Hash exists when should not."},
        {pa, "other", "MemHash:Changing of string hash key not allowed. \r\fDelete first then add with new key."},
    };
    for (const auto& c : errors) {
        try {
            list.AddPair(c.pointer, c.text);
            ADD_FAILURE() << c.message;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(list.Count(), 1) << "the list is as before the failing add";
    }
    ASSERT_TRUE(list.FindByText("", found));
    EXPECT_EQ(found, pa);
    EXPECT_FALSE(list.FindByText("missing", found));

    int visits = 0;
    list.ForEachPair(
        [&](std::uintptr_t p, const std::string& t, void*) {
            ++visits;
            EXPECT_EQ(p, pa);
            EXPECT_EQ(t, "");
        },
        nullptr);
    EXPECT_EQ(visits, 1);
}

TEST(MemHash, ManyPairsSurviveGrowth) {
    TMemSPHashList list;
    for (std::uintptr_t i = 1; i <= 500; ++i) list.AddPair(i * 16, "name" + std::to_string(i));
    EXPECT_EQ(list.Count(), 500);
    EXPECT_GT(list.BucketCount(), 1000);
    for (std::uintptr_t i = 1; i <= 500; ++i) {
        std::uintptr_t p = 0;
        ASSERT_TRUE(list.FindByText("name" + std::to_string(i), p));
        EXPECT_EQ(p, i * 16);
    }
}

}  // namespace
