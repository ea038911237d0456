// Archive to pack: the first pass that checks and names every item, and the job source that
// moves the items taken into a pack writer, small ones whole on the workers, large ones in
// pieces as they are read.
#include "convert/to_pack.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "fsbridge/sources.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Reason;

namespace {

// What the first pass made of one item: whether it goes into the pack, by what name and size.
struct Planned {
    bool taken = false;
    std::string name;
    std::uint64_t size = 0;
};

struct Plan {
    std::vector<Planned> items;  // every item, in the archive's order
    std::uint32_t taken = 0;
    std::uint64_t bytes = 0;
    std::uint64_t largest = 0;  // of the files moved whole
};

bool Damaged(const ArchiveReader& reader, const std::string& item, ConvertFailure* failure) {
    failure->words = reader.error();
    return Fail(&failure->failure, platform::kErrorDamagedRecord, item, reader.items());
}

// Why the pack cannot hold a file of this name and size; 0 when it can.
Reason Refusal(const std::string& name, std::uint64_t size) {
    if (name.empty()) return platform::kErrorNoFileName;
    if (!PackEntry::NameFits(name.c_str())) return platform::kErrorNameTooLong;
    if (size == 0) return platform::kErrorEmptyFile;
    if (size > UINT32_MAX) return platform::kErrorFileTooLarge;
    return 0;
}

// Reads every item's head (and the bytes of one whose size is not told, to count them), naming
// what is left out, refused and renamed.
bool MakePlan(ArchiveReader& reader, const ConvertOptions& options, Plan* plan,
              ConvertFailure* failure) {
    const StreamOptions& stream = options.stream;
    Reason refused = 0;
    ArchiveItem item;
    for (int got; (got = reader.Next(&item)) != 0;) {
        if (got < 0) return Damaged(reader, "", failure);
        Planned planned;
        if (item.kind == ItemKind::kSpecial && stream.leftOut) {
            stream.leftOut(item.path, LeftOut::kNotRegular);
        }
        if (item.kind == ItemKind::kSpecial || item.kind == ItemKind::kFolder) {
            plan->items.push_back(std::move(planned));
            continue;
        }
        std::string removed;
        planned.name = CleanName(item.path, &removed);
        if (!removed.empty() && !planned.name.empty() && options.renamed) {
            options.renamed(item.path, removed, planned.name);
        }
        planned.size = item.size;
        if (!item.sized && item.kind == ItemKind::kFile) {
            unsigned char piece[kStoredPiece];
            Reason why = 0;
            planned.size = 0;
            for (std::size_t n; (n = reader.Read(piece, sizeof piece, &why)) != 0;) {
                planned.size += n;
            }
            if (why != 0) return Damaged(reader, item.path, failure);
        }
        Reason why = item.kind == ItemKind::kFile ? Refusal(planned.name, planned.size)
                                                  : platform::kErrorNotRegularFile;
        if (why != 0) {
            if (stream.refused) stream.refused(item.path, why);
            if (refused == 0) refused = why;
        } else {
            planned.taken = true;
            ++plan->taken;
            plan->bytes += planned.size;
            if (planned.size <= kWholeFileMost) {
                plan->largest = std::max(plan->largest, planned.size);
            }
        }
        plan->items.push_back(std::move(planned));
    }
    if (refused == 0 || stream.skip) return true;
    failure->failure.told = true;
    return Fail(&failure->failure, refused);
}

// The items the plan takes, read in the archive's order on this thread: a small one into its
// entry as it is taken (then compressed on a worker when asked), a large one read in pieces as it
// is taken, alone in flight, into a spill written in its turn.
class ArchiveSource final : public JobSource {
  public:
    ArchiveSource(ArchiveReader* reader, const Plan& plan, const StreamOptions& options,
                  PackWriter* writer)
        : reader_(*reader), plan_(plan), options_(options), sink_(writer) {}

    int Next(std::uint64_t, Offer* offer, platform::Failure* failure) override {
        while (!peeked_) {
            ArchiveItem item;
            const int got = reader_.Next(&item);
            if (got == 0) return 0;
            if (got < 0 || index_ >= plan_.items.size()) {
                words_ = reader_.error();
                Fail(failure, got < 0 ? platform::kErrorDamagedRecord : platform::kErrorFileChanged,
                     "", reader_.items());
                return -1;
            }
            const Planned& planned = plan_.items[index_++];
            peeked_ = planned.taken;
            if (peeked_ && item.sized && item.size != planned.size) {
                Fail(failure, platform::kErrorFileChanged, planned.name, reader_.items());
                return -1;
            }
        }
        const Planned& planned = plan_.items[index_ - 1];
        offer->number = taken_;
        offer->alone = planned.size > kWholeFileMost;
        offer->cost = offer->alone        ? kPiecesCost + kSpillMemory
                      : options_.compress ? 2 * planned.size + planned.size / 8 + 4096
                                          : planned.size;
        offer->budget = kWindowBytes + 3 * plan_.largest;
        return 1;
    }
    bool Take(Job& job) override {
        peeked_ = false;
        ++taken_;
        const Planned& planned = plan_.items[index_ - 1];
        if (!Hold(job)) return false;
        EntryJob& held = Held(job);
        PackEntry& entry = *held.entry;
        std::memcpy(entry.name, planned.name.c_str(), planned.name.size() + 1);  // fits: planned
        std::memcpy(held.name, entry.name, sizeof entry.name);
        held.record = reader_.items();
        held.size = entry.size = static_cast<std::uint32_t>(planned.size);
        job.bytes = planned.size;
        if (planned.size > kWholeFileMost) return held.done = MoveNow(job);
        entry.data = GlobalAlloc(GHND, entry.size);
        entry.view = static_cast<unsigned char*>(GlobalLock(entry.data));
        if (entry.view == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
        std::size_t read = 0;
        for (std::size_t n;
             read < entry.size &&
             (n = reader_.Read(entry.view + read, entry.size - read, &job.why)) != 0;) {
            read += n;
        }
        GlobalUnlock(entry.data);
        entry.view = nullptr;
        return read == entry.size || Fail(&job.why, platform::kErrorDamagedRecord);
    }
    bool Work(Job& job) override {
        EntryJob& held = Held(job);
        if (held.done || !options_.compress) return true;
        if (!held.entry->Compress(options_.engine, &job.why)) return false;
        job.cost = held.entry->DataLength();
        return true;
    }
    bool Finish(Job& job) override {
        EntryJob& held = Held(job);
        if (held.spill != nullptr) {
            const bool put = held.spill->Rewind(&job.why) && sink_.Put(job, *held.spill);
            held.spill.reset();
            if (!put) return false;
        } else if (!sink_.Put(job)) {
            return false;
        }
        if (options_.done) options_.done(Held(job).name);
        return true;
    }
    void Name(const Job& job, platform::Failure* failure) const override {
        if (job.state == nullptr) return;
        failure->entry = Held(job).record;
        failure->item = Held(job).name;
    }
    // libarchive's words for a failure of its, when the run failed at one.
    const std::string& words() const { return words_.empty() ? reader_.error() : words_; }

  private:
    // A large item's stored bytes made as it is read, into a spill that waits for its turn:
    // the jobs before it may not have finished yet.
    bool MoveNow(Job& job) {
        EntryJob& held = Held(job);
        PackEntry& entry = *held.entry;
        held.spill.reset(new (std::nothrow) Spill);
        if (held.spill == nullptr) return Fail(&job.why, platform::kErrorNoMemory);
        const bool compress = options_.compress;
        if (!StorePieces(entry.size, compress, reader_, *held.spill, &entry.storedSize, &job.why,
                         options_.engine)) {
            return false;
        }
        entry.compressed = compress ? 1 : 0;
        return true;
    }

    ArchiveReader& reader_;
    const Plan& plan_;
    const StreamOptions& options_;
    EntrySink sink_;
    std::size_t index_ = 0;  // items of the plan passed
    std::uint32_t taken_ = 0;
    bool peeked_ = false;
    std::string words_;
};

}  // namespace

std::string CleanName(const std::string& path, std::string* removed) {
    std::string stored = StoredName(path, removed);
    // StoredName gives back a path of which nothing is left: no name then.
    if (stored == path && !removed->empty()) return {};
    // "." parts name nothing: "./a" is "a", as tar's own archives of "." hold it.
    std::string name;
    for (std::size_t at = 0, end = 0; at <= stored.size(); at = end + 1) {
        end = std::min(stored.find('/', at), stored.size());
        const std::string part = stored.substr(at, end - at);
        if (!part.empty() && part != ".") name += (name.empty() ? "" : "/") + part;
    }
    return name;
}

bool ArchiveToPack(ConvertInput* input, const std::string& out, const ConvertOptions& options,
                   ConvertFailure* failure) {
    const StreamOptions& stream = options.stream;
    const bool standard = out == kStandardStream;
    const char* const shown = standard ? "standard output" : out.c_str();
    Plan plan;
    {
        ArchiveReader reader;
        if (!reader.Open(input->stream(), input->again())) return Damaged(reader, "", failure);
        if (!MakePlan(reader, options, &plan, failure)) return false;
    }
    if (!input->Rewind()) return Fail(&failure->failure, platform::kErrorFailed);
    ArchiveReader reader;
    if (!reader.Open(input->stream(), input->again())) return Damaged(reader, "", failure);
    SharedProgress().Start(plan.taken, plan.bytes);

    platform::PackLock lock;
    Reason why = 0;
    if (!standard && !lock.Take(out.c_str(), stream.wait, &why, &failure->failure.holder)) {
        return Fail(&failure->failure, why, out);
    }
    std::optional<PackWriter> writer;
    const std::uint8_t flag = stream.compress ? 1 : 0;
    if (standard) {
        writer.emplace(platform::StandardOutput{}, flag, plan.taken);
    } else {
        writer.emplace(out.c_str(), flag, plan.taken);
    }
    if (!writer->ok()) return Fail(&failure->failure, writer->reason(), shown);
    ArchiveSource source(&reader, plan, stream, &*writer);
    platform::Failure window;
    const bool moved = RunWindow(source, kWindowBytes + 3 * plan.largest, stream.workers,
                                 &SharedProgress(), &window);
    if (!writer->ok()) return Fail(&failure->failure, writer->reason(), shown);
    if (!moved) {
        if (window.reason == platform::kErrorDamagedRecord) failure->words = source.words();
        failure->failure = window;
        return false;
    }
    if (!writer->Commit(&why)) return Fail(&failure->failure, why, shown);
    if (stream.totals != nullptr) *stream.totals = {plan.taken, plan.bytes, writer->bytes()};
    return true;
}
