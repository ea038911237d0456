// POSIX worker threads: a small stack, born holding the ending signals off.
#ifndef _WIN32

#include <pthread.h>

#include <cstddef>
#include <new>

#include "platform/internal.h"
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

bool Thread::Start(std::function<void()> work) {
    if (started_) return false;
    work_ = std::move(work);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, kThreadStack);
    auto* thread = new (std::nothrow) pthread_t;
    // A worker never takes SIGINT, SIGTERM or SIGHUP: it is born holding them off, so that their
    // handler runs on the thread that started the work, never beside a name being changed.
    TempFiles::HoldSignals();
    const bool made =
        thread != nullptr && pthread_create(thread, &attributes, RunWork, &work_) == 0;
    TempFiles::ReleaseSignals();
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
