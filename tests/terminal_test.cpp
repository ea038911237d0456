// The menu at a terminal: the program on a pseudo-terminal, typed at as a person types.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace {

TEST(Terminal, OnlyATerminalIsOneAndTheScreenClearsAtOnce) {
    ScratchDir dir;
    WriteFile(dir / "file", "");
#ifdef _WIN32
    const char* const notTerminals[] = {"NUL"};  // a character device, yet no console
#else
    const char* const notTerminals[] = {"/dev/null"};
#endif
    std::FILE* file = std::fopen((dir / "file").c_str(), "rb");
    EXPECT_FALSE(platform::IsTerminal(file));
    std::fclose(file);
    for (const char* path : notTerminals) {
        std::FILE* device = std::fopen(path, "rb");
        ASSERT_NE(device, nullptr) << path;
        EXPECT_FALSE(platform::IsTerminal(device)) << path;
        std::fclose(device);
    }
#ifndef _WIN32
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::FILE* terminal = std::fopen(ptsname(master), "r+");
    ASSERT_NE(terminal, nullptr);
    EXPECT_TRUE(platform::IsTerminal(terminal));
    // The clear reaches the terminal before the program goes on to anything else.
    std::fflush(stdout);
    const int out = dup(STDOUT_FILENO);
    dup2(fileno(terminal), STDOUT_FILENO);
    platform::ClearScreen();
    pollfd ready{master, POLLIN, 0};
    char shown[16] = {};
    const bool arrived = poll(&ready, 1, 0) == 1 && read(master, shown, sizeof shown) > 0;
    std::fflush(stdout);
    dup2(out, STDOUT_FILENO);
    close(out);
    std::fclose(terminal);
    close(master);
    EXPECT_TRUE(arrived);
    EXPECT_STREQ(shown, "\x1b[H\x1b[2J");
#endif
}

#ifndef _WIN32

// The program in folder on a pseudo-terminal of its own, as a person at a terminal runs it.
class Terminal {
  public:
    explicit Terminal(const fs::path& folder) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const std::string slave = ptsname(master_);
        std::string wrapper = ProgramWrapper();
        const std::string command = (wrapper.empty() ? "" : wrapper + " ") + ZOREL_BINARY;
        std::fflush(nullptr);
        child_ = fork();
        if (child_ != 0) return;
        setsid();  // the terminal becomes the child's own
        const int fd = open(slave.c_str(), O_RDWR);
        if (fd < 0 || chdir(folder.c_str()) != 0) _exit(126);
        for (int stream = 0; stream < 3; ++stream) dup2(fd, stream);
        close(fd);
        close(master_);
        setenv("TERM", "xterm", 1);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ~Terminal() {
        if (child_ > 0 && waitpid(child_, nullptr, WNOHANG) == 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return child_ > 0; }
    void Type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Waits until text (its line ends as a terminal shows them) appears after what was awaited
    // before; false when it does not come.
    bool Await(const std::string& text) {
        std::string shown;
        for (const char c : text) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
        for (int waited = 0; waited < Seconds() * 10; ++waited) {
            const std::size_t at = screen_.find(shown, seen_);
            if (at != std::string::npos) {
                seen_ = at + shown.size();
                return true;
            }
            pollfd ready{master_, POLLIN, 0};
            char bytes[4096];
            if (poll(&ready, 1, 100) != 1) continue;
            const ssize_t got = read(master_, bytes, sizeof bytes);
            if (got <= 0) return false;  // the program is gone
            screen_.append(bytes, static_cast<std::size_t>(got));
        }
        return false;
    }
    // The program's exit status once it has ended; -1 when it does not end in time.
    int Status() {
        int status = -1;
        for (int waited = 0; waited < Seconds() * 10; ++waited) {
            if (waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(100 * 1000);
        }
        return -1;
    }
    const std::string& screen() const { return screen_; }

  private:
    static int Seconds() { return ProgramWrapper().empty() ? 10 : 120; }

    int master_ = -1;
    pid_t child_ = -1;
    std::string screen_;
    std::size_t seen_ = 0;
};

struct Step {
    const char* typed;
    std::string shown;  // what must follow on the screen
};

// Types each step's keys once the one before has shown what it must, then ends the program.
void Session(const fs::path& folder, const std::vector<Step>& steps) {
    Terminal terminal(folder);
    ASSERT_TRUE(terminal.started());
    ASSERT_TRUE(terminal.Await(kMenuScreen)) << terminal.screen();
    for (const Step& step : steps) {
        terminal.Type(step.typed);
        ASSERT_TRUE(terminal.Await(step.shown)) << "typed " << step.typed << "\n"
                                                << terminal.screen();
    }
    terminal.Type("0\n");
    ASSERT_TRUE(terminal.Await(kWait));
    terminal.Type("\n");
    EXPECT_EQ(terminal.Status(), 0) << terminal.screen();
}

const std::string kAdded = " The file was added Successfully!";

TEST(Terminal, EachKeyIsTheFirstCharacterOfALine) {
    ScratchDir dir;
    WriteFile(dir / "readme.md", "hello readme\n");
    Session(dir.path(),
            {{"load\n", kWait},     // a word at the menu is one key
             {"\n", kMenuScreen},   // Enter alone is "any key"
             {"\n", kWait},         // Enter alone at the menu is a key, not a hang
             {"x\n", kMenuScreen},  // the wait takes the whole line
             {"5 add it\n", " Enter Filename: "},
             {"readme.md\n", kAdded},
             {"\n", kMenuScreen},
             {"f\n", " Search method: (1 for number, anything else for filename)\n\n  > "},
             {"\n", " Enter File number or name: "},  // Enter alone: by name
             {"readme.md\n", " Found file: readme.md [13 bytes]\n"},
             {"\n", kMenuScreen},
             {"2\n", " Enter Filename: "},
             {"my2.pak\n", " The pack was saved Successfully!"},
             {"\n", kMenuScreen}});
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path())) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"my2.pak", "readme.md"}));
}

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
    Session(dir.path(), {{"5\n", ask},
                         {"rea\tm\t\n", kAdded},  // as far as the names agree, then the one name
                         {"\n", kMenuScreen},
                         {"5\n", ask},
                         {"do\tgu\t\n", kAdded},  // a folder gets its "/"
                         {"\n", kMenuScreen},
                         {"5\n", ask},
                         {"\x1b[A\x1b[A\n", kAdded},  // the line before the last
                         {"\n", kMenuScreen},
                         {"5\n", ask},
                         {"eadme.mdx\x1b[D\x01r\x05\x7f\n", kAdded},  // arrows, home, end, erase
                         {"\n", kMenuScreen},
                         {"f\n", " > "},
                         {"1\n", " Enter File number or name: "},
                         {"2\n", " Found file: docs/guide.txt [5 bytes]\n"},
                         {"\n", kMenuScreen}});
    // Ctrl-D at an empty prompt ends the input: the command runs on, and the program ends.
    Terminal terminal(dir.path());
    terminal.Type("5\n");
    ASSERT_TRUE(terminal.Await(ask));
    terminal.Type("\x04");
    EXPECT_TRUE(terminal.Await(" The file was added UnSuccessfully!"));
    EXPECT_EQ(terminal.Status(), 0) << terminal.screen();
}

#endif  // !_WIN32

}  // namespace
