// Per-entry zlib streams: made by zlib or libdeflate (whole, or by zlib in pieces), read by
// libdeflate, with a set of coders kept by each thread.
#include <zlib.h>
#ifndef ZOREL_NO_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "pack/pack.h"
#include "pack/pieces.h"

namespace {

// A locked block of platform memory that is released unless adopted.
struct WorkBlock {
    HGLOBAL handle = nullptr;
    unsigned char* bytes = nullptr;

    explicit WorkBlock(std::uint32_t capacity) {
        handle = GlobalAlloc(GHND, capacity);
        if (handle != nullptr) bytes = static_cast<unsigned char*>(GlobalLock(handle));
    }
    ~WorkBlock() {
        if (handle == nullptr) return;
        if (bytes != nullptr) GlobalUnlock(handle);
        GlobalFree(handle);
    }
    WorkBlock(const WorkBlock&) = delete;
    WorkBlock& operator=(const WorkBlock&) = delete;

    bool ok() const { return bytes != nullptr; }
    // Cuts the block to its first `length` bytes, in place where the system can; false leaves
    // it as it was. Locked again either way (ok() tells).
    bool Shrink(std::uint32_t length) {
        GlobalUnlock(handle);
        HGLOBAL cut = GlobalReAlloc(handle, length, GMEM_MOVEABLE);
        if (cut != nullptr) handle = cut;
        bytes = static_cast<unsigned char*>(GlobalLock(handle));
        return cut != nullptr;
    }
    // Hands the still locked block to the caller.
    HGLOBAL Release() {
        HGLOBAL taken = handle;
        handle = nullptr;
        bytes = nullptr;
        return taken;
    }
};

// Room for a stream of `size` bytes: ten per cent more plus 12, at most what 32 bits hold.
std::uint32_t CompressCapacity(std::uint32_t size) {
    const double capacity = static_cast<double>(size) * 1.1 + 12.0;
    constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    return capacity >= kMax ? std::numeric_limits<std::uint32_t>::max()
                            : static_cast<std::uint32_t>(capacity);
}

// zlib's lengths are 32 bits wide on some systems and 64 on others: every 32-bit size fits
// into them, and what comes back is checked before it is narrowed.
static_assert(std::numeric_limits<uLong>::max() >= std::numeric_limits<std::uint32_t>::max());

#ifndef ZOREL_NO_LIBDEFLATE
// libdeflate's level for the fast compressor: zlib's default level, by libdeflate's measure.
constexpr int kFastLevel = 6;
#endif

// Each thread keeps its coders, made on first use and freed by ReleaseThreadCoders; null when
// there is no memory for one. zlib's compressor is reset for each stream rather than made
// anew: its tables are a quarter of a megabyte, and small entries would spend more time in
// making them than in compressing. No destructor: a destructor per thread is kept in a thread
// key by some thread libraries, which then can hang at exit while other threads end.
class ThreadCoders {
  public:
    void Release() {
        if (deflating_) deflateEnd(&deflater_);
        deflating_ = false;
#ifndef ZOREL_NO_LIBDEFLATE
        if (decoder_ != nullptr) libdeflate_free_decompressor(decoder_);
        if (encoder_ != nullptr) libdeflate_free_compressor(encoder_);
        decoder_ = nullptr;
        encoder_ = nullptr;
#endif
    }
    // zlib's compressor at its default level, ready for a new stream.
    z_stream* Deflater() {
        if (!deflating_) {
            std::memset(&deflater_, 0, sizeof deflater_);
            deflating_ = deflateInit(&deflater_, Z_DEFAULT_COMPRESSION) == Z_OK;
        } else if (deflateReset(&deflater_) != Z_OK) {
            return nullptr;
        }
        return deflating_ ? &deflater_ : nullptr;
    }
#ifndef ZOREL_NO_LIBDEFLATE
    libdeflate_decompressor* Decoder() {
        if (decoder_ == nullptr) decoder_ = libdeflate_alloc_decompressor();
        return decoder_;
    }
    libdeflate_compressor* Encoder() {
        if (encoder_ == nullptr) encoder_ = libdeflate_alloc_compressor(kFastLevel);
        return encoder_;
    }
#endif

  private:
    z_stream deflater_;
    bool deflating_;
#ifndef ZOREL_NO_LIBDEFLATE
    libdeflate_decompressor* decoder_;
    libdeflate_compressor* encoder_;
#endif
};

static_assert(std::is_trivially_destructible_v<ThreadCoders>);

thread_local ThreadCoders coders;  // zero-initialized, as all thread storage is

// Room for the stream of `size` bytes from engine: CompressCapacity, or more when libdeflate
// asks for more (it wants a few spare bytes for small inputs that do not shrink).
std::uint32_t WorkCapacity(Compressor engine, std::uint32_t size) {
    std::uint32_t capacity = CompressCapacity(size);
#ifndef ZOREL_NO_LIBDEFLATE
    if (engine == Compressor::kFast) {
        libdeflate_compressor* encoder = coders.Encoder();
        const std::size_t bound =
            encoder != nullptr ? libdeflate_zlib_compress_bound(encoder, size) : 0;
        if (bound > capacity) {
            capacity = bound >= std::numeric_limits<std::uint32_t>::max()
                           ? std::numeric_limits<std::uint32_t>::max()
                           : static_cast<std::uint32_t>(bound);
        }
    }
#else
    (void)engine;
#endif
    return capacity;
}

// Makes the zlib stream of `size` bytes into `out`, which holds `capacity`; its length, or 0
// with the reason in *why (no memory for the compressor, or a stream that failed).
std::uint32_t MakeStream(Compressor engine, const unsigned char* source, std::uint32_t size,
                         unsigned char* out, std::uint32_t capacity, platform::Reason* why) {
    *why = platform::kErrorNoMemory;
#ifndef ZOREL_NO_LIBDEFLATE
    if (engine == Compressor::kFast) {
        libdeflate_compressor* encoder = coders.Encoder();
        if (encoder == nullptr) return 0;
        const std::size_t length = libdeflate_zlib_compress(encoder, source, size, out, capacity);
        *why = platform::kErrorFailed;
        return length <= capacity ? static_cast<std::uint32_t>(length) : 0;
    }
#else
    (void)engine;
#endif
    // The stream compress() makes: all of the input in one call, finished.
    z_stream* stream = coders.Deflater();
    if (stream == nullptr) return 0;
    *why = platform::kErrorFailed;
    stream->next_in = const_cast<unsigned char*>(source);
    stream->avail_in = size;
    stream->next_out = out;
    stream->avail_out = capacity;
    if (deflate(stream, Z_FINISH) != Z_STREAM_END || stream->total_out > capacity) return 0;
    return static_cast<std::uint32_t>(stream->total_out);
}

// Gives the new block to the entry in place of its old one, leaving the entry locked on it.
void Adopt(PackEntry* entry, HGLOBAL block, unsigned char* bytes) {
    GlobalUnlock(entry->data);
    GlobalFree(entry->data);
    entry->data = block;
    entry->view = bytes;
}

}  // namespace

void ReleaseThreadCoders() {
    coders.Release();
}

bool PackEntry::Compress(Compressor engine, platform::Reason* why) {
    if (compressed != 0 || data == nullptr) return compressed != 0;
    const unsigned char* source = Lock();
    if (source == nullptr) return platform::Fail(why, platform::kErrorNoMemory);

    const std::uint32_t capacity = WorkCapacity(engine, size);
    WorkBlock work(capacity);
    if (!work.ok()) return platform::Fail(why, platform::kErrorNoMemory);
    platform::Reason failure = 0;
    const std::uint32_t length = MakeStream(engine, source, size, work.bytes, capacity, &failure);
    if (length == 0) return platform::Fail(why, failure);

    // The work block, cut to the stream, becomes the entry's: at most the plain bytes and the
    // work block are held at once. A copy is the way when it cannot be cut.
    if (!work.Shrink(length)) {
        if (!work.ok()) return platform::Fail(why, platform::kErrorNoMemory);
        WorkBlock stream(length);
        if (!stream.ok()) return platform::Fail(why, platform::kErrorNoMemory);
        std::memcpy(stream.bytes, work.bytes, length);
        std::swap(work.handle, stream.handle);  // the uncut block goes with `stream`
        std::swap(work.bytes, stream.bytes);
    }
    if (!work.ok()) return platform::Fail(why, platform::kErrorNoMemory);
    unsigned char* bytes = work.bytes;
    Adopt(this, work.Release(), bytes);
    storedSize = length;
    compressed = 1;
    return true;
}

bool PackEntry::Decompress(platform::Reason* why) {
    if (compressed == 0 || data == nullptr) return compressed == 0;
    const unsigned char* source = Lock();
    if (source == nullptr) return platform::Fail(why, platform::kErrorNoMemory);

    // The work block is exactly `size` bytes, so it becomes the entry's block as it is.
    WorkBlock plain(size);
    if (!plain.ok()) return platform::Fail(why, platform::kErrorNoMemory);
        // Without a place for the produced length, libdeflate wants exactly `size` bytes: more or
        // fewer is a failure, as is a damaged or truncated stream or a checksum that differs.
        // Bytes after the checksum are ignored, as zlib's uncompress ignores them.
#ifndef ZOREL_NO_LIBDEFLATE
    libdeflate_decompressor* decoder = coders.Decoder();
    if (decoder == nullptr) return platform::Fail(why, platform::kErrorNoMemory);
    if (libdeflate_zlib_decompress(decoder, source, storedSize, plain.bytes, size, nullptr) !=
        LIBDEFLATE_SUCCESS) {
        return platform::Fail(why, platform::kErrorCorruptData);
    }
#else
    uLongf length = size;
    const int result = uncompress(plain.bytes, &length, source, storedSize);
    if (result == Z_MEM_ERROR) return platform::Fail(why, platform::kErrorNoMemory);
    if (result != Z_OK || length != size) {
        return platform::Fail(why, platform::kErrorCorruptData);
    }
#endif

    unsigned char* bytes = plain.bytes;
    Adopt(this, plain.Release(), bytes);
    storedSize = 0;
    compressed = 0;
    return true;
}

namespace {

// zlib's compressor at its fastest level, for one stream: what the fast engine makes in pieces.
class FastDeflater {
  public:
    FastDeflater() { started_ = deflateInit(&stream_, Z_BEST_SPEED) == Z_OK; }
    ~FastDeflater() {
        if (started_) deflateEnd(&stream_);
    }
    FastDeflater(const FastDeflater&) = delete;
    FastDeflater& operator=(const FastDeflater&) = delete;
    z_stream* get() { return started_ ? &stream_ : nullptr; }

  private:
    z_stream stream_{};
    bool started_ = false;
};

}  // namespace

bool StorePieces(std::uint32_t size, bool compress, PieceSource& in, PieceSink& out,
                 std::uint32_t* stored, platform::Reason* why, Compressor engine) {
    std::unique_ptr<unsigned char[]> plain(new (std::nothrow) unsigned char[kPlainPiece]);
    std::unique_ptr<unsigned char[]> made;
    if (compress) made.reset(new (std::nothrow) unsigned char[kStoredPiece]);
    // The compressor compress() uses (or its fastest level), fed in pieces: the stream does not
    // depend on where they are cut, as no flush is asked for before the end.
    std::unique_ptr<FastDeflater> fast;
    z_stream* stream = nullptr;
    if (compress && engine == Compressor::kFast) {
        fast.reset(new (std::nothrow) FastDeflater);
        if (fast != nullptr) stream = fast->get();
    } else if (compress) {
        stream = coders.Deflater();
    }
    if (plain == nullptr || (compress && (made == nullptr || stream == nullptr))) {
        return platform::Fail(why, platform::kErrorNoMemory);
    }
    std::uint64_t total = 0;
    for (std::uint32_t left = size;;) {
        platform::Reason failure = 0;
        const std::size_t want = left < kPlainPiece ? left : kPlainPiece;
        const std::size_t got = want == 0 ? 0 : in.Read(plain.get(), want, &failure);
        if (got == 0 && want != 0) return platform::Fail(why, failure);  // 0: kErrorFailed
        left -= static_cast<std::uint32_t>(got);
        if (!compress) {
            if (!out.Write(plain.get(), got, why)) return false;
            total += got;
            if (left == 0) break;
            continue;
        }
        stream->next_in = plain.get();
        stream->avail_in = static_cast<uInt>(got);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        int result;
        do {
            stream->next_out = made.get();
            stream->avail_out = static_cast<uInt>(kStoredPiece);
            result = deflate(stream, flush);
            if (result == Z_STREAM_ERROR) return platform::Fail(why, platform::kErrorFailed);
            const std::size_t length = kStoredPiece - stream->avail_out;
            if (length != 0 && !out.Write(made.get(), length, why)) return false;
            total += length;
        } while (stream->avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        if (result == Z_STREAM_END) break;
    }
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        return platform::Fail(why, platform::kErrorFileTooLarge);
    }
    *stored = static_cast<std::uint32_t>(total);
    return true;
}
