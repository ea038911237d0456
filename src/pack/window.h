// The window: the one scheduler of every parallel step of both front ends (the menu's folder
// pack, encode, decode, save and unpack; the command line's pack, unpack, test and add).
//
// A run moves jobs, numbered 0, 1, 2, ... in the order they must finish in (the pack's order),
// through three steps that a JobSource provides:
//   Take    on this thread (the caller's), in the order the source offers the jobs;
//   Work    on a worker thread (on this one when no worker could be started), any order;
//   Finish  on this thread, strictly in number order, once the job's Work is done.
//
// Invariants:
//   0. Job numbers are contiguous: a source offers each of 0, 1, 2, ... once, in any order (its
//      own `item` says which file, record or entry a job is).
//   1. At most `slots` jobs are in flight (taken and not yet finished), plus one taken in turn
//      when everything in flight waits for it (rule 2).
//   2. The costs of the jobs in flight add up to at most the budget, with two exceptions, so that
//      a run never stalls: a job is taken whatever it costs when nothing else is in flight, and
//      when every job in flight is done and waits for the job in turn, which is not taken yet.
//      A job costs what it may hold at its peak until its Work is done; Work may then lower its
//      cost to what the job still holds until it finishes. A job offered alone is taken only
//      when nothing else is in flight (or everything in flight waits for it), whatever its cost.
//   3. Jobs finish in number order: job n finishes after jobs 0 to n - 1.
//   4. The first failure stops the run: once a step of job n fails, no job is taken, no worker
//      starts the Work of a job numbered above n, and no job above n finishes; the jobs below n
//      in flight are worked and finished. The failure reported is the lowest-numbered one.
//   5. Only this thread touches the source's own state (Next, Take, Finish); Work touches only
//      the job it is given (and what the source shares with every Work, made safe for threads).
//   6. Without a worker thread, this thread works on each job as it takes it; without memory
//      for its slots, a run fails (kErrorNoMemory) before anything is taken.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pack/pack.h"
#include "pack/pieces.h"
#include "platform/reason.h"

// One job in flight: a step of work on one entry or one file.
struct Job {
    std::uint32_t number = 0;          // its place in the order jobs finish in, from 0
    std::uint64_t cost = 0;            // what it may hold at its peak (Work may lower it, rule 2)
    std::uint64_t bytes = 0;           // what it counts for in the progress, once finished
    std::size_t item = 0;              // the source's own: which file, record or entry it is
    PackEntry* entry = nullptr;        // the entry it works on: the source's, or `owned`
    std::unique_ptr<PackEntry> owned;  // an entry the job holds itself
    bool late = false;                 // the source's own: its last step waits for Finish
    std::uint64_t at = 0;              // the source's own: where its data lies, read in pieces
    std::unique_ptr<Spill> spill;      // the source's own: stored bytes made ahead of their turn
    platform::Reason why = 0;          // why its step failed
};

// The next job a source offers.
struct Offer {
    std::uint32_t number = 0;  // its place in the finishing order
    std::size_t item = 0;      // the source's own: which file, record or entry it is
    std::uint64_t cost = 0;    // what it may hold at its peak
    std::uint64_t budget = 0;  // raises the run's budget to this when larger: a source that meets
                               // larger jobs as it goes lets the others run beside them
    bool alone = false;        // taken only when nothing else is in flight (rule 2)
};

// What a window runs. Every step gives false for a failure, with its reason in job.why.
class JobSource {
  public:
    // The next job to take, given the room left in the budget. A source may offer a job ahead
    // of its turn only when it fits in the room; with no room, it offers the job in turn. It
    // may be asked again before the job is taken, and then offers the same one. 1: a job in
    // *offer; 0: none is left; -1: failed, at offer->number and item, for the reason in *why.
    virtual int Next(std::uint64_t room, Offer* offer, platform::Reason* why) = 0;
    virtual bool Take(Job& job) = 0;
    virtual bool Work(Job& job) = 0;
    virtual bool Finish(Job& job) = 0;

  protected:
    ~JobSource() = default;
};

// A source whose jobs are taken in their order, 0 to count - 1, each job's item its number.
class InOrderSource : public JobSource {
  public:
    explicit InOrderSource(std::size_t count) : count_(count) {}
    int Next(std::uint64_t, Offer* offer, platform::Reason*) override {
        offer->item = offer->number = static_cast<std::uint32_t>(next_);
        return next_ < count_;
    }
    bool Take(Job&) override { return ++next_, true; }

  private:
    std::size_t count_;
    std::size_t next_ = 0;
};

// Where a run failed: the lowest-numbered failure (rule 4).
struct WindowFailure {
    bool failed = false;
    std::uint32_t number = 0;
    std::size_t item = 0;  // the source's own, of the failed job
    platform::Reason why = 0;
    char name[PackEntry::kNameSize] = {};  // the failed job's entry name; empty without one
};

// Runs every job the source offers, with at most `budget` bytes in flight (rule 2) on up to
// `workers` threads (0: one per core). True when every job finished; false fills *failure.
bool RunWindow(JobSource& source, std::uint64_t budget, unsigned workers, WindowFailure* failure);

// No limit on what the jobs in flight may hold: the menu's, whose pack is in memory anyway.
inline constexpr std::uint64_t kNoBudget = UINT64_MAX;

// The order of a source whose jobs are known ahead with their costs: their own order, except
// that the costliest (up to 16 of 10 MiB or more) are taken first, costliest first, whenever they
// fit in the room left, so that no core is left alone with a big job while the window behind it
// is full, nor at the end. What they hold while they wait for their turn, with the cost of the
// costliest of the other jobs, fits in the budget, so the job in turn always finds room.
class AheadOrder {
  public:
    // Jobs 0 to count - 1: cost(i) is what job i may hold at its peak, held(i) what it holds once
    // worked. A budget of kNoBudget takes the costliest ahead whatever they hold. With `work`,
    // the jobs of most work(i) go ahead, rather than the costliest.
    template <typename Cost, typename Held>
    AheadOrder(std::uint32_t count, Cost cost, Held held, std::uint64_t budget)
        : AheadOrder(count, cost, held, budget, cost) {}
    template <typename Cost, typename Held, typename Work>
    AheadOrder(std::uint32_t count, Cost cost, Held held, std::uint64_t budget, Work work)
        : count_(count) {
        // The kMost + 1 jobs of most work, most first, ties in their order.
        std::uint32_t top[kMost + 1];
        std::uint64_t topWork[kMost + 1];
        std::size_t found = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t w = work(i);
            if (found == kMost + 1 && w <= topWork[kMost]) continue;
            std::size_t at = found < kMost ? found : kMost;  // when full, the last one goes
            for (; at > 0 && topWork[at - 1] < w; --at) {
                top[at] = top[at - 1];
                topWork[at] = topWork[at - 1];
            }
            top[at] = i;
            topWork[at] = w;
            if (found < kMost + 1) ++found;
        }
        // rest[k]: the largest cost of the jobs not among the first k + 1 of them.
        std::uint64_t rest[kMost + 1] = {};
        for (std::uint32_t i = 0; i < count && found == kMost + 1; ++i) {
            if (std::find(top, top + found, i) == top + found)
                rest[kMost] = std::max(rest[kMost], cost(i));
        }
        for (std::size_t k = found; k-- > 1;) {
            rest[k - 1] = std::max(rest[k], cost(top[k]));
        }
        std::uint64_t waiting = 0;
        for (std::size_t k = 0; k < found && k < kMost && topWork[k] >= kLeast; ++k) {
            waiting += held(top[k]);
            if (budget != kNoBudget && waiting + rest[k] > budget) break;
            ahead_[aheadCount_] = top[k];
            aheadCost_[aheadCount_++] = cost(top[k]);
        }
    }
    // The job to take next, given the room left: one of the costliest when it fits there, else
    // the first job not taken; count when every job is taken.
    std::uint32_t Next(std::uint64_t room) const {
        const bool ahead = aheadNext_ < aheadCount_ && aheadCost_[aheadNext_] <= room;
        return ahead ? ahead_[aheadNext_] : inOrder_;
    }
    void Take(std::uint32_t number);

  private:
    static constexpr std::size_t kMost = 16;  // few enough that the window has slots for the rest
    static constexpr std::uint64_t kLeast = std::uint64_t{10} << 20;  // less is done too soon

    bool TakenAhead(std::uint32_t number) const;

    std::uint32_t count_;
    std::uint32_t ahead_[kMost];  // the jobs taken before their turn, costliest first
    std::uint64_t aheadCost_[kMost];
    bool aheadTaken_[kMost] = {};
    std::size_t aheadCount_ = 0;
    std::size_t aheadNext_ = 0;  // the first of them not taken
    std::uint32_t inOrder_ = 0;  // the first job not taken
};
