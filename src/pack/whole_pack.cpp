// Encode, Decode and the save's conversion: each entry turned into one form on the window's
// workers, the costliest taken first so that no core is left alone with one at the end.
#include "pack/whole_pack.h"

#include <memory>
#include <new>

#include "pack/progress.h"
#include "pack/window.h"

namespace {

bool SameForm(const PackEntry& entry, bool compressed) {
    return (entry.compressed != 0) == compressed;
}

// Turns an entry into the form asked for; a failure leaves it as it was, shown by its flag.
void Convert(PackEntry* entry, bool compress, Compressor engine) {
    if (SameForm(*entry, compress)) return;
    if (compress) {
        entry->Compress(engine);
    } else {
        entry->Decompress();
    }
}

// What a conversion may hold at its peak: the bytes, and the other form beside them.
std::uint64_t ConvertCost(const PackEntry& entry) {
    return std::uint64_t{entry.DataLength()} + entry.size + entry.size / 8 + 4096;
}

class FormSource final : public JobSource {
  public:
    FormSource(PackEntry** entries, std::uint32_t count, bool compress, Compressor engine)
        : entries_(entries),
          compress_(compress),
          engine_(engine),
          order_(
              count, [entries](std::uint32_t i) { return ConvertCost(*entries[i]); },
              [entries](std::uint32_t i) { return std::uint64_t{entries[i]->size}; }, kNoBudget) {}

    int Next(std::uint64_t room, Offer* offer, platform::Reason*) override {
        return order_.Next(
                   room, [this](std::uint32_t i) { return ConvertCost(*entries_[i]); }, offer)
                   ? 1
                   : 0;
    }
    bool Take(Job& job) override {
        order_.Take(job.number);
        job.entry = entries_[job.number];
        job.bytes = job.entry->size;
        return true;
    }
    bool Work(Job& job) override {
        Convert(job.entry, compress_, engine_);
        return true;
    }
    bool Finish(Job&) override { return true; }

  private:
    PackEntry** entries_;
    bool compress_;
    Compressor engine_;
    AheadOrder order_;
};

void ConvertAll(Pack* pack, bool compress, Compressor engine, unsigned workers) {
    std::uint64_t bytes = 0;
    for (PackEntry* entry = pack->head; entry != nullptr; entry = entry->next) bytes += entry->size;
    SharedProgress().Start(pack->count, bytes);
    std::unique_ptr<PackEntry*[]> entries(new (std::nothrow) PackEntry*[pack->count + 1]);
    if (entries == nullptr) {  // no memory to share the work: this thread does it all
        for (PackEntry* entry = pack->head; entry != nullptr; entry = entry->next) {
            Convert(entry, compress, engine);
        }
        return;
    }
    std::uint32_t count = 0;
    for (PackEntry* entry = pack->head; entry != nullptr && count < pack->count;
         entry = entry->next) {
        entries[count++] = entry;
    }
    FormSource source(entries.get(), count, compress, engine);
    WindowFailure failure;
    RunWindow(source, kNoBudget, workers, &failure);
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

bool BringIntoForm(Pack* pack) {
    const bool form = pack->compressed != 0;
    bool mixed = false;
    for (PackEntry* entry = pack->head; entry != nullptr && !mixed; entry = entry->next) {
        mixed = !SameForm(*entry, form);
    }
    if (mixed) ConvertAll(pack, form, Compressor::kZlib, 0);
    for (PackEntry* entry = pack->head; entry != nullptr; entry = entry->next) {
        if (!SameForm(*entry, form)) return false;
    }
    return true;
}
