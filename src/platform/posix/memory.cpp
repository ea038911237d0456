// POSIX stand-ins for the Windows kernel's movable memory blocks, and the heap's settings.
#ifndef _WIN32

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/process.h"

namespace {

// A block is this header followed by its bytes.
struct Block {
    std::size_t size;
    unsigned locks;
    alignas(std::max_align_t) unsigned char bytes[1];
};

constexpr std::size_t kHeader = offsetof(Block, bytes);

// A block of this size or more, header included, gets a mapping of its own that starts on a
// huge page boundary and is marked for huge pages: one page fault per 2 MiB instead of one per
// 4 KiB when its bytes are first written. The size alone tells how a block was made.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Only optimised builds do so: with sanitizers or the fuzzer every block comes from calloc,
// where those tools see its bounds and its size.
#ifdef ZOREL_MAP_LARGE_BLOCKS
constexpr bool kMapLarge = true;
#else
constexpr bool kMapLarge = false;
#endif

std::size_t MappedLength(std::size_t total) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (total + page - 1) / page * page;
}

void* MapLarge(std::size_t total) {
    if (total > SIZE_MAX - 2 * kHugePage) return nullptr;
    const std::size_t length = MappedLength(total);
    void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    // Keep the aligned part; give back what lies before and after it.
    auto* const start = static_cast<unsigned char*>(mapped);
    const auto misalignment = reinterpret_cast<std::uintptr_t>(start) % kHugePage;
    unsigned char* const aligned = misalignment == 0 ? start : start + (kHugePage - misalignment);
    if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
    unsigned char* const end = start + length + kHugePage;
    if (aligned + length != end)
        munmap(aligned + length, static_cast<std::size_t>(end - aligned - length));
#ifdef MADV_HUGEPAGE
    madvise(aligned, length, MADV_HUGEPAGE);  // a hint: without huge pages all still works
#endif
    return aligned;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT /*flags*/, SIZE_T bytes) {
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    const std::size_t total = kHeader + (bytes == 0 ? 1 : bytes);
    void* memory = kMapLarge && total >= kHugePage ? MapLarge(total) : std::calloc(1, total);
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<Block*>(memory);
    block->size = bytes;
    return block;
}

LPVOID GlobalLock(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->size == 0) return nullptr;
    ++block->locks;
    return block->bytes;
}

BOOL GlobalUnlock(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->locks == 0) return 0;
    --block->locks;
    return block->locks != 0;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (kMapLarge && block != nullptr && kHeader + block->size >= kHugePage) {
        munmap(block, MappedLength(kHeader + block->size));
    } else {
        std::free(handle);
    }
    return nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL handle, SIZE_T bytes, UINT /*flags*/) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->locks != 0 || bytes == 0 || bytes > block->size) return nullptr;
    const std::size_t had = kHeader + block->size;
    const std::size_t total = kHeader + bytes;
    if (kMapLarge && had >= kHugePage) {
        if (total >= kHugePage) {
            // The pages past the new end go back to the system; the rest stays where it is.
            const std::size_t keep = MappedLength(total);
            const std::size_t mapped = MappedLength(had);
            if (keep < mapped)
                munmap(reinterpret_cast<unsigned char*>(block) + keep, mapped - keep);
            block->size = bytes;
            return block;
        }
        void* small = std::malloc(total);
        if (small == nullptr) return nullptr;
        std::memcpy(small, block, total);
        munmap(block, MappedLength(had));
        block = static_cast<Block*>(small);
    } else {
        void* moved = std::realloc(block, total);
        if (moved == nullptr) return nullptr;
        block = static_cast<Block*>(moved);
    }
    block->size = bytes;
    return block;
}

namespace platform {

const Reason kErrorNoMemory = ENOMEM;

void PrepareHeap() {
#ifdef M_TRIM_THRESHOLD
    // zlib sets up and drops a few hundred KiB of state for every entry. With glibc's default
    // the heap gives that back to the system at once and takes it again for the next entry:
    // system calls and fresh zeroed pages each time. A fixed threshold also keeps blocks of
    // 128 KiB and more in their own mappings, which go back to the system when freed.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
#ifdef M_ARENA_MAX
    // Each arena of a thread reserves 64 MiB of address space on a 64-bit system.
    mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace platform

#endif  // !_WIN32
