// Reading a pack's bytes on Windows: standard input in binary mode, and a regular file read at
// offsets through a handle of its own.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

std::FILE* OpenStandardInput(std::uint64_t* length, Reason* why) {
    if (IsTerminal(stdin)) {
        Fail(why, kErrorTerminalInput);
        return nullptr;
    }
    _setmode(_fileno(stdin), _O_BINARY);  // every byte as it is: no line ends turned, no Ctrl-Z end
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin)));
    LARGE_INTEGER size{}, at{}, none{};
    const bool regular = handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
                         GetFileSizeEx(handle, &size) &&
                         SetFilePointerEx(handle, none, &at, FILE_CURRENT) && at.QuadPart >= 0 &&
                         at.QuadPart <= size.QuadPart;
    *length = regular ? static_cast<std::uint64_t>(size.QuadPart - at.QuadPart) : kUnknownLength;
    return stdin;
}

FileAt::~FileAt() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool FileAt::Open(std::FILE* file, Reason* why) {
    // A handle of its own: reads at an offset move a handle's position, which the stream's
    // handle must keep.
    const auto stream = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const long long at = _ftelli64(file);
    if (stream == INVALID_HANDLE_VALUE || at < 0) return Fail(why, kErrorFailed);
    handle_ =
        ReOpenFile(stream, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle_ == INVALID_HANDLE_VALUE) return Fail(why, LastReason());
    base_ = static_cast<std::uint64_t>(at);
    return true;
}

bool FileAt::IsOpen() const {
    return handle_ != INVALID_HANDLE_VALUE;
}

std::size_t FileAt::Read(std::uint64_t offset, void* bytes, std::size_t length, Reason* why) const {
    std::size_t got = 0;
    while (got < length) {
        const std::uint64_t from = base_ + offset + got;
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(from);
        place.OffsetHigh = static_cast<DWORD>(from >> 32);
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length - got, 1u << 30));
        DWORD part = 0;
        if (!ReadFile(handle_, static_cast<unsigned char*>(bytes) + got, ask, &part, &place)) {
            const Reason error = LastReason();
            if (error != ERROR_HANDLE_EOF) Fail(why, error);
            break;
        }
        if (part == 0) break;
        got += part;
    }
    return got;
}

}  // namespace platform

#endif  // _WIN32
