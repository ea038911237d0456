// The pack file's one codec: its header, its records, a reader that takes them one at a time
// and a writer that gathers them into few writes. Pack::Load and Pack::Save, and the command
// line's streaming operations, all go through it; the on-disk constants are in pack_format.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "pack/pack.h"
#include "platform/atomic_file.h"

// A pack file's header: the flag every record is read by, and the number of records.
struct PackHeader {
    std::uint8_t flag = 0;
    std::uint32_t count = 0;
};

// Reads and checks the header at the start of a file of `length` bytes: its magic, and a count
// of records the rest of the file can hold. False (kErrorNotPackFile, or the read's reason)
// otherwise. A count of 0 is the file of an empty pack, which is well formed: pack and remove
// write it, and list, test and unpack read it as a pack of no entries. Only Pack::Load refuses
// it, as there is nothing in it to load.
bool ReadHeader(std::FILE* file, std::uint64_t length, PackHeader* header, platform::Reason* why);

// The two halves of a record. The head gives the entry (reset first, its `compressed` flag kept:
// it says how long the data is) its name and sizes, believing no length beyond the `available`
// bytes of the file, no size its stream could never expand to, and no name without its end;
// the entry is left without a block. The data then reads the DataLength() bytes behind it. False
// resets the entry (kErrorDamagedRecord, or the read's reason).
bool ReadRecordHead(std::FILE* file, std::uint64_t available, PackEntry* entry,
                    platform::Reason* why);
bool ReadRecordData(std::FILE* file, PackEntry* entry, platform::Reason* why);

// Reads a pack file record by record, front to back.
class PackReader {
  public:
    PackReader() = default;
    ~PackReader() { Close(); }
    PackReader(const PackReader&) = delete;
    PackReader& operator=(const PackReader&) = delete;

    // Opens the pack file and reads its header; false when it cannot be read or is not a pack
    // file.
    bool Open(const char* path, platform::Reason* why);
    // The same over an open stream holding `length` bytes from its position, left open at the end.
    bool Open(std::FILE* file, std::uint64_t length, platform::Reason* why);
    const PackHeader& header() const { return header_; }
    // Records whose head has been read.
    std::uint32_t read() const { return read_; }

    // The next record into entry, which takes the pack's flag. False after the last record
    // (*why untouched) or at damage (damaged() true).
    bool Next(PackEntry* entry, platform::Reason* why);
    // The same for its head alone; ReadData or SkipData then takes its data.
    bool NextHead(PackEntry* entry, platform::Reason* why);
    bool damaged() const { return damaged_; }
    // The data of the record whose head was read last, into its entry; or past it.
    bool ReadData(PackEntry* entry, platform::Reason* why);
    bool SkipData(const PackEntry& entry, platform::Reason* why);
    // Closes a file this reader opened, so that it can be replaced.
    void Close();

  private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    PackHeader header_;
    std::uint64_t left_ = 0;
    std::uint32_t read_ = 0;
    bool damaged_ = false;
};

// Writes a pack file of a known number of records, whole or not at all. Records are held back
// (up to 256 of them, or 1 MiB of data) and written together, each entry's data straight from
// its block, which stays locked until then.
class PackWriter {
  public:
    // Starts the file with its header; ok() is false when it cannot be made.
    PackWriter(const char* path, std::uint8_t flag, std::uint32_t count);
    ~PackWriter() { Release(); }
    PackWriter(const PackWriter&) = delete;
    PackWriter& operator=(const PackWriter&) = delete;
    bool ok() const { return reason_ == 0; }
    // Why the file could not be made, or a write failed.
    platform::Reason reason() const { return reason_; }

    // Writes the entry's record: its head and exactly the data its own flag calls for. A
    // borrowed entry must stay as it is until the writer is done with it (the next write that
    // flushes, or Commit); a taken one is freed once written.
    bool Write(PackEntry* entry);
    bool Write(std::unique_ptr<PackEntry> entry);
    // Puts the file in place when every record promised was written.
    bool Commit(platform::Reason* why);

  private:
    static constexpr std::size_t kHeldRecords = 256;
    static constexpr std::uint64_t kHeldBytes = std::uint64_t{1} << 20;

    bool Hold(PackEntry* entry, bool owned);
    bool Flush();
    void Release();

    platform::AtomicFile out_;
    std::uint32_t count_;
    std::uint32_t written_ = 0;
    platform::Reason reason_ = 0;
    unsigned char header_[pack_format::kHeaderSize];
    bool headerHeld_ = true;  // the header goes out with the first records
    PackEntry* held_[kHeldRecords];
    bool owned_[kHeldRecords];
    unsigned char heads_[kHeldRecords][pack_format::kRecordHeadSize];
    std::size_t records_ = 0;
    std::uint64_t heldBytes_ = 0;
};
