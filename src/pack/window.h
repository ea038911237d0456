// The window: the one scheduler of every parallel step of both front ends (the menu's folder
// pack, encode, decode, save and unpack; the command line's pack, unpack, test and add). It runs
// jobs it does not understand: a job is its number, cost, bytes, reason and one opaque state of
// its source's; the source names a failed job, and the progress to advance is given to the run.
//
// A run moves jobs, numbered 0, 1, 2, ... in the order they must finish in (the pack's order),
// through three steps that a JobSource provides:
//   Take    on this thread (the caller's), in the order the source offers the jobs;
//   Work    on a worker thread (on this one when no worker is started), any order;
//   Finish  on this thread, strictly in number order, once the job's Work is done.
//
// Invariants:
//   0. Job numbers are contiguous: a source offers each of 0, 1, 2, ... once, in any order (what
//      a job is, file, record or entry, is the source's own, by its number or its `own` state).
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
//      in flight are worked and finished. The failure reported is the lowest-numbered one, with
//      its reason, named by its source.
//   5. Only this thread touches the source's own state (Next, Take, Finish); Work touches only
//      the job it is given (and what the source shares with every Work, made safe for threads).
//   6. Without a worker thread, this thread works on each job as it takes it; without memory
//      for its slots, a run fails (kErrorNoMemory) before anything is taken.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/reason.h"

struct Progress;

// What a source keeps of its own on one job, freed with the job.
struct JobState {
    virtual ~JobState() = default;
};

// One job in flight: a step of work on one entry or one file.
struct Job {
    std::uint32_t number = 0;         // its place in the order jobs finish in, from 0
    std::uint64_t cost = 0;           // what it may hold at its peak (Work may lower it, rule 2)
    std::uint64_t bytes = 0;          // what it counts for in the progress, once finished
    platform::Reason why = 0;         // why its step failed
    std::unique_ptr<JobState> state;  // the source's own, opaque to the window
};

// The next job a source offers.
struct Offer {
    std::uint32_t number = 0;  // its place in the finishing order
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
    // *offer; 0: none is left; -1: failed at offer->number, told in *failure.
    virtual int Next(std::uint64_t room, Offer* offer, platform::Failure* failure) = 0;
    virtual bool Take(Job& job) = 0;
    virtual bool Work(Job& job) = 0;
    virtual bool Finish(Job& job) = 0;
    // Names the job whose step failed in *failure (its entry and item; the reason is set), on
    // this thread, before the job is dropped. By default nothing names it.
    virtual void Name(const Job&, platform::Failure*) const {}

  protected:
    ~JobSource() = default;
};

// A source whose jobs are taken in their order, 0 to count - 1.
class InOrderSource : public JobSource {
  public:
    explicit InOrderSource(std::size_t count) : count_(count) {}
    int Next(std::uint64_t, Offer* offer, platform::Failure*) override {
        offer->number = static_cast<std::uint32_t>(next_);
        return next_ < count_;
    }
    bool Take(Job&) override { return ++next_, true; }

  private:
    std::size_t count_;
    std::size_t next_ = 0;
};

// Runs every job the source offers, with at most `budget` bytes in flight (rule 2) on up to
// `workers` threads (0: one per core; kOnThisThread: none, rule 6), advancing *progress (when
// given) as each job finishes. True when every job finished; false fills *failure (rule 4).
bool RunWindow(JobSource& source, std::uint64_t budget, unsigned workers, Progress* progress,
               platform::Failure* failure);

// No limit on what the jobs in flight may hold: the menu's, whose pack is in memory anyway.
inline constexpr std::uint64_t kNoBudget = UINT64_MAX;
// No worker thread: every step of every job on this thread.
inline constexpr unsigned kOnThisThread = ~0u;
