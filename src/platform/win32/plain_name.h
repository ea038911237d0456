// What the Windows files of the platform layer share.
#pragma once

#ifdef _WIN32

#include <cstdio>

#include "platform/platform.h"

namespace platform {

// True for a name Windows keeps as it is written: not a device (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, CONIN$, CONOUT$, with or without an extension), none of <>:"|?*, separators or
// control characters, and no dot or space at its end (Windows drops them: "name." is "name").
bool IsPlainName(const char* name);

// A stdio stream over an open file handle; the stream owns the handle from then on. On
// failure the handle is closed.
std::FILE* StreamOver(HANDLE handle, int flags, const char* mode);

// The thread's last error, never 0.
inline Reason LastError() {
    const DWORD code = GetLastError();
    return code == 0 ? kErrorFailed : code;
}

}  // namespace platform

#endif  // _WIN32
