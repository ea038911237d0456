// rename: the pack copied record by record, one record's head given its new name.
#include "fsbridge/rename.h"

#include <cstring>

#include "fsbridge/sources.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Reason;

namespace {

// Records copied as they are, the one at `record` (from 0) under the name `to`.
class RenameSource final : public CopySource {
  public:
    RenameSource(PackReader* reader, PackWriter* writer, std::uint32_t record, const char* to)
        : CopySource(reader, writer), record_(record), to_(to) {}

  private:
    bool Taken(Job& job) override {
        EntryJob& held = Held(job);
        if (held.record == record_) {
            std::memset(held.entry->name, 0, sizeof held.entry->name);
            std::memcpy(held.entry->name, to_, std::strlen(to_));  // fits: checked before
        }
        return true;
    }
    std::uint32_t record_;
    const char* to_;
};

// The place (from 0) of the first record named `name`; false when none is, or at damage.
bool Find(const char* path, const std::string& name, std::uint32_t* record,
          platform::Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!reader.Open(path, &why)) return Fail(failure, why, path);
    PackEntry head;
    while (reader.NextHead(&head, &why)) {
        if (name == head.name) {
            *record = reader.read() - 1;
            return true;
        }
        if (!reader.SkipData(head, &why)) break;
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    return Fail(failure, platform::kErrorNoSuchEntry, std::string(path) + ": " + name);
}

}  // namespace

bool StreamRename(const char* path, const std::string& from, const std::string& to,
                  const StreamOptions& options, platform::Failure* failure) {
    if (to.empty()) return Fail(failure, platform::kErrorNoFileName, to);
    if (!PackEntry::NameFits(to.c_str())) return Fail(failure, platform::kErrorNameTooLong, to);
    platform::PackLock lock;
    Reason why = 0;
    if (!lock.Take(path, options.wait, &why, &failure->holder)) return Fail(failure, why, path);
    std::uint32_t record = 0;
    if (!Find(path, from, &record, failure)) return false;
    PackReader reader;
    if (!reader.Open(path, &why)) return Fail(failure, why, path);
    const PackHeader header = reader.header();
    PackWriter writer(path, header.flag, header.count);
    RenameSource source(&reader, &writer, record, to.c_str());
    platform::Failure window;
    if (writer.ok() &&
        !RunWindow(source, kWindowBytes, options.workers, &SharedProgress(), &window) &&
        writer.ok()) {
        return Fail(failure, window.reason, window.item, window.entry);
    }
    reader.Close();
    return writer.Commit(&why) || Fail(failure, why, path);
}
