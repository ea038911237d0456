// The command line's job sources.
#include "fsbridge/sources.h"

#include <algorithm>
#include <cstring>
#include <new>

using platform::Fail;
using platform::Reason;

int RecordSource::Next(std::uint64_t, Offer* offer, Reason* why) {
    offer->number = taken_;
    if (!peeked_) {
        for (;;) {
            if (!reader_.NextHead(&head_, why)) {
                offer->item = reader_.read();  // the record that could not be read
                return reader_.damaged() ? -1 : 0;
            }
            if (Keep(head_)) break;
            if (!reader_.SkipData(head_, why)) {
                offer->item = reader_.read() - 1;
                return -1;
            }
        }
        peeked_ = true;
        budget_ = std::max(budget_, kWindowBytes + 3 * std::uint64_t{head_.size});
    }
    offer->item = reader_.read() - 1;
    offer->cost = CostOf(head_);
    offer->budget = budget_;
    return 1;
}

bool RecordSource::Take(Job& job) {
    peeked_ = false;
    ++taken_;
    job.owned.reset(new (std::nothrow) PackEntry);
    if (job.owned == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
    job.entry = job.owned.get();
    std::memcpy(job.entry->name, head_.name, sizeof job.entry->name);
    job.entry->size = head_.size;
    job.entry->storedSize = head_.storedSize;
    job.entry->compressed = head_.compressed;
    job.bytes = head_.size;
    return reader_.ReadData(job.entry, &job.why);
}

bool CopySource::Finish(Job& job) {
    job.entry = nullptr;
    return writer_.Write(std::move(job.owned)) || Fail(&job.why, writer_.reason());
}

namespace {

// The memory a file takes at its peak while it is loaded and compressed: its bytes, and a work
// block a tenth larger (and a little more for libdeflate) that is cut to the stream in place.
std::uint64_t CompressCost(std::uint64_t size) {
    return 2 * size + size / 8 + 4096;
}

}  // namespace

std::uint64_t BudgetFor(const std::vector<FolderFile>& files) {
    std::uint64_t largest = 0;
    for (const FolderFile& file : files) largest = std::max(largest, file.size);
    return kWindowBytes + 3 * largest;
}

FileSource::FileSource(const std::vector<FolderFile>& files, bool compress, Compressor engine,
                       std::uint64_t budget, PackWriter* writer)
    : files_(files),
      compress_(compress),
      engine_(engine),
      writer_(*writer),
      // Loading alone is even work: only compressing takes files ahead. A stream of
      // incompressible bytes is a little longer than they are.
      order_(
          static_cast<std::uint32_t>(files.size()),
          [this](std::uint32_t file) { return CostOf(file); },
          [&files](std::uint32_t file) {
              const std::uint64_t size = files[file].size;
              return size + size / 256 + 4096;
          },
          compress ? budget : 0) {}

std::uint64_t FileSource::CostOf(std::uint32_t file) const {
    const std::uint64_t size = files_[file].size;
    return compress_ ? CompressCost(size) : size;
}

int FileSource::Next(std::uint64_t room, Offer* offer, Reason*) {
    if (!order_.Next(
            room, [this](std::uint32_t file) { return CostOf(file); }, offer))
        return 0;
    offer->item = offer->number;
    return 1;
}

bool FileSource::Take(Job& job) {
    order_.Take(job.number);
    const FolderFile& file = files_[job.number];
    job.owned.reset(new (std::nothrow) PackEntry);
    if (job.owned == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
    job.entry = job.owned.get();
    std::strncpy(job.entry->name, file.name.c_str(), sizeof job.entry->name - 1);
    job.bytes = file.size;
    return true;
}

bool FileSource::Work(Job& job) {
    char path[PackEntry::kNameSize];
    std::memcpy(path, job.entry->name, sizeof path);
    if (!job.entry->LoadFromFile(path, &job.why)) {
        std::memcpy(job.entry->name, path, sizeof path);  // the failure names its file
        return false;
    }
    if (compress_) {
        job.entry->Compress(engine_, &job.why);
        if (job.entry->compressed == 0) return false;
    }
    job.cost = job.entry->DataLength();  // what it holds until its turn
    return true;
}

bool FileSource::Finish(Job& job) {
    job.entry = nullptr;
    return writer_.Write(std::move(job.owned)) || Fail(&job.why, writer_.reason());
}
