// Edits of a pack seen through its descriptions: what rename and remove change, found from a
// first reading, then applied in one copy of the pack.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fsbridge/streams.h"
#include "pack/descriptions.h"

inline constexpr std::uint32_t kNoRecord = UINT32_MAX;

// One thing of the pack as a reader of descriptions meets it, in pack order.
struct Met {
    enum class What { kDescription, kEntry, kAlone } what = What::kEntry;
    std::uint32_t record = kNoRecord;          // its record; kNoRecord for an item alone
    std::uint32_t description = kNoRecord;     // the record of the description of its item
    std::uint32_t index = 0;                   // the item's place there; a description's item count
    const descriptions::Item* item = nullptr;  // null for an undescribed entry, a description
    const char* stored = nullptr;              // the entry's stored name; null for an item alone
    // A record's head (its data read when *consumed), and the reader at its data, which a visit
    // may read, setting *consumed; null for an item alone.
    PackEntry* head = nullptr;
    PackReader* reader = nullptr;
    bool* consumed = nullptr;
    // The full path: the item's, else the stored name.
    std::string Path() const { return item != nullptr ? item->path : std::string(stored); }
};

// An item met, kept beyond the visit: where it is, and what it holds.
struct MetItem {
    std::uint32_t record = kNoRecord;
    std::uint32_t description = kNoRecord;
    std::uint32_t index = 0;
    descriptions::Item item;
};

// Reads the pack's heads and its descriptions, telling each thing met; false when the pack
// cannot be read whole, or visit fails (then *failure is its own).
bool WalkPack(const char* path, const std::function<bool(const Met&)>& visit,
              platform::Failure* failure);

// What one copy of a pack changes.
struct PackEdits {
    std::map<std::uint32_t, std::string> names;  // entry record -> its new stored name
    std::set<std::uint32_t> dropped;             // records left out
    // description record -> item place -> its new item, or none when it goes
    std::map<std::uint32_t, std::map<std::uint32_t, std::optional<descriptions::Item>>> items;
    std::map<std::uint32_t, std::uint32_t> counts;  // description record -> its item count

    // Each description whose every item goes, dropped with them.
    void DropEmptied();
    // The item at place `index` of `description` (met as `item`), as the edits leave it so far;
    // null when it goes.
    descriptions::Item* Edited(std::uint32_t description, std::uint32_t index,
                               const descriptions::Item& item);
};

// Gives an item (and the entry holding it) the path `to`: the entry is stored under `to` when
// that fits and no entry is stored so (`storedTaken`), else keeps a stand-in it has, else takes
// the stand-in numbered *next. Parts keep their stand-ins.
void Repath(PackEdits* edits, const MetItem& met, const std::string& to, bool storedTaken,
            std::uint32_t* next);
// Every hard link among links that names `from` is given the target `to`.
void Retarget(PackEdits* edits, const std::vector<MetItem>& links, const std::string& from,
              const std::string& to);

// Copies the pack under its lock (held by the caller) with the edits applied: records dropped
// or renamed, descriptions encoded again with their items changed; every other record as it
// is. False, the pack left as it was, at any failure.
bool ApplyEdits(const char* path, const PackEdits& edits, const StreamOptions& options,
                platform::Failure* failure);

// A path a description may hold: relative, parts of no "." or "..", none empty, at most
// kMaxPath; else false with kErrorNoFileName, kErrorClimbsOut or kErrorPathTooLong.
bool DescribablePath(const std::string& path, platform::Reason* why);

// Raises *next above N when name is prefix followed by the decimal N.
void Above(const char* name, const char* prefix, std::uint32_t* next);

// The items of the description an entry holds, when it is one.
bool Decoded(PackEntry& entry, std::vector<descriptions::Item>* items);

// Raises *next above the number of every stand-in name met.
void CountStandIns(const Met& met, std::uint32_t* next);
