// Whole trees through pack -r and unpack: every kind a tree holds comes back as it was, by
// every way of packing and through a pipe, compared by a walk of both trees.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "cli_support.h"
#include "platform/platform.h"

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

#ifdef _WIN32
// A path of any length as the system's wide calls take it.
std::wstring Long(const fs::path& path) {
    return L"\\\\?\\" + fs::path(path).make_preferred().wstring();
}

// Every item below root, by its path from root, through the system's own listing (which the
// C library's stops short of MAX_PATH).
std::vector<std::string> Below(const fs::path& root) {
    std::vector<std::string> all, pending = {""};
    while (!pending.empty()) {
        const std::string at = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW item{};
        const fs::path folder = at.empty() ? root : root / at;
        HANDLE search = FindFirstFileW((Long(folder) + L"\\*").c_str(), &item);
        EXPECT_NE(search, INVALID_HANDLE_VALUE) << at;
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            const std::string name = fs::path(item.cFileName).string();
            if (name == "." || name == "..") continue;
            all.push_back(at.empty() ? name : at + "/" + name);
            const DWORD is = item.dwFileAttributes;
            if ((is & FILE_ATTRIBUTE_DIRECTORY) != 0 && (is & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                pending.push_back(all.back());
            }
        } while (FindNextFileW(search, &item));
        FindClose(search);
    }
    return all;
}
#else
std::string Long(const fs::path& path) {
    return path.string();
}

std::vector<std::string> Below(const fs::path& root) {
    std::vector<std::string> all;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        all.push_back(item.path().lexically_relative(root).generic_string());  // links as named
    }
    return all;
}
#endif

// A file's bytes, by a path of any length.
std::string Bytes(const fs::path& path) {
    std::ifstream in(fs::path(Long(path)), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Every item below root by its path from root, links not followed.
std::map<std::string, Seen> Walk(const fs::path& root) {
    std::map<std::string, Seen> seen;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> files;
    std::vector<std::string> all = Below(root);  // in one order: the first name of a file is known
    std::sort(all.begin(), all.end());
    for (const std::string& path : all) {
        const fs::path at = root / path;
        Seen item;
#ifdef _WIN32
        platform::PathKind kind{};
        std::string target;
        EXPECT_TRUE(platform::KindOf(at.string().c_str(), &kind, &target)) << path;
        item.kind = kind == platform::PathKind::kSymlink  ? 'l'
                    : kind == platform::PathKind::kFolder ? 'd'
                                                          : 'f';
        std::uint32_t mode = 0;
        EXPECT_TRUE(platform::FileFacts(at.string().c_str(), &mode, &item.mtimeNs)) << path;
        item.mode = item.kind == 'l' ? 0 : mode;
        if (item.kind == 'l') item.bytes = target;
        if (item.kind == 'f') item.bytes = Bytes(at);
#else
        struct stat facts {};
        EXPECT_EQ(lstat(at.c_str(), &facts), 0) << path;
        item.mode = facts.st_mode & 07777;
        item.mtimeNs = std::int64_t{facts.st_mtim.tv_sec} * 1000000000 + facts.st_mtim.tv_nsec;
        if (S_ISLNK(facts.st_mode)) {
            item.kind = 'l';
            item.mode = 0;  // a link's own bits are not kept on every system
            item.bytes = fs::read_symlink(at).string();
        } else if (S_ISDIR(facts.st_mode)) {
            item.kind = 'd';
        } else {
            item.kind = 'f';
            item.bytes = Bytes(at);
            auto [at, first] = files.try_emplace({facts.st_dev, facts.st_ino}, path);
            if (!first) item.sameAs = at->second;
        }
#endif
        seen[path] = item;
    }
    return seen;
}

#ifdef _WIN32
// Makes a symbolic link at `at` holding target; false where the system makes none (wine's
// CreateSymbolicLinkW says it made one and makes nothing).
bool MakeLink(const std::string& target, const fs::path& at) {
    const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY * fs::is_directory(at.parent_path() / target);
    platform::PathKind kind{};
    std::string text;
    return CreateSymbolicLinkW(at.c_str(), fs::path(target).make_preferred().c_str(),
                               flags | 0x2 /* unprivileged */) &&
           platform::KindOf(at.string().c_str(), &kind, &text) &&
           kind == platform::PathKind::kSymlink;
}
#else
bool MakeLink(const std::string& target, const fs::path& at) {
    fs::create_symlink(target, at);
    return true;
}

void SetTime(const fs::path& path, std::int64_t ns) {
    const timespec times[2] = {{ns / 1000000000, ns % 1000000000},
                               {ns / 1000000000, ns % 1000000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}
#endif

// A path of exactly 4,000 bytes: 15 folders of the longest name a system allows, and a file.
const std::string kFarPath = [] {
    std::string path;
    for (char c = 'a'; c < 'a' + 15; ++c) path += std::string(255, c) + "/";
    return path + std::string(4000 - path.size(), 'z');
}();

// A tree of every kind: files of each mode, an empty file and folder, paths over 31 bytes and
// over MAX_PATH in all (370 and 4,000 bytes), links to a file and to a folder where the system
// makes them (true when it did), and two names of one file.
bool MakeTree(const fs::path& root) {
    const std::string part(120, 'p');
    const std::pair<std::string, unsigned> files[] = {
        {"a.sh", 0755},  // two of a mode other than a new file's in one folder
        {"run.sh", 0755},
        {"secret", 0600},
        {"empty", 0644},
        {"sub/a-name-longer-than-thirty-one-bytes.txt", 0640},
        {part + "/" + part + "/" + part + "/deep", 0644},
        {kFarPath, 0400},
    };
    for (const auto& [name, mode] : files) {
        fs::create_directories((root / name).parent_path());
        std::ofstream(root / name, std::ios::binary) << (name == "empty" ? "" : "bytes of " + name);
        fs::permissions(root / name, static_cast<fs::perms>(mode));
    }
    fs::create_directories(root / "hollow");
    const bool links = MakeLink("run.sh", root / "to-file") && MakeLink("sub", root / "to-folder");
#ifndef _WIN32
    fs::permissions(root / "hollow", static_cast<fs::perms>(0700));
    std::int64_t ns = 1700000000123456789;
    fs::create_hard_link(root / "secret", root / "sub/also-secret");
    // Times last, deepest first, so that making an item does not change its folder's.
    std::vector<fs::path> all;
    for (const auto& item : fs::recursive_directory_iterator(root)) all.push_back(item.path());
    std::sort(all.rbegin(), all.rend());
    for (const fs::path& item : all) SetTime(item, ns += 1111111111);
#endif
    return links;
}

// By every way of packing, into a file and through a pipe, a tree unpacks as it was packed, and
// its listing names every file by its full path.
TEST(WholeTrees, ComeBackAsTheyWere) {
    ScratchDir dir;
    const bool links = MakeTree(dir.path() / "tree");
    const std::map<std::string, Seen> want = Walk(dir.path() / "tree");
    ASSERT_EQ(want.at(kFarPath).bytes, "bytes of " + kFarPath);
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
#ifndef _WIN32
            // The last way unpacks under a mask that narrows what a new file is made with, so
            // a mode that only looks right because the mask made it so is caught.
            const mode_t mask = umask(way == ways[3] ? 077 : 022);
#endif
            const CommandResult unpacked =
                piped ? RunCommand(dir.path(), {"unpack", "-", out}, {}, "t.pak")
                      : RunCommand(dir.path(), {"unpack", "t.pak", out});
#ifndef _WIN32
            umask(mask);
#endif
            ASSERT_EQ(unpacked.status, 0) << unpacked.err;
            std::istringstream listed(RunCommand(dir.path(), {"list", "-1", "t.pak"}).out);
            std::map<std::string, bool> named;
            for (std::string line; std::getline(listed, line);) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                named[line] = true;
            }
            const std::map<std::string, Seen> got = Walk(dir.path() / out);
            for (const auto& [path, item] : want) {
                const auto it = got.find(path);
                if (it == got.end()) {
                    ADD_FAILURE() << path << " missing";
                } else {
                    EXPECT_EQ(it->second, item) << path;
                }
                EXPECT_TRUE(item.kind != 'f' || named[path]) << path << " not listed";
            }
            EXPECT_EQ(got.size(), want.size());
        }
    }
    if (!links) GTEST_SKIP() << "all but links: this system (wine) makes no symbolic links";
}

// Unpack makes a symbolic link, with its own time, where the system lets the user; elsewhere it
// names the link, leaves it out, restores the rest and exits 1.
TEST(WholeTrees, LinksAreMadeOrNamed) {
    ScratchDir dir;
    const bool links = MakeLink("x", dir.path() / "probe");
    const std::vector<descriptions::Item> items = ItemsPack(dir.path());
    const CommandResult unpacked = RunCommand(dir.path(), {"unpack", "items.pak", "out"});
    const std::map<std::string, Seen> got = Walk(dir.path() / "out");
    EXPECT_EQ(got.at("d/a").bytes, "abc");
    EXPECT_EQ(got.at("d/" + kLong).bytes, "y");
    EXPECT_EQ(got.at("d/e").bytes, "");
    const auto step = [](std::int64_t ns) { return ns - ns % platform::kTimeStepNs; };
    EXPECT_EQ(got.at("d/a").mtimeNs, step(items[1].mtimeNs));
    if (links) {
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        ASSERT_EQ(got.count("d/l"), 1u);
        EXPECT_EQ(got.at("d/l").kind, 'l');
        EXPECT_EQ(got.at("d/l").bytes, "a");
        EXPECT_EQ(got.at("d/l").mtimeNs, step(items[2].mtimeNs));
    } else {
        EXPECT_EQ(unpacked.status, 1);
        EXPECT_NE(unpacked.err.find("zorel: d/l: "), std::string::npos) << unpacked.err;
        EXPECT_EQ(got.count("d/l"), 0u);
    }
}

// unpack -k over a tree it unpacked before exits 0, names each file and link it finds as kept
// and leaves it as it found it (one rewritten, a link aimed elsewhere, a hard link made a file of
// its own); a hard link whose own name is free is made to the file kept.
TEST(WholeTrees, KeepingUnpackLeavesTheTreeThere) {
    ScratchDir dir;
    const bool links = MakeTree(dir.path() / "tree");
    const std::map<std::string, Seen> want = Walk(dir.path() / "tree");
    ASSERT_EQ(RunCommand(dir.path(), {"pack", "-r", "t.pak", "tree"}).status, 0);
    // A folder of its own for each case, as Windows cannot remove a tree this deep; its name is
    // short, as under wine the far path must still fit the host's path limit.
    fs::path out;
    const struct {
        const char* what;
        const char* folder;
        std::function<void()> change;  // made to the tree unpacked before
    } kCases[] = {
        {"the same tree", "k0", [] {}},
        {"changed", "k1",
         [&] {
             WriteFile((out / "run.sh").string(), "changed");
             if (fs::remove(out / "sub/also-secret"))
                 WriteFile((out / "sub/also-secret").string(), "own");
             if (links && fs::remove(out / "to-file")) MakeLink("secret", out / "to-file");
         }},
        {"a hard link's name free", "k2", [&] { fs::remove(out / "sub/also-secret"); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        const std::string name = c.folder;
        out = dir.path() / name;
        const CommandResult unpacked = RunCommand(dir.path(), {"unpack", "t.pak", name});
        ASSERT_EQ(unpacked.status, 0) << unpacked.err;
        c.change();
        const std::map<std::string, Seen> before = Walk(out);
        const CommandResult kept = RunCommand(dir.path(), {"unpack", "-k", "t.pak", name});
        EXPECT_EQ(kept.status, 0) << kept.err;
        const std::map<std::string, Seen> after = Walk(out);
        for (const auto& [path, item] : want) {
            if (item.kind == 'd') continue;  // a folder takes its mode and time again
            SCOPED_TRACE(path.substr(0, 60));
            const auto was = before.find(path);
            const bool there = was != before.end();
            EXPECT_EQ(kept.err.find(ConsoleText("zorel: " + path + ": kept, a file is there\n")) !=
                          std::string::npos,
                      there);
            ASSERT_EQ(after.count(path), 1u);
            EXPECT_EQ(after.at(path), there ? was->second : item);
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
            const std::string number = std::to_string(jobs);
            const std::string pack = "j" + number + ".pak";
            const std::string out = "out" + number;
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
