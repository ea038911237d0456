// add: files into a pack, each in the place of the entry of its name, the rest after the last.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "fsbridge/add_survey.h"
#include "fsbridge/described.h"
#include "fsbridge/describing.h"
#include "fsbridge/editing.h"
#include "fsbridge/sources.h"
#include "fsbridge/stream_steps.h"
#include "fsbridge/streams.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Failure;
using platform::Reason;

namespace {

using descriptions::Item;

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

// Each file given that is a folder taken whole, with every folder below it: its files named by
// the folder's name, '/' and their path in it, read from below the folder's path, in the order
// of pack -r; what its listing leaves out or refuses is told as pack -r tells it.
bool TakeFolders(std::vector<FolderFile>* files, const platform::FileIdentity& self,
                 const StreamOptions& options, Failure* failure) {
    std::vector<FolderFile> all;
    try {
        for (FolderFile& given : *files) {
            FolderReturn back;
            Reason why = 0;
            if (!back.Enter(given.Path(), &why)) {  // a file, or nothing: checked as one
                all.push_back(std::move(given));
                continue;
            }
            const std::string folder = given.Path();
            FolderListing listing;
            std::string culprit;
            const ListingRequest request{true, false, self, options.excludes, options.describe};
            if (!ListFolder(request, &listing, &culprit, &why)) {
                return Fail(failure, why,
                            culprit.empty() ? folder : folder + platform::kPathSeparator + culprit);
            }
            back.Back();
            if (!TellListing(folder.c_str(), listing, options, failure)) return false;
            const std::string prefix = given.name == "." ? "" : given.name + "/";
            for (FolderFile& file : listing.files) {
                file.path = folder + platform::kPathSeparator + file.name;
                file.name = prefix + file.name;
                file.stored.clear();
                all.push_back(std::move(file));
            }
        }
    } catch (const std::bad_alloc&) {
        return Fail(failure, platform::kErrorNoMemory, "");
    }
    *files = std::move(all);
    return true;
}

// The run's failure, as the command tells it: a record's by its place, a file by its path.
bool Failed(const PackWriter& writer, const Failure& window, const char* path, Failure* failure) {
    if (!writer.ok()) return Fail(failure, writer.reason(), path);
    if (window.entry != 0) return Fail(failure, window.reason, window.item, window.entry);
    return Fail(failure, window.reason, window.item);
}

// The description that is the reader's next record into the writer in its place, each item of
// an entry replaced (by replaced[first..end), which it describes) given its file's size,
// CRC-32, mode and time: so it stays as long, and right.
bool Patch(PackReader& reader, PackWriter& writer, const std::vector<FolderFile>& files,
           const std::vector<Replaced>& replaced, std::size_t first, std::size_t end,
           Compressor engine, Failure* window) {
    std::unique_ptr<PackEntry> entry(new (std::nothrow) PackEntry);
    if (entry == nullptr) return Fail(window, platform::kErrorNoMemory);
    Reason why = 0;
    if (!reader.NextHead(entry.get(), &why) || !reader.ReadData(entry.get(), &why)) {
        return Fail(window, why, "", reader.damagedRecord());
    }
    const bool compressed = entry->compressed != 0;
    try {
        std::vector<Item> items;
        if (!Decoded(*entry, &items)) return Fail(window, platform::kErrorFailed, entry->name);
        for (std::size_t i = first; i < end; ++i) {
            const FolderFile& file = files[replaced[i].file];
            Item facts;
            if (!FactsOf(file, &facts, &why)) return Fail(window, why, file.Path());
            Item& item = items[replaced[i].item];
            item.kind = descriptions::Kind::kFile;
            item.size = facts.size;
            item.crc = facts.crc;
            item.mode = facts.mode;
            item.mtimeNs = facts.mtimeNs;
        }
        std::vector<unsigned char> bytes;
        if (!descriptions::Encode(items, &bytes) || bytes.size() != entry->size) {
            return Fail(window, platform::kErrorFailed, entry->name);
        }
        std::memcpy(entry->Lock(), bytes.data(), bytes.size());  // decoded, so locked
    } catch (const std::bad_alloc&) {
        return Fail(window, platform::kErrorNoMemory);
    }
    GlobalUnlock(entry->data);
    entry->view = nullptr;
    if (compressed && !entry->Compress(engine, &why)) return Fail(window, why, entry->name);
    return writer.Write(std::move(entry)) || Fail(window, writer.reason());
}

// One pass of the pack through the window: records copied, the descriptions of entries
// replaced patched, those replaced passed over with the files put in their places, then the
// files appended (behind their descriptions, numbered from firstDescription, when asked).
bool Rewrite(PackReader& reader, PackWriter& writer, const std::vector<FolderFile>& files,
             const std::vector<Replaced>& replaced, const std::vector<FolderFile>& appended,
             std::uint32_t firstDescription, const StreamOptions& options, Failure* window) {
    // The replaced entries by the description of their items, in pack order.
    std::vector<Replaced> described;
    for (const Replaced& r : replaced) {
        if (r.description != kNoDescription) described.push_back(r);
    }
    std::stable_sort(described.begin(), described.end(),
                     [](const auto& a, const auto& b) { return a.description < b.description; });
    const std::uint32_t count = reader.header().count;
    std::vector<FolderFile> run;
    std::size_t i = 0, d = 0;
    for (;;) {
        std::uint32_t stop = i < replaced.size() ? replaced[i].record : count;
        if (d < described.size()) stop = std::min(stop, described[d].description);
        CopyUntil copy(&reader, &writer, stop);
        if (!RunWindow(copy, kWindowBytes, options.workers, &SharedProgress(), window)) {
            return false;
        }
        if (stop == count) break;
        if (d < described.size() && described[d].description == stop) {
            std::size_t end = d;
            while (end < described.size() && described[end].description == stop) ++end;
            if (!Patch(reader, writer, files, described, d, end, options.engine, window)) {
                return false;
            }
            d = end;
            continue;
        }
        // A run of records replaced one after the other, packed in one window.
        run.clear();
        do {
            PackEntry head;
            Reason why = 0;
            if (!reader.NextHead(&head, &why) || !reader.SkipData(head, &why)) {
                return Fail(window, why, "", reader.damagedRecord());
            }
            FolderFile file = files[replaced[i].file];
            file.stored = file.name != head.name ? head.name : "";
            run.push_back(std::move(file));
            ++i;
        } while (i < replaced.size() && replaced[i].record == replaced[i - 1].record + 1);
        if (!PackRun(run, options, BudgetFor(run), &writer, window)) return false;
    }
    const std::uint64_t budget = BudgetFor(appended);
    return options.describe
               ? PackDescribed(appended, options, budget, &writer, window, firstDescription)
               : PackRun(appended, options, budget, &writer, window);
}

// Stand-ins for the files appended, numbered from *next up, so that none is a name the pack or
// the files hold already.
void StandIns(std::vector<FolderFile>* appended, std::uint32_t next) {
    for (const FolderFile& file : *appended) {
        Above(file.name.c_str(), descriptions::kStandInPrefix, &next);
    }
    for (FolderFile& file : *appended) {
        if (!file.stored.empty()) file.stored = descriptions::StandInName(next++);
    }
}

}  // namespace

bool StreamAdd(const char* path, std::vector<FolderFile> files, const StreamOptions& options,
               Failure* failure) {
    // Folders are listed before the pack's lock is taken, as pack -r lists them: the lock file,
    // beside the pack, is never among their files.
    const platform::FileIdentity self = platform::IdentityOf(path);
    if (options.recursive && !TakeFolders(&files, self, options, failure)) return false;
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
    ListingRequest request{false, true, self, nullptr, options.describe};
    if (!CheckFiles(request, &files, &listing, &why)) return Fail(failure, why, path);
    if (!TellListing(nullptr, listing, options, failure)) return false;
    std::vector<FolderFile>& taken = listing.files;
    if (!LastOfEachName(&taken)) return Fail(failure, platform::kErrorNoMemory, path);
    // Which entries are replaced, from the heads alone, before anything is written.
    Surveyed surveyed;
    if (!fresh && !Survey(path, taken, options.update, &surveyed, failure)) return false;
    const std::vector<Replaced>& replaced = surveyed.replaced;
    std::vector<FolderFile> appended;
    const auto append = [&] {
        std::vector<bool> placed(taken.size(), false);
        for (const Replaced& r : replaced) placed[r.file] = true;
        for (std::size_t i = 0; i < taken.size(); ++i) {
            if (!placed[i] && (fresh || !surveyed.unchanged[i])) appended.push_back(taken[i]);
        }
    };
    if (!platform::WithMemory(failure, append, path)) return false;
    std::uint64_t added = BytesOf(appended);
    for (const Replaced& r : replaced) added += taken[r.file].size;
    if (!fresh && replaced.empty() && appended.empty()) {  // nothing changed: the pack is left
        Count(options, 0, 0, LengthOf(path));
        return true;
    }
    const std::uint64_t total = std::uint64_t{reader.header().count} + EntriesOf(appended) +
                                (options.describe ? RunsOf(appended.size()) : 0);
    if (surveyed.standIns > UINT32_MAX - appended.size() ||
        surveyed.descriptions > UINT32_MAX - RunsOf(appended.size())) {
        return Fail(failure, platform::kErrorFailed, path);
    }
    StandIns(&appended, surveyed.standIns);
    if (total > UINT32_MAX) return Fail(failure, platform::kErrorFailed, path);
    SharedProgress().Start(total, added);

    const std::uint8_t flag = fresh ? (options.compress ? 1 : 0) : reader.header().flag;
    StreamOptions packing = options;
    packing.compress = flag != 0;
    PackWriter writer(path, flag, static_cast<std::uint32_t>(total));
    Failure window;
    if (writer.ok() && !Rewrite(reader, writer, taken, replaced, appended, surveyed.descriptions,
                                packing, &window)) {
        return Failed(writer, window, path, failure);
    }
    reader.Close();
    if (!writer.Commit(&why)) return Fail(failure, why, path);
    Count(options, replaced.size() + EntriesOf(appended), added, LengthOf(path));
    return true;
}
