// A file written beside its target and put in the target's place only when complete, or
// straight into the pipe, device or standard output a user names.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace platform {

// Names standard output as a file's target.
struct StandardOutput {};

class AtomicFile {
  public:
    // Starts the file for target, a path the user names. Its links are followed, as the system
    // follows them, to the file they end at, and that file is the one replaced: the links stay.
    // A FIFO or character device there (a pipe, a terminal, /dev/null; on Windows NUL, CON or a
    // pipe) is written straight into, in order. stream() is null when no file could be made
    // (reason() tells why), a folder, socket or block device there among them. A durable file
    // is flushed to the disk before it takes the target's place, and its folder after.
    explicit AtomicFile(const char* target, bool durable = true);
    // Standard output, written straight, in binary mode, through a copy of its descriptor.
    explicit AtomicFile(StandardOutput);
    // The file `name`, one component, inside an open folder that outlives this. A link there is
    // replaced as a name, never followed; a regular file is replaced; anything else fails the
    // commit and stays. Uses no current-folder state: files in one folder may be written on
    // several threads.
    AtomicFile(const Folder& folder, const char* name, bool durable);
    // Abandons an uncommitted file: closes and removes it, leaving the target as it was.
    ~AtomicFile() { Abandon(); }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Written through WritePieces, and flushed at the commit. A file that replaces a regular file
    // takes on its permission bits (and its owner, for root; on Windows its attributes, read-only
    // among them); a new one has the usual mode under the umask.
    std::FILE* stream() const { return file_; }
    // Gives the new file these permission bits exactly, not through the umask (set-user-ID and
    // set-group-ID only when the process is root; on Windows the read-only attribute when the
    // owner's write bit is clear) and this modification time in nanoseconds since 1970 (100 ns
    // ticks on Windows), all before it takes its name; it then takes nothing of a file it
    // replaces. The bits are narrowed to these at once, so the file is never open wider.
    void Describe(std::uint32_t mode, std::int64_t mtimeNs);
    // Makes Commit never replace what is at the target, even something put there after this
    // began: the file takes the name only while nothing holds it, and otherwise the commit fails
    // with a reason IsAlreadyThere tells, the target and what is there left as they are.
    void KeepExisting() { keep_ = true; }
    // Why no stream could be made.
    Reason reason() const { return reason_; }
    // True when the bytes go straight into a FIFO, a device or standard output: what was written
    // is there already, and no failure takes it back.
    bool straight() const { return straight_; }

    // Flushes and closes the file and, when every write succeeded, puts it in place of the
    // target. False leaves the target untouched and no temporary file.
    bool Commit(Reason* why = nullptr);

  private:
    // What stands at the target's name, as far as has been looked.
    enum class There : unsigned char { kUnknown, kNothing, kFile };

    void Start();
    void Abandon();
    // Keeps the reason the file could not be made and gives up what was made of it.
    void Refuse(Reason why);
    // The system's parts of Commit: the new file in place of the target, whatever is there.
    // POSIX: *nameless is the descriptor a nameless file is linked through, closed once linked.
    Reason PutInPlace(int* nameless);

    Folder own_;                      // the target's folder, when named by a path
    const Folder* folder_ = nullptr;  // the folder the file is made in
    std::string name_;                // the target's name in it
    std::string temp_;                // the temporary file's name; empty while it has none
    std::FILE* file_ = nullptr;
    Reason reason_ = 0;
    int slot_ = -1;   // its place among the names removed on SIGINT, SIGTERM, SIGHUP
    long mode_ = -1;  // the replaced file's mode (POSIX) or attributes (Windows), given to the new
    unsigned owner_ = 0;
    unsigned group_ = 0;
    There there_ = There::kUnknown;
    bool durable_ = true;
    bool straight_ = false;
    bool keep_ = false;       // KeepExisting: nothing at the target is replaced
    bool described_ = false;  // Describe gave its mode and time
    std::uint32_t describedMode_ = 0;
    std::uint32_t madeMode_ = UINT32_MAX;  // the file's mode as far as known, while described
    std::int64_t mtimeNs_ = 0;
};

}  // namespace platform
