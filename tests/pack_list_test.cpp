// The chain of entries: links after removal, lookups, reset and lock rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#ifdef ZOREL_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

#include "console/console.h"
#include "test_support.h"

namespace {

void Fill(Pack& pack, std::initializer_list<const char*> names) {
    for (const char* name : names) Append(pack, MakeEntry(name, name));
}

TEST(PackList, RemoveByIndexRelinksHeadMiddleAndTail) {
    // Each removal is followed by an append, which must land behind what is left.
    struct Case {
        std::uint32_t index;
        const char* left;
        const char* appended;
    } cases[] = {{0, "b,c", "b,c,d"}, {1, "a,c", "a,c,d"}, {2, "a,b", "a,b,d"}};
    for (const Case& c : cases) {
        Pack pack;
        Fill(pack, {"a", "b", "c"});
        ASSERT_TRUE(pack.RemoveByIndex(c.index)) << c.index;
        EXPECT_EQ(Names(pack), c.left);
        EXPECT_EQ(pack.count, 2u);
        EXPECT_EQ(pack.EntryAt(1)->next, nullptr);
        pack.Append(MakeEntry("d", "d"));
        EXPECT_EQ(Names(pack), c.appended);
        EXPECT_EQ(pack.count, 3u);
    }
    Pack emptied;  // every entry removed, or all cleared: the next append is the head
    Fill(emptied, {"a"});
    ASSERT_TRUE(emptied.RemoveByIndex(0));
    Fill(emptied, {"b"});
    EXPECT_EQ(Names(emptied), "b");
    emptied.Clear();
    Fill(emptied, {"c", "d"});
    EXPECT_EQ(Names(emptied), "c,d");
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

TEST(PackList, AddsGoLastAndOnlyWholeNamesMatch) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    WriteFile("d", "fourth");
    Pack pack;
    Fill(pack, {"a", "b", "c"});
    ASSERT_TRUE(pack.AddFile("d"));
    EXPECT_EQ(Names(pack), "a,b,c,d");
    EXPECT_EQ(BlockBytes(*pack.EntryAt(3)), "fourth");

    // An empty typed name never removes, not even an entry whose own name is empty; a typed
    // name of 32 characters or more never matches the 31 characters an entry can hold.
    const std::string full(31, 'n');
    Append(pack, MakeEntry("", "unnamed"));
    Append(pack, MakeEntry(full, "31"));
    for (const std::string& typed : {std::string(), full + "n", full + "nnnnnnnnnnnnnnnnn"}) {
        EXPECT_FALSE(pack.RemoveByName(typed.c_str())) << typed.size();
        if (!typed.empty()) {
            EXPECT_EQ(pack.FindByName(typed.c_str()), nullptr) << typed.size();
        }
    }
    EXPECT_EQ(pack.count, 6u);
    EXPECT_EQ(pack.FindByName(full.c_str()), pack.EntryAt(5));
}

// The listing shows sizes of 2 GiB and more as the positive numbers they are.
TEST(PackList, ListingShowsSizesPast2GiB) {
    Pack pack;
    pack.compressed = 1;
    auto* huge = new PackEntry;  // the listing reads sizes only: no block is needed
    std::memcpy(huge->name, "huge", 5);
    huge->size = 3u << 30;
    huge->storedSize = 2u << 30;
    huge->compressed = 1;
    Append(pack, huge);
    testing::internal::CaptureStdout();
    ShowContents(pack);
    const std::string listing = testing::internal::GetCapturedStdout();
    EXPECT_NE(listing.find("3145728.0 KB @ 2097152.0 KB [33.3%]"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Total Size:     \t\t3145728.0 KB"), std::string::npos) << listing;
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

    // A block cut short keeps its first bytes, mapped or not on either side of the cut.
    const std::pair<std::size_t, std::size_t> cuts[] = {
        {100, 10}, {(5 << 20) + 123, (3 << 20) + 5}, {5 << 20, 1000}, {(2 << 20) - 17, 2 << 20}};
    for (const auto& [from, to] : cuts) {
        HGLOBAL block = GlobalAlloc(GHND, from);
        auto* at = static_cast<unsigned char*>(GlobalLock(block));
        ASSERT_NE(at, nullptr) << from;
        for (std::size_t i = 0; i < from; ++i) at[i] = static_cast<unsigned char>(i * 7 >> 3);
        GlobalUnlock(block);
        HGLOBAL cut = GlobalReAlloc(block, to, GMEM_MOVEABLE);
        if (to > from) {
#ifndef _WIN32
            EXPECT_EQ(cut, nullptr) << "only shrinking is asked";
#endif
            if (cut != nullptr) block = cut;
            EXPECT_EQ(GlobalFree(block), nullptr);
            continue;
        }
        ASSERT_NE(cut, nullptr) << from << " to " << to;
        at = static_cast<unsigned char*>(GlobalLock(cut));
        ASSERT_NE(at, nullptr);
        std::size_t same = 0;
        while (same < to && at[same] == static_cast<unsigned char>(same * 7 >> 3)) ++same;
        EXPECT_EQ(same, to) << from << " to " << to;
        at[to - 1] = 1;
        EXPECT_EQ(GlobalFree(cut), nullptr);
    }
}

#if defined(ZOREL_ADDRESS_SANITIZER) && !defined(_WIN32)
// Under AddressSanitizer every block, however large, is an allocation it knows the end of.
TEST(PackList, TheSanitizerSeesTheEndOfEveryBlock) {
    for (std::size_t bytes : {std::size_t{1}, std::size_t{2} << 20, std::size_t{5} << 20}) {
        HGLOBAL block = GlobalAlloc(GHND, bytes);
        auto* at = static_cast<char*>(GlobalLock(block));
        ASSERT_NE(at, nullptr) << bytes;
        EXPECT_TRUE(__asan_address_is_poisoned(at + bytes)) << bytes;
        EXPECT_EQ(GlobalFree(block), nullptr);
    }
}
#endif

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
