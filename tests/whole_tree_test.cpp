// Whole trees through pack -r and unpack: every kind a tree holds comes back as it was, by
// every way of packing and through a pipe, compared by a walk of both trees.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <map>

#include "test_support.h"

namespace {

// What a walk sees of one item: its kind, bytes or link text, permission bits and time; and, for
// files, the first path met of the same file (hard links).
struct Seen {
    char kind = '?';
    std::string bytes;
    unsigned mode = 0;
    std::int64_t mtimeNs = 0;
    std::string sameAs;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << s.kind << ' ' << std::oct << s.mode << std::dec << ' ' << s.mtimeNs << ' '
               << s.bytes.size() << " bytes " << s.sameAs;
}

// Every item below root by its path from root, links not followed.
std::map<std::string, Seen> Walk(const fs::path& root) {
    std::map<std::string, Seen> seen;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> files;
    std::vector<fs::path> all;  // in one order, so that the first name of a file is known
    for (const auto& item : fs::recursive_directory_iterator(root)) all.push_back(item.path());
    std::sort(all.begin(), all.end());
    for (const fs::path& at : all) {
        const std::string path = fs::relative(at, root).generic_string();
        const fs::directory_entry entry(at);
        const auto* it = &entry;
        Seen item;
#ifdef _WIN32
        item.kind = it->is_directory() ? 'd' : 'f';
        item.mode = static_cast<unsigned>(fs::status(it->path()).permissions()) & 0222 ? 1 : 0;
        item.mtimeNs = fs::last_write_time(it->path()).time_since_epoch().count();
        if (!it->is_directory()) item.bytes = ReadFile(it->path().string());
#else
        struct stat facts {};
        EXPECT_EQ(lstat(it->path().c_str(), &facts), 0) << path;
        item.mode = facts.st_mode & 07777;
        item.mtimeNs = std::int64_t{facts.st_mtim.tv_sec} * 1000000000 + facts.st_mtim.tv_nsec;
        if (S_ISLNK(facts.st_mode)) {
            item.kind = 'l';
            item.mode = 0;  // a link's own bits are not kept on every system
            item.bytes = fs::read_symlink(it->path()).string();
        } else if (S_ISDIR(facts.st_mode)) {
            item.kind = 'd';
        } else {
            item.kind = 'f';
            item.bytes = ReadFile(it->path().string());
            auto [at, first] = files.try_emplace({facts.st_dev, facts.st_ino}, path);
            if (!first) item.sameAs = at->second;
        }
#endif
        seen[path] = item;
    }
    return seen;
}

#ifndef _WIN32
void SetTime(const fs::path& path, std::int64_t ns) {
    const timespec times[2] = {{ns / 1000000000, ns % 1000000000},
                               {ns / 1000000000, ns % 1000000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}
#endif

// A tree of every kind: files of each mode, an empty file and folder, paths over 31 bytes and
// over 255 in all, links to a file and to a folder, and two names of one file.
void MakeTree(const fs::path& root) {
    const std::string part(120, 'p');
    const std::pair<std::string, unsigned> files[] = {
        {"run.sh", 0755},
        {"secret", 0600},
        {"empty", 0644},
        {"sub/a-name-longer-than-thirty-one-bytes.txt", 0640},
#ifndef _WIN32  // paths beyond MAX_PATH are not made there yet
        {part + "/" + part + "/" + part + "/deep", 0644},
#endif
    };
    for (const auto& [name, mode] : files) {
        fs::create_directories((root / name).parent_path());
        WriteFile((root / name).string(), name == "empty" ? "" : "bytes of " + name);
        fs::permissions(root / name, static_cast<fs::perms>(mode));
    }
    fs::create_directories(root / "hollow");
#ifndef _WIN32
    fs::permissions(root / "hollow", static_cast<fs::perms>(0700));
    std::int64_t ns = 1700000000123456789;
    fs::create_symlink("run.sh", root / "to-file");
    fs::create_symlink("sub", root / "to-folder");
    fs::create_hard_link(root / "secret", root / "sub/also-secret");
    // Times last, deepest first, so that making an item does not change its folder's.
    std::vector<fs::path> all;
    for (const auto& item : fs::recursive_directory_iterator(root)) all.push_back(item.path());
    std::sort(all.rbegin(), all.rend());
    for (const fs::path& item : all) SetTime(item, ns += 1111111111);
#endif
}

// By every way of packing, into a file and through a pipe, a tree unpacks as it was packed.
TEST(WholeTrees, ComeBackAsTheyWere) {
    ScratchDir dir;
    MakeTree(dir.path() / "tree");
    const std::map<std::string, Seen> want = Walk(dir.path() / "tree");
    const std::vector<std::string> ways[] = {{}, {"-z"}, {"--fast"}, {"-j", "1"}};
    int round = 0;
    for (const std::vector<std::string>& way : ways) {
        for (const bool piped : {false, true}) {
            const std::string out = "out" + std::to_string(round++);
            SCOPED_TRACE(out);
            std::vector<std::string> pack = {"pack", "-r"};
            pack.insert(pack.end(), way.begin(), way.end());
            pack.insert(pack.end(), {piped ? "-" : "t.pak", "tree"});
            const CommandResult packed = RunCommand(dir.path(), pack);
            ASSERT_EQ(packed.status, 0) << packed.err;
            if (piped) WriteFile(dir / "t.pak", packed.out);
            const CommandResult unpacked =
                piped ? RunCommand(dir.path(), {"unpack", "-", out}, {}, "t.pak")
                      : RunCommand(dir.path(), {"unpack", "t.pak", out});
            ASSERT_EQ(unpacked.status, 0) << unpacked.err;
            const std::map<std::string, Seen> got = Walk(dir.path() / out);
            for (const auto& [path, item] : want) {
                const auto it = got.find(path);
                if (it == got.end()) {
                    ADD_FAILURE() << path << " missing";
                } else {
                    EXPECT_EQ(it->second, item) << path;
                }
            }
            EXPECT_EQ(got.size(), want.size());
        }
    }
}

// Trees about the edges of the runs one description covers (one run of 256 items, one item
// more, a run holding no entry at all) pack to the same bytes by one worker and by two, and
// unpack as they were.
TEST(WholeTrees, RunEdgesPackAlikeAndComeBack) {
    const struct { int files, folders; } trees[] = {{255, 0}, {256, 0}, {257, 0}, {40, 300}};
    for (const auto& tree : trees) {
        ScratchDir dir;
        const fs::path root = dir.path() / "tree";
        for (int i = 0; i < tree.files; ++i) {
            // Files either side of the folders; every fifth under a stand-in, every third 0600.
            const std::string name = (i < tree.files / 2 ? "a/" : "z/") + std::to_string(i) +
                                     (i % 5 == 0 ? std::string(40, 'n') : "");
            fs::create_directories((root / name).parent_path());
            WriteFile((root / name).string(), "file " + std::to_string(i));
            if (i % 3 == 0) fs::permissions(root / name, static_cast<fs::perms>(0600));
        }
        for (int i = 0; i < tree.folders; ++i)
            fs::create_directories(root / "m" / std::to_string(i));
        const std::map<std::string, Seen> want = Walk(root);
        std::string packs[2];
        for (const int jobs : {1, 2}) {
            SCOPED_TRACE(std::to_string(tree.files) + " files, -j " + std::to_string(jobs));
            const std::string pack = "j" + std::to_string(jobs) + ".pak";
            const std::string out = "out" + std::to_string(jobs);
            const CommandResult packed =
                RunCommand(dir.path(), {"pack", "-rz", "-j", std::to_string(jobs), pack, "tree"});
            ASSERT_EQ(packed.status, 0) << packed.err;
            packs[jobs - 1] = ReadFile(dir / pack);
            const CommandResult unpacked = RunCommand(dir.path(), {"unpack", pack, out});
            ASSERT_EQ(unpacked.status, 0) << unpacked.err;
            EXPECT_TRUE(Walk(dir.path() / out) == want);
        }
        EXPECT_TRUE(packs[0] == packs[1]) << tree.files << " files";
    }
}

}  // namespace
