// The menu at a terminal: the program on a pseudo-terminal, typed at as a person types.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#endif

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace {

TEST(Terminal, OnlyATerminalIsOneAndTheScreenClearsAtOnce) {
#ifdef _WIN32
    std::FILE* device = std::fopen("NUL", "rb");  // a character device, yet no console
#else
    std::FILE* device = std::fopen("/dev/null", "rb");
#endif
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(platform::IsTerminal(device));
    std::fclose(device);
#ifndef _WIN32
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::FILE* terminal = fdopen(dup(slave), "w");
    EXPECT_TRUE(platform::IsTerminal(terminal));
    std::fclose(terminal);
    std::fflush(stdout);  // the clear must reach the terminal at once, before anything else
    const int out = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    platform::ClearScreen();
    char shown[16] = {};
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 0) == 1) {
        EXPECT_GT(read(master, shown, sizeof shown - 1), 0);
    }
    std::fflush(stdout);
    dup2(out, STDOUT_FILENO);
    for (const int fd : {out, slave, master}) close(fd);
    EXPECT_STREQ(shown, "\x1b[H\x1b[2J");
#endif
}

#ifndef _WIN32

struct Step {
    const char* typed;
    std::string shown;  // what must then appear, after what the steps before awaited
    // Typed only once the line editor has the terminal: before that the terminal itself takes
    // Ctrl-D and erase, and the prompt shows a moment before the editor has it.
    bool editing = false;
    bool waits = false;  // nothing more shows until the next step is typed
};

// Runs the program in folder on a pseudo-terminal of its own, types each step once the one
// before has shown what it must, and wants the program to end with status 0 after the last;
// all the terminal showed goes to *shown.
void Session(const fs::path& folder, const std::vector<Step>& steps, std::string* shown = nullptr) {
    const int seconds = ProgramWrapper().empty() ? 10 : 120;
    const std::string command =
        "cd '" + folder.string() + "' && exec " + ProgramWrapper() + " " + ZOREL_BINARY;
    std::fflush(nullptr);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        setenv("TERM", "xterm", 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    std::string screen;
    std::size_t seen = 0;
    auto await = [&](std::string text, int tenthsMost) {
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
            text.insert(at, 1, '\r');  // line ends as the terminal shows them
        }
        for (int tenths = 0; tenths < tenthsMost; ++tenths) {
            if (const std::size_t at = screen.find(text, seen); at != std::string::npos) {
                seen = at + text.size();
                return true;
            }
            pollfd ready{master, POLLIN, 0};
            char bytes[4096];
            if (poll(&ready, 1, 100) != 1) continue;
            const ssize_t got = read(master, bytes, sizeof bytes);
            if (got <= 0) return false;  // the program is gone
            screen.append(bytes, static_cast<std::size_t>(got));
        }
        return false;
    };
    bool inStep = await(kMenuScreen, seconds * 10);
    EXPECT_TRUE(inStep) << "the menu first";
    for (std::size_t i = 0; inStep && i < steps.size(); ++i) {
        termios mode{};
        for (int tenths = 0; steps[i].editing && tenths < seconds * 100; ++tenths) {
            if (tcgetattr(master, &mode) != 0 || (mode.c_lflag & ICANON) == 0) break;
            usleep(10 * 1000);
        }
        inStep = write(master, steps[i].typed, std::strlen(steps[i].typed)) > 0 &&
                 await(steps[i].shown, seconds * 10);
        EXPECT_TRUE(inStep) << "typed " << testing::PrintToString(steps[i].typed);
        if (inStep && steps[i].waits) {
            await("\x01", seconds);  // never shown: takes what comes in a tenth of the time
            EXPECT_EQ(screen.substr(seen), "")
                << "after " << testing::PrintToString(steps[i].typed);
        }
    }
    int status = -1;
    pid_t ended = 0;
    for (int tenths = 0; tenths < seconds * 10; ++tenths) {
        if ((ended = waitpid(child, &status, WNOHANG)) != 0) break;
        usleep(100 * 1000);
    }
    if (ended == 0 && kill(child, SIGKILL) == 0) waitpid(child, &status, 0);  // it hung
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    close(master);
    if (shown != nullptr) *shown = screen;
}

const std::string kAdded = " The file was added Successfully!";

// A word at the menu is one key; Enter alone is a key at the menu and at a wait, not a hang;
// the wait takes the whole line typed, and not the Enter of the key's own line; Enter alone at
// the search method means by name.
TEST(Terminal, EachKeyIsTheFirstCharacterOfALine) {
    ScratchDir dir;
    WriteFile(dir / "readme.md", "hello readme\n");
    // clang-format off
    Session(dir.path(), {
        {"load\n", kWait}, {"\n", kMenuScreen}, {"\n", kWait}, {"x\n", kMenuScreen},
        {"5 add it\n", " Enter Filename: "}, {"readme.md\n", kAdded}, {"\n", kMenuScreen},
        {"f\n", " Search method: (1 for number, anything else for filename)"},
        {"\n", " Enter File number or name: "},
        {"readme.md\n", " Found file: readme.md [13 bytes]\n"}, {"\n", kMenuScreen},
        {"7\n", "  Total Compression:\t\t0.0 %\n\n", false, true}, {"\n", kMenuScreen},
        {"2\n", " Enter Filename: "}, {"my2.pak\n", " The pack was saved Successfully!"},
        {"\n", kMenuScreen}, {"0\n", kWait}, {"\n", ""}});
    // clang-format on
    // readme.md and my2.pak, nothing written under a name taken from the keys
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// Tab completes as far as the names agree, then the one name, a folder with its "/"; Up
// twice recalls the line before the last; arrows, Ctrl-A, Ctrl-E and erase edit; Ctrl-D at
// an empty prompt ends the input, and the program ends after that command.
TEST(Terminal, NamesAreEditedRecalledAndCompleted) {
#ifndef ZOREL_LINE_EDITOR
    GTEST_SKIP() << "built without libedit";
#endif
    ScratchDir dir;
    WriteFile(dir / "readme.md", "hello readme\n");
    WriteFile(dir / "reader.txt", "");
    fs::create_directory(dir.path() / "docs");
    WriteFile(dir / "docs/guide.txt", "guide");
    const std::string ask = " Enter Filename: ";
    // clang-format off
    Session(dir.path(), {
        {"5\n", ask}, {"rea\tm\t\n", kAdded}, {"\n", kMenuScreen},
        {"5\n", ask}, {"do\tgu\t\n", kAdded}, {"\n", kMenuScreen},
        {"5\n", ask}, {"\x1b[A\x1b[A\n", kAdded}, {"\n", kMenuScreen},
        {"5\n", ask}, {"eadme.mdx\x1b[D\x01r\x05\x7f\n", kAdded, true}, {"\n", kMenuScreen},
        {"f\n", " > "}, {"1\n", " Enter File number or name: "},
        {"2\n", " Found file: docs/guide.txt [5 bytes]\n"}, {"\n", kMenuScreen},
        {"5\n", ask}, {"\x04", " The file was added UnSuccessfully!", true}});
    // clang-format on
}

// Names from a pack file (in the listing and in find) and from a folder (the names Tab lists)
// reach the terminal with each control character as '?', UTF-8 names as they are: no name can
// set the terminal's title or colours. Into a pipe the names go as they are.
TEST(Terminal, NamesReachTheScreenWithoutControlCharacters) {
    ScratchDir dir;
    const std::string name = "\x1b]0;owned\x07\x1b[2J\x7fx", shown = "?]0;owned??[2J?x";
    const std::string utf8 = "caf\xc3\xa9 \xd0\xb6\xd1\x83\xd0\xba.txt";  // acute e, Cyrillic
    Pack pack;
    Append(pack, MakeEntry(name, "bytes"));
    Append(pack, MakeEntry(utf8, "utf-8"));
    ASSERT_TRUE(pack.Save((dir / "names.pak").c_str()));
    WriteFile(dir / "a\x1b[31mred", "x");
    WriteFile(dir / "b\x1b]0;PWNED\x07", "y");
    const std::string ask = " Enter File number or name: ";
    // clang-format off
    std::vector<Step> steps = {
        {"1\n", " Enter Filename: "}, {"names.pak\n", " The pack was loaded Successfully!"},
        {"\n", kMenuScreen}, {"7\n", "  1: " + shown + " "}, {"\n", kMenuScreen},
        {"f\n", " > "}, {"1\n", ask}, {"1\n", " Found file: " + shown + " [5 bytes]"},
        {"\n", kMenuScreen},
        {"f\n", " > "}, {"1\n", ask}, {"2\n", " Found file: " + utf8 + " [5 bytes]"},
        {"\n", kMenuScreen}};
#ifdef ZOREL_LINE_EDITOR
    steps.insert(steps.end(), {
        {"5\n", " Enter Filename: "}, {"\t", "a?[31mred  b?]0;PWNED?  ", true},
        {"zz\n", " The file was added UnSuccessfully!"}, {"\n", kMenuScreen}});
#endif
    steps.insert(steps.end(), {{"0\n", kWait}, {"\n", ""}});
    // clang-format on
    std::string screen;
    Session(dir.path(), steps, &screen);
    for (const char* raw : {"\x1b]0;owned", "\x1b]0;PWNED", "\x1b[31mred", "\x1b[2J\x7f"}) {
        EXPECT_EQ(screen.find(raw), std::string::npos) << testing::PrintToString(raw);
    }
    const std::string piped = RunProgram(dir.path(), "1\nnames.pak\n\n7\n\nf\n1\n1\n\n0\n\n");
    EXPECT_NE(piped.find("  1: " + name), std::string::npos);
    EXPECT_NE(piped.find(" Found file: " + name + " [5 bytes]"), std::string::npos);
}

#endif  // !_WIN32

}  // namespace
