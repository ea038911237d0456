// Text written to the standard streams, the same on every system: a failed write gives its
// reason.
#include <cstdio>

#include "platform/internal.h"
#include "platform/platform.h"

namespace platform {

bool WriteText(std::FILE* file, const char* text, Reason* why) {
    return std::fputs(text, file) >= 0 || Fail(why, LastReason());
}

bool Flush(std::FILE* file, Reason* why) {
    return std::fflush(file) == 0 || Fail(why, LastReason());
}

}  // namespace platform
