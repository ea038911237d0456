// Faults injected into the program's own calls by the preloaded library (tests/sync_log.cpp):
// closes and renames that fail, nameless files and links through a descriptor refused, and
// compressors that cannot be made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "test_support.h"

namespace {

#ifdef ZOREL_SYNC_LOG
// The preloaded library's faults, asked for by its variables, in the programs started while
// this lives.
class Injected {
  public:
    Injected(std::initializer_list<std::pair<const char*, const char*>> faults) {
        setenv("LD_PRELOAD", ZOREL_SYNC_LOG, 1);
#ifdef ZOREL_ADDRESS_SANITIZER
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the library is loaded before it
#endif
        for (const auto& [name, value] : faults) setenv(name, value, 1);
    }
    ~Injected() {
        for (const char* name :
             {"LD_PRELOAD", "ASAN_OPTIONS", "ZOREL_FAIL_CLOSE", "ZOREL_NO_TMPFILE",
              "ZOREL_FAIL_RENAME", "ZOREL_NO_EMPTY_PATH", "ZOREL_NO_CODER_MEMORY"}) {
            unsetenv(name);
        }
    }
};

// A close that fails once every byte was written (a write-back error, NFS or a quota) or a
// rename that fails, with temporary files named or nameless, fails each command that writes a
// file: nothing is claimed, the earlier file keeps its bytes and no temporary file stays. Where
// a nameless file cannot be linked through its descriptor alone, it is linked through /proc.
TEST(Faults, AFailedCloseOrRenameFailsTheCommandAndKeepsTheEarlierFile) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out");
    WriteFile(dir / "a", "the bytes of a");
    WriteFile(dir / "b", "the bytes of b");
    ASSERT_EQ(RunCommand(dir.path(), {"add", "p.pak", "a"}).status, 0);
    const std::string pack = ReadFile(dir / "p.pak");
    const struct {
        std::vector<std::string> command;  // empty: the menu, with input
        std::string input, target;
    } cases[] = {
        {{"pack", "p.pak", "out"}, "", "p.pak"},    {{"add", "p.pak", "b"}, "", "p.pak"},
        {{"remove", "p.pak", "a"}, "", "p.pak"},    {{"unpack", "p.pak", "out"}, "", "out/a"},
        {{}, "5\nb\n\n2\np.pak\n\n0\n\n", "p.pak"}, {{}, "1\np.pak\n\n4\nout\n\n0\n\n", "out/a"},
    };
    const struct {
        const char *variable, *value, *nameless;
        bool fails;
    } faults[] = {
        {"ZOREL_FAIL_CLOSE", "stream", "0", true}, {"ZOREL_FAIL_CLOSE", "descriptor", "0", true},
        {"ZOREL_FAIL_CLOSE", "stream", "1", true}, {"ZOREL_FAIL_RENAME", "1", "0", true},
        {"ZOREL_FAIL_RENAME", "1", "1", true},     {"ZOREL_NO_EMPTY_PATH", "1", "0", false},
    };
    for (const auto& fault : faults) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.target + " " + c.input + (c.command.empty() ? "" : c.command[0]) + " " +
                         fault.variable + "=" + fault.value + " " + fault.nameless);
            WriteFile(dir / "p.pak", pack);
            WriteFile(dir / "out/a", "an earlier a");
            Injected faults{{fault.variable, fault.value}, {"ZOREL_NO_TMPFILE", fault.nameless}};
            if (c.command.empty()) {
                EXPECT_EQ(
                    RunProgram(dir.path(), c.input).find("UnSuccessfully!") != std::string::npos,
                    fault.fails);
            } else {
                const CommandResult result = RunCommand(dir.path(), c.command);
                EXPECT_EQ(result.status, fault.fails ? 1 : 0);
                EXPECT_EQ(result.err.find("Input/output error") != std::string::npos, fault.fails)
                    << result.err;
            }
            const bool kept =
                ReadFile(dir / "p.pak") == pack && ReadFile(dir / "out/a") == "an earlier a";
            EXPECT_EQ(kept, fault.fails);
            EXPECT_EQ(TempFilesIn(dir.path()) + TempFilesIn(dir.path() / "out"), 0);
        }
    }
}

// Where no compressor can be made for lack of memory, each command that compresses fails with
// that reason, for small files and for those compressed in pieces: no new pack is made, and a
// compressed pack added to keeps its bytes.
TEST(Faults, ACompressorWithoutMemoryFailsTheCommandAndKeepsThePack) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "small");
    fs::create_directories(dir.path() / "large");
    WriteFile(dir / "small/b", "the bytes of b");
    WriteFile(dir / "large/a", std::string(5 << 20, 'a'));  // over what is compressed whole
    ASSERT_EQ(RunCommand(dir.path(), {"pack", "-z", "z.pak", "small"}).status, 0);
    const std::string pack = ReadFile(dir / "z.pak");
    const std::vector<std::string> cases[] = {
        {"pack", "-z", "new.pak", "small"},
        {"pack", "-z", "--fast", "new.pak", "small"},
        {"pack", "-z", "new.pak", "large"},
        {"add", "z.pak", "large/a"},
        {"add", "--fast", "z.pak", "small/b"},
        {},  // the menu's add to the loaded pack, and its save
    };
    for (const auto& command : cases) {
        SCOPED_TRACE(command.empty() ? "menu" : command[0] + " " + command[1] + " " + command[2]);
        Injected faults{{"ZOREL_NO_CODER_MEMORY", "1"}};
        if (command.empty()) {
            EXPECT_NE(RunProgram(dir.path(), "1\nz.pak\n\n5\nlarge/a\n\n2\nz.pak\n\n0\n\n")
                          .find("saved UnSuccessfully!"),
                      std::string::npos);
        } else {
            const CommandResult result = RunCommand(dir.path(), command);
            EXPECT_EQ(result.status, 1);
            EXPECT_NE(result.err.find("Cannot allocate memory"), std::string::npos) << result.err;
        }
        EXPECT_FALSE(fs::exists(dir / "new.pak"));
        EXPECT_EQ(ReadFile(dir / "z.pak"), pack);
        EXPECT_EQ(TempFilesIn(dir.path()), 0);
    }
}
#endif

}  // namespace
