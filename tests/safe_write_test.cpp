// Writes that stay where they belong: never through a link below the target, never over a
// folder or a device, with the replaced file's mode, to where the links a user names lead.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#endif

#include "platform/atomic_file.h"
#include "test_support.h"

namespace {

// A pack of "fine", then `name`, then "later": the unpack must stop at `name`.
void Sandwich(Pack& pack, const char* name) {
    Append(pack, MakeEntry("fine", "fine"));
    Append(pack, MakeEntry(name, "escaped"));
    Append(pack, MakeEntry("later", "later"));
}

// Links below the target are never followed, whether they lead to a folder outside or stand
// for the entry's own folder; the target itself may be a link the user names.
TEST(SafeWrites, NoWritePassesThroughALinkBelowTheTarget) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out/deep");
    fs::create_directories(dir.path() / "elsewhere");
    // A link to a folder, by the system's own call where the C++ library has none (MinGW).
    auto link = [](const fs::path& to, const fs::path& at) {
#ifdef _WIN32
        return CreateSymbolicLinkW(at.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
#else
        std::error_code error;
        fs::create_directory_symlink(to, at, error);
        return !error;
#endif
    };
    // Under wine the call succeeds and makes nothing.
    if (!link(dir.path() / "elsewhere", dir.path() / "out/sub") ||
        !fs::is_symlink(dir.path() / "out/sub")) {
        GTEST_SKIP() << "links to folders cannot be made here";
    }
    ASSERT_TRUE(link(fs::path("..") / ".." / "elsewhere", dir.path() / "out/deep/up"));
    ASSERT_TRUE(link(dir.path() / "out", dir.path() / "named"));
    for (const char* name : {"sub/x", "deep/up/x", "./sub/x", "deep//up/x"}) {
        Pack pack;
        Sandwich(pack, name);
        // One worker, so that nothing behind the refused entry is started (with more, an entry
        // already under way may still be written).
        EXPECT_FALSE(pack.UnpackToFolder((dir / "out").c_str(), 1)) << name;
        EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere")) << name;
        EXPECT_FALSE(fs::exists(dir.path() / "out/later")) << name;
        EXPECT_EQ(TempFilesIn(dir.path() / "out") + TempFilesIn(dir.path() / "out/deep"), 0);
    }
    if (!fs::exists(dir.path() / "named" / "deep")) {
        GTEST_SKIP() << "this system cannot go through the links it makes (wine)";
    }
    Pack pack;
    Append(pack, MakeEntry("deep/y", "through the user's own link"));
    EXPECT_TRUE(pack.UnpackToFolder((dir / "named").c_str()));
    EXPECT_EQ(ReadFile(dir / "out/deep/y"), "through the user's own link");
}

#ifndef _WIN32

// An unpack onto a folder, a FIFO or a device fails and leaves it as it was: a pack's names are
// never followed (the target a user names is: see the next test).
TEST(SafeWrites, OnlyRegularFilesAreReplaced) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out/folder");
    ASSERT_EQ(mkfifo((dir / "out/fifo").c_str(), 0600), 0);
    std::vector<std::string> names = {"folder", "fifo"};
    if (mknod((dir / "out/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        names.push_back("null");  // a second /dev/null: making one needs CAP_MKNOD
    }
    for (const std::string& name : names) {
        struct stat before {};
        ASSERT_EQ(lstat((dir / ("out/" + name)).c_str(), &before), 0);
        Pack pack;
        Sandwich(pack, name.c_str());
        EXPECT_FALSE(pack.UnpackToFolder((dir / "out").c_str(), 1)) << name;  // as above
        struct stat after {};
        ASSERT_EQ(lstat((dir / ("out/" + name)).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << name;
        EXPECT_EQ(after.st_rdev, before.st_rdev) << name;
        EXPECT_FALSE(fs::exists(dir.path() / "out/later")) << name;
        EXPECT_EQ(TempFilesIn(dir.path() / "out"), 0) << name;
    }
}

// The target a user names for a save or a pack is followed through its links, as cp and tar
// follow them: the file they end at is replaced whole with its mode, and the links stay. A FIFO
// or device gets the pack straight in; a folder, a socket, a link to a folder are refused.
TEST(SafeWrites, ANamedTargetIsFollowedToWhatItNames) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "src");
    fs::create_directories(dir.path() / "real/folder");
    WriteFile(dir / "src/a", "a");
    Pack pack;
    Append(pack, MakeEntry("a", "a"));
    ASSERT_TRUE(pack.Save((dir / "expected.pak").c_str()));
    const std::string expected = ReadFile(dir / "expected.pak");
    fs::create_symlink(dir / "real/file.pak", dir.path() / "link");
    fs::create_symlink("link", dir.path() / "chain");
    fs::create_symlink("real/new.pak", dir.path() / "dangling");
    fs::create_symlink("real/folder", dir.path() / "to-folder");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir / "sock").c_str(), sizeof address.sun_path - 1);
    const int socket_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const struct {
        const char* target;
        const char* lands;  // the file replaced; "" for a stream read as it is written
        bool saved;
    } cases[] = {{"link", "real/file.pak", true},    {"chain", "real/file.pak", true},
                 {"dangling", "real/new.pak", true}, {"fifo", "", true},
                 {"/dev/null", nullptr, true},       {"real/folder", nullptr, false},
                 {"to-folder", nullptr, false},      {"sock", nullptr, false},
                 {"real/", nullptr, false}};
    for (const bool menu : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(menu ? "menu: " : "command line: ") + c.target);
            WriteFile(dir / "real/file.pak", "earlier");
            fs::permissions(dir.path() / "real/file.pak", fs::perms(0640));
            fs::remove(dir.path() / "real/new.pak");
            const std::string target = c.target[0] == '/' ? c.target : dir / c.target;
            std::string streamed;
            std::atomic<bool> done{false};
            std::thread reader([&] {
                if (c.lands == nullptr || *c.lands != '\0') return;
                // Open at once, then read until the writer is gone or, none having come, the
                // save is over.
                const int fd = open(target.c_str(), O_RDONLY | O_NONBLOCK);
                char buffer[4096];
                for (pollfd ready{fd, POLLIN, 0}; fd >= 0;) {
                    if (poll(&ready, 1, 100) == 0) {
                        if (done) break;
                        continue;  // no writer yet: a read would take it for the end
                    }
                    const ssize_t got = read(fd, buffer, sizeof buffer);
                    if (got == 0 || (got < 0 && errno != EAGAIN)) break;
                    if (got > 0) streamed.append(buffer, static_cast<std::size_t>(got));
                }
                if (fd >= 0) close(fd);
            });
            const bool saved = menu ? pack.Save(target.c_str())
                                    : RunCommand(dir.path(), {"pack", target, "src"}).status == 0;
            done = true;
            reader.join();
            EXPECT_EQ(saved, c.saved);
            if (c.lands != nullptr && *c.lands == '\0') {
                EXPECT_TRUE(streamed == expected);
            } else if (c.lands != nullptr) {
                EXPECT_TRUE(ReadFile(dir / c.lands) == expected);
                EXPECT_EQ(fs::status(dir.path() / c.lands).permissions(),
                          fs::perms(std::string(c.lands) == "real/new.pak" ? 0644 : 0640));
            }
            EXPECT_TRUE(fs::is_symlink(dir.path() / "link") &&
                        fs::is_symlink(dir.path() / "chain"));
            EXPECT_TRUE(fs::is_fifo(dir.path() / "fifo") && fs::is_socket(dir.path() / "sock"));
            EXPECT_TRUE(fs::is_character_file("/dev/null"));
            EXPECT_TRUE(fs::is_empty(dir.path() / "real/folder"));
            EXPECT_EQ(TempFilesIn(dir.path()) + TempFilesIn(dir.path() / "real"), 0);
        }
    }
    close(socket_fd);
}

// A replaced file keeps its permission bits (and its owner, as root); a new one gets the usual
// mode under the umask.
TEST(SafeWrites, ReplacedFilesKeepTheirModeAndOwner) {
    ScratchDir dir;
    const mode_t umasked = umask(022);
    const bool root = geteuid() == 0;
    struct Case {
        const char* name;
        int mode;  // -1: no earlier file
        bool save;
        int expected;
    } cases[] = {
        {"private.pak", 0600, true, 0600}, {"script", 0755, false, 0755},
        {"setuid", 04750, false, 04750},   {"new.pak", -1, true, 0644},
        {"new", -1, false, 0644},
    };
    for (const Case& c : cases) {
        const std::string path = dir / c.name;
        if (c.mode >= 0) {
            WriteFile(path, "earlier");
            if (root) {
                ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
            }
            ASSERT_EQ(chmod(path.c_str(), c.mode),
                      0);  // after the owner, whose change clears S_ISUID
        }
        Pack pack;
        Append(pack, MakeEntry(c.name, "new bytes"));
        EXPECT_TRUE(c.save ? pack.Save(path.c_str()) : pack.UnpackToFolder(dir.path().c_str()));
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(c.expected)) << c.name;
        if (root && c.mode >= 0) {
            EXPECT_EQ(info.st_uid, 4321u) << c.name;
            EXPECT_EQ(info.st_gid, 4322u) << c.name;
        }
    }
    umask(umasked);
}

#ifdef ZOREL_SYNC_LOG
// A save is on the disk before it takes the target's name, and the name once the folder is:
// the menu's save (over an earlier file) and the command line's pack (a new file) sync the file,
// rename it over the earlier one or link it as the new one, then sync the folder.
TEST(SafeWrites, ASaveIsSyncedBeforeAndAfterItsRename) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "src");
    WriteFile(dir / "src/a", "a");
    WriteFile(dir / "menu.pak", "earlier");
    const std::string log = dir / "sync.log";
    // The programs started here get the logger.
    setenv("LD_PRELOAD", ZOREL_SYNC_LOG, 1);
    setenv("ZOREL_SYNC_LOG", log.c_str(), 1);
#ifdef ZOREL_ADDRESS_SANITIZER
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the logger is loaded before it
#endif
    RunProgram(dir.path(), "3\nsrc\n\n2\nmenu.pak\n\n0\n\n");
    const std::string menu = ReadFile(log);
    fs::remove(log);
    const int status = RunCommand(dir.path(), {"pack", "cli.pak", "src"}).status;
    for (const char* name : {"LD_PRELOAD", "ZOREL_SYNC_LOG", "ASAN_OPTIONS"}) unsetenv(name);
    EXPECT_EQ(status, 0);
    EXPECT_NE(ReadFile(dir / "menu.pak"), "earlier");
    EXPECT_EQ(menu, "fsync file\nlink\nrename\nfsync folder\n");
    EXPECT_EQ(ReadFile(log), "fsync file\nlink\nfsync folder\n");
}
#endif

// Runs the program in the current folder, whatever its length, with input as its standard
// input; gives its standard output, written to a terminal or else to a file.
std::string RunHere(const std::string& input, bool terminal) {
    ScratchDir io;
    WriteFile(io / "stdin", input);
    const int screen = terminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    if (terminal && (screen < 0 || grantpt(screen) != 0 || unlockpt(screen) != 0)) return "";
    const std::string output = terminal ? ptsname(screen) : io / "stdout";
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int in = open((io / "stdin").c_str(), O_RDONLY);
        const int out = open(output.c_str(), O_RDWR | O_NOCTTY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(127);
        execl(ZOREL_BINARY, ZOREL_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t got = 0; terminal && (got = read(screen, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<std::size_t>(got));  // EIO once the program is gone
    }
    waitpid(child, nullptr, 0);
    if (terminal) close(screen);
    return terminal ? shown : ReadFile(output);
}

// After packing a folder and testing the unpack folder, the program is back in a current
// folder whose path is longer than the system's path limit: the saves land there.
TEST(SafeWrites, ACurrentFolderOfAnyLengthIsGoneBackTo) {
    ScratchDir dir;
    const std::string step(250, 'd');
    KeepCurrentFolder keep;
    fs::current_path(dir.path());
    std::size_t length = dir.path().string().size();
    int depth = 0;
    for (; length <= 5000; ++depth, length += step.size() + 1) {
        ASSERT_EQ(mkdir(step.c_str(), 0700), 0);
        ASSERT_EQ(chdir(step.c_str()), 0);  // one step at a time: the whole path is too long
    }
    fs::create_directory("src");
    WriteFile("src/a", "a");
    RunHere("3\nsrc\n\n2\nout.pak\n\n4\nun\n\n2\nagain.pak\n\n0\n\n", false);
    EXPECT_EQ(ReadFile("out.pak"), ReadFile("again.pak"));
    EXPECT_EQ(ReadFile("un/a"), "a");
    EXPECT_FALSE(fs::exists("src/out.pak") || fs::exists("un/again.pak"));
    // Cleared from the bottom up: the library cannot remove a path this long in one go.
    for (const char* name : {"src/a", "src", "un/a", "un", "out.pak", "again.pak"}) {
        std::remove(name);
    }
    for (; depth > 0; --depth) {
        ASSERT_EQ(chdir(".."), 0);
        ASSERT_EQ(rmdir(step.c_str()), 0);
    }
}

#endif  // !_WIN32

#ifdef _WIN32

// Names Windows would take for a device or change (dropping a last dot or blank, so that
// "name." would replace "name") stop the unpack, as ".." does.
TEST(SafeWrites, NamesWindowsWouldAlterAreRefused) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "out/sub");
    for (const char* name :
         {"CON",    "nul",   "aux.txt", "COM1",    "lpt9.log", "prn .x", "CONOUT$",
          "a<b",    "a>b",   "a:b",     "a\"b",    "a|b",      "a?b",    "a*b",
          "a\x01z", "name.", "name ",   "sub/CON", "CON/x",    "sub./x"}) {
        Pack pack;
        Sandwich(pack, name);
        EXPECT_FALSE(pack.UnpackToFolder((dir / "out").c_str(), 1)) << name;  // as above
        EXPECT_FALSE(fs::exists(dir.path() / "out/later")) << name;
        EXPECT_EQ(TempFilesIn(dir.path() / "out"), 0) << name;
    }
}

// File names outside the ANSI code page pack and unpack: the program speaks UTF-8.
TEST(SafeWrites, NamesOutsideTheAnsiCodePageRoundTrip) {
    ScratchDir dir;
    const std::string name = "\xd0\xb6\xd1\x83\xd0\xba \xe2\x82\xac.txt";  // Cyrillic, euro
    fs::create_directory(dir.path() / "src");
    const fs::path wide(std::u8string(name.begin(), name.end()));
    std::ofstream(dir.path() / "src" / wide) << "bytes";
    Pack pack;
    ASSERT_TRUE(pack.PackFolder((dir / "src").c_str()));
    ASSERT_EQ(Names(pack), name);
    ASSERT_TRUE(pack.UnpackToFolder((dir / "src").c_str()));
    EXPECT_EQ(fs::file_size(dir.path() / "src" / wide), 5u);
}

#endif  // _WIN32

// A read-only file replaced by a save or an unpack is read-only still: its attribute is kept on
// Windows as its mode is on POSIX.
TEST(SafeWrites, AReadOnlyFileIsReplacedAndStaysReadOnly) {
    ScratchDir dir;
    const auto writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    for (const bool save : {true, false}) {
        const fs::path path = dir.path() / (save ? "kept.pak" : "kept");
        WriteFile(path.string(), "earlier");
        fs::permissions(path, writable, fs::perm_options::remove);
        Pack pack;
        Append(pack, MakeEntry("kept", "new bytes"));
        EXPECT_TRUE(save ? pack.Save(path.string().c_str())
                         : pack.UnpackToFolder(dir.path().string().c_str()));
        EXPECT_NE(ReadFile(path.string()), "earlier") << path;
        EXPECT_EQ(fs::status(path).permissions() & writable, fs::perms::none) << path;
        EXPECT_EQ(TempFilesIn(dir.path()), 0);
    }
}

// Entries are bounded by memory alone: more than Windows' 65,536 movable blocks load and save.
TEST(SafeWrites, SeventyThousandEntriesLoadAndSave) {
    ScratchDir dir;
    constexpr std::uint32_t kEntries = 70000;
    std::string file("UPz3\0", 5);
    for (int shift = 0; shift < 32; shift += 8) file += static_cast<char>(kEntries >> shift);
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        std::string name = std::to_string(i);
        name.resize(32, '\0');
        file += std::string("\1\0\0\0\0\0\0\0", 8) + name + static_cast<char>('a' + i % 26);
    }
    WriteFile(dir / "many.pak", file);
    Pack pack;
    ASSERT_TRUE(pack.Load((dir / "many.pak").c_str()));
    EXPECT_EQ(pack.count, kEntries);
    ASSERT_TRUE(pack.Save((dir / "again.pak").c_str()));
    EXPECT_TRUE(ReadFile(dir / "again.pak") == file);
}

}  // namespace
