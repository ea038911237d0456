// What the menu's and the command line's folder operations share: the listing of a folder and
// the way back to the starting folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/descriptions.h"
#include "platform/platform.h"

// The most bytes one entry of a file too large for one takes: the file is packed as parts.
inline constexpr std::uint64_t kPartSize = std::uint64_t{1} << 31;

// One regular file to pack: its entry name and, when it is reached by another path, that path.
// Described, an item of any kind a description keeps: a folder, a link, an empty file; a part of
// a larger file is `size` of its bytes from `offset`.
struct FolderFile {
    std::string name;
    std::uint64_t size = 0;
    std::string path;                 // empty: the name is the path
    platform::Reason why = 0;         // why it cannot be packed; 0 when it can
    platform::FileIdentity identity;  // which file was checked, when it was probed
    std::string stored{};             // the stand-in name it is stored under; empty: its name
    std::uint64_t offset = 0;         // a part: where its bytes begin in the file
    std::uint64_t whole = 0;          // a part: the file's length; 0 for a whole file
    descriptions::Kind kind = descriptions::Kind::kFile;
    std::string target{};           // a symbolic link's text; a hard link's path met first
    platform::ModeAndTime facts{};  // a file's, when its probe told them
    bool HasEntry() const { return descriptions::HasEntry(kind); }
    const char* Path() const { return path.empty() ? name.c_str() : path.c_str(); }
};

// The one byte of the entry that holds an empty file.
inline constexpr unsigned char kEmptyByte = 0;

// The bytes of the files together.
inline std::uint64_t BytesOf(const std::vector<FolderFile>& files) {
    std::uint64_t bytes = 0;
    for (const FolderFile& file : files) bytes += file.size;
    return bytes;
}

// How many of the items are held by an entry.
inline std::size_t EntriesOf(const std::vector<FolderFile>& files) {
    std::size_t entries = 0;
    for (const FolderFile& file : files) entries += file.HasEntry() ? 1 : 0;
    return entries;
}

// Why an item of a folder is not packed, though nothing is wrong with it.
enum class LeftOut : std::uint8_t {
    kFolder,        // a sub-folder, when sub-folders are not taken
    kLinkToFolder,  // never followed, so that no tree loops and none is packed twice
    kDanglingLink,  // a link to nothing
    kNotRegular,    // a device, FIFO or socket (or a link to one)
    kPackFile,      // the pack file being written, whatever name it goes by
    kLinkNotKept,   // described, a link on a system whose links are not read as links
};

struct LeftOutItem {
    std::string name;
    LeftOut why;
};

// What a listing is asked for.
struct ListingRequest {
    bool recursive = false;  // the files of every sub-folder too, named by their path with '/'
    bool probe = false;      // each file opened and closed, so that one that cannot be read is
                             // named now, not when its turn comes
    platform::FileIdentity packFile;                     // left out wherever it is met (kPackFile)
    const std::vector<std::string>* excludes = nullptr;  // items left out unseen (selection.h)
    // Described: a path longer than a stored name is taken, under a stand-in; empty files, every
    // folder, symbolic links (never followed) and hard links met before are items too.
    bool describe = false;
};

// A listing: the files to pack (described, the items of every kind), those that cannot be (each
// with its reason: a name over 31 bytes, empty, 4 GiB or more unless described (then cut into
// parts of kPartSize), unreadable; a sub-folder that cannot be opened among them) and the items
// left out, each in packing order.
struct FolderListing {
    std::vector<FolderFile> files;
    std::vector<FolderFile> refused;
    std::vector<LeftOutItem> leftOut;
};

// Lists the current folder (and, asked to, every folder below it, links to folders never
// followed) in the order packing takes the files: NTFS's, whole paths compared by their
// upper-case bytes, then by their bytes, so one tree gives one pack on every system. Lengths
// are asked on every core. False only when the listing itself fails (the folder cannot be
// listed, a folder that fails part-way, memory): *why says why and *culprit names the folder,
// or is empty for the current one.
bool ListFolder(const ListingRequest& request, FolderListing* listing, std::string* culprit,
                platform::Reason* why);

// Sorts files given by name (and path) into those that can be packed, those refused and the
// pack file, as ListFolder does with the files it finds; their order is kept. False when
// memory runs out.
bool CheckFiles(const ListingRequest& request, std::vector<FolderFile>* files,
                FolderListing* listing, platform::Reason* why);

// The entry name of a file given by path, as tar stores it: without a leading '/' or drive
// ("C:") and without ".." parts, '/' between parts on every system. *removed tells what was
// taken away ("" when nothing was): "leading '/'", "drive C:", "'..' parts", joined by " and ".
std::string StoredName(const std::string& path, std::string* removed);

// The regular files directly in the current folder, as the menu packs them: false as for
// ListFolder, or when a file cannot be packed (*culprit names the first in order).
bool ListFolderFiles(std::vector<FolderFile>* files, std::string* culprit, platform::Reason* why);

// Enters a folder and goes back to the one it was made in when it leaves, by whatever path:
// the way back is held open, so a current folder of any path length works.
class FolderReturn {
  public:
    FolderReturn() { back_.Open(".", &opened_); }
    ~FolderReturn() { Back(); }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;
    bool Enter(const char* folder, platform::Reason* why) {
        if (!back_.IsOpen()) return platform::Fail(why, opened_);
        return entered_ = platform::EnterFolder(folder, why);
    }
    void Back() {
        if (entered_) back_.Enter();
        entered_ = false;
    }

  private:
    platform::Folder back_;
    platform::Reason opened_ = 0;  // why the current folder could not be opened
    bool entered_ = false;
};
