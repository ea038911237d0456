// Process services: the heap's settings, signals around writes and endings, and worker threads.
#pragma once

#include <functional>

namespace platform {

// Sets up the C heap for the packer's run: memory freed after one entry is kept for the next
// rather than handed back to the system each time, and one arena for every thread, so that
// workers neither reserve address space of their own nor strand what another thread freed.
void PrepareHeap();

// Sets the process up for writing files: a file-size limit becomes a failed write rather than
// the end of the program (SIGXFSZ ignored).
void PrepareWrites();

// Text written to standard error, as it is, when SIGINT, SIGTERM or SIGHUP (on Windows Ctrl+C,
// Ctrl+Break or closing the console) ends the program: what erases a status line. At most 255
// bytes are kept; null or empty writes nothing. A signal the program was started to ignore
// stays ignored, and the ending goes on to what was set up before.
void SetEndingText(const char* text);

// Sets the process up for writing into pipes: a reader that goes away fails the write (EPIPE)
// rather than ending the program (SIGPIPE ignored). For the command line, whose every write
// says why it failed.
void PreparePipes();

// A thread with a small stack, joined by its owner.
class Thread {
  public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Starts work on a new thread, which never takes SIGINT, SIGTERM or SIGHUP (their cleanup
    // runs on the threads that start work); false when no thread could be made (work is not run).
    bool Start(std::function<void()> work);
    // Waits for the thread to end; nothing when none was started.
    void Join();

  private:
    std::function<void()> work_;
    void* handle_ = nullptr;
    bool started_ = false;
};

}  // namespace platform
