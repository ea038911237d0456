// The window's scheduler: this thread takes and finishes jobs, a worker per core works on them.
// Its rules are stated at the top of window.h; each wait is a named check citing them.
#include "pack/window.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "pack/coders.h"
#include "pack/progress.h"
#include "platform/process.h"

using platform::Failure;

namespace {

constexpr unsigned kMostWorkers = 16;
constexpr std::size_t kSlotsPerWorker = 128;
// Small jobs go to a worker many at a time, so that the threads seldom wait for each other.
constexpr std::size_t kGrabMost = 32;
constexpr std::uint64_t kGrabBytes = std::uint64_t{1} << 20;
constexpr std::uint32_t kNone = UINT32_MAX;

// A job with the window's own marks on it.
struct Slot {
    Job job;
    std::uint64_t counted = 0;  // what it counts for in the cost in flight
    bool done = false;          // its Work is over
    bool ok = false;
};

class Window {
  public:
    Window(JobSource& source, std::uint64_t budget, unsigned workers, Progress* progress,
           Failure* failure)
        : source_(source), progress_(progress), failure_(failure), budget_(budget) {
        noWorkers_ = workers == kOnThisThread;
        if (workers == 0 || noWorkers_) workers = std::thread::hardware_concurrency();
        workers_ = std::clamp(workers, 1u, kMostWorkers);
        slots_ = kSlotsPerWorker * workers_;
        batch_ = slots_ / 2;
    }
    ~Window() { Stop(); }

    bool Run() {
        if (!Prepare()) {
            Failure none;
            platform::Fail(&none, platform::kErrorNoMemory);
            Keep(0, std::move(none));
            return false;
        }
        for (;;) {
            if (!Failed() && !ended_) TakeWhatFits();
            if (flightCount_ == 0) break;
            AwaitFront();
            FinishDone();
        }
        Stop();
        return !Failed();
    }

  private:
    // Room for the slots, one more taken in turn (rule 1), and the workers: as many as start.
    bool Prepare() {
        const std::size_t room = slots_ + 1;
        cells_.reset(new (std::nothrow) Slot[room]);
        free_.reset(new (std::nothrow) Slot*[room]);
        flight_.reset(new (std::nothrow) Slot*[room]);
        queue_.reset(new (std::nothrow) Slot*[room]);
        handed_.reset(new (std::nothrow) Slot*[room]);
        threads_.reset(new (std::nothrow) platform::Thread[workers_]);
        if (!cells_ || !free_ || !flight_ || !queue_ || !handed_ || !threads_) return false;
        for (std::size_t i = 0; i < room; ++i) free_[freeCount_++] = &cells_[i];
        while (!noWorkers_ && started_ < workers_ &&
               threads_[started_].Start([this] { Serve(); })) {
            ++started_;
        }
        return true;
    }

    // A failure is known as soon as the step that failed returns, on whichever thread.
    bool Failed() const { return failedAt_.load() != kNone; }

    void Publish(std::uint32_t number) {
        for (std::uint32_t known = failedAt_.load();
             number < known && !failedAt_.compare_exchange_weak(known, number);) {
        }
    }

    // Keeps the lowest-numbered failure (rule 4).
    void Keep(std::uint32_t number, Failure&& failure) {
        Publish(number);
        if (kept_ <= number) return;
        kept_ = number;
        if (failure.reason == 0) failure.reason = platform::kErrorFailed;
        *failure_ = std::move(failure);
    }
    // A job's failure, named by its source while the job is still there.
    void Fail(const Job& job) {
        Publish(job.number);
        if (kept_ <= job.number) return;
        Failure failure;
        platform::Fail(&failure, job.why);
        source_.Name(job, &failure);
        Keep(job.number, std::move(failure));
    }

    bool InTurn(const Slot* slot) const { return slot->job.number == nextToFinish_; }

    // Takes every job that fits, and hands them to the workers together; without a worker, works
    // on each here.
    void TakeWhatFits() {
        std::uint64_t room = 0;
        bool stuck = false;
        {
            std::lock_guard<std::mutex> held(lock_);
            // Everything in flight is done and waits for the job in turn: take it (rule 2).
            stuck = flightCount_ != 0 && doneCount_ == flightCount_ && !InTurn(flight_[0]);
            if (!stuck && flightCost_ < budget_) room = budget_ - flightCost_;
        }
        std::size_t handed = 0;
        std::uint64_t handedCost = 0;
        pending_ = 0;
        alone_ = false;
        while (flightCount_ < slots_ || stuck) {
            Offer offer;
            Failure offered;
            const int next = source_.Next(room, &offer, &offered);
            if (next < 0) Keep(offer.number, std::move(offered));
            if (next <= 0) {
                ended_ = true;
                break;
            }
            budget_ = std::max(budget_, offer.budget);
            if (flightCount_ != 0 && !stuck && (offer.alone || offer.cost > room)) {
                pending_ = offer.cost;  // taken once enough is settled, or everything
                alone_ = offer.alone;
                break;
            }
            Slot* slot = free_[--freeCount_];
            slot->job.number = offer.number;
            slot->job.cost = slot->counted = offer.cost;
            if (!source_.Take(slot->job)) {
                Fail(slot->job);
                Release(slot);
                break;
            }
            stuck = false;
            room -= std::min(room, offer.cost);
            Insert(slot);
            if (started_ == 0) {
                std::lock_guard<std::mutex> held(lock_);
                Work(slot);
                Settle(slot);
                flightCost_ += slot->counted;
                ++doneCount_;
                if (!slot->ok) break;  // nothing more is taken (rule 4)
                continue;
            }
            handed_[handed++] = slot;
            handedCost += offer.cost;
        }
        if (handed == 0) return;
        {
            std::lock_guard<std::mutex> held(lock_);
            flightCost_ += handedCost;
            for (std::size_t i = 0; i < handed; ++i) {
                queue_[(queueFirst_ + queueCount_++) % (slots_ + 1)] = handed_[i];
            }
        }
        queued_.notify_all();
    }

    // Flight is kept in number order, so its front is the next to finish.
    void Insert(Slot* slot) {
        Slot** end = flight_.get() + flightCount_;
        Slot** at =
            std::upper_bound(flight_.get(), end, slot->job.number,
                             [](std::uint32_t n, const Slot* s) { return n < s->job.number; });
        std::memmove(at + 1, at, static_cast<std::size_t>(end - at) * sizeof *at);
        *at = slot;
        ++flightCount_;
    }

    void Release(Slot* slot) {
        *slot = Slot();
        free_[freeCount_++] = slot;
    }

    // Behind a failure no Work starts (rule 4); a failure stops the others at once.
    void Work(Slot* slot) {
        slot->ok = slot->job.number < failedAt_.load() && source_.Work(slot->job);
        if (!slot->ok) Publish(slot->job.number);
    }

    // Marks a worked job done, counted for what it still holds (rule 2); under the lock.
    void Settle(Slot* slot) {
        slot->done = true;
        if (slot->job.cost < slot->counted) {
            flightCost_ -= slot->counted - slot->job.cost;
            slot->counted = slot->job.cost;
        }
    }

    // The front job is done, in its turn (rule 3), and there is reason to finish now: the run is
    // ending, a batch is done, or the workers' queue runs low. Under the lock.
    bool FrontReady(const Slot* front, bool turn, bool ending) const {
        return front->done && turn && (ending || doneCount_ >= batch_ || queueCount_ < batch_);
    }
    // Everything in flight is done and waits for the job in turn, not yet taken: it is taken
    // whatever it costs (rule 2).
    bool TurnWaited(bool turn) const { return !turn && doneCount_ == flightCount_; }
    // There is a slot (rule 1) and room in the budget for the job offered (rule 2), which is not
    // to go alone, and taking is due: the queue runs low or the front is not in its turn.
    bool RoomToTake(bool turn) const {
        return !alone_ && flightCount_ < slots_ && flightCost_ + pending_ <= budget_ &&
               (queueCount_ < batch_ || !turn);
    }

    // Waits until this thread has something to do. While the workers have plenty queued it
    // finishes jobs a batch at a time, and takes jobs when the queue runs low. After a failure
    // nothing more is taken (rule 4), and each job is only waited for.
    void AwaitFront() {
        std::unique_lock<std::mutex> held(lock_);
        const Slot* front = flight_[0];
        const bool ending = Failed() || ended_;
        const bool turn = Failed() || InTurn(front);
        finished_.wait(held, [&] {
            if (FrontReady(front, turn, ending)) return true;
            return !ending && (TurnWaited(turn) || RoomToTake(turn));
        });
    }

    // Finishes the done jobs at the front in their turn; after a failure, drops them.
    void FinishDone() {
        for (;;) {
            Slot* front = nullptr;
            {
                std::lock_guard<std::mutex> held(lock_);
                if (flightCount_ == 0 || !flight_[0]->done) return;
                front = flight_[0];
            }
            const bool inTurn = InTurn(front);
            if (!inTurn && !Failed()) return;
            Job& job = front->job;
            if (!front->ok) {
                Fail(job);
            } else if (inTurn && job.number < failedAt_.load()) {
                if (!source_.Finish(job)) {
                    Fail(job);
                } else if (progress_ != nullptr) {
                    progress_->Advance(job.bytes);
                }
            }
            if (inTurn) nextToFinish_ = job.number + 1;
            {
                std::lock_guard<std::mutex> held(lock_);
                flightCost_ -= front->counted;
                --doneCount_;
                std::memmove(flight_.get(), flight_.get() + 1, --flightCount_ * sizeof(Slot*));
            }
            Release(front);
        }
    }

    // A worker: takes the next queued job, with more behind it while they are small, and works on
    // them in their order; the lock is taken twice for the lot. So a few small jobs go to one
    // worker, one after the other: a failure among them stops those behind it.
    void Serve() {
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            queued_.wait(held, [this] { return stop_ || queueCount_ != 0; });
            if (queueCount_ == 0) break;
            Slot* grabbed[kGrabMost];
            std::size_t count = 0;
            std::uint64_t cost = 0;
            do {
                grabbed[count++] = queue_[queueFirst_];
                cost += queue_[queueFirst_]->counted;
                queueFirst_ = (queueFirst_ + 1) % (slots_ + 1);
                --queueCount_;
            } while (count < kGrabMost && queueCount_ != 0 &&
                     cost + queue_[queueFirst_]->counted <= kGrabBytes);
            held.unlock();
            for (std::size_t i = 0; i < count; ++i) Work(grabbed[i]);
            held.lock();
            for (std::size_t i = 0; i < count; ++i) Settle(grabbed[i]);
            doneCount_ += count;
            finished_.notify_one();
        }
        held.unlock();
        ReleaseThreadCoders();
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> held(lock_);
            stop_ = true;
        }
        queued_.notify_all();
        for (unsigned i = 0; i < started_; ++i) threads_[i].Join();
        started_ = 0;
    }

    JobSource& source_;
    Progress* progress_;
    Failure* failure_;
    std::uint32_t kept_ = kNone;  // the number of the failure in *failure_; this thread's
    std::atomic<std::uint32_t> failedAt_{kNone};  // the lowest failure known, read by workers
    unsigned workers_ = 1;
    bool noWorkers_ = false;  // no worker is started (rule 6)
    unsigned started_ = 0;
    std::size_t slots_ = 0;
    std::size_t batch_ = 0;
    std::unique_ptr<Slot[]> cells_;
    std::unique_ptr<Slot*[]> free_, flight_, queue_, handed_;
    std::unique_ptr<platform::Thread[]> threads_;
    std::size_t freeCount_ = 0;
    // This thread's own.
    std::uint32_t nextToFinish_ = 0;
    std::uint64_t budget_;       // raised by the source's offers, never lowered
    std::uint64_t pending_ = 0;  // the cost of the job offered and not yet taken
    bool alone_ = false;         // that job waits until nothing else is in flight
    std::size_t flightCount_ = 0;
    bool ended_ = false;  // the source has offered its last job

    // Guarded by the lock: what the workers change, and what they read.
    std::mutex lock_;
    std::condition_variable queued_;    // for the workers: a job waits
    std::condition_variable finished_;  // for this thread: work is done
    std::uint64_t flightCost_ = 0;
    std::size_t doneCount_ = 0;  // jobs in flight whose Work is over
    std::size_t queueFirst_ = 0;
    std::size_t queueCount_ = 0;
    bool stop_ = false;
};

}  // namespace

bool RunWindow(JobSource& source, std::uint64_t budget, unsigned workers, Progress* progress,
               Failure* failure) {
    Window window(source, budget, workers, progress, failure);
    return window.Run();
}
