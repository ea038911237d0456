// One folder <-> the whole pack: packing every regular file of a folder, unpacking into one.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "fsbridge/folder_files.h"
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

// ASCII letters in upper case, every other byte as it is.
unsigned char Upper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

// The order NTFS lists a folder in: names compared by their upper-case bytes, then, for names
// that differ only in case, by their bytes. Packing sorts every listing into it, so a folder
// gives the same pack on every system and every run.
bool ListedBefore(const char* a, const char* b) {
    std::size_t at = 0;
    for (; a[at] != '\0' && Upper(a[at]) == Upper(b[at]); ++at) {
    }
    if (Upper(a[at]) != Upper(b[at])) return Upper(a[at]) < Upper(b[at]);
    return std::strcmp(a, b) < 0;
}

}  // namespace

// Split on either separator, empty and "." parts dropped, trailing dots and spaces dropped (as
// Windows does), ASCII letters upper-cased and every other byte above 0x7F taken as one.
void TargetKey(const char* name, char* key) {
    std::size_t length = 0;
    const char* part = name;
    for (const char* at = name;; ++at) {
        if (*at != '/' && *at != '\\' && *at != '\0') continue;
        const char* end = at;
        while (end != part && (end[-1] == '.' || end[-1] == ' ')) --end;
        if (end != part) {
            if (length != 0) key[length++] = '/';
            for (const char* c = part; c != end; ++c) {
                key[length++] = static_cast<char>(Upper(*c) > 0x7F ? 0x80 : Upper(*c));
            }
        }
        if (*at == '\0') break;
        part = at + 1;
    }
    key[length] = '\0';
}

namespace {

bool SameTarget(const char* a, const char* b) {
    char keyA[sizeof PackEntry::name], keyB[sizeof PackEntry::name];
    TargetKey(a, keyA);
    TargetKey(b, keyB);
    return std::strcmp(keyA, keyB) == 0;
}

// True when a search stopped because no item was left, not because the folder could not be
// read; asked right after the search's last call.
bool ListingEnded() {
#ifdef _WIN32
    return GetLastError() == ERROR_NO_MORE_FILES;
#else
    return errno == 0;
#endif
}

// Fills the pack from the regular files of the current folder; false when a file fails. The
// folder is listed first, each file becoming an entry that holds only its name; then the files
// are read on worker threads, each into its own entry.
bool PackItems(Pack* pack) {
    std::vector<FolderFile> files;
    std::string culprit;
    if (!ListFolderFiles(&files, false, &culprit)) return false;
    PackEntry* tail = nullptr;
    for (const FolderFile& file : files) {
        auto* entry = new (std::nothrow) PackEntry;
        if (entry == nullptr) return false;
        std::memcpy(entry->name, file.name.c_str(), file.name.size());  // it fits: listed so
        (tail == nullptr ? pack->head : tail->next) = entry;
        tail = entry;
        ++pack->count;
    }

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

namespace {

// Asks every file's length, on a thread per core: with many small files, this is most of the
// listing's time. The first file in order that fails is the one named.
bool SizeFiles(std::vector<FolderFile>* files, std::string* culprit) {
    if (files->size() > UINT32_MAX) {
        SetLastError(platform::kErrorFailed);
        return false;
    }
    const auto total = static_cast<std::uint32_t>(files->size());
    const std::uint32_t failed = RunInOrder(total, 0, [files, total](std::uint32_t at, auto&&) {
        FolderFile& file = (*files)[at];
        return platform::RegularFileLength(file.name.c_str(), &file.size) ? total : at;
    });
    if (failed == total) return true;
    // The reason is asked again on this thread, whose last error is the one the caller reads.
    *culprit = (*files)[failed].name;
    std::uint64_t size = 0;
    if (platform::RegularFileLength(culprit->c_str(), &size)) SetLastError(platform::kErrorFailed);
    return false;
}

}  // namespace

bool ListFolderFiles(std::vector<FolderFile>* files, bool sizes, std::string* culprit) {
    culprit->clear();
    WIN32_FIND_DATAA found;
    std::memset(&found, 0, sizeof found);
    HANDLE search = FindFirstFileA("*", &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    try {
        do {
            if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) !=
                0) {
                continue;
            }
            files->push_back({found.cFileName, 0});
            if (files->back().name.size() >= sizeof(PackEntry::name)) {
                *culprit = found.cFileName;
                SetLastError(platform::kErrorNameTooLong);
                ok = false;  // a name too long to keep is refused, never cut
            }
        } while (ok && FindNextFileA(search, &found));
        // A listing that failed part-way is not the whole folder.
        if (ok && !ListingEnded()) ok = false;
        if (ok) {
            std::sort(files->begin(), files->end(), [](const FolderFile& a, const FolderFile& b) {
                return ListedBefore(a.name.c_str(), b.name.c_str());
            });
        }
        if (ok && sizes) ok = SizeFiles(files, culprit);
    } catch (const std::bad_alloc&) {
        SetLastError(platform::kErrorFailed);
        ok = false;
    }
    const DWORD reason = GetLastError();
    FindClose(search);
    SetLastError(reason);
    return ok;
}

bool Pack::PackFolder(const char* folder) {
    if (folder == nullptr || *folder == '\0') return false;
    Clear();
    // Without a way back, the folder is never entered.
    FolderReturn visit;
    if (!visit.Enter(folder)) return false;
    const bool packed = PackItems(this);
    visit.Back();
    if (!packed) Clear();
    return packed;
}

// Writes one entry below the target folder. Each folder of its path is opened without
// following a link and the file is made inside the last one, so no link below the target, nor
// one swapped in while this runs, can take a write elsewhere; an entry whose path meets a link
// is not written. Uses no current-folder state: entries may be written on any thread.
bool Pack::UnpackEntry(PackEntry* entry, const platform::Folder& target) {
    if (entry == nullptr) return false;
    if (ClimbsOut(entry->name)) {
        SetLastError(platform::kErrorClimbsOut);
        return false;
    }
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

bool Pack::UnpackToFolder(const char* folder, unsigned workers) {
    if (folder == nullptr) return false;
    platform::Folder target;
    if (!target.Open(folder)) return false;
    // An entry that climbs out stops the unpack before anything behind it is written.
    std::uint32_t total = 0;
    bool climbs = false;
    for (PackEntry* entry = head; entry != nullptr && !climbs; entry = entry->next) {
        climbs = ClimbsOut(entry->name);
        total += climbs ? 0 : 1;
    }

    // The entries in pack order; for each, the next one that lands on the same file (or total),
    // and whether an earlier one does. One worker writes such entries one after the other.
    std::unique_ptr<PackEntry*[]> entries(new (std::nothrow) PackEntry*[total + 1]);
    std::unique_ptr<std::uint32_t[]> sameAfter(new (std::nothrow) std::uint32_t[total + 1]);
    std::unique_ptr<bool[]> follows(new (std::nothrow) bool[total + 1]);
    std::unique_ptr<std::uint32_t[]> byKey(new (std::nothrow) std::uint32_t[total + 1]);
    if (entries == nullptr || sameAfter == nullptr || follows == nullptr || byKey == nullptr) {
        // No memory to share the work: this thread writes the entries in turn.
        std::uint32_t written = 0;
        for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
            if (!UnpackEntry(entry, target)) return false;
            ++written;
        }
        return written == count;
    }
    PackEntry* entry = head;
    for (std::uint32_t at = 0; at < total; ++at, entry = entry->next) {
        entries[at] = entry;
        sameAfter[at] = total;
        follows[at] = false;
    }
    // Sorting the indexes by key brings the entries of one file together, in pack order.
    for (std::uint32_t at = 0; at < total; ++at) byKey[at] = at;
    std::sort(byKey.get(), byKey.get() + total, [&entries](std::uint32_t a, std::uint32_t b) {
        char keyA[sizeof PackEntry::name], keyB[sizeof PackEntry::name];
        TargetKey(entries[a]->name, keyA);
        TargetKey(entries[b]->name, keyB);
        const int order = std::strcmp(keyA, keyB);
        return order != 0 ? order < 0 : a < b;
    });
    for (std::uint32_t at = 0; at + 1 < total; ++at) {
        if (!SameTarget(entries[byKey[at]]->name, entries[byKey[at + 1]]->name)) continue;
        sameAfter[byKey[at]] = byKey[at + 1];
        follows[byKey[at + 1]] = true;
    }

    const std::uint32_t failed =
        RunInOrder(total, workers, [&](std::uint32_t at, auto stopped) -> std::uint32_t {
            if (follows[at]) return total;  // written after the earlier entry of its file
            for (std::uint32_t next = at; next != total; next = sameAfter[next]) {
                if (next != at && stopped(next)) break;
                if (!UnpackEntry(entries[next], target)) return next;
            }
            return total;
        });
    return failed == total && !climbs && total == count;
}
