// Pack files one record at a time: a reader, a writer, and the streaming operations of the
// command line, whose memory stays bounded whatever the pack's size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/atomic_file.h"

// Where a streaming operation failed: the entry, numbered from 1 (0 when the failure is not an
// entry's), and the item it concerns (a file, an entry's name or the pack file). The reason is
// the last error.
struct StreamFailure {
    std::uint32_t entry = 0;
    std::string item;
};

// Reads a pack file record by record through the codec of Pack::Load.
class PackReader {
  public:
    PackReader() = default;
    ~PackReader();
    PackReader(const PackReader&) = delete;
    PackReader& operator=(const PackReader&) = delete;

    // Opens the pack file and reads its header; false (last error set) when it cannot be read
    // or is not a pack file. A header with no entries is an empty pack.
    bool Open(const char* path);
    std::uint8_t flag() const { return flag_; }
    std::uint32_t count() const { return count_; }
    // Records whose head has been read.
    std::uint32_t read() const { return read_; }
    std::uint64_t length() const { return length_; }

    // The next record's head into entry, which takes the pack's flag; false after the last
    // record or at damage (last error set; damaged() tells which).
    bool NextHead(PackEntry* entry);
    bool damaged() const { return damaged_; }
    // The data of the record whose head was read last, into its entry; or past it.
    bool ReadData(PackEntry* entry);
    bool SkipData(const PackEntry& entry);
    // Closes the file, so that it can be replaced.
    void Close();

  private:
    std::FILE* file_ = nullptr;
    std::uint64_t length_ = 0;
    std::uint64_t left_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t read_ = 0;
    std::uint8_t flag_ = 0;
    bool damaged_ = false;
};

// Writes a pack file of a known number of records, whole or not at all. Small records are
// held back and written together, through the record writer of Pack::Save.
class PackWriter {
  public:
    // Starts the file with its header; ok() is false when it cannot be made.
    PackWriter(const char* path, std::uint8_t flag, std::uint32_t count);
    // An uncommitted file is removed; the last error, why it was given up, is kept.
    ~PackWriter();
    PackWriter(const PackWriter&) = delete;
    PackWriter& operator=(const PackWriter&) = delete;
    bool ok() const { return ok_; }
    // Writes the entry's record as it is (its form must be the pack's), taking the entry.
    bool Write(std::unique_ptr<PackEntry> entry);
    // Puts the file in place when every record promised was written.
    bool Commit();

  private:
    bool Flush();

    static constexpr std::size_t kHeldRecords = 256;
    static constexpr std::uint64_t kHeldBytes = std::uint64_t{1} << 20;

    platform::AtomicFile out_;
    std::uint32_t count_;
    std::uint32_t written_ = 0;
    bool ok_ = false;
    std::vector<std::unique_ptr<PackEntry>> held_;
    std::uint64_t heldBytes_ = 0;
};

// Every regular file directly in folder into the pack file at path, each compressed by engine
// when asked, in the order and form of Pack::PackFolder then Pack::Save (with zlib, byte for
// byte). False leaves any earlier file.
bool StreamPackFolder(const char* path, const char* folder, bool compress, Compressor engine,
                      StreamFailure* failure);

// Every entry of the pack file (or those named) as a file below folder, made when missing.
// Stops at the first damaged entry, after writing those before it.
bool StreamUnpack(const char* path, const char* folder, const std::vector<std::string>& names,
                  StreamFailure* failure);

// Reads every record and decompresses each compressed one to check that it gives its size.
bool StreamTest(const char* path, StreamFailure* failure);

// Appends files to the pack file (made when missing), compressed by engine when the pack is;
// records kept are copied as they are.
bool StreamAdd(const char* path, const std::vector<std::string>& files, Compressor engine,
               StreamFailure* failure);

// Removes the first entry of each name from the pack file; a name that matches no entry fails
// the whole command, leaving the file as it was.
bool StreamRemove(const char* path, const std::vector<std::string>& names, StreamFailure* failure);
