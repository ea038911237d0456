// Per-entry zlib compression, and Encode/Decode of the whole pack on worker threads.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include "pack/pack.h"

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

// Runs work on every entry of the chain, spread over up to `workers` threads that each take
// the largest entry not yet taken, so no big entry is left to one thread at the end. The
// calling thread works too. Without memory for the order, this thread works alone.
template <typename Work>
void ForEachEntry(PackEntry* head, std::uint32_t count, unsigned workers, Work work) {
    std::unique_ptr<PackEntry*[]> order(new (std::nothrow) PackEntry*[count == 0 ? 1 : count]);
    if (order == nullptr) {
        for (PackEntry* entry = head; entry != nullptr; entry = entry->next) work(entry);
        return;
    }
    std::uint32_t total = 0;
    for (PackEntry* entry = head; entry != nullptr && total < count; entry = entry->next) {
        order[total++] = entry;
    }
    std::sort(order.get(), order.get() + total,
              [](const PackEntry* a, const PackEntry* b) { return a->size > b->size; });

    if (workers == 0) workers = std::thread::hardware_concurrency();
    if (workers == 0) workers = 1;
    if (workers > total) workers = total == 0 ? 1 : total;

    std::atomic<std::uint32_t> taken{0};
    auto run = [&] {
        for (std::uint32_t at = taken++; at < total; at = taken++) work(order[at]);
    };

    constexpr unsigned kMaxHelpers = 64;
    std::thread helpers[kMaxHelpers];
    unsigned started = 0;
    for (; started + 1 < workers && started < kMaxHelpers; ++started) {
        try {
            helpers[started] = std::thread(run);
        } catch (...) {
            break;  // fewer threads: the others take their share
        }
    }
    run();
    for (unsigned i = 0; i < started; ++i) helpers[i].join();
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
