// Faults from outside the program: memory that runs out, writes that fail, folders that are
// full or read-only, files that vanish or refuse to be read while a folder is packed. Each case
// checks what the program says and that nothing that was safe before the command is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif
#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#endif

#include <zlib.h>

#include "test_support.h"

// Every allocation through operator new in this test program can be made to fail: the n-th
// one from the moment `gFailIn` is set to n.
namespace {
std::atomic<long> gFailIn{-1};
std::atomic<bool> gFailed{false};
}  // namespace

void* operator new(std::size_t size) {
    if (gFailIn.load() >= 0 && gFailIn.fetch_sub(1) == 0) {
        gFailed = true;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
#if defined(__GNUC__) && !defined(__clang__)
// The replacement itself is where operator new's memory meets free: not a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    operator delete(memory);
}

namespace {

// The pack's entries by name and plain bytes, whatever form each is in.
std::string Contents(Pack& pack) {
    std::string all = std::to_string(pack.count);
    for (PackEntry* entry = pack.head; entry != nullptr; entry = entry->next) {
        std::string bytes = BlockBytes(*entry);
        if (entry->compressed != 0) {
            std::string plain(entry->size, '\0');
            uLongf length = entry->size;
            const bool sound =
                uncompress(reinterpret_cast<Bytef*>(plain.data()), &length,
                           reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()) == Z_OK;
            bytes = sound && length == entry->size ? plain : "damaged";
        }
        all += std::string("|") + entry->name + "=" + bytes;
    }
    return all;
}

// Every allocation an operation makes is failed in turn: the operation answers with its
// truth value, never an exception, and leaves what its contract says a failure leaves.
TEST(Faults, EveryAllocationFailureIsAnsweredNotThrown) {
    ScratchDir dir;
    const fs::path before = fs::current_path();
    const std::string folder = dir / "folder-with-a-long-name";
    const std::string target = dir / "earlier-pack-with-a-long-name.pak";
    const std::string second = folder + "/second";
    fs::create_directories(folder);
    WriteFile(folder + "/first-file", std::string(3000, 'f'));
    WriteFile(second, "second");
    auto fill = [](Pack& pack) {
        Append(pack, MakeEntry("one", std::string(2000, '1')));
        Append(pack, MakeEntry("two", "two"));
        pack.Encode(4);
    };
    Pack model;
    fill(model);
    ASSERT_TRUE(model.Save(target.c_str()));
    const std::string earlier = ReadFile(target), held = Contents(model);
    // What the pack holds when the operation succeeded and when it failed ("": not checked).
    struct Case {
        const char* what;
        std::function<bool(Pack&)> run;
        std::string ifDone, ifFailed;
    } cases[] = {
        {"save", [&](Pack& p) { return p.Save(target.c_str()); }, held, held},
        {"load", [&](Pack& p) { return p.Load(target.c_str()); }, held, "0"},
        {"pack a folder", [&](Pack& p) { return p.PackFolder(folder.c_str()); }, "", "0"},
        {"unpack", [&](Pack& p) { return p.UnpackToFolder(folder.c_str()); }, held, held},
        {"add", [&](Pack& p) { return p.AddFile(second.c_str()); }, held + "|" + second + "=second",
         held},
        {"decode and encode", [](Pack& p) { return p.Decode(3), p.Encode(3), true; }, held, held},
    };
    for (const Case& c : cases) {
        long n = 0;
        for (;; ++n) {
            Pack pack;
            fill(pack);
            gFailed = false;
            gFailIn = n;
            bool ok = false;
            try {
                ok = c.run(pack);
            } catch (...) {
                ADD_FAILURE() << c.what << ": an exception escaped at allocation " << n;
            }
            gFailIn = -1;
            if (!gFailed) break;
            SCOPED_TRACE(std::string(c.what) + ", allocation " + std::to_string(n));
            const std::string& expected = ok ? c.ifDone : c.ifFailed;
            if (!expected.empty()) {
                EXPECT_EQ(Contents(pack), expected);
            }
            if (!ok) {
                EXPECT_EQ(ReadFile(target), earlier);
            }
            EXPECT_EQ(fs::current_path(), before);
            EXPECT_EQ(TempFilesIn(dir.path()) + TempFilesIn(folder), 0);
        }
        EXPECT_GT(n, 0) << c.what << ": no allocation was made to fail";
    }
}

#ifndef _WIN32

const std::string kAdded = " Enter Filename:  The file was added Successfully!";
const std::string kSaved = " Enter Filename:  The pack was saved Successfully!";
const std::string kNotSaved = " Enter Filename:  The pack was saved UnSuccessfully!";
const std::string kNotLoaded = " Enter Filename:  The pack was loaded UnSuccessfully!";
const std::string kLoaded = " Enter Filename:  The pack was loaded Successfully!";
const std::string kNotPacked = " Enter Folder name:  The folder was packed UnSuccessfully!";
const std::string kEncoded = " Pack Encoded successfully!\n";
const std::string kDecoded = " Pack Decoded successfully!\n";
std::string NotUnpacked(const std::string& folder) {
    return " Enter Folder Name:  Now unpacking to the folder: " + folder +
           "\n The pack was unpacked UnSuccessfully!";
}

// What a fresh pack of these files, by these names, saves as.
std::string PackOf(const fs::path& folder, std::initializer_list<const char*> names) {
    KeepCurrentFolder keep;
    fs::current_path(folder);
    Pack pack;
    for (const char* name : names) EXPECT_TRUE(pack.AddFile(name)) << name;
    EXPECT_TRUE(pack.Save(".zorel-expected"));
    const std::string bytes = ReadFile(".zorel-expected");
    fs::remove(".zorel-expected");
    return bytes;
}

// Runs the program and checks its messages pass by pass and that it ended by itself.
void Expect(const fs::path& folder, const std::string& input, std::vector<std::string> said,
            RunLimits limits = {}) {
    int status = -1;
    const std::string output = RunProgram(folder, input, &status, limits);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Messages(output), said);
}

// A file that is compressible, so that it can still be saved once encoded.
std::string Compressible(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = "zorel packs "[i % 12] + (i % 4093 == 0);
    return bytes;
}

// Writes fail once a file would pass the size limit: the save and the unpack fail whole, the
// earlier files keep their bytes, and the pack in memory keeps every entry.
TEST(Faults, WritesBeyondTheFileSizeLimitFailWhole) {
    ScratchDir dir;
    const std::string big = Compressible(1 << 20);
    WriteFile(dir / "big.txt", big);
    WriteFile(dir / "notes.txt", "notes");
    WriteFile(dir / "keep.pak", "an earlier pack file");
    fs::create_directory(dir.path() / "out");
    WriteFile(dir / "out/big.txt", "an earlier big.txt");
    RunLimits limits;
    limits.fileSize = 64 << 10;
    Expect(dir.path(),
           "5\nbig.txt\n\n5\nnotes.txt\n\n2\nkeep.pak\n\n4\nout\n\n8\n\n2\nafter.pak\n\n0\n\n",
           {kAdded, kAdded, kNotSaved, NotUnpacked("out"), kEncoded, kSaved, kWait}, limits);
    EXPECT_EQ(ReadFile(dir / "keep.pak"), "an earlier pack file");
    EXPECT_EQ(ReadFile(dir / "out/big.txt"), "an earlier big.txt");
    EXPECT_EQ(TempFilesIn(dir.path()) + TempFilesIn(dir.path() / "out"), 0);
    // What was saved after the failures holds every byte.
    Expect(dir.path(), "1\nafter.pak\n\n4\nback\n\n0\n\n",
           {kLoaded,
            " Enter Folder Name:  Now unpacking to the folder: back\n"
            " The pack was unpacked Successfully!",
            kWait});
    EXPECT_TRUE(ReadFile(dir / "back/big.txt") == big);
    EXPECT_EQ(ReadFile(dir / "back/notes.txt"), "notes");
}

// Under an address-space limit smaller than a folder, a pack file or an input line, each
// command that cannot get its memory says so; the program keeps running and loses nothing.
TEST(Faults, MemoryExhaustionIsReportedAndTheNextCommandWorks) {
#if defined(ZOREL_ADDRESS_SANITIZER) || defined(ZOREL_THREAD_SANITIZER)
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#endif
    if (!ProgramWrapper().empty()) GTEST_SKIP() << "the wrapper needs more address space";
    constexpr std::uint64_t kMiB = 1 << 20;
    ScratchDir dir;
    fs::create_directory(dir.path() / "big");
    for (const char* name : {"big/a", "big/b", "big/c"}) {
        WriteFile(dir / name, "");
        fs::resize_file(dir / name, 24 * kMiB);  // sparse: no disk needed
    }
    // A pack file whose one plain entry is larger than the limit.
    WriteFile(dir / "big.pak", std::string("UPz3\0\1\0\0\0\0\0\0\4\0\0\0\0huge", 21));
    fs::resize_file(dir / "big.pak", 49 + 64 * kMiB);
    const std::string mid = Compressible(28 * kMiB);
    WriteFile(dir / "mid.bin", mid);
    RunLimits limits;
    limits.addressSpace = 48 * kMiB;
    // A line too long for memory reads as empty, never as its tail: the find echoes it. Loading
    // 28 MiB fits; compressing it needs twice that and fails, so the entry stays plain and the
    // save that needs the compressed form fails.
    const std::string tooLong(40 * kMiB, 'n');
    const std::string notFound =
        " Search method: (1 for number, anything else for filename)\n\n"
        "  >  Enter File number or name:  Could not find file name !";
    Expect(dir.path(),
           "3\nbig\n\n1\nbig.pak\n\n1\n" + tooLong + "\n\nf\nn\n" + tooLong +
               "\n\n5\nmid.bin\n\n8\n\n2\nx.pak\n\n9\n\n2\nmid.pak\n\n0\n\n",
           {kNotPacked, kNotLoaded, kNotLoaded, notFound, kAdded, kEncoded, kNotSaved, kDecoded,
            kSaved, kWait},
           limits);
    EXPECT_FALSE(fs::exists(dir.path() / "x.pak"));
    EXPECT_TRUE(ReadFile(dir / "mid.pak") == PackOf(dir.path(), {"mid.bin"}));
}

#ifdef __linux__

// A mount over a scratch folder for the length of a test: a small tmpfs, or the folder itself
// again, read-only. Without the right to mount, ok() is false.
class Mount {
  public:
    Mount(const fs::path& at, bool tmpfs) : at_(at) {
        if (tmpfs) {
            ok_ = mount("zorel-test", at.c_str(), "tmpfs", 0, "size=64k") == 0;
        } else if (mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            ok_ = true;
            constexpr unsigned long kReadOnly = MS_REMOUNT | MS_BIND | MS_RDONLY;
            if (mount(nullptr, at.c_str(), nullptr, kReadOnly, nullptr) != 0) Undo();
        }
    }
    ~Mount() { Undo(); }
    bool ok() const { return ok_; }

  private:
    void Undo() {
        if (ok_) umount2(at_.c_str(), MNT_DETACH);
        ok_ = false;
    }
    fs::path at_;
    bool ok_ = false;
};

// A folder "t" holding earlier files that takes no more bytes: the save and the unpack into it
// fail, its files keep their bytes and no temporary file stays; the pack is saved whole elsewhere
// afterwards.
void ExpectFolderKeepsItsFiles(const ScratchDir& dir) {
    WriteFile(dir / "big.txt", Compressible(200 << 10));
    Expect(dir.path(), "5\nbig.txt\n\n2\nt/keep.pak\n\n4\nt\n\n2\nok.pak\n\n0\n\n",
           {kAdded, kNotSaved, NotUnpacked("t"), kSaved, kWait});
    EXPECT_EQ(ReadFile(dir / "t/keep.pak"), "an earlier pack file");
    EXPECT_EQ(ReadFile(dir / "t/big.txt"), "an earlier big.txt");
    EXPECT_EQ(TempFilesIn(dir.path() / "t"), 0);
    EXPECT_TRUE(ReadFile(dir / "ok.pak") == PackOf(dir.path(), {"big.txt"}));
}

TEST(Faults, AFullFolderKeepsItsFiles) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "t");
    Mount full(dir.path() / "t", true);
    if (!full.ok()) GTEST_SKIP() << "mounting a small tmpfs needs CAP_SYS_ADMIN";
    WriteFile(dir / "t/keep.pak", "an earlier pack file");
    WriteFile(dir / "t/big.txt", "an earlier big.txt");
    ExpectFolderKeepsItsFiles(dir);
}

TEST(Faults, AReadOnlyFolderKeepsItsFiles) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "t");
    WriteFile(dir / "t/keep.pak", "an earlier pack file");
    WriteFile(dir / "t/big.txt", "an earlier big.txt");
    // Mode bits do not hold root back; a read-only mount holds everyone.
    Mount readOnly(dir.path() / "t", false);
    if (geteuid() != 0) {
        fs::permissions(dir.path() / "t",
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    } else if (!readOnly.ok()) {
        GTEST_SKIP() << "as root only a read-only mount makes a folder read-only, and mounting "
                        "needs CAP_SYS_ADMIN";
    }
    ExpectFolderKeepsItsFiles(dir);
}

// Holds each open and each read of a file in a folder until `decide` has answered it, so that
// a test can act at an exact point of the program's work. `decide` gets the file's name, whether
// the event is an open (or else a read) and how many events of that kind came before; it
// answers whether the open or read may go on.
class Gate {
  public:
    using Decide = std::function<bool(const std::string& name, bool open, int before)>;
    // `also` adds to the events held: FAN_ONDIR holds the folder's own opens and reads too.
    Gate(const fs::path& folder, Decide decide, unsigned also = 0) : decide_(std::move(decide)) {
        fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
        const unsigned events = FAN_OPEN_PERM | FAN_ACCESS_PERM | FAN_EVENT_ON_CHILD | also;
        if (fd_ >= 0 && fanotify_mark(fd_, FAN_MARK_ADD, events, AT_FDCWD, folder.c_str()) == 0) {
            server_ = std::thread([this] { Serve(); });
        } else if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Gate() {
        stop_ = true;
        if (server_.joinable()) server_.join();
        if (fd_ >= 0) close(fd_);  // lets anything still held go on
    }
    bool ok() const { return fd_ >= 0; }

  private:
    void Serve() {
        alignas(fanotify_event_metadata) char buffer[4096];
        int opens = 0, reads = 0;
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            ssize_t left = read(fd_, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (; left > 0 && FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (event->fd < 0) continue;
                std::error_code error;
                const fs::path file =
                    fs::read_symlink("/proc/self/fd/" + std::to_string(event->fd), error);
                const bool open = (event->mask & FAN_OPEN_PERM) != 0;
                const bool allow =
                    decide_(file.filename().string(), open, (open ? opens : reads)++);
                const fanotify_response answer{event->fd, allow ? 0u + FAN_ALLOW : 0u + FAN_DENY};
                EXPECT_EQ(write(fd_, &answer, sizeof answer), ssize_t{sizeof answer});
                close(event->fd);
            }
        }
    }

    Decide decide_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

// Files that vanish, refuse to be opened or shrink after the folder was listed, and the folder
// itself removed while it is packed: the pack fails and empties, the program goes on in the
// folder it started in.
TEST(Faults, FilesThatChangeWhileAFolderIsPackedFailThePack) {
    ScratchDir dir;
    const fs::path src = dir.path() / "src";
    WriteFile(dir / "notes.txt", "notes");
    const std::string expected = PackOf(dir.path(), {"notes.txt"});
    std::error_code ignored;
    const struct Case {
        const char* what;
        Gate::Decide decide;
    } cases[] = {
        {"the other files removed at the first open",
         [&](const std::string& name, bool open, int before) {
             for (const char* other : {"a", "b", "c"}) {
                 if (open && before == 0 && name != other) fs::remove(src / other, ignored);
             }
             return true;
         }},
        {"a file that refuses to be opened",
         [](const std::string& name, bool open, int) { return !(open && name == "b"); }},
        {"a file that shrinks after its length was taken",
         [&](const std::string& name, bool open, int before) {
             if (!open && before == 0) fs::resize_file(src / name, 1, ignored);
             return true;
         }},
        {"the folder removed at the first open",
         [&](const std::string&, bool open, int before) {
             if (open && before == 0) fs::remove_all(src, ignored);
             return true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(src);
        fs::create_directory(src);
        for (const char* name : {"a", "b", "c"}) WriteFile((src / name).string(), "some bytes");
        fs::remove(dir.path() / "after.pak");
        {
            Gate gate(src, c.decide);
            if (!gate.ok()) GTEST_SKIP() << "holding a file's open needs CAP_SYS_ADMIN (fanotify)";
            Expect(dir.path(), "3\nsrc\n\n5\nnotes.txt\n\n2\nafter.pak\n\n0\n\n",
                   {kNotPacked, kAdded, kSaved, kWait});
        }
        EXPECT_TRUE(ReadFile(dir / "after.pak") == expected);
    }
}

// A listing of the folder that fails part-way (its second read refused, as an I/O error would
// end it) fails the pack: the entries read so far are not the whole folder.
TEST(Faults, AFolderListingThatFailsPartWayFailsThePack) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "src");
    for (const char* name : {"src/a", "src/b", "src/c"}) WriteFile(dir / name, "some bytes");
    std::atomic<int> refused{0};
    Gate gate(
        dir.path() / "src",
        [&refused](const std::string& name, bool open, int before) {
            const bool refuse = !open && name == "src" && before == 1;
            refused += refuse;
            return !refuse;
        },
        FAN_ONDIR);
    if (!gate.ok()) GTEST_SKIP() << "refusing a folder's read needs CAP_SYS_ADMIN (fanotify)";
    Expect(dir.path(), "3\nsrc\n\n0\n\n", {kNotPacked, kWait});
    EXPECT_EQ(refused, 1);
}

// A current folder that refuses to be opened fails the pack with the system's reason.
TEST(Faults, ACurrentFolderThatCannotBeOpenedIsNamedWithItsReason) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "src");
    WriteFile(dir / "src/a", "a");
    const std::string self = dir.path().filename().string();
    Gate gate(
        dir.path(),
        [&](const std::string& name, bool open, int) { return !(open && name == self); },
        FAN_ONDIR);
    if (!gate.ok()) GTEST_SKIP() << "refusing a folder's open needs CAP_SYS_ADMIN (fanotify)";
    const CommandResult result = RunCommand(dir.path(), {"pack", "p.pak", "src"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "zorel: src: " + platform::ErrorText(EPERM) + "\n");
}

#endif  // __linux__

#endif  // !_WIN32

}  // namespace
