// The menu's operations between the pack in memory and the files: pack a folder, add a file,
// unpack every entry into a folder.
#include <new>
#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "fsbridge/sources.h"
#include "fsbridge/unpack.h"
#include "pack/pack.h"
#include "pack/progress.h"
#include "pack/window.h"
#include "platform/lock.h"

using platform::Fail;
using platform::Reason;

bool Pack::PackFolder(const char* folder, Reason* why) {
    if (folder == nullptr || *folder == '\0') return Fail(why, platform::kErrorFailed);
    Clear();
    // Without a way back, the folder is never entered.
    FolderReturn visit;
    if (!visit.Enter(folder, why)) return false;
    std::vector<FolderFile> files;
    std::string culprit;
    bool packed = ListFolderFiles(&files, &culprit, why);
    if (packed) {
        SharedProgress().Start(files.size(), BytesOf(files));
        FileSource source(files, false, Compressor::kZlib, kNoBudget, EntrySink(this));
        platform::Failure failure;
        packed = RunWindow(source, kNoBudget, 0, &SharedProgress(), &failure) ||
                 Fail(why, failure.reason);
    }
    visit.Back();
    if (!packed) Clear();
    return packed;
}

bool Pack::AddFile(const char* path, Reason* why) {
    auto* entry = new (std::nothrow) PackEntry;
    if (entry == nullptr) return Fail(why, platform::kErrorNoMemory);
    if (!entry->LoadFromFile(path, why)) {
        delete entry;
        return false;
    }
    if (compressed != 0) entry->Compress();
    Append(entry);
    return true;
}

namespace {

// The menu's unpack: every entry of the chain, in its order.
class ChainUnpack final : public InOrderSource {
  public:
    ChainUnpack(const Pack& pack, const platform::Folder& target)
        : InOrderSource(pack.count), next_(pack.head), unpacker_(target) {}
    bool Take(Job& job) override {
        InOrderSource::Take(job);
        job.bytes = next_->size;
        PackEntry* entry = next_;
        next_ = next_->next;
        return Hold(job, entry) && unpacker_.Take(job);
    }
    bool Work(Job& job) override { return unpacker_.Work(job); }
    bool Finish(Job& job) override { return unpacker_.Finish(job); }

  private:
    PackEntry* next_;
    Unpacker unpacker_;
};

}  // namespace

bool Pack::UnpackToFolder(const char* folder, unsigned workers, Reason* why) {
    if (folder == nullptr) return Fail(why, platform::kErrorFailed);
    platform::Folder target;
    if (!target.Open(folder, why)) return false;
    platform::ClearStaleTempFiles(folder);
    std::uint64_t bytes = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) bytes += entry->size;
    SharedProgress().Start(count, bytes);
    ChainUnpack source(*this, target);
    platform::Failure failure;
    return RunWindow(source, kNoBudget, workers, &SharedProgress(), &failure) ||
           Fail(why, failure.reason);
}
