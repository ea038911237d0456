// Whole-or-nothing file replacement: the parts every system shares. Making, naming and
// removing the temporary file is the system's own (posix.cpp, win32.cpp).
#include "platform/atomic_file.h"

#include <cstring>
#include <new>

#include "platform/process.h"

namespace platform {

namespace {

// Where the folder part of a path ends: after its last separator (or drive colon on Windows).
std::size_t NameStart(const char* path) {
    std::size_t start = 0;
    for (std::size_t at = 0; path[at] != '\0'; ++at) {
#ifdef _WIN32
        if (path[at] == '\\' || path[at] == '/' || path[at] == ':') start = at + 1;
#else
        if (path[at] == '/') start = at + 1;
#endif
    }
    return start;
}

}  // namespace

AtomicFile::AtomicFile(const char* target, bool durable) : durable_(durable) {
    if (target == nullptr || *target == '\0') return;
    const std::size_t start = NameStart(target);
    try {
        name_ = target + start;
        // A bare name is in the current folder. On Windows "C:" alone stays: the current folder
        // of drive C.
        std::string folder = start == 0 ? std::string(1, '.') : std::string(target, start);
#ifndef _WIN32
        if (start > 1) folder.pop_back();  // "a/b/" -> "a/b"; "/" stays
#endif
        if (!own_.Open(folder.c_str())) return;
    } catch (const std::bad_alloc&) {
        return;  // no memory for the names: no file either
    }
    folder_ = &own_;
    Start();
}

AtomicFile::AtomicFile(const Folder& folder, const char* name, bool durable)
    : folder_(&folder), durable_(durable) {
    if (name == nullptr || *name == '\0') return;
    try {
        name_ = name;
    } catch (const std::bad_alloc&) {
        return;
    }
    Start();
}

AtomicFile::~AtomicFile() {
    // The last error tells the caller why the file was given up: removing it keeps that.
    const DWORD reason = GetLastError();
    Abandon();
    SetLastError(reason);
}

}  // namespace platform
