// The in-memory pack: a chain of entries, each holding one file's bytes in a memory block.
#pragma once

#include <cstdint>
#include <cstdio>

#include "pack/coders.h"
#include "pack/pack_format.h"
#include "platform/platform.h"

// What makes an entry's zlib stream. kZlib is zlib's `compress` at its default level, the
// bytes every pack has always held; kFast is libdeflate at level 6, several times as fast and
// a little smaller, an ordinary zlib stream that every reader decodes to the same bytes.
enum class Compressor : std::uint8_t { kZlib, kFast };

// One stored file. The entry owns its block and the entry behind it.
struct PackEntry {
    static constexpr std::size_t kNameSize = pack_format::kNameSize;  // the name field's width

    HGLOBAL data = nullptr;         // the bytes: plain, or the zlib stream when compressed
    unsigned char* view = nullptr;  // address of the block while this entry holds it locked
    std::uint32_t size = 0;         // uncompressed length
    std::uint32_t storedSize = 0;   // stream length while compressed
    char name[kNameSize] = {};      // NUL-terminated, zero behind the NUL
    PackEntry* next = nullptr;      // owned
    std::uint8_t compressed = 0;    // this entry's own flag

    PackEntry() = default;
    PackEntry(const PackEntry&) = delete;
    PackEntry& operator=(const PackEntry&) = delete;
    // Resets the entry, which frees the whole chain behind it.
    ~PackEntry();

    // Releases the block and every entry behind (with a loop, whatever the chain's length),
    // zeroes name and sizes. Leaves `compressed` as it is.
    void Reset();

    // Locks the block on first use and keeps its address in `view`; null without a block.
    unsigned char* Lock();

    // A name fits an entry when it has at most 31 bytes: a longer one is refused, never cut.
    static bool NameFits(const char* name);

    // Replaces the bytes by their zlib stream; true when the entry holds its stream. On any
    // failure (false, its reason in *why) the entry
    // keeps its bytes, sizes and flag and no block of the attempt is left. Once past the first
    // checks the entry is left locked with `view` at its current bytes. Safe on many threads at
    // once, each on its own entry.
    bool Compress(Compressor engine = Compressor::kZlib, platform::Reason* why = nullptr);

    // Replaces the zlib stream by exactly `size` plain bytes, true when the entry holds them;
    // the same failure and lock rules as Compress. A stream that gives more or fewer than `size`
    // bytes is a failure (kErrorCorruptData), and so is a damaged or truncated stream or one whose
    // checksum differs; bytes after a complete stream are ignored.
    bool Decompress(platform::Reason* why = nullptr);

    // How many data bytes follow the record head, by the entry's own flag.
    std::uint32_t DataLength() const { return compressed != 0 ? storedSize : size; }

    // Reads a whole regular file (1 byte to 4 GiB - 1, a name that fits) into the entry, named
    // by path as given. False leaves the entry reset (or untouched when path is null or empty).
    bool LoadFromFile(const char* path, platform::Reason* why = nullptr);
    // The same, the entry named `name` (which must fit) rather than by path, which may be longer.
    bool LoadFromFile(const char* path, const char* name, platform::Reason* why);
    // The same from a regular file open for reading at its start, `length` bytes long (as its
    // open told); the file stays open.
    bool LoadFromOpenFile(std::FILE* file, std::uint64_t length, const char* name,
                          platform::Reason* why);

    // Writes the entry's plain bytes to path, decompressing a compressed entry in place
    // first. The file appears whole or not at all: a failure leaves any earlier file at
    // path as it was and no temporary file behind.
    bool ExtractToFile(const char* path, platform::Reason* why = nullptr);
    // The same for the file `name`, one component, inside an open folder.
    bool ExtractToFile(const platform::Folder& folder, const char* name,
                       platform::Reason* why = nullptr);
};

// The whole pack held in memory.
struct Pack {
    PackEntry* head = nullptr;    // owned
    std::uint8_t compressed = 0;  // pack-wide flag, written to and read from the file as is
    std::uint32_t count = 0;      // entries reachable from head

    Pack() = default;
    Pack(const Pack&) = delete;
    Pack& operator=(const Pack&) = delete;
    ~Pack() { Clear(); }

    // Frees every entry; flag and count become 0.
    void Clear();
    // Puts entry (its `next` null), owned by the pack from now on, at the end of the chain.
    void Append(PackEntry* entry);

    PackEntry* First() const { return head; }
    std::uint32_t Count() const { return count; }
    std::uint8_t IsCompressed() const { return compressed; }

    // Loads a file into a new entry at the end, compressed when the pack is. False leaves
    // the pack unchanged. Every operation of the pack that can fail for a reason of the system
    // or the file keeps it in *why (when given).
    bool AddFile(const char* path, platform::Reason* why = nullptr);
    // Remove the first entry of that name, or the entry at a position from 0. False leaves
    // the pack unchanged.
    bool RemoveByName(const char* name);
    bool RemoveByIndex(std::uint32_t index);
    // The entry at a position from 0, or the first of that name; null when there is none.
    PackEntry* EntryAt(std::uint32_t index) const;
    PackEntry* FindByName(const char* name) const;

    // Compress or decompress every entry, each on its own, then set the pack's flag to 1 or
    // 0. workers 0 means one per core; the result never depends on the number.
    void Encode(unsigned workers = 0, Compressor engine = Compressor::kZlib);
    void Decode(unsigned workers = 0);

    // Replaces the pack with the pack file at path. False leaves the pack empty (untouched
    // for a null or empty path).
    bool Load(const char* path, platform::Reason* why = nullptr);
    // The same from an open stream holding `length` bytes from its current position.
    bool LoadStream(std::FILE* file, std::uint64_t length, platform::Reason* why = nullptr);
    // Writes the pack file, first bringing any entry whose flag differs from the pack's into
    // the pack's form (on every core). The file is replaced whole or not at all.
    bool Save(const char* path, platform::Reason* why = nullptr);

    // Replaces the pack with every regular file directly in folder, in NTFS's listing order
    // on every system (so one folder always gives one pack). False leaves the pack empty
    // (untouched for a null or empty folder). The current folder is kept.
    bool PackFolder(const char* folder, platform::Reason* why = nullptr);
    // Writes every entry as a file below folder, which must exist, on up to `workers` threads
    // (0: one per core), decompressing each in place. False when an entry cannot be written or
    // its name climbs out with "..": every entry before the first such one is written, no
    // entry behind a name that climbs out is, and of those behind a write that failed, none is
    // started once the failure is known. Entries landing on one file are written in pack
    // order, so the later one's bytes win.
    bool UnpackToFolder(const char* folder, unsigned workers = 0, platform::Reason* why = nullptr);

  private:
    // Takes entry out of the chain (prev is the entry before it, or null) and destroys it.
    void Unlink(PackEntry* prev, PackEntry* entry);

    PackEntry* last_ = nullptr;  // an entry of the chain at or before its end; null: none known
};
