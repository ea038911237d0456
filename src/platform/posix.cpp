// POSIX stand-ins for the Windows kernel calls the packer is written against.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/atomic_file.h"
#include "platform/platform.h"

namespace {

// A block is this header followed by its bytes.
struct Block {
    std::size_t size;
    unsigned locks;
    alignas(std::max_align_t) unsigned char bytes[1];
};

constexpr std::size_t kHeader = offsetof(Block, bytes);

// A block of this size or more, header included, gets a mapping of its own that starts on a
// huge page boundary and is marked for huge pages: one page fault per 2 MiB instead of one per
// 4 KiB when its bytes are first written. The size alone tells how a block was made.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Only optimised builds do so: with sanitizers or the fuzzer every block comes from calloc,
// where those tools see its bounds and its size.
#ifdef ZOREL_MAP_LARGE_BLOCKS
constexpr bool kMapLarge = true;
#else
constexpr bool kMapLarge = false;
#endif

std::size_t MappedLength(std::size_t total) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (total + page - 1) / page * page;
}

void* MapLarge(std::size_t total) {
    if (total > SIZE_MAX - 2 * kHugePage) return nullptr;
    const std::size_t length = MappedLength(total);
    void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    // Keep the aligned part; give back what lies before and after it.
    auto* const start = static_cast<unsigned char*>(mapped);
    const auto misalignment = reinterpret_cast<std::uintptr_t>(start) % kHugePage;
    unsigned char* const aligned = misalignment == 0 ? start : start + (kHugePage - misalignment);
    if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
    unsigned char* const end = start + length + kHugePage;
    if (aligned + length != end)
        munmap(aligned + length, static_cast<std::size_t>(end - aligned - length));
#ifdef MADV_HUGEPAGE
    madvise(aligned, length, MADV_HUGEPAGE);  // a hint: without huge pages all still works
#endif
    return aligned;
}

struct Search {
    DIR* dir;
    int folder;
};

DWORD AttributesOf(int folder, const dirent* item) {
    switch (item->d_type) {
        case DT_DIR:
            return FILE_ATTRIBUTE_DIRECTORY;
        case DT_REG:
            return FILE_ATTRIBUTE_NORMAL;
        case DT_UNKNOWN:
        case DT_LNK:
            break;
        default:
            return FILE_ATTRIBUTE_DEVICE;
    }
    struct stat info {};
    if (fstatat(folder, item->d_name, &info, 0) != 0) return FILE_ATTRIBUTE_DEVICE;
    if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISREG(info.st_mode)) return FILE_ATTRIBUTE_NORMAL;
    return FILE_ATTRIBUTE_DEVICE;
}

// Fills found with the next item whose name fits; false at the end of the folder.
bool NextItem(Search* search, WIN32_FIND_DATAA* found) {
    for (;;) {
        errno = 0;
        const dirent* item = readdir(search->dir);
        if (item == nullptr) return false;  // errno 0 at the end, else why the read failed
        const std::size_t length = std::strlen(item->d_name);
        if (length >= sizeof found->cFileName) continue;
        std::memset(found, 0, sizeof *found);
        std::memcpy(found->cFileName, item->d_name, length);
        found->dwFileAttributes = AttributesOf(search->folder, item);
        return true;
    }
}

// Temporary files are ".zorel-PID-N.tmp", N counting up in the process.
std::atomic<unsigned> gSerial{0};

void TempName(char (&name)[48]) {
    static const long pid = static_cast<long>(getpid());  // asked once, not once per file
    std::snprintf(name, sizeof name, ".zorel-%ld-%u.tmp", pid, gSerial.fetch_add(1));
}

std::atomic<bool> gNameless{true};

// The named temporary files that SIGINT, SIGTERM and SIGHUP remove before the program ends. A
// slot is free (0), being filled (1), armed (2), or taken by the handler (3).
struct Doomed {
    std::atomic<int> state{0};
    int folder = -1;
    char name[48] = {};
};
constexpr int kDoomedSlots = 256;  // one per thread writing a file at once is enough
Doomed gDoomed[kDoomedSlots];
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gFormer[3];

extern "C" void RemoveTempFilesAndEnd(int signal) {
    for (Doomed& slot : gDoomed) {
        int armed = 2;
        if (slot.state.compare_exchange_strong(armed, 3)) unlinkat(slot.folder, slot.name, 0);
    }
    for (int i = 0; i < 3; ++i) {
        if (kCleanedSignals[i] == signal) sigaction(signal, &gFormer[i], nullptr);
    }
    raise(signal);  // delivered once this returns, to the former action: the end, by default
}

void InstallCleanup() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = RemoveTempFilesAndEnd;
        sigemptyset(&action.sa_mask);
        for (int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
        for (int i = 0; i < 3; ++i) {
            // A signal the program was started to ignore stays ignored.
            if (sigaction(kCleanedSignals[i], nullptr, &gFormer[i]) == 0 &&
                gFormer[i].sa_handler != SIG_IGN) {
                sigaction(kCleanedSignals[i], &action, nullptr);
            }
        }
        return true;
    }();
    (void)installed;
}

// Puts name in folder on the list a signal cleans; -1 when the list is full.
int Doom(int folder, const char* name) {
    InstallCleanup();
    for (int i = 0; i < kDoomedSlots; ++i) {
        int free = 0;
        if (!gDoomed[i].state.compare_exchange_strong(free, 1)) continue;
        gDoomed[i].folder = folder;
        std::memcpy(gDoomed[i].name, name, sizeof gDoomed[i].name);
        gDoomed[i].state.store(2);
        return i;
    }
    return -1;
}

void Spare(int slot) {
    if (slot < 0) return;
    int armed = 2;
    // Taken by the handler: the program is ending, and this thread must not close the folder
    // the handler is about to use.
    if (!gDoomed[slot].state.compare_exchange_strong(armed, 0)) {
        for (;;) pause();
    }
}

}  // namespace

HGLOBAL GlobalAlloc(UINT /*flags*/, SIZE_T bytes) {
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    const std::size_t total = kHeader + (bytes == 0 ? 1 : bytes);
    void* memory = kMapLarge && total >= kHugePage ? MapLarge(total) : std::calloc(1, total);
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<Block*>(memory);
    block->size = bytes;
    return block;
}

LPVOID GlobalLock(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->size == 0) return nullptr;
    ++block->locks;
    return block->bytes;
}

BOOL GlobalUnlock(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->locks == 0) return 0;
    --block->locks;
    return block->locks != 0;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (kMapLarge && block != nullptr && kHeader + block->size >= kHugePage) {
        munmap(block, MappedLength(kHeader + block->size));
    } else {
        std::free(handle);
    }
    return nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL handle, SIZE_T bytes, UINT /*flags*/) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->locks != 0 || bytes == 0 || bytes > block->size) return nullptr;
    const std::size_t had = kHeader + block->size;
    const std::size_t total = kHeader + bytes;
    if (kMapLarge && had >= kHugePage) {
        if (total >= kHugePage) {
            // The pages past the new end go back to the system; the rest stays where it is.
            const std::size_t keep = MappedLength(total);
            const std::size_t mapped = MappedLength(had);
            if (keep < mapped)
                munmap(reinterpret_cast<unsigned char*>(block) + keep, mapped - keep);
            block->size = bytes;
            return block;
        }
        void* small = std::malloc(total);
        if (small == nullptr) return nullptr;
        std::memcpy(small, block, total);
        munmap(block, MappedLength(had));
        block = static_cast<Block*>(small);
    } else {
        void* moved = std::realloc(block, total);
        if (moved == nullptr) return nullptr;
        block = static_cast<Block*>(moved);
    }
    block->size = bytes;
    return block;
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    return path != nullptr && chdir(path) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, void* /*securityAttributes*/) {
    return path != nullptr && mkdir(path, 0777) == 0;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
    if (pattern == nullptr || found == nullptr) return INVALID_HANDLE_VALUE;
    // "*" lists the current folder, "folder/*" that folder (the line editor's completion).
    const std::size_t length = std::strlen(pattern);
    std::string folder;
    if (length == 1 && pattern[0] == '*') {
        folder = ".";
    } else if (length >= 2 && pattern[length - 2] == '/' && pattern[length - 1] == '*') {
        try {
            folder.assign(pattern, length == 2 ? 1 : length - 2);
        } catch (const std::bad_alloc&) {
            return INVALID_HANDLE_VALUE;
        }
    } else {
        return INVALID_HANDLE_VALUE;
    }

    auto* search = new (std::nothrow) Search{};
    if (search == nullptr) return INVALID_HANDLE_VALUE;
    search->dir = opendir(folder.c_str());
    if (search->dir == nullptr) {
        delete search;
        return INVALID_HANDLE_VALUE;
    }
    search->folder = dirfd(search->dir);
    if (!NextItem(search, found)) {
        closedir(search->dir);
        delete search;
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* found) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || found == nullptr) return 0;
    return NextItem(static_cast<Search*>(handle), found);
}

BOOL FindClose(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
    auto* search = static_cast<Search*>(handle);
    closedir(search->dir);
    delete search;
    return 1;
}

namespace platform {

std::string CurrentFolder() {
    char* folder = getcwd(nullptr, 0);
    if (folder == nullptr) return std::string();
    std::string result;
    try {
        result = folder;
    } catch (const std::bad_alloc&) {
        result.clear();  // out of memory: the folder cannot be told
    }
    std::free(folder);
    return result;
}

std::FILE* OpenRegularFile(const char* path, std::uint64_t* length) {
    if (path == nullptr || *path == '\0') return nullptr;
    // O_NONBLOCK keeps a FIFO from blocking the open; it means nothing to a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    if (length != nullptr) *length = static_cast<std::uint64_t>(info.st_size);
    return file;
}

Folder::~Folder() {
    if (fd_ >= 0) close(fd_);
}

namespace {

// Opens a folder at path relative to base; nofollow refuses a link there. A folder that cannot
// be read is opened only to be entered.
int OpenFolderAt(int base, const char* path, bool nofollow, bool* readable) {
    const int flags = O_DIRECTORY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
    int fd = openat(base, path, O_RDONLY | flags);
    *readable = fd >= 0;
#ifdef O_PATH
    if (fd < 0 && errno == EACCES) fd = openat(base, path, O_PATH | flags);
#endif
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

bool Folder::Open(const char* path) {
    if (fd_ >= 0 || path == nullptr || *path == '\0') return false;
    fd_ = OpenFolderAt(AT_FDCWD, path, false, &readable_);
    return fd_ >= 0;
}

bool Folder::OpenBelow(const Folder& parent, const char* name) {
    if (fd_ >= 0 || parent.fd_ < 0 || name == nullptr || *name == '\0' ||
        std::strchr(name, '/') != nullptr) {
        return false;
    }
    fd_ = OpenFolderAt(parent.fd_, name, true, &readable_);
    return fd_ >= 0;
}

bool Folder::IsOpen() const {
    return fd_ >= 0;
}

bool Folder::Enter() const {
    return fd_ >= 0 && fchdir(fd_) == 0;
}

void UseNamelessTempFiles(bool use) {
    gNameless = use;
}

void PrepareWrites() {
    std::signal(SIGXFSZ, SIG_IGN);
}

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void AtomicFile::Start() {
    const int dir = folder_ != nullptr ? folder_->fd_ : -1;
    if (dir < 0 || name_.empty() || name_ == "." || name_ == ".." ||
        name_.find('/') != std::string::npos) {
        return;
    }
    // What is there now: a regular file lends the new one its mode (and owner, for root); a
    // link is replaced as a name; anything else is left alone.
    struct stat there {};
    const bool exists = fstatat(dir, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return;
    const bool regular = exists && S_ISREG(there.st_mode);
    if (exists && !regular && !S_ISLNK(there.st_mode)) return;

    try {
        temp_.reserve(sizeof(char[48]));  // every temporary name fits without a new allocation
    } catch (const std::bad_alloc&) {
        return;
    }
    int fd = -1;
#ifdef O_TMPFILE
    if (gNameless) fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#endif
    // Where the system has no nameless files: a new name of our own, never an existing one
    // (O_EXCL also refuses a link planted at the name).
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char name[48];
        TempName(name);
        slot_ = Doom(dir, name);
        if (slot_ < 0) return;
        fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            Spare(slot_);
            slot_ = -1;
            if (error != EEXIST) return;
            continue;
        }
        temp_ = name;
    }
    if (fd < 0) return;
    if (regular) {
        mode_ = there.st_mode & 07777;
        owner_ = there.st_uid;
        group_ = there.st_gid;
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        close(fd);
        Abandon();
        return;
    }
    // Writers hand over whole blocks: each goes to the file in one call, not through a buffer.
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

void AtomicFile::Abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) unlinkat(folder_->fd_, temp_.c_str(), 0);
    temp_.clear();
    Spare(slot_);
    slot_ = -1;
}

bool AtomicFile::Commit() {
    if (file_ == nullptr) return false;
    const int dir = folder_->fd_;
    const int fd = fileno(file_);
    bool sound = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    // The replaced file's owner (for root), then its mode: after the writes, which may clear a
    // set-user-ID bit, and after the owner, whose change does.
    struct stat made {};
    if (sound && mode_ >= 0 && geteuid() == 0 && fstat(fd, &made) == 0 &&
        (made.st_uid != owner_ || made.st_gid != group_)) {
        sound = fchown(fd, owner_, group_) == 0;
    }
    sound = sound && (mode_ < 0 || fchmod(fd, static_cast<mode_t>(mode_)) == 0);
    sound = sound && (!durable_ || fsync(fd) == 0);
    // A nameless file gets a name of its own first: a link can be made to a new name only.
    for (int attempt = 0; sound && temp_.empty() && attempt < 100; ++attempt) {
        char name[48];
        TempName(name);
        slot_ = Doom(dir, name);
        if (slot_ < 0) break;
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        int linked = linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
#ifdef AT_EMPTY_PATH
        if (linked != 0 && errno == ENOENT) linked = linkat(fd, "", dir, name, AT_EMPTY_PATH);
#endif
        if (linked == 0) {
            temp_ = name;  // fits the room reserved at the start
        } else {
            const int error = errno;
            Spare(slot_);
            slot_ = -1;
            if (error != EEXIST) break;
        }
    }
    sound = sound && !temp_.empty();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!sound || !closed || renameat(dir, temp_.c_str(), dir, name_.c_str()) != 0) {
        Abandon();
        return false;
    }
    temp_.clear();
    Spare(slot_);
    slot_ = -1;
    // The new name is on the disk once its folder is.
    return !durable_ || !folder_->readable_ || fsync(dir) == 0 || errno == EINVAL;
}

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count) {
    if (file == nullptr || std::fflush(file) != 0) return false;
    const int fd = fileno(file);
    iovec batch[IOV_MAX];
    std::size_t next = 0;  // the first piece not yet taken into a batch
    while (next < count) {
        int left = 0;
        for (; next < count && left < IOV_MAX; ++next) {
            if (pieces[next].length == 0) continue;
            batch[left].iov_base = const_cast<void*>(pieces[next].bytes);
            batch[left].iov_len = pieces[next].length;
            ++left;
        }
        // A short write leaves the rest of the batch for the next call.
        iovec* rest = batch;
        while (left > 0) {
            const ssize_t written = writev(fd, rest, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            auto done = static_cast<std::size_t>(written);
            for (; left > 0 && done >= rest->iov_len; --left, ++rest) done -= rest->iov_len;
            if (left > 0) {
                rest->iov_base = static_cast<unsigned char*>(rest->iov_base) + done;
                rest->iov_len -= done;
            }
        }
    }
    return true;
}

void PrepareHeap() {
#ifdef M_TRIM_THRESHOLD
    // zlib sets up and drops a few hundred KiB of state for every entry. With glibc's default
    // the heap gives that back to the system at once and takes it again for the next entry:
    // system calls and fresh zeroed pages each time. A fixed threshold also keeps blocks of
    // 128 KiB and more in their own mappings, which go back to the system when freed.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

bool IsTerminal(std::FILE* stream) {
    return stream != nullptr && isatty(fileno(stream)) != 0;
}

void ClearScreen() {
    if (!IsTerminal(stdout)) return;
    std::fputs("\x1b[H\x1b[2J", stdout);
    std::fflush(stdout);  // shown now, not when the command's message follows
}

}  // namespace platform

#endif  // !_WIN32
