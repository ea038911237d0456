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

#include "fsbridge/folder.h"
#include "pack/records.h"
#include "pack/window.h"

// What the entries in flight may take together beside three times the largest entry, so that
// smaller ones go on while the largest is worked on.
inline constexpr std::uint64_t kWindowBytes = std::uint64_t{40} << 20;

// The records of a pack file in their order, each read into an entry the job holds; a job's
// item is the record's place in the pack, from 0. The budget asked for grows with the largest
// entry met so far. Work and Finish are the subclass's.
class RecordSource : public JobSource {
  public:
    explicit RecordSource(PackReader* reader) : reader_(*reader) {}

    int Next(std::uint64_t, Offer* offer, platform::Reason* why) override {
        offer->number = taken_;
        while (!peeked_) {
            if (!reader_.NextHead(&head_, why)) {
                offer->item = reader_.read();  // the record that could not be read
                return reader_.damaged() ? -1 : 0;
            }
            peeked_ = Keep(head_);
            if (!peeked_ && !reader_.SkipData(head_, why)) {
                offer->item = reader_.read() - 1;
                return -1;
            }
        }
        budget_ = std::max(budget_, kWindowBytes + 3 * std::uint64_t{head_.size});
        offer->item = reader_.read() - 1;
        offer->cost = CostOf(head_);
        offer->budget = budget_;
        return 1;
    }
    bool Take(Job& job) override {
        peeked_ = false;
        ++taken_;
        job.owned.reset(new (std::nothrow) PackEntry);
        if (job.owned == nullptr) return platform::Fail(&job.why, platform::kErrorNoMemory);
        job.entry = job.owned.get();
        std::memcpy(job.entry->name, head_.name, sizeof head_.name);
        job.entry->size = head_.size;
        job.entry->storedSize = head_.storedSize;
        job.entry->compressed = head_.compressed;
        job.bytes = pack_format::kRecordHeadSize + std::uint64_t{head_.DataLength()};
        return reader_.ReadData(job.entry, &job.why);
    }

  protected:
    // Whether the record whose head was read is taken; those turned away are skipped.
    virtual bool Keep(const PackEntry&) { return true; }
    // What the record may hold at its peak: its data, and the plain bytes made of it.
    virtual std::uint64_t CostOf(const PackEntry& head) const {
        return std::uint64_t{head.DataLength()} + (head.compressed != 0 ? head.size : 0);
    }

    PackReader& reader_;

  private:
    PackEntry head_;
    std::uint32_t taken_ = 0;
    bool peeked_ = false;  // head_ holds the next record's, not yet taken
    std::uint64_t budget_ = kWindowBytes;
};

// Gives a worked entry to a pack writer, or to the end of an in-memory pack's chain.
class EntrySink {
  public:
    explicit EntrySink(PackWriter* writer) : writer_(writer) {}
    explicit EntrySink(Pack* pack) : pack_(pack) {}
    bool Put(Job& job) {
        job.entry = nullptr;
        if (writer_ != nullptr) {
            return writer_->Write(std::move(job.owned)) ||
                   platform::Fail(&job.why, writer_->reason());
        }
        PackEntry* entry = job.owned.release();
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

    int Next(std::uint64_t room, Offer* offer, platform::Reason*) override {
        offer->item = offer->number = order_.Next(room);
        offer->cost = offer->number < files_.size() ? Cost(offer->number) : 0;
        return offer->number < files_.size();
    }
    bool Take(Job& job) override {
        order_.Take(job.number);
        job.owned.reset(new (std::nothrow) PackEntry);
        if (job.owned == nullptr) return platform::Fail(&job.why, platform::kErrorNoMemory);
        job.entry = job.owned.get();
        const FolderFile& file = files_[job.number];
        std::memcpy(job.entry->name, file.name.c_str(), file.name.size());  // it fits: listed so
        job.bytes = file.size;
        return true;
    }
    bool Work(Job& job) override {
        char name[PackEntry::kNameSize];
        std::memcpy(name, job.entry->name, sizeof name);
        if (!job.entry->LoadFromFile(files_[job.number].Path(), name, &job.why)) {
            std::memcpy(job.entry->name, name, sizeof name);  // the failure names its file
            return false;
        }
        if (compress_) job.entry->Compress(engine_, &job.why);
        job.cost = job.entry->DataLength();  // what it holds until its turn
        return !compress_ || job.entry->compressed != 0;
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
