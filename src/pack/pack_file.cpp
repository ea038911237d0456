// The whole pack at once: Load and Save through the record codec, and Encode, Decode and the
// save's conversion on the window's workers, the costliest entries taken first so that no core
// is left alone with one at the end.
#include <memory>
#include <new>

#include "pack/ahead_order.h"
#include "pack/pack.h"
#include "pack/progress.h"
#include "pack/records.h"

namespace {

bool SameForm(const PackEntry& entry, bool compressed) {
    return (entry.compressed != 0) == compressed;
}

// What a conversion may hold at its peak: the bytes, and the other form beside them.
std::uint64_t ConvertCost(const PackEntry* entry) {
    return std::uint64_t{entry->DataLength()} + entry->size + entry->size / 8 + 4096;
}

// Every entry turned into one form, compressed by `engine` or plain; a failure leaves an entry
// as it was, which its flag shows.
class FormSource final : public JobSource {
  public:
    FormSource(PackEntry** entries, std::uint32_t count, bool compress, Compressor engine)
        : entries_(entries),
          count_(count),
          compress_(compress),
          engine_(engine),
          order_(
              count, [entries](std::uint32_t i) { return ConvertCost(entries[i]); },
              [entries](std::uint32_t i) { return std::uint64_t{entries[i]->size}; }, kNoBudget) {}

    int Next(std::uint64_t room, Offer* offer, platform::Failure*) override {
        offer->number = order_.Next(room);
        offer->cost = offer->number < count_ ? ConvertCost(entries_[offer->number]) : 0;
        return offer->number < count_;
    }
    bool Take(Job& job) override {
        order_.Take(job.number);
        job.bytes = entries_[job.number]->size;
        return true;
    }
    // A failure leaves the entry in its form, which the flag shows; the others go on.
    bool Work(Job& job) override {
        PackEntry& entry = *entries_[job.number];
        if (compress_) {
            entry.Compress(engine_);
        } else {
            entry.Decompress();
        }
        return true;
    }
    bool Finish(Job&) override { return true; }

  private:
    PackEntry** entries_;
    std::uint32_t count_;
    bool compress_;
    Compressor engine_;
    AheadOrder order_;
};

void ConvertAll(Pack* pack, bool compress, Compressor engine, unsigned workers) {
    std::unique_ptr<PackEntry*[]> entries(new (std::nothrow) PackEntry*[pack->count + 1]);
    if (entries == nullptr) return;  // without memory, every entry stays as it is
    std::uint32_t count = 0;
    std::uint64_t bytes = 0;
    for (PackEntry* entry = pack->head; entry != nullptr && count < pack->count;
         entry = entry->next) {
        entries[count++] = entry;
        bytes += entry->size;
    }
    SharedProgress().Start(count, bytes);
    FormSource source(entries.get(), count, compress, engine);
    platform::Failure failure;
    RunWindow(source, kNoBudget, workers, &SharedProgress(), &failure);
}

}  // namespace

void Pack::Encode(unsigned workers, Compressor engine) {
    ConvertAll(this, true, engine, workers);
    compressed = 1;
}

void Pack::Decode(unsigned workers) {
    ConvertAll(this, false, Compressor::kZlib, workers);
    compressed = 0;
}

bool Pack::Load(const char* path, platform::Reason* why) {
    if (path == nullptr || *path == '\0') return platform::Fail(why, platform::kErrorFailed);
    Clear();
    std::uint64_t length = 0;
    std::FILE* file = platform::OpenRegularFile(path, &length, why);
    if (file == nullptr) return false;
    const bool loaded = LoadStream(file, length, why);
    std::fclose(file);
    return loaded;
}

bool Pack::LoadStream(std::FILE* file, std::uint64_t length, platform::Reason* why) {
    Clear();
    PackReader reader;
    // An empty pack file is well formed, but holds nothing to load: the load fails.
    if (file == nullptr || !reader.Open(file, length, why)) return false;
    if (reader.header().count == 0) return platform::Fail(why, platform::kErrorNoSuchEntry);
    compressed = reader.header().flag;
    SharedProgress().Start(reader.header().count, length);
    platform::Reason failure = 0;
    while (count < reader.header().count) {
        auto* entry = new (std::nothrow) PackEntry;
        if (entry == nullptr && !platform::Fail(&failure, platform::kErrorNoMemory)) break;
        if (!reader.NextHead(entry, &failure) || !reader.ReadData(entry, &failure)) {
            delete entry;
            break;
        }
        SharedProgress().Advance(pack_format::kRecordHeadSize + entry->DataLength());
        Append(entry);
    }
    if (count == reader.header().count) return true;
    Clear();
    return platform::Fail(why, failure);
}

bool Pack::Save(const char* path, platform::Reason* why) {
    if (path == nullptr || *path == '\0') return platform::Fail(why, platform::kErrorFailed);
    // The file carries one flag for every record, so each entry must be in the pack's form.
    const bool form = compressed != 0;
    bool mixed = false;
    std::uint64_t bytes = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        mixed = mixed || !SameForm(*entry, form);
    }
    if (mixed) ConvertAll(this, form, Compressor::kZlib, 0);
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!SameForm(*entry, form)) return platform::Fail(why, platform::kErrorFailed);
        bytes += entry->DataLength();
    }

    PackWriter writer(path, compressed, count);
    SharedProgress().Start(count, bytes);
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!writer.Write(entry)) return platform::Fail(why, writer.reason());
        SharedProgress().Advance(entry->DataLength());
    }
    return writer.Commit(why);
}
