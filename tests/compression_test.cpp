// Entry compression and Encode/Decode of the whole pack.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

std::string Noise(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

struct EntryState {
    HGLOBAL data;
    std::uint32_t size, storedSize;
    std::uint8_t compressed;
    std::string bytes;
    bool operator==(const EntryState&) const = default;
};

EntryState StateOf(PackEntry& entry) {
    return {entry.data, entry.size, entry.storedSize, entry.compressed, BlockBytes(entry)};
}

TEST(Compression, AbcGivesTheKnownStreamAndRoundTrips) {
    PackEntry* entry = MakeEntry("a.txt", "abc");
    entry->Compress();
    EXPECT_EQ(entry->compressed, 1);
    EXPECT_EQ(entry->size, 3u);
    EXPECT_EQ(entry->storedSize, 11u);
    EXPECT_EQ(BlockBytes(*entry), std::string("\x78\x9C\x4B\x4C\x4A\x06\x00\x02\x4D\x01\x27", 11));
    ASSERT_NE(entry->view, nullptr);
    EXPECT_EQ(entry->view, GlobalLock(entry->data));
    GlobalUnlock(entry->data);

    entry->Decompress();
    EXPECT_EQ(entry->compressed, 0);
    EXPECT_EQ(entry->storedSize, 0u);
    EXPECT_EQ(BlockBytes(*entry), "abc");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(entry->view), 3), "abc");
    delete entry;
}

TEST(Compression, BinaryAndIncompressibleBytesRoundTrip) {
    for (const std::string& bytes :
         {std::string("\x00\x0D\x0A\x1A\xFF", 5), Noise(100000, 1), std::string(1 << 20, 'z')}) {
        PackEntry* entry = MakeEntry("x", bytes);
        entry->Compress();
        ASSERT_EQ(entry->compressed, 1);
        EXPECT_EQ(BlockBytes(*entry).substr(0, 2), "\x78\x9C");
        if (bytes.size() == 100000) {
            EXPECT_GT(entry->storedSize, entry->size);
        }
        entry->Decompress();
        ASSERT_EQ(entry->compressed, 0);
        EXPECT_TRUE(BlockBytes(*entry) == bytes);
        delete entry;
    }
}

TEST(Compression, OperationsOutOfTheirFormChangeNothing) {
    PackEntry empty;
    empty.Compress();
    empty.Decompress();
    EXPECT_EQ(empty.compressed, 0);
    EXPECT_EQ(empty.view, nullptr);

    PackEntry* plain = MakeEntry("p", "plain bytes");
    EntryState before = StateOf(*plain);
    plain->Decompress();
    EXPECT_EQ(StateOf(*plain), before);
    EXPECT_EQ(plain->view, nullptr);

    plain->Compress();
    before = StateOf(*plain);
    plain->Compress();
    EXPECT_EQ(StateOf(*plain), before);
    delete plain;
}

TEST(Compression, DamagedOrShortStreamsFailAndLeaveTheEntryAsItWas) {
    PackEntry* entry = MakeEntry("d", std::string(5000, 'q') + Noise(3000, 2));
    entry->Compress();
    ASSERT_EQ(entry->compressed, 1);
    entry->view[entry->storedSize / 2] ^= 0x01;
    const EntryState damaged = StateOf(*entry);
    entry->Decompress();
    EXPECT_EQ(StateOf(*entry), damaged);
    EXPECT_NE(entry->view, nullptr);
    delete entry;

    // A sound stream of fewer bytes than the entry claims is a failure too, as is one of more.
    for (std::uint32_t claimed : {9u, 11u}) {
        PackEntry* shorter = MakeEntry("s", "0123456789");
        shorter->Compress();
        shorter->size = claimed;
        const EntryState before = StateOf(*shorter);
        shorter->Decompress();
        EXPECT_EQ(StateOf(*shorter), before) << claimed;
        delete shorter;
    }
}

TEST(Compression, EncodeOfAnEmptyPackCompressesLaterAdds) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    WriteFile("later.txt", "added after encode");
    Pack pack;
    pack.Encode();
    EXPECT_EQ(pack.compressed, 1);
    ASSERT_TRUE(pack.AddFile("later.txt"));
    EXPECT_EQ(pack.head->compressed, 1);
    EXPECT_GT(pack.head->storedSize, 0u);
    pack.Decode();
    EXPECT_EQ(pack.compressed, 0);
    EXPECT_EQ(BlockBytes(*pack.head), "added after encode");
}

TEST(Compression, ManyWorkersGiveWhatOneWorkerGives) {
    // Entries of every kind, including a damaged stream that must fail alike on each run.
    auto build = [](Pack& pack) {
        for (unsigned i = 0; i < 40; ++i) {
            std::string bytes =
                i % 3 == 0 ? Noise(1000 + i * 97, i) : std::string(i * 500 + 1, 'a' + i % 26);
            Append(pack, MakeEntry(Numbered("e", i), bytes));
        }
    };
    Pack one, many;
    build(one);
    build(many);
    one.Encode(1);
    many.Encode(8);
    for (PackEntry *a = one.head, *b = many.head; a != nullptr; a = a->next, b = b->next) {
        EXPECT_EQ(StateOf(*a).bytes, StateOf(*b).bytes);
        EXPECT_EQ(a->storedSize, b->storedSize);
        EXPECT_EQ(b->compressed, 1);
        EXPECT_NE(b->view, nullptr);
    }
    one.EntryAt(5)->view[3] ^= 0x40;
    many.EntryAt(5)->view[3] ^= 0x40;
    one.Decode(1);
    many.Decode(8);
    EXPECT_EQ(many.compressed, 0);
    for (PackEntry *a = one.head, *b = many.head; a != nullptr; a = a->next, b = b->next) {
        EXPECT_EQ(a->compressed, b->compressed);
        EXPECT_EQ(BlockBytes(*a), BlockBytes(*b));
    }
    EXPECT_EQ(many.EntryAt(5)->compressed, 1);
    EXPECT_EQ(many.EntryAt(6)->compressed, 0);
}

}  // namespace
