// Bytes held back before their turn to be written: in memory up to a bound, then in a file.
#include <cstring>
#include <new>

#include "pack/pieces.h"

using platform::Fail;
using platform::Reason;

Spill::~Spill() {
    if (file_ != nullptr) std::fclose(file_);
}

bool Spill::Write(const unsigned char* bytes, std::size_t length, Reason* why) {
    // Memory grows by doubling up to its bound, so that small entries take little of it.
    const std::size_t room = memory_ - held_;
    const std::size_t kept = length < room ? length : room;
    if (kept != 0 && held_ + kept > capacity_) {
        std::size_t capacity = capacity_ == 0 ? kStoredPiece : capacity_;
        while (capacity < held_ + kept) capacity *= 2;
        if (capacity > memory_) capacity = memory_;
        std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[capacity]);
        if (grown == nullptr) return Fail(why, platform::kErrorNoMemory);
        if (held_ != 0) std::memcpy(grown.get(), bytes_.get(), held_);
        bytes_ = std::move(grown);
        capacity_ = capacity;
    }
    if (kept != 0) std::memcpy(bytes_.get() + held_, bytes, kept);
    held_ += kept;
    if (kept == length) return true;
    if (file_ == nullptr && (file_ = platform::OpenScratchFile(why)) == nullptr) return false;
    const platform::WritePiece rest{bytes + kept, length - kept};
    if (!platform::WritePieces(file_, &rest, 1, why)) return false;
    filed_ += rest.length;
    return true;
}

bool Spill::Rewind(Reason* why) {
    read_ = 0;
    if (file_ == nullptr) return true;
    return (platform::Flush(file_, why) && std::fseek(file_, 0, SEEK_SET) == 0) ||
           Fail(why, platform::kErrorFailed);
}

std::size_t Spill::Read(unsigned char* bytes, std::size_t length, Reason* why) {
    if (read_ < held_) {
        const std::size_t piece = held_ - read_ < length ? held_ - read_ : length;
        std::memcpy(bytes, bytes_.get() + read_, piece);
        read_ += piece;
        return piece;
    }
    const std::uint64_t left = size() - read_;
    const std::size_t piece = left < length ? static_cast<std::size_t>(left) : length;
    if (piece == 0) return 0;
    Reason failure = 0;
    const std::size_t got = platform::ReadBytes(file_, bytes, piece, &failure);
    if (got < piece) {
        Fail(why, failure != 0 ? failure : platform::kErrorFailed);
        return 0;
    }
    read_ += got;
    return got;
}
