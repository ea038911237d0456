// remove: entries and described items out of a pack, the hard links to a file removed kept.
#include <string>
#include <unordered_set>
#include <vector>

#include "fsbridge/editing.h"
#include "fsbridge/selection.h"
#include "fsbridge/stream_steps.h"
#include "fsbridge/streams.h"

using descriptions::Item;
using descriptions::Kind;
using platform::Fail;
using platform::Failure;

namespace {

// Whether a name given to remove takes the thing met at `path`: a plain name only its first
// match, a name with wildcards every match (as list matches them); a plain name takes a folder
// also by its path with a '/' behind, as list -1 shows it.
bool Takes(const std::string& name, bool* taken, const std::string& path, bool folder) {
    if (name.find_first_of("*?[\\") == std::string::npos) {
        if (*taken || name.empty() || (name != path && !(folder && name == path + "/"))) {
            return false;
        }
        *taken = true;
        return true;
    }
    const bool matched = WildcardMatch(name.c_str(), path.c_str());
    *taken = *taken || matched;
    return matched;
}

// The files removed whose hard links remain: each such file stays, under the path of its first
// link left, that link's item goes, and the others link to it there.
void KeepLinked(PackEdits* edits, const std::vector<MetItem>& files,
                const std::vector<MetItem>& links, const std::unordered_set<std::string>& stored,
                std::uint32_t* standIns) {
    for (std::size_t i = 0; i < files.size();) {
        std::size_t end = i + 1;  // a large file's parts, one after another
        while (end < files.size() && files[end].item.path == files[i].item.path) ++end;
        const std::string& from = files[i].item.path;
        const MetItem* first = nullptr;
        for (const MetItem& link : links) {
            if (link.item.target == from) {
                first = &link;
                break;
            }
        }
        if (first != nullptr) {
            const std::string to = first->item.path;
            edits->items[first->description][first->index].reset();
            for (std::size_t p = i; p < end; ++p) {
                edits->dropped.erase(files[p].record);
                edits->items[files[p].description].erase(files[p].index);
                Repath(edits, files[p], to, stored.count(to) != 0, standIns);
            }
            Retarget(edits, links, from, to);
        }
        i = end;
    }
}

}  // namespace

bool StreamRemove(const char* path, const std::vector<std::string>& names,
                  const StreamOptions& options, Failure* failure) {
    platform::PackLock lock;
    if (!TakeLock(&lock, path, options, failure)) return false;
    // First the heads alone: what each name takes, before anything is written.
    PackEdits edits;
    std::vector<std::string> told;           // what goes, as it is shown, in pack order
    std::vector<MetItem> files;              // described files that go
    std::vector<MetItem> links;              // hard links that stay
    std::unordered_set<std::string> stored;  // every stored name
    std::uint32_t standIns = 0;
    std::vector<bool> taken(names.size(), false);
    const auto visit = [&](const Met& met) {
        CountStandIns(met, &standIns);
        if (met.what == Met::What::kDescription) {
            edits.counts[met.record] = met.index;
            return true;
        }
        if (met.stored != nullptr) stored.insert(met.stored);
        const Item* item = met.item;
        const std::string at = met.Path();
        const bool folder = item != nullptr && item->kind == Kind::kFolder;
        bool drop = item != nullptr && item->kind == Kind::kPart && !files.empty() &&
                    files.back().item.kind == Kind::kPart && files.back().item.path == at;
        for (std::size_t i = 0; i < names.size() && !drop; ++i) {
            bool was = taken[i];
            drop = Takes(names[i], &was, at, folder);
            taken[i] = was;
        }
        if (!drop) {
            if (item != nullptr && item->kind == Kind::kHardLink) {
                links.push_back({met.record, met.description, met.index, *item});
            }
            return true;
        }
        if (met.record != kNoRecord) edits.dropped.insert(met.record);
        if (item != nullptr) edits.items[met.description][met.index].reset();
        if (item != nullptr && descriptions::HasEntry(item->kind)) {
            files.push_back({met.record, met.description, met.index, *item});
        }
        if (told.empty() || told.back() != at || item == nullptr || item->kind != Kind::kPart) {
            told.push_back(at);
        }
        return true;
    };
    if (!WalkPack(path, visit, failure)) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!taken[i]) {
            return Fail(failure, platform::kErrorNoSuchEntry, std::string(path) + ": " + names[i]);
        }
    }
    KeepLinked(&edits, files, links, stored, &standIns);
    edits.DropEmptied();
    if (!ApplyEdits(path, edits, options, failure)) return false;
    if (options.done) {
        for (const std::string& name : told) options.done(name.c_str());
    }
    Count(options, told.size(), 0, LengthOf(path));
    return true;
}
