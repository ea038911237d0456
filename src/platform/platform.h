// The thin layer under the packer: Windows kernel calls on Windows, POSIX stand-ins elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

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
// neither folders nor regular files FILE_ATTRIBUTE_DEVICE, regular files
// FILE_ATTRIBUTE_NORMAL.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found);
// 0 when no item is left (errno is then 0) or when the folder could not be read (errno says
// why), as Windows tells the two apart by ERROR_NO_MORE_FILES.
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

// The current folder, of any length; empty when it cannot be told.
std::string CurrentFolder();

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
    bool Open(const char* path);
    // Opens the folder `name`, one component, inside parent. A link there is never followed:
    // it fails, as does anything but a folder and, on Windows, a name that Windows would alter
    // or take for a device.
    bool OpenBelow(const Folder& parent, const char* name);
    bool IsOpen() const;
    // Makes it the current folder; false when it cannot be entered.
    bool Enter() const;

  private:
    friend class AtomicFile;
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // held so that the folder cannot be moved away
    std::string path_;                      // full path, ending in a separator
#else
    int fd_ = -1;
    bool readable_ = false;  // false: opened only to be entered, not to be synced
#endif
};

// Temporary files are made without a name where the system allows it (Linux O_TMPFILE), so a
// kill at any moment leaves nothing behind. False makes every one named, as on systems without
// them (their cleanup on SIGINT, SIGTERM and SIGHUP can then be tried anywhere).
void UseNamelessTempFiles(bool use);

// Sets the process up for writing files: a file-size limit becomes a failed write rather than
// the end of the program (SIGXFSZ ignored).
void PrepareWrites();

// True when standard output is a terminal or a console, not a file or a pipe.
bool OutputIsTerminal();

// Opens an existing regular file (links followed) for binary reading and gives its length.
// A folder, FIFO, socket or device gives null at once, never blocking.
std::FILE* OpenRegularFile(const char* path, std::uint64_t* length);

// One run of bytes of a gathered write.
struct WritePiece {
    const void* bytes;
    std::size_t length;
};

// Writes the pieces one after the other at the stream's position, in as few system calls as
// the system allows and without copying them first. False when any byte could not be written;
// how much was written is then unknown.
bool WritePieces(std::FILE* file, const WritePiece* pieces, std::size_t count);

// Sets up the C heap for the packer's run: memory freed after one entry is kept for the next
// rather than handed back to the system each time.
void PrepareHeap();

// True when the stream is a terminal (a console on Windows) that a person types into or
// reads; false for a file, a pipe or a device such as NUL.
bool IsTerminal(std::FILE* stream);

// Clears the console at once; writes nothing when standard output is not a console.
void ClearScreen();

}  // namespace platform
