// Work spread over the entries of a chain on worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>

#include "pack/pack.h"
#include "pack/progress.h"

// Runs work on every entry of the chain, spread over up to `workers` threads (0: one per core)
// that each take the largest entry not yet taken, so no big entry is left to one thread at
// the end; entries of one size go in chain order. The calling thread works too. Without
// memory for the order, this thread works alone. Work may touch only the entry it is given,
// whose `next` it must leave as it found it.
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
    std::stable_sort(order.get(), order.get() + total,
                     [](const PackEntry* a, const PackEntry* b) { return a->size > b->size; });

    if (workers == 0) workers = std::thread::hardware_concurrency();
    if (workers == 0) workers = 1;
    if (workers > total) workers = total == 0 ? 1 : total;

    std::uint64_t bytes = 0;
    for (std::uint32_t at = 0; at < total; ++at) bytes += order[at]->size;
    SharedProgress().Start(total, bytes);

    std::atomic<std::uint32_t> taken{0};
    auto run = [&] {
        for (std::uint32_t at = taken++; at < total; at = taken++) {
            work(order[at]);
            SharedProgress().Advance(order[at]->size);
        }
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
