// One file <-> one entry: loading a whole file into an entry, and extracting an entry's plain
// bytes.
#include <cstring>
#include <limits>

#include "pack/pack.h"
#include "platform/atomic_file.h"

using platform::Fail;
using platform::Reason;

bool PackEntry::LoadFromFile(const char* path, Reason* why) {
    return LoadFromFile(path, path, why);
}

bool PackEntry::LoadFromFile(const char* path, const char* as, Reason* why) {
    if (path == nullptr || *path == '\0' || as == nullptr) return Fail(why, platform::kErrorFailed);
    Reset();
    // A name that does not fit the 32-byte field is refused rather than cut.
    if (!NameFits(as)) return Fail(why, platform::kErrorNameTooLong);

    std::uint64_t length = 0;
    std::FILE* file = platform::OpenRegularFile(path, &length, why);
    if (file == nullptr) return false;
    const bool loaded = LoadFromOpenFile(file, length, as, why);
    std::fclose(file);
    return loaded;
}

bool PackEntry::LoadFromOpenFile(std::FILE* file, std::uint64_t length, const char* as,
                                 Reason* why) {
    Reset();
    if (!NameFits(as)) return Fail(why, platform::kErrorNameTooLong);
    if (length == 0 || length > std::numeric_limits<std::uint32_t>::max()) {
        return Fail(why, length == 0 ? platform::kErrorEmptyFile : platform::kErrorFileTooLarge);
    }
    // The bytes go straight into the block in one read, not through a stream buffer.
    std::setvbuf(file, nullptr, _IONBF, 0);
    size = static_cast<std::uint32_t>(length);
    data = GlobalAlloc(GHND, size);
    view = static_cast<unsigned char*>(GlobalLock(data));
    // A file that shrank since its length was asked is cut short: it changed under us.
    Reason failure = view == nullptr ? platform::kErrorNoMemory : 0;
    if (failure == 0 && platform::ReadBytes(file, view, size, &failure) != size && failure == 0) {
        failure = platform::kErrorFailed;
    }
    if (failure != 0) {
        Reset();
        return Fail(why, failure);
    }
    std::memcpy(name, as, std::strlen(as) + 1);
    GlobalUnlock(data);
    view = nullptr;
    return true;
}

namespace {

// Makes the entry's plain bytes ready before any file is touched, then writes them through the
// file that open() makes.
template <typename Open>
bool Extract(PackEntry& entry, Open open, Reason* why) {
    unsigned char* const before = entry.view;
    entry.view = static_cast<unsigned char*>(GlobalLock(entry.data));
    if (entry.view == nullptr) {
        entry.view = before;
        return Fail(why, platform::kErrorNoMemory);
    }
    if (!entry.Decompress(why)) {
        GlobalUnlock(entry.data);
        entry.view = before;
        return false;
    }

    platform::AtomicFile out = open();
    bool written = out.stream() != nullptr || Fail(why, out.reason());
    if (written) {
        const platform::WritePiece bytes{entry.view, entry.size};
        written = platform::WritePieces(out.stream(), &bytes, 1, why) && out.Commit(why);
    }
    GlobalUnlock(entry.data);
    entry.view = nullptr;
    return written;
}

}  // namespace

// Unpacked files are not flushed to the disk one by one: that would make unpacking many times
// slower than tar, which does not either.
bool PackEntry::ExtractToFile(const char* path, Reason* why) {
    if (path == nullptr || *path == '\0') return Fail(why, platform::kErrorNoFileName);
    if (data == nullptr) return Fail(why, platform::kErrorFailed);
    return Extract(
        *this, [path] { return platform::AtomicFile(path, false); }, why);
}

bool PackEntry::ExtractToFile(const platform::Folder& folder, const char* name, Reason* why) {
    if (name == nullptr || *name == '\0') return Fail(why, platform::kErrorNoFileName);
    if (data == nullptr) return Fail(why, platform::kErrorFailed);
    return Extract(
        *this, [&folder, name] { return platform::AtomicFile(folder, name, false); }, why);
}
