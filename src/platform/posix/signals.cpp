// POSIX signals around writes and endings: the cleanup of temporary files on SIGINT, SIGTERM
// and SIGHUP, the ending text, and the signals a writer would otherwise die of.
#ifndef _WIN32

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <csignal>

#include "platform/internal.h"
#include "platform/process.h"

namespace platform {

namespace {

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gFormer[3];
thread_local sigset_t tHeldMask;  // this thread's mask before its NameChange

sigset_t CleanedSignals() {
    sigset_t cleaned;
    sigemptyset(&cleaned);
    for (int signal : kCleanedSignals) sigaddset(&cleaned, signal);
    return cleaned;
}

// An ending signal's handler. Workers hold these signals off for good, and any thread holds them
// off inside a NameChange, so it runs outside one: it waits for those under way on the other
// threads, removes the named temporary files and ends the process by the same signal.
extern "C" void RemoveTempFilesAndEnd(int signal) {
    TempFiles::RemoveAll();
    for (int i = 0; i < 3; ++i) {
        if (kCleanedSignals[i] == signal) sigaction(signal, &gFormer[i], nullptr);
    }
    raise(signal);  // delivered once this returns, to the former action: the end, by default
}

struct sigaction gBeforeWriter[3];

// Writes the ending text, then ends the process by the signal through what was set up before.
extern "C" void WriteEndingTextAndEnd(int signal) {
    const int length = EndingText::length.load();
    if (length > 0) {
        const ssize_t written = write(STDERR_FILENO, EndingText::text, static_cast<size_t>(length));
        (void)written;  // nothing is left to do about it
    }
    for (int i = 0; i < 3; ++i) {
        if (kCleanedSignals[i] == signal) sigaction(signal, &gBeforeWriter[i], nullptr);
    }
    raise(signal);  // delivered once this returns, to what was set up before
}

// Sets handler for the ending signals, keeping what was set before in former; a signal the
// program was started to ignore stays ignored.
void Install(void (*handler)(int), struct sigaction (&former)[3]) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
    for (int i = 0; i < 3; ++i) {
        if (sigaction(kCleanedSignals[i], nullptr, &former[i]) == 0 &&
            former[i].sa_handler != SIG_IGN) {
            sigaction(kCleanedSignals[i], &action, nullptr);
        }
    }
}

}  // namespace

void PrepareWrites() {
    std::signal(SIGXFSZ, SIG_IGN);
}

void PreparePipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

void InstallEndingWriter() {
    static const bool installed = (Install(WriteEndingTextAndEnd, gBeforeWriter), true);
    (void)installed;
}

long TempFiles::ProcessId() {
    return static_cast<long>(getpid());
}

void TempFiles::InstallCleanup() {
    static const bool installed = (Install(RemoveTempFilesAndEnd, gFormer), true);
    (void)installed;
}

void TempFiles::HoldSignals() {
    const sigset_t cleaned = CleanedSignals();
    pthread_sigmask(SIG_BLOCK, &cleaned, &tHeldMask);
}

void TempFiles::ReleaseSignals() {
    pthread_sigmask(SIG_SETMASK, &tHeldMask, nullptr);
}

void TempFiles::Nap() {
    const timespec moment{0, 1000000};
    nanosleep(&moment, nullptr);
}

void TempFiles::AwaitTheEnd() {
    for (;;) pause();
}

}  // namespace platform

#endif  // !_WIN32
