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
    // Writes the job's record, its head in its entry, with its data read from `data`.
    bool Put(Job& job, PieceSource& data) {
        return writer_->Write(*Held(job).entry, data, &job.why) ||
               (writer_->ok() ? false : platform::Fail(&job.why, writer_->reason()));
    }
    // Records go to a file, so that they can be written a piece at a time.
    bool writes() const { return writer_ != nullptr; }

  private:
    PackWriter* writer_ = nullptr;
    Pack* pack_ = nullptr;
    PackEntry* tail_ = nullptr;
};

// Records copied as they are, never decoded; large ones a piece at a time, read where they lie.
class CopySource : public RecordSource {
  public:
    CopySource(PackReader* reader, PackWriter* writer)
        : RecordSource(reader, true), sink_(writer) {}
    bool Work(Job&) override { return true; }
    bool Finish(Job& job) override {
        EntryJob& held = Held(job);
        if (held.done) return true;
        if (!InPieces(*held.entry)) return sink_.Put(job);
        RecordAt data = DataOf(job);
        return sink_.Put(job, data);
    }

  protected:
    std::uint64_t CostOf(const PackEntry& head) const override { return head.DataLength(); }
    bool MoveNow(Job& job) override { return sink_.Put(job, reader_); }

  private:
    EntrySink sink_;
};

// Told the name of each entry as it is done.
using EntryDone = std::function<void(const char* name)>;

// Files larger than this that go to a pack file are packed in pieces: compressed on a worker into
// a Spill, or copied as they are from the file into the pack in their turn.
inline constexpr std::uint64_t kWholeFileMost = std::uint64_t{4} << 20;

// Opens a file to pack, once, at its first byte (a part's): false when it cannot be, or is no
// longer the file its check saw (another file, or another length: kErrorFileChanged).
inline std::FILE* OpenChecked(const FolderFile& file, platform::Reason* why) {
    std::uint64_t length = 0;
    platform::FileIdentity identity;
    std::FILE* in = platform::OpenRegularFile(file.Path(), &length, why, &identity);
    if (in == nullptr) return nullptr;
    if (length != (file.whole != 0 ? file.whole : file.size) ||
        (file.identity.known && !(identity == file.identity))) {
        std::fclose(in);
        platform::Fail(why, platform::kErrorFileChanged);
        return nullptr;
    }
    if (file.offset != 0 && !platform::SkipBytes(in, file.offset, why)) {
        std::fclose(in);
        return nullptr;
    }
    return in;
}

// Files of the current folder loaded by name into entries, compressed by `engine` when asked,
// and given to the sink in their order; when compressing, the costliest go ahead of their turn.
// Each file is opened once, when it is read. Into a pack file, those over kWholeFileMost are
// moved in pieces (the fast compressor's then by zlib at its fastest level: StorePieces).
class FileSource final : public JobSource {
  public:
    // kept, when given, holds for each file the bytes already read of it, or nothing; they are
    // let go once packed. files[i] is job first + i.
    FileSource(const std::vector<FolderFile>& files, bool compress, Compressor engine,
               std::uint64_t budget, EntrySink sink, EntryDone done = {},
               std::vector<std::string>* kept = nullptr, std::uint32_t first = 0)
        : files_(files),
          kept_(kept),
          first_(first),
          compress_(compress),
          engine_(engine),
          sink_(sink),
          done_(std::move(done)),
          // Loading alone is even work: none goes ahead. A stream of incompressible bytes is a
          // little longer than they are; one made in pieces holds at most its spill's memory.
          order_(
              static_cast<std::uint32_t>(files.size()), [this](std::uint32_t i) { return Cost(i); },
              [this, &files](std::uint32_t i) {
                  return InPieces(i) ? kPiecesCost + kSpillMemory
                                     : files[i].size + files[i].size / 256 + 4096;
              },
              compress ? budget : 0, [&files](std::uint32_t i) { return files[i].size; }) {}

    int Next(std::uint64_t room, Offer* offer, platform::Failure*) override {
        const std::uint32_t i = order_.Next(room);
        offer->number = first_ + i;
        offer->cost = i < files_.size() ? Cost(i) : 0;
        return i < files_.size();
    }
    bool Take(Job& job) override {
        const std::uint32_t i = job.number - first_;
        order_.Take(i);
        if (!Hold(job)) return false;
        const FolderFile& file = files_[i];
        const std::string& stored = file.stored.empty() ? file.name : file.stored;
        std::memcpy(Held(job).entry->name, stored.c_str(), stored.size());  // fits: listed so
        job.bytes = file.size;
        return true;
    }
    bool Work(Job& job) override {
        const std::uint32_t i = job.number - first_;
        if (files_[i].kind == descriptions::Kind::kEmpty) return FromBytes(job, &kEmptyByte, 1);
        if (kept_ != nullptr && !(*kept_)[i].empty()) {
            std::string bytes = std::move((*kept_)[i]);  // let go once packed
            return FromBytes(job, reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size());
        }
        if (InPieces(i) && !compress_) return true;  // copied in its turn
        std::FILE* in = OpenChecked(files_[i], &job.why);
        if (in == nullptr) return false;
        const bool worked = InPieces(i) ? Spilled(job, in) : Loaded(job, in);
        std::fclose(in);
        return worked;
    }
    // A file's failure: the file, by the path it is read from.
    void Name(const Job& job, platform::Failure* failure) const override {
        failure->item = FileOf(job).Path();
    }
    bool Finish(Job& job) override {
        const std::uint32_t i = job.number - first_;
        const bool put = !InPieces(i) ? sink_.Put(job) : compress_ ? Unspill(job) : Copy(job);
        if (!put) return false;
        const FolderFile& file = files_[i];
        if (done_ && file.offset + file.size >= file.whole) done_(file.name.c_str());  // once
        return true;
    }

  private:
    const FolderFile& FileOf(const Job& job) const { return files_[job.number - first_]; }
    bool InPieces(std::uint32_t i) const {
        return sink_.writes() && files_[i].size > kWholeFileMost;
    }
    // The memory a file takes at its peak while it is loaded and compressed: its bytes, and a
    // work block a tenth larger (and a little more for libdeflate) cut to the stream in place;
    // moved in pieces, a piece of each form, the deflater and the spill's memory.
    std::uint64_t Cost(std::uint32_t i) const {
        const std::uint64_t size = files_[i].size;
        if (InPieces(i)) return compress_ ? kPiecesCost + kSpillMemory : kPlainPiece;
        return compress_ ? 2 * size + size / 8 + 4096 : size;
    }
    bool Loaded(Job& job, std::FILE* in) {
        PackEntry& entry = *Held(job).entry;
        const FolderFile& file = FileOf(job);
        const std::string& stored = file.stored.empty() ? file.name : file.stored;
        if (!entry.LoadFromOpenFile(in, file.size, stored.c_str(), &job.why)) return false;
        if (compress_ && !entry.Compress(engine_, &job.why)) return false;
        job.cost = entry.DataLength();  // what it holds until its turn
        return true;
    }
    // An entry of bytes already read (an empty file's one byte, a file read when described).
    bool FromBytes(Job& job, const unsigned char* bytes, std::size_t size) {
        PackEntry& entry = *Held(job).entry;
        entry.data = GlobalAlloc(GHND, size);
        if (entry.data == nullptr || entry.Lock() == nullptr) {
            return platform::Fail(&job.why, platform::kErrorNoMemory);
        }
        std::memcpy(entry.view, bytes, size);
        entry.size = static_cast<std::uint32_t>(size);
        GlobalUnlock(entry.data);
        entry.view = nullptr;
        if (compress_ && !entry.Compress(engine_, &job.why)) return false;
        job.cost = entry.DataLength();
        return true;
    }
    // The file's stream made into a spill that waits for its turn.
    bool Spilled(Job& job, std::FILE* in) {
        EntryJob& held = Held(job);
        held.spill.reset(new (std::nothrow) Spill);
        if (held.spill == nullptr) return platform::Fail(&job.why, platform::kErrorNoMemory);
        FilePieces plain(in);
        const auto size = static_cast<std::uint32_t>(FileOf(job).size);  // checked: fits
        if (!StorePieces(size, true, plain, *held.spill, &held.entry->storedSize, &job.why,
                         engine_)) {
            return false;
        }
        held.entry->size = size;
        held.entry->compressed = 1;
        job.cost = held.spill->capacity();
        return true;
    }
    bool Unspill(Job& job) {
        EntryJob& held = Held(job);
        const bool put = held.spill->Rewind(&job.why) && sink_.Put(job, *held.spill);
        held.spill.reset();
        return put;
    }
    // A plain file copied into the pack in its turn, as it is read.
    bool Copy(Job& job) {
        std::FILE* in = OpenChecked(FileOf(job), &job.why);
        if (in == nullptr) return false;
        const FolderFile& file = FileOf(job);
        Held(job).entry->size = static_cast<std::uint32_t>(file.size);
        FilePieces plain(in, file.whole != 0 ? file.size : UINT64_MAX);
        const bool put = sink_.Put(job, plain);
        std::fclose(in);
        return put;
    }

    const std::vector<FolderFile>& files_;
    std::vector<std::string>* kept_;
    std::uint32_t first_;
    bool compress_;
    Compressor engine_;
    EntrySink sink_;
    EntryDone done_;
    AheadOrder order_;
};

// The budget of a run over these files into a pack file: what three of the largest loaded whole
// take, and the window's bytes.
inline std::uint64_t BudgetFor(const std::vector<FolderFile>& files) {
    std::uint64_t largest = 0;
    for (const FolderFile& file : files) {
        if (file.size <= kWholeFileMost) largest = std::max(largest, file.size);
    }
    return kWindowBytes + 3 * largest;
}
