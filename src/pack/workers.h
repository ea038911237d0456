// Work spread over the entries of a chain on worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <thread>

#include "pack/pack.h"
#include "pack/progress.h"

// Runs `run` on up to `workers` threads at once (0: one per core, at most `most`), the calling
// thread among them; returns when every one has finished. Without a thread, fewer run.
template <typename Run>
void RunOnWorkers(unsigned workers, std::uint32_t most, Run& run) {
    if (workers == 0) workers = std::thread::hardware_concurrency();
    if (workers == 0) workers = 1;
    if (workers > most) workers = most == 0 ? 1 : most;

    constexpr unsigned kMaxHelpers = 64;
    std::thread helpers[kMaxHelpers];
    unsigned started = 0;
    for (; started + 1 < workers && started < kMaxHelpers; ++started) {
        try {
            helpers[started] = std::thread([&run] {
                run();
                ReleaseThreadCoders();
            });
        } catch (...) {
            break;  // fewer threads: the others take their share
        }
    }
    run();
    for (unsigned i = 0; i < started; ++i) helpers[i].join();
}

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
    RunOnWorkers(workers, total, run);
}

// Runs work(i) for i from 0 to total - 1 on up to `workers` threads (0: one per core), handing
// the indexes out in increasing order. work(i) returns the index of the first task it failed
// (i itself, or a later one it took on for i), or `total` when none failed; it may call
// stopped(j) to ask whether task j is past a failure already. Once a task has failed, no later
// index is handed out, and every earlier one runs to its end. Returns the first failed index,
// or total.
template <typename Work>
std::uint32_t RunInOrder(std::uint32_t total, unsigned workers, Work work) {
    std::atomic<std::uint64_t> taken{0};
    std::atomic<std::uint32_t> failed{total};
    auto stopped = [&failed](std::uint32_t at) { return at > failed.load(); };
    auto run = [&] {
        for (std::uint64_t at = taken++; at < total && !stopped(static_cast<std::uint32_t>(at));
             at = taken++) {
            const std::uint32_t failure = work(static_cast<std::uint32_t>(at), stopped);
            for (std::uint32_t first = failed.load();
                 failure < first && !failed.compare_exchange_weak(first, failure);) {
            }
        }
    };
    RunOnWorkers(workers, total, run);
    return failed.load();
}
