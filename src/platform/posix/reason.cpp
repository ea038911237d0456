// POSIX reasons: errno, read once where a call fails, and the system's words for it.
#ifndef _WIN32

#include <cerrno>
#include <cstring>

#include "platform/internal.h"

namespace platform {

Reason LastReason() {
    return errno == 0 ? kErrorFailed : static_cast<Reason>(errno);
}

bool IsNotFound(Reason code) {
    return code == ENOENT;
}

bool IsAlreadyThere(Reason code) {
    return code == EEXIST;
}

std::string ErrorText(Reason code) {
    return std::strerror(static_cast<int>(code));
}

}  // namespace platform

#endif  // !_WIN32
