// One folder <-> the whole pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#ifndef _WIN32
#include <sys/stat.h>
#endif
#ifdef __linux__
#include <dirent.h>
#include <dlfcn.h>
#endif

#include "fsbridge/folder.h"
#include "fsbridge/selection.h"
#include "fsbridge/sources.h"
#include "test_support.h"

#ifdef __linux__
// While set, every folder listing reads as from a file system that reports no file types
// (d_type DT_UNKNOWN), as some network and FUSE file systems do.
std::atomic<bool> gNoFileTypes{false};

extern "C" dirent* readdir(DIR* folder) {
    static auto* const next = reinterpret_cast<dirent* (*)(DIR*)>(dlsym(RTLD_NEXT, "readdir"));
    dirent* item = next(folder);
    if (item != nullptr && gNoFileTypes) item->d_type = DT_UNKNOWN;
    return item;
}
#endif

namespace {

std::set<std::string> NameSet(const Pack& pack) {
    std::set<std::string> names;
    for (const PackEntry* e = pack.head; e != nullptr; e = e->next) names.insert(e->name);
    return names;
}

TEST(Folder, PacksRegularFilesDirectlyInTheFolderOnly) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "src/sub");
    WriteFile(dir / "src/a.txt", "alpha");
    WriteFile(dir / "src/.hidden", "h");
    WriteFile(dir / "src/sub/deep.txt", "not taken");
#ifndef _WIN32
    ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0600), 0);
    fs::create_symlink("a.txt", dir.path() / "src/link");
    fs::create_symlink("sub", dir.path() / "src/dirlink");
#endif
    const fs::path before = fs::current_path();
    Pack pack;
    Append(pack, MakeEntry("old", "old"));
    pack.compressed = 1;
    ASSERT_TRUE(pack.PackFolder((dir / "src").c_str()));
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_EQ(pack.compressed, 0);
#ifndef _WIN32
    EXPECT_EQ(NameSet(pack), (std::set<std::string>{"a.txt", ".hidden", "link"}));
    EXPECT_EQ(pack.count, 3u);
#else
    EXPECT_EQ(NameSet(pack), (std::set<std::string>{"a.txt", ".hidden"}));
#endif
    EXPECT_EQ(BlockBytes(*pack.FindByName("a.txt")), "alpha");
    for (const PackEntry* e = pack.head; e != nullptr; e = e->next) EXPECT_EQ(e->compressed, 0);
}

TEST(Folder, ManyFilesLoadInListingOrderEachWithItsOwnBytes) {
    // Files are read on several threads: each entry must still get its own file's bytes, and
    // the chain keep the order in which the folder lists them.
    ScratchDir dir;
    fs::create_directories(dir.path() / "many");
    for (int i = 0; i < 300; ++i) {
        WriteFile(dir / ("many/f" + std::to_string(i)), std::string(1 + i * 37, 'a' + i % 26));
    }
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path() / "many")) {
        names.push_back(item.path().filename().string());
    }
    // Listed in a fixed order whatever the system's: these names hold no letters but the "f".
    std::sort(names.begin(), names.end());
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : ",") + name;

    Pack pack;
    ASSERT_TRUE(pack.PackFolder((dir / "many").c_str()));
    EXPECT_EQ(pack.count, 300u);
    EXPECT_EQ(Names(pack), listed);
    for (PackEntry* e = pack.head; e != nullptr; e = e->next) {
        const int i = std::stoi(e->name + 1);
        ASSERT_EQ(BlockBytes(*e), std::string(1 + i * 37, 'a' + i % 26)) << e->name;
        EXPECT_EQ(e->view, nullptr);
    }
}

TEST(Folder, PackingFailuresEmptyThePackAndKeepTheCurrentFolder) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "only-folders/x");
    fs::create_directories(dir.path() / "with-empty");
    WriteFile(dir / "with-empty/ok.txt", "ok");
    WriteFile(dir / "with-empty/zero", "");
    fs::create_directories(dir.path() / "long-name");
    WriteFile(dir / ("long-name/" + std::string(32, 'L')), "x");
    WriteFile(dir / "plain-file", "x");
    struct Case {
        std::string folder;
        bool result;
    } cases[] = {
        {dir / "missing", false},   {dir / "plain-file", false},  {dir / "with-empty", false},
        {dir / "long-name", false}, {dir / "only-folders", true},
    };
    const fs::path before = fs::current_path();
    for (const Case& c : cases) {
        Pack pack;
        Append(pack, MakeEntry("old", "old"));
        EXPECT_EQ(pack.PackFolder(c.folder.c_str()), c.result) << c.folder;
        EXPECT_EQ(pack.head, nullptr) << c.folder;
        EXPECT_EQ(pack.count, 0u) << c.folder;
        EXPECT_EQ(fs::current_path(), before) << c.folder;
    }
    Pack pack;
    Append(pack, MakeEntry("old", "old"));
    EXPECT_FALSE(pack.PackFolder(""));
    EXPECT_EQ(Names(pack), "old");
}

#ifdef __linux__
TEST(Folder, AListingWithoutFileTypesStillPacksRegularFilesOnly) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "src/sub");
    WriteFile(dir / "src/a.txt", "alpha");
    WriteFile(dir / "src/b", "beta");
    fs::create_symlink("a.txt", dir.path() / "src/link");
    ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0600), 0);
    Pack pack;
    gNoFileTypes = true;
    const bool packed = pack.PackFolder((dir / "src").c_str());
    gNoFileTypes = false;
    ASSERT_TRUE(packed);
    EXPECT_EQ(NameSet(pack), (std::set<std::string>{"a.txt", "b", "link"}));
    EXPECT_EQ(BlockBytes(*pack.FindByName("link")), "alpha");
}

// Files that fail on the worker threads fail the pack. The threads share the failure, which
// ThreadSanitizer checks (make tsan-test): each round is one more chance for them to meet.
TEST(Folder, FilesFailingOnWorkerThreadsFailThePack) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "src");
    for (std::uint32_t i = 0; i < 500; ++i) {
        const fs::path file = dir.path() / "src" / Numbered("f", i);
        WriteFile(file.string(), i == 250 ? "small" : "");
        if (i != 250) fs::resize_file(file, std::uint64_t{5} << 30);  // sparse, beyond 4 GiB
    }
    for (int round = 0; round < 8; ++round) {
        Pack pack;
        EXPECT_FALSE(pack.PackFolder((dir / "src").c_str()));
        EXPECT_EQ(pack.head, nullptr);
        EXPECT_EQ(pack.count, 0u);
    }
}
#endif

TEST(Folder, UnpackWritesEveryEntryAndTheLaterOfTwoNamesWins) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out/sub");
    WriteFile(dir / "out/a", "an older and longer file");
    Pack pack;
    EXPECT_TRUE(pack.UnpackToFolder((dir / "out").c_str()));
    Append(pack, MakeEntry("a", "first"));
    Append(pack, MakeEntry("b", std::string(3000, 'b')));
    Append(pack, MakeEntry("a", "second"));
    Append(pack, MakeEntry("sub/c", "in a folder"));
    pack.Encode();
    ASSERT_TRUE(pack.UnpackToFolder((dir / "out").c_str()));
    EXPECT_EQ(ReadFile(dir / "out/a"), "second");
    EXPECT_EQ(ReadFile(dir / "out/b"), std::string(3000, 'b'));
    EXPECT_EQ(ReadFile(dir / "out/sub/c"), "in a folder");
    for (const PackEntry* e = pack.head; e != nullptr; e = e->next) EXPECT_EQ(e->compressed, 0);
    EXPECT_EQ(pack.compressed, 1);

    // A name whose folder is a file stops the unpack there (on one thread; on several, an entry
    // behind it may be written too).
    WriteFile(dir / "out/file", "in the way");
    Append(pack, MakeEntry("file/d", "d"));
    Append(pack, MakeEntry("after", "never written"));
    EXPECT_FALSE(pack.UnpackToFolder((dir / "out").c_str(), 1));
    EXPECT_FALSE(fs::exists(dir.path() / "out/after"));
}

TEST(Folder, UnpackNeverWritesOutsideTheTarget) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out/inner");
    WriteFile(dir / "sentinel", "untouched");
    for (const char* name : {"../sentinel", "inner/../../sentinel", "..", "inner\\..\\x", "a/.."}) {
        Pack pack;
        Append(pack, MakeEntry("fine", "fine"));
        Append(pack, MakeEntry(name, "escaped"));
        Append(pack, MakeEntry("later", "later"));
        EXPECT_FALSE(pack.UnpackToFolder((dir / "out/inner").c_str())) << name;
        EXPECT_EQ(ReadFile(dir / "sentinel"), "untouched") << name;
        EXPECT_FALSE(fs::exists(dir.path() / "out/inner/later")) << name;
    }
    // Dots that are not a whole component are ordinary names.
    Pack pack;
    Append(pack, MakeEntry("..hidden", "dots"));
    Append(pack, MakeEntry("a..b", "dots"));
    EXPECT_TRUE(pack.UnpackToFolder((dir / "out").c_str()));
    EXPECT_EQ(ReadFile(dir / "out/a..b"), "dots");
}

TEST(Folder, ListingOrderIsFixedAndPacksAreReproducible) {
    // NTFS's order: upper-case bytes first ("_" after the letters, "." before them), then bytes.
    ScratchDir dir;
    fs::create_directories(dir.path() / "in");
    std::string expected = "0,a,a.b,A.txt,ab,a_b,b.txt,Z,[,_x,~";
#ifndef _WIN32
    WriteFile(dir / "in/a.txt", "lower case twin");
    expected = "0,a,a.b,A.txt,a.txt,ab,a_b,b.txt,Z,[,_x,~";
#endif
    for (const char* name : {"b.txt", "_x", "Z", "A.txt", "~", "a_b", "[", "ab", "a.b", "0", "a"}) {
        WriteFile(dir / ("in/" + std::string(name)), std::string(2000, name[0]) + name);
    }
    std::string file[2];
    for (unsigned workers : {1u, 8u}) {
        Pack pack;
        ASSERT_TRUE(pack.PackFolder((dir / "in").c_str()));
        EXPECT_EQ(Names(pack), expected);
        pack.Encode(workers);
        const std::string path = dir / ("w" + std::to_string(workers) + ".pak");
        ASSERT_TRUE(pack.Save(path.c_str()));
        file[workers == 1 ? 0 : 1] = ReadFile(path);
    }
    EXPECT_TRUE(file[0] == file[1]);
    // The same bytes on every system: these checksums are pinned on Linux and checked on Windows.
    std::uint32_t sum = 0;
    for (unsigned char c : file[0]) sum = sum * 31 + c;
#ifndef _WIN32
    EXPECT_EQ(sum, 737002484u);  // with the lower-case twin
#else
    EXPECT_EQ(sum, 262390181u);
#endif
}

TEST(Folder, ParallelUnpackKeepsPackOrderForFailuresAndSharedNames) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out");
    for (int round = 0; round < 5; ++round) {
        Pack pack;
        for (int i = 0; i < 60; ++i) {
            // Entries 0, 3, 6, ... all land on one file, in two spellings of its name.
            const std::string name = i % 3 != 0 ? Numbered("f", i) : i % 2 ? "./same" : "same";
            Append(pack, MakeEntry(name, std::string(500 + i * 50, 'a' + i % 26)));
        }
        pack.Encode(4);
        ASSERT_TRUE(pack.UnpackToFolder((dir / "out").c_str(), 4));
        EXPECT_EQ(ReadFile(dir / "out/same"), std::string(500 + 57 * 50, 'a' + 57 % 26));

        // A write that fails in the middle: false, and every entry before it is written.
        fs::remove_all(dir.path() / "out");
        fs::create_directories(dir.path() / "out");
        Append(pack, MakeEntry("f1/x", "x"));  // a file stands where the folder would be
        for (int i = 0; i < 20; ++i) Append(pack, MakeEntry(Numbered("g", i), "late"));
        EXPECT_FALSE(pack.UnpackToFolder((dir / "out").c_str(), 4));
        for (int i = 0; i < 60; ++i) {
            if (i % 3 == 0) continue;
            ASSERT_EQ(ReadFile(dir / ("out/f" + std::to_string(i))),
                      std::string(500 + i * 50, 'a' + i % 26))
                << i;
        }
        EXPECT_EQ(ReadFile(dir / "out/same"), std::string(500 + 57 * 50, 'a' + 57 % 26));
    }
}

}  // namespace

// Shell wildcards against stored names: '*' crosses '/' and backtracks, sets take ranges, a
// leading '!' or ']', and an unclosed '[' is a byte like any other.
TEST(Folder, WildcardsMatchAsTheShellDoes) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.txt", "a/b.txt", true}, {"*.txt", "a.txt.gz", false},
        {"a*b*c", "aXbYbZc", true}, {"a*b*c", "aXbYc!", false},
        {"?", "", false},           {"??", "ab", true},
        {"[a-c]x", "bx", true},     {"[!a-c]x", "bx", false},
        {"[]]", "]", true},         {"[^a]", "b", true},
        {"[a", "[a", true},         {"\\*", "*", true},
        {"\\*", "x", false},        {"*", "", true},
        {"x*", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
    }
}

// A path given to add is stored as tar stores it, and what it loses is told.
TEST(Folder, StoredNamesLoseLeadingSeparatorsAndClimbs) {
    const bool windows = platform::kPathSeparator == '\\';
    const struct {
        const char* path;
        const char* name;
        const char* removed;
    } cases[] = {
        {"f/a.txt", "f/a.txt", ""},
        {"/etc//hosts", "etc/hosts", "leading '/'"},
        {"../x/../y/", "x/y", "'..' parts"},
        {"./a", "./a", ""},
        {"C:\\dir\\f", windows ? "dir/f" : "C:\\dir\\f",
         windows ? "drive C: and leading '\\'" : ""},
    };
    for (const auto& c : cases) {
        std::string removed;
        EXPECT_EQ(StoredName(c.path, &removed), c.name) << c.path;
        EXPECT_EQ(removed, c.removed) << c.path;
    }
}

// A file is read only when it is still the one its check saw: the same file, of the same length.
TEST(Folder, AFileChangedSinceItsCheckIsRefusedWhenRead) {
    ScratchDir dir;
    const std::string path = (dir.path() / "f").string(), other = (dir.path() / "g").string();
    WriteFile(path, "checked bytes");
    WriteFile(other, "other");
    std::uint64_t size = 0;
    platform::FileIdentity seen, elsewhere;
    ASSERT_TRUE(platform::ProbeRegularFile(path.c_str(), &size, &seen));
    ASSERT_TRUE(platform::ProbeRegularFile(other.c_str(), &size, &elsewhere));
    const struct {
        std::uint64_t size;
        platform::FileIdentity identity;
        platform::Reason why;
    } cases[] = {{13, seen, 0},
                 {13, {}, 0},  // not probed: the length alone
                 {12, seen, platform::kErrorFileChanged},
                 {14, {}, platform::kErrorFileChanged},
                 {13, elsewhere, platform::kErrorFileChanged}};
    for (const auto& c : cases) {
        FolderFile file{"f", c.size, path, 0, c.identity};
        platform::Reason why = 0;
        std::FILE* in = OpenChecked(file, &why);
        EXPECT_EQ(in != nullptr, c.why == 0) << c.size;
        EXPECT_EQ(why, c.why) << c.size;
        if (in != nullptr) std::fclose(in);
    }
}
