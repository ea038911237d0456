// One file <-> one entry: whole, binary-exact loads and all-or-nothing extraction.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "test_support.h"

namespace {

TEST(SingleFile, BinaryBytesRoundTripUnderTheirPathAsName) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    fs::create_directory("sub");
    const std::string bytes("\x00\x0D\x0A\x1A\x0A\x0D\xFF", 7);
    WriteFile("sub/bin.dat", bytes);

    PackEntry entry;
    ASSERT_TRUE(entry.LoadFromFile("sub/bin.dat"));
    EXPECT_STREQ(entry.name, "sub/bin.dat");
    EXPECT_EQ(entry.size, 7u);
    EXPECT_EQ(entry.storedSize, 0u);
    EXPECT_EQ(entry.view, nullptr);
    ASSERT_TRUE(entry.ExtractToFile("copy.dat"));
    EXPECT_EQ(ReadFile("copy.dat"), bytes);
    EXPECT_EQ(entry.view, nullptr);
}

TEST(SingleFile, LoadsRefuseWhatTheyCannotHoldWhole) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    WriteFile("empty", "");
    WriteFile(std::string(31, 'n'), "fits");
    WriteFile(std::string(32, 'n'), "too long a name");
    fs::create_directory("folder");
#ifndef _WIN32
    ASSERT_EQ(mkfifo("fifo", 0600), 0);  // opening it for reading would block
#endif
    for (const char* path :
         {"empty", "missing", "folder", "fifo", "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"}) {
        PackEntry entry;
        ASSERT_TRUE(entry.LoadFromFile(std::string(31, 'n').c_str()));
        entry.compressed = 1;
        EXPECT_FALSE(entry.LoadFromFile(path)) << path;
        EXPECT_EQ(entry.data, nullptr) << path;
        EXPECT_EQ(entry.size, 0u) << path;
        EXPECT_EQ(entry.name[0], '\0') << path;
        EXPECT_EQ(entry.compressed, 1) << path;
    }
    PackEntry untouched;
    ASSERT_TRUE(untouched.LoadFromFile(std::string(31, 'n').c_str()));
    EXPECT_FALSE(untouched.LoadFromFile(""));
    EXPECT_FALSE(untouched.LoadFromFile(nullptr));
    EXPECT_EQ(untouched.size, 4u);

    Pack pack;
    EXPECT_FALSE(pack.AddFile("empty"));
    EXPECT_EQ(pack.count, 0u);
}

TEST(SingleFile, ExtractionReplacesWholeOrLeavesEverythingAsItWas) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    WriteFile("target", std::string(1000, 'o'));
    PackEntry* entry = MakeEntry("e", "new");
    ASSERT_TRUE(entry->ExtractToFile("target"));
    EXPECT_EQ(ReadFile("target"), "new");

    // A folder that does not exist: nothing is made.
    EXPECT_FALSE(entry->ExtractToFile("missing/target"));
    EXPECT_FALSE(fs::exists("missing"));
    EXPECT_FALSE(entry->ExtractToFile(""));

    // A damaged stream: the earlier file keeps its bytes, the entry its stream.
    entry->Compress();
    entry->view[5] ^= 0x10;
    const std::string stream = BlockBytes(*entry);
    WriteFile("target", "earlier");
    EXPECT_FALSE(entry->ExtractToFile("target"));
    EXPECT_EQ(ReadFile("target"), "earlier");
    EXPECT_EQ(entry->compressed, 1);
    EXPECT_EQ(BlockBytes(*entry), stream);
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
    delete entry;

    PackEntry none;
    EXPECT_FALSE(none.ExtractToFile("nothing"));
    EXPECT_FALSE(fs::exists("nothing"));
}

TEST(SingleFile, ACompressedEntryIsWrittenPlainAndStaysPlain) {
    ScratchDir dir;
    PackEntry* entry = MakeEntry("c", std::string(4000, 'c'));
    entry->Compress();
    ASSERT_EQ(entry->compressed, 1);
    ASSERT_TRUE(entry->ExtractToFile((dir / "one").c_str()));
    EXPECT_EQ(entry->compressed, 0);
    EXPECT_EQ(entry->storedSize, 0u);
    EXPECT_EQ(entry->view, nullptr);
    ASSERT_TRUE(entry->ExtractToFile((dir / "two").c_str()));
    EXPECT_EQ(ReadFile(dir / "one"), std::string(4000, 'c'));
    EXPECT_EQ(ReadFile(dir / "two"), std::string(4000, 'c'));
    delete entry;
}

#ifndef _WIN32
// A path named by the user is followed through its link, as cp would: the file it names is
// replaced, the link stays.
TEST(SingleFile, ALinkNamedAsTheTargetIsFollowedAndStays) {
    ScratchDir dir;
    WriteFile(dir / "file", "earlier");
    fs::create_symlink(dir / "file", dir.path() / "link");
    PackEntry* entry = MakeEntry("link", "payload");
    ASSERT_TRUE(entry->ExtractToFile((dir / "link").c_str()));
    EXPECT_EQ(ReadFile(dir / "file"), "payload");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link"));
    delete entry;
}
#endif

}  // namespace
