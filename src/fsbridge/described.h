// Descriptions met while a pack is read in order, and the checksums they give its entries.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fsbridge/entry_job.h"
#include "pack/descriptions.h"
#include "pack/pieces.h"

// Follows the descriptions of a pack read front to back, on the window's thread.
class DescribedEntries {
  public:
    // Told of each description whose items are not all matched, once the next one is met or
    // End is called.
    using Stale = std::function<void(const char* description, std::size_t unmatched)>;
    // Told of each item held by no entry (a folder, a link), in the description's order, as the
    // description is taken; false, with *why, fails the Take.
    using Alone = std::function<bool(const descriptions::Item& item, platform::Reason* why)>;
    explicit DescribedEntries(Stale stale = {}, Alone alone = {})
        : stale_(std::move(stale)), alone_(std::move(alone)) {}
    // After the last entry: tells whether the last description was matched whole.
    void End();

    // Once the job's record is taken (its data read, or left where it lies when moved in
    // pieces): a whole description is decoded and takes the place of the one before, and the
    // job is marked a description and done; any other entry that an item matches by name and
    // plain size is marked with that item (held.item), whose CRC-32 its plain bytes must have.
    // False when a description's data cannot be decoded for want of memory, or Alone fails
    // (*why).
    bool Take(EntryJob& held, platform::Reason* why);
    // The same for an entry alone: true when it is a description, now taken; else *item is the
    // item that describes it (or null). *why is set only for want of memory.
    bool Meet(PackEntry& entry, const descriptions::Item** item, platform::Reason* why);
    // The item that would describe an entry of this head, left unmatched; null when none.
    const descriptions::Item* Peek(const PackEntry& head) const {
        return matcher_.Peek(head.name, head.size);
    }
    // Whether the record of this head may be a description, whose data is then to be read.
    static bool MayDescribe(const PackEntry& head);
    // The items of the description in force (those Meet and Take give point into them).
    const std::vector<descriptions::Item>& items() const { return matcher_.items(); }

  private:
    descriptions::Matcher matcher_;
    Stale stale_;
    Alone alone_;
    std::string name_;  // the stored name of the description in force
};

// Checks a held entry's plain bytes against the CRC-32 its job is marked with, decompressing it
// in place first; false with kErrorChecksum when they differ, or the reason of Decompress.
bool CheckWhole(EntryJob& held, platform::Reason* why);

// Passes plain bytes on to another sink (or nowhere) and keeps their CRC-32.
class CrcSink final : public PieceSink {
  public:
    explicit CrcSink(PieceSink* next = nullptr) : next_(next) {}
    bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // True when the bytes passed have the CRC-32 `want`; else false with kErrorChecksum.
    bool Matches(std::uint32_t want, platform::Reason* why) const;

  private:
    PieceSink* next_;
    std::uint32_t crc_ = 0;
};
