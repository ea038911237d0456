// diff: each entry's bytes read against its file, then the folder's files no entry names.
#include "fsbridge/diff.h"

#include <cstdio>
#include <unordered_set>
#include <vector>

#include "fsbridge/described.h"
#include "fsbridge/folder.h"
#include "fsbridge/streams.h"
#include "pack/pieces.h"
#include "pack/records.h"

using platform::Fail;
using platform::Reason;

namespace {

using Tell = std::function<void(const std::string& name, Difference)>;
using descriptions::Item;
using descriptions::Kind;

platform::PathKind KindOfItem(Kind kind) {
    return kind == Kind::kFolder    ? platform::PathKind::kFolder
           : kind == Kind::kSymlink ? platform::PathKind::kSymlink
                                    : platform::PathKind::kFile;
}

// Tells how what is at file differs from item in kind, mode, time or target. *present: whether
// it is there, of the item's kind. False only when it cannot be looked at (*why).
bool CompareFacts(const Item& item, const std::string& folder, const Tell& tell, bool* present,
                  Reason* why) {
    const std::string file = folder + '/' + item.path;
    platform::PathKind kind;
    std::string target;
    Reason looked = 0;
    *present = false;
    if (!platform::KindOf(file.c_str(), &kind, &target, &looked)) {
        if (!platform::IsNotFound(looked)) return Fail(why, looked);
        tell(item.path, Difference::kMissingFile);
        return true;
    }
    if (kind != KindOfItem(item.kind)) {
        tell(item.path, Difference::kKind);
        return true;
    }
    *present = true;
    if (item.kind == Kind::kSymlink) {
        if (!target.empty() && target != item.target) tell(item.path, Difference::kTarget);
        return true;
    }
    if (item.kind == Kind::kHardLink) {
        const std::string linked = folder + '/' + item.target;
        if (!(platform::IdentityOf(file.c_str()) == platform::IdentityOf(linked.c_str()))) {
            tell(item.path, Difference::kTarget);
        }
        return true;
    }
    std::uint32_t mode = 0;
    std::int64_t mtimeNs = 0;
    if (!platform::FileFacts(file.c_str(), &mode, &mtimeNs, why)) return false;
    if (platform::kKeepsModes && mode != item.mode) tell(item.path, Difference::kMode);
    constexpr std::int64_t kStep = platform::kTimeStepNs;  // the time as the system keeps it
    if (item.mtimeNs - ((item.mtimeNs % kStep + kStep) % kStep) != mtimeNs) {
        tell(item.path, Difference::kTime);
    }
    return true;
}

}  // namespace

bool StreamDiff(const char* path, const char* folder,
                const std::function<void(const std::string& name, Difference)>& told, bool* differs,
                platform::Failure* failure) {
    *differs = false;
    const auto tell = [&](const std::string& name, Difference what) {
        *differs = true;
        told(name, what);
    };
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, why, path);
    {
        FolderReturn probe;  // a folder that is not there fails before any entry is compared
        if (!probe.Enter(folder, &why)) return Fail(failure, why, folder);
    }
    std::unordered_set<std::string> named;
    DescribedEntries described({}, [&](const Item& item, Reason* failed) {
        bool present = false;
        if (!platform::WithMemory(failed, [&] { named.insert(item.path); })) return false;
        return CompareFacts(item, folder, tell, &present, failed);
    });
    PackEntry head;
    while (reader.NextHead(&head, &why)) {
        if (DescribedEntries::MayDescribe(head) && !reader.ReadData(&head, &why)) break;
        // Past the entry's data, unless it was read to be a description.
        const auto pass = [&]() { return head.data != nullptr || reader.SkipData(head, &why); };
        const Item* item = nullptr;
        Reason failed = 0;
        if (described.Meet(head, &item, &failed)) continue;
        if (failed != 0) return Fail(failure, failed, path);
        const std::string entry = item != nullptr ? item->path : std::string(head.name);
        if (!platform::WithMemory(
                failure, [&] { named.insert(entry); }, path))
            return false;
        const std::string file = std::string(folder) + '/' + entry;
        if (item != nullptr) {
            bool present = false;
            if (!CompareFacts(*item, folder, tell, &present, &failed)) {
                return Fail(failure, failed, file);
            }
            // A part's bytes are those of a larger file: its kind and facts are all compared.
            const bool compared = present && item->kind != Kind::kPart;
            if (compared && item->kind == Kind::kEmpty) {
                std::uint64_t length = 0;
                if (platform::RegularFileLength(file.c_str(), &length) && length != 0) {
                    tell(entry, Difference::kSize);
                }
            }
            if (!compared || item->kind == Kind::kEmpty) {
                if (!pass()) break;
                continue;
            }
        }
        std::uint64_t length = 0;
        Reason opened = 0;
        std::FILE* in = platform::OpenRegularFile(file.c_str(), &length, &opened);
        if (in == nullptr) {
            if (!platform::IsNotFound(opened)) return Fail(failure, opened, file);
            tell(entry, Difference::kMissingFile);
            if (!pass()) break;
            continue;
        }
        if (length != head.size) {
            std::fclose(in);
            tell(entry, Difference::kSize);
            if (!pass()) break;
            continue;
        }
        SameBytes same(in);
        const bool moved = PlainBytes(head, reader, &same, &why);
        std::fclose(in);
        if (!moved) {
            if (reader.damaged()) break;
            return Fail(failure, why, head.name, reader.read());
        }
        if (!same.matched()) tell(entry, Difference::kBytes);
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    // The folder's files that no entry names.
    FolderReturn back;
    if (!back.Enter(folder, &why)) return Fail(failure, why, folder);
    FolderListing listing;
    std::string culprit;
    if (!ListFolder({true, false, {}}, &listing, &culprit, &why)) {
        return Fail(failure, why, std::string(folder) + '/' + culprit);
    }
    back.Back();
    for (const auto* files : {&listing.files, &listing.refused}) {
        for (const FolderFile& file : *files) {
            if (named.count(file.name) == 0) tell(file.name, Difference::kMissingEntry);
        }
    }
    return true;
}
