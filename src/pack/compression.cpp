// Per-entry zlib compression, and Encode/Decode of the whole pack on worker threads.
#include <zlib.h>

#include <cstring>
#include <limits>

#include "pack/pack.h"
#include "pack/workers.h"

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

// Gives the new block to the entry in place of its old one, leaving the entry locked on it.
void Adopt(PackEntry* entry, HGLOBAL block, unsigned char* bytes) {
    GlobalUnlock(entry->data);
    GlobalFree(entry->data);
    entry->data = block;
    entry->view = bytes;
}

}  // namespace

void PackEntry::Compress() {
    if (compressed != 0 || data == nullptr) return;
    const unsigned char* source = Lock();
    if (source == nullptr) return;

    const std::uint32_t capacity = CompressCapacity(size);
    WorkBlock work(capacity);
    if (!work.ok()) return;
    uLongf length = capacity;
    if (compress(work.bytes, &length, source, size) != Z_OK) return;
    if (length == 0 || length > capacity) return;

    WorkBlock stream(static_cast<std::uint32_t>(length));
    if (!stream.ok()) return;
    std::memcpy(stream.bytes, work.bytes, length);
    unsigned char* bytes = stream.bytes;
    Adopt(this, stream.Release(), bytes);
    storedSize = static_cast<std::uint32_t>(length);
    compressed = 1;
}

void PackEntry::Decompress() {
    if (compressed == 0 || data == nullptr) return;
    const unsigned char* source = Lock();
    if (source == nullptr) return;

    // The work block is exactly `size` bytes, so it becomes the entry's block as it is.
    WorkBlock plain(size);
    if (!plain.ok()) return;
    uLongf length = size;
    if (uncompress(plain.bytes, &length, source, storedSize) != Z_OK) return;
    if (length != size) return;

    unsigned char* bytes = plain.bytes;
    Adopt(this, plain.Release(), bytes);
    storedSize = 0;
    compressed = 0;
}

void Pack::Encode(unsigned workers) {
    ForEachEntry(head, count, workers, [](PackEntry* entry) { entry->Compress(); });
    compressed = 1;
}

void Pack::Decode(unsigned workers) {
    ForEachEntry(head, count, workers, [](PackEntry* entry) { entry->Decompress(); });
    compressed = 0;
}
