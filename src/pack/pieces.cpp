// Entries moved in pieces: plain data copied, zlib streams inflated by zlib with their header
// and checksum read here, by the rules libdeflate reads them by for entries decoded whole.
#include "pack/pieces.h"

#include <zlib.h>

#include <memory>
#include <new>

using platform::Fail;
using platform::Reason;

namespace {

// A zlib header that libdeflate accepts: deflate, a window of at most 32 KiB, no preset
// dictionary, and check bits that fit.
bool HeaderFits(const unsigned char* header) {
    return (header[0] * 256u + header[1]) % 31 == 0 && (header[0] & 0x0F) == Z_DEFLATED &&
           (header[0] >> 4) <= 7 && (header[1] & 0x20) == 0;
}

// One zlib stream taken in pieces: its header, its deflate data, and the Adler-32 checksum of
// its plain bytes. The deflate data is read with a window of 32 KiB whatever the header says,
// as libdeflate reads it, so that no verdict depends on where the pieces are cut.
class Inflater {
  public:
    explicit Inflater(std::uint32_t size) : size_(size) {}
    ~Inflater() {
        if (started_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool Start(Reason* why) {
        started_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
        return started_ || Fail(why, platform::kErrorNoMemory);
    }

    // Takes the next stored bytes, handing the plain bytes they make to out through `plain`, a
    // piece of kPlainPiece bytes.
    bool Take(const unsigned char* bytes, std::size_t length, unsigned char* plain, PieceSink* out,
              Reason* why) {
        for (; length != 0 && step_ == kHeader; ++bytes, --length) {
            held_[have_++] = *bytes;
            if (have_ < 2) continue;
            if (!HeaderFits(held_)) return Fail(why, platform::kErrorCorruptData);
            step_ = kData;
            have_ = 0;
        }
        if (length != 0 && step_ == kData) {
            stream_.next_in = const_cast<unsigned char*>(bytes);
            stream_.avail_in = static_cast<uInt>(length);  // a stored piece fits
            if (!Inflate(plain, out, why)) return false;
            bytes = stream_.next_in;
            length = stream_.avail_in;
        }
        for (; length != 0 && step_ == kChecksum; ++bytes, --length) {
            held_[have_++] = *bytes;
            if (have_ < 4) continue;
            const uLong told =
                uLong{held_[0]} << 24 | uLong{held_[1]} << 16 | uLong{held_[2]} << 8 | held_[3];
            if (told != check_ || made_ != size_) return Fail(why, platform::kErrorCorruptData);
            step_ = kDone;  // what follows is ignored
        }
        return true;
    }
    // The stream ended with its checksum.
    bool Done() const { return step_ == kDone; }

  private:
    enum Step { kHeader, kData, kChecksum, kDone };

    // Inflates the input given, a piece of plain bytes at a time.
    bool Inflate(unsigned char* plain, PieceSink* out, Reason* why) {
        for (;;) {
            stream_.next_out = plain;
            stream_.avail_out = static_cast<uInt>(kPlainPiece);
            const int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_MEM_ERROR) return Fail(why, platform::kErrorNoMemory);
            // Z_BUF_ERROR: nothing could be done before more input.
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                return Fail(why, platform::kErrorCorruptData);
            }
            const std::size_t made = kPlainPiece - stream_.avail_out;
            if (made > size_ - made_) return Fail(why, platform::kErrorCorruptData);
            made_ += made;
            check_ = adler32(check_, plain, static_cast<uInt>(made));
            if (made != 0 && out != nullptr && !out->Write(plain, made, why)) return false;
            if (result == Z_STREAM_END) {
                step_ = kChecksum;
                return true;
            }
            if (stream_.avail_out != 0) return true;  // every byte given was taken
        }
    }

    z_stream stream_{};
    bool started_ = false;
    Step step_ = kHeader;
    unsigned char held_[4] = {};  // the header's bytes, then the checksum's, as they come
    std::size_t have_ = 0;
    std::uint64_t size_;
    std::uint64_t made_ = 0;
    uLong check_ = adler32(0, nullptr, 0);
};

}  // namespace

bool MovePieces(const PackEntry& head, PieceSource& in, PieceSink* out, Reason* why) {
    const bool compressed = head.compressed != 0;
    std::unique_ptr<unsigned char[]> plain(new (std::nothrow) unsigned char[kPlainPiece]);
    std::unique_ptr<unsigned char[]> stored;
    if (compressed) stored.reset(new (std::nothrow) unsigned char[kStoredPiece]);
    if (plain == nullptr || (compressed && stored == nullptr)) {
        return Fail(why, platform::kErrorNoMemory);
    }
    Inflater inflater(head.size);
    if (compressed && !inflater.Start(why)) return false;
    Reason failure = 0;
    if (!compressed) {
        for (std::size_t got; (got = in.Read(plain.get(), kPlainPiece, &failure)) != 0;) {
            if (out != nullptr && !out->Write(plain.get(), got, why)) return false;
        }
        return failure == 0 || Fail(why, failure);
    }
    for (std::size_t got; (got = in.Read(stored.get(), kStoredPiece, &failure)) != 0;) {
        if (!inflater.Take(stored.get(), got, plain.get(), out, why)) return false;
    }
    if (failure != 0) return Fail(why, failure);
    return inflater.Done() || Fail(why, platform::kErrorCorruptData);
}
