// The command line's convert: archives made by the system's own tools into packs and back out
// through them, hostile and damaged archives, and an entry larger than the address space.
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "cli_support.h"
#ifdef ZOREL_CONVERT
#include "convert/archive_out.h"
#include "convert/to_pack.h"
#endif

#if defined(ZOREL_CONVERT) && !defined(_WIN32)
namespace {

// Every regular file below folder (whose path from it begins with `under`) by that path, with
// its length and a hash of its bytes.
std::map<std::string, std::string> FilesBelow(const fs::path& folder,
                                              const std::string& under = "") {
    std::map<std::string, std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const std::string path = fs::relative(item.path(), folder).string();
        if (item.is_regular_file() && path.compare(0, under.size(), under) == 0) {
            const std::string bytes = ReadFile(item.path().string());
            files[path] = std::to_string(bytes.size()) + "#" +
                          std::to_string(std::hash<std::string>()(bytes));
        }
    }
    return files;
}

bool Have(const char* tool) {
    return Shell(fs::temp_directory_path(), std::string("command -v >/dev/null ") + tool).first ==
           0;
}

// Every item below folder by its path: kind, mode and time (in steps of `step` ns), a file's
// length and a hash of its bytes or a link's target; with links, the first path of the files
// that share a file's bytes on disk.
std::map<std::string, std::string> TreeBelow(const fs::path& folder, std::int64_t step,
                                             bool links) {
    std::map<std::string, std::string> items;
    std::map<std::pair<dev_t, ino_t>, std::string> first;
    if (!fs::exists(folder)) return items;
    std::vector<fs::path> paths(fs::recursive_directory_iterator(folder), {});
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
        struct stat facts {};
        if (::lstat(path.c_str(), &facts) != 0) continue;
        const std::int64_t ns =
            std::int64_t{facts.st_mtim.tv_sec} * 1000000000 + facts.st_mtim.tv_nsec;
        std::string& item = items[path.lexically_relative(folder).string()];
        item = (S_ISDIR(facts.st_mode)   ? "d "
                : S_ISLNK(facts.st_mode) ? "l "
                                         : "f ") +
               std::to_string(facts.st_mode & 07777) + " " + std::to_string(ns / step);
        if (S_ISLNK(facts.st_mode)) item += " -> " + fs::read_symlink(path).string();
        if (!S_ISREG(facts.st_mode)) continue;
        const std::string bytes = ReadFile(path.string());
        item += " " + std::to_string(bytes.size()) + "#" +
                std::to_string(std::hash<std::string>()(bytes));
        if (links && facts.st_nlink > 1) {
            item +=
                " =" +
                first.emplace(std::pair(facts.st_dev, facts.st_ino), path.filename()).first->second;
        }
    }
    return items;
}

// The tree each row archives: modes, times to the nanosecond, a symbolic and a hard link, an
// empty file and folder, a path over 31 bytes, a file moved in pieces and files for more than
// one description.
constexpr char kArchivedTree[] =
    "mkdir -p t/sub/deep t/emptydir && printf one > t/a.txt && printf 3 > t/sub/c && "
    ": > t/empty && ln -s a.txt t/ln && ln t/sub/c t/hard && "
    "printf long > t/sub/a_path_that_is_longer_than_31_bytes.txt && "
    "head -c 5242880 /dev/zero | tr '\\0' b > t/sub/deep/b && printf end >> t/sub/deep/b && "
    "mkdir t/many && for i in $(seq 300); do echo $i > t/many/$i; done && "
    "chmod 751 t/a.txt && chmod 600 t/sub/c && chmod 700 t/emptydir && "
    "touch -h -d '2021-03-04 05:06:07.123456789' $(find t -depth)";

// Each row: an archive made by a system tool, converted to a pack, which unpacks to the tree
// as the archive keeps it; that pack converted to another archive, which a system tool unpacks:
// the files come back as they were.
TEST_F(CommandLine, ConvertsToAndFromTheArchivesOfOtherTools) {
    const struct {
        const char* tool;    // what the row needs
        const char* make;    // makes `in` of folder t
        const char* toPack;  // converts it into p.pak ('@' is zorel convert)
        const char* toOut;   // ... p.pak into another archive
        const char* unmake;  // unpacks the archive made into folder x
        std::int64_t step;   // the archive's times, in ns
        bool links;          // it keeps hard links
        const char* listed;  // IN and OUT listed by `tar --full-time -tvf`, owners aside, match
    } rows[] = {
        {"tar", "tar --format=pax -cf in.tar t", "@ in.tar p.pak", "@ p.pak o.tar",
         "tar -xf o.tar -C x", 1, true, "in.tar o.tar"},
        {"gzip", "tar --format=pax -czf in.tgz t", "@ -z in.tgz p.pak", "@ p.pak o.tar.gz",
         "tar -xzf o.tar.gz -C x", 1, true, "in.tgz o.tar.gz"},
        {"zip", "zip -qry in.zip t", "@ --fast in.zip p.pak", "@ p.pak o.zip",
         "unzip -q o.zip -d x", 1000000000, false, nullptr},
        {"7z", "7z a -bd -bso0 in.7z t", "@ in.7z p.pak", "@ p.pak o.7z", "7z x -bd -bso0 -ox o.7z",
         100, false, nullptr},
        // Both ways through pipes, and through standard streams that are files.
        {"bsdtar", "bsdtar --format=newc -cf in.cpio t", "cat in.cpio | @ - p.pak",
         "cat p.pak | @ --format=tar - - | tar -xf - -C x", "true", 1000000000, true, nullptr},
        {"unzip", "zip -qry in.zip t", "@ -z --format=pack - - < in.zip > p.pak",
         "@ p.pak - --format=zip > o.zip", "unzip -q o.zip -d x", 1000000000, false, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.make);
        if (!Have(row.tool)) {
            std::printf("%s missing: row left out\n", row.tool);
            continue;
        }
        ScratchDir work;
        ASSERT_EQ(Shell(work.path(), kArchivedTree).first, 0);
        ASSERT_EQ(Shell(work.path(), row.make).first, 0);
        const auto zorel = [](std::string command) {
            const std::size_t at = command.find('@');
            return command.replace(at, 1, std::string("'") + ZOREL_BINARY + "' convert");
        };
        fs::create_directory(work.path() / "x");
        const auto pack = Shell(work.path(), zorel(row.toPack));
        EXPECT_EQ(pack.first, 0) << pack.second;
        const auto unpacked = RunCommand(work.path(), {"unpack", "p.pak", "y"});
        EXPECT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_EQ(TreeBelow(work.path() / "y/t", row.step, row.links),
                  TreeBelow(work.path() / "t", row.step, row.links));
        const auto out = Shell(work.path(), zorel(row.toOut));
        EXPECT_EQ(out.first, 0) << out.second;
        const auto unmade = Shell(work.path(), row.unmake);
        EXPECT_EQ(unmade.first, 0) << unmade.second;
        EXPECT_EQ(FilesBelow(work.path() / "x"), FilesBelow(work.path(), "t/"));
        if (row.listed == nullptr) continue;
        const auto listed = [&](const std::string& archive) {
            const std::string owners = R"( | awk '{$2=""; print}' | sort > listed)";
            const auto r = Shell(work.path(), "tar --full-time -tvf " + archive + owners);
            EXPECT_EQ(r.first, 0) << r.second;
            return ReadFile(work / "listed");
        };
        const std::string names = row.listed, in = names.substr(0, names.find(' '));
        const std::string want = listed(in);
        EXPECT_NE(want.find("2021-03-04 05:06:07.123456789"), std::string::npos) << want;
        EXPECT_EQ(listed(names.substr(in.size() + 1)), want);
    }
    if (!Have("7z")) GTEST_SKIP() << "7z missing (apt-get install p7zip-full): its row left out";
}

// Each row: an archive convert must not trust, what it must say, and what it leaves.
TEST_F(CommandLine, ConvertTrustsNoArchive) {
    if (!Have("python3")) GTEST_SKIP() << "python3 missing: the archives are made with tarfile";
    ScratchDir work;
    // Hostile names, a device, a FIFO, a link and an empty file, made by python's tarfile; and
    // a tar cut short inside its second file.
    ASSERT_EQ(Shell(work.path(), R"(python3 -c "
import tarfile, io
t = tarfile.open('hostile.tar', 'w')
def add(name, kind=tarfile.REGTYPE, data=b'data', link=''):
    i = tarfile.TarInfo(name); i.type = kind; i.linkname = link
    i.size = len(data) if kind == tarfile.REGTYPE else 0
    t.addfile(i, io.BytesIO(data) if i.size else None)
add('../x'); add('/abs'); add('dev/null', tarfile.CHRTYPE); add('fifo', tarfile.FIFOTYPE)
t.close()
t = tarfile.open('links.tar', 'w')
add('kept'); add('ln', tarfile.SYMTYPE, link='kept'); add('empty', data=b'')
add('d', tarfile.DIRTYPE); add('d/' + 'long' * 10)
t.close()
t = tarfile.open('whole.tar', 'w')
add('first'); add('second', data=b'x' * 100000)
t.close()
open('cut.tar', 'wb').write(open('whole.tar', 'rb').read()[:20000])
t = tarfile.open('big.tar', 'w')
add('first'); add('big', data=b'y' * (6 << 20))
t.close()
open('bigcut.tar', 'wb').write(open('big.tar', 'rb').read()[:3 << 20])
open('junk.tar', 'wb').write(b'not an archive at all' * 100)
")")
                  .first,
              0);
    const struct {
        const char* args;
        int status;
        std::vector<std::string> said;  // each on standard error
        const char* out;                // OUT's entries (list -1), or kAbsent
    } rows[] = {
        {"hostile.tar o.pak",
         0,
         {"../x: '..' parts taken away, stored as x\n",
          "/abs: leading '/' taken away, stored as abs\n",
          "dev/null: not a regular file, left out\n", "fifo: not a regular file, left out\n"},
         "x\nabs\n"},
        // Described, every kind is kept; plain, what a pack alone cannot hold is named.
        {"links.tar o.pak",
         0,
         {},
         "ln\nd/\nkept\nempty\nd/longlonglonglonglonglonglonglonglonglong\n"},
        {"--plain links.tar o.pak",
         1,
         {"ln: not a regular file\n", "empty: empty file",
          "d/longlonglonglonglonglonglonglonglonglong: name longer than 31 bytes\n"},
         "(absent)"},
        {"--plain --skip links.tar o.pak", 0, {"ln: left out: not a regular file\n"}, "kept\n"},
        {"cut.tar o.pak", 1, {"cut.tar: entry 2 (second): Truncated tar archive\n"}, "(absent)"},
        {"cut.tar o.zip", 1, {"cut.tar: entry 2 (second): Truncated tar archive\n"}, "(absent)"},
        {"junk.tar o.pak", 1, {"junk.tar: Unrecognized archive format\n"}, "(absent)"},
        // Cut inside an item moved in pieces as it is read, plain or compressed.
        {"bigcut.tar o.pak", 1, {"bigcut.tar: entry 2 (big): Truncated tar archive\n"}, "(absent)"},
        {"-z bigcut.tar o.pak",
         1,
         {"bigcut.tar: entry 2 (big): Truncated tar archive\n"},
         "(absent)"},
        {"-v big.tar o.pak", 0, {}, "first\nbig\n"},
        {"hostile.tar none/o.pak", 1, {"none/o.pak: No such file or directory\n"}, "(absent)"},
        {"hostile.tar none/o.zip", 1, {"none/o.zip: No such file or directory\n"}, "(absent)"},
        {"hostile.tar -", 2, {"convert to standard output needs --format"}, "(absent)"},
        {"hostile.tar o.rar", 2, {"o.rar is not known by its name: give --format"}, "(absent)"},
        {"-z hostile.tar o.tar", 2, {"-z compresses a pack only"}, "(absent)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        for (const char* out : {"o.pak", "o.zip", "o.tar"}) fs::remove(work.path() / out);
        const auto run =
            Shell(work.path(), std::string("'") + ZOREL_BINARY + "' convert " + row.args);
        EXPECT_EQ(run.first, row.status) << run.second;
        for (const std::string& said : row.said) {
            EXPECT_NE(run.second.find(said), std::string::npos) << run.second;
        }
        std::string made = kAbsent;
        for (const char* out : {"o.pak", "o.zip", "o.tar"}) {
            if (fs::exists(work.path() / out)) made = out;
        }
        if (made == "o.pak") made = RunCommand(work.path(), {"list", "-1", "o.pak"}).out;
        EXPECT_EQ(made, row.out);
    }
}

// A tar.gz of 18 MiB holding an entry of 4 GiB - 1 zero bytes converts into a pack in 256 MiB of
// address space: the entry is moved in pieces as it is read, never held whole.
TEST_F(CommandLine, ConvertsAnEntryLargerThanTheAddressSpace) {
#ifdef ZOREL_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper needs more address space";
    if (!Have("python3")) GTEST_SKIP() << "python3 missing: the archive is made with tarfile";
    // Concatenated gzip members: the tar head, 4096 MiB of zeros (the entry and its padding),
    // the tar's end.
    ASSERT_EQ(Shell(dir.path(), R"(python3 -c "
import tarfile, gzip
i = tarfile.TarInfo('zeros'); i.size = 4294967295
zeros = gzip.compress(bytes(1 << 20), 1)
with open('big.tgz', 'wb') as f:
    f.write(gzip.compress(i.tobuf()))
    for _ in range(4096): f.write(zeros)
    f.write(gzip.compress(bytes(1024)))
")")
                  .first,
              0);
    RunLimits limits;
    limits.addressSpace = 256 * kMiB;
    const CommandResult run = RunCommand(dir.path(), {"convert", "big.tgz", "big.pak"}, limits);
    EXPECT_EQ(run.status, 0) << run.err;
    std::uint64_t length = 0;
    platform::RegularFileLength((dir / "big.pak").c_str(), &length);
    // The pack's head, the entry's record and its description's (a head of 40 bytes and 56).
    EXPECT_EQ(length, std::uint64_t{4294967295} + 9 + 40 + 40 + 56);
    fs::remove(dir.path() / "big.pak");
}

// A file held by parts is one entry of the archive, its whole length in its head and its
// parts' bytes in order, so the system's tar lists and reads it whole; parts that do not
// follow one another as described (one missing, out of order, another entry or description
// between them, bytes changed) fail the file, leaving no archive.
TEST_F(CommandLine, ConvertJoinsAFileInParts) {
    using descriptions::Kind;
    const std::string part[] = {"abc", "defg", "hi"};
    std::vector<descriptions::Item> items;
    for (std::uint32_t i = 0, at = 0; i < 3; at += part[i++].size()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(part[i].data());
        items.push_back({Kind::kPart, descriptions::StandInName(i),
                         static_cast<std::uint32_t>(part[i].size()),
                         descriptions::Crc32(0, bytes, part[i].size()), 0640, 1700000000'000000000,
                         "d/big", "", at});
    }
    const char* missing = "(d/big): a part of the file is missing";
    const struct {
        const char* entries;  // the pack's entries after its description: a part by its number
        const char* said;     // on standard error
        std::string made;     // o.tar as `tar -tvf` lists it (size and name), then big's bytes
    } rows[] = {
        {"012p", "", "9 d/big\n2 p\nabcdefghi"},
        {"02p", missing, kAbsent},
        {"01", missing, kAbsent},
        {"021", missing, kAbsent},
        {"12", missing, kAbsent},
        {"0p12", missing, kAbsent},
        {"0D12", missing, kAbsent},
        {"01x", "(d/big): bytes differ from their checksum", kAbsent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entries);
        ScratchDir work;
        std::vector<std::pair<std::string, std::string>> entries = {
            {descriptions::DescriptionName(0), DescriptionOf(items)}};
        for (const char* e = row.entries; *e != '\0'; ++e) {
            if (*e == 'p') entries.emplace_back("p", "zz");
            if (*e == 'D')
                entries.emplace_back(descriptions::DescriptionName(1), entries[0].second);
            if (*e == 'x') entries.emplace_back(items[2].stored, "HI");  // its CRC-32 not kept
            if (*e >= '0' && *e <= '2')
                entries.emplace_back(items[*e - '0'].stored, part[*e - '0']);
        }
        SavedPack(work.path(), "in.pak", entries, false);
        const auto run =
            Shell(work.path(), std::string("'") + ZOREL_BINARY + "' convert in.pak o.tar");
        EXPECT_EQ(run.first, row.made == kAbsent ? 1 : 0) << run.second;
        EXPECT_NE(run.second.find(row.said), std::string::npos) << run.second;
        std::string made = kAbsent;
        if (fs::exists(work / "o.tar")) {
            const auto listed = Shell(work.path(),
                                      "(tar -tvf o.tar | awk '{print $3, $6}' && "
                                      "tar -xOf o.tar d/big) > listed");
            EXPECT_EQ(listed.first, 0) << listed.second;
            made = ReadFile(work / "listed");
        }
        EXPECT_EQ(made, row.made);
    }
}

// An archive converted into another keeps each item's kind, mode, time, size and link, as the
// system's bsdtar lists them, names cleaned; only what zip cannot hold (owners) differs.
TEST_F(CommandLine, ConvertKeepsWhatBothArchivesHold) {
    if (!Have("bsdtar")) GTEST_SKIP() << "bsdtar missing (apt-get install libarchive-tools)";
    ScratchDir work;
    ASSERT_EQ(Shell(work.path(),
                    "mkdir -p t/sub && printf one > t/a && printf two > t/sub/b && "
                    "ln -s a t/ln && chmod 751 t/a && chmod 600 t/sub/b && "
                    "touch -h -d @1600000000 t/a t/sub/b t/ln t/sub t && "
                    "tar -czf in.tgz t && tar -cf dot.tar -C t .")
                  .first,
              0);
    // Kind and mode, size, time and name (and a link's target): what bsdtar -tv shows but
    // owners.
    const std::string kept = R"( | awk '{$2=$3=$4=""; print}' | sort)";  // 7z reorders
    const struct {
        const char *in, *out, *list;  // list: the listing OUT's must equal
    } rows[] = {
        {"in.tgz", "o.zip", "bsdtar -tvf in.tgz"},
        {"in.tgz", "o.tar.xz", "bsdtar -tvf in.tgz"},
        {"in.tgz", "o.7z", "bsdtar -tvf in.tgz"},
        // "./" parts are gone, and the folder "." with them.
        {"dot.tar", "o.tar", R"(bsdtar -tvf dot.tar | grep -v ' \./$' | sed 's| \./| |')"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.out);
        const auto run = Shell(
            work.path(), std::string("'") + ZOREL_BINARY + "' convert " + row.in + " " + row.out);
        EXPECT_EQ(run.first, 0) << run.second;
        const auto listed = [&](const std::string& command) {
            const auto r = Shell(work.path(), command + kept + " > listed");
            EXPECT_EQ(r.first, 0) << r.second;
            return ReadFile(work / "listed");
        };
        const std::string want = listed(row.list);
        EXPECT_NE(want.find(" 2020 "), std::string::npos) << want;  // the time, 1600000000
        EXPECT_EQ(listed(std::string("bsdtar -tvf ") + row.out), want);
    }
}

// The forms OUT's names and --format ask for, and the names an archive's items are given.
TEST(Convert, TellsFormsAndCleansNames) {
    const std::pair<const char*, ArchiveForm> paths[] = {
        {"a.pak", ArchiveForm::kPack},       {"a.tar", ArchiveForm::kTar},
        {"a.tar.gz", ArchiveForm::kTarGz},   {"dir.v2/a.tgz", ArchiveForm::kTarGz},
        {"a.tar.zst", ArchiveForm::kTarZst}, {"a.tar.bz2", ArchiveForm::kTarBz2},
        {"a.zip", ArchiveForm::kZip},        {"a.7z", ArchiveForm::kSevenZip},
        {"a.cpio", ArchiveForm::kCpio},      {"a.gz", ArchiveForm::kNone},
        {"zip", ArchiveForm::kNone},         {"a.tar.xz", ArchiveForm::kTarXz},
    };
    for (const auto& [path, form] : paths) EXPECT_EQ(FormOfPath(path), form) << path;
    EXPECT_EQ(FormNamed("pack"), ArchiveForm::kPack);
    EXPECT_EQ(FormNamed("tgz"), ArchiveForm::kTarGz);
    EXPECT_EQ(FormNamed(".zip"), ArchiveForm::kNone);
    const struct {
        const char *path, *name, *removed;
    } names[] = {
        {"a/b", "a/b", ""},
        {"./a/./b", "a/b", ""},
        {"/abs", "abs", "leading '/'"},
        {"../../x", "x", "'..' parts"},
        {"a/../b", "a/b", "'..' parts"},
        {"/", "", "leading '/'"},
        {"..", "", "'..' parts"},
        {".", "", ""},
        {"a//b/", "a/b", ""},
    };
    for (const auto& row : names) {
        std::string removed;
        EXPECT_EQ(CleanName(row.path, &removed), row.name) << row.path;
        EXPECT_EQ(removed, row.removed) << row.path;
    }
}

}  // namespace
// A described pack converted into archives that the system's bsdtar unpacks (GNU tar sets no
// time before 1970): every item comes back as the descriptions keep it (path, kind, mode, time
// to the nanosecond, link), so that diff names nothing.
TEST_F(CommandLine, ConvertCarriesWhatDescriptionsKeep) {
    if (!Have("bsdtar")) GTEST_SKIP() << "bsdtar missing (apt-get install libarchive-tools)";
    ItemsPack(dir.path());
    for (const char* out : {"o.tar", "o.tar.gz", "o.tar.xz"}) {
        SCOPED_TRACE(out);
        ScratchDir work;
        fs::copy_file(dir / "items.pak", work / "items.pak");
        const std::string zorel = std::string("'") + ZOREL_BINARY + "' ";
        const auto run =
            Shell(work.path(), zorel + "convert items.pak " + out + " && mkdir x && bsdtar -xpf " +
                                   out + " -C x && " + zorel + "diff items.pak x >&2");
        EXPECT_EQ(run.first, 0) << run.second;
    }
}
#endif
