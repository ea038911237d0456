// Process services of the command line: the last error and its wording, the heap's bounds,
// terminals, and worker threads with small stacks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/platform.h"

#ifndef _WIN32
// The reason for the last failure of this thread, as the Windows kernel keeps it. Here it is
// errno: a failed system call sets it, and so do the program's own codes below.
DWORD GetLastError();
void SetLastError(DWORD code);
#endif

namespace platform {

// The program's own reasons, in the range Windows leaves to applications (its customer bit),
// so that they never meet a system error code.
inline constexpr DWORD kOwnError = 0x20000000u;
inline constexpr DWORD kErrorNameTooLong = kOwnError | 1;
inline constexpr DWORD kErrorNotPackFile = kOwnError | 2;
inline constexpr DWORD kErrorDamagedRecord = kOwnError | 3;
inline constexpr DWORD kErrorCorruptData = kOwnError | 4;
inline constexpr DWORD kErrorEmptyFile = kOwnError | 5;
inline constexpr DWORD kErrorFileTooLarge = kOwnError | 6;
inline constexpr DWORD kErrorNotRegularFile = kOwnError | 7;
inline constexpr DWORD kErrorClimbsOut = kOwnError | 8;
inline constexpr DWORD kErrorNoSuchEntry = kOwnError | 9;
inline constexpr DWORD kErrorFailed = kOwnError | 10;  // no reason was told

// True for the code of a file that does not exist.
bool IsNotFound(DWORD code);

// The words for a code: the system's own text for its codes (one line, no full stop at the
// end), the program's text for its own.
std::string ErrorText(DWORD code);

// The length of a regular file (links followed), told without opening it. False with the
// last error set when there is none, or kErrorNotRegularFile for a folder, FIFO or device.
bool RegularFileLength(const char* path, std::uint64_t* length);

// Keeps the C heap to one arena, so that worker threads reserve no address space of their
// own; for runs whose memory must stay bounded.
void BoundHeap();

// True when standard error is a terminal (a console on Windows).
bool ErrorIsTerminal();

// A thread with a small stack, joined by its owner.
class Thread {
  public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Starts work on a new thread; false when no thread could be made (work is not run).
    bool Start(std::function<void()> work);
    // Waits for the thread to end; nothing when none was started.
    void Join();

  private:
    std::function<void()> work_;
    void* handle_ = nullptr;
    bool started_ = false;
};

}  // namespace platform
