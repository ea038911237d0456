// The status line of long work: files and bytes done of total (with the share done and the time
// left when the total is known) and the rate, on standard error, only when a person watches it
// there; erased when the work is done and when the program is ended by a signal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/process.h"

class ProgressLine {
  public:
    // Shows the shared progress as "what: ..." a few times a second while the object lives,
    // when standard error is a terminal; otherwise (or for a null what) does nothing at all.
    // Shown anew every refresh, the first time one refresh after the start.
    explicit ProgressLine(const char* what,
                          std::chrono::milliseconds refresh = std::chrono::milliseconds(250));
    // Stops the line's thread, then erases the line: all of it, and nothing is shown after.
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

  private:
    void Run();
    void Show();
    std::string Eraser() const;  // what takes the line off the screen

    const char* what_;
    std::chrono::milliseconds refresh_;
    std::chrono::steady_clock::time_point start_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::size_t shown_ = 0;  // the length of the line on the screen
    platform::Thread thread_;
};
