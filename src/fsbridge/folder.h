// What the menu's and the command line's folder operations share: the listing of a folder and
// the way back to the starting folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// One regular file directly in a folder.
struct FolderFile {
    std::string name;
    std::uint64_t size = 0;
};

// The bytes of the files together.
inline std::uint64_t BytesOf(const std::vector<FolderFile>& files) {
    std::uint64_t bytes = 0;
    for (const FolderFile& file : files) bytes += file.size;
    return bytes;
}

// Lists the regular files directly in the current folder (folders, links to folders and
// everything that is neither are left out) in the order packing takes them: NTFS's, names
// compared by their upper-case bytes, then by their bytes, so one folder gives one pack on
// every system, each with its length, asked on every core. False when the
// listing fails part-way, a name does not fit an entry, a length cannot be had or memory runs
// out: *why says why, and *culprit names the file to blame (empty when none is).
bool ListFolderFiles(std::vector<FolderFile>* files, std::string* culprit, platform::Reason* why);

// Enters a folder and goes back to the one it was made in when it leaves, by whatever path:
// the way back is held open, so a current folder of any path length works.
class FolderReturn {
  public:
    FolderReturn() { back_.Open("."); }
    ~FolderReturn() { Back(); }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;
    bool Enter(const char* folder, platform::Reason* why) {
        if (!back_.IsOpen()) return platform::Fail(why, platform::kErrorFailed);
        return entered_ = platform::EnterFolder(folder, why);
    }
    void Back() {
        if (entered_) back_.Enter();
        entered_ = false;
    }

  private:
    platform::Folder back_;
    bool entered_ = false;
};
