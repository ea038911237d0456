// POSIX stand-ins for the Windows folder calls, and the file services built on POSIX calls.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform/internal.h"
#include "platform/platform.h"

namespace {

DWORD AttributesOf(int folder, const dirent* item) {
    DWORD link = 0;
    switch (item->d_type) {
        case DT_DIR:
            return FILE_ATTRIBUTE_DIRECTORY;
        case DT_REG:
            return FILE_ATTRIBUTE_NORMAL;
        case DT_LNK:
            link = FILE_ATTRIBUTE_REPARSE_POINT;
            break;
        case DT_UNKNOWN:
            break;
        default:
            return FILE_ATTRIBUTE_DEVICE;
    }
    struct stat info {};
    if (link == 0 && fstatat(folder, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
        link = FILE_ATTRIBUTE_REPARSE_POINT;
    }
    if (fstatat(folder, item->d_name, &info, 0) != 0) return link | FILE_ATTRIBUTE_DEVICE;
    if (S_ISDIR(info.st_mode)) return link | FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISREG(info.st_mode)) return link | FILE_ATTRIBUTE_NORMAL;
    return link | FILE_ATTRIBUTE_DEVICE;
}

// Fills found with the next item whose name fits; false at the end of the folder (errno 0) or
// when it cannot be read (errno says why).
bool NextItem(DIR* dir, WIN32_FIND_DATAA* found) {
    for (;;) {
        errno = 0;
        const dirent* item = readdir(dir);
        if (item == nullptr) return false;
        const std::size_t length = std::strlen(item->d_name);
        if (length >= sizeof found->cFileName) continue;
        std::memset(found, 0, sizeof *found);
        std::memcpy(found->cFileName, item->d_name, length);
        found->dwFileAttributes = AttributesOf(dirfd(dir), item);
        return true;
    }
}

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
        errno = ENOTDIR;
        fd = -1;
    }
    return fd;
}

}  // namespace

BOOL SetCurrentDirectoryA(LPCSTR path) {
    return path != nullptr && chdir(path) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, void* /*securityAttributes*/) {
    return path != nullptr && mkdir(path, 0777) == 0;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
    // "*" lists the current folder, "folder/*" that folder.
    const std::size_t length = pattern == nullptr ? 0 : std::strlen(pattern);
    if (length == 0 || pattern[length - 1] != '*' || (length > 1 && pattern[length - 2] != '/')) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    std::string folder;
    try {
        folder.assign(pattern, length - 1);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr || NextItem(dir, found)) return dir == nullptr ? INVALID_HANDLE_VALUE : dir;
    const int error = errno;
    closedir(dir);
    errno = error;
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* found) {
    return search != INVALID_HANDLE_VALUE && NextItem(static_cast<DIR*>(search), found);
}

BOOL FindClose(HANDLE search) {
    return search != INVALID_HANDLE_VALUE && closedir(static_cast<DIR*>(search)) == 0;
}

namespace platform {

Reason SearchFailure() {
    return static_cast<Reason>(errno);
}

bool MakeFolder(const char* path, Reason* why) {
    if (path == nullptr) return Fail(why, EINVAL);
    return mkdir(path, 0777) == 0 || errno == EEXIST || Fail(why, LastReason());
}

bool EnterFolder(const char* path, Reason* why) {
    return SetCurrentDirectoryA(path) || Fail(why, path == nullptr ? EINVAL : LastReason());
}

Folder::~Folder() {
    if (fd_ >= 0) close(fd_);
}

bool Folder::Open(const char* path, Reason* why) {
    if (fd_ >= 0 || path == nullptr || *path == '\0') return Fail(why, ENOENT);
    fd_ = OpenFolderAt(AT_FDCWD, path, false, &readable_);
    return fd_ >= 0 || Fail(why, LastReason());
}

bool Folder::OpenBelow(const Folder& parent, const char* name, Reason* why) {
    if (fd_ >= 0 || parent.fd_ < 0 || name == nullptr || *name == '\0' ||
        std::strchr(name, '/') != nullptr) {
        return Fail(why, EINVAL);
    }
    fd_ = OpenFolderAt(parent.fd_, name, true, &readable_);
    return fd_ >= 0 || Fail(why, LastReason());
}

bool Folder::MakeBelow(const Folder& parent, const char* name, Reason* why) {
    if (name == nullptr || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return Fail(why, EINVAL);
    }
    Reason failure = 0;
    if (OpenBelow(parent, name, &failure)) return true;
    // Made by another thread meanwhile is as good as made here.
    if (failure != ENOENT || (mkdirat(parent.fd_, name, 0777) != 0 && errno != EEXIST)) {
        return Fail(why, failure != ENOENT ? failure : LastReason());
    }
    return OpenBelow(parent, name, why);
}

bool Folder::Holds(const char* name, std::int64_t* modified) const {
    struct stat st;
    if (fd_ < 0 || fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (modified != nullptr) *modified = st.st_mtime;
    return true;
}

bool Folder::IsOpen() const {
    return fd_ >= 0;
}

bool Folder::Enter() const {
    return fd_ >= 0 && fchdir(fd_) == 0;
}

std::FILE* OpenRegularFile(const char* path, std::uint64_t* length, Reason* why,
                           FileIdentity* identity) {
    if (path == nullptr || *path == '\0') {
        Fail(why, ENOENT);
        return nullptr;
    }
    // O_NONBLOCK keeps a FIFO from blocking the open; it means nothing to a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(why, LastReason());
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        Fail(why, kErrorNotRegularFile);
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        Fail(why, LastReason());
        close(fd);
        return nullptr;
    }
    if (length != nullptr) *length = static_cast<std::uint64_t>(info.st_size);
    if (identity != nullptr) {
        *identity = {static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino), true};
    }
    return file;
}

bool RegularFileLength(const char* path, std::uint64_t* length, Reason* why) {
    struct stat info {};
    if (stat(path, &info) != 0) return Fail(why, LastReason());
    if (!S_ISREG(info.st_mode) || info.st_size < 0) return Fail(why, kErrorNotRegularFile);
    *length = static_cast<std::uint64_t>(info.st_size);
    return true;
}

namespace {

ModeAndTime FactsOf(const struct stat& info) {
    return {static_cast<std::uint32_t>(info.st_mode & 07777),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            true};
}

}  // namespace

bool FileFacts(const char* path, std::uint32_t* mode, std::int64_t* mtimeNs, Reason* why) {
    struct stat info {};
    if (lstat(path, &info) != 0) return Fail(why, LastReason());
    const ModeAndTime facts = FactsOf(info);
    *mode = facts.mode;
    *mtimeNs = facts.mtimeNs;
    return true;
}

bool ReadLink(const char* path, std::string* target, Reason* why) {
    struct stat info {};
    if (lstat(path, &info) != 0) return Fail(why, LastReason());
    if (!S_ISLNK(info.st_mode)) return Fail(why, EINVAL);
    try {
        // A link's length as lstat tells it, grown should the link change meanwhile.
        std::string text(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 256, '\0');
        for (;;) {
            const ssize_t got = readlink(path, text.data(), text.size());
            if (got < 0) return Fail(why, LastReason());
            if (static_cast<std::size_t>(got) < text.size()) {
                text.resize(static_cast<std::size_t>(got));
                *target = std::move(text);
                return true;
            }
            if (text.size() > PATH_MAX) return Fail(why, ENAMETOOLONG);
            text.resize(2 * text.size());
        }
    } catch (const std::bad_alloc&) {
        return Fail(why, ENOMEM);
    }
}

bool ProbeRegularFile(const char* path, std::uint64_t* length, FileIdentity* identity, Reason* why,
                      ModeAndTime* facts) {
    struct stat info {};
    if (stat(path, &info) != 0) return Fail(why, LastReason());
    if (!S_ISREG(info.st_mode) || info.st_size < 0) return Fail(why, kErrorNotRegularFile);
    if (faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) != 0) return Fail(why, LastReason());
    *length = static_cast<std::uint64_t>(info.st_size);
    *identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                 true};
    if (facts != nullptr) *facts = FactsOf(info);
    return true;
}

std::FILE* OpenScratchFile(Reason* why) {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {  // a system or file system without nameless files: a name removed at once
        std::string name = std::string(folder) + "/.zorel-XXXXXX";
        fd = mkstemp(name.data());
        if (fd >= 0) unlink(name.c_str());
    }
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "w+b");
    if (file == nullptr) {
        Fail(why, LastReason());
        if (fd >= 0) close(fd);
    }
    return file;
}

FileIdentity IdentityOf(const char* path) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) return {};
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), true};
}

FileIdentity IdentityOf(std::FILE* file) {
    struct stat info {};
    if (file == nullptr || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), true};
}

std::size_t ReadBytes(std::FILE* file, void* bytes, std::size_t length, Reason* why) {
    errno = 0;
    const std::size_t got = std::fread(bytes, 1, length, file);
    if (got < length && std::ferror(file) != 0) Fail(why, LastReason());
    return got;
}

bool SkipBytes(std::FILE* file, std::uint64_t length, Reason* why) {
    return fseeko(file, static_cast<off_t>(length), SEEK_CUR) == 0 || Fail(why, LastReason());
}

bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count, Reason* why) {
    if (file == nullptr) return Fail(why, EBADF);
    if (std::fflush(file) != 0) return Fail(why, LastReason());
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
            if (written < 0) return Fail(why, LastReason());
            if (written == 0) return Fail(why, EIO);
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

bool IsBrokenPipe(Reason code) {
    return code == EPIPE;
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
