// The listing of a folder that packing takes: its items in packing order, each checked.
#include "fsbridge/folder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "fsbridge/selection.h"
#include "pack/descriptions.h"
#include "pack/pack.h"
#include "pack/progress.h"
#include "pack/window.h"

using platform::Fail;
using platform::Reason;

namespace {

// ASCII letters in upper case, every other byte as it is.
unsigned char Upper(char c) {
    return static_cast<unsigned char>(platform::AsciiUpper(c));
}

// The order NTFS lists a folder in: names compared by their upper-case bytes, then, for names
// that differ only in case, by their bytes. Packing sorts every listing into it, so a folder
// gives the same pack on every system and every run.
bool ListedBefore(const char* a, const char* b) {
    std::size_t at = 0;
    for (; a[at] != '\0' && Upper(a[at]) == Upper(b[at]); ++at) {
    }
    if (Upper(a[at]) != Upper(b[at])) return Upper(a[at]) < Upper(b[at]);
    return std::strcmp(a, b) < 0;
}

// A file's identity as a key.
struct IdentityHash {
    std::size_t operator()(const platform::FileIdentity& identity) const {
        return std::hash<std::uint64_t>{}(identity.index * 31 + identity.volume);
    }
};

// Asks the length of every file of a listing (opening each, when probing); each failure stays
// with its file, so that every file that cannot be packed is known at once.
class SizeSource final : public InOrderSource {
  public:
    SizeSource(const ListingRequest& request, std::vector<FolderFile>* files,
               std::vector<char>* self)
        : InOrderSource(files->size()), request_(request), files_(*files), self_(*self) {}
    bool Work(Job& job) override {
        FolderFile& file = files_[job.number];
        if (file.why != 0 || file.kind != descriptions::Kind::kFile) return true;
        if (!request_.probe) {
            platform::RegularFileLength(file.Path(), &file.size, &file.why);
            return true;
        }
        if (platform::ProbeRegularFile(file.Path(), &file.size, &file.identity, &file.why,
                                       request_.describe ? &file.facts : nullptr)) {
            self_[job.number] = file.identity == request_.packFile;
        }
        return true;
    }
    bool Finish(Job&) override { return true; }

  private:
    const ListingRequest& request_;
    std::vector<FolderFile>& files_;
    std::vector<char>& self_;
};

// A link met by a described listing: its text as it is, never followed; left out where links
// are not read as links. One whose text cannot be read is refused, with the reason.
void TakeLink(std::string name, std::vector<FolderFile>* found, FolderListing* listing) {
    if (!platform::kKeepsLinks) {
        listing->leftOut.push_back({std::move(name), LeftOut::kLinkNotKept});
        return;
    }
    found->push_back({std::move(name), 0, {}, 0, {}});
    FolderFile& item = found->back();
    item.kind = descriptions::Kind::kSymlink;
    platform::ReadLink(item.name.c_str(), &item.target, &item.why);
}

// Lists one folder, given by its path below the current one ("" for itself, else ending in
// '/'): its files into *found, the folders below it into *pending when asked for, what is left
// out into the listing. A sub-folder that cannot be opened is refused; the current folder that
// cannot be listed, or any that fails part-way, is the listing's failure, given back.
Reason ListOne(const ListingRequest& request, const std::string& folder,
               std::vector<FolderFile>* found, FolderListing* listing,
               std::vector<std::string>* pending) {
    WIN32_FIND_DATAA item;
    std::memset(&item, 0, sizeof item);
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &item);
    if (search == INVALID_HANDLE_VALUE) {
        const Reason failure = platform::SearchFailure();
        if (folder.empty()) return failure == 0 ? platform::kErrorFailed : failure;
        listing->refused.push_back({folder.substr(0, folder.size() - 1), 0, {}, failure, {}});
        return 0;
    }
    Reason failure = 0;
    try {
        if (request.describe && !folder.empty()) {
            found->push_back({folder.substr(0, folder.size() - 1), 0, {}, 0, {}});
            found->back().kind = descriptions::Kind::kFolder;
        }
        do {
            const DWORD is = item.dwFileAttributes;
            if (std::strcmp(item.cFileName, ".") == 0 || std::strcmp(item.cFileName, "..") == 0) {
                continue;
            }
            std::string name = folder + item.cFileName;
            if (request.excludes != nullptr && Excluded(*request.excludes, name)) continue;
            const bool link = (is & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (link && request.describe) {
                TakeLink(std::move(name), found, listing);
            } else if ((is & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if (link) {
                    listing->leftOut.push_back({std::move(name), LeftOut::kLinkToFolder});
                } else if (request.recursive) {
                    pending->push_back(name + '/');
                } else {
                    listing->leftOut.push_back({std::move(name), LeftOut::kFolder});
                }
            } else if ((is & FILE_ATTRIBUTE_DEVICE) != 0) {
                std::uint64_t ignored = 0;
                Reason there = 0;
                const bool dangling =
                    link && !platform::RegularFileLength(name.c_str(), &ignored, &there) &&
                    platform::IsNotFound(there);
                listing->leftOut.push_back(
                    {std::move(name), dangling ? LeftOut::kDanglingLink : LeftOut::kNotRegular});
            } else {
                found->push_back({std::move(name), 0, {}, 0, {}});
            }
        } while (FindNextFileA(search, &item));
        // A listing that failed part-way is not the whole folder.
        failure = platform::SearchFailure();
    } catch (const std::bad_alloc&) {
        failure = platform::kErrorNoMemory;
    }
    FindClose(search);
    return failure;
}

// Gives each file whose path does not fit a stored name a stand-in, unique among the names
// that do fit; false when memory runs out.
bool GiveStandIns(std::vector<FolderFile>* files) {
    try {
        std::unordered_set<std::string> taken;
        for (const FolderFile& file : *files) {
            if (PackEntry::NameFits(file.name.c_str())) taken.insert(file.name);
        }
        std::uint32_t next = 0;
        for (FolderFile& file : *files) {
            if (!file.HasEntry() || PackEntry::NameFits(file.name.c_str()) ||
                file.name.size() > descriptions::kMaxPath) {
                continue;
            }
            do {
                file.stored = descriptions::StandInName(next++);
            } while (taken.count(file.stored) != 0);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Replaces each file too large for one entry by its parts of kPartSize bytes (the last the
// rest), in order of offset, each under a stand-in unique among the stored names; false when
// memory runs out.
bool CutIntoParts(std::vector<FolderFile>* files) {
    const auto large = [](const FolderFile& file) { return file.size > UINT32_MAX; };
    if (std::none_of(files->begin(), files->end(), large)) return true;
    try {
        std::unordered_set<std::string> taken;
        for (const FolderFile& file : *files) {
            taken.insert(file.stored.empty() ? file.name : file.stored);
        }
        std::vector<FolderFile> cut;
        std::uint32_t next = 0;
        for (FolderFile& file : *files) {
            if (!large(file)) {
                cut.push_back(std::move(file));
                continue;
            }
            for (std::uint64_t at = 0; at < file.size; at += kPartSize) {
                FolderFile& part = cut.emplace_back(file);
                part.offset = at;
                part.whole = file.size;
                part.size = std::min(kPartSize, file.size - at);
                do {
                    part.stored = descriptions::StandInName(next++);
                } while (!taken.insert(part.stored).second);
            }
        }
        *files = std::move(cut);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

bool ListFolder(const ListingRequest& request, FolderListing* listing, std::string* culprit,
                Reason* why) {
    culprit->clear();
    std::vector<FolderFile> found;
    try {
        // Folders still to list: a list, not recursion, however deep the tree.
        std::vector<std::string> pending{""};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            const Reason failure = ListOne(request, folder, &found, listing, &pending);
            if (failure != 0) {
                *culprit = folder.empty() ? folder : folder.substr(0, folder.size() - 1);
                return Fail(why, failure);
            }
        }
        const auto before = [](const auto& a, const auto& b) {
            return ListedBefore(a.name.c_str(), b.name.c_str());
        };
        std::sort(found.begin(), found.end(), before);
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    if (!CheckFiles(request, &found, listing, why)) return false;
    // The pack file, met among the files, takes its place among the others left out.
    std::sort(listing->leftOut.begin(), listing->leftOut.end(),
              [](const LeftOutItem& a, const LeftOutItem& b) {
                  return ListedBefore(a.name.c_str(), b.name.c_str());
              });
    return true;
}

bool CheckFiles(const ListingRequest& request, std::vector<FolderFile>* files,
                FolderListing* listing, Reason* why) {
    std::vector<FolderFile>& found = *files;
    std::vector<char> self;
    if (!platform::WithMemory(why, [&] { self.assign(found.size(), 0); })) return false;
    // A name too long for an entry is refused, never cut; described, it takes a stand-in.
    if (request.describe && !GiveStandIns(&found)) return Fail(why, platform::kErrorNoMemory);
    for (FolderFile& file : found) {
        const bool fits = file.HasEntry()
                              ? !file.stored.empty() || PackEntry::NameFits(file.name.c_str())
                              : file.name.size() <= descriptions::kMaxPath &&
                                    file.target.size() <= descriptions::kMaxPath;
        if (!fits && file.why == 0) file.why = platform::kErrorNameTooLong;
    }
    if (found.size() >= UINT32_MAX) return Fail(why, platform::kErrorFailed);
    SizeSource source(request, &found, &self);
    platform::Failure sized;
    if (!RunWindow(source, kNoBudget, 0, &SharedProgress(), &sized)) return Fail(why, sized.reason);
    try {
        // Described, a file met before by another path is a hard link of the first.
        std::unordered_map<platform::FileIdentity, std::size_t, IdentityHash> first;
        for (std::size_t i = 0; i < found.size(); ++i) {
            FolderFile& file = found[i];
            const bool regular = file.why == 0 && file.kind == descriptions::Kind::kFile;
            if (regular && request.describe && file.identity.known) {
                const auto met = first.find(file.identity);
                if (met != first.end()) {
                    file.kind = descriptions::Kind::kHardLink;
                    file.target = listing->files[met->second].name;
                    file.stored.clear();
                    file.size = 0;
                }
            }
            if (file.why == 0 && file.kind == descriptions::Kind::kFile && file.size == 0) {
                if (request.describe) {
                    file.kind = descriptions::Kind::kEmpty;
                } else {
                    file.why = platform::kErrorEmptyFile;
                }
            }
            if (file.why == 0 && file.size > UINT32_MAX && !request.describe) {
                file.why = platform::kErrorFileTooLarge;  // described, it is cut into parts
            }
            if (self[i] != 0) {
                listing->leftOut.push_back({std::move(file.name), LeftOut::kPackFile});
            } else {
                const bool kept = file.why == 0;
                if (kept && request.describe && file.HasEntry() && file.identity.known) {
                    first.emplace(file.identity, listing->files.size());
                }
                (kept ? listing->files : listing->refused).push_back(std::move(file));
            }
        }
    } catch (const std::bad_alloc&) {
        return Fail(why, platform::kErrorNoMemory);
    }
    return !request.describe || CutIntoParts(&listing->files) ||
           Fail(why, platform::kErrorNoMemory);
}

std::string StoredName(const std::string& path, std::string* removed) {
    const auto separator = [](char c) { return c == '/' || c == platform::kPathSeparator; };
    removed->clear();
    std::size_t at = 0;
    // A drive is a path's start only where '\\' separates folders (Windows).
    if (platform::kPathSeparator == '\\' && path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        *removed = "drive " + path.substr(0, 2);
        at = 2;
    }
    if (at < path.size() && separator(path[at])) {
        *removed += std::string(removed->empty() ? "" : " and ") + "leading '" + path[at] + "'";
    }
    std::string name;
    bool climbed = false;
    while (at < path.size()) {
        std::size_t end = at;
        while (end < path.size() && !separator(path[end])) ++end;
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            climbed = true;
        } else if (!part.empty()) {
            name += (name.empty() ? "" : "/") + part;
        }
        at = end + 1;
    }
    if (climbed) *removed += std::string(removed->empty() ? "" : " and ") + "'..' parts";
    return name.empty() ? path : name;
}

bool ListFolderFiles(std::vector<FolderFile>* files, std::string* culprit, Reason* why) {
    FolderListing listing;
    if (!ListFolder(ListingRequest{}, &listing, culprit, why)) return false;
    if (!listing.refused.empty()) {
        *culprit = listing.refused.front().name;
        return Fail(why, listing.refused.front().why);
    }
    *files = std::move(listing.files);
    return true;
}
