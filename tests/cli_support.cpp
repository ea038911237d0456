// What the command-line tests share.
#include "cli_support.h"

#include <cstdlib>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <zlib.h>

#include "pack/descriptions.h"
#include "pack/pack_format.h"

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

std::string Described(const std::string& stored, std::uint32_t size, std::uint32_t crc) {
    descriptions::Item item;
    item.stored = item.path = stored;
    item.mode = 0644;
    item.size = size;
    item.crc = crc;
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(descriptions::Encode({item}, &bytes));
    return std::string(bytes.begin(), bytes.end());
}

void DescribedPacks(const fs::path& dir) {
    const std::string description = Described(
        "f", 4, descriptions::Crc32(0, reinterpret_cast<const unsigned char*>("good"), 4));
    const std::string name = descriptions::DescriptionName(0);
    SavedPack(dir, "described.pak", {{name, description}, {"f", "good"}, {"g", "free"}}, false);
    SavedPack(dir, "changed.pak", {{name, description}, {"f", "gooX"}, {"g", "free"}}, false);
    SavedPack(dir, "changedz.pak", {{name, description}, {"f", "gooX"}}, true);
    SavedPack(dir, "stale.pak", {{name, description}, {"g", "free"}}, false);
    SavedPack(dir, "lookalike.pak", {{name, "not one"}, {"f", "good"}}, false);
}

std::string DescriptionOf(const std::vector<descriptions::Item>& items) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(descriptions::Encode(items, &bytes));
    return std::string(bytes.begin(), bytes.end());
}

std::vector<descriptions::Item> ItemsPack(const fs::path& dir) {
    using descriptions::Kind;
    const auto crc = [](const char* bytes) {
        return descriptions::Crc32(0, reinterpret_cast<const unsigned char*>(bytes),
                                   std::char_traits<char>::length(bytes));
    };
    constexpr std::int64_t kAt = 1700000000'000000005;  // 2023-11-14 22:13:20 UTC
    const std::string stand = descriptions::StandInName(0);
    const std::vector<descriptions::Item> items = {
        {Kind::kFolder, "", 0, 0, 0755, kAt, "d", "", 0},
        {Kind::kFile, "d/a", 3, crc("abc"), 0644, kAt, "d/a", "", 0},
        {Kind::kSymlink, "", 0, 0, 0777, kAt, "d/l", "a", 0},
        {Kind::kHardLink, "", 0, 0, 0644, kAt, "d/h", "d/a", 0},
        {Kind::kFolder, "", 0, 0, 01777, -1, "d/s", "", 0},
        {Kind::kEmpty, "d/e", 1, crc("x"), 0600, kAt, "d/e", "", 0},
        {Kind::kFile, stand, 1, crc("y"), 04755, kAt, "d/" + kLong, "", 0},
    };
    SavedPack(dir, "items.pak",
              {{descriptions::DescriptionName(0), DescriptionOf(items)},
               {"d/a", "abc"},
               {"d/e", "x"},
               {stand, "y"},
               {"plain", "zz"}},
              false);
    return items;
}

void CommandLine::SetUp() {
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
    plain = SavedPack(dir.path(), "p.pak", {{"a.txt", "abc"}, {"notes.txt", "hello notes"}}, false);
    zipped = SavedPack(dir.path(), "z.pak", {{"a.txt", "abc"}, {"notes.txt", "hello notes"}}, true);
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

void CommandLine::Check(const std::vector<CommandCase>& cases) const {
    for (const CommandCase& c : cases) {
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
        if (!c.holds.empty()) {
            EXPECT_NE(run.out.find(ConsoleText(c.holds)), std::string::npos) << run.out;
        }
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

#ifndef _WIN32
std::string AtATerminal(const fs::path& folder, const std::vector<std::string>& args,
                        const std::string& input, bool terminal, bool errOnly) {
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
        const int out = errOnly ? open((io / "stdout").c_str(), O_WRONLY | O_CREAT, 0644) : err;
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

std::pair<int, std::string> Shell(const fs::path& folder, const std::string& command) {
    const std::string err = (folder / "shell.err").string();
    const int status =
        std::system(("cd '" + folder.string() + "' && " + command + " 2>'" + err + "'").c_str());
    std::string said = ReadFile(err);
    fs::remove(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}
#endif
