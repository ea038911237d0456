// What the platform layer's own files share, and no other layer sees: the system's reason for
// the failure just seen, and the named temporary files an ending signal removes.
#pragma once

#include <atomic>

#include "platform/platform.h"

namespace platform {

// Why the system call just made failed (errno, or the Windows last error); never 0.
Reason LastReason();

// The named temporary files that an ending signal removes before the program ends (SIGINT,
// SIGTERM and SIGHUP; on Windows Ctrl+C, Ctrl+Break and closing the console).
struct TempFiles {
    // A new name for a temporary file: ".zorel-PID-N.tmp", N counting up in the process.
    static void Name(char (&name)[48]);
    // Puts name in folder on the list the cleanup removes; the slot, or -1 when it is full.
    static int Add(const Folder& folder, const char* name);
    // The file is renamed or removed by its writer: no longer the cleanup's. Should the cleanup
    // have taken it already, the program is ending, and this waits for the end.
    static void Drop(int slot);
    // Removes every file on the list; from the system's handler of an ending signal, on POSIX
    // from a signal handler (so it makes only calls safe there).
    static void RemoveAll();

    // Removes the file name in folder.
    static void RemoveOne(const Folder& folder, const char* name);

  private:
    // The system's part (posix/atomic_file.cpp, win32/files.cpp).
    static long ProcessId();
    static void InstallCleanup();
    [[noreturn]] static void AwaitTheEnd();
};

// Installs, once, the system's handler that writes the ending text (posix/atomic_file.cpp,
// win32/files.cpp).
void InstallEndingWriter();

// The text SetEndingText keeps, for the system's handler of an ending signal.
struct EndingText {
    static char text[256];
    static std::atomic<int> length;  // 0 while the text is being changed, or empty
};

}  // namespace platform
