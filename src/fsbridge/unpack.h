// Entries written as files below a folder: the rules of every unpack, the menu's and the
// command line's, as the steps of a window's job.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "fsbridge/entry_job.h"
#include "fsbridge/restore.h"
#include "pack/pieces.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"

// Whether the job's file takes its described path, mode and time.
bool Described(const EntryJob& held);

class Unpacker {
  public:
    // Writes below target, which outlives this; refused and kept paths of files, folders and
    // links are told.
    explicit Unpacker(const platform::Folder& target, Existing existing = Existing::kReplace,
                      Restorer::Told told = {})
        : target_(target), existing_(existing), restorer_(target, existing, std::move(told)) {}

    // On the window's thread, in pack order, before anything of the entry is written: its path
    // is set (the described one, but for a part; else its stored name), and a path that climbs out
    // with ".." is refused (so no entry behind it is ever taken), and an entry whose path meets one
    // still in flight (the same file, or a folder of one at the other's file) is marked late, to be
    // written when it finishes, after that one: the later entry's bytes win and the same entry
    // fails, as in pack order.
    bool Take(Job& job);
    // On a worker: decompresses the entry in place and writes its file, unless it is late; the
    // folders its name holds are made below the target when missing. An entry without a block
    // has its data in `in`, decoded piece by piece into its file (when late, at its Finish): the
    // file is still whole or nothing. An existing file the policy keeps marks the job kept, its
    // data unread.
    bool Work(Job& job, PieceSource* in = nullptr);
    // On the window's thread, in pack order: writes a late entry's file, and tells a refused one.
    bool Finish(Job& job, PieceSource* in = nullptr);
    // On the window's thread, the entry alone in flight: works on it, a part written at once.
    bool MoveNow(Job& job, PieceSource* in);
    // After the last entry, or a failure: the file of the last parts takes its name, then the
    // links and folders are finished (Restorer::End).
    void End();
    // What descriptions restore beside files.
    Restorer& restorer() { return restorer_; }

  private:
    // A part written at its offset into the file its parts join in, on the window's thread, in
    // pack order; one that does not follow the part before it is refused, and so is that file.
    bool WritePart(EntryJob& held, PieceSource* in, platform::Reason* why);
    // Gives the file of the parts written so far its name.
    void CloseParts();

    const platform::Folder& target_;
    Existing existing_;
    Restorer restorer_;
    // The file each entry taken lands on, and the folders its path makes, each with the number
    // of the last entry taken for it.
    std::unordered_map<std::string, std::uint32_t> landing_;
    std::unordered_map<std::string, std::uint32_t> folders_;
    std::uint32_t finishedBelow_ = 0;  // every job numbered below this has finished
    // The file that parts are joined in, its path and the end of the bytes written so far; a
    // path kept under the policy or refused has no file, its later parts passed over.
    PathBelow partsAt_;
    std::unique_ptr<platform::AtomicFile> parts_;
    std::string partsPath_;
    std::uint64_t partsEnd_ = 0;
    bool partsKept_ = false;
    bool partsRefused_ = false;
    bool partsKeep_ = false;  // its file replaces nothing put at its name meanwhile
};
