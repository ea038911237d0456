// What add reads of a pack before it writes, and the facts of files and descriptions.
#include "fsbridge/add_survey.h"

#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "fsbridge/described.h"
#include "fsbridge/describing.h"
#include "fsbridge/editing.h"
#include "fsbridge/sources.h"
#include "pack/pieces.h"
#include "pack/records.h"

using descriptions::Item;
using platform::Fail;
using platform::Failure;
using platform::Reason;

bool FactsOf(const FolderFile& file, Item* facts, Reason* why) {
    std::string culprit;
    const auto entry = DescribeRun(&file, 1, 0, false, Compressor::kZlib, &culprit, why);
    if (entry == nullptr) return false;
    std::vector<Item> items;
    const unsigned char* bytes = entry->Lock();
    try {
        if (bytes == nullptr || !descriptions::Decode(bytes, entry->size, &items)) {
            return Fail(why, platform::kErrorNoMemory);
        }
        *facts = std::move(items.front());
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    return true;
}

namespace {

// Whether a file differs from the entry of this head, which an item may describe: by its
// size; then by its time or CRC-32 when the item gives them, else by its bytes, read from the
// entry's data (held in head, or read from the reader, *consumed then). False when the file
// cannot be read, or the pack is damaged.
bool Changed(PackEntry& head, const Item* item, PackReader& reader, const FolderFile& file,
             bool* changed, bool* consumed, Failure* failure) {
    Reason why = 0;
    *changed = true;
    if (file.size != head.size) return true;
    if (item != nullptr) {
        Item facts;
        if (!FactsOf(file, &facts, &why)) return Fail(failure, why, file.Path());
        *changed = facts.mtimeNs != item->mtimeNs || facts.crc != item->crc;
        return true;
    }
    std::FILE* in = OpenChecked(file, &why);
    if (in == nullptr) return Fail(failure, why, file.Path());
    SameBytes same(in);
    *consumed = true;
    const bool moved = PlainBytes(head, reader, &same, &why);
    if (!moved && !reader.damaged()) reader.SkipRest(&why);
    *changed = !moved || !same.Ended();
    std::fclose(in);
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    if (same.fileWhy() != 0) return Fail(failure, same.fileWhy(), file.Path());
    return true;
}

}  // namespace

bool Survey(const char* path, const std::vector<FolderFile>& files, bool update, Surveyed* surveyed,
            Failure* failure) {
    std::unordered_map<std::string, std::uint32_t> byName;
    const auto byNames = [&] {
        surveyed->unchanged.assign(files.size(), false);
        for (std::size_t i = 0; i < files.size(); ++i) {  // only what an entry holds replaces one
            if (files[i].HasEntry()) byName.emplace(files[i].name, static_cast<std::uint32_t>(i));
        }
    };
    if (!platform::WithMemory(failure, byNames, path)) return false;
    const auto visit = [&](const Met& met) {
        if (met.what == Met::What::kAlone) return true;
        Above(met.head->name, descriptions::kDescriptionPrefix, &surveyed->descriptions);
        Above(met.head->name, descriptions::kStandInPrefix, &surveyed->standIns);
        if (met.what == Met::What::kDescription) return true;
        const bool part = met.item != nullptr && met.item->kind == descriptions::Kind::kPart;
        const Item* item = part ? nullptr : met.item;
        const auto found = byName.find(item != nullptr ? item->path : std::string(met.stored));
        if (found == byName.end()) return true;
        const std::uint32_t file = found->second;
        byName.erase(found);
        bool changed = true;
        if (update &&
            !Changed(*met.head, item, *met.reader, files[file], &changed, met.consumed, failure)) {
            return false;
        }
        if (!changed) {
            surveyed->unchanged[file] = true;
        } else if (item == nullptr) {
            surveyed->replaced.push_back({met.record, file});
        } else {
            surveyed->replaced.push_back({met.record, file, met.description, met.index});
        }
        return true;
    };
    return WalkPack(path, visit, failure);
}
