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
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

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
        if (item == nullptr) return false;
        const std::size_t length = std::strlen(item->d_name);
        if (length >= sizeof found->cFileName) continue;
        std::memset(found, 0, sizeof *found);
        std::memcpy(found->cFileName, item->d_name, length);
        found->dwFileAttributes = AttributesOf(search->folder, item);
        return true;
    }
}

std::string FolderOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, slash);
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

BOOL SetCurrentDirectoryA(LPCSTR path) {
    return path != nullptr && chdir(path) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, void* /*securityAttributes*/) {
    return path != nullptr && mkdir(path, 0777) == 0;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
    if (pattern == nullptr || found == nullptr) return INVALID_HANDLE_VALUE;
    if (std::strcmp(pattern, "*") != 0) return INVALID_HANDLE_VALUE;  // the current folder only

    auto* search = new (std::nothrow) Search{};
    if (search == nullptr) return INVALID_HANDLE_VALUE;
    search->dir = opendir(".");
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

std::FILE* CreateTempBeside(const char* target, std::string* tempPath) {
    if (target == nullptr || *target == '\0' || tempPath == nullptr) return nullptr;
    static std::atomic<unsigned> serial{0};
    static const long pid = static_cast<long>(getpid());  // asked once, not once per file
    std::string folder;
    std::string candidate;
    try {
        folder = FolderOf(target);
        candidate.reserve(folder.size() + 64);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, "/.zorel-%ld-%u.tmp", pid, serial.fetch_add(1));
        candidate.assign(folder).append(suffix);  // fits the room reserved above
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        std::FILE* file = fdopen(fd, "wb");
        if (file == nullptr) {
            close(fd);
            unlink(candidate.c_str());
            return nullptr;
        }
        *tempPath = std::move(candidate);
        return file;
    }
    return nullptr;
}

bool ReplaceFile(const char* source, const char* target) {
    return source != nullptr && target != nullptr && std::rename(source, target) == 0;
}

bool RemoveFile(const char* path) {
    return path != nullptr && unlink(path) == 0;
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

void ClearScreen() {
    if (isatty(STDOUT_FILENO)) std::fputs("\x1b[H\x1b[2J", stdout);
}

}  // namespace platform

#endif  // !_WIN32
