// Windows memory: the kernel's own movable blocks, and the heap's settings.
#ifdef _WIN32

#include "platform/platform.h"
#include "platform/process.h"

namespace platform {

const Reason kErrorNoMemory = ERROR_NOT_ENOUGH_MEMORY;

void PrepareHeap() {}  // the process heap needs no setting up

}  // namespace platform

#endif  // _WIN32
