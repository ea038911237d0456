// The thin layer under the packer: the Windows kernel calls it is written against (from
// <windows.h> on Windows, POSIX stand-ins elsewhere), and the few services built on them. The
// only place, with the files under posix/ and win32/, that tells the systems apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/reason.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// A process has at most 65,536 movable blocks. Past that a fixed block does the same work
// (it locks to its own address), so the number of entries is bounded by memory alone.
inline HGLOBAL ZorelGlobalAlloc(UINT flags, SIZE_T bytes) {
    HGLOBAL block = GlobalAlloc(flags, bytes);
    if (block == nullptr && (flags & GMEM_MOVEABLE) != 0) {
        block = GlobalAlloc(flags & ~static_cast<UINT>(GMEM_MOVEABLE), bytes);
    }
    return block;
}
#define GlobalAlloc ZorelGlobalAlloc

// The folder calls the layers above make take UTF-8 paths of any length (win32/wide_path.cpp):
// the wide calls on a "\\?\" path, a found name in UTF-8 (255 wide characters fit).
struct ZorelFindData {
    DWORD dwFileAttributes;
    char cFileName[MAX_PATH * 3];
};
HANDLE ZorelFindFirstFile(LPCSTR pattern, ZorelFindData* found);
BOOL ZorelFindNextFile(HANDLE search, ZorelFindData* found);
BOOL ZorelSetCurrentDirectory(LPCSTR path);
BOOL ZorelCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security);
#define WIN32_FIND_DATAA ZorelFindData
#define FindFirstFileA ZorelFindFirstFile
#define FindNextFileA ZorelFindNextFile
#define SetCurrentDirectoryA ZorelSetCurrentDirectory
#define CreateDirectoryA ZorelCreateDirectory
#else

// Only the names, fields and flags the packer uses.
using BOOL = int;
using UINT = unsigned int;
using DWORD = std::uint32_t;
using SIZE_T = std::size_t;
using HANDLE = void*;
using HGLOBAL = void*;
using LPVOID = void*;
using LPCSTR = const char*;

#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define MAX_PATH 260

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    char cFileName[MAX_PATH];
};

// A zero-filled block of bytes; 0 bytes gives a block that cannot be locked. Null when
// memory is exhausted.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
// The block's address, the same while it stays locked; locks nest. Null for a null or
// 0-byte block.
LPVOID GlobalLock(HGLOBAL block);
// Undoes one lock; nonzero while the block is still locked.
BOOL GlobalUnlock(HGLOBAL block);
// Releases the block, locked or not; null on success.
HGLOBAL GlobalFree(HGLOBAL block);
// Cuts an unlocked block to its first `bytes` (1 or more, no more than it holds), in place
// where it can; the block, which may have moved, or null and the block as it was. Only
// shrinking is asked of this layer; flags are Windows' and not needed here.
HGLOBAL GlobalReAlloc(HGLOBAL block, SIZE_T bytes, UINT flags);

BOOL SetCurrentDirectoryA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, void* securityAttributes);

// Lists a folder: the pattern is "*" or "folder/*". Every item comes back, "." and ".."
// included; links are followed. Folders carry FILE_ATTRIBUTE_DIRECTORY, items that are
// neither folders nor regular files (a dangling link among them) FILE_ATTRIBUTE_DEVICE,
// regular files FILE_ATTRIBUTE_NORMAL; a link also carries FILE_ATTRIBUTE_REPARSE_POINT, as
// Windows marks its own.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found);
// 0 when no item is left or when the folder could not be read; SearchFailure() tells which.
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* found);
BOOL FindClose(HANDLE search);

#endif

namespace platform {

// The separator the unpacker puts between a folder and an entry name.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
// Whether FileFacts tells every permission bit (else only the read-only attribute), and the
// step, in nanoseconds, of the times it tells.
#ifdef _WIN32
inline constexpr bool kKeepsModes = false;
inline constexpr std::int64_t kTimeStepNs = 100;
#else
inline constexpr bool kKeepsModes = true;
inline constexpr std::int64_t kTimeStepNs = 1;
#endif

// Whether symbolic links are read as links (ReadLink) rather than left out.
inline constexpr bool kKeepsLinks = true;

// An ASCII letter in upper case; every other byte as it is.
inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Asked right after FindFirstFileA or FindNextFileA found no item, before any other call: 0
// when the folder had no more items, else why it could not be read.
Reason SearchFailure();

// SetCurrentDirectoryA with its reason on failure.
bool EnterFolder(const char* path, Reason* why);
// Makes the folder at path; true too when something is already there. False with the reason.
bool MakeFolder(const char* path, Reason* why);

// A folder held open by the system: renaming or replacing its path afterwards changes nothing
// for the holder, and a path of any length can be gone back to. Empty until opened.
class Folder {
  public:
    Folder() = default;
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens the folder at path, following the links the path holds (it is the user's own).
    // False leaves it empty.
    bool Open(const char* path, Reason* why = nullptr);
    // Opens the folder `name`, one component, inside parent. A link there is never followed:
    // it fails, as does anything but a folder and, on Windows, a name that Windows would alter
    // or take for a device.
    bool OpenBelow(const Folder& parent, const char* name, Reason* why = nullptr);
    // The same, making the folder first when it is missing (with the usual mode under the umask).
    // "." and ".." are refused.
    bool MakeBelow(const Folder& parent, const char* name, Reason* why = nullptr);
    bool IsOpen() const;
    // Whether anything by the name `name`, one component, is in the folder (a link not followed);
    // *modified, when asked, takes the time it last changed, in seconds since 1970.
    bool Holds(const char* name, std::int64_t* modified = nullptr) const;
    // Makes it the current folder; false when it cannot be entered.
    bool Enter() const;
    // Whether `name`, one component, is a symbolic link (on Windows any reparse point) here.
    bool HoldsLink(const char* name) const;
    // Gives the folder itself permission bits (as AtomicFile::Describe gives a file's) and a
    // modification time in nanoseconds since 1970 (100 ns ticks on Windows, where only the
    // read-only attribute is set from the bits, as the owner's write bit says).
    bool SetFacts(std::uint32_t mode, std::int64_t mtimeNs, Reason* why = nullptr) const;
    // Makes `name`, one component, a symbolic link holding `text` exactly, with that time where
    // the system keeps one for a link; with replace a file or link already there is replaced,
    // anything else stays and fails it (without replace, anything there does, with a reason
    // IsAlreadyThere tells). On Windows a user the system does not let make links gets its
    // reason.
    bool MakeSymlink(const char* name, const std::string& text, std::int64_t mtimeNs, bool replace,
                     Reason* why = nullptr) const;
    // Makes `name`, one component, a hard link of the file `from` in the folder `in` (a link
    // there is linked as itself, never followed); what is at `name` is treated as MakeSymlink
    // treats it.
    bool MakeHardLink(const char* name, const Folder& in, const char* from, bool replace,
                      Reason* why = nullptr) const;

  private:
    friend class AtomicFile;
    friend struct TempFiles;
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // held so that the folder cannot be moved away
    std::string path_;                      // full path, ending in a separator
#else
    int fd_ = -1;
    bool readable_ = false;  // false: opened only to be entered, not to be synced
    // The mode a new file takes here, once one was looked at: the umask and the folder's
    // default ACL give every file made with the same mode the same bits.
    mutable std::atomic<std::uint32_t> newFileMode_{UINT32_MAX};
#endif
};

struct FileIdentity;

// A file's permission bits and modification time, as FileFacts tells them.
struct ModeAndTime {
    std::uint32_t mode = 0;
    std::int64_t mtimeNs = 0;
    bool known = false;
};

// Opens an existing regular file (links followed) for binary reading and gives its length.
// A folder, FIFO, socket or device gives null at once, never blocking (kErrorNotRegularFile).
// With `identity`, tells which file it is (as IdentityOf does), from the same look.
std::FILE* OpenRegularFile(const char* path, std::uint64_t* length, Reason* why = nullptr,
                           FileIdentity* identity = nullptr);

// The length of a regular file (links followed), told without opening it. False for anything
// else, kErrorNotRegularFile for a folder, FIFO or device.
bool RegularFileLength(const char* path, std::uint64_t* length, Reason* why = nullptr);

// The permission bits (at most 07777; on Windows 0444 or 0666 by the read-only attribute) and
// the modification time (nanoseconds since 1970-01-01 UTC) of what path names, links not
// followed. False with the reason.
bool FileFacts(const char* path, std::uint32_t* mode, std::int64_t* mtimeNs, Reason* why = nullptr);

// The text of the symbolic link at path, as it is, never followed. False with the reason for
// anything but a link, or on a system that does not keep links (kKeepsLinks).
bool ReadLink(const char* path, std::string* target, Reason* why = nullptr);

// What a path names, links not followed.
enum class PathKind { kFile, kFolder, kSymlink, kOther };
// Its kind and, for a symbolic link, its text (empty for a Windows reparse point of another kind,
// a junction). False with the reason (IsNotFound when nothing is there).
bool KindOf(const char* path, PathKind* kind, std::string* target, Reason* why = nullptr);

// The calendar fields of an instant in the user's local time zone (as tar -tv shows times).
struct CalendarTime {
    long long year;
    int month, day, hour, minute, second;  // month and day from 1
};
// False when the system cannot tell them for seconds since 1970-01-01 UTC.
bool LocalTime(std::int64_t seconds, CalendarTime* out);

// Which file a path names, whatever name it goes by: the device and inode on POSIX, the volume
// serial number and file index on Windows.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool known = false;  // false: nothing is known, and it equals no other
    bool operator==(const FileIdentity& other) const {
        return known && other.known && volume == other.volume && index == other.index;
    }
};

// What packing a regular file (links followed) needs, asked before it is packed: its length and
// identity, and whether this process may read it, never blocking. On POSIX it is asked without
// opening the file (the read opens it once); on Windows the file is opened and closed. False with
// the reason an open would give, or kErrorNotRegularFile for anything but a regular file.
// With `facts`, tells its mode and time too, from the same look.
bool ProbeRegularFile(const char* path, std::uint64_t* length, FileIdentity* identity,
                      Reason* why = nullptr, ModeAndTime* facts = nullptr);

// The identity of what path names now (links followed); unknown when nothing is there.
FileIdentity IdentityOf(const char* path);
// The identity of the regular file an open stream writes to (standard output redirected to a
// file); unknown for a pipe, a terminal or a device.
FileIdentity IdentityOf(std::FILE* file);

// Reads up to `length` bytes; how many came. Fewer at the end of the file, or at a read error,
// whose reason then goes to *why (left as it was at the end of the file).
std::size_t ReadBytes(std::FILE* file, void* bytes, std::size_t length, Reason* why);

// Moves a reading stream `length` bytes on, inside the file.
bool SkipBytes(std::FILE* file, std::uint64_t length, Reason* why);

// The length of a stream that cannot tell it ahead: a pipe, or a device.
inline constexpr std::uint64_t kUnknownLength = UINT64_MAX;

// Standard input, made ready to read a file's bytes (binary mode on Windows), and its length
// from its position: known for a regular file, kUnknownLength for a pipe or a device. Null for
// a terminal (kErrorTerminalInput), which no one types a file into.
std::FILE* OpenStandardInput(std::uint64_t* length, Reason* why);

// A regular file read at offsets of the reader's choosing, apart from the stream it was reached
// through, whose position it leaves alone: several threads may read it at once. Empty until
// opened; it does not outlive that stream.
class FileAt {
  public:
    FileAt() = default;
    ~FileAt();
    FileAt(const FileAt&) = delete;
    FileAt& operator=(const FileAt&) = delete;

    // Reaches the file of a reading stream; offsets count from the stream's position now. False
    // leaves it empty.
    bool Open(std::FILE* file, Reason* why);
    bool IsOpen() const;
    // Up to `length` bytes from `offset`: how many came, fewer only at the end of the file or at
    // a read error, whose reason then goes to *why.
    std::size_t Read(std::uint64_t offset, void* bytes, std::size_t length, Reason* why) const;

  private:
    std::uint64_t base_ = 0;
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // a handle of its own, with its own position
#else
    int fd_ = -1;  // the stream's, read with pread
#endif
};

// One run of bytes of a gathered write.
struct WritePiece {
    const void* bytes;
    std::size_t length;
};

// Writes the pieces one after the other at the stream's position, in as few system calls as
// the system allows and without copying them first. False when any byte could not be written;
// how much was written is then unknown.
bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count,
                 Reason* why = nullptr);

// A new, empty file for the program's own scratch bytes, open for writing and reading back, in
// the system's folder for temporary files ($TMPDIR, else /tmp; on Windows GetTempPath). It has
// no name where the system allows it, and is gone once closed. Null with the reason.
std::FILE* OpenScratchFile(Reason* why);

// Writes text to a stream; false with the reason when it could not be written.
bool WriteText(std::FILE* file, const char* text, Reason* why);

// Flushes a stream that is written to; false with the reason when its bytes could not go out.
bool Flush(std::FILE* file, Reason* why);

// Temporary files are made without a name where the system allows it (Linux O_TMPFILE), so a
// kill at any moment leaves nothing behind. False makes every one named, as on systems without
// them (their cleanup on SIGINT, SIGTERM and SIGHUP can then be tried anywhere).
void UseNamelessTempFiles(bool use);

// True when the stream is a terminal (a console on Windows) that a person types into or
// reads; false for a file, a pipe or a device such as NUL.
bool IsTerminal(std::FILE* stream);

// Clears the console at once; writes nothing when standard output is not a console.
void ClearScreen();

}  // namespace platform
