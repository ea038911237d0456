// Paths opened below an unpack's folder without following links, and the folders and links its
// descriptions restore.
#include "fsbridge/restore.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "fsbridge/selection.h"

using descriptions::Item;
using descriptions::Kind;
using platform::Fail;
using platform::Reason;

namespace {

constexpr std::size_t kMaxPart = 255;

// The path's parts joined by '/', empty and "." parts dropped; false for a ".." part.
bool Normal(const std::string& path, std::string* joined) {
    joined->clear();
    std::size_t part = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/' && path[at] != platform::kPathSeparator) continue;
        const std::string_view name(path.data() + part, at - part);
        if (name == "..") return false;
        if (!name.empty() && name != ".") {
            if (!joined->empty()) *joined += '/';
            *joined += name;
        }
        part = at + 1;
    }
    return true;
}

std::size_t Depth(const std::string& path) {
    return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
}

}  // namespace

bool StripItem(Item* item, unsigned parts, Reason* why) {
    return platform::WithMemory(why, [&] {
        item->path = Stripped(item->path.c_str(), parts);
        if (item->kind == Kind::kHardLink) item->target = Stripped(item->target.c_str(), parts);
    });
}

bool PathBelow::Open(const platform::Folder& base, const std::string& path, bool make,
                     Reason* why) {
    at_ = &base;
    held_.reset();
    name_.clear();
    metLink_ = false;
    if (path.size() > descriptions::kMaxPath) return Fail(why, platform::kErrorPathTooLong);
    // Every part is checked before any folder is made.
    std::size_t part = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/' && path[at] != platform::kPathSeparator) continue;
        if (at - part > kMaxPart) return Fail(why, platform::kErrorPathTooLong);
        if (path.compare(part, at - part, "..") == 0) return Fail(why, platform::kErrorClimbsOut);
        part = at + 1;
    }
    part = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        const bool last = at == path.size();
        if (!last && path[at] != '/' && path[at] != platform::kPathSeparator) continue;
        std::string name = path.substr(part, at - part);
        part = at + 1;
        if (name.empty() || name == ".") {
            if (last) name_.clear();
            continue;
        }
        if (last) {
            name_ = std::move(name);
            return true;
        }
        auto below = std::make_unique<platform::Folder>();
        const bool opened = make ? below->MakeBelow(*at_, name.c_str(), why)
                                 : below->OpenBelow(*at_, name.c_str(), why);
        if (!opened) {
            metLink_ = at_->HoldsLink(name.c_str());
            return false;
        }
        held_ = std::move(below);
        at_ = held_.get();
    }
    return true;
}

bool Restorer::Keeps(const PathBelow& at, std::int64_t mtimeNs) const {
    std::int64_t seconds = 0;
    if (existing_ == Existing::kReplace || !at.folder().Holds(at.name().c_str(), &seconds)) {
        return false;
    }
    return existing_ == Existing::kKeep || seconds >= mtimeNs / 1000000000;
}

bool Restorer::Replaces(const PathBelow& at) const {
    return existing_ == Existing::kReplace || at.folder().Holds(at.name().c_str());
}

void Restorer::Settle(const std::string& path, bool made, bool replaced, Reason why) {
    if (made) return;
    if (!replaced && platform::IsAlreadyThere(why)) {
        Kept(path);
    } else {
        Refuse(path, why);
    }
}

void Restorer::Refuse(const std::string& path, Reason why) {
    ++refused_;
    if (told_) told_(path, why);
}

bool Restorer::Written(const std::string& path, Reason* why) {
    return platform::WithMemory(why, [&] {
        if (Normal(path, &key_)) written_.push_back(std::hash<std::string>{}(key_));
    });
}

bool Restorer::Take(const Item& item, Reason* why) {
    try {
        PathBelow at;
        Reason refused = 0;
        const bool folder = item.kind == Kind::kFolder;
        if (!at.Open(target_, item.path, true, &refused)) {
            Refuse(item.path, at.metLink() ? Reason{platform::kErrorThroughLink} : refused);
        } else if (folder) {
            platform::Folder made;
            if (at.name().empty()) return true;  // the folder unpacked into keeps its own
            if (!made.MakeBelow(at.folder(), at.name().c_str(), &refused)) {
                Refuse(item.path, at.folder().HoldsLink(at.name().c_str())
                                      ? Reason{platform::kErrorThroughLink}
                                      : refused);
            } else {
                folders_.push_back(item);
            }
        } else if (at.name().empty()) {
            Refuse(item.path, platform::kErrorNoFileName);
        } else if (item.kind == Kind::kHardLink) {
            links_.push_back(item);
        } else if (item.kind == Kind::kSymlink) {
            if (Keeps(at, item.mtimeNs)) {
                Kept(item.path);
            } else {
                const bool replace = Replaces(at);
                Settle(item.path,
                       at.folder().MakeSymlink(at.name().c_str(), item.target, item.mtimeNs,
                                               replace, &refused),
                       replace, refused);
            }
        }
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    return true;
}

void Restorer::End() {
    if (!links_.empty()) std::sort(written_.begin(), written_.end());
    for (const Item& link : links_) {
        std::string key, self;
        Reason refused = 0;
        PathBelow from, at;
        // A link whose own path holds something the policy keeps is kept, whatever it names.
        if (existing_ != Existing::kReplace && at.Open(target_, link.path, false, &refused) &&
            Keeps(at, link.mtimeNs)) {
            Kept(link.path);
            continue;
        }
        refused = platform::kErrorLinkedFileMissing;
        const bool known =
            Normal(link.target, &key) && Normal(link.path, &self) && !key.empty() && key != self &&
            link.target[0] != '/' && link.target[0] != platform::kPathSeparator &&
            std::binary_search(written_.begin(), written_.end(), std::hash<std::string>{}(key));
        if (!known || !from.Open(target_, link.target, false, &refused) ||
            !at.Open(target_, link.path, true, &refused)) {
            Refuse(link.path,
                   from.metLink() || at.metLink() ? Reason{platform::kErrorThroughLink} : refused);
        } else if (Keeps(at, link.mtimeNs)) {
            Kept(link.path);
        } else {
            const bool replace = Replaces(at);
            Settle(link.path,
                   at.folder().MakeHardLink(at.name().c_str(), from.folder(), from.name().c_str(),
                                            replace, &refused),
                   replace, refused);
        }
    }
    std::stable_sort(folders_.begin(), folders_.end(),
                     [](const Item& a, const Item& b) { return Depth(a.path) > Depth(b.path); });
    for (const Item& folder : folders_) {
        PathBelow at;
        platform::Folder made;
        Reason refused = 0;
        if (!at.Open(target_, folder.path, false, &refused) || at.metLink() ||
            !made.OpenBelow(at.folder(), at.name().c_str(), &refused) ||
            !made.SetFacts(folder.mode, folder.mtimeNs, &refused)) {
            Refuse(folder.path, refused);
        }
    }
}
