// add: files into a pack, each in the place of the entry of its name, the rest after the last.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "fsbridge/sources.h"
#include "fsbridge/stream_steps.h"
#include "fsbridge/streams.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Failure;
using platform::Reason;

namespace {

// An entry of the pack that a file takes the place of.
struct Replaced {
    std::uint32_t record;  // its place in the pack, from 0
    std::uint32_t file;    // the file's place among those added
};

// Records copied as they are, from where the reader stands up to the record `stop`.
class CopyUntil final : public CopySource {
  public:
    CopyUntil(PackReader* reader, PackWriter* writer, std::uint32_t stop)
        : CopySource(reader, writer), next_(reader->read()), stop_(stop) {}
    int Next(std::uint64_t room, Offer* offer, Failure* failure) override {
        return next_ >= stop_ ? 0 : CopySource::Next(room, offer, failure);
    }
    bool Take(Job& job) override {
        ++next_;
        return CopySource::Take(job);
    }

  private:
    std::uint32_t next_;  // the record taken next
    std::uint32_t stop_;
};

// The files whose names no later file gives, in their order: the last of one name wins.
bool LastOfEachName(std::vector<FolderFile>* files) {
    try {
        std::unordered_map<std::string, std::size_t> last;
        for (std::size_t i = 0; i < files->size(); ++i) last[(*files)[i].name] = i;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < files->size(); ++i) {
            if (last[(*files)[i].name] != i) continue;
            if (kept != i) (*files)[kept] = std::move((*files)[i]);
            ++kept;
        }
        files->resize(kept);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Reads the heads alone: which entry each file replaces (the first of its name not replaced
// already), in pack order.
bool Survey(const char* path, const std::vector<FolderFile>& files, std::vector<Replaced>* replaced,
            Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!reader.Open(path, &why)) return Fail(failure, why, path);
    try {
        std::unordered_map<std::string, std::uint32_t> byName;
        for (std::size_t i = 0; i < files.size(); ++i) {
            byName.emplace(files[i].name, static_cast<std::uint32_t>(i));
        }
        PackEntry head;
        while (reader.NextHead(&head, &why)) {
            const auto found = byName.find(head.name);
            if (found != byName.end()) {
                replaced->push_back({reader.read() - 1, found->second});
                byName.erase(found);
            }
            if (!reader.SkipData(head, &why)) break;
        }
    } catch (const std::bad_alloc&) {
        return Fail(failure, platform::kErrorNoMemory, path);
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    return true;
}

// The run's failure, as the command tells it: a record's by its place, a file by its path.
bool Failed(const PackWriter& writer, const Failure& window, const char* path, Failure* failure) {
    if (!writer.ok()) return Fail(failure, writer.reason(), path);
    if (window.entry != 0) return Fail(failure, window.reason, window.item, window.entry);
    return Fail(failure, window.reason, window.item);
}

// One pass of the pack through the window: records copied, those replaced passed over with the
// files put in their places, then the files appended.
bool Rewrite(PackReader& reader, PackWriter& writer, const std::vector<FolderFile>& files,
             const std::vector<Replaced>& replaced, const std::vector<FolderFile>& appended,
             const StreamOptions& options, Failure* window) {
    const std::uint32_t count = reader.header().count;
    std::vector<FolderFile> run;
    for (std::size_t i = 0; i <= replaced.size();) {
        const std::uint32_t stop = i < replaced.size() ? replaced[i].record : count;
        CopyUntil copy(&reader, &writer, stop);
        if (!RunWindow(copy, kWindowBytes, options.workers, &SharedProgress(), window)) {
            return false;
        }
        if (i == replaced.size()) break;
        // A run of records replaced one after the other, packed in one window.
        run.clear();
        do {
            PackEntry head;
            Reason why = 0;
            if (!reader.NextHead(&head, &why) || !reader.SkipData(head, &why)) {
                return Fail(window, why, "", reader.damagedRecord());
            }
            FolderFile file = files[replaced[i].file];
            if (file.name != head.name) file.stored = head.name;
            run.push_back(std::move(file));
            ++i;
        } while (i < replaced.size() && replaced[i].record == replaced[i - 1].record + 1);
        if (!PackRun(run, options, BudgetFor(run, options.engine), &writer, window)) return false;
    }
    return PackRun(appended, options, BudgetFor(appended, options.engine), &writer, window);
}

}  // namespace

bool StreamAdd(const char* path, std::vector<FolderFile> files, const StreamOptions& options,
               Failure* failure) {
    platform::PackLock lock;
    if (!TakeLock(&lock, path, options, failure)) return false;
    PackReader reader;
    Reason why = 0;
    std::uint64_t ignored = 0;
    std::FILE* existing = platform::OpenRegularFile(path, &ignored, &why);
    const bool fresh = existing == nullptr && platform::IsNotFound(why);
    if (existing != nullptr) std::fclose(existing);
    if (!fresh && !reader.Open(path, &why)) return Fail(failure, why, path);

    FolderListing listing;
    ListingRequest request{false, true, platform::IdentityOf(path)};
    if (!CheckFiles(request, &files, &listing, &why)) return Fail(failure, why, path);
    if (!TellListing(nullptr, listing, options, failure)) return false;
    std::vector<FolderFile>& taken = listing.files;
    if (!LastOfEachName(&taken)) return Fail(failure, platform::kErrorNoMemory, path);
    // Which entries are replaced, from the heads alone, before anything is written.
    std::vector<Replaced> replaced;
    if (!fresh && !Survey(path, taken, &replaced, failure)) return false;
    std::vector<FolderFile> appended;
    try {
        std::vector<bool> placed(taken.size(), false);
        for (const Replaced& r : replaced) placed[r.file] = true;
        for (std::size_t i = 0; i < taken.size(); ++i) {
            if (!placed[i]) appended.push_back(taken[i]);
        }
    } catch (const std::bad_alloc&) {
        return Fail(failure, platform::kErrorNoMemory, path);
    }
    const std::uint64_t total = std::uint64_t{reader.header().count} + appended.size();
    if (total > UINT32_MAX) return Fail(failure, platform::kErrorFailed, path);
    SharedProgress().Start(total, BytesOf(taken));

    const std::uint8_t flag = fresh ? (options.compress ? 1 : 0) : reader.header().flag;
    StreamOptions packing = options;
    packing.compress = flag != 0;
    PackWriter writer(path, flag, static_cast<std::uint32_t>(total));
    Failure window;
    if (writer.ok() && !Rewrite(reader, writer, taken, replaced, appended, packing, &window)) {
        return Failed(writer, window, path, failure);
    }
    reader.Close();
    if (!writer.Commit(&why)) return Fail(failure, why, path);
    Count(options, taken.size(), BytesOf(taken), LengthOf(path));
    return true;
}
