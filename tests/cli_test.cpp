// The command line: a table of command lines with their exit status, standard error and the
// files they leave; the same files as the menu makes; bounded memory; the progress line.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <zlib.h>

#include "pack/pack_format.h"
#include "pack/pieces.h"
#include "platform/process.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
const std::string kLong = "a-name-of-thirty-two-characters!";  // one too many
const std::string kAbsent = "(absent)";                        // a file that must not exist
#ifdef _WIN32
constexpr bool kPiped = false;  // RunCommand redirects the file
#else
constexpr bool kPiped = true;
#endif

// The bytes of a pack made through the menu's own operations.
std::string SavedPack(const fs::path& dir, const char* name,
                      std::vector<std::pair<std::string, std::string>> entries, bool encode) {
    Pack pack;
    for (const auto& [entry, bytes] : entries) Append(pack, MakeEntry(entry, bytes));
    if (encode) pack.Encode(1);
    const std::string path = (dir / name).string();
    EXPECT_TRUE(pack.Save(path.c_str()));
    return ReadFile(path);
}

// The names of a pack file's entries with their bytes, "name=bytes|...", or "unreadable".
std::string PackContents(const std::string& path) {
    Pack pack;
    if (!pack.Load(path.c_str())) return "unreadable";
    pack.Decode(1);
    std::string held;
    for (PackEntry* e = pack.head; e != nullptr; e = e->next) {
        held += std::string(held.empty() ? "" : "|") + e->name + "=" + BlockBytes(*e);
    }
    return held;
}

// The zlib stream of bytes at a level; 0 makes stored blocks, which inflate as fast as a copy.
std::string Deflated(const std::string& bytes, int level) {
    uLongf length = compressBound(static_cast<uLong>(bytes.size()));
    std::string stream(length, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
                        reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), level),
              Z_OK);
    stream.resize(length);
    return stream;
}

// A compressed pack file's header for `count` records, and one record's head.
std::string PackHeader(std::uint32_t count) {
    unsigned char header[pack_format::kHeaderSize];
    pack_format::EncodeHeader(header, 1, count);
    return std::string(reinterpret_cast<char*>(header), sizeof header);
}
std::string RecordHead(const std::string& name, std::uint32_t size, std::uint32_t stored) {
    char field[PackEntry::kNameSize] = {};
    name.copy(field, sizeof field - 1);
    unsigned char head[pack_format::kRecordHeadSize];
    pack_format::EncodeHead(head, size, stored, field);
    return std::string(reinterpret_cast<char*>(head), sizeof head);
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* folder : {"f", "long", "withempty", "o", "tree", "tree/a", "tree/a/deep",
                                   "bad", "bad/sub", "self", "linked", "linked/sub"}) {
            fs::create_directory(dir.path() / folder);
        }
        WriteFile(dir / "f/a.txt", "abc");
        WriteFile(dir / "f/notes.txt", "hello notes");
        WriteFile(dir / ("long/" + kLong), "x");
        WriteFile(dir / "withempty/a", "a");
        WriteFile(dir / "withempty/empty", "");
        WriteFile(dir / "o/keep.txt", "kept");
        // Whole paths sort as the names of one folder do: "a.txt" before "a/..." ('.' < '/').
        for (const auto& [name, bytes] : kTree) WriteFile(dir / ("tree/" + name), bytes);
        WriteFile(dir / ("bad/" + kLong), "x");
        WriteFile(dir / "bad/empty", "");
        WriteFile(dir / "bad/ok", "fine");
        WriteFile(dir / "bad/sub/twenty-eight-bytes-of-names!", "y");  // 32 bytes as a path
        WriteFile(dir / "self/x", "x");
        plain =
            SavedPack(dir.path(), "p.pak", {{"a.txt", "abc"}, {"notes.txt", "hello notes"}}, false);
        zipped =
            SavedPack(dir.path(), "z.pak", {{"a.txt", "abc"}, {"notes.txt", "hello notes"}}, true);
        SavedPack(dir.path(), "evil.pak", {{"ok", "fine"}, {"../x", "escaped"}}, false);
        SavedPack(dir.path(), "twice.pak", {{"same", "first"}, {"same", "second"}}, true);
        // The second record's stream garbled, then its data cut short.
        std::string bad = zipped;
        const std::size_t second = 9 + 40 + (bad[13] & 0xff) + 40;
        bad.replace(second, 4, "\xff\xff\xff\xff");
        WriteFile(dir / "corrupt.pak", bad);
        WriteFile(dir / "short.pak", zipped.substr(0, zipped.size() - 1));
        // A count of 3 that the two records' bytes cannot hold.
        WriteFile(dir / "over.pak", plain.substr(0, 5) + '\3' + plain.substr(6));
        WriteFile(dir / "-x.pak", plain);  // a name an option could be taken for
        WriteFile(dir / "self/s.pak", plain);
        treePack = SavedPack(dir.path(), "tree.pak", {kTree.begin(), kTree.end()}, false);
        fs::remove(dir.path() / "tree.pak");
        fs::create_directories(dir.path() / "blocked/a.txt");  // a folder where a file goes
        SavedPack(dir.path(), "dot.pak", {{".", "x"}}, false);
        SavedPack(dir.path(), "slash.pak", {{"a/", "x"}}, false);
        WriteFile(dir / "linked/sub/x", "x");  // and, but on Windows, a link to sub
#ifndef _WIN32
        fs::create_directory_symlink("sub", dir.path() / "linked/to-sub");
#endif
        SavedPack(dir.path(), "rooted.pak", {{"/r1", "1"}, {"//r2", "2"}}, false);
        SavedPack(dir.path(), "device.pak", {{"ok", "ok"}, {"aux.txt", "aux"}}, false);
        SavedPack(dir.path(), "dropped.pak", {{"name.", "dot"}}, false);
        // The second needs the first's place as a folder, and would be done long before it.
        SavedPack(dir.path(), "clash.pak", {{"d", std::string(16 << 20, 'd')}, {"d/x", "x"}}, true);
        // Ten entries: the third's stream garbled, the ninth's name without its end.
        std::vector<std::pair<std::string, std::string>> ten;
        for (char i = 1; i <= 10; ++i) ten.emplace_back(Numbered("e", i), std::string(90, i));
        std::string both = SavedPack(dir.path(), "both.pak", ten, true);
        std::size_t at = 9;
        for (int i = 1; i < 9; at += 40 + (both[at + 4] & 0xff), ++i) {
            if (i == 3) both.replace(at + 40, 4, "\xff\xff\xff\xff");
        }
        both.replace(at + 8, 32, std::string(32, 'x'));
        WriteFile(dir / "both.pak", both);
    }
    const std::vector<std::pair<std::string, std::string>> kTree = {
        {"a.txt", "1"}, {"a/deep/y", "3"}, {"a/x", "2"}, {"B.txt", "4"}};
    ScratchDir dir;
    std::string plain, zipped, treePack;
};

TEST_F(CommandLine, Table) {
    const std::string kNoFile = platform::ErrorText(2);  // ENOENT, ERROR_FILE_NOT_FOUND
    const std::string kTry = " (see zorel --help)\n";
    const std::string in = std::string(1, platform::kPathSeparator);  // the folder's files
    const bool windows = platform::kPathSeparator == '\\';
    const std::string null = windows ? "NUL" : "/dev/null";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::map<std::string, std::string> files;  // file -> its bytes, or a pack's contents
        std::string out = "";                      // what standard output begins with
        bool wholeOut = false;                     // ... or is, whole
        std::string piped = "";                    // a file given on standard input
    } cases[] = {
        {{"--version"}, 0, "", {}},
        {{"--help"}, 0, "", {}, "Usage: zorel "},
        {{"unpack", "p.pak"}, 2, "zorel: unpack takes PACKFILE FOLDER [NAME...]" + kTry, {}},
        {{"unpack", "--", "-x.pak", "-o"},
         0,
         "",
         {{"-o/a.txt", "abc"}, {"-o/notes.txt", "hello notes"}}},
        {{"frob"}, 2, "zorel: unknown command 'frob'" + kTry, {}},
        {{"pack", "x.pak"}, 2, "zorel: pack takes PACKFILE FOLDER" + kTry, {{"x.pak", kAbsent}}},
        {{"list", "-q", "p.pak"}, 2, "zorel: unknown option '-q'" + kTry, {}},
        {{"unpack", "-z", "p.pak", "o"},
         2,
         "zorel: -z is an option of pack and add only" + kTry,
         {}},
        {{"pack", "--help"}, 0, "", {}, "Usage: zorel pack [OPTIONS] PACKFILE FOLDER\n"},
        {{"list", "-h"}, 0, "", {}, "Usage: zorel list [OPTIONS] PACKFILE [NAME...]\n"},
        {{"pack", "--jobs=x", "x.pak", "f"},
         2,
         "zorel: -j takes a number of threads" + kTry,
         {{"x.pak", kAbsent}}},
        // Sub-folders: taken with -r, by whole paths in one order; named when left out.
        {{"pack", "-r", "t.pak", "tree"}, 0, "", {{"t.pak", treePack}}},
        {{"pack", "-rzv", "--jobs=1", "t.pak", "tree"},
         0,
         "",
         {{"pack:t.pak", "a.txt=1|a/deep/y=3|a/x=2|B.txt=4"}, {"flag:t.pak", "1"}},
         "a.txt\na/deep/y\na/x\nB.txt\n",
         true},
        {{"pack", "t.pak", "tree"},
         0,
         "zorel: tree" + in + "a: folder left out (pack -r takes sub-folders)\n",
         {{"pack:t.pak", "a.txt=1|B.txt=4"}}},
        // Every file that cannot be packed is named, then the earlier pack stays; --skip packs
        // the rest. The limit holds for the whole path.
        {{"pack", "-r", "p.pak", "bad"},
         1,
         "zorel: bad" + in + kLong + ": name longer than 31 bytes\nzorel: bad" + in +
             "empty: empty file (an entry holds 1 byte or more)\nzorel: bad" + in +
             "sub/twenty-eight-bytes-of-names!: name longer than 31 bytes\n",
         {{"p.pak", plain}}},
        {{"pack", "--skip", "p.pak", "bad"},
         0,
         "zorel: bad" + in + "sub: folder left out (pack -r takes sub-folders)\nzorel: bad" + in +
             kLong + ": left out: name longer than 31 bytes\nzorel: bad" + in +
             "empty: left out: empty file (an entry holds 1 byte or more)\n",
         {{"pack:p.pak", "ok=fine"}}},
        // The pack file met in its own folder is left out, by what it is, not its name.
        {{"pack", "self/s.pak", "self"},
         0,
         "zorel: self" + in + "s.pak: the pack file itself, left out\n",
         {{"pack:self/s.pak", "x=x"}}},
        {{"pack", "--fast", "x.pak", "f"},
         0,
         "",
         {{"pack:x.pak", "a.txt=abc|notes.txt=hello notes"}, {"flag:x.pak", "1"}}},
        // Names, wildcards, and the entries done.
        {{"list", "--names", "z.pak"}, 0, "", {}, "a.txt\nnotes.txt\n", true},
        {{"list", "-1", "z.pak", "n*.t?t"}, 0, "", {}, "notes.txt\n", true},
        {{"list", "-1", "z.pak", "[!a-m]*"}, 0, "", {}, "notes.txt\n", true},
        {{"list", "z.pak", "*.jpg"}, 1, "zorel: z.pak: *.jpg: no such entry\n", {}},
        {{"unpack", "-v", "z.pak", "o", "[m-z]*"},
         0,
         "",
         {{"o/notes.txt", "hello notes"}, {"o/a.txt", kAbsent}},
         "notes.txt\n",
         true},
        {{"unpack", "z.pak", "o", "a.txt", "*.jpg"},
         1,
         "zorel: z.pak: *.jpg: no such entry\n",
         {{"o/a.txt", "abc"}}},
        {{"remove", "-v", "z.pak", "a.txt"},
         0,
         "",
         {{"pack:z.pak", "notes.txt=hello notes"}},
         "a.txt\n",
         true},
        {{"pack", "x.pak", "o"}, 0, "", {{"pack:x.pak", "keep.txt=kept"}}},
        {{"pack", null, "f"}, 0, "", {}},
        {{"pack", "f", "f"}, 1, "zorel: f: the target is a folder\n", {{"f/a.txt", "abc"}}},
        {{"add", "-", "f/a.txt"}, 2, "zorel: add needs a pack file, not -" + kTry, {}},
        {{"remove", "-", "a.txt"}, 2, "zorel: remove needs a pack file, not -" + kTry, {}},
        {{"unpack", "p.pak", "blocked"},
         1,
         "zorel: p.pak: entry 1 (a.txt): the target is a folder\n",
         {{"blocked/notes.txt", kAbsent}}},
        {{"unpack", "dot.pak", "o"},
         1,
         "zorel: dot.pak: entry 1 (.): the name holds no file name\n",
         {}},
        {{"pack", "-r", "l.pak", "linked"},
         0,
         windows ? ""
                 : "zorel: linked/to-sub: link to a folder left out (links to folders are not "
                   "followed)\n",
         {{"pack:l.pak", "sub/x=x"}}},
        {{"unpack", "p.pak", "o", "a.txt", "a*"},
         0,
         "",
         {{"o/a.txt", "abc"}, {"o/notes.txt", kAbsent}}},
        {{"unpack", "slash.pak", "o"},
         1,
         "zorel: slash.pak: entry 1 (a/): the name holds no file name\n",
         {}},
        {{"unpack", "rooted.pak", "o"},
         0,
         "zorel: removing leading '/' from entry names\n",
         {{"o/r1", "1"}, {"o/r2", "2"}}},
        {{"unpack", "clash.pak", "new"},
         1,
         "zorel: clash.pak: entry 2 (d/x): " + platform::ErrorText(windows ? 123 : ENOTDIR) + "\n",
         {{"new/d", std::string(16 << 20, 'd')}}},
        {{"unpack", "device.pak", "new"},
         windows ? 1 : 0,
         windows ? "zorel: device.pak: entry 2 (aux.txt): a name Windows reserves for a device\n"
                 : "",
         {{"new/ok", "ok"}}},
        {{"unpack", "dropped.pak", "new"},
         windows ? 1 : 0,
         windows ? "zorel: dropped.pak: entry 1 (name.): a name Windows would change\n" : "",
         {{"new/name", kAbsent}}},
        {{"pack", "--fast", "-z", "x.pak", "o"}, 0, "", {{"pack:x.pak", "keep.txt=kept"}}},
        {{"list", "--fast", "p.pak"},
         2,
         "zorel: --fast is an option of pack and add only" + kTry,
         {}},
        {{"pack", "p.pak", "missing"}, 1, "zorel: missing: " + kNoFile + "\n", {{"p.pak", plain}}},
        {{"pack", "p.pak", "long"},
         1,
         "zorel: long" + in + kLong + ": name longer than 31 bytes\n",
         {{"p.pak", plain}}},
        {{"pack", "p.pak", "withempty"},
         1,
         "zorel: withempty" + in + "empty: empty file (an entry holds 1 byte or more)\n",
         {{"p.pak", plain}}},
        {{"list", "missing.pak"}, 1, "zorel: missing.pak: " + kNoFile + "\n", {}},
        {{"list", "f/a.txt"}, 1, "zorel: f/a.txt: not a pack file\n", {}},
        {{"list", "short.pak"},
         1,
         "zorel: short.pak: entry 2: record is damaged or cut short\n",
         {}},
        {{"list", "over.pak"}, 1, "zorel: over.pak: not a pack file\n", {}},
        {{"test", "over.pak"}, 1, "zorel: over.pak: not a pack file\n", {}},
        {{"unpack", "over.pak", "new"},
         1,
         "zorel: over.pak: not a pack file\n",
         {{"new", kAbsent}}},
        {{"test", "z.pak"}, 0, "", {}},
        {{"test", "corrupt.pak"},
         1,
         "zorel: corrupt.pak: entry 2 (notes.txt): compressed data is corrupt\n",
         {}},
        {{"unpack", "corrupt.pak", "o"},
         1,
         "zorel: corrupt.pak: entry 2 (notes.txt): compressed data is corrupt\n",
         {{"o/a.txt", "abc"}, {"o/notes.txt", kAbsent}, {"o/keep.txt", "kept"}}},
        {{"unpack", "short.pak", "new"},
         1,
         "zorel: short.pak: entry 2: record is damaged or cut short\n",
         {{"new/a.txt", "abc"}, {"new/notes.txt", kAbsent}}},
        {{"test", "both.pak"},
         1,
         "zorel: both.pak: entry 3 (e3): compressed data is corrupt\n",
         {}},
        {{"unpack", "both.pak", "new"},
         1,
         "zorel: both.pak: entry 3 (e3): compressed data is corrupt\n",
         {{"new/e2", std::string(90, 2)}, {"new/e3", kAbsent}}},
        {{"unpack", "z.pak", "o", "notes.txt"},
         0,
         "",
         {{"o/notes.txt", "hello notes"}, {"o/a.txt", kAbsent}}},
        {{"unpack", "twice.pak", "o"}, 0, "", {{"o/same", "second"}}},
        {{"unpack", "z.pak", "o", "nope"}, 1, "zorel: z.pak: nope: no such entry\n", {}},
        {{"unpack", "evil.pak", "o"},
         1,
         "zorel: evil.pak: entry 2 (../x): name climbs out of the folder\n",
         {{"o/ok", "fine"}, {"x", kAbsent}}},
        {{"add", "new.pak", "f/a.txt"}, 0, "", {{"pack:new.pak", "f/a.txt=abc"}}},
        {{"add", "--fast", "z.pak", "f/notes.txt"},
         0,
         "",
         {{"pack:z.pak", "a.txt=abc|notes.txt=hello notes|f/notes.txt=hello notes"}}},
        {{"add", "p.pak", "f/a.txt", "missing"},
         1,
         "zorel: missing: " + kNoFile + "\n",
         {{"p.pak", plain}}},
        {{"add", "p.pak", "long/" + kLong},
         1,
         "zorel: long/" + kLong + ": name longer than 31 bytes\n",
         {{"p.pak", plain}}},
        {{"add", "--skip", "p.pak", "missing", "f", "f/a.txt"},
         0,
         "zorel: missing: left out: " + kNoFile + "\nzorel: f: left out: not a regular file\n",
         {{"pack:p.pak", "a.txt=abc|notes.txt=hello notes|f/a.txt=abc"}}},
        {{"add", "-z", "new.pak", "f/a.txt"},
         0,
         "",
         {{"pack:new.pak", "f/a.txt=abc"}, {"flag:new.pak", "1"}}},
        {{"add", "-z", "p.pak", "f/a.txt"},
         2,
         "zorel: -z compresses, and p.pak is a pack of plain entries" + kTry,
         {{"p.pak", plain}}},
        {{"add", "-v", "p.pak", "../w/f/a.txt", "p.pak"},
         0,
         "zorel: ../w/f/a.txt: '..' parts taken away, stored as w/f/a.txt\n"
         "zorel: p.pak: the pack file itself, left out\n",
         {{"pack:p.pak", "a.txt=abc|notes.txt=hello notes|w/f/a.txt=abc"}},
         "w/f/a.txt\n",
         true},
        {{"remove", "z.pak", "a.txt"}, 0, "", {{"pack:z.pak", "notes.txt=hello notes"}}},
        {{"remove", "p.pak", "notes.txt", "nope"},
         1,
         "zorel: p.pak: nope: no such entry\n",
         {{"p.pak", plain}}},
        {{"remove", "p.pak", ""}, 1, "zorel: p.pak: : no such entry\n", {{"p.pak", plain}}},
        {{"remove", "p.pak", "a.txt", "notes.txt"},
         0,
         "",
         {{"p.pak", std::string("UPz3\0\0\0\0\0", 9)}}},
        // "-" is standard input for unpack, list and test: a pipe, read as it comes (a file
        // redirected there on Windows).
        {{"unpack", "-", "o"},
         0,
         "",
         {{"o/a.txt", "abc"}, {"o/notes.txt", "hello notes"}},
         "",
         false,
         "z.pak"},
        {{"list", "-"}, 0, "", {}, "\n\n--[ Pack Countents ]", false, "z.pak"},
        {{"test", "-"},
         1,
         kPiped ? "zorel: -: entry 3: record is damaged or cut short\n"
                : "zorel: -: not a pack file\n",
         {},
         "",
         false,
         "over.pak"},
        {{"unpack", "-", "o"},
         1,
         "zorel: -: entry 2 (notes.txt): compressed data is corrupt\n",
         {{"o/a.txt", "abc"}, {"o/notes.txt", kAbsent}},
         "",
         false,
         "corrupt.pak"},
        {{"list", "-"},
         1,
         "zorel: -: entry 2: record is damaged or cut short\n",
         {},
         "",
         false,
         "short.pak"},
        {{"test", "-"}, 1, "zorel: -: not a pack file\n", {}, "", false, "f/a.txt"},
    };
    for (const Case& c : cases) {
        ScratchDir scratch;
        const fs::path fresh = scratch.path() / "w";
        fs::copy(dir.path(), fresh, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        const CommandResult run = RunCommand(fresh, c.args, {}, c.piped);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, ConsoleText(c.err));
        const std::string out = ConsoleText(c.out);
        EXPECT_EQ(c.wholeOut ? run.out : run.out.substr(0, out.size()), out);
        for (const auto& [file, expected] : c.files) {
            if (file.rfind("flag:", 0) == 0) {  // the pack's compressed flag
                EXPECT_EQ(ReadFile((fresh / file.substr(5)).string()).substr(4, 1),
                          expected == "1" ? std::string(1, '\1') : std::string(1, '\0'));
            } else if (file.rfind("pack:", 0) == 0) {
                EXPECT_EQ(PackContents((fresh / file.substr(5)).string()), expected) << file;
            } else if (expected == kAbsent) {
                EXPECT_FALSE(fs::exists(fresh / file)) << file;
            } else {
                EXPECT_TRUE(ReadFile((fresh / file).string()) == expected) << file;
            }
        }
        EXPECT_EQ(TempFilesIn(fresh) + TempFilesIn(fresh / "o"), 0);
    }
}

// A stream is judged alike whether its entry is decoded whole or, too large for that, in pieces
// (on a worker from a file, when taken from a pipe): only exactly its size and checksum pass, and
// input that ends inside the record is the record's damage.
TEST_F(CommandLine, StreamVerdictsAreTheSameWholeAndInPieces) {
    for (const bool whole : {true, false}) {
        std::string plain(whole ? 4000 : 25 << 20, '\0');
        for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * i >> 9);
        const std::string stream = Deflated(plain, whole ? 6 : 0);
        const auto size = static_cast<std::uint32_t>(plain.size());
        PackEntry head;
        head.size = size;
        head.storedSize = static_cast<std::uint32_t>(stream.size());
        head.compressed = 1;
        ASSERT_EQ(WholeCost(head) <= kWholeCostMost, whole);
        std::string checksum = stream;
        checksum.back() ^= 1;
        const std::string kCorrupt = "entry 2 (big): compressed data is corrupt\n";
        const struct {
            const char* what;
            std::uint32_t size;
            std::string stream;
            std::string err;  // behind "zorel: FILE: "
            std::size_t cut;  // the file ends this many bytes early
        } variants[] = {{"exact, bytes behind it", size, stream + "tail", "", 0},
                        {"short", size + 1, stream, kCorrupt, 0},
                        {"long", size - 1, stream, kCorrupt, 0},
                        {"checksum", size, checksum, kCorrupt, 0},
                        {"stream cut", size, stream.substr(0, stream.size() - 1), kCorrupt, 0},
                        {"input cut", size, stream, "entry 2: record is damaged or cut short\n",
                         stream.size() / 2}};
        for (const auto& v : variants) {
            const std::string first = Deflated("first", 6);
            std::string pack = PackHeader(2) + RecordHead("first", 5, first.size()) + first +
                               RecordHead("big", v.size, v.stream.size()) + v.stream;
            WriteFile(dir / "v.pak", pack.substr(0, pack.size() - v.cut));
            for (const bool piped : {false, true}) {
                const std::string name = piped ? "-" : "v.pak";
                SCOPED_TRACE(std::string(whole ? "whole, " : "in pieces, ") + v.what + ", " + name);
                const CommandResult test =
                    RunCommand(dir.path(), {"test", name}, {}, piped ? "v.pak" : "");
                EXPECT_EQ(test.err,
                          ConsoleText(v.err.empty() ? "" : "zorel: " + name + ": " + v.err));
                const CommandResult unpack =
                    RunCommand(dir.path(), {"unpack", name, "out"}, {}, piped ? "v.pak" : "");
                EXPECT_EQ(unpack.status, v.err.empty() ? 0 : 1);
                EXPECT_EQ(unpack.err, test.err);
                EXPECT_EQ(ReadFile(dir / "out/first"), "first");
                EXPECT_TRUE(ReadFile(dir / "out/big") == (v.err.empty() ? plain : ""));
                EXPECT_EQ(fs::exists(dir.path() / "out/big"), v.err.empty());
                EXPECT_EQ(TempFilesIn(dir.path() / "out"), 0);
                fs::remove_all(dir.path() / "out");
            }
        }
    }
}

// A name that climbs out stops an unpack before any entry behind it is taken: deep in a large
// pack, the menu and the command line write every entry before it and none behind it. (Were it
// refused on the workers, each run would most often write some behind it: hence two rounds.)
TEST_F(CommandLine, NothingBehindAClimbingNameIsWritten) {
    Pack pack;
    for (std::uint32_t i = 1; i <= 2001; ++i) {
        Append(pack,
               MakeEntry(i == 1501 ? "../evil" : Numbered("e", i), std::string(1 + i % 300, 'x')));
    }
    ASSERT_TRUE(pack.Save((dir / "deep.pak").c_str()));
    for (int round = 0; round < 2; ++round) {
        RunProgram(dir.path(), "1\ndeep.pak\n\n4\nby-menu\n\n0\n\n");
        EXPECT_EQ(
            RunCommand(dir.path(), {"unpack", "deep.pak", "by-cli"}).err,
            ConsoleText("zorel: deep.pak: entry 1501 (../evil): name climbs out of the folder\n"));
        for (const char* folder : {"by-menu", "by-cli"}) {
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / folder), {}), 1500)
                << folder;
            EXPECT_TRUE(fs::exists(dir.path() / folder / "e1500")) << folder;
            fs::remove_all(dir.path() / folder);
        }
        EXPECT_FALSE(fs::exists(dir.path() / "evil"));
    }
}

// Records an add or remove keeps are copied as they are, never decoded: a stream whose zlib
// header no decoder accepts survives byte for byte.
TEST_F(CommandLine, KeptRecordsAreCopiedAsTheyAre) {
    std::string odd = zipped;
    odd[9 + 40 + 1] ^= 0x01;  // the header's check bits no longer match
    WriteFile(dir / "odd.pak", odd);
    ASSERT_EQ(RunCommand(dir.path(), {"add", "odd.pak", "f/a.txt"}).status, 0);
    ASSERT_EQ(RunCommand(dir.path(), {"remove", "odd.pak", "f/a.txt"}).status, 0);
    EXPECT_TRUE(ReadFile(dir / "odd.pak") == odd);
}

// Entries are written on worker threads, yet of entries that land on one file the last in the
// pack wins.
TEST_F(CommandLine, UnpackOnWorkersKeepsThePacksOrder) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 200; ++i) {
        entries.emplace_back(i % 2 == 0 ? "same" : "./same",
                             std::string(1 + i % 7, 'x') + std::to_string(i));
    }
    entries.emplace_back("last", "end");
    SavedPack(dir.path(), "many.pak", entries, true);
    EXPECT_EQ(RunCommand(dir.path(), {"unpack", "many.pak", "out"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "out/same"), entries[199].second);
    EXPECT_EQ(ReadFile(dir / "out/last"), "end");
}

// pack -z makes the file keys 3, 8 and 2 make, into a file or into standard output; pack the
// one of keys 3 and 2; unpack writes the files of keys 1 and 4; list prints what key 7 prints.
// Files of several megabytes are compressed ahead of their turn; they still land in order.
TEST_F(CommandLine, SameFilesAsTheMenu) {
    fs::create_directory(dir.path() / "empty");
    fs::create_directory(dir.path() / "mixed");
    std::string big;
    for (unsigned i = 0; big.size() < 7 * kMiB; ++i) big += std::to_string(i * 7919u % 1000) + " ";
    WriteFile(dir / "f/big", big.substr(0, 300000));
    WriteFile(dir / "mixed/b", big.substr(kMiB));
    WriteFile(dir / "mixed/z", big);
    for (int i = 0; i < 40; ++i) {
        WriteFile(dir / ("mixed/" + std::string(i < 20 ? "a" : "c") + std::to_string(i)),
                  big.substr(i, 1000 + i));
    }
    // Taken ahead, the four 6 MiB files fill the window (40 MiB + 3 x 6 MiB, each counted at
    // 2 1/8 times its size) before "a", the first in order, fits: they wait for it.
    fs::create_directory(dir.path() / "ahead");
    WriteFile(dir / "ahead/a", big.substr(0, 4 * kMiB));
    for (char c = '0'; c < '4'; ++c) {
        WriteFile(dir / (std::string("ahead/b") + c), c + big.substr(0, 6 * kMiB));
    }
    for (const char* folder : {"f", "empty", "long", "mixed", "ahead"}) {
        SCOPED_TRACE(folder);
        const std::string f = folder;
        for (const bool z : {false, true}) {
            const bool packed = RunProgram(dir.path(), "3\n" + f + "\n\n" + (z ? "8\n\n" : "") +
                                                           "2\nmenu.pak\n\n0\n\n")
                                    .find("packed Successfully") != std::string::npos;
            const auto pack = [&](const std::string& to) {
                return RunCommand(dir.path(), z ? std::vector<std::string>{"pack", "-z", to, f}
                                                : std::vector<std::string>{"pack", to, f});
            };
            const CommandResult piped = pack("-");  // standard output, a pipe
            EXPECT_EQ(pack("cli.pak").status, packed ? 0 : 1);
            EXPECT_EQ(piped.status, packed ? 0 : 1);
            if (!packed) {
                EXPECT_FALSE(fs::exists(dir.path() / "cli.pak"));
                continue;
            }
            EXPECT_TRUE(ReadFile(dir / "cli.pak") == ReadFile(dir / "menu.pak"));
            EXPECT_TRUE(piped.out == ReadFile(dir / "menu.pak"));
            if (z) {  // other streams, the same files
                ASSERT_EQ(RunCommand(dir.path(), {"pack", "--fast", "-z", "fast.pak", f}).status,
                          0);
#ifndef ZOREL_NO_LIBDEFLATE  // without libdeflate, --fast is zlib's compressor too
                EXPECT_EQ(ReadFile(dir / "fast.pak") != ReadFile(dir / "menu.pak"), f != "empty");
#endif
                EXPECT_TRUE(PackContents(dir / "fast.pak") == PackContents(dir / "menu.pak"));
            }
            const std::string menu =
                RunProgram(dir.path(), "1\nmenu.pak\n\n7\n\n4\nby-menu\n\n0\n\n");
            if (f != "empty") {  // the menu does not load a pack of no entries
                const std::string list = RunCommand(dir.path(), {"list", "menu.pak"}).out;
                EXPECT_NE(list.find("Total Compression"), std::string::npos);
                const std::string screen = ConsoleText(kMenuScreen);
                EXPECT_NE(menu.find(screen + list + screen), std::string::npos) << list;
            }
            EXPECT_EQ(RunCommand(dir.path(), {"unpack", "menu.pak", "by-cli"}).status, 0);
            for (const auto& item : fs::directory_iterator(dir.path() / "by-menu")) {
                const std::string name = item.path().filename().string();
                EXPECT_TRUE(ReadFile(dir / ("by-cli/" + name)) == ReadFile(item.path().string()));
            }
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "by-menu"), {}),
                      std::distance(fs::directory_iterator(dir.path() / "by-cli"), {}));
            for (const char* gone : {"menu.pak", "cli.pak", "fast.pak", "by-menu", "by-cli"}) {
                fs::remove_all(dir.path() / gone);
            }
        }
    }
}

#ifndef _WIN32
// Names that differ only in case come out in one order, however the folder lists them (made
// here half one way round, half the other), from the menu and from the command line.
TEST_F(CommandLine, NamesDifferingOnlyInCaseHaveOneOrder) {
    fs::create_directory(dir.path() / "case");
    for (const char* name : {"b", "B", "Q.dat", "q.dat", "x1", "X1", "K-2", "k-2", "readme.TXT",
                             "README.txt", "Z", "z", "a.b", "A.B", "mid", "mID", "Mid", "MID"}) {
        WriteFile(dir / ("case/" + std::string(name)), name);
    }
    RunProgram(dir.path(), "3\ncase\n\n2\nmenu.pak\n\n0\n\n");
    ASSERT_EQ(RunCommand(dir.path(), {"pack", "cli.pak", "case"}).status, 0);
    for (const char* file : {"menu.pak", "cli.pak"}) {
        Pack pack;
        ASSERT_TRUE(pack.Load((dir / file).c_str())) << file;
        EXPECT_EQ(Names(pack),
                  "A.B,a.b,B,b,K-2,k-2,MID,Mid,mID,mid,Q.dat,q.dat,README.txt,readme.TXT,X1,x1,Z,z")
            << file;
    }
}
#endif

// A file that cannot be packed fails the pack by its name, also when it was taken ahead of its
// turn for its size, and the earlier pack file stays.
TEST_F(CommandLine, AFileTakenAheadFailsByName) {
    fs::create_directory(dir.path() / "huge");
    WriteFile(dir / "huge/a", "abc");
    WriteFile(dir / "huge/b", "");
    fs::resize_file(dir.path() / "huge/b", std::uint64_t{1} << 32);  // sparse: nothing is written
    WriteFile(dir / "huge/c", "xyz");
    const std::string err =
        "zorel: huge" + std::string(1, platform::kPathSeparator) + "b: file of 4 GiB or more\n";
    for (const auto& args : {std::vector<std::string>{"pack", "-z", "p.pak", "huge"},
                             std::vector<std::string>{"pack", "p.pak", "huge"}}) {
        const CommandResult run = RunCommand(dir.path(), args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, ConsoleText(err));
        EXPECT_TRUE(ReadFile(dir / "p.pak") == plain);
    }
}

#if !defined(_WIN32)
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZOREL_NO_ADDRESS_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZOREL_NO_ADDRESS_LIMIT 1
#endif
#endif

// A folder larger than the address space allowed packs and unpacks one record at a time, and a
// file larger than it is packed in pieces, into a pack file or through a pipe (its stream held
// back in a spill until its turn); the menu, which holds the whole pack, cannot pack it under the
// same limit.
TEST_F(CommandLine, StreamsMoreThanTheAddressSpaceHolds) {
#ifdef ZOREL_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper needs more address space";
    const struct {
        int files;
        std::size_t size, random;  // each file's bytes, the first `random` of them random
        std::uint64_t limit;
        std::string pack;  // "-": through a pipe
    } cases[] = {{10, 10 * kMiB, 10 * kMiB, 64 * kMiB + 3 * 10 * kMiB, "big.pak"},
                 {2, 40 * kMiB, 24 * kMiB, 64 * kMiB, "-"},
                 {2, 40 * kMiB, 24 * kMiB, 64 * kMiB, "big.pak"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.files) + " files into " + c.pack);
        fs::remove_all(dir.path() / "big");
        fs::remove_all(dir.path() / "back");
        fs::create_directory(dir.path() / "big");
        // Random bytes: the streams are as large as them, so a reader that took the whole pack
        // at once would hold more than the limit.
        std::string block(c.size, '\0');
        std::uint64_t state = 88172645463325252ull;
        for (std::size_t i = 0; i < c.random; ++i) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            block[i] = static_cast<char>(state);
        }
        for (int i = 0; i < c.files; ++i) {
            block[0] = static_cast<char>('0' + i);
            WriteFile(dir / ("big/" + std::to_string(i)), block);
        }
        RunLimits limits;
        limits.addressSpace = c.limit;
        const CommandResult pack = RunCommand(dir.path(), {"pack", "-z", c.pack, "big"}, limits);
        EXPECT_EQ(pack.status, 0) << pack.err;
        if (c.pack == "-") WriteFile(dir / "big.pak", pack.out);
        const CommandResult unpack = RunCommand(dir.path(), {"unpack", "big.pak", "back"}, limits);
        EXPECT_EQ(unpack.status, 0) << unpack.err;
        for (int i = 0; i < c.files; ++i) {
            block[0] = static_cast<char>('0' + i);
            EXPECT_TRUE(ReadFile(dir / ("back/" + std::to_string(i))) == block) << i;
        }
        int status = -1;
        const std::string menu = RunProgram(dir.path(), "3\nbig\n\n0\n\n", &status, limits);
        EXPECT_NE(menu.find("The folder was packed UnSuccessfully!"), std::string::npos);
    }
}

// The zlib stream of `size` zero bytes, fed to deflate a piece at a time, and their CRC-32.
std::string ZeroStream(std::uint64_t size, uLong* crc) {
    const std::string zeros(64 * kMiB, '\0');
    const auto* zero = reinterpret_cast<const Bytef*>(zeros.data());
    const uLong whole = crc32(0, zero, static_cast<uInt>(zeros.size()));
    std::string stream, out(kMiB, '\0');
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_RLE);
    *crc = 0;
    for (std::uint64_t left = size; left != 0;) {
        const auto length = static_cast<uInt>(std::min<std::uint64_t>(left, zeros.size()));
        *crc =
            length == zeros.size() ? crc32_combine(*crc, whole, length) : crc32(*crc, zero, length);
        left -= length;
        z.next_in = const_cast<Bytef*>(zero);
        z.avail_in = length;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            stream.append(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return stream;
}

// What the reading commands hold does not depend on what the entries claim: under 64 MiB of
// address space, an entry of 4 GiB - 1 zero bytes (a pack of 4 MB) is tested, one of 1 GiB is
// unpacked and its file read back by its CRC-32, and heads claiming 4 GiB followed by the end of
// a pipe cost no more.
TEST_F(CommandLine, ReadingMemoryIsBoundedWhateverEntriesClaim) {
#ifdef ZOREL_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper needs more address space";
    RunLimits limits;
    limits.addressSpace = 64 * kMiB;
    for (const std::uint32_t size : {UINT32_MAX, 1u << 30}) {
        uLong crc = 0;
        const std::string stream = ZeroStream(size, &crc);
        WriteFile(dir / "zeros.pak",
                  PackHeader(1) + RecordHead("zeros", size, stream.size()) + stream);
        const bool unpack = size != UINT32_MAX;
        const CommandResult run =
            RunCommand(dir.path(),
                       unpack ? std::vector<std::string>{"unpack", "zeros.pak", "out"}
                              : std::vector<std::string>{"test", "zeros.pak"},
                       limits);
        EXPECT_EQ(run.status, 0) << size << ": " << run.err;
        if (!unpack) continue;
        std::ifstream in(dir / "out/zeros", std::ios::binary);
        uLong read = 0;
        std::uint64_t length = 0;
        for (std::string piece(16 * kMiB, '\0');
             in.read(piece.data(), piece.size()) || in.gcount();) {
            const auto got = static_cast<uInt>(in.gcount());
            read = crc32(read, reinterpret_cast<const Bytef*>(piece.data()), got);
            length += got;
        }
        EXPECT_EQ(length, size);
        EXPECT_EQ(read, crc);
        fs::remove(dir.path() / "out/zeros");
    }
    WriteFile(dir / "claim.pak", PackHeader(1) + RecordHead("claim", UINT32_MAX, UINT32_MAX));
    std::string plain = PackHeader(1) + RecordHead("claim", UINT32_MAX, 0);
    plain[pack_format::kFlagOffset] = 0;
    WriteFile(dir / "plain.pak", plain);
    for (const char* pack : {"claim.pak", "plain.pak"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"list", "-"}, {"test", "-"}, {"unpack", "-", "out"}}) {
            const CommandResult run = RunCommand(dir.path(), args, limits, pack);
            EXPECT_EQ(run.err, "zorel: -: entry 1: record is damaged or cut short\n")
                << pack << " " << args[0];
        }
    }
    EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
}

// A pack file that cannot be written is named as the failure, not the entry being written;
// the earlier file stays.
TEST_F(CommandLine, WriteFailuresNameThePackFile) {
    // Room for all but the last byte: only the final flush fails, and no pack file is left.
    for (const auto& args : {std::vector<std::string>{"pack", "x.pak", "f"},
                             std::vector<std::string>{"pack", "-z", "x.pak", "f"}}) {
        ASSERT_EQ(RunCommand(dir.path(), args).status, 0);
        RunLimits end;
        end.fileSize = fs::file_size(dir.path() / "x.pak") - 1;
        fs::remove(dir.path() / "x.pak");
        const CommandResult run = RunCommand(dir.path(), args, end);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err + run.out, "zorel: x.pak: " + platform::ErrorText(EFBIG) + "\n");
        EXPECT_FALSE(fs::exists(dir.path() / "x.pak"));
        EXPECT_EQ(TempFilesIn(dir.path()), 0);
    }
    std::string noise(1500000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * i >> 7);
    WriteFile(dir / "f/noise", noise);
    RunLimits limits;
    limits.fileSize = 64 << 10;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"pack", "p.pak", "f"}, {"add", "p.pak", "f/noise"}}) {
        const CommandResult run = RunCommand(dir.path(), args, limits);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "zorel: p.pak: " + platform::ErrorText(EFBIG) + "\n");
        EXPECT_TRUE(ReadFile(dir / "p.pak") == plain);
        EXPECT_EQ(TempFilesIn(dir.path()), 0);
    }
    // remove rewrites the pack whole: its failure names the pack too, which keeps its bytes.
    ASSERT_EQ(RunCommand(dir.path(), {"add", "big.pak", "f/a.txt", "f/noise"}).status, 0);
    const std::string big = ReadFile(dir / "big.pak");
    const CommandResult run = RunCommand(dir.path(), {"remove", "big.pak", "f/a.txt"}, limits);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zorel: big.pak: " + platform::ErrorText(EFBIG) + "\n");
    EXPECT_TRUE(ReadFile(dir / "big.pak") == big);
}

// list reads heads and seeks past the data: a pack of 9 GiB (sparse) lists under 64 MiB.
TEST_F(CommandLine, ListsAPackFarLargerThanMemory) {
#ifdef ZOREL_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper needs more address space";
    constexpr std::uint64_t kEntry = 3ull << 30;
    {
        const std::string path = dir / "huge.pak";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const char header[9] = {'U', 'P', 'z', '3', 0, 3, 0, 0, 0};
        ASSERT_EQ(pwrite(fd, header, 9, 0), 9);
        for (std::uint64_t i = 0; i < 3; ++i) {
            char head[40] = {0, 0, 0,   static_cast<char>(0xc0),   0, 0,
                             0, 0, 'h', static_cast<char>('0' + i)};
            ASSERT_EQ(pwrite(fd, head, 40, static_cast<off_t>(9 + i * (40 + kEntry))), 40);
        }
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(9 + 3 * (40 + kEntry))), 0);
        close(fd);
    }
    RunLimits limits;
    limits.addressSpace = 64 * kMiB;
    const CommandResult list = RunCommand(dir.path(), {"list", "huge.pak"}, limits);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("    3: h2        "), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Total Size:     \t\t9437184.0 KB\n"), std::string::npos);
    EXPECT_NE(list.out.find("Number of Files:\t\t3\n"), std::string::npos);
}

// Runs the program with standard error on a pseudo-terminal (or on a pipe); gives what the
// terminal (the pipe) received.
std::string StandardError(const fs::path& folder, const std::vector<std::string>& args,
                          const std::string& input, bool terminal) {
    int master = -1;
    int ends[2] = {-1, -1};
    if (terminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no terminal";
    } else if (pipe(ends) != 0) {
        return "no pipe";
    }
    ScratchDir io;
    WriteFile(io / "stdin", input);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int err = terminal ? open(ptsname(master), O_RDWR) : ends[1];
        const int in = open((io / "stdin").c_str(), O_RDONLY);
        const int out = open((io / "stdout").c_str(), O_WRONLY | O_CREAT, 0644);
        if (err < 0 || in < 0 || out < 0 || chdir(folder.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(ZOREL_BINARY)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZOREL_BINARY, argv.data());
        _exit(127);
    }
    if (!terminal) close(ends[1]);
    const int from = terminal ? master : ends[0];
    std::string received;
    char buffer[4096];
    for (ssize_t got; (got = read(from, buffer, sizeof buffer)) > 0;) received.append(buffer, got);
    int status = 0;
    waitpid(child, &status, 0);
    close(from);
    return received;
}

// A name read from a pack reaches a terminal with each control character as '?', and a pipe
// byte for byte.
TEST_F(CommandLine, NamesReachATerminalWithoutControlCharacters) {
    const std::string evil = "\x1b]0;PWNED\x07\x1b[31m/../x";
    SavedPack(dir.path(), "esc.pak", {{"ok", "fine"}, {evil, "bad"}}, false);
    const std::vector<std::string> unpack{"unpack", "esc.pak", "o"};
    const std::string said = ": name climbs out of the folder";
    EXPECT_EQ(StandardError(dir.path(), unpack, "", true),
              "zorel: esc.pak: entry 2 (?]0;PWNED??[31m/../x)" + said + "\r\n");
    EXPECT_EQ(StandardError(dir.path(), unpack, "", false),
              "zorel: esc.pak: entry 2 (" + evil + ")" + said + "\n");
}

// A shell command's exit status and standard error, run in folder.
std::pair<int, std::string> Shell(const fs::path& folder, const std::string& command) {
    const std::string err = (folder / "shell.err").string();
    const int status =
        std::system(("cd '" + folder.string() + "' && " + command + " 2>'" + err + "'").c_str());
    std::string said = ReadFile(err);
    fs::remove(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}

// Output that cannot be written fails the command that prints it.
TEST_F(CommandLine, AFailedWriteOfStandardOutputFails) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string zorel = ProgramWrapper() + " " + ZOREL_BINARY;
    for (const char* args : {"--help", "--version", "pack --help", "list z.pak", "list -1 z.pak",
                             "unpack -v z.pak o"}) {
        SCOPED_TRACE(args);
        const auto [status, err] = Shell(dir.path(), zorel + " " + args + " >/dev/full");
        EXPECT_EQ(status, 1);
        EXPECT_EQ(err, "zorel: standard output: " + platform::ErrorText(ENOSPC) + "\n");
    }
}

// The bash completion offers the verbs, a verb's options, folders and the pack's entry names.
TEST_F(CommandLine, BashCompletionOffersVerbsOptionsAndEntries) {
    if (Shell(dir.path(), "command -v bash >/dev/null").first != 0) GTEST_SKIP() << "no bash";
    const std::string bin = fs::path(ZOREL_BINARY).parent_path().string();
    auto offered = [&](const std::string& words) {
        const std::string got = (dir.path() / "offered").string();
        WriteFile(dir / "complete.sh", "source '" ZOREL_SOURCE "/completion/zorel.bash'\nPATH='" +
                                           bin + "':$PATH\nCOMP_WORDS=(" + words +
                                           ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_zorel\n"
                                           "printf '%s\\n' \"${COMPREPLY[@]}\" >'" +
                                           got + "'\n");
        EXPECT_EQ(Shell(dir.path(), "bash complete.sh").first, 0) << words;
        return ReadFile(got);
    };
    EXPECT_EQ(offered("zorel ''"), "pack\nunpack\nlist\ntest\nadd\nremove\n--help\n--version\n");
    EXPECT_EQ(offered("zorel pack --re"), "--recursive\n");
    EXPECT_EQ(offered("zorel pack -r x.pak tr"), "tree\n");
    EXPECT_EQ(offered("zorel unpack -j 2 z.pak o n"), "notes.txt\n");
}

TEST_F(CommandLine, ProgressOnlyOnATerminal) {
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper writes on standard error";
    fs::create_directory(dir.path() / "slow");
    std::string text;
    for (int i = 0; text.size() < 4 * kMiB; ++i) text += std::to_string(i * 2654435761u) + "\n";
    for (const char* name : {"slow/1", "slow/2"}) WriteFile(dir / name, text);
    const std::vector<std::string> pack{"pack", "-z", "s.pak", "slow"};
    const std::string menu = "3\nslow\n\n8\n\n0\n\n";
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        bool commandLine = true;  // the first run; the menu's second
        for (std::string seen : {StandardError(dir.path(), pack, "", terminal),
                                 StandardError(dir.path(), {}, menu, terminal)}) {
            const bool summed = std::exchange(commandLine, false);
            if (!terminal) {
                EXPECT_EQ(seen, "");
                continue;
            }
            // The command line's ends with its summary, once the line is erased.
            const std::size_t at = seen.rfind("zorel: packed 2 entries, 8.0 MiB in ");
            EXPECT_EQ(at != std::string::npos, summed) << seen;
            if (at != std::string::npos) {
                EXPECT_EQ(seen.substr(seen.size() - 2), "\r\n");  // the terminal's line end
                EXPECT_NE(seen.find("% saved)", at), std::string::npos) << seen;
                EXPECT_NE(seen.find("%, "), std::string::npos) << seen;  // the share done
                seen.erase(at);
            }
            // Shown, then erased: the last thing on the terminal is a blank line start.
            EXPECT_NE(seen.find(" files, "), std::string::npos) << seen;
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), '\r');
            EXPECT_EQ(seen.find_first_not_of(' ', seen.rfind('\r', seen.size() - 2) + 1),
                      seen.size() - 1);
        }
    }
}
#endif

}  // namespace
