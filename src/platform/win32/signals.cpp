// Windows signals around writes: none ends the program there (its console handler lives with
// the atomic files).
#ifdef _WIN32

#include "platform/process.h"

namespace platform {

void PrepareWrites() {}  // no signal ends a Windows program for a file-size limit

void PreparePipes() {}  // a write into a closed pipe fails there without ending the program

}  // namespace platform

#endif  // _WIN32
