// Writers of one pack at the same time: one at a time and nothing lost, a writer that waits too
// long, a holder that was killed; the temporary files of ended processes cleared.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/atomic_file.h"
#include "platform/lock.h"
#include "test_support.h"

namespace {

// Adds and removes started together on one pack, round after round: every command succeeds,
// every entry an add put in is there and every one a remove took out is gone.
TEST(Writers, TogetherLoseNothing) {
    ScratchDir dir;
    constexpr int kRounds = 12;
    for (int i = 0; i < kRounds; ++i) {
        WriteFile(dir / Numbered("a", i), "a");
        WriteFile(dir / Numbered("b", i), "b");
    }
    ASSERT_EQ(RunCommand(dir.path(), {"add", "p.pak", "a0", "b0"}).status, 0);
    for (int round = 1; round < kRounds; ++round) {
        const std::vector<std::string> commands[] = {{"add", "p.pak", Numbered("a", round)},
                                                     {"add", "p.pak", Numbered("b", round)},
                                                     {"remove", "p.pak", Numbered("a", round - 1)}};
        CommandResult results[3];
        std::vector<std::thread> writers;
        for (int i = 0; i < 3; ++i) {
            writers.emplace_back([&, i] { results[i] = RunCommand(dir.path(), commands[i]); });
        }
        for (std::thread& writer : writers) writer.join();
        for (const CommandResult& result : results) {
            EXPECT_EQ(result.status, 0) << "round " << round << ": " << result.err;
        }
    }
    const std::string names = RunCommand(dir.path(), {"list", "-1", "p.pak"}).out;
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_NE(names.find(ConsoleText(Numbered("b", i) + "\n")), std::string::npos) << names;
        EXPECT_EQ(names.find(ConsoleText(Numbered("a", i) + "\n")) != std::string::npos,
                  i == kRounds - 1)
            << names;
    }
    EXPECT_EQ(TempFilesIn(dir.path()), 0);
}

// While another holds the pack, each writer waits as long as it is told and fails naming the
// holder, leaving the pack as it was; readers go on.
TEST(Writers, AWriterThatWaitsTooLongFailsNamingTheHolder) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "f");
    WriteFile(dir / "f/a", "a");
    ASSERT_EQ(RunCommand(dir.path(), {"pack", "p.pak", "f"}).status, 0);
    const std::string before = ReadFile(dir / "p.pak");
    platform::PackLock held;
    ASSERT_TRUE(held.Take((dir / "p.pak").c_str(), 0, nullptr));
    const std::string busy =
        "zorel: p.pak: being changed by another zorel (process " + std::to_string(getpid()) + ")\n";
    const struct {
        std::vector<std::string> command;
        int status;
        std::string err;
    } cases[] = {
        {{"add", "--wait=0.2", "p.pak", "f/a"}, 1, busy},
        {{"remove", "--wait=0", "p.pak", "a"}, 1, busy},
        {{"rename", "--wait=0", "p.pak", "a", "b"}, 1, busy},
        {{"pack", "--wait=0", "p.pak", "f"}, 1, busy},
        {{"list", "-1", "p.pak"}, 0, ""},
        {{"add", "--wait=x", "p.pak", "f/a"},
         2,
         "zorel: --wait takes a number of seconds (see zorel --help)\n"},
    };
    for (const auto& c : cases) {
        const CommandResult result = RunCommand(dir.path(), c.command);
        EXPECT_EQ(result.status, c.status) << c.command[0];
        EXPECT_EQ(result.err, ConsoleText(c.err)) << c.command[0];
        EXPECT_EQ(ReadFile(dir / "p.pak"), before);
    }
    held.Release();
    EXPECT_EQ(RunCommand(dir.path(), {"remove", "--wait=0", "p.pak", "a"}).status, 0);
}

#ifndef _WIN32

// Runs work in a child process, then kills it; false when work did not return.
bool KilledAfter(const std::function<void()>& work) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        work();
        if (write(ready[1], "", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char done = 0;
    const bool worked = read(ready[0], &done, 1) == 1;
    close(ready[0]);
    kill(child, SIGKILL);
    return waitpid(child, nullptr, 0) == child && worked;
}

// What a killed process leaves: its pack's lock file, free, and temporary files named as it
// made them. The next writer of the folder takes the lock, clears those temporary files and
// leaves alone the live process's and every name the packer does not make.
TEST(Writers, WhatAKilledWriterLeftIsTakenOverAndCleared) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "out");
    WriteFile(dir / "a", "a");
    ASSERT_EQ(RunCommand(dir.path(), {"add", "p.pak", "a"}).status, 0);
    const std::string pack = (dir.path() / "p.pak").string();
    platform::UseNamelessTempFiles(false);
    platform::AtomicFile live((dir / "live").c_str());
    ASSERT_TRUE(live.stream() != nullptr);
    const std::string foreign[] = {".zorel-1-2.tmp", ".zorel-00000001-1-00000001-0.tmp",
                                   ".zorel-lock.tmp", "a.tmp"};
    for (const std::string& name : foreign) WriteFile(dir / name, "not the packer's");
    for (const char* folder : {"", "out/"}) {
        ASSERT_TRUE(KilledAfter([&] {
            static platform::PackLock lock;
            lock.Take(pack.c_str(), 0, nullptr);
            static platform::AtomicFile left((dir.path() / folder / "x").string().c_str());
        }));
    }
    platform::UseNamelessTempFiles(true);
    EXPECT_TRUE(fs::exists(platform::LockPathOf(pack)));
    EXPECT_EQ(TempFilesIn(dir.path() / "out"), 1);
    const CommandResult added = RunCommand(dir.path(), {"add", "--wait=0", "p.pak", "a"});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_FALSE(fs::exists(platform::LockPathOf(pack)));
    EXPECT_EQ(RunCommand(dir.path(), {"unpack", "p.pak", "out"}).status, 0);
    EXPECT_EQ(TempFilesIn(dir.path() / "out"), 0);
    // Left: the live process's temporary file and the foreign names.
    EXPECT_EQ(TempFilesIn(dir.path()), 4);
    for (const std::string& name : foreign) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

#endif

}  // namespace
