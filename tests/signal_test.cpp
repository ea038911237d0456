// Writes that no signal leaves half done: whatever ends the program, no temporary file stays
// behind and every file is whole, the earlier one or the new; a signal the program was started
// to ignore stays ignored, and a file-size limit fails a write, not the program.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include "platform/atomic_file.h"
#include "test_support.h"

namespace {

// A signal in the middle of a write ends the program and leaves the earlier file as it was and
// no other file beside it: a nameless file vanishes with the process (even under SIGKILL), a
// named one is removed by the program before it ends.
TEST(SafeWrites, SignalsLeaveNoTemporaryFile) {
    ScratchDir dir;
    WriteFile(dir / "target", "earlier");
    const struct {
        bool nameless;
        int signal;
    } cases[] = {
        {true, SIGINT}, {true, SIGKILL}, {false, SIGINT}, {false, SIGTERM}, {false, SIGHUP}};
    const std::string block(1 << 20, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.nameless ? "nameless, " : "named, ") + strsignal(c.signal));
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            platform::UseNamelessTempFiles(c.nameless);
            platform::AtomicFile out((dir / "target").c_str());
            for (int i = 0; i < 8 && out.stream() != nullptr; ++i) {
                std::fwrite(block.data(), 1, block.size(), out.stream());
            }
            raise(c.signal);
            _exit(out.stream() != nullptr ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        EXPECT_EQ(ReadFile(dir / "target"), "earlier");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}

// SIGINT and SIGTERM sent at a random moment while the program's one thread replaces a file
// again and again, with temporary files named and nameless (most of that time is spent changing
// names): each ends the program at once, with no temporary file left.
TEST(SafeWrites, ASignalWhileTheOneThreadRenamesEndsTheProgram) {
    ScratchDir dir;
    const std::string target = dir / "target";
    std::mt19937 random(std::random_device{}());
    for (const bool nameless : {false, true}) {
        for (int trial = 0; trial < 20; ++trial) {
            const int signal = trial % 2 == 0 ? SIGINT : SIGTERM;
            SCOPED_TRACE(std::string(nameless ? "nameless, " : "named, ") + strsignal(signal));
            std::fflush(nullptr);
            const pid_t child = fork();
            if (child == 0) {
                platform::UseNamelessTempFiles(nameless);
                for (;;) {
                    platform::AtomicFile out(target.c_str());
                    if (out.stream() == nullptr || std::fputs("new", out.stream()) < 0 ||
                        !out.Commit()) {
                        _exit(1);
                    }
                }
            }
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(2000, 20000)(random)));
            kill(child, signal);
            int status = -1;
            pid_t ended = 0;
            for (int tenths = 0; tenths < 100 && ended == 0; ++tenths) {
                if ((ended = waitpid(child, &status, WNOHANG)) == 0) usleep(100 * 1000);
            }
            if (ended == 0 && kill(child, SIGKILL) == 0) waitpid(child, &status, 0);
            ASSERT_NE(ended, 0) << "it hung";
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            EXPECT_EQ(TempFilesIn(dir.path()), 0);
        }
    }
}

// Thousands of entries unpacked over earlier files (so each is renamed into place from a
// temporary name) and ended by SIGTERM, SIGHUP or SIGINT at a random moment, by the command line
// (nameless files) and by the menu's unpack on many threads (named from the start): every end
// leaves no temporary file, and each file whole, earlier or new.
TEST(SafeWrites, SignalsDuringAnUnpackLeaveOnlyWholeFiles) {
    // In memory where it can be: on this disk, files replaced by the thousand are slow to make.
    ScratchDir dir(fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path());
    constexpr std::uint32_t kEntries = 2000;
    constexpr int kTrials = 60;  // main's code left a temporary file in 12 to 15 of them
    const std::string out = dir / "out";
    Pack pack;
    fs::create_directory(out);
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        Append(pack, MakeEntry(Numbered("e", i), std::string(100 + i % 900, 'a' + i % 26)));
        WriteFile(out + "/" + Numbered("e", i), "earlier");
    }
    ASSERT_TRUE(pack.Save((dir / "many.pak").c_str()));
    const auto start = [&](bool program) {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0 && program) {
            execl(ZOREL_BINARY, ZOREL_BINARY, "unpack", (dir / "many.pak").c_str(), out.c_str(),
                  static_cast<char*>(nullptr));
        } else if (child == 0) {
            platform::UseNamelessTempFiles(false);
            _exit(pack.UnpackToFolder(out.c_str(), 8) ? 0 : 1);
        }
        if (child == 0) _exit(127);
        return child;
    };
    // How long each takes uninterrupted (the quickest of three, as other tests may load the
    // machine): the signals come at a random moment within the first three quarters of it.
    std::chrono::microseconds whole[2] = {std::chrono::microseconds::max(),
                                          std::chrono::microseconds::max()};
    for (int run = 0; run < 3; ++run) {
        for (const bool program : {false, true}) {
            const auto began = std::chrono::steady_clock::now();
            int status = -1;
            ASSERT_EQ(waitpid(start(program), &status, 0) > 0 && WIFEXITED(status), true);
            whole[program] =
                std::min(whole[program], std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - began));
        }
    }
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    int cut = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        const int signal = (const int[]){SIGTERM, SIGHUP, SIGINT}[trial % 3];
        const bool program = trial % 2 == 0;
        const pid_t child = start(program);
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<long>(0, whole[program].count() * 3 / 4)(random)));
        kill(child, signal);
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const bool ended = WIFSIGNALED(status) && WTERMSIG(status) == signal;
        EXPECT_TRUE(ended || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
        cut += ended;
        ASSERT_EQ(TempFilesIn(out), 0) << "trial " << trial << ", " << strsignal(signal);
        for (PackEntry* e = pack.head; e != nullptr; e = e->next) {
            const std::string held = ReadFile(out + "/" + e->name);
            ASSERT_TRUE(held == "earlier" || held == BlockBytes(*e)) << e->name << ": " << held;
        }
    }
    EXPECT_GT(cut, kTrials / 4);  // enough were ended part-way for the test to mean something
}

// Started with SIGHUP ignored (as under nohup), an unpack sent SIGHUP again and again while it
// writes its named temporary files runs to its end with every file: the signal stays ignored.
TEST(SafeWrites, AnIgnoredHangupNeitherEndsNorStallsAnUnpack) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "out");
    const std::string bytes(4 << 20, 'h');
    constexpr std::uint32_t kEntries = 24;
    Pack pack;
    for (std::uint32_t i = 0; i < kEntries; ++i) Append(pack, MakeEntry(Numbered("e", i), bytes));
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGHUP, SIG_IGN);
        platform::UseNamelessTempFiles(false);  // on the list a signal cleans while written
        _exit(pack.UnpackToFolder((dir / "out").c_str()) ? 0 : 1);
    }
    int sent = 0, status = -1;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        if (sent < 5 && TempFilesIn(dir.path() / "out") > 0 && kill(child, SIGHUP) == 0) {
            ++sent;
            usleep(2000);
        }
    }
    if (ended == 0 && kill(child, SIGKILL) == 0) waitpid(child, &status, 0);  // it stalled
    EXPECT_EQ(sent, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        EXPECT_TRUE(ReadFile(dir / ("out/" + Numbered("e", i))) == bytes) << i;
    }
}

// Under a file-size limit with the signal's default action, a save and an unpack fail as
// writes and the program goes on; nothing is left beside the targets.
TEST(SafeWrites, AFileSizeLimitFailsTheWriteNotTheProgram) {
    ScratchDir dir;
    WriteFile(dir / "big", std::string(256 << 10, 'b'));
    WriteFile(dir / "keep.pak", "an earlier pack file");
    RunLimits limits;
    limits.fileSize = 64 << 10;
    limits.fileSizeSignal = true;
    int status = -1;
    const std::string output =
        RunProgram(dir.path(), "5\nbig\n\n2\nkeep.pak\n\n4\nout\n\n0\n\n", &status, limits);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Messages(output),
              (std::vector<std::string>{" Enter Filename:  The file was added Successfully!",
                                        " Enter Filename:  The pack was saved UnSuccessfully!",
                                        " Enter Folder Name:  Now unpacking to the folder: out\n"
                                        " The pack was unpacked UnSuccessfully!",
                                        kWait}));
    EXPECT_EQ(ReadFile(dir / "keep.pak"), "an earlier pack file");
    EXPECT_EQ(TempFilesIn(dir.path()) + TempFilesIn(dir.path() / "out"), 0);
}

}  // namespace

#endif  // !_WIN32
