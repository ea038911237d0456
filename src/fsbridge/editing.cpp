// Edits of a pack seen through its descriptions: the first reading, and the copy that applies
// them.
#include "fsbridge/editing.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fsbridge/described.h"
#include "fsbridge/sources.h"
#include "pack/progress.h"
#include "pack/records.h"

using descriptions::Item;
using platform::Fail;
using platform::Failure;
using platform::Reason;

bool WalkPack(const char* path, const std::function<bool(const Met&)>& visit, Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!reader.Open(path, &why)) return Fail(failure, why, path);
    try {
        descriptions::Matcher matcher;
        std::uint32_t described = kNoRecord;
        PackEntry head;
        while (reader.NextHead(&head, &why)) {
            const std::uint32_t record = reader.read() - 1;
            bool consumed = false;
            if (DescribedEntries::MayDescribe(head)) {
                if (!reader.ReadData(&head, &why)) break;
                consumed = true;
                std::vector<Item> items;
                if (Decoded(head, &items)) {
                    matcher.Take(std::move(items));
                    described = record;
                    const auto count = static_cast<std::uint32_t>(matcher.items().size());
                    const Met met{.what = Met::What::kDescription,
                                  .record = record,
                                  .description = record,
                                  .index = count,
                                  .head = &head,
                                  .reader = &reader,
                                  .consumed = &consumed};
                    if (!visit(met)) return false;
                    for (std::uint32_t i = 0; i < count; ++i) {
                        const Item& alone = matcher.items()[i];
                        if (descriptions::HasEntry(alone.kind)) continue;
                        if (!visit({Met::What::kAlone, kNoRecord, record, i, &alone})) return false;
                    }
                    continue;
                }
            }
            const Item* item = matcher.Find(head.name, head.size);
            Met met{Met::What::kEntry, record, kNoRecord, 0,        item,
                    head.name,         &head,  &reader,   &consumed};
            if (item != nullptr) {
                met.description = described;
                met.index = static_cast<std::uint32_t>(item - matcher.items().data());
            }
            if (!visit(met)) return false;
            if (!consumed && !reader.SkipData(head, &why)) break;
        }
    } catch (const std::bad_alloc&) {
        return Fail(failure, platform::kErrorNoMemory, path);
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    return why == 0 || Fail(failure, why, path);
}

void PackEdits::DropEmptied() {
    for (const auto& [description, changed] : items) {
        std::uint32_t gone = 0;
        for (const auto& [index, item] : changed) gone += item.has_value() ? 0 : 1;
        if (gone == counts[description]) dropped.insert(description);
    }
}

Item* PackEdits::Edited(std::uint32_t description, std::uint32_t index, const Item& item) {
    std::optional<Item>& slot = items[description].try_emplace(index, item).first->second;
    return slot.has_value() ? &*slot : nullptr;
}

bool DescribablePath(const std::string& path, Reason* why) {
    if (path.size() > descriptions::kMaxPath) return Fail(why, platform::kErrorPathTooLong);
    std::size_t part = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string_view name(path.data() + part, at - part);
        if (name.empty() || name == ".") return Fail(why, platform::kErrorNoFileName);
        if (name == "..") return Fail(why, platform::kErrorClimbsOut);
        part = at + 1;
    }
    return true;
}

void Above(const char* name, const char* prefix, std::uint32_t* next) {
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(name, prefix, length) != 0 || name[length] == '\0') return;
    std::uint64_t n = 0;
    for (const char* c = name + length; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || n > UINT32_MAX) return;
        n = n * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    if (n >= *next) *next = n >= UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(n + 1);
}

bool Decoded(PackEntry& entry, std::vector<Item>* items) {
    const unsigned char* bytes = entry.Decompress(nullptr) ? entry.Lock() : nullptr;
    try {
        return bytes != nullptr && descriptions::Decode(bytes, entry.size, items);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void CountStandIns(const Met& met, std::uint32_t* next) {
    if (met.stored != nullptr) Above(met.stored, descriptions::kStandInPrefix, next);
}

void Repath(PackEdits* edits, const MetItem& met, const std::string& to, bool storedTaken,
            std::uint32_t* next) {
    Item* edited = edits->Edited(met.description, met.index, met.item);
    if (edited == nullptr) return;
    Item& item = *edited;
    item.path = to;
    if (met.record == kNoRecord || item.kind == descriptions::Kind::kPart) return;
    if (PackEntry::NameFits(to.c_str()) && !storedTaken) {
        item.stored = to;
    } else if (item.stored == met.item.path) {  // stored under the old path
        item.stored = descriptions::StandInName((*next)++);
    }
    if (item.stored != met.item.stored) edits->names[met.record] = item.stored;
}

void Retarget(PackEdits* edits, const std::vector<MetItem>& links, const std::string& from,
              const std::string& to) {
    for (const MetItem& link : links) {
        Item* item = link.item.target == from
                         ? edits->Edited(link.description, link.index, link.item)
                         : nullptr;
        if (item != nullptr) item->target = to;
    }
}

namespace {

// The description in an entry encoded again with its edits; false (*why) when it cannot be.
bool Reencode(PackEntry& entry, const std::map<std::uint32_t, std::optional<Item>>& changed,
              Compressor engine, Reason* why) {
    const bool compressed = entry.compressed != 0;
    std::vector<unsigned char> bytes;
    try {
        std::vector<Item> items;
        if (!Decoded(entry, &items)) return Fail(why, platform::kErrorCorruptData);
        std::vector<Item> kept;
        for (std::uint32_t i = 0; i < items.size(); ++i) {
            const auto edit = changed.find(i);
            if (edit == changed.end()) {
                kept.push_back(std::move(items[i]));
            } else if (edit->second.has_value()) {
                kept.push_back(*edit->second);
            }
        }
        if (!descriptions::Encode(kept, &bytes)) return Fail(why, platform::kErrorFailed);
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    char name[PackEntry::kNameSize];
    std::memcpy(name, entry.name, sizeof name);
    entry.Reset();
    std::memcpy(entry.name, name, sizeof name);
    entry.compressed = 0;
    entry.data = GlobalAlloc(GHND, bytes.size());
    if (entry.data == nullptr || entry.Lock() == nullptr) {
        return Fail(why, platform::kErrorNoMemory);
    }
    std::memcpy(entry.view, bytes.data(), bytes.size());
    entry.size = static_cast<std::uint32_t>(bytes.size());
    entry.storedSize = 0;
    GlobalUnlock(entry.data);
    entry.view = nullptr;
    return !compressed || entry.Compress(engine, why);
}

// Records copied as they are but those the edits drop, rename or encode again.
class EditSource final : public CopySource {
  public:
    EditSource(PackReader* reader, PackWriter* writer, const PackEdits& edits, Compressor engine)
        : CopySource(reader, writer), edits_(edits), engine_(engine) {}

  private:
    bool Keep(const PackEntry&) override { return edits_.dropped.count(reader_.read() - 1) == 0; }
    bool Taken(Job& job) override {
        EntryJob& held = Held(job);
        const auto name = edits_.names.find(held.record);
        if (name != edits_.names.end()) {
            std::memset(held.entry->name, 0, sizeof held.entry->name);
            std::memcpy(held.entry->name, name->second.data(), name->second.size());  // fits
            std::memcpy(held.name, held.entry->name, sizeof held.name);
        }
        const auto changed = edits_.items.find(held.record);
        if (changed == edits_.items.end()) return true;
        if (InPieces(*held.entry)) return Fail(&job.why, platform::kErrorFailed);
        return Reencode(*held.entry, changed->second, engine_, &job.why);
    }
    const PackEdits& edits_;
    Compressor engine_;
};

}  // namespace

bool ApplyEdits(const char* path, const PackEdits& edits, const StreamOptions& options,
                Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!reader.Open(path, &why)) return Fail(failure, why, path);
    const PackHeader header = reader.header();
    SharedProgress().Start(header.count, 0);
    PackWriter writer(path, header.flag,
                      header.count - static_cast<std::uint32_t>(edits.dropped.size()));
    EditSource source(&reader, &writer, edits, options.engine);
    Failure window;
    if (writer.ok() &&
        !RunWindow(source, kWindowBytes, options.workers, &SharedProgress(), &window) &&
        writer.ok()) {
        return Fail(failure, window.reason, window.item, window.entry);
    }
    reader.Close();
    return writer.Commit(&why) || Fail(failure, why, path);
}
