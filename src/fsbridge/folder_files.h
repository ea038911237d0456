// The regular files of a folder, listed the one way both packing paths take them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// True when two entry names may land on one file when unpacked (on any system: separators,
// "." parts, trailing dots and spaces and letter case are not told apart); such entries are
// written one after the other, in pack order, so that the later one's bytes win.
bool SameTarget(const char* a, const char* b);
