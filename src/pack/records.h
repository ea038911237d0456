// The pack file's one codec: its header, its records, a reader that takes them one at a time
// and a writer that gathers them into few writes. Pack::Load and Pack::Save, and the command
// line's streaming operations, all go through it; the on-disk constants are in pack_format.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "pack/pack.h"
#include "pack/pieces.h"
#include "platform/atomic_file.h"

// A pack file's header: the flag every record is read by, and the number of records.
struct PackHeader {
    std::uint8_t flag = 0;
    std::uint32_t count = 0;
};

// Reads a pack file record by record, front to back. As the PieceSource it is, it reads the
// data of the record whose head was read last.
class PackReader final : public PieceSource {
  public:
    PackReader() = default;
    ~PackReader() { Close(); }
    PackReader(const PackReader&) = delete;
    PackReader& operator=(const PackReader&) = delete;

    // Opens the pack file and reads and checks its header: its magic, and a count of records the
    // rest of the file can hold; false otherwise (kErrorNotPackFile, or the read's reason). A
    // count of 0 is the file of an empty pack, which is well formed: pack and remove write it,
    // and list, test and unpack read it as a pack of no entries. Only Pack::Load refuses it, as
    // there is nothing in it to load.
    bool Open(const char* path, platform::Reason* why);
    // The same over an open stream holding `length` bytes from its position, left open at the
    // end. A length of platform::kUnknownLength is a stream that cannot seek or tell its length
    // (a pipe): records are taken as they come, data is passed over by reading it, and input
    // that ends early is the record it ends in, damaged.
    bool Open(std::FILE* file, std::uint64_t length, platform::Reason* why);
    const PackHeader& header() const { return header_; }
    // Records whose head has been read.
    std::uint32_t read() const { return read_; }

    // The next record's head into entry, which is reset and takes the pack's flag, and is left
    // without a block. No length beyond the bytes left in the file is believed, no size its
    // stream could never expand to, and no name without its end. False after the last record
    // (*why untouched) or at damage (kErrorDamagedRecord, or the read's reason; damaged() true).
    bool NextHead(PackEntry* entry, platform::Reason* why);
    bool damaged() const { return damaged_; }
    // The record, from 1, whose head or data was found damaged.
    std::uint32_t damagedRecord() const { return record_; }
    // The data of the record whose head was read last, into its entry (reset on a failure); or
    // past it, or past what is left of it. A block is allocated for the length the head tells:
    // on a stream of unknown length, records larger than a few MiB are better read in pieces.
    bool ReadData(PackEntry* entry, platform::Reason* why);
    bool SkipData(const PackEntry& entry, platform::Reason* why);
    bool SkipRest(platform::Reason* why);
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override;

    // The file's data read apart from this reader, on any thread, and where in it the data of
    // the record whose head was read last lies. Null for a stream of unknown length, or when the
    // file cannot be reached so.
    const platform::FileAt* DataFile();
    std::uint64_t DataOffset() const { return position_ - at_; }
    // Closes a file this reader opened, so that it can be replaced.
    void Close();

  private:
    // Reads exactly `length` bytes; a shortfall at the end of the file is `damage`.
    bool ReadExactly(void* bytes, std::size_t length, platform::Reason damage,
                     platform::Reason* why);
    // Moves past `length` bytes of the current record's data.
    bool Pass(std::uint64_t length, platform::Reason* why);

    std::FILE* file_ = nullptr;
    bool owned_ = false;
    bool sized_ = true;
    PackHeader header_;
    std::uint64_t left_ = 0;      // bytes left after the current record, as far as known
    std::uint64_t position_ = 0;  // bytes read or passed since the header's first
    std::uint64_t data_ = 0;      // bytes of the current record's data not yet read
    std::uint32_t read_ = 0;
    std::uint32_t record_ = 0;  // the record being read, from 1
    bool damaged_ = false;
    platform::FileAt fileAt_;
    std::uint64_t at_ = 0;  // the position fileAt_ counts its offsets from
    bool tried_ = false;    // fileAt_ was asked for
};

// The data of one record read in pieces from a pack file, apart from its reader.
class RecordAt final : public PieceSource {
  public:
    RecordAt(const platform::FileAt& file, std::uint64_t offset, std::uint32_t length)
        : file_(file), offset_(offset), left_(length) {}
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override;

  private:
    const platform::FileAt& file_;
    std::uint64_t offset_;
    std::uint32_t left_;
};

// Writes a pack file of a known number of records, whole or not at all. Records are held back
// (up to 256 of them, or 1 MiB of data) and written together, each entry's data straight from
// its block, which stays locked until then.
class PackWriter {
  public:
    // Starts the file with its header; ok() is false when it cannot be made. The path is the
    // user's: see platform::AtomicFile for the links followed and the pipes written into.
    PackWriter(const char* path, std::uint8_t flag, std::uint32_t count);
    // The same into standard output, written straight.
    PackWriter(platform::StandardOutput to, std::uint8_t flag, std::uint32_t count);
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
    // Writes the record of the entry's head (it holds no block) with its data read from `data`
    // to the end, which must give exactly the length the head tells. A failure of `data` (or a
    // length it does not give, kErrorFailed) goes to *why and leaves the file unfinished: ok()
    // stays true, but nothing more is written and Commit fails.
    bool Write(const PackEntry& head, PieceSource& data, platform::Reason* why);
    // Puts the file in place when every record promised was written.
    bool Commit(platform::Reason* why);
    // The bytes written so far: the pack's length once committed.
    std::uint64_t bytes() const { return bytes_; }

  private:
    static constexpr std::size_t kHeldRecords = 256;
    static constexpr std::uint64_t kHeldBytes = std::uint64_t{1} << 20;

    void Begin(std::uint8_t flag);
    bool Hold(PackEntry* entry, bool owned);
    bool Flush();
    void Release();

    platform::AtomicFile out_;
    std::uint32_t count_;
    std::uint32_t written_ = 0;
    std::uint64_t bytes_ = 0;
    platform::Reason reason_ = 0;
    unsigned char header_[pack_format::kHeaderSize];
    bool headerHeld_ = true;  // the header goes out with the first records
    PackEntry* held_[kHeldRecords];
    bool owned_[kHeldRecords];
    unsigned char heads_[kHeldRecords][pack_format::kRecordHeadSize];
    std::size_t records_ = 0;
    std::uint64_t heldBytes_ = 0;
    bool cut_ = false;  // a record's data ended early: the file is never finished
};
