// Why an operation failed: read from the system once, where the failure happens, and carried up
// in the operation's result to the front end that words it. Nothing else reads errno or the
// Windows last error: a call made while cleaning up can no longer change the reason.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// 0 while nothing failed; otherwise a code of the system's (errno, or a Windows error code) or
// one of the program's own below.
using Reason = std::uint32_t;

// The program's own reasons lie in the range Windows leaves to applications (its customer bit),
// so that they never meet a system code. The front ends word them.
inline constexpr Reason kOwnError = 0x20000000u;
inline constexpr Reason kErrorNameTooLong = kOwnError | 1;
inline constexpr Reason kErrorNotPackFile = kOwnError | 2;
inline constexpr Reason kErrorDamagedRecord = kOwnError | 3;
inline constexpr Reason kErrorCorruptData = kOwnError | 4;
inline constexpr Reason kErrorEmptyFile = kOwnError | 5;
inline constexpr Reason kErrorFileTooLarge = kOwnError | 6;
inline constexpr Reason kErrorNotRegularFile = kOwnError | 7;
inline constexpr Reason kErrorClimbsOut = kOwnError | 8;
inline constexpr Reason kErrorNoSuchEntry = kOwnError | 9;
inline constexpr Reason kErrorFailed = kOwnError | 10;  // no reason was told
inline constexpr Reason kErrorTerminalInput = kOwnError | 11;
// What stands at a file's target and is never replaced by it.
inline constexpr Reason kErrorTargetIsFolder = kOwnError | 12;
inline constexpr Reason kErrorTargetIsFifo = kOwnError | 13;
inline constexpr Reason kErrorTargetIsDevice = kOwnError | 14;
inline constexpr Reason kErrorTargetIsSocket = kOwnError | 15;
// A name that cannot be a file's: empty, ".", or ending in a separator.
inline constexpr Reason kErrorNoFileName = kOwnError | 16;
// Windows: a name it takes for a device (CON, aux.txt, COM1, ...), or one it would change
// (a dot or a blank at its end, which it drops).
inline constexpr Reason kErrorReservedName = kOwnError | 17;
inline constexpr Reason kErrorAlteredName = kOwnError | 18;
// A pack asked for on standard output while that is a terminal: binary is not shown to a person.
inline constexpr Reason kErrorTerminalOutput = kOwnError | 19;

// The system's code for memory that could not be had.
extern const Reason kErrorNoMemory;

// Keeps a failure's reason in *why (when there is a place for it) and gives false, so that a
// failure reads `return Fail(why, code);`. A code of 0 becomes kErrorFailed.
inline bool Fail(Reason* why, Reason code) {
    if (why != nullptr) *why = code == 0 ? kErrorFailed : code;
    return false;
}

// True for the system's code of a file that does not exist.
bool IsNotFound(Reason code);

// True for the system's code of a write into a pipe whose reader has gone.
bool IsBrokenPipe(Reason code);

// The system's own words for one of its codes: one line, no full stop at the end.
std::string ErrorText(Reason code);

}  // namespace platform
