// Windows: what a path names, asked before a file is packed (its length and its identity).
#ifdef _WIN32

#include <io.h>

#include <cstdint>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

// The identity and length of an open file; false for anything but a regular file on a disk.
bool DescribeHandle(HANDLE handle, std::uint64_t* length, FileIdentity* identity,
                    ModeAndTime* facts = nullptr) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    if (length != nullptr) *length = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    *identity = {info.dwVolumeSerialNumber,
                 std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, true};
    if (facts != nullptr) *facts = FactsOf(info.dwFileAttributes, info.ftLastWriteTime);
    return true;
}

}  // namespace

bool ProbeRegularFile(const char* path, std::uint64_t* length, FileIdentity* identity, Reason* why,
                      ModeAndTime* facts) {
    HANDLE handle =
        CreateFileLong(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS: it is no regular file.
        const Reason failure = LastReason();
        const DWORD attributes = GetFileAttributesLong(path);
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return Fail(why, folder ? kErrorNotRegularFile : failure);
    }
    const bool regular = DescribeHandle(handle, length, identity, facts);
    CloseHandle(handle);
    return regular || Fail(why, kErrorNotRegularFile);
}

FileIdentity IdentityOf(const char* path) {
    FileIdentity identity;
    HANDLE handle = CreateFileLong(path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) return identity;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info)) {
        identity = {info.dwVolumeSerialNumber,
                    std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, true};
    }
    CloseHandle(handle);
    return identity;
}

FileIdentity IdentityOf(std::FILE* file) {
    FileIdentity identity;
    if (file == nullptr) return identity;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle != INVALID_HANDLE_VALUE) DescribeHandle(handle, nullptr, &identity);
    return identity;
}

}  // namespace platform

#endif  // _WIN32
