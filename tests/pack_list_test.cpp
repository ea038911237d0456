// The chain of entries: links after removal, lookups, reset and lock rules.
#include <gtest/gtest.h>

#include <algorithm>

#include "console/console.h"
#include "test_support.h"

namespace {

void Fill(Pack& pack, std::initializer_list<const char*> names) {
    for (const char* name : names) Append(pack, MakeEntry(name, name));
}

TEST(PackList, RemoveByIndexRelinksHeadMiddleAndTail) {
    struct Case {
        std::uint32_t index;
        const char* left;
    } cases[] = {{0, "b,c"}, {1, "a,c"}, {2, "a,b"}};
    for (const Case& c : cases) {
        Pack pack;
        Fill(pack, {"a", "b", "c"});
        ASSERT_TRUE(pack.RemoveByIndex(c.index)) << c.index;
        EXPECT_EQ(Names(pack), c.left);
        EXPECT_EQ(pack.count, 2u);
        EXPECT_EQ(pack.EntryAt(1)->next, nullptr);
    }
}

TEST(PackList, PositionsBeyondTheChainChangeNothing) {
    Pack pack;
    Fill(pack, {"a", "b", "c"});
    for (std::uint32_t index : {3u, 4294967295u}) {
        EXPECT_FALSE(pack.RemoveByIndex(index));
        EXPECT_EQ(pack.EntryAt(index), nullptr);
    }
    EXPECT_STREQ(pack.EntryAt(2)->name, "c");
    EXPECT_EQ(Names(pack), "a,b,c");
    Pack empty;
    EXPECT_EQ(empty.EntryAt(0), nullptr);
}

TEST(PackList, NamesMatchExactlyAndTheFirstMatchWins) {
    Pack pack;
    Append(pack, MakeEntry("dup", "first"));
    Append(pack, MakeEntry("Dup", "other"));
    Append(pack, MakeEntry("dup", "second"));
    EXPECT_EQ(pack.FindByName("DUP"), nullptr);
    EXPECT_EQ(pack.FindByName("du"), nullptr);
    EXPECT_EQ(pack.FindByName(""), nullptr);
    EXPECT_EQ(pack.FindByName(nullptr), nullptr);
    EXPECT_FALSE(pack.RemoveByName(""));
    EXPECT_FALSE(pack.RemoveByName(nullptr));
    EXPECT_FALSE(pack.RemoveByName("dUp"));

    ASSERT_TRUE(pack.RemoveByName("dup"));
    EXPECT_EQ(BlockBytes(*pack.FindByName("dup")), "second");
    EXPECT_EQ(Names(pack), "Dup,dup");
    ASSERT_TRUE(pack.RemoveByName("dup"));
    ASSERT_TRUE(pack.RemoveByName("Dup"));
    EXPECT_EQ(pack.head, nullptr);
    EXPECT_EQ(pack.count, 0u);
}

TEST(PackList, ResetFreesTheChainBehindAndKeepsTheFlag) {
    PackEntry* first = MakeEntry("one", "1");
    first->next = MakeEntry("two", "2");
    first->next->next = MakeEntry("three", "3");
    first->compressed = 1;
    first->storedSize = 7;
    first->Reset();
    EXPECT_EQ(first->data, nullptr);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->size, 0u);
    EXPECT_EQ(first->storedSize, 0u);
    EXPECT_EQ(std::string(first->name, sizeof first->name), std::string(32, '\0'));
    EXPECT_EQ(first->compressed, 1);
    delete first;
}

TEST(PackList, BlocksComeZeroFilledAndLocksNest) {
    PackEntry none;
    EXPECT_EQ(none.Lock(), nullptr);
    EXPECT_EQ(none.view, nullptr);

    PackEntry* entry = MakeEntry("x", "bytes");
    unsigned char* first = entry->Lock();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(entry->Lock(), first);
    // Only one lock was taken: one unlock leaves the block unlocked.
    EXPECT_FALSE(GlobalUnlock(entry->data));
    entry->view = nullptr;
    delete entry;

    HGLOBAL empty = GlobalAlloc(GHND, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(GlobalLock(empty), nullptr);
    EXPECT_EQ(GlobalFree(empty), nullptr);

    // Small blocks and large ones (mapped on their own past 2 MiB) come zero-filled and take
    // writes up to their last byte.
    for (std::size_t bytes : {std::size_t{100}, (std::size_t{2} << 20) - 17, std::size_t{2} << 20,
                              (std::size_t{5} << 20) + 123}) {
        HGLOBAL block = GlobalAlloc(GHND, bytes);
        auto* at = static_cast<unsigned char*>(GlobalLock(block));
        ASSERT_NE(at, nullptr) << bytes;
        EXPECT_EQ(std::count(at, at + bytes, 0), static_cast<std::ptrdiff_t>(bytes)) << bytes;
        at[bytes - 1] = 1;
        EXPECT_EQ(GlobalFree(block), nullptr);
    }
}

TEST(PackList, ClearAndDestroyAMillionEntriesWithoutRecursion) {
    Pack pack;
    PackEntry* tail = nullptr;
    for (int i = 0; i < 1000000; ++i) {
        auto* entry = new PackEntry;
        (tail == nullptr ? pack.head : tail->next) = entry;
        tail = entry;
    }
    pack.count = 1000000;
    pack.compressed = 1;
    pack.Clear();
    EXPECT_EQ(pack.head, nullptr);
    EXPECT_EQ(pack.count, 0u);
    EXPECT_EQ(pack.compressed, 0);
}

TEST(MenuNumbers, StandardConversionSaturatesAndNeverOverflows) {
    struct Case {
        const char* text;
        std::int32_t number;
        std::uint32_t position;
    } cases[] = {
        {"1", 1, 0},
        {"  \t+3x", 3, 2},
        {"0", 0, 4294967295u},
        {"abc", 0, 4294967295u},
        {"", 0, 4294967295u},
        {"-1", -1, 4294967294u},
        {"2147483647", 2147483647, 2147483646u},
        {"99999999999999999999", 2147483647, 2147483646u},
        {"-99999999999999999999", -2147483647 - 1, 2147483647u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseNumber(c.text), c.number) << c.text;
        EXPECT_EQ(PositionOf(ParseNumber(c.text)), c.position) << c.text;
    }
}

}  // namespace
