// Where the packer's output goes beyond plain files: trees of folders that an unpack makes, in
// both interfaces, and standard output as a pipe whose reader goes away or as a terminal.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <map>
#endif

#include "cli_support.h"
#include "pack/descriptions.h"
#include "test_support.h"

namespace {

// A tree three levels deep, packed by the menu's add of its files' paths, comes back out of the
// menu's and the command line's unpack as it went in, its folders made.
TEST(Trees, ComeBackOutOfBothInterfaces) {
    ScratchDir dir;
    const std::pair<std::string, std::string> files[] = {
        {"a/b/c", "c"}, {"a/b/d", "dd"}, {"a/e", "eee"}, {"f", "ffff"}};
    std::string input;
    for (const auto& [name, bytes] : files) {
        fs::create_directories((dir.path() / name).parent_path());
        WriteFile(dir / name, bytes);
        input += "5\n" + name + "\n\n";
    }
    RunProgram(dir.path(), input + "2\ntree.pak\n\n0\n\n");
    RunProgram(dir.path(), "1\ntree.pak\n\n4\nby-menu\n\n0\n\n");
    EXPECT_EQ(RunCommand(dir.path(), {"unpack", "tree.pak", "by-cli"}).status, 0);
    for (const char* out : {"by-menu", "by-cli"}) {
        SCOPED_TRACE(out);
        for (const auto& [name, bytes] : files) {
            EXPECT_EQ(ReadFile(dir / (std::string(out) + "/" + name)), bytes) << name;
        }
        int made = 0;
        for (const auto& item : fs::recursive_directory_iterator(dir.path() / out)) {
            made += item.is_regular_file() ? 1 : 0;
        }
        EXPECT_EQ(made, 4);
    }
}

#ifndef _WIN32
using descriptions::Item;
using descriptions::Kind;

// An item of a description: a file (or a part at offset) held by the entry `stored` of those
// bytes, or an item held by no entry (a folder, or a link to target).
Item Described(Kind kind, const std::string& path, std::uint32_t mode, std::int64_t ns,
               const std::string& stored = "", const std::string& bytes = "",
               const std::string& target = "", std::uint64_t offset = 0) {
    Item item;
    item.offset = offset;
    item.kind = kind;
    item.path = path;
    item.mode = mode;
    item.mtimeNs = ns;
    item.stored = stored;
    item.target = target;
    item.size = static_cast<std::uint32_t>(bytes.size());
    item.crc =
        descriptions::Crc32(0, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return item;
}

// What an unpack must leave at a path: "/" a folder, "->text" a symbolic link, "=path" a hard
// link of that path's file, kAbsent nothing; else a file of those bytes. Mode and time are
// checked for files and folders.
struct Left {
    std::string path;
    std::string is;
    std::uint32_t mode = 0;
    std::int64_t ns = 0;
};

struct RestoreCase {
    const char* what;
    std::vector<Item> items;
    std::vector<std::pair<std::string, std::string>> entries;  // after the description
    std::vector<std::string> args;                             // after the pack and folder
    int status;
    std::vector<std::string> err;  // lines standard error holds
    std::vector<Left> left;
};

// Packs built from the codec, unpacked from a file and from a pipe under umask 0: every kind an
// item describes comes back as described (path of any length, bytes, mode, time to the
// nanosecond, link text, the same file for a hard link), and no hostile item writes outside the
// folder or through a link, the rest restored. "out/l" is a link to a folder outside out, there
// before the unpack.
TEST(Trees, UnpackRestoresWhatDescriptionsCarry) {
    const std::string deep = std::string(40, 'd') + "/" + std::string(255, 'p') + "/file";
    const std::int64_t t1 = 1234567890123456789, t2 = 987654321012345678;
    const std::string kToLink = "a symbolic link is in its path, not followed";
    const std::string kNotRestored = "hard link to a file this unpack did not restore";
    const std::vector<RestoreCase> cases = {
        {"every kind",
         {Described(Kind::kFile, deep, 0755, t1, ".zorellong.0", "long"),
          Described(Kind::kFile, "secret", 0600, t2, "secret", "s"),
          Described(Kind::kEmpty, "dir/empty", 0640, t1, "dir/empty", "x"),
          Described(Kind::kFolder, "dir", 0750, t2), Described(Kind::kFolder, "none", 0700, t1),
          Described(Kind::kSymlink, "dir/to", 0777, t1, "", "", "../secret"),
          Described(Kind::kHardLink, "same", 0600, t2, "", "", "secret"),
          Described(Kind::kPart, "dir/big", 0700, t2, ".zorellong.1", "abc"),
          Described(Kind::kPart, "dir/big", 0700, t2, ".zorellong.2", "defg", "", 3)},
         {{".zorellong.0", "long"},
          {"secret", "s"},
          {"dir/empty", "x"},
          {"plain", "p"},
          {".zorellong.1", "abc"},
          {".zorellong.2", "defg"}},
         {},
         0,
         {},
         {{deep, "long", 0755, t1},
          {"secret", "s", 0600, t2},
          {"dir/empty", "", 0640, t1},
          {"dir", "/", 0750, t2},
          {"none", "/", 0700, t1},
          {"dir/to", "->../secret"},
          {"same", "=secret"},
          {"plain", "p", 0666},
          {"dir/big", "abcdefg", 0700, t2}}},
        {"a link, then an entry through it",
         {Described(Kind::kSymlink, "up", 0777, t1, "", "", "../.."),
          Described(Kind::kSymlink, "abs", 0777, t1, "", "", "/tmp"),
          Described(Kind::kFile, "up/x", 0644, t1, "up/x", "1"),
          Described(Kind::kFile, "abs/y", 0644, t1, "abs/y", "2"),
          Described(Kind::kFile, "l/z", 0644, t1, "l/z", "3"),
          Described(Kind::kFile, "after", 0644, t1, "after", "4")},
         {{"up/x", "1"}, {"abs/y", "2"}, {"l/z", "3"}, {"after", "4"}},
         {},
         1,
         {"up/x: " + kToLink, "abs/y: " + kToLink, "l/z: " + kToLink},
         {{"up", "->../.."}, {"abs", "->/tmp"}, {"after", "4", 0644, t1}, {"../z", kAbsent}}},
        {"hard links to no entry restored",
         {Described(Kind::kHardLink, "h1", 0644, t1, "", "", "missing"),
          Described(Kind::kHardLink, "h2", 0644, t1, "", "", "../outside/z"),
          Described(Kind::kHardLink, "h3", 0644, t1, "", "", "/etc/passwd"),
          Described(Kind::kFile, "f", 0644, t1, "f", "5"),
          Described(Kind::kHardLink, "./f", 0644, t1, "", "", "f"),
          Described(Kind::kPart, "gap", 0644, t1, "g1", "ab"),
          Described(Kind::kPart, "gap", 0644, t1, "g2", "cd", "", 3),
          Described(Kind::kPart, "gap", 0644, t1, "g3", "ef", "", 5),
          Described(Kind::kFile, "q/" + std::string(256, 'q'), 0644, t1, "q", "7")},
         {{"f", "5"}, {"q", "7"}, {"g1", "ab"}, {"g2", "cd"}, {"g3", "ef"}},
         {},
         1,
         {"h1: " + kNotRestored, "h2: " + kNotRestored, "h3: " + kNotRestored,
          "./f: " + kNotRestored, "q/" + std::string(256, 'q') + ": path too long for the system",
          "gap: a part of the file is missing"},
         {{"h1", kAbsent},
          {"h2", kAbsent},
          {"h3", kAbsent},
          {"f", "5", 0644, t1},
          {"q", kAbsent},
          {"gap", kAbsent}}},
        {"--keep-newer-files replaces what is older than the described time",
         {Described(Kind::kFile, "l", 0640, 4102444800123456789, "l", "9")},
         {{"l", "9"}},
         {"--keep-newer-files"},
         0,
         {},
         {{"l", "9", 0640, 4102444800123456789}}},
        {"chosen by full path; a link there replaced",
         {Described(Kind::kFile, deep, 0700, t1, ".zorellong.0", "long"),
          Described(Kind::kFile, "other", 0644, t1, "other", "o"),
          Described(Kind::kSymlink, "l", 0777, t1, "", "", "new")},
         {{".zorellong.0", "long"}, {"other", "o"}},
         {deep, "l"},
         0,
         {},
         {{deep, "long", 0700, t1}, {"other", kAbsent}, {"l", "->new"}}},
        {"-k keeps a link there, --strip-components strips paths",
         {Described(Kind::kSymlink, "top/l", 0777, t1, "", "", "elsewhere"),
          Described(Kind::kFile, "top/f", 0604, t2, "top/f", "6")},
         {{"top/f", "6"}},
         {"-k", "--strip-components=1"},
         0,
         {"l: kept, a file is there"},
         {{"l", "->../outside"}, {"f", "6", 0604, t2}}},
    };
    for (const RestoreCase& row : cases) {
        for (const bool piped : {false, true}) {
            SCOPED_TRACE(std::string(row.what) + (piped ? ", piped" : ""));
            ScratchDir dir;
            fs::create_directories(dir.path() / "outside");
            fs::create_directories(dir.path() / "out");
            fs::create_directory_symlink("../outside", dir.path() / "out/l");
            std::vector<unsigned char> description;
            ASSERT_TRUE(descriptions::Encode(row.items, &description));
            std::vector<std::pair<std::string, std::string>> entries = row.entries;
            entries.insert(entries.begin(), {descriptions::DescriptionName(0),
                                             std::string(description.begin(), description.end())});
            SavedPack(dir.path(), "p.pak", entries, false);
            std::vector<std::string> args = {"unpack", piped ? "-" : "p.pak", "out"};
            args.insert(args.end(), row.args.begin(), row.args.end());
            const mode_t was = umask(0);
            const CommandResult run = RunCommand(dir.path(), args, {}, piped ? "p.pak" : "");
            umask(was);
            EXPECT_EQ(run.status, row.status) << run.err;
            for (const std::string& line : row.err) {
                EXPECT_NE(run.err.find("zorel: " + line + "\n"), std::string::npos) << run.err;
            }
            EXPECT_TRUE(fs::is_empty(dir.path() / "outside"));
            for (const Left& left : row.left) {
                SCOPED_TRACE(left.path.substr(0, 60));
                const std::string path = (dir.path() / "out" / left.path).string();
                struct stat info {};
                const bool there = lstat(path.c_str(), &info) == 0;
                if (left.is == kAbsent) {
                    EXPECT_FALSE(there);
                    continue;
                }
                ASSERT_TRUE(there);
                if (left.is.rfind("->", 0) == 0) {
                    EXPECT_TRUE(S_ISLNK(info.st_mode));
                    EXPECT_EQ(fs::read_symlink(path).string(), left.is.substr(2));
                    continue;
                }
                if (left.is[0] == '=') {
                    struct stat other {};
                    ASSERT_EQ(stat((dir.path() / "out" / left.is.substr(1)).c_str(), &other), 0);
                    EXPECT_EQ(info.st_ino, other.st_ino);
                    continue;
                }
                EXPECT_EQ(S_ISDIR(info.st_mode), left.is == "/");
                if (left.is != "/") {
                    EXPECT_EQ(ReadFile(path), left.is);
                }
                EXPECT_EQ(info.st_mode & 07777, left.mode);
                if (left.ns != 0) {
                    EXPECT_EQ(info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec, left.ns);
                }
            }
        }
    }
}

// The items of every description of a pack by path, and its entries' plain bytes by name; the
// entries after each description are those its items name, in their order.
void ReadDescribed(const fs::path& file, std::map<std::string, descriptions::Item>* items,
                   std::map<std::string, std::string>* entries) {
    Pack pack;
    ASSERT_TRUE(pack.Load(file.string().c_str()));
    pack.Decode(1);
    std::vector<std::string> named, held;  // of the description in force, and the entries after
    for (PackEntry* e = pack.head; e != nullptr; e = e->next) {
        const std::string bytes = BlockBytes(*e);
        (*entries)[e->name] = bytes;
        if (!descriptions::IsDescriptionName(e->name)) {
            held.push_back(e->name);
            continue;
        }
        EXPECT_EQ(held, named);
        std::vector<descriptions::Item> run;
        ASSERT_TRUE(descriptions::Decode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                         bytes.size(), &run));
        named.clear();
        held.clear();
        for (descriptions::Item& item : run) {
            if (!item.stored.empty()) named.push_back(item.stored);
            (*items)[item.path] = std::move(item);
        }
    }
    EXPECT_EQ(held, named);
}

// pack -r keeps an item of every kind a tree holds, each as lstat tells it, a FIFO left out;
// one tree gives one pack, which the menu loads and saves back as it is.
TEST(Trees, PackRDescribesEveryKind) {
    ScratchDir dir;
    const fs::path src = dir.path() / "src";
    using descriptions::Kind;
    struct Kept {
        std::string path;
        Kind kind;
        std::string target;  // a link's; a file's bytes
        mode_t mode = 0;     // 0: as made
    };
    std::vector<Kept> kept = {
        {"deep", Kind::kFolder, ""},
        {"hollow", Kind::kFolder, "", 0750},
        {"many", Kind::kFolder, ""},
        {"run.sh", Kind::kFile, "#!/bin/sh\n", 0755},
        {"secret", Kind::kFile, "s", 0600},
        {"empty", Kind::kEmpty, ""},
        {"deep/a-path-longer-than-thirty-one-bytes.txt", Kind::kFile, "far"},
        {"one", Kind::kFile, "linked"},
        {"two", Kind::kHardLink, "one"},
        {"to-file", Kind::kSymlink, "secret"},
        {"to-folder", Kind::kSymlink, "deep"},
        {"dangling", Kind::kSymlink, "nowhere"},
    };
    // More items than one description holds, most without an entry.
    for (std::uint32_t i = 0; i < 300; ++i) {
        const std::string path = Numbered("many/", i);
        const bool file = i % 3 == 0;
        kept.push_back({path, file ? Kind::kFile : Kind::kFolder, file ? path : ""});
    }
    fs::create_directory(src);
    for (Kept& k : kept) {
        const fs::path at = src / k.path;
        if (k.kind == Kind::kFolder) fs::create_directory(at);
        if (k.kind == Kind::kFile || k.kind == Kind::kEmpty) WriteFile(at.string(), k.target);
        if (k.kind == Kind::kHardLink) fs::create_hard_link(src / k.target, at);
        if (k.kind == Kind::kSymlink) fs::create_symlink(k.target, at);
        if (k.mode != 0) chmod(at.c_str(), k.mode);
        if (descriptions::HasEntry(k.kind)) k.target.clear();
    }
    ASSERT_EQ(mkfifo((src / "fifo").c_str(), 0644), 0);
    for (const char* flags : {"-r", "-rz"}) {
        SCOPED_TRACE(flags);
        for (const char* out : {"t1.pak", "t2.pak"}) {
            EXPECT_EQ(RunCommand(dir.path(), {"pack", flags, out, "src"}).status, 0);
        }
        EXPECT_TRUE(ReadFile(dir / "t1.pak") == ReadFile(dir / "t2.pak"));
        const CommandResult test = RunCommand(dir.path(), {"test", "t1.pak"});
        EXPECT_EQ(test.status, 0);
        EXPECT_EQ(test.err, "");
        std::map<std::string, descriptions::Item> items;
        std::map<std::string, std::string> entries;
        ReadDescribed(dir.path() / "t1.pak", &items, &entries);
        EXPECT_EQ(items.size(), kept.size());
        for (const auto& k : kept) {
            SCOPED_TRACE(k.path);
            const auto found = items.find(k.path);
            ASSERT_NE(found, items.end());
            const descriptions::Item& item = found->second;
            struct stat info {};
            ASSERT_EQ(lstat((src / k.path).c_str(), &info), 0);
            EXPECT_EQ(item.kind, k.kind);
            EXPECT_EQ(item.target, k.target);
            EXPECT_EQ(item.mode, info.st_mode & 07777);
            EXPECT_EQ(item.mtimeNs, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec);
            const bool held = descriptions::HasEntry(k.kind);
            EXPECT_EQ(item.stored.empty(), !held);
            if (!held) continue;
            const std::string bytes =
                k.kind == Kind::kEmpty ? std::string(1, '\0') : ReadFile((src / k.path).string());
            EXPECT_TRUE(entries[item.stored] == bytes);
            EXPECT_EQ(item.size, bytes.size());
            EXPECT_EQ(item.crc,
                      descriptions::Crc32(0, reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size()));
        }
        const std::string said = RunProgram(dir.path(), "1\nt1.pak\n\n2\nsame.pak\n\n0\n\n");
        EXPECT_NE(said.find("loaded Successfully"), std::string::npos);
        EXPECT_NE(said.find("saved Successfully"), std::string::npos);
        EXPECT_TRUE(ReadFile(dir / "same.pak") == ReadFile(dir / "t1.pak"));
    }
}

// Runs `zorel pack - big` in folder with standard output on out and standard error into the
// file "err" there; the child's id.
pid_t PackInto(const ScratchDir& dir, int out) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::signal(SIGPIPE, SIG_DFL);
        execl(ZOREL_BINARY, ZOREL_BINARY, "pack", "-", "big", static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Into a pipe whose reader goes away, the pack fails with the reason, status 1: it is not ended
// by SIGPIPE without a word. Onto a terminal it is not written at all.
TEST(Pipes, APackIntoStandardOutputFailsWithItsReason) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "big");
    std::string noise(2 << 20, '\0');  // far more than a pipe holds
    std::uint32_t state = 2463534242u;
    for (char& c : noise) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = static_cast<char>(state);
    }
    WriteFile(dir / "big/noise", noise);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // the child holds no reading end of its own
    const pid_t piped = PackInto(dir, ends[1]);
    close(ends[1]);
    char head[100];
    EXPECT_GT(read(ends[0], head, sizeof head), 0);
    close(ends[0]);
    int status = -1;
    ASSERT_EQ(waitpid(piped, &status, 0), piped);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadFile(dir / "err"),
              "zorel: standard output: " + platform::ErrorText(EPIPE) + "\n");

    const int screen = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(screen >= 0 && grantpt(screen) == 0 && unlockpt(screen) == 0);
    const int terminal = open(ptsname(screen), O_RDWR | O_NOCTTY);
    const pid_t shown = PackInto(dir, terminal);
    close(terminal);
    ASSERT_EQ(waitpid(shown, &status, 0), shown);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadFile(dir / "err"),
              "zorel: standard output: a pack is not written to a terminal\n");
    EXPECT_LE(read(screen, head, sizeof head), 0);  // nothing reached the terminal
    close(screen);

    // Redirected into a file of the folder packed, it leaves that file out, as it leaves out a
    // PACKFILE it is named by.
    const int file = open((dir / "big/self.pak").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const pid_t redirected = PackInto(dir, file);
    close(file);
    ASSERT_EQ(waitpid(redirected, &status, 0), redirected);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(dir / "err"), "zorel: big/self.pak: the pack file itself, left out\n");
}
#endif

}  // namespace
