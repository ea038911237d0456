// Entries moved a piece at a time: the stored bytes read from where they lie and the plain
// bytes handed on as they are made, so that an entry of any size takes a few pieces of memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/pack.h"

// What an entry decoded whole holds at its peak: its data, and the plain bytes made of it.
inline std::uint64_t WholeCost(const PackEntry& head) {
    return std::uint64_t{head.DataLength()} + (head.compressed != 0 ? head.size : 0);
}
// The command line's unpack and test decode an entry whole (with libdeflate, the faster) while
// that takes at most this much; larger ones are moved in pieces (with ISA-L where it is built in,
// else zlib).
inline constexpr std::uint64_t kWholeCostMost = std::uint64_t{48} << 20;
// What one entry moved in pieces holds: a piece of each form and the inflater's state.
inline constexpr std::size_t kPlainPiece = std::size_t{1} << 20;
inline constexpr std::size_t kStoredPiece = std::size_t{256} << 10;
inline constexpr std::uint64_t kPiecesCost = kPlainPiece + kStoredPiece + (std::uint64_t{64} << 10);

// An entry's data as stored, read front to back.
class PieceSource {
  public:
    // Up to `length` next bytes: how many came. 0 once every byte of the data was read, and at
    // a failure, whose reason then goes to *why (kErrorDamagedRecord for data that ends early).
    virtual std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) = 0;

  protected:
    ~PieceSource() = default;
};

// Where an entry's plain bytes go, in their order.
class PieceSink {
  public:
    virtual bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) = 0;

  protected:
    ~PieceSink() = default;
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
