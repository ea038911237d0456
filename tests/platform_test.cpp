// The platform helpers under the packer, on whichever system the tests run.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#endif

#include <atomic>
#include <fstream>
#include <functional>
#include <new>
#include <thread>

#include "platform/atomic_file.h"
#include "test_support.h"

namespace {

TEST(Platform, AsciiUpperChangesTheLowerCaseLettersAlone) {
    struct Case {
        char in, out;
    } cases[] = {{'a', 'A'}, {'z', 'Z'}, {'m', 'M'}, {'A', 'A'}, {'Z', 'Z'},       {'`', '`'},
                 {'{', '{'}, {'@', '@'}, {'[', '['}, {'0', '0'}, {'\xe9', '\xe9'}, {'\0', '\0'}};
    for (const Case& c : cases) EXPECT_EQ(platform::AsciiUpper(c.in), c.out) << int(c.in);
}

// A step that runs out of memory fails with that reason (and its item, in a whole failure); any
// other outcome is the step's own, and leaves the reason as it was.
TEST(Platform, WithMemoryTellsOnlyAStepThatRanOutOfMemory) {
    struct Case {
        const char* what;
        std::function<bool()> step;
        bool want;
        platform::Reason reason;
    } cases[] = {
        {"done", [] { return true; }, true, 0},
        {"refused by the step", [] { return false; }, false, 0},
        {"out of memory", []() -> bool { throw std::bad_alloc(); }, false,
         platform::kErrorNoMemory},
    };
    for (const Case& c : cases) {
        platform::Reason why = 0;
        EXPECT_EQ(platform::WithMemory(&why, c.step), c.want) << c.what;
        EXPECT_EQ(why, c.reason) << c.what;
        platform::Failure failure;
        EXPECT_EQ(platform::WithMemory(&failure, c.step, "f.txt"), c.want) << c.what;
        EXPECT_EQ(failure.item, c.reason != 0 ? "f.txt" : "") << c.what;
    }
    bool ran = false;
    EXPECT_TRUE(platform::WithMemory(static_cast<platform::Reason*>(nullptr), [&] { ran = true; }));
    EXPECT_TRUE(ran);
}

// Two threads making the same missing folders at once, in the same order, both have each: the
// one that comes second takes the folder the first made.
TEST(Platform, AFolderMadeByTwoThreadsAtOnceIsMadeForBoth) {
    ScratchDir dir;
    platform::Folder parent;
    ASSERT_TRUE(parent.Open(dir.path().string().c_str()));
    constexpr int kRounds = 5, kFolders = 100;
    std::atomic<int> arrived{0}, failed{0};
    auto make = [&] {
        for (int round = 0; round < kRounds; ++round) {
            // Both start each round together.
            arrived.fetch_add(1);
            while (arrived.load() < 2 * (round + 1)) std::this_thread::yield();
            for (int i = 0; i < kFolders; ++i) {
                platform::Folder folder;
                failed += !folder.MakeBelow(parent, Numbered("d", round * kFolders + i).c_str());
            }
        }
    };
    std::thread other(make);
    make();
    other.join();
    EXPECT_EQ(failed.load(), 0);
}

TEST(Platform, OnlyRegularFilesOpenAndTheirLengthIsNotCut) {
    ScratchDir dir;
    WriteFile(dir / "file", "12345");
    WriteFile(dir / "huge", "");
    fs::resize_file(dir / "huge", (1ull << 32) + 1);  // sparse: nothing is written
    fs::create_directory(dir.path() / "folder");
#ifdef _WIN32
    const std::string refused[] = {dir / "folder", dir / "missing", "NUL", "CON"};
#else
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string refused[] = {dir / "folder", dir / "missing", dir / "fifo", "/dev/null"};
#endif
    for (const std::string& path : refused) {
        std::uint64_t length = 0;
        EXPECT_EQ(platform::OpenRegularFile(path.c_str(), &length), nullptr) << path;
    }
    const struct {
        const char* name;
        std::uint64_t length;
    } opened[] = {{"file", 5}, {"huge", (1ull << 32) + 1}};
    for (const auto& c : opened) {
        std::uint64_t length = 0;
        std::FILE* file = platform::OpenRegularFile((dir / c.name).c_str(), &length);
        ASSERT_NE(file, nullptr) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        std::fclose(file);
    }
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    PackEntry entry;
    EXPECT_FALSE(entry.LoadFromFile("huge"));
}

// A path beyond MAX_PATH reaches its file in every form it may be written in: relative or not,
// with "." and ".." parts, and on Windows with either separator.
TEST(Platform, APathOfAnyLengthReachesItsFile) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    const std::string part(200, 'q'), path = part + "/" + part + "/file";
    fs::create_directories(dir.path() / part / part / "other");
    const std::string forms[] = {
        path,
        (dir.path() / part / part / "file").string(),
        "./" + part + "/./" + part + "/file",
        part + "/" + part + "/other/../file",
        part + "/" + part + "/../" + part + "/file",
#ifdef _WIN32
        part + "\\" + part + "\\file",
#endif
    };
    for (const std::string& form : forms) {
        SCOPED_TRACE(form.substr(0, 8) + "..." + form.substr(form.size() - 30));
        std::ofstream(fs::path(path), std::ios::binary) << "old";
        platform::AtomicFile out(form.c_str(), false);
        ASSERT_NE(out.stream(), nullptr);
        std::fputs("new", out.stream());
        EXPECT_TRUE(out.Commit());
        std::uint64_t length = 0;
        std::FILE* file = platform::OpenRegularFile(form.c_str(), &length);
        ASSERT_NE(file, nullptr);
        char bytes[4] = {};
        EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 3u);
        EXPECT_STREQ(bytes, "new");
        std::fclose(file);
        platform::PathKind kind{};
        std::string target;
        EXPECT_TRUE(platform::KindOf(form.c_str(), &kind, &target));
        EXPECT_EQ(kind, platform::PathKind::kFile);
        platform::Folder folder;
        EXPECT_TRUE(folder.Open(form.substr(0, form.size() - 4).c_str()));
        EXPECT_TRUE(folder.Holds("file"));
    }
}

TEST(Platform, TempFilesAreNewBesideTheTargetAndReplaceIt) {
    ScratchDir dir;
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    fs::create_directory("sub");
    WriteFile("sub/target", "old");
    for (const std::string& target : {std::string("sub/target"), dir / "sub/target"}) {
        platform::AtomicFile first(target.c_str(), false);
        platform::AtomicFile second(target.c_str(), false);
        ASSERT_TRUE(first.stream() != nullptr && second.stream() != nullptr) << target;
        std::fputs("new\r\n", first.stream());  // binary: written as is
        EXPECT_EQ(ReadFile(target), "old");     // nothing shows before the commit
        EXPECT_TRUE(first.Commit()) << target;
        EXPECT_EQ(ReadFile(target), "new\r\n");
        WriteFile(target, "old");
    }
    EXPECT_EQ(TempFilesIn(dir.path() / "sub"), 0);
    platform::AtomicFile missing("missing/target", false);
    EXPECT_EQ(missing.stream(), nullptr);
    EXPECT_EQ(ReadFile("sub/target"), "old");
}

// A commit that keeps what is there, and a link made without replacing, take a free name and
// never replace a file or link made at the name after the check before them saw nothing: they
// fail, telling so.
TEST(Platform, AKeepingCommitReplacesNothingMadeMeanwhile) {
    ScratchDir dir;
    platform::Folder folder;
    ASSERT_TRUE(folder.Open(dir.path().string().c_str()));
    const fs::path target = dir / "target";
    WriteFile(dir / "source", "ours");
    const struct {
        std::function<void()> make;  // what appears at the name before the commit
        std::string left;            // what the name then holds; empty: ours
    } kCases[] = {
        {[] {}, ""},
        {[&] { WriteFile(target.string(), "theirs"); }, "theirs"},
#ifndef _WIN32
        {[&] { fs::create_symlink("elsewhere", target); }, "-> elsewhere"},
#endif
    };
    // Each way of making "target" hold ours, running appear on the way.
    using Make = std::function<bool(const std::function<void()>& appear, platform::Reason*)>;
    const struct {
        const char* how;
        std::string ours;
        Make make;
    } kMakers[] = {
        {"commit", "ours",
         [&](const std::function<void()>& appear, platform::Reason* why) {
             platform::AtomicFile out(folder, "target", false);
             if (out.stream() == nullptr) return false;
             out.KeepExisting();
             std::fputs("ours", out.stream());
             appear();
             return out.Commit(why);
         }},
        {"hard link", "ours",
         [&](const std::function<void()>& appear, platform::Reason* why) {
             appear();
             return folder.MakeHardLink("target", folder, "source", false, why);
         }},
#ifndef _WIN32
        {"symbolic link", "-> ours",
         [&](const std::function<void()>& appear, platform::Reason* why) {
             appear();
             return folder.MakeSymlink("target", "ours", 0, false, why);
         }},
#endif
    };
    for (const bool nameless : {true, false}) {
        platform::UseNamelessTempFiles(nameless);
        for (const auto& m : kMakers) {
            for (const auto& c : kCases) {
                const std::string left = c.left.empty() ? m.ours : c.left;
                SCOPED_TRACE(std::string(m.how) + ": " + left + (nameless ? ", nameless" : ""));
                fs::remove(target);
                platform::Reason why = 0;
                const bool made = m.make(c.make, &why);
                EXPECT_EQ(made, c.left.empty());
                EXPECT_EQ(platform::IsAlreadyThere(why), !made);
                EXPECT_EQ(fs::is_symlink(target) ? "-> " + fs::read_symlink(target).string()
                                                 : ReadFile(target.string()),
                          left);
                EXPECT_EQ(TempFilesIn(dir.path()), 0);
            }
        }
    }
    platform::UseNamelessTempFiles(true);
}

#ifndef _WIN32

// Each way of making the temporary file: without a name where the system allows it, named.
const bool kTempKinds[] = {true, false};

// A final rename that fails (the target became a folder holding a file) is a failed commit,
// and the temporary file goes.
TEST(Platform, AFailedRenameFailsTheCommitAndLeavesNoTemporaryFile) {
    ScratchDir dir;
    for (const bool nameless : kTempKinds) {
        platform::UseNamelessTempFiles(nameless);
        {
            platform::AtomicFile out((dir / "target").c_str());
            ASSERT_NE(out.stream(), nullptr);
            std::fputs("bytes", out.stream());
            fs::create_directory(dir.path() / "target");
            WriteFile(dir / "target/inside", "inside");
            EXPECT_FALSE(out.Commit()) << nameless;
        }
        EXPECT_EQ(ReadFile(dir / "target/inside"), "inside");
        EXPECT_EQ(TempFilesIn(dir.path()), 0) << nameless;
        fs::remove_all(dir.path() / "target");
    }
    platform::UseNamelessTempFiles(true);
}

// The number in the name of the next temporary file, found by making one.
unsigned NextTempNumber(const fs::path& folder) {
    platform::UseNamelessTempFiles(false);
    platform::AtomicFile probe((folder / "probe").c_str());
    for (const auto& item : fs::directory_iterator(folder)) {
        const std::string name = item.path().filename().string();
        if (name.rfind(".zorel-", 0) == 0) return std::stoul(name.substr(name.rfind('-') + 1)) + 1;
    }
    return 0;
}

// A link planted at the name the temporary file will take is never written through, whether
// the file is made under that name or given it at the end.
TEST(Platform, ALinkAtTheTemporaryNameIsNotFollowed) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "out");
    WriteFile(dir / "victim", "precious");
    for (const bool nameless : kTempKinds) {
        const unsigned next = NextTempNumber(dir.path() / "out");
        for (unsigned n = next; n < next + 3; ++n) {
            const std::string name =
                ".zorel-" + std::to_string(getpid()) + "-" + std::to_string(n) + ".tmp";
            fs::create_symlink(dir.path() / "victim", dir.path() / "out" / name);
        }
        platform::UseNamelessTempFiles(nameless);
        platform::AtomicFile out((dir / "out/target").c_str());
        ASSERT_NE(out.stream(), nullptr);
        std::fputs("payload", out.stream());
        EXPECT_TRUE(out.Commit()) << nameless;
        EXPECT_EQ(ReadFile(dir / "victim"), "precious") << nameless;
        EXPECT_EQ(ReadFile(dir / "out/target"), "payload") << nameless;
        int links = 0;
        for (const auto& item : fs::directory_iterator(dir.path() / "out")) {
            if (item.path().filename() == "target") continue;
            links += item.is_symlink() && fs::read_symlink(item.path()) == dir.path() / "victim";
            fs::remove(item.path());
        }
        EXPECT_EQ(links, 3) << nameless;  // each where it was planted, and nothing else left
    }
    platform::UseNamelessTempFiles(true);
}

// A write that the system takes only in part (a signal ends it while a pipe is full) goes on
// from the first byte not yet written.
TEST(Platform, AShortWriteIsResumedFromTheRightByte) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    const int room = fcntl(pipe_ends[1], F_GETPIPE_SZ);
    struct sigaction nothing {
    }, former{};
    nothing.sa_handler = [](int) {};  // no SA_RESTART: the write returns what it had written
    sigaction(SIGUSR1, &nothing, &former);

    std::string bytes;
    std::vector<std::string> parts;
    for (int i = 0; i < 12; ++i) {
        std::string part(1000 + i * 977, '\0');
        for (std::size_t j = 0; j < part.size(); ++j) part[j] = static_cast<char>(i * 31 + j % 251);
        parts.push_back(part);
        bytes += part;
    }
    std::vector<platform::WritePiece> pieces;
    for (const std::string& part : parts) pieces.push_back({part.data(), part.size()});
    std::FILE* file = fdopen(pipe_ends[1], "wb");
    std::atomic<bool> done{false};
    bool written = false;
    std::thread writer([&] {
        written = platform::WritePieces(file, pieces.data(), pieces.size());
        done = true;
    });
    std::string got;
    int interrupted = 0;
    char buffer[1 << 16];
    while (got.size() < bytes.size()) {
        // Once the pipe is full the writer waits inside its write, part of it taken.
        for (int held = 0; !done && (ioctl(pipe_ends[0], FIONREAD, &held), held < room);) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!done) {
            pthread_kill(writer.native_handle(), SIGUSR1);
            ++interrupted;
        }
        const ssize_t n = read(pipe_ends[0], buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    writer.join();
    std::fclose(file);
    close(pipe_ends[0]);
    sigaction(SIGUSR1, &former, nullptr);
    EXPECT_TRUE(written);
    EXPECT_GT(interrupted, 0);
    EXPECT_TRUE(got == bytes);
}

#endif  // !_WIN32

}  // namespace
