// Entries moved a piece at a time: the stored bytes read from where they lie and the plain
// bytes handed on as they are made, so that an entry of any size takes a few pieces of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "pack/pack.h"

// What an entry decoded whole holds at its peak: its data, and the plain bytes made of it.
inline std::uint64_t WholeCost(const PackEntry& head) {
    return std::uint64_t{head.DataLength()} + (head.compressed != 0 ? head.size : 0);
}
// The command line's unpack and test decode an entry whole (with libdeflate, the faster) while
// that takes at most this much; larger ones are moved in pieces (with ISA-L where it is built in,
// else zlib).
inline constexpr std::uint64_t kWholeCostMost = std::uint64_t{48} << 20;
// What one entry moved in pieces holds: a piece of each form and the inflater's (or deflater's)
// state.
inline constexpr std::size_t kPlainPiece = std::size_t{1} << 20;
inline constexpr std::size_t kStoredPiece = std::size_t{256} << 10;
inline constexpr std::uint64_t kPiecesCost =
    kPlainPiece + kStoredPiece + (std::uint64_t{128} << 10);

// An entry's data as stored, read front to back.
class PieceSource {
  public:
    // Up to `length` next bytes: how many came. 0 once every byte of the data was read, and at
    // a failure, whose reason then goes to *why (kErrorDamagedRecord for data that ends early).
    virtual std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) = 0;

  protected:
    ~PieceSource() = default;
};

// The bytes of a file open for reading, from its position to its end or, given a length, that
// many of them at most.
class FilePieces final : public PieceSource {
  public:
    explicit FilePieces(std::FILE* file, std::uint64_t length = UINT64_MAX)
        : file_(file), left_(length) {}
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override {
        if (length > left_) length = static_cast<std::size_t>(left_);
        const std::size_t got = length == 0 ? 0 : platform::ReadBytes(file_, bytes, length, why);
        left_ -= got;
        return got;
    }

  private:
    std::FILE* file_;
    std::uint64_t left_;
};

// Where an entry's plain bytes go, in their order.
class PieceSink {
  public:
    virtual bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) = 0;

  protected:
    ~PieceSink() = default;
};

// Plain bytes held against those of a file from its position, as they come. Every write is
// taken; a byte that differs, or one the file cannot give (fileWhy), ends the reading.
class SameBytes final : public PieceSink {
  public:
    explicit SameBytes(std::FILE* file) : file_(file) {}
    bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // Whether every byte written matched the file's.
    bool matched() const { return matched_; }
    // After the last byte: true when every byte matched and the file held no more.
    bool Ended();
    platform::Reason fileWhy() const { return fileWhy_; }

  private:
    std::FILE* file_;
    bool matched_ = true;
    platform::Reason fileWhy_ = 0;
};

// The inflaters an entry moved in pieces can be read with: kBest is ISA-L's where this build has
// it (HaveIsal), else zlib's; kIsal without it is zlib's too.
enum class PieceDecoder { kBest, kZlib, kIsal };
bool HaveIsal();

// Gives the plain bytes of the entry of this head (its sizes and flag) to `out` (none: they are
// only checked), reading its data from `in` to the end. The verdicts of PackEntry::Decompress:
// a stream that gives more or fewer than `size` bytes, is damaged, ends before its checksum or
// has another checksum is kErrorCorruptData; bytes after its checksum are read and ignored. A
// failure of `in` or `out` is theirs. False stops at once: the rest of the data is left unread.
bool MovePieces(const PackEntry& head, PieceSource& in, PieceSink* out, platform::Reason* why,
                PieceDecoder decoder = PieceDecoder::kBest);
// The plain bytes of the entry of this head to `out`: decoded whole when its data is held (read
// whole, as a description's is), else moved in pieces from `in` by MovePieces.
bool PlainBytes(PackEntry& head, PieceSource& in, PieceSink* out, platform::Reason* why);

// Makes the stored bytes of an entry of `size` plain bytes, read from `in`, and hands them to
// `out` in order: with `compress` the zlib stream PackEntry::Compress makes with zlib (the same
// bytes, however `in` cuts its pieces), else the plain bytes themselves. *stored: how many were
// handed on. Input that ends before `size` bytes is kErrorFailed (a file cut short under us), a
// stream too long for 32 bits kErrorFileTooLarge; a failure of `in` or `out` is theirs. The fast
// engine, which makes streams only of whole entries, gives way here to zlib at its fastest level.
bool StorePieces(std::uint32_t size, bool compress, PieceSource& in, PieceSink& out,
                 std::uint32_t* stored, platform::Reason* why,
                 Compressor engine = Compressor::kZlib);

// How much of an entry's stored bytes a Spill holds in memory before it writes to a file.
inline constexpr std::size_t kSpillMemory = std::size_t{4} << 20;

// Bytes made before they can be written where they go (an entry's stored bytes, whose length
// its record must tell first): the first `memory` bytes held, the rest in a scratch file. Written
// front to back, then read back front to back from Rewind on.
class Spill final : public PieceSink, public PieceSource {
  public:
    explicit Spill(std::size_t memory = kSpillMemory) : memory_(memory) {}
    ~Spill();
    Spill(const Spill&) = delete;
    Spill& operator=(const Spill&) = delete;

    bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // Reading starts again at the first byte; false when the file cannot be gone back in.
    bool Rewind(platform::Reason* why);
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // The bytes written, and how many of them went to the file.
    std::uint64_t size() const { return held_ + filed_; }
    std::uint64_t filed() const { return filed_; }
    // The memory it holds.
    std::size_t capacity() const { return capacity_; }

  private:
    std::size_t memory_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t held_ = 0;
    std::FILE* file_ = nullptr;
    std::uint64_t filed_ = 0;
    std::uint64_t read_ = 0;  // bytes read back since Rewind
};
