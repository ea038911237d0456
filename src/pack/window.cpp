// The window's scheduler: this thread takes and finishes jobs, a worker per core works on them.
// Its rules are stated at the top of window.h.
#include "pack/window.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "pack/progress.h"
#include "platform/process.h"

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
    Window(JobSource& source, std::uint64_t budget, unsigned workers, WindowFailure* failure)
        : source_(source), failure_(failure), budget_(budget) {
        if (workers == 0) workers = std::thread::hardware_concurrency();
        workers_ = std::clamp(workers, 1u, kMostWorkers);
        slots_ = kSlotsPerWorker * workers_;
        batch_ = slots_ / 2;
    }
    ~Window() { Stop(); }

    bool Run() {
        if (!Prepare()) {
            Fail(0, 0, platform::kErrorNoMemory, nullptr);
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
        while (started_ < workers_ && threads_[started_].Start([this] { Serve(); })) ++started_;
        return true;
    }

    // A failure is known as soon as the step that failed returns, on whichever thread.
    bool Failed() const { return failedAt_.load() != kNone; }

    void Publish(std::uint32_t number) {
        for (std::uint32_t known = failedAt_.load();
             number < known && !failedAt_.compare_exchange_weak(known, number);) {
        }
    }

    // Keeps the lowest-numbered failure (rule 4), named by name or else by the job's entry.
    void Fail(std::uint32_t number, std::size_t item, platform::Reason why, const char* name) {
        Publish(number);
        if (failure_->failed && failure_->number <= number) return;
        *failure_ = WindowFailure{true, number, item, why == 0 ? platform::kErrorFailed : why, {}};
        if (name != nullptr)
            std::memcpy(failure_->name, name, strnlen(name, PackEntry::kNameSize - 1));
    }
    void Fail(const Job& job, const char* name = nullptr) {
        if (name == nullptr && job.entry != nullptr) name = job.entry->name;
        Fail(job.number, job.item, job.why, name);
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
            platform::Reason why = 0;
            const int next = source_.Next(room, &offer, &why);
            if (next < 0) Fail(offer.number, offer.item, why, nullptr);
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
            slot->job.item = offer.item;
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
        slot->job.owned.reset();
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

    // Waits until this thread has something to do. While the workers have plenty queued it
    // finishes jobs a batch at a time, and takes jobs when the queue runs low.
    void AwaitFront() {
        std::unique_lock<std::mutex> held(lock_);
        const Slot* front = flight_[0];
        // After a failure nothing more is taken, and each job is only waited for.
        const bool ending = Failed() || ended_;
        const bool turn = Failed() || InTurn(front);
        finished_.wait(held, [&] {
            const bool low = queueCount_ < batch_;
            if (front->done && turn && (ending || doneCount_ >= batch_ || low)) return true;
            if (ending) return false;
            if (!turn && doneCount_ == flightCount_) return true;  // take the job in turn
            return !alone_ && flightCount_ < slots_ && flightCost_ + pending_ <= budget_ &&
                   (low || !turn);
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
                char name[PackEntry::kNameSize] = {};  // Finish may take the entry
                if (job.entry != nullptr) std::memcpy(name, job.entry->name, sizeof name);
                if (source_.Finish(job)) {
                    SharedProgress().Advance(job.bytes);
                } else {
                    Fail(job, name[0] != '\0' ? name : nullptr);
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
    WindowFailure* failure_;
    std::atomic<std::uint32_t> failedAt_{kNone};  // the lowest failure known, read by workers
    unsigned workers_ = 1;
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

bool RunWindow(JobSource& source, std::uint64_t budget, unsigned workers, WindowFailure* failure) {
    Window window(source, budget, workers, failure);
    return window.Run();
}

void AheadOrder::Take(std::uint32_t number) {
    for (std::size_t k = 0; k < aheadCount_; ++k) aheadTaken_[k] |= ahead_[k] == number;
    while (inOrder_ < count_ && (inOrder_ == number || TakenAhead(inOrder_))) ++inOrder_;
    while (aheadNext_ < aheadCount_ && aheadTaken_[aheadNext_]) ++aheadNext_;
}

bool AheadOrder::TakenAhead(std::uint32_t number) const {
    for (std::size_t k = 0; k < aheadCount_; ++k) {
        if (ahead_[k] == number) return aheadTaken_[k];
    }
    return false;
}
