// What the platform layer's own files share, and no other layer sees: the system's reason for
// the failure just seen, and the named temporary files an ending signal removes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform {

// Why the system call just made failed (errno, or the Windows last error); never 0.
Reason LastReason();

// Windows: a stdio stream over an open file handle, which it owns from then on (closed on a
// failure too).
std::FILE* StreamOver(HANDLE handle, int flags, const char* mode);
#ifdef _WIN32
// Windows: path (UTF-8, with either separator, relative to the current folder or not) as the
// wide "\\?\" absolute path every path-taking call takes, "." and ".." resolved; a device's
// name ("NUL", "\\.\pipe\x") stays as the system names it. False with the reason.
bool WidePath(const char* path, std::wstring* wide, Reason* why);
// Windows: the current folder's form of a wide path ("C:\\x" where it fits, which every system
// takes; else as it is).
const wchar_t* CurrentFolderForm(const wchar_t* wide);
// Windows: the system's calls of the same names ending in W, on WidePath of each path; a path
// that cannot be converted fails them with its reason for GetLastError.
HANDLE CreateFileLong(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
BOOL DeleteFileLong(const char* path);
BOOL RemoveDirectoryLong(const char* path);
DWORD GetFileAttributesLong(const char* path);
BOOL GetFileAttributesExLong(const char* path, WIN32_FILE_ATTRIBUTE_DATA* data);
BOOL SetFileAttributesLong(const char* path, DWORD attributes);
BOOL MoveFileExLong(const char* from, const char* to, DWORD flags);
BOOL CreateHardLinkLong(const char* path, const char* existing);
// Windows: UTF-8 text as UTF-16 and back; false for text that is not valid in its form.
bool WideOf(const char* text, std::wstring* wide);
bool Utf8Of(const wchar_t* wide, std::string* text);
// Windows: the mode and time FileFacts tells of an item's attributes and last write.
ModeAndTime FactsOf(DWORD attributes, FILETIME written);
#endif
// Windows: 0 for a name Windows keeps as it is written; else why not: a device's name (CON, PRN,
// AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with or without an extension), a dot or blank at
// its end (Windows drops them: "name." is "name"), or one of <>:"|?*, separators or control
// characters.
Reason NameFault(const char* name);

#ifndef _WIN32
// POSIX: whether the process runs as root, asked once (a process never changes its user), and
// the mode bits an unpack may restore: set-user-ID and set-group-ID for root alone.
bool IsRoot();
inline unsigned KeptModeBits() {
    return IsRoot() ? 07777 : 01777;
}
#endif

// Nanoseconds since 1970 split into whole seconds (rounded down) and the nanoseconds after them.
inline void SplitTime(std::int64_t ns, std::int64_t* seconds, long* rest) {
    *seconds = ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0);
    *rest = static_cast<long>(ns - *seconds * 1000000000);
}

// Nanoseconds since 1970 as Windows' 100 ns ticks since 1601.
inline std::uint64_t TicksOf(std::int64_t ns) {
    std::int64_t seconds = 0;
    long rest = 0;
    SplitTime(ns, &seconds, &rest);
    return static_cast<std::uint64_t>((seconds + 11644473600) * 10000000 + rest / 100);
}

// A hash of text (FNV-1a), never 0, for names that stand for longer ones. Allocates nothing.
std::uint32_t NameHash(const char* text, std::size_t length);

// ClearStaleTempFiles in the folder that holds path; nothing when memory runs out.
void ClearStaleTempFilesBeside(const std::string& path);

// Splits a path into its folder ("." for a bare name; "/" and "C:" as they are) and the name
// after its last separator (empty when it ends in one).
void SplitPath(const std::string& path, std::string* folder, std::string* name);

// The named temporary files that an ending signal removes before the program ends (SIGINT,
// SIGTERM and SIGHUP; on Windows Ctrl+C, Ctrl+Break and closing the console).
struct TempFiles {
    // A new name for a temporary file: ".zorel-TAG-PID-START-N.tmp", in hex: this system's tag,
    // the process's id and start time, and N counting up in the process.
    static void Name(char (&name)[48]);
    // True for a name Name gives whose process ended on this system: a file no one writes.
    static bool Stale(const char* name);
    // The system's parts of telling them: what tells this system apart from the others that
    // may share a folder (0 when nothing does: then no file is judged stale), when a process
    // started (0: unknown), and whether the process of that id and start time ended.
    static std::uint32_t SystemTag();
    static std::uint32_t StartOf(long pid);
    static bool Ended(long pid, std::uint32_t start);
    // Puts name in folder on the list the cleanup removes; the slot, or -1 when it is full.
    // Inside a NameChange only.
    static int Add(const Folder& folder, const char* name);
    // The file is renamed or removed by its writer: no longer the cleanup's. Inside a NameChange
    // only; nothing when slot is -1.
    static void Drop(int slot);
    // Lets no NameChange start, waits for those under way, then removes every file on the list.
    // Called once, by whatever takes an ending signal: on POSIX its handler, which only the one
    // thread that never holds the signals off can run (every worker holds them off for good, and
    // that thread inside a NameChange); on Windows the console's handler thread.
    static void RemoveAll();

    // Removes the file name in folder.
    static void RemoveOne(const Folder& folder, const char* name);

    // The system's part (posix/atomic_file.cpp, win32/atomic_file.cpp).
    static long ProcessId();
    // Sets up the removal on an ending signal, once; a signal the program was started to ignore
    // stays ignored.
    static void InstallCleanup();
    // POSIX: holds SIGINT, SIGTERM and SIGHUP off this thread, and lets them through again.
    static void HoldSignals();
    static void ReleaseSignals();
    // Waits a moment.
    static void Nap();
    [[noreturn]] static void AwaitTheEnd();
};

// Installs, once, the system's handler that writes the ending text (posix/system.cpp,
// win32/atomic_file.cpp).
void InstallEndingWriter();

// The text SetEndingText keeps, for the system's handler of an ending signal.
struct EndingText {
    static char text[256];
    static std::atomic<int> length;  // 0 while the text is being changed, or empty
};

// One change of names in a folder (a temporary file made, linked, renamed or removed, and its
// place on the list taken or given up), which an ending signal lets finish and never lets start
// once the program is ending: then this waits for the end. Never nested, and nothing inside
// allocates memory (on POSIX the ending signal's handler may wait for it).
class NameChange {
  public:
    NameChange();
    ~NameChange();
    NameChange(const NameChange&) = delete;
    NameChange& operator=(const NameChange&) = delete;
};

}  // namespace platform
