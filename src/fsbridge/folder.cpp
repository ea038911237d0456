// One folder <-> the whole pack: packing every regular file of a folder, unpacking into one.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "pack/pack.h"
#include "pack/workers.h"

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
    explicit FolderReturn(const platform::Folder& folder) : folder_(folder) {}
    ~FolderReturn() { folder_.Enter(); }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;

  private:
    const platform::Folder& folder_;
};

// True when a search stopped because no item was left, not because the folder could not be
// read; asked right after the search's last call.
bool ListingEnded() {
#ifdef _WIN32
    return GetLastError() == ERROR_NO_MORE_FILES;
#else
    return errno == 0;
#endif
}

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
    ok = ok && ListingEnded();  // a listing that failed part-way is not the whole folder
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
    // The way back is held open, so a current folder of any path length can be gone back to.
    // Without it, the folder is never entered.
    platform::Folder back;
    if (!back.Open(".")) return false;
    if (!SetCurrentDirectoryA(folder)) return false;
    bool packed = false;
    {
        FolderReturn returning(back);
        packed = PackItems(this);
    }
    if (!packed) Clear();
    return packed;
}

namespace {

// Writes one entry below the target folder. Each folder of its path is opened without
// following a link and the file is made inside the last one, so no link below the target, nor
// one swapped in while this runs, can take a write elsewhere; an entry whose path meets a link
// is not written. Uses no current-folder state: entries may be written on any thread.
bool WriteEntry(const platform::Folder& target, PackEntry* entry) {
    if (ClimbsOut(entry->name)) return false;
    char path[sizeof entry->name];
    std::memcpy(path, entry->name, sizeof path);
    path[sizeof path - 1] = '\0';
    platform::Folder below[sizeof path / 2];  // a name of 31 characters has at most 15 folders
    const platform::Folder* at = &target;
    std::size_t depth = 0;
    char* part = path;
    for (char* end = path; *end != '\0'; ++end) {
        if (*end != '/' && *end != platform::kPathSeparator) continue;
        *end = '\0';
        if (*part != '\0' && std::strcmp(part, ".") != 0) {
            if (!below[depth].OpenBelow(*at, part)) return false;
            at = &below[depth++];
        }
        part = end + 1;
    }
    return entry->ExtractToFile(*at, part);
}

}  // namespace

bool Pack::UnpackToFolder(const char* folder) {
    if (folder == nullptr) return false;
    platform::Folder target;
    if (!target.Open(folder)) return false;
    std::uint32_t written = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!WriteEntry(target, entry)) return false;
        ++written;
    }
    return written == count;
}
