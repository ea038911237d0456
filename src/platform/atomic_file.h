// A file written beside its target and put in the target's place only when complete.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace platform {

class AtomicFile {
  public:
    // Starts the file for target, a path whose folder links are followed. stream() is null when
    // no file could be made (reason() tells why), or when target exists and is neither a regular
    // file nor a link (a folder, FIFO or device is never replaced). A durable file is flushed to
    // the disk before it takes the target's place, and its folder after.
    explicit AtomicFile(const char* target, bool durable = true);
    // The same for the file `name`, one component, inside an open folder that outlives this.
    // Uses no current-folder state: files in one folder may be written on several threads.
    AtomicFile(const Folder& folder, const char* name, bool durable);
    // Abandons an uncommitted file: closes and removes it, leaving the target as it was.
    ~AtomicFile() { Abandon(); }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Written through WritePieces, and flushed at the commit. The file starts with the
    // permission bits of the regular file it replaces (and its owner, for root), or else with
    // the usual mode under the umask.
    std::FILE* stream() const { return file_; }
    // Why no stream could be made.
    Reason reason() const { return reason_; }

    // Flushes and closes the file and, when every write succeeded, puts it in place of the
    // target (a link there is replaced, never written through). False leaves the target
    // untouched and no temporary file.
    bool Commit(Reason* why = nullptr);

  private:
    void Start();
    void Abandon();
    // Keeps the reason the file could not be made and gives up what was made of it.
    void Refuse(Reason why);

    Folder own_;                      // the target's folder, when named by a path
    const Folder* folder_ = nullptr;  // the folder the file is made in
    std::string name_;                // the target's name in it
    std::string temp_;                // the temporary file's name; empty while it has none
    std::FILE* file_ = nullptr;
    Reason reason_ = 0;
    int slot_ = -1;   // its place among the names removed on SIGINT, SIGTERM, SIGHUP
    long mode_ = -1;  // POSIX: the replaced file's mode and owner, given at the commit
    unsigned owner_ = 0;
    unsigned group_ = 0;
    bool durable_ = true;
};

}  // namespace platform
