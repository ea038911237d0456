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
// <windows.h> makes ReplaceFile a macro for ReplaceFileA/W; platform::ReplaceFile is ours.
#undef ReplaceFile
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

BOOL SetCurrentDirectoryA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, void* securityAttributes);

// Lists the current folder: the pattern is "*". Every item comes back, "." and ".."
// included; links are followed. Folders carry FILE_ATTRIBUTE_DIRECTORY, items that are
// neither folders nor regular files FILE_ATTRIBUTE_DEVICE, regular files
// FILE_ATTRIBUTE_NORMAL.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found);
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

// Opens an existing regular file (links followed) for binary reading and gives its length.
// A folder, FIFO, socket or device gives null at once, never blocking.
std::FILE* OpenRegularFile(const char* path, std::uint64_t* length);

// Creates a new empty file for binary writing in the folder that holds target, under a
// name no other file has; *tempPath receives that name. Null when it cannot be made.
std::FILE* CreateTempBeside(const char* target, std::string* tempPath);

// Puts source in place of target in one step, replacing target (a file or a link, never
// what a link points to) when it exists.
bool ReplaceFile(const char* source, const char* target);

// Removes a file; false when it could not be removed.
bool RemoveFile(const char* path);

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

// Clears the console; writes nothing when standard output is not a console.
void ClearScreen();

}  // namespace platform
