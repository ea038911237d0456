// rename: the pack copied record by record, one entry or item given its new path.
#include "fsbridge/rename.h"

#include <vector>

#include "fsbridge/editing.h"
#include "fsbridge/stream_steps.h"

using descriptions::Item;
using descriptions::Kind;
using platform::Fail;
using platform::Reason;

namespace {

// Whether a thing met is at `path`, as list -1 shows it (a folder's with a '/' behind).
bool IsAt(const Met& met, const std::string& path) {
    const std::string at = met.Path();
    return at == path ||
           (met.item != nullptr && met.item->kind == Kind::kFolder && at + "/" == path);
}

// What the reading finds: the first thing at the old path (every part, for a large file), the
// hard links, and whether the new path is held already.
struct Found {
    std::vector<MetItem> old;  // described, or one undescribed entry (item unset)
    bool described = false;
    std::vector<MetItem> links;
    bool pathTaken = false;    // something is at the new path
    bool storedTaken = false;  // an entry is stored under it
    std::uint32_t standIns = 0;
};

}  // namespace

bool StreamRename(const char* path, const std::string& from, const std::string& to,
                  const StreamOptions& options, platform::Failure* failure) {
    if (to.empty()) return Fail(failure, platform::kErrorNoFileName, to);
    platform::PackLock lock;
    if (!TakeLock(&lock, path, options, failure)) return false;
    PackEdits edits;
    Found found;
    const std::string bare = to.size() > 1 && to.back() == '/' ? to.substr(0, to.size() - 1) : to;
    const auto visit = [&](const Met& met) {
        CountStandIns(met, &found.standIns);
        if (met.what == Met::What::kDescription) return true;
        if (met.stored != nullptr && to == met.stored) found.storedTaken = true;
        if (IsAt(met, to) || met.Path() == bare) found.pathTaken = true;
        const Item* item = met.item;
        if (item != nullptr && item->kind == Kind::kHardLink) {
            found.links.push_back({met.record, met.description, met.index, *item});
        }
        const bool first = found.old.empty() && IsAt(met, from);
        const bool part = !found.old.empty() && item != nullptr && item->kind == Kind::kPart &&
                          found.old.front().item.kind == Kind::kPart &&
                          item->path == found.old.front().item.path;
        if (first || part) {
            found.old.push_back({met.record, met.description, met.index, {}});
            if (item != nullptr) found.old.back().item = *item;
            found.described = item != nullptr;
        }
        return true;
    };
    if (!WalkPack(path, visit, failure)) return false;
    if (found.old.empty()) {
        return Fail(failure, platform::kErrorNoSuchEntry, std::string(path) + ": " + from);
    }
    if (!found.described) {
        if (!PackEntry::NameFits(to.c_str())) return Fail(failure, platform::kErrorNameTooLong, to);
        edits.names[found.old.front().record] = to;
    } else {
        const std::string into = found.old.front().item.kind == Kind::kFolder ? bare : to;
        Reason why = 0;
        if (!DescribablePath(into, &why)) return Fail(failure, why, to);
        for (const MetItem& met : found.old) {
            Repath(&edits, met, into, found.storedTaken, &found.standIns);
        }
        Retarget(&edits, found.links, found.old.front().item.path, into);
    }
    if (found.pathTaken) {
        return Fail(failure, platform::kErrorNameTaken, std::string(path) + ": " + to);
    }
    return ApplyEdits(path, edits, options, failure);
}
