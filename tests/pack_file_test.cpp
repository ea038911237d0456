// The pack file: the exact format, every refusal of a malformed file, atomic saves.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "test_support.h"

namespace {

const std::string kPlainAbc = std::string("UPz3\x00\x01\x00\x00\x00", 9) +
                              std::string("\x03\x00\x00\x00\x00\x00\x00\x00", 8) + "a.txt" +
                              std::string(27, '\0') + "abc";
const std::string kEncodedAbc = std::string("UPz3\x01\x01\x00\x00\x00", 9) +
                                std::string("\x03\x00\x00\x00\x0B\x00\x00\x00", 8) + "a.txt" +
                                std::string(27, '\0') +
                                std::string("\x78\x9C\x4B\x4C\x4A\x06\x00\x02\x4D\x01\x27", 11);

std::string U32(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

std::string Record(std::uint32_t size, std::uint32_t stored, const std::string& name,
                   const std::string& data) {
    std::string field = name;
    field.resize(32, '\0');
    return U32(size) + U32(stored) + field + data;
}

std::string Header(char flag, std::uint32_t count) {
    return "UPz3" + std::string(1, flag) + U32(count);
}

TEST(PackFile, WorkedExampleSavesAndLoadsByteForByte) {
    ScratchDir dir;
    Pack pack;
    Append(pack, MakeEntry("a.txt", "abc"));
    ASSERT_TRUE(pack.Save((dir / "plain.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "plain.pak"), kPlainAbc);
    pack.Encode();
    ASSERT_TRUE(pack.Save((dir / "enc.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "enc.pak"), kEncodedAbc);

    for (const std::string& bytes : {kPlainAbc, kEncodedAbc}) {
        WriteFile(dir / "in.pak", bytes);
        Pack loaded;
        ASSERT_TRUE(loaded.Load((dir / "in.pak").c_str()));
        ASSERT_EQ(loaded.count, 1u);
        EXPECT_STREQ(loaded.head->name, "a.txt");
        EXPECT_EQ(loaded.head->size, 3u);
        EXPECT_EQ(loaded.head->view, nullptr);
        loaded.Decode();
        EXPECT_EQ(BlockBytes(*loaded.head), "abc");
    }
}

TEST(PackFile, MalformedFilesFailAndLeaveThePackEmpty) {
    const std::string two = Header(0, 2) + Record(1, 0, "x", "1") + Record(2, 0, "y", "22");
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty pack file", Header(0, 0)},
        {"short header", std::string("UPz3\x00\x01\x00\x00", 8)},
        {"magic letter case", "UPZ3" + kPlainAbc.substr(4)},
        {"magic last byte", "UPz4" + kPlainAbc.substr(4)},
        {"count beyond records", Header(0, 3) + two.substr(9)},
        {"short record head", Header(0, 1) + Record(1, 0, "x", "1").substr(0, 39)},
        {"short data", Header(0, 1) + Record(5, 0, "x", "1234")},
        {"plain data length 0", Header(0, 1) + Record(0, 7, "x", "") + "padding"},
        {"compressed data length 0", Header(1, 1) + Record(3, 0, "x", "") + "padding"},
        {"name without NUL", Header(0, 1) + Record(1, 0, std::string(32, 'n'), "1")},
        {"4 GiB entry", Header(0, 1) + Record(0xFFFFFFFF, 0, "x", "small")},
        {"4 billion entries", Header(0, 0xFFFFFFFF) + Record(1, 0, "x", "1")},
        {"bomb beyond deflate's ratio",
         Header(1, 1) + Record(1032 * 11 + 1, 11, "x", kEncodedAbc.substr(49))},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / "bad.pak", c.bytes);
        Pack pack;
        Append(pack, MakeEntry("old", "old"));
        pack.compressed = 1;
        EXPECT_FALSE(pack.Load((dir / "bad.pak").c_str())) << c.what;
        EXPECT_EQ(pack.head, nullptr) << c.what;
        EXPECT_EQ(pack.count, 0u) << c.what;
        EXPECT_EQ(pack.compressed, 0) << c.what;
    }
    Pack pack;
    Append(pack, MakeEntry("old", "old"));
    EXPECT_FALSE(pack.Load((dir / "missing.pak").c_str()));
    EXPECT_EQ(pack.count, 0u);
    EXPECT_FALSE(pack.Load((dir.path()).string().c_str()));  // a folder
    Append(pack, MakeEntry("kept", "kept"));
    EXPECT_FALSE(pack.Load(""));
    EXPECT_FALSE(pack.Load(nullptr));
    EXPECT_EQ(Names(pack), "kept");
    EXPECT_FALSE(pack.Save(""));
    EXPECT_FALSE(pack.Save(nullptr));
}

TEST(PackFile, TheMenusOperationsKeepTheirReasons) {
    ScratchDir dir;
    WriteFile(dir / "bad.pak", "UPZ3" + kPlainAbc.substr(4));
    WriteFile(dir / "short.pak", Header(0, 1) + Record(5, 0, "x", "1234"));
    WriteFile(dir / "none.pak", Header(0, 0));
    fs::create_directories(dir.path() / "holds-empty");
    WriteFile(dir / "holds-empty/empty", "");
    const std::string longer = dir / std::string(40, 'n');
    WriteFile(longer, "x");
    const std::string missing = dir / "missing";
    const auto climbs = [](Pack& pack, const std::string& at, platform::Reason* why) {
        Append(pack, MakeEntry("../out", "x"));
        return pack.UnpackToFolder(at.c_str(), 0, why);
    };
    const struct {
        const char* what;
        std::function<bool(Pack&, platform::Reason*)> run;
        platform::Reason expected;  // 0: the system's code for a file that does not exist
    } cases[] = {
        {"load missing", [&](Pack& p, platform::Reason* w) { return p.Load(missing.c_str(), w); },
         0},
        {"load not a pack",
         [&](Pack& p, platform::Reason* w) { return p.Load((dir / "bad.pak").c_str(), w); },
         platform::kErrorNotPackFile},
        {"load cut short",
         [&](Pack& p, platform::Reason* w) { return p.Load((dir / "short.pak").c_str(), w); },
         platform::kErrorDamagedRecord},
        {"load empty pack",
         [&](Pack& p, platform::Reason* w) { return p.Load((dir / "none.pak").c_str(), w); },
         platform::kErrorNoSuchEntry},
        {"save below nothing",
         [&](Pack& p, platform::Reason* w) {
             Append(p, MakeEntry("a", "a"));
             return p.Save((missing + "/x.pak").c_str(), w);
         },
         0},
        {"pack missing folder",
         [&](Pack& p, platform::Reason* w) { return p.PackFolder(missing.c_str(), w); }, 0},
        {"pack empty file",
         [&](Pack& p, platform::Reason* w) {
             return p.PackFolder((dir / "holds-empty").c_str(), w);
         },
         platform::kErrorEmptyFile},
        {"add by a path too long for a name",
         [&](Pack& p, platform::Reason* w) { return p.AddFile(longer.c_str(), w); },
         platform::kErrorNameTooLong},
        {"unpack climbing out",
         [&](Pack& p, platform::Reason* w) { return climbs(p, dir.path().string(), w); },
         platform::kErrorClimbsOut},
    };
    for (const auto& c : cases) {
        Pack pack;
        platform::Reason why = 0;
        EXPECT_FALSE(c.run(pack, &why)) << c.what;
        if (c.expected == 0) {
            EXPECT_TRUE(platform::IsNotFound(why)) << c.what << ": " << why;
        } else {
            EXPECT_EQ(why, c.expected) << c.what;
        }
    }
}

TEST(PackFile, RecordsAtTheEdgesOfWhatIsBelievedLoad) {
    ScratchDir dir;
    // The packer's own stream of 4 MiB of zeros expands beyond 1024:1.
    Pack zeros;
    Append(zeros, MakeEntry("zeros", std::string(4 << 20, '\0')));
    zeros.Encode();
    ASSERT_LT(zeros.head->storedSize, (4u << 20) / 1024);
    ASSERT_TRUE(zeros.Save((dir / "zeros.pak").c_str()));
    const struct Case {
        const char* what;
        std::string bytes;
        std::uint32_t size;
    } cases[] = {
        {"4 MiB of zeros, encoded here", ReadFile(dir / "zeros.pak"), 4u << 20},
        {"exactly deflate's ratio", Header(1, 1) + Record(1032 * 7, 7, "x", "7 bytes"), 1032 * 7},
        {"one 1-byte file", Header(0, 1) + Record(1, 0, "one", "1"), 1},
    };
    for (const Case& c : cases) {
        WriteFile(dir / "edge.pak", c.bytes);
        Pack pack;
        ASSERT_TRUE(pack.Load((dir / "edge.pak").c_str())) << c.what;
        ASSERT_EQ(pack.count, 1u) << c.what;
        EXPECT_EQ(pack.head->size, c.size) << c.what;
    }
    Pack back;
    ASSERT_TRUE(back.Load((dir / "zeros.pak").c_str()));
    back.Decode();
    EXPECT_TRUE(BlockBytes(*back.head) == std::string(4 << 20, '\0'));

    // An entry that has no block cannot be saved, and nothing is written.
    Pack blockless;
    Append(blockless, MakeEntry("ok", "ok"));
    Append(blockless, new PackEntry);
    blockless.EntryAt(1)->size = 3;
    EXPECT_FALSE(blockless.Save((dir / "blockless.pak").c_str()));
    EXPECT_FALSE(fs::exists(dir.path() / "blockless.pak"));
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
}

TEST(PackFile, EveryTruncationFailsCleanly) {
    const std::string whole = Header(0, 3) + Record(3, 0, "one", "abc") + Record(1, 9, "two", "z") +
                              Record(4, 0, "three", "wxyz");
    ScratchDir dir;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        WriteFile(dir / "cut.pak", whole.substr(0, cut));
        Pack pack;
        EXPECT_FALSE(pack.Load((dir / "cut.pak").c_str())) << cut;
        EXPECT_EQ(pack.count, 0u) << cut;
    }
    WriteFile(dir / "whole.pak", whole);
    Pack pack;
    ASSERT_TRUE(pack.Load((dir / "whole.pak").c_str()));
    EXPECT_EQ(Names(pack), "one,two,three");
    // A plain record keeps the stored size it was read with, and saves it again.
    EXPECT_EQ(pack.EntryAt(1)->storedSize, 9u);
    ASSERT_TRUE(pack.Save((dir / "again.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "again.pak"), whole);
}

TEST(PackFile, CountAndFlagAreTakenAsTheHeaderSays) {
    ScratchDir dir;
    // A count below the records loads that many; what follows is never looked at.
    WriteFile(dir / "short.pak", Header(0, 1) + Record(1, 0, "x", "1") + "trailing junk");
    Pack pack;
    ASSERT_TRUE(pack.Load((dir / "short.pak").c_str()));
    EXPECT_EQ(Names(pack), "x");

    // Flag 2 counts as compressed and is saved back as 2.
    WriteFile(dir / "two.pak", "UPz3\x02" + kEncodedAbc.substr(5));
    ASSERT_TRUE(pack.Load((dir / "two.pak").c_str()));
    EXPECT_EQ(pack.compressed, 2);
    EXPECT_EQ(pack.head->compressed, 2);
    ASSERT_TRUE(pack.Save((dir / "two-again.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "two-again.pak"), ReadFile(dir / "two.pak"));
}

TEST(PackFile, SavingReplacesALongerFileAndMixedFormsLoadBack) {
    ScratchDir dir;
    WriteFile(dir / "a.txt", "abc");
    WriteFile(dir / "out.pak", std::string(500, 'L'));
    Pack pack;
    Append(pack, MakeEntry("a.txt", "abc"));
    pack.Encode();
    // Unpacking decompresses in place while the pack stays compressed; the save must still
    // give a file that loads back with the same entries.
    ASSERT_TRUE(pack.UnpackToFolder(dir.path().string().c_str()));
    EXPECT_EQ(pack.head->compressed, 0);
    ASSERT_TRUE(pack.Save((dir / "out.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "out.pak"), kEncodedAbc);

    // The same the other way round: a compressed entry in a plain pack.
    pack.head->Compress();
    pack.compressed = 0;
    ASSERT_TRUE(pack.Save((dir / "out.pak").c_str()));
    EXPECT_EQ(ReadFile(dir / "out.pak"), kPlainAbc);
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
}

TEST(PackFile, SaveConvertsMixedEntriesOnEveryCoreToTheSameBytes) {
    // Every other entry is compressed: the save converts the rest into the pack's form on
    // worker threads, and must write what a pack converted on one thread gives.
    ScratchDir dir;
    for (std::uint8_t flag : {1, 0}) {
        Pack mixed, model;
        for (std::uint32_t i = 0; i < 60; ++i) {
            const std::string bytes(100 + i * 131, static_cast<char>('a' + i % 26));
            Append(mixed, MakeEntry(Numbered("m", i), bytes));
            Append(model, MakeEntry(Numbered("m", i), bytes));
        }
        std::uint32_t i = 0;
        for (PackEntry* e = mixed.head; e != nullptr; e = e->next) {
            if (i++ % 2 == 0) e->Compress();
        }
        mixed.compressed = flag;
        if (flag == 1) model.Encode(1);
        ASSERT_TRUE(mixed.Save((dir / "mixed.pak").c_str()));
        ASSERT_TRUE(model.Save((dir / "model.pak").c_str()));
        EXPECT_TRUE(ReadFile(dir / "mixed.pak") == ReadFile(dir / "model.pak")) << int(flag);
    }
}

TEST(PackFile, GatheredWritesKeepEveryRecordInOrder) {
    // Enough records to fill several write batches, each behind its head.
    ScratchDir dir;
    Pack pack;
    std::string expected = Header(0, 700);
    for (std::uint32_t i = 0; i < 700; ++i) {
        const std::string name = Numbered("r", i);
        const std::string bytes(1 + i % 300, static_cast<char>('a' + i % 26));
        Append(pack, MakeEntry(name, bytes));
        expected += Record(static_cast<std::uint32_t>(bytes.size()), 0, name, bytes);
    }
    ASSERT_TRUE(pack.Save((dir / "many.pak").c_str()));
    EXPECT_TRUE(ReadFile(dir / "many.pak") == expected);
    for (PackEntry* entry = pack.head; entry != nullptr; entry = entry->next) {
        ASSERT_EQ(entry->view, nullptr);
        GlobalLock(entry->data);
        ASSERT_EQ(GlobalUnlock(entry->data), 0) << entry->name;  // no lock left behind
    }

    // More pieces than one system call takes, empty ones among them.
    std::string bytes;
    std::vector<platform::WritePiece> pieces;
    const std::string text = "0123456789";
    for (std::size_t i = 0; i < 3000; ++i) {
        pieces.push_back({text.data(), i % 11});
        bytes.append(text, 0, i % 11);
    }
    const std::string temp = dir / "pieces";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("head:", file);
    EXPECT_TRUE(platform::WritePieces(file, pieces.data(), pieces.size()));
    std::fclose(file);
    EXPECT_TRUE(ReadFile(temp) == "head:" + bytes);
}

#ifndef _WIN32
TEST(PackFile, AFailedSaveLeavesTheEarlierFileIntact) {
    ScratchDir dir;
    WriteFile(dir / "keep.pak", kPlainAbc);
    Pack pack;
    Append(pack, MakeEntry("big", std::string(200000, 'b')));

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = pack.Save((dir / "keep.pak").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(ReadFile(dir / "keep.pak"), kPlainAbc);
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
    EXPECT_EQ(BlockBytes(*pack.head), std::string(200000, 'b'));
    EXPECT_FALSE(pack.Save((dir / "no-such-folder/x.pak").c_str()));
}
#endif

}  // namespace
