// The platform helpers under the packer, on whichever system the tests run.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "test_support.h"

namespace {

TEST(Platform, OnlyRegularFilesOpenAndTheirLengthIsNotCut) {
    ScratchDir dir;
    WriteFile(dir / "file", "12345");
    WriteFile(dir / "huge", "");
    fs::resize_file(dir / "huge", (1ull << 32) + 1);  // sparse: nothing is written
    fs::create_directory(dir.path() / "folder");
#ifdef _WIN32
    const std::string refused[] = {dir / "folder", dir / "missing", "NUL", "CON"};
#else
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string refused[] = {dir / "folder", dir / "missing", dir / "fifo", "/dev/null"};
#endif
    for (const std::string& path : refused) {
        std::uint64_t length = 0;
        EXPECT_EQ(platform::OpenRegularFile(path.c_str(), &length), nullptr) << path;
    }
    const struct {
        const char* name;
        std::uint64_t length;
    } opened[] = {{"file", 5}, {"huge", (1ull << 32) + 1}};
    for (const auto& c : opened) {
        std::uint64_t length = 0;
        std::FILE* file = platform::OpenRegularFile((dir / c.name).c_str(), &length);
        ASSERT_NE(file, nullptr) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        std::fclose(file);
    }
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    PackEntry entry;
    EXPECT_FALSE(entry.LoadFromFile("huge"));
}

TEST(Platform, TempFilesAreNewBesideTheTargetAndReplaceIt) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    EXPECT_EQ(fs::path(platform::CurrentFolder()), dir.path());
    fs::create_directory("sub");
    WriteFile("sub/target", "old");
    for (const std::string& target : {std::string("sub/target"), dir / "sub/target"}) {
        std::string first;
        std::string second;
        std::FILE* a = platform::CreateTempBeside(target.c_str(), &first);
        std::FILE* b = platform::CreateTempBeside(target.c_str(), &second);
        ASSERT_TRUE(a != nullptr && b != nullptr) << target;
        EXPECT_NE(first, second);
        EXPECT_EQ(fs::canonical(fs::path(first).parent_path()), dir.path() / "sub") << first;
        std::fputs("new\r\n", a);  // binary: written as is
        std::fclose(a);
        std::fclose(b);
        EXPECT_TRUE(platform::ReplaceFile(first.c_str(), target.c_str())) << target;
        EXPECT_TRUE(platform::RemoveFile(second.c_str())) << target;
        EXPECT_EQ(ReadFile(target), "new\r\n");
        EXPECT_EQ(TempFilesIn(dir.path() / "sub"), 0);
        WriteFile(target, "old");
    }
    std::string unused;
    EXPECT_EQ(platform::CreateTempBeside("missing/target", &unused), nullptr);
    EXPECT_FALSE(platform::RemoveFile("missing"));
    EXPECT_FALSE(platform::ReplaceFile("missing", "sub/target"));
    EXPECT_EQ(ReadFile("sub/target"), "old");
}

}  // namespace
