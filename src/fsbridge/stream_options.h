// How the command line's operations on pack files run, what they tell on their way, and the
// totals they give.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "fsbridge/restore.h"
#include "pack/pack.h"
#include "platform/lock.h"

// The PACKFILE that names standard output (StreamPackFolder) or standard input (the readers).
inline constexpr const char* kStandardStream = "-";

// What an operation did, for its summary: entries, their plain bytes, the pack's bytes.
struct StreamTotals {
    std::uint64_t entries = 0;
    std::uint64_t plainBytes = 0;
    std::uint64_t packBytes = 0;
};

// How an operation runs, and where it tells what it meets on its way.
struct StreamOptions {
    bool compress = false;  // a new pack's entries compressed
    Compressor engine = Compressor::kZlib;
    bool recursive = false;  // pack: the files of every sub-folder too
    bool describe = false;   // pack: descriptions of paths, modes, times and checksums
    bool skip = false;       // pack, add: files that cannot be packed are left out, not fatal
    bool update = false;     // add: a file replaces its entry only when it differs from it
    unsigned workers = 0;    // 0: one per core
    Existing existing = Existing::kReplace;  // unpack: what becomes of a file already there
    const std::vector<std::string>* excludes = nullptr;  // names left out (selection.h)
    unsigned strip = 0;  // unpack: leading parts taken from each name; a name with no more is left
    double wait = platform::kDefaultLockWait;  // seconds a writer waits for another's lock
    // Each entry as it is done: packed, unpacked, added or removed, in pack order.
    std::function<void(const char* name)> done;
    // Each file that cannot be packed (by its path from the starting folder) and why: left out
    // with `skip`, else the operation fails once every such file is told.
    std::function<void(const std::string& file, platform::Reason why)> refused;
    // Unpack: once, when the first entry name that begins with a separator is written without
    // it, inside the folder.
    std::function<void(char separator)> stripped;
    // Unpack: each entry passed over, in pack order, for the file already in its place.
    std::function<void(const char* name)> kept;
    // Unpack: each path not restored, and why (the rest is, and the operation then fails).
    std::function<void(const std::string& path, platform::Reason why)> unrestored;
    // Each item of a folder left out by design, by its path from the starting folder.
    std::function<void(const std::string& item, LeftOut why)> leftOut;
    // Test: each description that no longer matches the entries after it, with the number of
    // its items that no entry matched.
    std::function<void(const char* description, std::size_t unmatched)> stale;
    // What a successful operation did (null: not asked).
    StreamTotals* totals = nullptr;
};
