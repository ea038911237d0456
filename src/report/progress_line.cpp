// The self-erasing status line on standard error.
#include "report/progress_line.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "pack/progress.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

ProgressLine::ProgressLine(const char* what, std::chrono::milliseconds refresh)
    : what_(what), refresh_(refresh), start_(std::chrono::steady_clock::now()) {
    if (what == nullptr || !platform::IsTerminal(stderr)) return;
    thread_.Start([this] { Run(); });
}

ProgressLine::~ProgressLine() {
    {
        std::lock_guard<std::mutex> held(lock_);
        stop_ = true;
        wake_.notify_all();
    }
    thread_.Join();
    if (shown_ == 0) return;
    platform::SetEndingText(nullptr);
    std::fputs(Eraser().c_str(), stderr);
    std::fflush(stderr);
}

std::string ProgressLine::Eraser() const {
    return '\r' + std::string(shown_, ' ') + '\r';
}

void ProgressLine::Run() {
    // Work done within the first refresh shows nothing.
    std::unique_lock<std::mutex> held(lock_);
    while (!wake_.wait_for(held, refresh_, [this] { return stop_; })) Show();
}

void ProgressLine::Show() {
    const Progress& progress = SharedProgress();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double done = static_cast<double>(progress.bytesDone.load()) / kMiB;
    const double total = static_cast<double>(progress.bytesTotal.load()) / kMiB;
    char line[200];
    int length = 0;
    if (total > 0.0) {
        // The time left, at the rate so far, once there is a rate to go by.
        const double share = std::min(done / total, 1.0);
        char left[32] = "";
        if (done > 0.0 && seconds >= 1.0) {
            const auto rest = static_cast<long long>(seconds * (total - done) / done + 0.5);
            std::snprintf(left, sizeof left, ", %lld:%02lld left", rest / 60, rest % 60);
        }
        length = std::snprintf(
            line, sizeof line, "%s: %3.0f%%, %llu/%llu files, %.1f/%.1f MiB, %.1f MiB/s%s", what_,
            share * 100.0, static_cast<unsigned long long>(progress.filesDone.load()),
            static_cast<unsigned long long>(progress.filesTotal.load()), done, total,
            seconds > 0.0 ? done / seconds : 0.0, left);
    } else {
        length = std::snprintf(line, sizeof line, "%s: %llu/%llu files, %.1f MiB, %.1f MiB/s",
                               what_, static_cast<unsigned long long>(progress.filesDone.load()),
                               static_cast<unsigned long long>(progress.filesTotal.load()), done,
                               seconds > 0.0 ? done / seconds : 0.0);
    }
    if (length < 0) return;
    const auto shown = std::min(static_cast<std::size_t>(length), sizeof line - 1);
    // Spaces cover what is left of a longer line before.
    std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(shown_ > shown ? shown_ - shown : 0),
                 "");
    std::fflush(stderr);
    shown_ = std::max(shown_, shown);
    // Should the program be ended now (Ctrl+C), the line goes with it.
    platform::SetEndingText(Eraser().c_str());
}
