// One folder <-> the whole pack: packing every regular file of a folder, unpacking into one.
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "pack/pack.h"
#include "pack/progress.h"
#include "pack/workers.h"
#include "platform/process.h"

namespace {

// True when the name has a ".." component, split on either separator.
bool ClimbsOut(const char* name) {
    const char* part = name;
    for (const char* at = name;; ++at) {
        if (*at == '/' || *at == '\\' || *at == '\0') {
            if (at - part == 2 && part[0] == '.' && part[1] == '.') return true;
            if (*at == '\0') return false;
            part = at + 1;
        }
    }
}

// Goes back to the folder the operation started in when it leaves, by whatever path.
class FolderReturn {
  public:
    explicit FolderReturn(std::string folder) : folder_(std::move(folder)) {}
    ~FolderReturn() { SetCurrentDirectoryA(folder_.c_str()); }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;

  private:
    std::string folder_;
};

// Fills the pack from the items of the current folder; false when a file fails. The folder is
// listed first, each regular file becoming an entry that holds only its name; then the files
// are read on worker threads, each into its own entry.
bool PackItems(Pack* pack) {
    WIN32_FIND_DATAA found;
    std::memset(&found, 0, sizeof found);
    HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE) return false;

    PackEntry* tail = nullptr;
    bool ok = true;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
            continue;
        }
        const std::size_t length = std::strlen(found.cFileName);
        auto* entry = length < sizeof(PackEntry::name) ? new (std::nothrow) PackEntry : nullptr;
        if (entry == nullptr) {
            ok = false;  // a name too long to keep, or no memory
            break;
        }
        std::memcpy(entry->name, found.cFileName, length);
        (tail == nullptr ? pack->head : tail->next) = entry;
        tail = entry;
        ++pack->count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    if (!ok) return false;

    std::atomic<bool> loaded{true};
    ForEachEntry(pack->head, pack->count, 0, [&loaded](PackEntry* entry) {
        char path[sizeof entry->name];
        std::memcpy(path, entry->name, sizeof path);
        // Loading resets the entry, which would free the chain behind it.
        PackEntry* const after = entry->next;
        entry->next = nullptr;
        if (!entry->LoadFromFile(path)) loaded = false;
        entry->next = after;
    });
    return loaded;
}

}  // namespace

bool Pack::PackFolder(const char* folder) {
    if (folder == nullptr || *folder == '\0') return false;
    Clear();
    std::string saved = platform::CurrentFolder();
    // Without a way back, the folder is never entered.
    if (saved.empty()) return false;
    if (!SetCurrentDirectoryA(folder)) return false;
    bool packed = false;
    {
        FolderReturn back(std::move(saved));
        packed = PackItems(this);
    }
    if (!packed) Clear();
    return packed;
}

bool Pack::UnpackEntry(PackEntry* entry, const char* folder) {
    if (entry == nullptr || folder == nullptr) return false;
    if (ClimbsOut(entry->name)) {
        SetLastError(platform::kErrorClimbsOut);
        return false;
    }
    std::string target;
    try {
        target.assign(folder);
        target += platform::kPathSeparator;
        target += entry->name;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return entry->ExtractToFile(target.c_str());
}

bool Pack::UnpackToFolder(const char* folder) {
    if (folder == nullptr) return false;
    std::uint64_t bytes = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) bytes += entry->size;
    SharedProgress().Start(count, bytes);
    std::uint32_t written = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!UnpackEntry(entry, folder)) return false;
        SharedProgress().Advance(entry->size);
        ++written;
    }
    return written == count;
}
