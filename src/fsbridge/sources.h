// The job sources that read and write whole packs: records read from a pack file, and files
// loaded by name. Each feeds a window that holds only a bounded number of entries at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "fsbridge/entry_job.h"
#include "fsbridge/folder.h"
#include "pack/ahead_order.h"
#include "pack/records.h"

// What the entries in flight may take together beside three times the largest entry, so that
// smaller ones go on while the largest is worked on.
inline constexpr std::uint64_t kWindowBytes = std::uint64_t{40} << 20;
// The most a source that moves large records in pieces lets the entries in flight take.
inline constexpr std::uint64_t kPiecesBudget = std::uint64_t{64} << 20;

// The records of a pack file in their order, each read into an entry the job holds; a job's
// item is the record's place in the pack, from 0. The budget asked for grows with the largest
// entry met so far. Work and Finish are the subclass's.
//
// A source made to move records in pieces takes those whose whole cost is above kWholeCostMost
// into no block: the job holds the head alone, and the data is read where it lies in the file
// (at its `at`, through DataOf) on a worker. On a stream that cannot be read so (a pipe) it is
// moved when taken, by MoveNow, with nothing else in flight; should that fail, the rest of its
// data is read first, as a whole record's would have been, so that input ending early is the
// record's damage whatever else went wrong. Its budget stays within kPiecesBudget.
class RecordSource : public JobSource {
  public:
    explicit RecordSource(PackReader* reader, bool pieces = false)
        : reader_(*reader), pieces_(pieces) {}

    int Next(std::uint64_t, Offer* offer, platform::Failure* failure) override {
        offer->number = taken_;
        platform::Reason why = 0;
        while (!peeked_) {
            if (!reader_.NextHead(&head_, &why)) {
                if (!reader_.damaged()) return 0;
                platform::Fail(failure, why, "", reader_.read() + 1);  // the record not read
                return -1;
            }
            peeked_ = Keep(head_);
            if (!peeked_ && !reader_.SkipData(head_, &why)) {
                platform::Fail(failure, why, "", reader_.read());
                return -1;
            }
        }
        const bool pieces = InPieces(head_);
        if (pieces && file_ == nullptr) file_ = reader_.DataFile();  // set once: workers read it
        if (!pieces) budget_ = std::max(budget_, kWindowBytes + 3 * std::uint64_t{head_.size});
        if (pieces_) budget_ = std::min(budget_, kPiecesBudget);
        offer->cost = pieces ? kPiecesCost : CostOf(head_);
        offer->alone = pieces && file_ == nullptr;
        offer->budget = budget_;
        return 1;
    }
    bool Take(Job& job) override {
        peeked_ = false;
        ++taken_;
        if (!Hold(job)) return false;
        EntryJob& held = Held(job);
        PackEntry& entry = *held.entry;
        std::memcpy(entry.name, head_.name, sizeof head_.name);
        std::memcpy(held.name, head_.name, sizeof head_.name);
        held.size = entry.size = head_.size;
        entry.storedSize = head_.storedSize;
        entry.compressed = head_.compressed;
        held.record = reader_.read() - 1;
        job.bytes = pack_format::kRecordHeadSize + std::uint64_t{head_.DataLength()};
        if (!InPieces(head_)) return reader_.ReadData(&entry, &job.why) && Taken(job);
        if (file_ != nullptr) {
            held.at = reader_.DataOffset();
            return reader_.SkipData(head_, &job.why) && Taken(job);
        }
        if (Taken(job) && MoveNow(job)) return held.done = true;
        if (!reader_.SkipRest(&job.why)) entry.Reset();
        return false;
    }
    // A record's failure: its place in the pack, from 1, and its entry's name (none once a
    // failed read has reset the entry; the name kept once the entry is gone).
    void Name(const Job& job, platform::Failure* failure) const override {
        if (job.state == nullptr) return;  // no memory even for the job's state
        const EntryJob& held = Held(job);
        failure->entry = held.record + 1;
        failure->item = held.entry != nullptr ? held.entry->name : held.name;
    }

  protected:
    // Whether the record whose head was read is taken; those turned away are skipped.
    virtual bool Keep(const PackEntry&) { return true; }
    // What the record may hold at its peak: its data, and the plain bytes made of it.
    virtual std::uint64_t CostOf(const PackEntry& head) const { return WholeCost(head); }
    // Whether the record of this head is moved in pieces.
    bool InPieces(const PackEntry& head) const {
        return pieces_ && WholeCost(head) > kWholeCostMost;
    }
    // The subclass's part of Take, once the record's data is read (or, moved in pieces, before).
    virtual bool Taken(Job&) { return true; }
    // Moves a record in pieces from the reader itself, at its Take: its Work is then done.
    virtual bool MoveNow(Job&) { return true; }
    // The data of a job's record moved in pieces, read where it lies: on any thread.
    RecordAt DataOf(const Job& job) const {
        return RecordAt(*file_, Held(job).at, Held(job).entry->DataLength());
    }

    PackReader& reader_;

  private:
    bool pieces_;
    PackEntry head_;
    std::uint32_t taken_ = 0;
    bool peeked_ = false;  // head_ holds the next record's, not yet taken
    std::uint64_t budget_ = kWindowBytes;
    const platform::FileAt* file_ = nullptr;  // where records moved in pieces are read
};

// Gives a worked entry to a pack writer, or to the end of an in-memory pack's chain.
class EntrySink {
  public:
    explicit EntrySink(PackWriter* writer) : writer_(writer) {}
    explicit EntrySink(Pack* pack) : pack_(pack) {}
    bool Put(Job& job) {
        EntryJob& held = Held(job);
        held.entry = nullptr;
        if (writer_ != nullptr) {
            return writer_->Write(std::move(held.owned)) ||
                   platform::Fail(&job.why, writer_->reason());
        }
        PackEntry* entry = held.owned.release();
        (tail_ == nullptr ? pack_->head : tail_->next) = entry;
        tail_ = entry;
        ++pack_->count;
        return true;
    }

  private:
    PackWriter* writer_ = nullptr;
    Pack* pack_ = nullptr;
    PackEntry* tail_ = nullptr;
};

// Records copied as they are, never decoded.
class CopySource : public RecordSource {
  public:
    CopySource(PackReader* reader, PackWriter* writer) : RecordSource(reader), sink_(writer) {}
    bool Work(Job&) override { return true; }
    bool Finish(Job& job) override { return sink_.Put(job); }

  protected:
    std::uint64_t CostOf(const PackEntry& head) const override { return head.DataLength(); }

  private:
    EntrySink sink_;
};

// Told the name of each entry as it is done.
using EntryDone = std::function<void(const char* name)>;

// Files of the current folder loaded by name into entries, compressed by `engine` when asked,
// and given to the sink in their order; when compressing, the costliest go ahead of their turn.
class FileSource final : public JobSource {
  public:
    FileSource(const std::vector<FolderFile>& files, bool compress, Compressor engine,
               std::uint64_t budget, EntrySink sink, EntryDone done = {})
        : files_(files),
          compress_(compress),
          engine_(engine),
          sink_(sink),
          done_(std::move(done)),
          // Loading alone is even work: none goes ahead. A stream of incompressible bytes is a
          // little longer than they are.
          order_(
              static_cast<std::uint32_t>(files.size()), [this](std::uint32_t i) { return Cost(i); },
              [&files](std::uint32_t i) { return files[i].size + files[i].size / 256 + 4096; },
              compress ? budget : 0) {}

    int Next(std::uint64_t room, Offer* offer, platform::Failure*) override {
        offer->number = order_.Next(room);
        offer->cost = offer->number < files_.size() ? Cost(offer->number) : 0;
        return offer->number < files_.size();
    }
    bool Take(Job& job) override {
        order_.Take(job.number);
        if (!Hold(job)) return false;
        const FolderFile& file = files_[job.number];
        job.bytes = file.size;
        return true;
    }
    bool Work(Job& job) override {
        PackEntry& entry = *Held(job).entry;
        const FolderFile& file = files_[job.number];
        if (!entry.LoadFromFile(file.Path(), file.name.c_str(), &job.why)) return false;
        if (compress_ && !entry.Compress(engine_, &job.why)) return false;
        job.cost = entry.DataLength();  // what it holds until its turn
        return true;
    }
    // A file's failure: the file, by the path it is read from.
    void Name(const Job& job, platform::Failure* failure) const override {
        failure->item = files_[job.number].Path();
    }
    bool Finish(Job& job) override {
        if (!sink_.Put(job)) return false;
        if (done_) done_(files_[job.number].name.c_str());
        return true;
    }

  private:
    // The memory a file takes at its peak while it is loaded and compressed: its bytes, and a
    // work block a tenth larger (and a little more for libdeflate) cut to the stream in place.
    std::uint64_t Cost(std::uint32_t i) const {
        const std::uint64_t size = files_[i].size;
        return compress_ ? 2 * size + size / 8 + 4096 : size;
    }

    const std::vector<FolderFile>& files_;
    bool compress_;
    Compressor engine_;
    EntrySink sink_;
    EntryDone done_;
    AheadOrder order_;
};

// The budget of a run over these files: what three of the largest take, and the window's bytes.
inline std::uint64_t BudgetFor(const std::vector<FolderFile>& files) {
    std::uint64_t largest = 0;
    for (const FolderFile& file : files) largest = std::max(largest, file.size);
    return kWindowBytes + 3 * largest;
}
