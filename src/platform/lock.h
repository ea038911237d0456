// One writer at a time for each pack file (a lock on a file beside it), what tells that a file
// changed on disk, and the clearing of temporary files whose process has ended.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform {

// How long a writer waits for another to let go of a pack, unless told otherwise.
inline constexpr double kDefaultLockWait = 10.0;  // seconds

// The exclusive lock of one pack file, held from Take until Release or the end of the object,
// or of the process that holds it (a killed holder's lock is free at once). It is a lock on
// ".zorel-NAME.lock" beside the pack, which holds the holder's process id and is removed when
// the lock is given up; a pack replaced by a rename keeps its lock. Readers take none.
class PackLock {
  public:
    PackLock() = default;
    ~PackLock() { Release(); }
    PackLock(const PackLock&) = delete;
    PackLock& operator=(const PackLock&) = delete;

    // Takes the lock of the pack at path (its links followed), waiting at most `seconds` for
    // another writer. A FIFO or a device there takes no lock: true. False with kErrorBusy, and
    // *holder the holder's process id (0 when it cannot be read), when the wait ran out; else
    // with the system's reason (a folder that cannot be written, among them). Once taken, the
    // temporary files of ended processes in the pack's folder are removed.
    bool Take(const char* path, double seconds, Reason* why, long* holder = nullptr);
    // Gives the lock up; nothing when none is held.
    void Release();

  private:
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
    std::string path_;  // the lock file's
};

// The lock file's path for the pack at path, as PackLock names it (links not followed).
std::string LockPathOf(const std::string& path);

// What a file is now: which file, its length and its last change, to tell that it was replaced
// or written since. Nothing known when nothing is there; two unknown stamps are equal.
struct FileStamp {
    std::uint64_t volume = 0, index = 0, length = 0, changed = 0;
    bool known = false;
    bool operator==(const FileStamp& other) const {
        return known == other.known && volume == other.volume && index == other.index &&
               length == other.length && changed == other.changed;
    }
};
FileStamp StampOf(const char* path);

// Removes from the folder at path this program's temporary files whose process has ended on
// this system (known by the process id and start time in their names); never another file, nor
// one whose maker cannot be told apart from a live process.
void ClearStaleTempFiles(const char* folder);

}  // namespace platform
