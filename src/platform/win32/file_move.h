// The move that puts a finished file in place on Windows, which a test may stand in for.
#pragma once
#ifdef _WIN32

namespace platform {

// MoveFileExA's arguments and result; a failure leaves its reason for GetLastError.
using FileMove = int (*)(const char* from, const char* to, unsigned long flags);

// Puts move in place of the system's own (MoveFileExA) for every file put in place after;
// null puts the system's back.
void SetFileMove(FileMove move);

}  // namespace platform

#endif  // _WIN32
