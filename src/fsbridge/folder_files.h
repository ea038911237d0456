// What the menu's and the command line's folder operations share: the listing of a folder, the
// entries that land on one file, and the way back to the starting folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// One regular file directly in a folder.
struct FolderFile {
    std::string name;
    std::uint64_t size = 0;  // asked only when the listing is made with sizes
};

// Lists the regular files directly in the current folder (folders, links to folders and
// everything that is neither are left out) in the order packing takes them: NTFS's, names
// compared by their upper-case bytes, then by their bytes, so one folder gives one pack on
// every system. With `sizes`, each file's length is asked too. False when the listing fails
// part-way, a name does not fit an entry, a length cannot be had or memory runs out; the last
// error then says why and *culprit names the file to blame (empty when none is).
bool ListFolderFiles(std::vector<FolderFile>* files, bool sizes, std::string* culprit);

// The file an entry lands on when unpacked, as a key that two names share whenever they may
// name one file on any system (separators, "." parts, trailing dots and spaces and letter case
// are not told apart); such entries are written one after the other, in pack order, so that
// the later one's bytes win. Fills key, which holds as many bytes as an entry's name.
void TargetKey(const char* name, char* key);

// Enters a folder and goes back to the one it was made in when it leaves, by whatever path:
// the way back is held open, so a current folder of any path length works.
class FolderReturn {
  public:
    FolderReturn() { back_.Open("."); }
    ~FolderReturn() { Back(); }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;
    bool ok() const { return back_.IsOpen(); }
    bool Enter(const char* folder) { return entered_ = ok() && SetCurrentDirectoryA(folder); }
    void Back() {
        if (entered_) back_.Enter();
        entered_ = false;
    }

  private:
    platform::Folder back_;
    bool entered_ = false;
};
