// Where the packer's output goes beyond plain files: trees of folders that an unpack makes, in
// both interfaces, and standard output as a pipe whose reader goes away or as a terminal.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include "test_support.h"

namespace {

// A tree three levels deep, packed by the menu's add of its files' paths, comes back out of the
// menu's and the command line's unpack as it went in, its folders made.
TEST(Trees, ComeBackOutOfBothInterfaces) {
    ScratchDir dir;
    const std::pair<std::string, std::string> files[] = {
        {"a/b/c", "c"}, {"a/b/d", "dd"}, {"a/e", "eee"}, {"f", "ffff"}};
    std::string input;
    for (const auto& [name, bytes] : files) {
        fs::create_directories((dir.path() / name).parent_path());
        WriteFile(dir / name, bytes);
        input += "5\n" + name + "\n\n";
    }
    RunProgram(dir.path(), input + "2\ntree.pak\n\n0\n\n");
    RunProgram(dir.path(), "1\ntree.pak\n\n4\nby-menu\n\n0\n\n");
    EXPECT_EQ(RunCommand(dir.path(), {"unpack", "tree.pak", "by-cli"}).status, 0);
    for (const char* out : {"by-menu", "by-cli"}) {
        SCOPED_TRACE(out);
        for (const auto& [name, bytes] : files) {
            EXPECT_EQ(ReadFile(dir / (std::string(out) + "/" + name)), bytes) << name;
        }
        int made = 0;
        for (const auto& item : fs::recursive_directory_iterator(dir.path() / out)) {
            made += item.is_regular_file() ? 1 : 0;
        }
        EXPECT_EQ(made, 4);
    }
}

#ifndef _WIN32
// Runs `zorel pack - big` in folder with standard output on out and standard error into the
// file "err" there; the child's id.
pid_t PackInto(const ScratchDir& dir, int out) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::signal(SIGPIPE, SIG_DFL);
        execl(ZOREL_BINARY, ZOREL_BINARY, "pack", "-", "big", static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Into a pipe whose reader goes away, the pack fails with the reason, status 1: it is not ended
// by SIGPIPE without a word. Onto a terminal it is not written at all.
TEST(Pipes, APackIntoStandardOutputFailsWithItsReason) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "big");
    std::string noise(2 << 20, '\0');  // far more than a pipe holds
    std::uint32_t state = 2463534242u;
    for (char& c : noise) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = static_cast<char>(state);
    }
    WriteFile(dir / "big/noise", noise);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // the child holds no reading end of its own
    const pid_t piped = PackInto(dir, ends[1]);
    close(ends[1]);
    char head[100];
    EXPECT_GT(read(ends[0], head, sizeof head), 0);
    close(ends[0]);
    int status = -1;
    ASSERT_EQ(waitpid(piped, &status, 0), piped);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadFile(dir / "err"),
              "zorel: standard output: " + platform::ErrorText(EPIPE) + "\n");

    const int screen = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(screen >= 0 && grantpt(screen) == 0 && unlockpt(screen) == 0);
    const int terminal = open(ptsname(screen), O_RDWR | O_NOCTTY);
    const pid_t shown = PackInto(dir, terminal);
    close(terminal);
    ASSERT_EQ(waitpid(shown, &status, 0), shown);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadFile(dir / "err"),
              "zorel: standard output: a pack is not written to a terminal\n");
    EXPECT_LE(read(screen, head, sizeof head), 0);  // nothing reached the terminal
    close(screen);

    // Redirected into a file of the folder packed, it leaves that file out, as it leaves out a
    // PACKFILE it is named by.
    const int file = open((dir / "big/self.pak").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const pid_t redirected = PackInto(dir, file);
    close(file);
    ASSERT_EQ(waitpid(redirected, &status, 0), redirected);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(dir / "err"), "zorel: big/self.pak: the pack file itself, left out\n");
}
#endif

}  // namespace
