// Windows worker threads, with a small stack.
#ifdef _WIN32

#include <process.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/process.h"

namespace platform {

namespace {

// Enough for the work of one entry: the compressors keep their state on the heap.
constexpr std::size_t kThreadStack = std::size_t{512} << 10;

unsigned __stdcall RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

}  // namespace

bool Thread::Start(std::function<void()> work) {
    if (started_) return false;
    work_ = std::move(work);
    const std::uintptr_t handle = _beginthreadex(nullptr, kThreadStack, RunWork, &work_,
                                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) return false;
    handle_ = reinterpret_cast<void*>(handle);
    started_ = true;
    return true;
}

void Thread::Join() {
    if (!started_) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
    started_ = false;
}

}  // namespace platform

#endif  // _WIN32
