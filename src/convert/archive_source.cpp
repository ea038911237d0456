// The job source that moves the planned items of an archive into a pack, or into a held run.
#include "convert/archive_source.h"

#include <cstring>
#include <new>

using platform::Fail;
using platform::Reason;

namespace {

// The bytes of another source, their CRC-32 made as they pass.
class CrcPieces final : public PieceSource {
  public:
    explicit CrcPieces(PieceSource* in) : in_(*in) {}
    std::size_t Read(unsigned char* bytes, std::size_t length, Reason* why) override {
        const std::size_t got = in_.Read(bytes, length, why);
        crc_ = descriptions::Crc32(crc_, bytes, got);
        return got;
    }
    std::uint32_t crc() const { return crc_; }

  private:
    PieceSource& in_;
    std::uint32_t crc_ = 0;
};

// Every byte of `in` to `out`.
bool Pour(PieceSource& in, PieceSink& out, Reason* why) {
    unsigned char piece[kStoredPiece];
    Reason failure = 0;
    for (std::size_t got; (got = in.Read(piece, sizeof piece, &failure)) != 0;) {
        if (!out.Write(piece, got, why)) return false;
    }
    return failure == 0 || Fail(why, failure);
}

}  // namespace

void ArchiveSource::Start(std::size_t first, std::size_t end, HeldRun* held) {
    at_ = first;
    end_ = end;
    held_ = held;
    first_ = taken_;
    planned_.clear();
}

bool ArchiveSource::Reach(const Planned& planned, platform::Failure* failure) {
    while (heads_ <= planned.source) {
        ArchiveItem item;
        const int got = reader_.Next(&item);
        if (got <= 0) {
            words_ = reader_.error();
            // An archive that ends before the first pass's last item has changed since.
            return Fail(failure,
                        got < 0 ? platform::kErrorDamagedRecord : platform::kErrorFileChanged, "",
                        reader_.items());
        }
        if (++heads_ == planned.source + 1 && item.sized && item.size != planned.whole) {
            return Fail(failure, platform::kErrorFileChanged, planned.item.path, reader_.items());
        }
    }
    return true;
}

int ArchiveSource::Next(std::uint64_t, Offer* offer, platform::Failure* failure) {
    while (at_ < end_ && !descriptions::HasEntry(plan_.items[at_].item.kind)) ++at_;
    if (at_ == end_) return 0;
    const Planned& planned = plan_.items[at_];
    if (!Reach(planned, failure)) return -1;
    offer->number = taken_ - first_;  // from 0 in each run
    offer->alone = planned.read > kWholeFileMost;
    offer->cost = offer->alone        ? kPiecesCost + kSpillMemory
                  : options_.compress ? 2 * planned.read + planned.read / 8 + 4096
                                      : planned.read;
    offer->budget = kWindowBytes + 3 * plan_.largest;
    return 1;
}

bool ArchiveSource::Hold(Job& job) {
    return platform::WithMemory(&job.why, [&] { planned_.push_back(at_); }) && ::Hold(job);
}

bool ArchiveSource::Take(Job& job) {
    ++taken_;
    const Planned& planned = plan_.items[at_];
    if (!Hold(job)) return false;
    ++at_;
    EntryJob& held = Held(job);
    PackEntry& entry = *held.entry;
    const std::string& stored = planned.item.stored;
    std::memcpy(entry.name, stored.c_str(), stored.size() + 1);  // fits: planned
    std::memcpy(held.name, entry.name, sizeof entry.name);
    held.record = reader_.items();
    held.size = entry.size = planned.item.size;
    job.bytes = planned.read;
    if (planned.read > kWholeFileMost) return held.done = MoveNow(job);
    entry.data = GlobalAlloc(GHND, entry.size);
    entry.view = static_cast<unsigned char*>(GlobalLock(entry.data));
    if (entry.view == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
    if (planned.item.kind == descriptions::Kind::kEmpty) entry.view[0] = kEmptyByte;
    std::size_t read = 0;
    for (std::size_t n;
         read < planned.read &&
         (n = reader_.Read(entry.view + read, planned.read - read, &job.why)) != 0;) {
        read += n;
    }
    GlobalUnlock(entry.data);
    entry.view = nullptr;
    return read == planned.read || Fail(&job.why, platform::kErrorDamagedRecord);
}

bool ArchiveSource::Work(Job& job) {
    EntryJob& held = Held(job);
    if (held.done) return true;
    PackEntry& entry = *held.entry;
    if (held_ != nullptr) {
        const unsigned char* bytes = entry.Lock();
        if (bytes == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
        held.crc = descriptions::Crc32(0, bytes, entry.size);
        GlobalUnlock(entry.data);
        entry.view = nullptr;
    }
    if (!options_.compress) return true;
    if (!entry.Compress(options_.engine, &job.why)) return false;
    job.cost = entry.DataLength();
    return true;
}

// A large item's stored bytes made as it is read: straight into the held run when every job
// before it is finished, else into a spill that waits for its turn.
bool ArchiveSource::MoveNow(Job& job) {
    EntryJob& held = Held(job);
    PackEntry& entry = *held.entry;
    const bool straight = held_ != nullptr && finished_ + 1 == taken_;
    if (!straight) {
        held.spill.reset(new (std::nothrow) Spill);
        if (held.spill == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
    }
    const bool compress = options_.compress;
    CrcPieces in(&reader_);
    if (!StorePieces(entry.size, compress, in, straight ? held_->bytes : *held.spill,
                     &entry.storedSize, &job.why, options_.engine)) {
        return false;
    }
    held.crc = in.crc();
    entry.compressed = compress ? 1 : 0;
    return true;
}

bool ArchiveSource::Finish(Job& job) {
    EntryJob& held = Held(job);
    Planned& planned = plan_.items[planned_[job.number]];
    ++finished_;
    bool put = true;
    if (held_ != nullptr) {
        PackEntry& entry = *held.entry;
        planned.item.crc = held.crc;
        if (held.spill != nullptr) {
            put = held.spill->Rewind(&job.why) && Pour(*held.spill, held_->bytes, &job.why);
        } else if (!held.done) {
            const unsigned char* bytes = entry.Lock();
            put = bytes != nullptr ? held_->bytes.Write(bytes, entry.DataLength(), &job.why)
                                   : Fail(&job.why, platform::kErrorNoMemory);
        }
        try {
            HeldRun::Head& head = held_->heads.emplace_back();
            std::memcpy(head.name, entry.name, sizeof head.name);
            head.size = entry.size;
            head.storedSize = entry.storedSize;
            head.compressed = entry.compressed;
        } catch (const std::bad_alloc&) {
            put = Fail(&job.why, platform::kErrorNoMemory);
        }
        held.owned.reset();
        held.entry = nullptr;
    } else if (held.spill != nullptr) {
        put = held.spill->Rewind(&job.why) && sink_.Put(job, *held.spill);
    } else {
        put = sink_.Put(job);
    }
    held.spill.reset();
    if (!put) return false;
    const descriptions::Item& item = planned.item;
    if (options_.done && item.offset + planned.read >= planned.whole)
        options_.done(item.path.c_str());
    return true;
}

void ArchiveSource::Name(const Job& job, platform::Failure* failure) const {
    if (job.state == nullptr) return;
    failure->entry = Held(job).record;
    const std::size_t index = job.number;
    failure->item = index < planned_.size() ? plan_.items[planned_[index]].item.path
                                            : std::string(Held(job).name);
}
