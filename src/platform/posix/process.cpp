// POSIX process services: reasons and their words, the heap, signals around writes, threads.
#ifndef _WIN32

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/process.h"

namespace platform {

namespace {

// Enough for the work of one entry: the compressors keep their state on the heap.
constexpr std::size_t kThreadStack = std::size_t{512} << 10;

void* RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return nullptr;
}

}  // namespace

const Reason kErrorNoMemory = ENOMEM;

bool IsNotFound(Reason code) {
    return code == ENOENT;
}

std::string ErrorText(Reason code) {
    return std::strerror(static_cast<int>(code));
}

void PrepareHeap() {
#ifdef M_TRIM_THRESHOLD
    // zlib sets up and drops a few hundred KiB of state for every entry. With glibc's default
    // the heap gives that back to the system at once and takes it again for the next entry:
    // system calls and fresh zeroed pages each time. A fixed threshold also keeps blocks of
    // 128 KiB and more in their own mappings, which go back to the system when freed.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

void BoundHeap() {
#ifdef M_ARENA_MAX
    // Each arena of a thread reserves 64 MiB of address space on a 64-bit system.
    mallopt(M_ARENA_MAX, 1);
#endif
}

void PrepareWrites() {
    std::signal(SIGXFSZ, SIG_IGN);
}

bool Thread::Start(std::function<void()> work) {
    if (started_) return false;
    work_ = std::move(work);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, kThreadStack);
    auto* thread = new (std::nothrow) pthread_t;
    const bool made =
        thread != nullptr && pthread_create(thread, &attributes, RunWork, &work_) == 0;
    pthread_attr_destroy(&attributes);
    if (!made) {
        delete thread;
        return false;
    }
    handle_ = thread;
    started_ = true;
    return true;
}

void Thread::Join() {
    if (!started_) return;
    auto* thread = static_cast<pthread_t*>(handle_);
    pthread_join(*thread, nullptr);
    delete thread;
    handle_ = nullptr;
    started_ = false;
}

}  // namespace platform

#endif  // !_WIN32
