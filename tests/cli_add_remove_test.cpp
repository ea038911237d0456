// add and remove on the command line: their table, and records kept as they are.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <functional>

#include "cli_support.h"

namespace {

TEST_F(CommandLine, AddAndRemoveTable) {
    WriteFile(dir / "tree.pak", treePack);
    SavedPack(dir.path(), "differ.pak", {{"a.txt", "abd"}, {"notes.txt", "hello"}}, true);
    SavedPack(dir.path(), "fa.pak", {{"f/notes.txt", "old"}, {"f/a.txt", "old"}, {"x", "1"}}, true);
    fs::create_directories(dir.path() / "w/f");
    WriteFile(dir / "w/f/a.txt", "deeper");  // stored under the name ../w/f/a.txt takes
    WriteFile(dir / "same", "third");
    const std::string same = SavedPack(dir.path(), "same.pak",
                                       {{"f/a.txt", "abc"}, {"f/notes.txt", "hello notes"}}, true);
    SavedPack(dir.path(), "u.pak",
              {{"f/notes.txt", "old"}, {"f/a.txt", "abd"}, {"x", "1"}, {"withempty/a", "a"}},
              false);
    // Described packs: d.pak of f; r.pak the same once a.txt replaced and a long path added; g.pak
    // of g/x, as x is, to its time; b.pak of bad, its stand-ins taken, once a long path added.
    WriteFile(dir / "a.txt", "new bytes");
    WriteFile(dir / "notes.txt", "hello notes");  // f/notes.txt's bytes, at another time
    fs::create_directories(dir.path() / "g");
    WriteFile(dir / "g/x", "xx");
    WriteFile(dir / "x", "xx");
    // One time of whole seconds, which every system sets exactly.
    const auto second = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(dir / "g/x"));
    for (const char* name : {"g/x", "x"}) fs::last_write_time(dir.path() / name, second);
    for (const std::vector<std::string>& run :
         std::vector<std::vector<std::string>>{{"pack", "-r", "d.pak", "f"},
                                               {"pack", "-r", "r.pak", "f"},
                                               {"add", "r.pak", "a.txt", "long/" + kLong},
                                               {"pack", "-r", "g.pak", "g"},
                                               {"pack", "-r", "--skip", "b.pak", "bad"},
                                               {"add", "b.pak", "long/" + kLong}}) {
        ASSERT_EQ(RunCommand(dir.path(), run).status, 0) << run[0] << " " << run.back();
    }
    const std::string added = PackContents((dir.path() / "b.pak").string());
    for (const char* name : {"|.zoreldesc.1=", "|.zorellong.2=x"}) {
        EXPECT_NE(added.find(name), std::string::npos) << name;  // unique in the pack
    }
    // Unchanged to its time and CRC (a copy of the folder keeps no times): left byte for byte.
    const std::string g = ReadFile(dir / "g.pak");
    const CommandResult kept = RunCommand(dir.path(), {"add", "-uv", "g.pak", "x"});
    EXPECT_EQ(kept.status, 0);
    EXPECT_EQ(kept.out, "");
    EXPECT_TRUE(ReadFile(dir / "g.pak") == g);
    Check({
        // Described: an entry replaced keeps its description right; -u reads its time and CRC.
        {{"unpack", "r.pak", "out"},
         0,
         "",
         {{"out/a.txt", "new bytes"}, {"out/notes.txt", "hello notes"}}},
        {{"test", "r.pak"}, 0, "", {}},
        {{"add", "-uv", "d.pak", "notes.txt", "a.txt", "x"},
         0,
         "",
         {},
         "a.txt\nnotes.txt\nx\n",
         true},
        {{"add", "-v", "r.pak", "long/" + kLong}, 0, "", {}, "long/" + kLong + "\n", true},
        {{"remove", "-v", "z.pak", "a.txt"},
         0,
         "",
         {{"pack:z.pak", "notes.txt=hello notes"}},
         "a.txt\n",
         true},
        {{"add", "-", "f/a.txt"}, 2, "zorel: add needs a pack file, not -" + kTry, {}},
        {{"remove", "-", "a.txt"}, 2, "zorel: remove needs a pack file, not -" + kTry, {}},
        {{"add", "--plain", "new.pak", "f/a.txt"}, 0, "", {{"pack:new.pak", "f/a.txt=abc"}}},
        {{"add", "--plain", "--fast", "z.pak", "f/notes.txt"},
         0,
         "",
         {{"pack:z.pak", "a.txt=abc|notes.txt=hello notes|f/notes.txt=hello notes"}}},
        {{"add", "--plain", "p.pak", "f/a.txt", "missing"},
         1,
         "zorel: missing: " + kNoFile + "\n" + CannotPack(1),
         {{"p.pak", plain}}},
        {{"add", "--plain", "p.pak", "long/" + kLong},
         1,
         "zorel: long/" + kLong + ": name longer than 31 bytes\n" + CannotPack(1),
         {{"p.pak", plain}}},
        {{"add", "--plain", "--skip", "p.pak", "missing", "f", "f/a.txt"},
         0,
         "zorel: missing: left out: " + kNoFile + "\nzorel: f: left out: not a regular file\n",
         {{"pack:p.pak", "a.txt=abc|notes.txt=hello notes|f/a.txt=abc"}}},
        {{"add", "--plain", "-z", "new.pak", "f/a.txt"},
         0,
         "",
         {{"pack:new.pak", "f/a.txt=abc"}, {"flag:new.pak", "1"}}},
        {{"add", "-z", "p.pak", "f/a.txt"},
         2,
         "zorel: -z compresses, and p.pak is a pack of plain entries" + kTry,
         {{"p.pak", plain}}},
        {{"add", "--plain", "-v", "p.pak", "../w/f/a.txt", "p.pak"},
         0,
         "zorel: ../w/f/a.txt: '..' parts taken away, stored as w/f/a.txt\n"
         "zorel: p.pak: the pack file itself, left out\n",
         {{"pack:p.pak", "a.txt=abc|notes.txt=hello notes|w/f/a.txt=abc"}},
         "w/f/a.txt\n",
         true},
        // A name already in the pack: its first entry replaced in its place.
        {{"add", "--plain", "-v", "fa.pak", "f/a.txt", "withempty/a", "f/notes.txt"},
         0,
         "",
         {{"pack:fa.pak", "f/notes.txt=hello notes|f/a.txt=abc|x=1|withempty/a=a"},
          {"flag:fa.pak", "1"}},
         "f/notes.txt\nf/a.txt\nwithempty/a\n",
         true},
        {{"add", "--plain", "twice.pak", "same"},
         0,
         "",
         {{"pack:twice.pak", "same=third|same=second"}}},
        {{"add", "--plain", "new.pak", "w/f/a.txt",
          "../w/f/a.txt"},  // one name twice: the last wins
         0,
         "zorel: ../w/f/a.txt: '..' parts taken away, stored as w/f/a.txt\n",
         {{"pack:new.pak", "w/f/a.txt=abc"}}},
        // -u: only the files that changed (size, bytes) replace their entries; new ones are added.
        {{"add", "--plain", "-uv", "same.pak", "f/a.txt", "f/notes.txt"},
         0,
         "",
         {{"same.pak", same}},
         "",
         true},
        {{"add", "--plain", "-uv", "fa.pak", "f/a.txt"},  // compressed: its plain bytes compared
         0,
         "",
         {{"pack:fa.pak", "f/notes.txt=old|f/a.txt=abc|x=1"}},
         "f/a.txt\n",
         true},
        {{"add", "--plain", "-u", "corrupt.pak", "notes.txt"},  // a damaged entry differs
         0,
         "",
         {{"pack:corrupt.pak", "a.txt=abc|notes.txt=hello notes"}}},
        {{"add", "--plain", "-uv", "u.pak", "withempty/a", "f/a.txt", "f/notes.txt", "tree/B.txt"},
         0,
         "",
         {{"pack:u.pak", "f/notes.txt=hello notes|f/a.txt=abc|x=1|withempty/a=a|tree/B.txt=4"}},
         "f/notes.txt\nf/a.txt\ntree/B.txt\n",
         true},
        // -r: a folder whole, each file named by its path as given.
        {{"add", "-r", "--plain", "-v", "p.pak", "tree", "--exclude=deep"},
         0,
         "",
         {{"pack:p.pak", "a.txt=abc|notes.txt=hello notes|tree/a.txt=1|tree/a/x=2|tree/B.txt=4"}},
         "tree/a.txt\ntree/a/x\ntree/B.txt\n",
         true},
        {{"add", "-r", "--plain", "self/s.pak", "self"},  // named as it would be stored
         0,
         "zorel: self/s.pak: the pack file itself, left out\n",
         {{"pack:self/s.pak", "a.txt=abc|notes.txt=hello notes|self/x=x"}}},
        {{"add", "-r", "--plain", "new.pak", "f/a.txt", "tree/a/"},
         0,
         "",
         {{"pack:new.pak", "f/a.txt=abc|tree/a/deep/y=3|tree/a/x=2"}}},
        {{"remove", "z.pak", "a.txt"}, 0, "", {{"pack:z.pak", "notes.txt=hello notes"}}},
        {{"remove", "p.pak", "notes.txt", "nope"},
         1,
         "zorel: p.pak: nope: no such entry\n",
         {{"p.pak", plain}}},
        {{"remove", "p.pak", ""}, 1, "zorel: p.pak: : no such entry\n", {{"p.pak", plain}}},
        // --exclude: a name, or a folder and all below it, left out.
        {{"pack", "-r", "--plain", "--exclude=deep", "--exclude", "B*", "e.pak", "tree"},
         0,
         "",
         {{"pack:e.pak", "a.txt=1|a/x=2"}}},
        {{"pack", "-r", "--plain", "--exclude=a", "e.pak", "tree"},
         0,
         "",
         {{"pack:e.pak", "a.txt=1|B.txt=4"}}},
        {{"add", "--plain", "--exclude=*.txt", "new.pak", "f/a.txt", "withempty/a"},
         0,
         "",
         {{"pack:new.pak", "withempty/a=a"}}},
        // diff: every difference, 1 when there is any.
        {{"diff", "p.pak", "f"}, 0, "", {}, "", true},
        {{"diff", "tree.pak", "tree"}, 0, "", {}, "", true},
        {{"diff", "z.pak", "o"},
         1,
         "",
         {},
         "a.txt: not in the folder\nnotes.txt: not in the folder\nkeep.txt: not in the pack\n",
         true},
        {{"diff", "differ.pak", "f"},
         1,
         "",
         {},
         "a.txt: bytes differ\nnotes.txt: size differs\n",
         true},
        {{"diff", "rooted.pak", "nowhere"}, 1, "zorel: nowhere: " + kNoFile + "\n", {}},
        {{"diff", "over.pak", "f"}, 1, "zorel: over.pak: not a pack file\n", {}},
        // rename: one entry, in its place, its bytes as they are.
        {{"rename", "z.pak", "a.txt", "d/b.txt"},
         0,
         "",
         {{"pack:z.pak", "d/b.txt=abc|notes.txt=hello notes"}, {"flag:z.pak", "1"}}},
        {{"rename", "twice.pak", "same", "other"},
         0,
         "",
         {{"pack:twice.pak", "other=first|same=second"}}},
        {{"rename", "p.pak", "nope", "x"},
         1,
         "zorel: p.pak: nope: no such entry\n",
         {{"p.pak", plain}}},
        {{"rename", "p.pak", "a.txt", kLong},
         1,
         "zorel: " + kLong + ": name longer than 31 bytes\n",
         {{"p.pak", plain}}},
        {{"rename", "p.pak", "a.txt", ""},
         1,
         "zorel: p.pak: the name holds no file name\n",
         {{"p.pak", plain}}},
        {{"rename", "p.pak", "a.txt", "notes.txt"},
         1,
         "zorel: p.pak: notes.txt: already in the pack\n",
         {{"p.pak", plain}}},
        {{"rename", "p.pak", "a.txt"}, 2, "zorel: rename takes PACKFILE OLD NEW" + kTry, {}},
        {{"rename", "-", "a", "b"}, 2, "zorel: rename needs a pack file, not -" + kTry, {}},
        // Wildcards take every entry they match; a plain name its first.
        {{"remove", "z.pak", "n*"}, 0, "", {{"pack:z.pak", "a.txt=abc"}}},
        {{"remove", "twice.pak", "same"}, 0, "", {{"pack:twice.pak", "same=second"}}},
        {{"remove", "tree.pak", "a*"}, 0, "", {{"pack:tree.pak", "B.txt=4"}}},
        {{"remove", "p.pak", "x*"}, 1, "zorel: p.pak: x*: no such entry\n", {{"p.pak", plain}}},
        {{"remove", "p.pak", "a.txt", "notes.txt"},
         0,
         "",
         {{"p.pak", std::string("UPz3\0\0\0\0\0", 9)}}},
    });
}

#ifndef _WIN32
// rename and remove of described items: each leaves a pack whose descriptions all match (test
// is quiet), listed and unpacked as the edit says; stored names as pack gives them.
TEST_F(CommandLine, RenameAndRemoveKeepDescriptionsRight) {
    ItemsPack(dir.path());
    const std::string items = ReadFile(dir / "items.pak");
    const std::string longer = "d/" + kLong + "-and-more";
    const std::string tail = "d/" + kLong + "\nplain\n";
    const struct {
        std::vector<std::string> edit;
        std::string list;                          // list -1 after it
        std::map<std::string, std::string> files;  // unpacked: bytes, kAbsent or "/" (a folder)
        std::string stored = "";                   // PackContents holds it ("|..."), or is it whole
    } kCases[] = {
        {{"rename", "d/a", longer},  // short to long: a stand-in, its hard link retargeted
         "d/\nd/l\nd/h\nd/s/\n" + longer + "\nd/e\n" + tail,
         {{longer, "abc"}, {"d/h", "abc"}, {"d/a", kAbsent}},
         "|.zorellong.1=abc"},
        {{"rename", "d/" + kLong, "d/y"},  // long to short: stored under its path
         "d/\nd/l\nd/h\nd/s/\nd/a\nd/e\nd/y\nplain\n",
         {{"d/y", "y"}, {"d/" + kLong, kAbsent}},
         "|d/y=y"},
        {{"rename", "d/s/", "d/t/"},
         "d/\nd/l\nd/h\nd/t/\nd/a\nd/e\n" + tail,
         {{"d/t", "/"}, {"d/s", kAbsent}}},
        {{"rename", "d/l", "d/m"}, "d/\nd/m\nd/h\nd/s/\nd/a\nd/e\n" + tail, {{"d/m", "abc"}}},
        {{"rename", "plain", "p2"},
         "d/\nd/l\nd/h\nd/s/\nd/a\nd/e\nd/" + kLong + "\np2\n",
         {{"p2", "zz"}}},
        {{"remove", "d/a"},  // its hard link becomes the file
         "d/\nd/l\nd/s/\nd/h\nd/e\n" + tail,
         {{"d/h", "abc"}, {"d/a", kAbsent}},
         "|d/h=abc"},
        {{"remove", "d/h", "d/a"}, "d/\nd/l\nd/s/\nd/e\n" + tail, {{"d/h", kAbsent}}},
        {{"remove", "d/?"}, "d/\n" + tail, {{"d/a", kAbsent}, {"d/s", kAbsent}, {"d", "/"}}},
        {{"remove", "d*"}, "plain\n", {{"d", kAbsent}, {"plain", "zz"}}, "plain=zz"},
    };
    for (const auto& c : kCases) {
        WriteFile(dir / "items.pak", items);
        fs::remove_all(dir / "out");
        std::vector<std::string> edit = c.edit;
        edit.insert(edit.begin() + 1, "items.pak");
        const CommandResult edited = RunCommand(dir.path(), edit);
        ASSERT_EQ(edited.status, 0) << c.edit[1] << edited.err;
        const CommandResult tested = RunCommand(dir.path(), {"test", "items.pak"});
        EXPECT_EQ(tested.status, 0) << c.edit[1];
        EXPECT_EQ(tested.err, "") << c.edit[1];
        EXPECT_EQ(RunCommand(dir.path(), {"list", "-1", "items.pak"}).out, c.list) << c.edit[1];
        EXPECT_EQ(RunCommand(dir.path(), {"unpack", "items.pak", "out"}).status, 0) << c.edit[1];
        for (const auto& [path, bytes] : c.files) {
            const fs::path at = dir / ("out/" + path);
            EXPECT_EQ(!fs::exists(at)        ? kAbsent
                      : fs::is_directory(at) ? "/"
                                             : ReadFile(at),
                      bytes)
                << c.edit[1] << " " << path;
        }
        const std::string contents = PackContents(dir / "items.pak");
        if (c.stored.empty() || c.stored[0] == '|') {
            EXPECT_NE(contents.find(c.stored), std::string::npos) << c.edit[1] << " " << contents;
        } else {
            EXPECT_EQ(contents, c.stored) << c.edit[1];  // the description gone with its items
        }
    }
}

#endif

// Records an add or remove keeps are copied as they are, never decoded: a stream whose zlib
// header no decoder accepts survives byte for byte.
TEST_F(CommandLine, KeptRecordsAreCopiedAsTheyAre) {
    std::string odd = zipped;
    odd[9 + 40 + 1] ^= 0x01;  // the header's check bits no longer match
    WriteFile(dir / "odd.pak", odd);
    ASSERT_EQ(RunCommand(dir.path(), {"add", "--plain", "odd.pak", "f/a.txt"}).status, 0);
    ASSERT_EQ(RunCommand(dir.path(), {"remove", "odd.pak", "f/a.txt"}).status, 0);
    EXPECT_TRUE(ReadFile(dir / "odd.pak") == odd);
}

#ifndef _WIN32
// The tree the items of a pack describe, made in folder.
void MakeItems(const fs::path& folder, const std::vector<descriptions::Item>& items) {
    using descriptions::Kind;
    const std::map<std::string, std::string> bytes = {{"d/a", "abc"}, {"d/" + kLong, "y"}};
    for (const descriptions::Item& item : items) {
        const std::string path = (folder / item.path).string();
        if (item.kind == Kind::kFolder) fs::create_directories(path);
        if (item.kind == Kind::kSymlink) {
            ASSERT_EQ(symlink(item.target.c_str(), path.c_str()), 0);
        }
        if (item.kind == Kind::kHardLink) {
            ASSERT_EQ(link((folder / item.target).c_str(), path.c_str()), 0);
        }
        if (item.kind == Kind::kFile || item.kind == Kind::kEmpty) {
            WriteFile(path, bytes.count(item.path) ? bytes.at(item.path) : "");
        }
    }
    for (const descriptions::Item& item : items) {  // after every file, as a folder's time goes
        if (item.kind == Kind::kSymlink || item.kind == Kind::kHardLink) continue;
        const std::string path = (folder / item.path).string();
        ASSERT_EQ(chmod(path.c_str(), item.mode), 0);
        const std::int64_t ns = item.mtimeNs;
        const timespec at = {static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0)),
                             static_cast<long>((ns % 1000000000 + 1000000000) % 1000000000)};
        const timespec both[2] = {at, at};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), both, 0), 0);
    }
}

// diff of a described pack: each fact a description keeps, changed on disk, is named.
TEST_F(CommandLine, DiffNamesWhatDescriptionsKeep) {
    const std::vector<descriptions::Item> items = ItemsPack(dir.path());
    const fs::path tree = dir / "items";
    const auto retime = [&](const std::string& path, std::int64_t ns) {
        const timespec at = {static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0)),
                             static_cast<long>((ns % 1000000000 + 1000000000) % 1000000000)};
        const timespec both[2] = {at, at};
        utimensat(AT_FDCWD, (tree / path).c_str(), both, AT_SYMLINK_NOFOLLOW);
    };
    const struct {
        std::function<void()> change;
        std::string out;
    } kCases[] = {
        {[] {}, ""},
        {[&] { chmod((tree / "d/a").c_str(), 0600); }, "d/a: mode differs\n"},
        {[&] { retime("d/a", 1700000000); }, "d/a: time differs\n"},
        {[&] { fs::remove(tree / "d/l"), fs::create_symlink("b", tree / "d/l"); },
         "d/l: link target differs\n"},
        {[&] { fs::remove(tree / "d/l"), WriteFile(tree / "d/l", "a"); }, "d/l: kind differs\n"},
        {[&] { fs::remove(tree / "d/h"), WriteFile(tree / "d/h", "abc"); },
         "d/h: link target differs\n"},
        {[&] { fs::remove(tree / "d/s"); }, "d/s: not in the folder\n"},
        {[&] { WriteFile(tree / "d/e", "z"); }, "d/e: time differs\nd/e: size differs\n"},
        {[&] { WriteFile(tree / ("d/" + kLong), "Y"); },
         "d/" + kLong + ": time differs\nd/" + kLong + ": bytes differ\n"},
        {[&] { chmod((tree / "d").c_str(), 0700); }, "d: mode differs\n"},
    };
    for (const auto& c : kCases) {
        fs::remove_all(tree);
        MakeItems(tree, items);
        WriteFile(tree / "plain", "zz");
        c.change();
        retime("d", items[0].mtimeNs),
            retime("d/s", -1);  // as the pack keeps them, the change made
        const CommandResult run = RunCommand(dir.path(), {"diff", "items.pak", "items"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.status, c.out.empty() ? 0 : 1) << run.err;
    }
}
#endif

}  // namespace
