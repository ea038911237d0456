// pack on the command line: its table, the same files as the menu makes, one order of names,
// failures by name, files of 4 GiB or more as parts, memory that does not grow with the folder,
// write failures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <utility>

// clang-format off
#include "pack/records.h"  // before cli_support.h, whose PackHeader() hides the type
// clang-format on
#include "cli_support.h"
#include "pack/descriptions.h"
#include "pack/pieces.h"

namespace {

TEST_F(CommandLine, PackTable) {
    const std::string null = kWindows ? "NUL" : "/dev/null";
    Check({
        // Sub-folders: taken with -r, by whole paths in one order; named when left out.
        {{"pack", "-r", "--plain", "t.pak", "tree"}, 0, "", {{"t.pak", treePack}}},
        {{"pack", "-rzv", "--plain", "--jobs=1", "t.pak", "tree"},
         0,
         "",
         {{"pack:t.pak", "a.txt=1|a/deep/y=3|a/x=2|B.txt=4"}, {"flag:t.pak", "1"}},
         "a.txt\na/deep/y\na/x\nB.txt\n",
         true},
        {{"pack", "t.pak", "tree"},
         0,
         "zorel: tree" + kIn + "a: folder left out (pack -r takes sub-folders)\n",
         {{"pack:t.pak", "a.txt=1|B.txt=4"}}},
        // Every file that cannot be packed is named, then the earlier pack stays; --skip packs
        // the rest. The limit holds for the whole path.
        {{"pack", "-r", "--plain", "p.pak", "bad"},
         1,
         "zorel: bad" + kIn + kLong + ": name longer than 31 bytes\nzorel: bad" + kIn +
             "empty: empty file (an entry holds 1 byte or more)\nzorel: bad" + kIn +
             "sub/twenty-eight-bytes-of-names!: name longer than 31 bytes\n" + CannotPack(3),
         {{"p.pak", plain}}},
        // Described, a path of any length is taken under a stand-in, an empty file too.
        {{"pack", "-r", "p.pak", "bad"}, 0, "", {}},
        {{"pack", "-r", "--plain", "--skip", "p.pak", "withempty"},
         0,
         "zorel: withempty" + kIn + "empty: left out: empty file (an entry holds 1 byte or more)\n",
         {{"pack:p.pak", "a=a"}}},
        {{"pack", "--skip", "p.pak", "bad"},
         0,
         "zorel: bad" + kIn + "sub: folder left out (pack -r takes sub-folders)\nzorel: bad" + kIn +
             kLong + ": left out: name longer than 31 bytes\nzorel: bad" + kIn +
             "empty: left out: empty file (an entry holds 1 byte or more)\n",
         {{"pack:p.pak", "ok=fine"}}},
        {{"pack", "-r", "--plain", "l.pak", "linked"},
         0,
         kWindows ? ""
                  : "zorel: linked/to-sub: link to a folder left out (links to folders are not "
                    "followed)\n",
         {{"pack:l.pak", "sub/x=x"}}},
        // The pack file met in its own folder is left out, by what it is, not its name.
        {{"pack", "self/s.pak", "self"},
         0,
         "zorel: self" + kIn + "s.pak: the pack file itself, left out\n",
         {{"pack:self/s.pak", "x=x"}}},
        {{"pack", "--fast", "x.pak", "f"},
         0,
         "",
         {{"pack:x.pak", "a.txt=abc|notes.txt=hello notes"}, {"flag:x.pak", "1"}}},
        {{"pack", "x.pak", "o"}, 0, "", {{"pack:x.pak", "keep.txt=kept"}}},
        {{"pack", null, "f"}, 0, "", {}},
        {{"pack", "f", "f"}, 1, "zorel: f: the target is a folder\n", {{"f/a.txt", "abc"}}},
        {{"pack", "--fast", "-z", "x.pak", "o"}, 0, "", {{"pack:x.pak", "keep.txt=kept"}}},
        {{"pack", "p.pak", "missing"}, 1, "zorel: missing: " + kNoFile + "\n", {{"p.pak", plain}}},
        {{"pack", "p.pak", "long"},
         1,
         "zorel: long" + kIn + kLong + ": name longer than 31 bytes\n" + CannotPack(1),
         {{"p.pak", plain}}},
        {{"pack", "p.pak", "withempty"},
         1,
         "zorel: withempty" + kIn + "empty: empty file (an entry holds 1 byte or more)\n" +
             CannotPack(1),
         {{"p.pak", plain}}},
    });
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
    const std::string err = "zorel: huge" + std::string(1, platform::kPathSeparator) +
                            "b: file of 4 GiB or more\n" + CannotPack(1);
    // Without descriptions it is refused, never cut.
    for (const auto& args : {std::vector<std::string>{"pack", "-z", "p.pak", "huge"},
                             std::vector<std::string>{"pack", "p.pak", "huge"},
                             std::vector<std::string>{"pack", "-r", "--plain", "p.pak", "huge"}}) {
        const CommandResult run = RunCommand(dir.path(), args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, ConsoleText(err));
        EXPECT_TRUE(ReadFile(dir / "p.pak") == plain);
    }
}

#ifndef _WIN32
// Described, a file of 4 GiB or more is packed as parts of 2 GiB under stand-ins, each described
// by its path, offset, size and CRC-32, read from the file in order: their bytes are the file's.
TEST_F(CommandLine, PacksAFileOf4GiBOrMoreAsParts) {
#ifdef ZOREL_ADDRESS_SANITIZER
    GTEST_SKIP() << "4 GiB read three times is too slow under the sanitizer";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "4 GiB read three times is too slow there";
    const std::uint64_t part = std::uint64_t{1} << 31, size = 2 * part + 5;
    fs::create_directory(dir.path() / "huge");
    WriteFile(dir / "huge/.zorellong.1", "taken");  // a stand-in's name is never taken twice
    WriteFile(dir / "huge/b", "");
    fs::resize_file(dir.path() / "huge/b", size);  // sparse: a byte marks where each part begins
    std::FILE* file = std::fopen((dir.path() / "huge/b").c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    for (const std::uint64_t at : {std::uint64_t{0}, part, 2 * part + 4}) {
        ASSERT_EQ(fseeko(file, static_cast<off_t>(at), SEEK_SET), 0);
        std::fputc(static_cast<int>('A' + at % 7), file);
    }
    std::fclose(file);
    ASSERT_EQ(RunCommand(dir.path(), {"pack", "-r", "p.pak", "huge"}).status, 0);
    // The items of the pack's descriptions, and the CRC-32 of each entry by its stored name.
    struct Crc final : PieceSink {
        uLong crc = crc32(0, nullptr, 0);
        bool Write(const unsigned char* bytes, std::size_t length, platform::Reason*) override {
            crc = crc32_z(crc, bytes, length);
            return true;
        }
    };
    std::vector<descriptions::Item> items;
    std::map<std::string, std::pair<std::uint32_t, uLong>> entries;  // size, CRC-32
    PackReader reader;
    platform::Reason why = 0;
    ASSERT_TRUE(reader.Open((dir.path() / "p.pak").c_str(), &why));
    for (PackEntry head; reader.NextHead(&head, &why);) {
        if (descriptions::IsDescriptionName(head.name)) {
            ASSERT_TRUE(reader.ReadData(&head, &why));
            std::vector<descriptions::Item> more;
            ASSERT_TRUE(descriptions::Decode(head.Lock(), head.size, &more));
            items.insert(items.end(), more.begin(), more.end());
            continue;
        }
        Crc sink;
        ASSERT_TRUE(MovePieces(head, reader, &sink, &why));
        EXPECT_TRUE(entries.insert({head.name, {head.size, sink.crc}}).second) << head.name;
    }
    ASSERT_EQ(items.size(), 4u);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(items[0].stored, ".zorellong.1");  // the ordinary file, first by its name
    EXPECT_EQ(items[0].kind, descriptions::Kind::kFile);
    uLong joined = crc32(0, nullptr, 0);
    for (std::size_t i = 1; i < 4; ++i) {
        SCOPED_TRACE(i);
        const descriptions::Item& item = items[i];
        EXPECT_EQ(item.kind, descriptions::Kind::kPart);
        EXPECT_EQ(item.path, "b");
        EXPECT_EQ(item.offset, (i - 1) * part);
        EXPECT_EQ(item.size, i < 3 ? part : 5);
        const auto entry = entries.find(item.stored);
        ASSERT_NE(entry, entries.end());
        EXPECT_EQ(entry->second.first, item.size);
        EXPECT_EQ(entry->second.second, item.crc);
        joined = crc32_combine(joined, entry->second.second, entry->second.first);
    }
    // The parts' bytes, one after the other, are the file's.
    file = std::fopen((dir.path() / "huge/b").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    FilePieces bytes(file);
    Crc whole;
    EXPECT_TRUE(MovePieces(PackEntry{}, bytes, &whole, &why));  // plain: copied as they come
    std::fclose(file);
    EXPECT_EQ(joined, whole.crc);
}

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
        std::string how;   // how pack compresses ("": plain)
    } cases[] = {{10, 10 * kMiB, 10 * kMiB, 64 * kMiB + 3 * 10 * kMiB, "big.pak", "-z"},
                 {2, 40 * kMiB, 24 * kMiB, 64 * kMiB, "-", "-z"},
                 {2, 40 * kMiB, 24 * kMiB, 64 * kMiB, "big.pak", "-z"},
                 {2, 40 * kMiB, 24 * kMiB, 64 * kMiB, "big.pak", "--fast"},
                 {1, 60 * kMiB, 24 * kMiB, 64 * kMiB, "big.pak", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.files) + " files into " + c.pack + " " + c.how);
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
        std::vector<std::string> args{"pack", c.how, c.pack, "big"};
        if (c.how.empty()) args.erase(args.begin() + 1);
        const CommandResult pack = RunCommand(dir.path(), args, limits);
        EXPECT_EQ(pack.status, 0) << pack.err;
        if (c.pack == "-") WriteFile(dir / "big.pak", pack.out);
        // Adding copies the large records already there a piece at a time.
        WriteFile(dir / "more", "more");
        const CommandResult add = RunCommand(dir.path(), {"add", "big.pak", "more"}, limits);
        EXPECT_EQ(add.status, 0) << add.err;
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
#endif

}  // namespace
