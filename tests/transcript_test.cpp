// End-to-end: the built program driven through standard input, its output compared byte for
// byte and the files it leaves behind checked.
#include <gtest/gtest.h>

#include "cli_support.h"
#include "test_support.h"

namespace {

const std::string kFindBy = " Search method: (1 for number, anything else for filename)\n\n  > ";
const std::string kRemoveBy = " Search method: (1 for number, anything else for name)\n\n  > ";
const std::string kAsk = " Enter File number or name: ";
const std::string kListHead = "\n\n--[ Pack Countents ]----------------\n\n  Pack.Files { \n";

// What one pass prints: the menu, then what its command prints.
std::string Pass(const std::string& command) {
    return kMenuScreen + command;
}

std::string Totals(const char* files, const char* flag, const char* size, const char* stored,
                   const char* ratio) {
    return std::string("  };\n\n  Number of Files:\t\t") + files + "\n  Compressed:     \t\t" +
           flag + "\n\n  Total Size:     \t\t" + size + " KB\n  Total Enc Size: \t\t" + stored +
           " KB\n  Total Compression:\t\t" + ratio + " %\n\n";
}

struct Transcript {
    const char* what;
    std::string input;
    std::string output;
};

class Transcripts : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(dir / "notes.txt", "hello notes");
        WriteFile(dir / "a.txt", "abc");
        WriteFile(dir / "k1536", std::string(1536, 'k'));
        // A compressed pack whose sizes give the listing's worked numbers.
        auto u32 = [](std::uint32_t v) {
            return std::string{static_cast<char>(v), static_cast<char>(v >> 8), 0, 0};
        };
        auto name = [](std::string n) {
            n.resize(32, '\0');
            return n;
        };
        WriteFile(dir / "ratios.pak", "UPz3\x01" + u32(2) + u32(2048) + u32(512) + name("big") +
                                          std::string(512, 's') + u32(10) + u32(18) +
                                          name("small") + std::string(18, 't'));
    }
    // Input and output as the console text they are on this system: on Windows the script has
    // "\r\n" line ends, which must read as "\n", and every "\n" written must reach the file as
    // "\r\n".
    void Check(const Transcript& t) {
        int status = -1;
        EXPECT_EQ(RunProgram(dir.path(), ConsoleText(t.input), &status), ConsoleText(t.output))
            << t.what;
        EXPECT_EQ(status, 0) << t.what;
    }
    ScratchDir dir;
};

TEST_F(Transcripts, KeysPromptsAndMessages) {
    const Transcript cases[] = {
        {"end of input at once", "", Pass(kWait)},
        {"exit", "0\n\n", Pass(kWait)},
        {"other keys wait; the end of input ends the run", "x\n\n \n\n\n",
         Pass(kWait) + Pass(kWait) + Pass(kWait)},
        {"a second character typed at the menu leaves the end of line for the name", "15\n\n0\n\n",
         Pass(" Enter Filename:  The pack was loaded UnSuccessfully!") + Pass(kWait)},
        {"add, find and remove",
         "5\nnotes.txt\n\nf\n1\n1\n\nF\nx\nnotes.txt\n\nf\n1\n0\n\nf\nn\nnope\n\nf\n1\n-3\n\n"
         "6\n1\nabc\n\n6\n1\n2\n\n6\nn\nnotes.txt\n\n6\nn\nnotes."
         "txt\n\n5\nmissing\n\n6\nn\n\n\n0\n\n",
         Pass(" Enter Filename:  The file was added Successfully!") +
             Pass(kFindBy + kAsk + " Found file: notes.txt [11 bytes]\n") +
             Pass(kFindBy + kAsk + " Found file: notes.txt [11 bytes]\n") +
             Pass(kFindBy + kAsk + " Could not find file number 0!") +
             Pass(kFindBy + kAsk + " Could not find file name nope!") +
             Pass(kFindBy + kAsk + " Could not find file number -3!") +
             Pass(kRemoveBy + kAsk + " The file was removed UnSuccessfully!") +
             Pass(kRemoveBy + kAsk + " The file was removed UnSuccessfully!") +
             Pass(kRemoveBy + kAsk + " The file was removed Successfully!") +
             Pass(kRemoveBy + kAsk + " The file was removed UnSuccessfully!") +
             Pass(" Enter Filename:  The file was added UnSuccessfully!") +
             Pass(kRemoveBy + kAsk + " The file was removed UnSuccessfully!") + Pass(kWait)},
        {"encode, find a compressed entry, list, decode, list",
         "5\na.txt\n\n8\n\nf\nn\na.txt\n\n7\n\n9\n\nf\n1\n1\n\n7\n\n0\n\n",
         Pass(" Enter Filename:  The file was added Successfully!") +
             Pass(" Pack Encoded successfully!\n") +
             Pass(kFindBy + kAsk + " Found file: a.txt [3 bytes ***]\n") +
             Pass(kListHead + "    1: a.txt" + std::string(27, ' ') +
                  "      0.0 KB @     0.0 KB [-266.7%]\n" +
                  Totals("1", "YES", "0.0", "0.0", "-266.7")) +
             Pass(" Pack Decoded successfully!\n") +
             Pass(kFindBy + kAsk + " Found file: a.txt [3 bytes]\n") +
             Pass(kListHead + "    1: a.txt" + std::string(27, ' ') +
                  "      0.0 KB @     0.0 KB [0.0%]\n" + Totals("1", "NO", "0.0", "0.0", "0.0")) +
             Pass(kWait)},
        {"find marks an entry by its own flag: plain again after an unpack, in an encoded pack",
         "5\na.txt\n\n8\n\n4\nout\n\nf\nn\na.txt\n\n0\n\n",
         Pass(" Enter Filename:  The file was added Successfully!") +
             Pass(" Pack Encoded successfully!\n") +
             Pass(" Enter Folder Name:  Now unpacking to the folder: out\n"
                  " The pack was unpacked Successfully!") +
             Pass(kFindBy + kAsk + " Found file: a.txt [3 bytes]\n") + Pass(kWait)},
        {"listings: empty, empty and encoded, plain sizes, worked ratios",
         "7\n\n8\n\n7\n\n9\n\n5\nk1536\n\n7\n\n1\nratios.pak\n\n7\n\n0\n\n",
         Pass(kListHead + Totals("0", "NO", "0.0", "0.0", "0.0")) +
             Pass(" Pack Encoded successfully!\n") +
             Pass(kListHead + Totals("0", "YES", "0.0", "0.0", "0.0")) +
             Pass(" Pack Decoded successfully!\n") +
             Pass(" Enter Filename:  The file was added Successfully!") +
             Pass(kListHead + "    1: k1536" + std::string(27, ' ') +
                  "      1.5 KB @     0.0 KB [0.0%]\n" + Totals("1", "NO", "1.5", "0.0", "0.0")) +
             Pass(" Enter Filename:  The pack was loaded Successfully!") +
             Pass(kListHead + "    1: big" + std::string(29, ' ') +
                  "      2.0 KB @     0.5 KB [75.0%]\n" + "    2: small" + std::string(27, ' ') +
                  "      0.0 KB @     0.0 KB [-80.0%]\n" +
                  Totals("2", "YES", "2.0", "0.5", "74.2")) +
             Pass(kWait)},
    };
    for (const Transcript& t : cases) Check(t);
}

TEST_F(Transcripts, SaveLoadPackAndUnpack) {
    fs::create_directories(dir.path() / "src/skipped");
    WriteFile(dir / "src/only.txt", "only file");
    fs::create_directories(dir.path() / "deep/er");
    const std::string absolute = dir / "abs";
    const Transcript t = {
        "save, load, pack a folder, unpack to relative, nested and absolute folders",
        "5\nnotes.txt\n\n8\n\n2\nsaved.pak\n\n3\nsrc\n\n1\nsaved.pak\n\n4\nout\n\n4\ndeep/er\n\n"
        "4\n" +
            absolute +
            "\n\n5\na.txt\n\n4\n\n\n4\nmissing/parent/x\n\n2\nno/such/file.pak\n\n"
            "3\n\n\n3\nmissing\n\n0\n\n",
        Pass(" Enter Filename:  The file was added Successfully!") +
            Pass(" Pack Encoded successfully!\n") +
            Pass(" Enter Filename:  The pack was saved Successfully!") +
            Pass(" Enter Folder name:  The folder was packed Successfully!") +
            Pass(" Enter Filename:  The pack was loaded Successfully!") +
            Pass(" Enter Folder Name:  Now unpacking to the folder: out\n"
                 " The pack was unpacked Successfully!") +
            Pass(" Enter Folder Name:  Now unpacking to the folder: deep/er\n"
                 " The pack was unpacked Successfully!") +
            Pass(" Enter Folder Name:  Now unpacking to the folder: " + absolute +
                 "\n The pack was unpacked Successfully!") +
            // Still in the starting folder: a relative name is found there.
            Pass(" Enter Filename:  The file was added Successfully!") +
            Pass(" Enter Folder Name:  FAILURE: Could not create the folder: \n") +
            Pass(" Enter Folder Name:  FAILURE: Could not create the folder: missing/parent/x\n") +
            Pass(" Enter Filename:  The pack was saved UnSuccessfully!") +
            Pass(" Enter Folder name:  The folder was packed UnSuccessfully!") +
            Pass(" Enter Folder name:  The folder was packed UnSuccessfully!") + Pass(kWait),
    };
    Check(t);
    for (const char* out : {"out", "deep/er", "abs"}) {
        EXPECT_EQ(ReadFile(dir / (std::string(out) + "/notes.txt")), "hello notes") << out;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
    EXPECT_FALSE(fs::exists(dir.path() / "out/only.txt"));
    EXPECT_EQ(ReadFile(dir / "saved.pak").substr(0, 5), "UPz3\x01");
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
}

// The menu reads a pack with descriptions as any other: loaded and saved, it is the same bytes;
// edited (decoded, encoded, an entry removed and one added), what stays described unpacks.
TEST_F(Transcripts, PacksWithDescriptionsThroughTheMenu) {
    DescribedPacks(dir.path());
    const struct {
        const char* input;
        const char* saved;
        std::string unpacked;  // "name=bytes|..." of the folder unpacked from it
    } cases[] = {
        {"1\ndescribed.pak\n\n2\nsame.pak\n\n0\n\n", "same.pak", "f=good|g=free|"},
        {"1\ndescribed.pak\n\n8\n\n9\n\n8\n\n6\nx\ng\n\n5\na.txt\n\n2\nedited.pak\n\n0\n\n",
         "edited.pak", "a.txt=abc|f=good|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.saved);
        int status = -1;
        RunProgram(dir.path(), ConsoleText(c.input), &status);
        EXPECT_EQ(status, 0);
        if (std::string(c.saved) == "same.pak") {
            EXPECT_TRUE(ReadFile(dir / "same.pak") == ReadFile(dir / "described.pak"));
        }
        const CommandResult test = RunCommand(dir.path(), {"test", c.saved});
        EXPECT_EQ(test.status, 0);
        EXPECT_EQ(test.err, "");
        const fs::path out = dir.path() / (std::string(c.saved) + ".out");
        const CommandResult unpack = RunCommand(dir.path(), {"unpack", c.saved, out.string()});
        EXPECT_EQ(unpack.status, 0);
        std::string unpacked;
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(out)) {
            names.push_back(item.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            unpacked += name + "=" + ReadFile((out / name).string()) + "|";
        EXPECT_EQ(unpacked, c.unpacked);
    }
}

#ifndef _WIN32
// Through pipes, as through a terminal, each prompt is out before the program waits for what
// it asks.
TEST_F(Transcripts, EveryPromptIsShownBeforeTheProgramWaits) {
    std::string said;
    EXPECT_TRUE(Converse(dir.path(),
                         {{kMenuScreen, "5\n"},
                          {" Enter Filename: ", "a.txt\n"},
                          {" The file was added Successfully!", "\n"},
                          {kMenuScreen, "f\n"},
                          {kFindBy, "n\n"},
                          {kAsk, "a.txt\n"},
                          {" Found file: a.txt [3 bytes]\n", "\n"},
                          {kMenuScreen, "0\n"},
                          {kWait, "\n"}},
                         &said))
        << said;
}

// A program that never stops printing is read up to the limit and no further.
TEST(TranscriptHelper, ReadsNoMoreThanTheLimit) {
    const std::string saved = ProgramWrapper();
    setenv("ZOREL_TEST_WRAPPER", "yes ||", 1);  // prints "y" lines until its reader stops
    int status = 0;
    const std::size_t length = RunProgram(fs::current_path(), "", &status).size();
    if (saved.empty()) {
        unsetenv("ZOREL_TEST_WRAPPER");
    } else {
        setenv("ZOREL_TEST_WRAPPER", saved.c_str(), 1);
    }
    EXPECT_EQ(length, kProgramOutputLimit);
    EXPECT_NE(status, 0);
}
#endif

}  // namespace
