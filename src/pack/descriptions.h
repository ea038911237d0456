// Descriptions: ordinary entries of a reserved name whose data says what the entries after them
// are (full path, kind, mode, time, link target) and what their plain bytes must be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace descriptions {

// What a described item is. A file, an empty file and a part are held by an entry; a folder, a
// symbolic link and a hard link are the description's alone.
enum class Kind : std::uint8_t {
    kFile = 0,
    kFolder = 1,
    kSymlink = 2,
    kHardLink = 3,
    kEmpty = 4,
    kPart = 5,
};

inline constexpr unsigned char kMagic[4] = {'Z', 'r', 'D', 's'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kMaxItems = 256;
inline constexpr std::size_t kMaxPath = 4096;
inline constexpr std::size_t kMaxStoredName = 31;
// The stored names of descriptions and of stand-ins for paths too long to be stored names.
inline constexpr char kDescriptionPrefix[] = ".zoreldesc.";
inline constexpr char kStandInPrefix[] = ".zorellong.";
// No description is longer: its head, its items at their longest, its checksum.
inline constexpr std::size_t kMaxEncoded =
    8 + kMaxItems * (1 + 1 + kMaxStoredName + 4 + 4 + 4 + 8 + 2 + kMaxPath + 2 + kMaxPath + 8) + 4;

struct Item {
    Kind kind = Kind::kFile;
    std::string stored;        // the entry's stored name; empty for a folder or a link
    std::uint32_t size = 0;    // the entry's plain size
    std::uint32_t crc = 0;     // the CRC-32 of the entry's plain bytes
    std::uint32_t mode = 0;    // permission bits (07777)
    std::int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01 UTC
    std::string path;          // the full path, '/' between its parts
    std::string target;        // a symbolic link's text, a hard link's path
    std::uint64_t offset = 0;  // a part's place in its file
    bool operator==(const Item&) const = default;
};

// True when kind is held by an entry.
bool HasEntry(Kind kind);

// The CRC-32 (as zip and gzip use) of bytes, continuing from crc (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* bytes, std::size_t length);

// The stored name of the description numbered index, or of the stand-in numbered index; each at
// most 31 bytes, unique for each index.
std::string DescriptionName(std::uint32_t index);
std::string StandInName(std::uint32_t index);
// True when name is a description's stored name: only such entries are decoded.
bool IsDescriptionName(const char* name);

// The bytes of a description of 1 to kMaxItems items, each well formed (a stored name of 1 to 31
// bytes exactly for the kinds held by an entry, a path of 1 to kMaxPath bytes, a target of at
// most kMaxPath); false, with *out untouched, for anything else.
bool Encode(const std::vector<Item>& items, std::vector<unsigned char>* out);
// The items of the description in bytes; false, with *items empty, for bytes that are not one
// whole description of this version whose own checksum matches.
bool Decode(const unsigned char* bytes, std::size_t length, std::vector<Item>* items);

// The items of the description read last, matched against the entries after it. Each item
// matches at most one entry.
class Matcher {
  public:
    // Replaces the items held by those of a new description.
    void Take(std::vector<Item> items);
    // The item held for an entry of that stored name and plain size, not matched before; null
    // when there is none. The caller still compares the CRC once the bytes are read.
    const Item* Find(const char* stored, std::uint32_t size);
    // The item Find would give, left unmatched.
    const Item* Peek(const char* stored, std::uint32_t size) const;
    // The items held that no entry matched (after the last entry, or before a new description).
    std::size_t Unmatched() const;
    const std::vector<Item>& items() const { return items_; }

  private:
    // Moves first_ past the items no entry can match any more.
    void Advance();

    std::vector<Item> items_;
    std::vector<bool> used_;
    std::size_t first_ = 0;  // no item before it is left to match: entries mostly come in order
};

}  // namespace descriptions
