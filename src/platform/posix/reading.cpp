// Reading a pack's bytes on POSIX: standard input, and a regular file read at offsets with pread.
#ifndef _WIN32

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

std::FILE* OpenStandardInput(std::uint64_t* length, Reason* why) {
    if (isatty(STDIN_FILENO) != 0) {
        Fail(why, kErrorTerminalInput);
        return nullptr;
    }
    struct stat info {};
    off_t at = -1;
    if (fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
        at = lseek(STDIN_FILENO, 0, SEEK_CUR);
    }
    *length = at >= 0 && at <= info.st_size ? static_cast<std::uint64_t>(info.st_size - at)
                                            : kUnknownLength;
    return stdin;
}

FileAt::~FileAt() = default;  // the descriptor is the stream's

bool FileAt::Open(std::FILE* file, Reason* why) {
    const off_t at = ftello(file);
    if (at < 0) return Fail(why, LastReason());
    fd_ = fileno(file);
    base_ = static_cast<std::uint64_t>(at);
    return true;
}

bool FileAt::IsOpen() const {
    return fd_ >= 0;
}

std::size_t FileAt::Read(std::uint64_t offset, void* bytes, std::size_t length, Reason* why) const {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t part = pread(fd_, static_cast<unsigned char*>(bytes) + got, length - got,
                                   static_cast<off_t>(base_ + offset + got));
        if (part < 0 && errno == EINTR) continue;
        if (part < 0) Fail(why, LastReason());
        if (part <= 0) break;
        got += static_cast<std::size_t>(part);
    }
    return got;
}

}  // namespace platform

#endif  // !_WIN32
