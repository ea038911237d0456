// One file <-> one entry: loading a whole file and extracting an entry's plain bytes.
#include <cstring>
#include <limits>

#include "pack/pack.h"
#include "platform/atomic_file.h"
#include "platform/process.h"

bool PackEntry::LoadFromFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    Reset();
    // A name that does not fit the 32-byte field is refused rather than cut.
    const std::size_t nameLength = std::strlen(path);
    if (nameLength >= sizeof name) {
        SetLastError(platform::kErrorNameTooLong);
        return false;
    }

    std::uint64_t length = 0;
    SetLastError(0);
    std::FILE* file = platform::OpenRegularFile(path, &length);
    if (file == nullptr) {
        // Opened but turned away: a folder, FIFO or device.
        if (GetLastError() == 0) SetLastError(platform::kErrorNotRegularFile);
        return false;
    }
    if (length == 0 || length > std::numeric_limits<std::uint32_t>::max()) {
        std::fclose(file);
        SetLastError(length == 0 ? platform::kErrorEmptyFile : platform::kErrorFileTooLarge);
        return false;
    }
    // The bytes go straight into the block in one read, not through a stream buffer.
    std::setvbuf(file, nullptr, _IONBF, 0);
    size = static_cast<std::uint32_t>(length);
    data = GlobalAlloc(GHND, size);
    view = static_cast<unsigned char*>(GlobalLock(data));
    const bool whole = view != nullptr && std::fread(view, 1, size, file) == size;
    std::fclose(file);
    if (!whole) {
        Reset();
        return false;
    }
    std::memcpy(name, path, nameLength + 1);
    GlobalUnlock(data);
    view = nullptr;
    return true;
}

namespace {

// Makes the entry's plain bytes ready before any file is touched, then writes them through the
// file that open() makes.
template <typename Open>
bool Extract(PackEntry& entry, Open open) {
    unsigned char* const before = entry.view;
    entry.view = static_cast<unsigned char*>(GlobalLock(entry.data));
    if (entry.view == nullptr) {
        entry.view = before;
        return false;
    }
    if (entry.compressed != 0) {
        entry.Decompress();
        if (entry.compressed != 0) {
            GlobalUnlock(entry.data);
            entry.view = before;
            return false;
        }
    }

    platform::AtomicFile out = open();
    const bool written = out.stream() != nullptr &&
                         std::fwrite(entry.view, 1, entry.size, out.stream()) == entry.size &&
                         out.Commit();
    GlobalUnlock(entry.data);
    entry.view = nullptr;
    return written;
}

}  // namespace

// Unpacked files are not flushed to the disk one by one: that would make unpacking many times
// slower than tar, which does not either.
bool PackEntry::ExtractToFile(const char* path) {
    if (data == nullptr || path == nullptr || *path == '\0') return false;
    return Extract(*this, [path] { return platform::AtomicFile(path, false); });
}

bool PackEntry::ExtractToFile(const platform::Folder& folder, const char* name) {
    if (data == nullptr || name == nullptr || *name == '\0') return false;
    return Extract(*this, [&folder, name] { return platform::AtomicFile(folder, name, false); });
}
