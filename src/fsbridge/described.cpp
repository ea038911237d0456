// Descriptions applied to the entries of a pack read in order, and the checks of their bytes.
#include "fsbridge/described.h"

#include <new>
#include <vector>

using platform::Fail;
using platform::Reason;

bool DescribedEntries::MayDescribe(const PackEntry& head) {
    return descriptions::IsDescriptionName(head.name) && head.size <= descriptions::kMaxEncoded;
}

bool DescribedEntries::Meet(PackEntry& entry, const descriptions::Item** item, Reason* why) {
    *item = nullptr;
    // A candidate that does not decompress is an ordinary entry, its fault told where it is read.
    if (entry.data != nullptr && MayDescribe(entry) && entry.Decompress(nullptr)) {
        const unsigned char* bytes = entry.Lock();
        try {
            std::vector<descriptions::Item> items;
            if (bytes != nullptr && descriptions::Decode(bytes, entry.size, &items)) {
                End();
                matcher_.Take(std::move(items));
                name_ = entry.name;
                for (const descriptions::Item& alone : matcher_.items()) {
                    if (alone_ && !descriptions::HasEntry(alone.kind) && !alone_(alone, why)) {
                        return false;
                    }
                }
                return true;
            }
        } catch (const std::bad_alloc&) {
            Fail(why, platform::kErrorNoMemory);
            return false;
        }
    }
    *item = matcher_.Find(entry.name, entry.size);
    return false;
}

void DescribedEntries::End() {
    const std::size_t unmatched = matcher_.Unmatched();
    if (unmatched != 0 && stale_) stale_(name_.c_str(), unmatched);
    matcher_.Take({});
}

bool DescribedEntries::Take(EntryJob& held, Reason* why) {
    const descriptions::Item* item = nullptr;
    Reason failed = 0;
    if (Meet(*held.entry, &item, &failed)) {
        held.description = held.done = true;
    } else if (failed != 0) {
        return Fail(why, failed);
    } else if (item != nullptr) {
        if (!platform::WithMemory(why, [&] { held.item = *item; })) return false;
        held.checked = true;
        held.crc = item->crc;
    }
    return true;
}

bool CheckWhole(EntryJob& held, Reason* why) {
    if (!held.checked) return true;
    PackEntry& entry = *held.entry;
    if (!entry.Decompress(why)) return false;
    const unsigned char* bytes = entry.Lock();
    if (bytes == nullptr) return Fail(why, platform::kErrorNoMemory);
    if (descriptions::Crc32(0, bytes, entry.size) != held.crc) {
        return Fail(why, platform::kErrorChecksum);
    }
    return true;
}

bool CrcSink::Write(const unsigned char* bytes, std::size_t length, Reason* why) {
    crc_ = descriptions::Crc32(crc_, bytes, length);
    return next_ == nullptr || next_->Write(bytes, length, why);
}

bool CrcSink::Matches(std::uint32_t want, Reason* why) const {
    return crc_ == want || Fail(why, platform::kErrorChecksum);
}
