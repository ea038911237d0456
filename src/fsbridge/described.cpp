// Descriptions applied to the entries of a pack read in order, and the checks of their bytes.
#include "fsbridge/described.h"

#include <new>
#include <vector>

using platform::Fail;
using platform::Reason;

bool DescribedEntries::Take(EntryJob& held, Reason* why) {
    PackEntry& entry = *held.entry;
    const bool whole = entry.data != nullptr;
    if (whole && descriptions::IsDescriptionName(entry.name) &&
        entry.size <= descriptions::kMaxEncoded) {
        if (!entry.Decompress(why)) return true;  // damaged: an ordinary entry, its fault told
        const unsigned char* bytes = entry.Lock();
        try {
            std::vector<descriptions::Item> items;
            if (bytes != nullptr && descriptions::Decode(bytes, entry.size, &items)) {
                matcher_.Take(std::move(items));
                held.description = held.done = true;
                return true;
            }
        } catch (const std::bad_alloc&) {
            return Fail(why, platform::kErrorNoMemory);
        }
    }
    const descriptions::Item* item = matcher_.Find(entry.name, entry.size);
    if (item != nullptr) {
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
