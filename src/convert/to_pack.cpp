// Archive to pack: the first pass that checks and names every item, then the items taken moved
// into a pack writer, described by runs or plain.
#include "convert/to_pack.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_set>
#include <vector>

#include "convert/archive_source.h"
#include "fsbridge/describing.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Reason;

namespace {

bool Damaged(const ArchiveReader& reader, const std::string& item, ConvertFailure* failure) {
    failure->words = reader.error();
    return Fail(&failure->failure, platform::kErrorDamagedRecord, item, reader.items());
}

// Why a pack of plain entries cannot hold an item of this kind, name and size; 0 when it can.
Reason PlainRefusal(ItemKind kind, const std::string& name, std::uint64_t size) {
    if (kind != ItemKind::kFile) return platform::kErrorNotRegularFile;
    if (name.empty()) return platform::kErrorNoFileName;
    if (!PackEntry::NameFits(name.c_str())) return platform::kErrorNameTooLong;
    if (size == 0) return platform::kErrorEmptyFile;
    if (size > UINT32_MAX) return platform::kErrorFileTooLarge;
    return 0;
}

// Why a description cannot hold the item; 0 when it can.
Reason DescribedRefusal(const descriptions::Item& item) {
    if (item.path.empty()) return platform::kErrorNoFileName;
    if (item.path.size() > descriptions::kMaxPath || item.target.size() > descriptions::kMaxPath) {
        return platform::kErrorNameTooLong;
    }
    if (item.kind == descriptions::Kind::kHardLink && item.target.empty()) {
        return platform::kErrorNoFileName;
    }
    return 0;
}

// The description's kind of an archive's item of this size.
descriptions::Kind KindOf(ItemKind kind, std::uint64_t size) {
    using descriptions::Kind;
    return kind == ItemKind::kFolder     ? Kind::kFolder
           : kind == ItemKind::kSymlink  ? Kind::kSymlink
           : kind == ItemKind::kHardLink ? Kind::kHardLink
           : size == 0                   ? Kind::kEmpty
           : size > UINT32_MAX           ? Kind::kPart
                                         : Kind::kFile;
}

// Adds the item to the plan: a file of 4 GiB or more as its parts, in order of offset.
void Add(Planned planned, Plan* plan) {
    descriptions::Item& item = planned.item;
    const bool parts = item.kind == descriptions::Kind::kPart;
    for (std::uint64_t at = 0; at == 0 || at < planned.whole; at += kPartSize) {
        planned.read = parts ? std::min(kPartSize, planned.whole - at) : planned.whole;
        item.offset = parts ? at : 0;
        if (descriptions::HasEntry(item.kind)) {
            item.size = item.kind == descriptions::Kind::kEmpty
                            ? 1
                            : static_cast<std::uint32_t>(planned.read);  // a part's: it fits
            ++plan->entries;
            plan->bytes += planned.read;
            if (planned.read <= kWholeFileMost)
                plan->largest = std::max(plan->largest, planned.read);
        }
        plan->items.push_back(planned);
        if (!parts) break;
    }
}

// Adds a hard link that carries its files' bytes, as cpio's newc form gives them to the last
// link of a group, the others empty: it becomes the file, and the group's empty file and links
// to it, moved after it, links to it. A link to no item taken is the file alone.
void AddLinkWithBytes(Planned planned, Plan* plan) {
    const std::string target = planned.item.target;
    auto& items = plan->items;
    std::size_t first = items.size();
    while (first-- > 0 && items[first].item.path != target) {
    }
    if (first < items.size() && items[first].item.kind != descriptions::Kind::kEmpty) {
        planned.whole = 0;  // its file's bytes came with it
        return Add(std::move(planned), plan);
    }
    std::vector<Planned> group;
    for (std::size_t i = first < items.size() ? first : items.size(); i < items.size();) {
        const descriptions::Item& item = items[i].item;
        if (i != first && (item.kind != descriptions::Kind::kHardLink || item.target != target)) {
            ++i;
            continue;
        }
        if (i == first) --plan->entries;
        group.push_back(std::move(items[i]));
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
        if (i == first) first = items.size();  // taken
    }
    planned.item.target.clear();
    planned.item.kind = KindOf(ItemKind::kFile, planned.whole);
    const std::string path = planned.item.path;
    Add(std::move(planned), plan);
    for (Planned& linked : group) {
        linked.item.kind = descriptions::Kind::kHardLink;
        linked.item.target = path;
        linked.whole = linked.read = 0;
        linked.item.size = 0;
        items.push_back(std::move(linked));
    }
}

// Gives every item held by an entry its stored name: its path when it fits one, else a
// stand-in unique among the paths that do (each part has one of its own).
void GiveStandIns(Plan* plan) {
    std::unordered_set<std::string> taken;
    for (const Planned& planned : plan->items) {
        if (PackEntry::NameFits(planned.item.path.c_str())) taken.insert(planned.item.path);
    }
    std::uint32_t next = 0;
    for (Planned& planned : plan->items) {
        descriptions::Item& item = planned.item;
        if (!descriptions::HasEntry(item.kind)) continue;
        if (item.kind != descriptions::Kind::kPart && PackEntry::NameFits(item.path.c_str())) {
            item.stored = item.path;
            continue;
        }
        do {
            item.stored = descriptions::StandInName(next++);
        } while (taken.count(item.stored) != 0);
    }
}

// Reads every item's head (and the bytes of one whose size is not told, to count them), naming
// what is left out, refused and renamed. Described, every kind but devices, FIFOs and sockets
// is taken; plain, only files whose name fits (folders go without saying).
bool MakePlan(ArchiveReader& reader, const ConvertOptions& options, Plan* plan,
              ConvertFailure* failure) {
    const StreamOptions& stream = options.stream;
    Reason refused = 0;
    ArchiveItem item;
    for (int got; (got = reader.Next(&item)) != 0;) {
        if (got < 0) return Damaged(reader, "", failure);
        if (item.kind == ItemKind::kSpecial) {
            if (stream.leftOut) stream.leftOut(item.path, LeftOut::kNotRegular);
            continue;
        }
        Planned planned;
        planned.source = reader.items() - 1;
        descriptions::Item& described = planned.item;
        std::string removed;
        described.path = CleanName(item.path, &removed);
        // The folder "." or "/" goes without saying, and any folder in a plain pack.
        if (item.kind == ItemKind::kFolder && (!stream.describe || described.path.empty())) {
            continue;
        }
        if (!removed.empty() && !described.path.empty() && options.renamed) {
            options.renamed(item.path, removed, described.path);
        }
        const bool bytes = item.kind == ItemKind::kHardLink && item.size != 0;
        planned.whole = item.kind == ItemKind::kFile || bytes ? item.size : 0;
        if (!item.sized && item.kind == ItemKind::kFile) {
            unsigned char piece[kStoredPiece];
            Reason why = 0;
            planned.whole = 0;
            for (std::size_t n; (n = reader.Read(piece, sizeof piece, &why)) != 0;) {
                planned.whole += n;
            }
            if (why != 0) return Damaged(reader, item.path, failure);
        }
        described.kind = KindOf(item.kind, planned.whole);
        described.mode = item.mode & 07777;
        described.mtimeNs = item.mtimeNs;
        if (item.kind == ItemKind::kSymlink) described.target = item.link;
        if (item.kind == ItemKind::kHardLink) described.target = CleanName(item.link, &removed);
        const Reason why = stream.describe ? DescribedRefusal(described)
                                           : PlainRefusal(item.kind, described.path, planned.whole);
        if (why != 0) {
            if (stream.refused) stream.refused(item.path, why);
            if (refused == 0) refused = why;
            continue;
        }
        if (bytes && stream.describe) {
            AddLinkWithBytes(std::move(planned), plan);
        } else {
            Add(std::move(planned), plan);
        }
    }
    if (stream.describe) {
        GiveStandIns(plan);
    } else {
        for (Planned& planned : plan->items) planned.item.stored = planned.item.path;
    }
    if (refused == 0 || stream.skip) return true;
    failure->failure.told = true;
    return Fail(&failure->failure, refused);
}

// A run's description, then the entries held for it, each read back from the run's bytes.
bool WriteRun(const Plan& plan, std::size_t first, std::size_t end, std::uint32_t index,
              HeldRun& run, const StreamOptions& options, PackWriter* writer,
              platform::Failure* failure) {
    Reason why = 0;
    std::unique_ptr<PackEntry> description;
    const bool listed = platform::WithMemory(failure, [&] {
        std::vector<descriptions::Item> items;
        for (std::size_t i = first; i < end; ++i) items.push_back(plan.items[i].item);
        description = DescriptionEntry(items, index, options.compress, options.engine, &why);
    });
    if (!listed) return false;
    if (description == nullptr) return Fail(failure, why);
    if (!writer->Write(std::move(description))) return Fail(failure, writer->reason());
    if (!run.bytes.Rewind(&why)) return Fail(failure, why);
    for (const HeldRun::Head& held : run.heads) {
        PackEntry head;
        std::memcpy(head.name, held.name, sizeof head.name);
        head.size = held.size;
        head.storedSize = held.storedSize;
        head.compressed = held.compressed;
        Limited data(&run.bytes, head.DataLength());
        if (!writer->Write(head, data, &why)) return Fail(failure, why, held.name);
    }
    return true;
}

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
        const auto planned = [&] { return MakePlan(reader, options, &plan, failure); };
        if (!platform::WithMemory(&failure->failure, planned)) return false;
    }
    if (!input->Rewind()) return Fail(&failure->failure, platform::kErrorFailed);
    ArchiveReader reader;
    if (!reader.Open(input->stream(), input->again())) return Damaged(reader, "", failure);
    SharedProgress().Start(plan.entries, plan.bytes);

    platform::PackLock lock;
    Reason why = 0;
    if (!standard && !lock.Take(out.c_str(), stream.wait, &why, &failure->failure.holder)) {
        return Fail(&failure->failure, why, out);
    }
    const std::size_t items = plan.items.size();
    const std::size_t runs = stream.describe ? RunsOf(items) : 0;
    if (plan.entries + runs > UINT32_MAX) return Fail(&failure->failure, platform::kErrorFailed);
    const auto count = static_cast<std::uint32_t>(plan.entries + runs);
    std::optional<PackWriter> writer;
    const std::uint8_t flag = stream.compress ? 1 : 0;
    if (standard) {
        writer.emplace(platform::StandardOutput{}, flag, count);
    } else {
        writer.emplace(out.c_str(), flag, count);
    }
    if (!writer->ok()) return Fail(&failure->failure, writer->reason(), shown);
    ArchiveSource source(&reader, &plan, stream, &*writer);
    platform::Failure window;
    const std::uint64_t budget = kWindowBytes + 3 * plan.largest;
    bool moved = true;
    if (!stream.describe) {
        source.Start(0, items, nullptr);
        moved = RunWindow(source, budget, stream.workers, &SharedProgress(), &window);
    }
    // Described: each run's entries held until its description, which tells their CRC-32s, is
    // written before them.
    for (std::size_t first = 0; moved && first < items && stream.describe; first += kRunFiles) {
        const std::size_t end = std::min(items, first + kRunFiles);
        HeldRun run;
        source.Start(first, end, &run);
        moved = RunWindow(source, budget, stream.workers, &SharedProgress(), &window) &&
                WriteRun(plan, first, end, static_cast<std::uint32_t>(first / kRunFiles), run,
                         stream, &*writer, &window);
    }
    if (!writer->ok()) return Fail(&failure->failure, writer->reason(), shown);
    if (!moved) {
        if (window.reason == platform::kErrorDamagedRecord) failure->words = source.words();
        failure->failure = window;
        return false;
    }
    if (!writer->Commit(&why)) return Fail(&failure->failure, why, shown);
    if (stream.totals != nullptr) *stream.totals = {plan.entries, plan.bytes, writer->bytes()};
    return true;
}
