// How far a long operation has come: counters the operations advance and a front end reads.
#pragma once

#include <atomic>
#include <cstdint>

struct Progress {
    std::atomic<std::uint64_t> filesDone{0};
    std::atomic<std::uint64_t> filesTotal{0};
    std::atomic<std::uint64_t> bytesDone{0};
    std::atomic<std::uint64_t> bytesTotal{0};

    // A new operation of that many files and bytes, none of them done.
    void Start(std::uint64_t files, std::uint64_t bytes) {
        filesDone = 0;
        bytesDone = 0;
        filesTotal = files;
        bytesTotal = bytes;
    }
    // One more file of that many bytes is done.
    void Advance(std::uint64_t bytes) {
        bytesDone += bytes;
        ++filesDone;
    }
};

// The counters every pack operation advances; one operation runs at a time.
inline Progress& SharedProgress() {
    static Progress progress;
    return progress;
}
