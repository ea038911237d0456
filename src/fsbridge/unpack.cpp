// The unpacker's steps: the rules every unpack follows, as a window's job.
#include "fsbridge/unpack.h"

#include <cstring>
#include <new>

#include "fsbridge/described.h"
#include "pack/pack.h"
#include "platform/atomic_file.h"

using platform::Fail;
using platform::Reason;

namespace {

// ASCII letters in upper case, every other byte above 0x7F taken as one.
char KeyByte(char c) {
    return static_cast<unsigned char>(c) > 0x7F ? static_cast<char>(0x80) : platform::AsciiUpper(c);
}

// The file an entry lands on, as a key that two names share whenever they may name one file on
// any system: split on either separator, empty and "." parts dropped, trailing dots and spaces
// dropped (as Windows does), letter case not told apart. False for a name with a ".." part,
// which would climb out of the folder.
bool TargetKey(const char* name, std::string* key) {
    const char* part = name;
    for (const char* at = name;; ++at) {
        if (*at != '/' && *at != '\\' && *at != '\0') continue;
        if (at - part == 2 && part[0] == '.' && part[1] == '.') return false;
        const char* end = at;
        while (end != part && (end[-1] == '.' || end[-1] == ' ')) --end;
        if (end != part && !key->empty()) *key += '/';
        for (const char* c = part; c != end; ++c) *key += KeyByte(*c);
        if (*at == '\0') return true;
        part = at + 1;
    }
}

// Plain bytes written to a file as they come.
class FileSink final : public PieceSink {
  public:
    explicit FileSink(std::FILE* file) : file_(file) {}
    bool Write(const unsigned char* bytes, std::size_t length, Reason* why) override {
        const platform::WritePiece piece{bytes, length};
        return platform::WritePieces(file_, &piece, 1, why);
    }

  private:
    std::FILE* file_;
};

// Commits a file; with keep, one put at its name since it was looked at stays, and the job is
// marked kept.
bool Committed(platform::AtomicFile& out, EntryJob& held, bool keep, Reason* why) {
    Reason failed = 0;
    if (out.Commit(&failed)) return true;
    if (keep && platform::IsAlreadyThere(failed)) return held.kept = true;
    return Fail(why, failed);
}

// The entry's plain bytes, decoded from `in` piece by piece (or from its block), as the file
// `name` in folder: it appears whole or not at all, as ExtractToFile writes it, and not at all
// when the job is marked with a CRC-32 its bytes do not have. A described file takes its mode and
// time before its name; an empty one's byte is not written. With keep, nothing at the name is
// replaced (Committed).
bool ExtractDescribed(EntryJob& held, PieceSource* in, const platform::Folder& folder,
                      const char* name, bool keep, Reason* why) {
    if (in == nullptr && !(held.entry->Decompress(why) && CheckWhole(held, why))) return false;
    platform::AtomicFile out(folder, name, false);
    if (out.stream() == nullptr) return Fail(why, out.reason());
    if (keep) out.KeepExisting();
    if (Described(held)) out.Describe(held.item.mode, held.item.mtimeNs);
    const bool empty = Described(held) && held.item.kind == descriptions::Kind::kEmpty;
    FileSink file(out.stream());
    if (in == nullptr) {
        const platform::WritePiece bytes{held.entry->Lock(), empty ? 0 : held.entry->size};
        return platform::WritePieces(out.stream(), &bytes, 1, why) &&
               Committed(out, held, keep, why);
    }
    CrcSink sink(empty ? nullptr : &file);
    return MovePieces(*held.entry, *in, &sink, why) &&
           (!held.checked || sink.Matches(held.crc, why)) && Committed(out, held, keep, why);
}

// The time a job's entry was last changed, in seconds since 1970, as its description gives it;
// false when the pack keeps none.
bool EntryTime(const EntryJob& held, std::int64_t* seconds) {
    if (!Described(held)) return false;  // the records hold a name, sizes and bytes alone
    const std::int64_t ns = held.item.mtimeNs;
    *seconds = ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0);
    return true;
}

// Whether the file `name` in folder, which is there, gives way to the entry under the policy:
// only a file older than the entry, and none when the entry has no time.
bool Replaces(Existing existing, const EntryJob& held, const platform::Folder& folder,
              const char* name) {
    std::int64_t entryTime = 0, fileTime = 0;
    return existing == Existing::kKeepNewer && EntryTime(held, &entryTime) &&
           folder.Holds(name, &fileTime) && fileTime < entryTime;
}

// Writes one entry below the target folder, at its path. Each folder of its path is opened
// (made when missing) without following a link and the file is made inside the last one, so no
// link below the target, nor one swapped in while this runs, can take a write elsewhere; an
// entry whose path meets a link fails, or, when described, is refused with its own reason as
// one too long for the system is (marked, the rest unpacked). Uses no current-folder state: entries
// may be written on any thread. Its data is its block (checked first against the CRC-32 the job is
// marked with), or `in` when given. An existing file gives way to the entry only as the policy
// says; one kept marks the job `kept`, and so does one put there after it was looked at, which a
// policy that keeps files never replaces.
bool UnpackEntry(EntryJob& held, const platform::Folder& target, PieceSource* in, Existing existing,
                 Reason* why) {
    PathBelow at;
    Reason refused = 0;
    try {
        if (!at.Open(target, held.path, true, &refused)) {
            if (at.metLink() && Described(held)) refused = platform::kErrorThroughLink;
            if (!Described(held) || (refused != platform::kErrorThroughLink &&
                                     refused != platform::kErrorPathTooLong)) {
                return Fail(why, refused);
            }
            held.refused = refused;
            return true;
        }
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    const char* name = at.name().c_str();
    const bool there = existing != Existing::kReplace && at.folder().Holds(name);
    if (there && !Replaces(existing, held, at.folder(), name)) return held.kept = true;
    const bool keep = existing != Existing::kReplace && !there;
    if (in != nullptr || Described(held) || keep) {
        return ExtractDescribed(held, in, at.folder(), name, keep, why);
    }
    return CheckWhole(held, why) && held.entry->ExtractToFile(at.folder(), name, why);
}

}  // namespace

bool Described(const EntryJob& held) {
    return held.checked;
}

namespace {

// Whether the job's entry is a part of a file joined from several.
bool IsPart(const EntryJob& held) {
    return held.checked && held.item.kind == descriptions::Kind::kPart;
}

}  // namespace

bool Unpacker::Take(Job& job) {
    EntryJob& held = Held(job);
    try {
        held.path = Described(held) ? held.item.path
                                    : std::string(held.entry->name,
                                                  strnlen(held.entry->name, PackEntry::kNameSize));
        std::string key;
        if (!TargetKey(held.path.c_str(), &key)) return Fail(&job.why, platform::kErrorClimbsOut);
        // Paths whose entries have all finished are of no more use: dropped now and then.
        for (auto* paths : {&landing_, &folders_}) {
            if (paths->size() > 4096) {
                std::erase_if(*paths,
                              [this](const auto& at) { return at.second < finishedBelow_; });
            }
        }
        const auto inFlight = [this](const auto& paths, const std::string& path) {
            const auto at = paths.find(path);
            return at != paths.end() && at->second >= finishedBelow_;
        };
        // An entry waits for those in flight that land on its file, that need its file's place
        // as a folder, or that land where it needs a folder.
        bool late = inFlight(landing_, key) || (!folders_.empty() && inFlight(folders_, key));
        for (std::size_t cut = key.find('/'); cut != std::string::npos;
             cut = key.find('/', cut + 1)) {
            std::string folder = key.substr(0, cut);
            late = late || inFlight(landing_, folder);
            folders_[std::move(folder)] = job.number;
        }
        landing_[std::move(key)] = job.number;
        held.late = late || IsPart(held);  // parts are joined in pack order
    } catch (const std::bad_alloc&) {
        return Fail(&job.why, platform::kErrorNoMemory);
    }
    return true;
}

bool Unpacker::Work(Job& job, PieceSource* in) {
    EntryJob& held = Held(job);
    if (!held.late) return UnpackEntry(held, target_, in, existing_, &job.why);
    if (in != nullptr) return true;  // read as it finishes
    return held.entry->Decompress(&job.why);
}

bool Unpacker::Finish(Job& job, PieceSource* in) {
    finishedBelow_ = job.number + 1;
    EntryJob& held = Held(job);
    const bool part = IsPart(held);
    if (!part && !held.description) CloseParts();
    if (held.late && !(part ? WritePart(held, in, &job.why)
                            : UnpackEntry(held, target_, in, existing_, &job.why))) {
        return false;
    }
    if (held.description) return true;
    if (held.kept) return !Described(held) || restorer_.Written(held.path, &job.why);
    if (held.refused == 0) {
        return part || !Described(held) || restorer_.Written(held.path, &job.why);
    }
    restorer_.Refuse(held.path, held.refused);
    return true;
}

bool Unpacker::MoveNow(Job& job, PieceSource* in) {
    EntryJob& held = Held(job);
    if (!IsPart(held)) return Work(job, in);
    held.late = false;  // written now, not at its finish
    return WritePart(held, in, &job.why);
}

void Unpacker::End() {
    CloseParts();
    restorer_.End();
}

void Unpacker::CloseParts() {
    if (parts_ != nullptr) {
        Reason why = 0;
        if (!parts_->Commit(&why)) {
            if (partsKeep_ && platform::IsAlreadyThere(why)) {
                restorer_.Kept(partsPath_);
                if (!restorer_.Written(partsPath_, &why)) restorer_.Refuse(partsPath_, why);
            } else {
                restorer_.Refuse(partsPath_, why);
            }
        } else if (!restorer_.Written(partsPath_, &why)) {
            restorer_.Refuse(partsPath_, why);
        }
        parts_.reset();
    }
    partsPath_.clear();
    partsKept_ = partsRefused_ = partsKeep_ = false;
}

bool Unpacker::WritePart(EntryJob& held, PieceSource* in, Reason* why) {
    const descriptions::Item& item = held.item;
    if (item.offset != 0 && held.path == partsPath_ && (partsKept_ || partsRefused_)) {
        held.kept = partsKept_;
        held.description = partsRefused_;  // passed over silently: its file is told already
        return true;
    }
    if (item.offset == 0) {
        CloseParts();
        try {
            partsPath_ = held.path;
            if (!partsAt_.Open(target_, held.path, true, &held.refused)) {
                if (partsAt_.metLink()) held.refused = platform::kErrorThroughLink;
                if (held.refused != platform::kErrorThroughLink &&
                    held.refused != platform::kErrorPathTooLong) {
                    return Fail(why, held.refused);
                }
                return partsRefused_ = true;
            }
            const char* name = partsAt_.name().c_str();
            const bool there = existing_ != Existing::kReplace && partsAt_.folder().Holds(name);
            if (there && !Replaces(existing_, held, partsAt_.folder(), name)) {
                return partsKept_ = held.kept = true;
            }
            parts_ = std::make_unique<platform::AtomicFile>(partsAt_.folder(), name, false);
            partsKeep_ = existing_ != Existing::kReplace && !there;
            if (partsKeep_) parts_->KeepExisting();
        } catch (const std::bad_alloc&) {
            return Fail(why, platform::kErrorNoMemory);
        }
        if (parts_->stream() == nullptr) {
            const Reason failed = parts_->reason();
            parts_.reset();
            return Fail(why, failed);
        }
        parts_->Describe(item.mode, item.mtimeNs);
        partsEnd_ = 0;
    } else if (parts_ == nullptr || held.path != partsPath_ || item.offset != partsEnd_) {
        parts_.reset();  // abandoned: no file of parts that do not join
        held.refused = platform::kErrorPartMissing;
        partsRefused_ = true;
        return true;
    }
    FileSink file(parts_->stream());
    CrcSink sink(&file);
    if (!(in != nullptr
              ? MovePieces(*held.entry, *in, &sink, why) && sink.Matches(held.crc, why)
              : CheckWhole(held, why) && file.Write(held.entry->Lock(), held.entry->size, why))) {
        parts_.reset();
        partsPath_.clear();
        return false;
    }
    partsEnd_ += held.entry->size;
    return true;
}
