// Entries moved in pieces: plain data copied, zlib streams inflated with their header read here,
// by the rules libdeflate reads them by for entries decoded whole. The inflater is ISA-L's where
// it is built in: it inflates at libdeflate's speed (about twice zlib's) from a state of its own
// of under 100 KiB, so an entry of any size is read at full speed in constant memory; it checks
// the Adler-32 itself. zlib's is the fallback (and the checksum is then checked here). Also the
// plain bytes of an entry held against a file's.
#include "pack/pieces.h"

#include <zlib.h>
#ifdef ZOREL_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cstring>
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

    bool Start(PieceDecoder decoder, Reason* why) {
#ifdef ZOREL_ISAL
        if (decoder != PieceDecoder::kZlib) {
            isal_.reset(new (std::nothrow) inflate_state);
            if (isal_ == nullptr) return Fail(why, platform::kErrorNoMemory);
            isal_inflate_init(isal_.get());
            isal_->crc_flag = ISAL_ZLIB_NO_HDR_VER;  // it reads and checks the Adler-32
            isal_->hist_bits = 0;                    // a window of 32 KiB
            return true;
        }
#else
        (void)decoder;
#endif
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
#ifdef ZOREL_ISAL
        if (length != 0 && step_ == kData && isal_ != nullptr)
            return InflateIsal(bytes, length, plain, out, why);
#endif
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
    bool Done() const {
        return step_ == kDone;
    }

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
            check_ = adler32(check_, plain, static_cast<uInt>(made));
            if (!Made(plain, made, out, why)) return false;
            if (result == Z_STREAM_END) {
                step_ = kChecksum;
                return true;
            }
            if (stream_.avail_out != 0) return true;  // every byte given was taken
        }
    }

    // Counts the plain bytes made and hands them on; false for more than the entry's size.
    bool Made(const unsigned char* plain, std::size_t made, PieceSink* out, Reason* why) {
        if (made > size_ - made_) return Fail(why, platform::kErrorCorruptData);
        made_ += made;
        return made == 0 || out == nullptr || out->Write(plain, made, why);
    }

#ifdef ZOREL_ISAL
    // The same with ISA-L, which reads the checksum behind the deflate data and checks it.
    bool InflateIsal(const unsigned char* bytes, std::size_t length, unsigned char* plain,
                     PieceSink* out, Reason* why) {
        isal_->next_in = const_cast<unsigned char*>(bytes);
        isal_->avail_in = static_cast<std::uint32_t>(length);  // a stored piece fits
        for (;;) {
            isal_->next_out = plain;
            isal_->avail_out = static_cast<std::uint32_t>(kPlainPiece);
            if (isal_inflate(isal_.get()) != ISAL_DECOMP_OK) {
                return Fail(why, platform::kErrorCorruptData);
            }
            if (!Made(plain, kPlainPiece - isal_->avail_out, out, why)) return false;
            if (isal_->block_state == ISAL_BLOCK_FINISH) {
                step_ = kDone;  // what follows is ignored
                return made_ == size_ || Fail(why, platform::kErrorCorruptData);
            }
            if (isal_->avail_out != 0) return true;  // every byte given was taken
        }
    }
    std::unique_ptr<inflate_state> isal_;
#endif

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

bool SameBytes::Write(const unsigned char* bytes, std::size_t length, Reason*) {
    unsigned char block[1 << 14];
    while (length > 0 && matched_) {
        const std::size_t part = std::min(length, sizeof block);
        matched_ = platform::ReadBytes(file_, block, part, &fileWhy_) == part &&
                   std::memcmp(block, bytes, part) == 0;
        bytes += part;
        length -= part;
    }
    return true;
}

bool SameBytes::Ended() {
    unsigned char more = 0;
    return matched_ && platform::ReadBytes(file_, &more, 1, &fileWhy_) == 0 && fileWhy_ == 0;
}

bool HaveIsal() {
#ifdef ZOREL_ISAL
    return true;
#else
    return false;
#endif
}

bool MovePieces(const PackEntry& head, PieceSource& in, PieceSink* out, Reason* why,
                PieceDecoder decoder) {
    const bool compressed = head.compressed != 0;
    std::unique_ptr<unsigned char[]> plain(new (std::nothrow) unsigned char[kPlainPiece]);
    std::unique_ptr<unsigned char[]> stored;
    if (compressed) stored.reset(new (std::nothrow) unsigned char[kStoredPiece]);
    if (plain == nullptr || (compressed && stored == nullptr)) {
        return Fail(why, platform::kErrorNoMemory);
    }
    Inflater inflater(head.size);
    if (compressed && !inflater.Start(decoder, why)) return false;
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

bool PlainBytes(PackEntry& head, PieceSource& in, PieceSink* out, Reason* why) {
    if (head.data == nullptr) return MovePieces(head, in, out, why);
    if (!head.Decompress(why)) return false;
    const unsigned char* bytes = head.Lock();
    return bytes != nullptr ? out->Write(bytes, head.size, why)
                            : Fail(why, platform::kErrorNoMemory);
}
