// The job sources that read and write whole packs: records read from a pack file, and files
// loaded by name, their declarations and contracts (bodies in sources.cpp). Each feeds a window
// that holds only a bounded number of entries at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
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

    int Next(std::uint64_t, Offer* offer, platform::Failure* failure) override;
    bool Take(Job& job) override;
    // A record's failure: its place in the pack, from 1, and its entry's name (none once a
    // failed read has reset the entry; the name kept once the entry is gone).
    void Name(const Job& job, platform::Failure* failure) const override;

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
    bool Put(Job& job);
    // Writes the job's record, its head in its entry, with its data read from `data`.
    bool Put(Job& job, PieceSource& data);
    // Records go to a file, so that they can be written a piece at a time.
    bool writes() const { return writer_ != nullptr; }

  private:
    PackWriter* writer_ = nullptr;
    Pack* pack_ = nullptr;
};

// Records copied as they are, never decoded; large ones a piece at a time, read where they lie.
class CopySource : public RecordSource {
  public:
    CopySource(PackReader* reader, PackWriter* writer)
        : RecordSource(reader, true), sink_(writer) {}
    bool Work(Job&) override { return true; }
    bool Finish(Job& job) override;

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
std::FILE* OpenChecked(const FolderFile& file, platform::Reason* why);

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
               std::vector<std::string>* kept = nullptr, std::uint32_t first = 0);

    int Next(std::uint64_t room, Offer* offer, platform::Failure*) override;
    bool Take(Job& job) override;
    bool Work(Job& job) override;
    // A file's failure: the file, by the path it is read from.
    void Name(const Job& job, platform::Failure* failure) const override;
    bool Finish(Job& job) override;

  private:
    const FolderFile& FileOf(const Job& job) const { return files_[job.number - first_]; }
    bool InPieces(std::uint32_t i) const {
        return sink_.writes() && files_[i].size > kWholeFileMost;
    }
    // The memory a file takes at its peak while it is loaded and compressed: its bytes, and a
    // work block a tenth larger (and a little more for libdeflate) cut to the stream in place;
    // moved in pieces, a piece of each form, the deflater and the spill's memory.
    std::uint64_t Cost(std::uint32_t i) const;
    bool Loaded(Job& job, std::FILE* in);
    // An entry of bytes already read (an empty file's one byte, a file read when described).
    bool FromBytes(Job& job, const unsigned char* bytes, std::size_t size);
    // The file's stream made into a spill that waits for its turn.
    bool Spilled(Job& job, std::FILE* in);
    bool Unspill(Job& job);
    // A plain file copied into the pack in its turn, as it is read.
    bool Copy(Job& job);

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
std::uint64_t BudgetFor(const std::vector<FolderFile>& files);
