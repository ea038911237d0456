// list on the command line: its table, and a pack far larger than memory.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "cli_support.h"

namespace {

TEST_F(CommandLine, ListTable) {
    DescribedPacks(dir.path());
    ItemsPack(dir.path());
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");  // the long form shows local times
#else
    setenv("TZ", "UTC0", 1);
#endif
    const std::string at = " 2023-11-14 22:13 ";
    Check({
        // Full paths of what descriptions hold, tar's long form, an undescribed entry as stored.
        {{"list", "-1", "items.pak"},
         0,
         "",
         {},
         "d/\nd/l\nd/h\nd/s/\nd/a\nd/e\nd/" + kLong + "\nplain\n",
         true},
        {{"list", "-0", "items.pak", "d/a*"},
         0,
         "",
         {},
         std::string("d/a\0d/", 6) + kLong + std::string("\0", 1),
         true},
        {{"list", "--long", "items.pak"},
         0,
         "",
         {},
         "drwxr-xr-x          0" + at + "d/\n" +            //
             "lrwxrwxrwx          0" + at + "d/l -> a\n" +  //
             "hrw-r--r--          0" + at + "d/h link to d/a\n" +
             "drwxrwxrwt          0 1969-12-31 23:59 d/s/\n" +  //
             "-rw-r--r--          3" + at + "d/a\n" +           //
             "-rw-------          0" + at + "d/e\n" +           //
             "-rwsr-xr-x          1" + at + "d/" + kLong + "\n" +
             "-?????????          2 \?\?\?\?-\?\?-\?\? \?\?:\?\? plain\n",
         true},
        {{"list", "-l", "items.pak", "d/?"},
         0,
         "",
         {},
         "lrwxrwxrwx          0" + at +
             "d/l -> a\n"
             "hrw-r--r--          0" +
             at + "d/h link to d/a\ndrwxrwxrwt          0 1969-12-31 23:59 d/s/\n" +
             "-rw-r--r--          3" + at +
             "d/a\n"
             "-rw-------          0" +
             at + "d/e\n",
         true},
        {{"list", "items.pak"}, 0, "", {}, "", false, "", "    1: d/a          "},
        // A description is no file; an ordinary file of its name is.
        {{"list", "--names", "described.pak"}, 0, "", {}, "f\ng\n", true},
        {{"list", "described.pak"}, 0, "", {}, "", false, "", "  Number of Files:\t\t2\n"},
        {{"list", "-"}, 0, "", {}, "", false, "described.pak", "  Number of Files:\t\t2\n"},
        {{"list", "--names", "lookalike.pak"}, 0, "", {}, ".zoreldesc.0\nf\n", true},
        // Names, wildcards, and the entries done.
        {{"list", "--names", "z.pak"}, 0, "", {}, "a.txt\nnotes.txt\n", true},
        {{"list", "-1", "z.pak", "n*.t?t"}, 0, "", {}, "notes.txt\n", true},
        {{"list", "-1", "z.pak", "[!a-m]*"}, 0, "", {}, "notes.txt\n", true},
        {{"list", "z.pak", "*.jpg"}, 1, "zorel: z.pak: *.jpg: no such entry\n", {}},
        {{"list", "missing.pak"}, 1, "zorel: missing.pak: " + kNoFile + "\n", {}},
        {{"list", "f/a.txt"}, 1, "zorel: f/a.txt: not a pack file\n", {}},
        {{"list", "short.pak"},
         1,
         "zorel: short.pak: entry 2: record is damaged or cut short\n",
         {}},
        {{"list", "over.pak"}, 1, "zorel: over.pak: not a pack file\n", {}},
        {{"list", "-"}, 0, "", {}, "\n\n--[ Pack Countents ]", false, "z.pak"},
        {{"list", "-"},
         1,
         "zorel: -: entry 2: record is damaged or cut short\n",
         {},
         "",
         false,
         "short.pak"},
        {{"list", "-0", "z.pak", "[!a-m]*"}, 0, "", {}, std::string("notes.txt\0", 10), true},
        {{"list", "--null", "z.pak"}, 0, "", {}, std::string("a.txt\0notes.txt\0", 16), true},
        // The count is of the entries listed.
        {{"list", "z.pak", "n*"}, 0, "", {}, "", false, "", "  Number of Files:\t\t1\n"},
        {{"list", "z.pak"}, 0, "", {}, "", false, "", "  Number of Files:\t\t2\n"},
    });
}

#ifndef _WIN32
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
#endif

}  // namespace
