// unpack and test on the command line: their table, one verdict on a stream whole or in pieces,
// nothing behind a climbing name, the pack's order on workers, memory whatever entries claim.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>

#include "cli_support.h"
#include "pack/descriptions.h"
#include "pack/pieces.h"

namespace {

TEST_F(CommandLine, UnpackAndTestTable) {
    DescribedPacks(dir.path());
    const std::string kChanged = ": entry 2 (f): bytes differ from their checksum\n";
    // An entry moved in pieces, then a small one.
    const std::string large = Deflated(std::string(49 << 20, 'L'), 9), b = Deflated("b", 9);
    WriteFile(dir / "large.pak", PackHeader(2) + RecordHead("a.txt", 49 << 20, large.size()) +
                                     large + RecordHead("b.txt", 1, b.size()) + b);
    WriteFile(dir / "tree.pak", treePack);
    Check({
        {{"test", "described.pak"}, 0, "", {}},
        {{"test", "changed.pak"}, 1, "zorel: changed.pak" + kChanged, {}},
        {{"test", "changedz.pak"}, 1, "zorel: changedz.pak" + kChanged, {}},
        {{"unpack", "described.pak", "o"},
         0,
         "",
         {{"o/f", "good"}, {"o/g", "free"}, {"o/.zoreldesc.0", kAbsent}}},
        {{"test", "stale.pak"},
         0,
         "zorel: stale.pak: .zoreldesc.0: 1 described entry not in the pack\n",
         {}},
        {{"unpack", "stale.pak", "o"}, 0, "", {{"o/g", "free"}, {"o/f", kAbsent}}},
        {{"unpack", "lookalike.pak", "o"}, 0, "", {{"o/.zoreldesc.0", "not one"}, {"o/f", "good"}}},
        {{"unpack", "changed.pak", "o", "f"},
         1,
         "zorel: changed.pak" + kChanged,
         {{"o/f", kAbsent}}},
        {{"unpack", "lookalike.pak", "o", "f"},
         0,
         "",
         {{"o/.zoreldesc.0", kAbsent}, {"o/f", "good"}}},
        {{"unpack", "lookalike.pak", "o", ".z*"},
         0,
         "",
         {{"o/.zoreldesc.0", "not one"}, {"o/f", kAbsent}}},
        {{"unpack", "changed.pak", "o"},
         1,
         "zorel: changed.pak" + kChanged,
         {{"o/f", kAbsent}, {"o/.zoreldesc.0", kAbsent}}},
        {{"unpack", "-", "o"},
         1,
         "zorel: -" + kChanged,
         {{"o/f", kAbsent}},
         "",
         false,
         "changedz.pak"},
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
        {{"unpack", "p.pak", "blocked"},
         1,
         "zorel: p.pak: entry 1 (a.txt): the target is a folder\n",
         {{"blocked/notes.txt", kAbsent}}},
        {{"unpack", "dot.pak", "o"},
         1,
         "zorel: dot.pak: entry 1 (.): the name holds no file name\n",
         {}},
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
         "zorel: clash.pak: entry 2 (d/x): " + platform::ErrorText(kWindows ? 123 : ENOTDIR) + "\n",
         {{"new/d", std::string(16 << 20, 'd')}}},
        {{"unpack", "device.pak", "new"},
         kWindows ? 1 : 0,
         kWindows ? "zorel: device.pak: entry 2 (aux.txt): a name Windows reserves for a device\n"
                  : "",
         {{"new/ok", "ok"}}},
        {{"unpack", "dropped.pak", "new"},
         kWindows ? 1 : 0,
         kWindows ? "zorel: dropped.pak: entry 1 (name.): a name Windows would change\n" : "",
         {{"new/name", kAbsent}}},
        {{"test", "over.pak"}, 1, "zorel: over.pak: not a pack file\n", {}},
        {{"unpack", "p.pak"}, 0, "", {{"a.txt", "abc"}, {"notes.txt", "hello notes"}}},
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
        // "-" is standard input for unpack, list and test: a pipe, read as it comes (a file
        // redirected there on Windows).
        {{"unpack", "-", "o"},
         0,
         "",
         {{"o/a.txt", "abc"}, {"o/notes.txt", "hello notes"}},
         "",
         false,
         "z.pak"},
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
        {{"test", "-"}, 1, "zorel: -: not a pack file\n", {}, "", false, "f/a.txt"},
        // An existing file: replaced, or kept and named.
        {{"unpack", "-k", "twice.pak", "o"},
         0,
         "zorel: same: kept, a file is there\n",
         {{"o/same", "first"}, {"o/keep.txt", "kept"}}},
        {{"unpack", "--keep-newer-files", "twice.pak", "o"},
         0,
         "zorel: same: kept, a file is there\n",
         {{"o/same", "first"}}},
        {{"unpack", "-k", "-", "f"},
         0,
         "zorel: a.txt: kept, a file is there\n",
         {{"f/a.txt", "abc"}, {"f/b.txt", "b"}},
         "",
         false,
         "large.pak"},
        {{"unpack", "--keep-old-files", "large.pak", "f"},
         0,
         "zorel: a.txt: kept, a file is there\n",
         {{"f/a.txt", "abc"}, {"f/b.txt", "b"}}},
        // --exclude and --strip-components.
        {{"list", "-1", "--exclude=a.txt", "p.pak"}, 0, "", {}, "notes.txt\n", true},
        {{"list", "-1", "--exclude=deep", "tree.pak", "a*"}, 0, "", {}, "a.txt\na/x\n", true},
        {{"test", "--exclude=notes.txt", "corrupt.pak"}, 0, "", {}},
        {{"unpack", "--exclude", "a*", "p.pak", "o"},
         0,
         "",
         {{"o/a.txt", kAbsent}, {"o/notes.txt", "hello notes"}}},
        {{"unpack", "--strip-components=1", "tree.pak", "o"},
         0,
         "",
         {{"o/x", "2"}, {"o/deep/y", "3"}, {"o/a.txt", kAbsent}, {"o/B.txt", kAbsent}}},
        {{"unpack", "--strip-components=x", "p.pak"},
         2,
         "zorel: --strip-components takes a number of folders" + kTry,
         {}},
        {{"list", "--strip-components=1", "p.pak"},
         2,
         "zorel: --strip-components is an option of unpack only" + kTry,
         {}},
        // -O: the bytes alone on standard output, nothing on disk.
        {{"unpack", "-O", "z.pak"},
         0,
         "",
         {{"a.txt", kAbsent}, {"o/a.txt", kAbsent}},
         "abchello notes",
         true},
        {{"unpack", "--to-stdout", "p.pak", "n*"},
         0,
         "",
         {{"notes.txt", kAbsent}},
         "hello notes",
         true},
        {{"unpack", "-O", "-"}, 0, "", {}, "abchello notes", true, "z.pak"},
        {{"unpack", "-O", "z.pak", "nope"}, 1, "zorel: z.pak: nope: no such entry\n", {}, "", true},
        {{"unpack", "-O", "corrupt.pak"},
         1,
         "zorel: corrupt.pak: entry 2 (notes.txt): compressed data is corrupt\n",
         {},
         "abc",
         true},
    });
}

// A folder that cannot be made is told by the system's own reason, not by its absence.
TEST_F(CommandLine, AFolderThatCannotBeMadeSaysWhy) {
    if (kWindows) GTEST_SKIP() << "no folder there that the system refuses to make";
    const fs::path refused = "/sys/zorel-unmade";  // refused to root too
    std::error_code made;
    if (fs::create_directory(refused, made) || !made) {
        fs::remove(refused);
        GTEST_SKIP() << "the folder could be made";
    }
    Check({{{"unpack", "p.pak", refused.string()},
            1,
            "zorel: " + refused.string() + ": " + platform::ErrorText(made.value()) + "\n",
            {}}});
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
        const std::uint32_t plainCrc = descriptions::Crc32(
            0, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
        std::string checksum = stream;
        checksum.back() ^= 1;
        const std::string kCorrupt = "entry 2 (big): compressed data is corrupt\n";
        const struct {
            const char* what;
            std::uint32_t size;
            std::string stream;
            std::string err;        // behind "zorel: FILE: "
            std::size_t cut;        // the file ends this many bytes early
            std::uint32_t crc = 0;  // not 0: a description ahead gives big this CRC-32
        } variants[] = {{"exact, bytes behind it", size, stream + "tail", "", 0},
                        {"described", size, stream, "", 0, plainCrc},
                        {"described, other bytes", size, stream,
                         "entry 3 (big): bytes differ from their checksum\n", 0, plainCrc ^ 1},
                        {"short", size + 1, stream, kCorrupt, 0},
                        {"long", size - 1, stream, kCorrupt, 0},
                        {"checksum", size, checksum, kCorrupt, 0},
                        {"stream cut", size, stream.substr(0, stream.size() - 1), kCorrupt, 0},
                        {"input cut", size, stream, "entry 2: record is damaged or cut short\n",
                         stream.size() / 2}};
        for (const auto& v : variants) {
            const std::string first = Deflated("first", 6);
            std::string pack = PackHeader(v.crc != 0 ? 3 : 2);
            if (v.crc != 0) {
                const std::string described = Described("big", size, v.crc);
                const std::string deflated = Deflated(described, 6);
                pack += RecordHead(descriptions::DescriptionName(0), described.size(),
                                   deflated.size()) +
                        deflated;
            }
            pack += RecordHead("first", 5, first.size()) + first +
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

#ifndef _WIN32
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
#endif

}  // namespace
