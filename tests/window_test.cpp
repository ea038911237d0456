// The scheduler on its own: the budget it keeps, the order jobs finish in, the failure it reports
// and the work it never starts behind one. Run under ThreadSanitizer too.
#include "pack/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "pack/ahead_order.h"
#include "pack/progress.h"

namespace {

// Jobs of given costs, some failing at a given step; records what the window did.
class Recorder final : public JobSource {
  public:
    enum Step { kNone, kTake, kWork, kFinish };
    Recorder(std::vector<std::uint64_t> costs, std::uint64_t budget, bool ahead)
        : costs_(std::move(costs)),
          budget_(budget),
          order_(
              static_cast<std::uint32_t>(costs_.size()),
              [this](std::uint32_t i) { return costs_[i]; },
              [this](std::uint32_t i) { return costs_[i] / 2; }, ahead ? budget : 0),
          failAt_(costs_.size(), kNone),
          alone_(costs_.size(), false) {}

    int Next(std::uint64_t room, Offer* offer, platform::Failure*) override {
        offer->number = order_.Next(room);
        offer->cost = offer->number < costs_.size() ? costs_[offer->number] : 0;
        offer->alone = offer->number < costs_.size() && alone_[offer->number];
        return offer->number < costs_.size();
    }
    bool Take(Job& job) override {
        order_.Take(job.number);
        std::lock_guard<std::mutex> hold(lock_);
        if (job.number > failedAt_.load()) ++lateTake_;
        // Everything in flight but the job just taken fits the budget.
        if (held_ > budget_) overBudget_ = true;
        if (alone_[job.number] && inFlight_ != 0) notAlone_ = true;
        held_ += job.cost;
        ++inFlight_;
        return Passes(job, kTake);
    }
    bool Work(Job& job) override {
        if (job.number > failedAt_.load()) ++lateWork_;
        std::this_thread::sleep_for(std::chrono::microseconds(job.number % 7 * 50));
        std::lock_guard<std::mutex> hold(lock_);
        held_ -= job.cost / 2;  // what it still holds
        job.cost -= job.cost / 2;
        return Passes(job, kWork);
    }
    bool Finish(Job& job) override {
        std::lock_guard<std::mutex> hold(lock_);
        finished_.push_back(job.number);
        held_ -= job.cost;
        --inFlight_;
        return Passes(job, kFinish);
    }
    void Name(const Job& job, platform::Failure* failure) const override {
        failure->entry = job.number + 1;
    }
    bool Passes(Job& job, Step step) {
        job.why = 7;
        if (failAt_[job.number] != step) return true;
        for (std::uint32_t at = failedAt_.load();
             job.number < at && !failedAt_.compare_exchange_weak(at, job.number);) {
        }
        return false;
    }

    std::vector<std::uint64_t> costs_;
    std::uint64_t budget_;
    AheadOrder order_;
    std::vector<Step> failAt_;
    std::atomic<std::uint32_t> failedAt_{UINT32_MAX};  // the lowest failure returned so far
    std::atomic<int> lateWork_{0};  // Work started above a failure already returned
    int lateTake_ = 0;              // jobs taken above a failure already returned
    std::vector<bool> alone_;       // offered alone
    std::mutex lock_;
    std::size_t inFlight_ = 0;
    bool notAlone_ = false;  // a job offered alone was taken beside others
    std::uint64_t held_ = 0;
    bool overBudget_ = false;
    std::vector<std::uint32_t> finished_;
};

TEST(Window, KeepsItsBudgetAndFinishesInOrder) {
    constexpr std::uint64_t kMiB = 1 << 20;
    for (const auto& [ahead, workers] :
         {std::pair{false, 3u}, std::pair{true, 3u}, std::pair{false, kOnThisThread}}) {
        std::vector<std::uint64_t> costs;
        for (std::uint64_t i = 0; i < 400; ++i) costs.push_back((i * 7919 % 13 + 1) * kMiB);
        costs[0] = 13 * kMiB;                 // does not fit beside the two taken ahead
        costs[150] = costs[390] = 17 * kMiB;  // taken ahead of their turn
        if (!ahead) costs[200] = 90 * kMiB;   // more than the budget: taken alone
        Recorder source(costs, 40 * kMiB, ahead);
        if (!ahead) source.alone_[90] = source.alone_[91] = source.alone_[300] = true;
        platform::Failure failure;
        Progress progress;
        EXPECT_TRUE(RunWindow(source, 40 * kMiB, workers, &progress, &failure));
        EXPECT_EQ(progress.filesDone.load(), costs.size());
        EXPECT_FALSE(source.overBudget_) << ahead;
        EXPECT_FALSE(source.notAlone_);
        ASSERT_EQ(source.finished_.size(), costs.size());
        for (std::uint32_t i = 0; i < costs.size(); ++i) ASSERT_EQ(source.finished_[i], i);
    }
}

TEST(Window, TheLowestFailureWinsAndNothingBehindItFinishes) {
    using S = Recorder::Step;
    const struct {
        std::uint32_t at;
        S step;
        std::uint32_t later;  // a second failure behind it
        S laterStep;
    } cases[] = {{0, S::kTake, 5, S::kWork},
                 {37, S::kWork, 336, S::kWork},
                 {99, S::kWork, 100, S::kTake},
                 {250, S::kFinish, 251, S::kWork}};
    for (const auto& c : cases)
        for (const unsigned workers : {2u, kOnThisThread}) {
            SCOPED_TRACE(c.at);
            SCOPED_TRACE(workers);
            Recorder source(std::vector<std::uint64_t>(600, 1000), UINT64_MAX, false);
            source.failAt_[c.at] = c.step;
            source.failAt_[c.later] = c.laterStep;
            platform::Failure failure;
            EXPECT_FALSE(RunWindow(source, kNoBudget, workers, nullptr, &failure));
            EXPECT_EQ(failure.entry, c.at + 1);  // named by its source
            EXPECT_EQ(failure.reason, 7u);
            // On this thread alone a failure is known at once: nothing more is taken.
            if (workers == kOnThisThread) {
                EXPECT_EQ(source.lateTake_, 0);
            }
            // Every job before it finished and none behind it did; once a step has failed, no Work
            // starts above it (but for one the other worker may have begun meanwhile).
            ASSERT_GE(source.finished_.size(), c.at);
            for (std::uint32_t i = 0; i < c.at; ++i) EXPECT_EQ(source.finished_[i], i);
            EXPECT_LE(source.finished_.size(), c.at + (c.step == S::kFinish ? 1u : 0u));
            EXPECT_LE(source.lateWork_.load(), 1);
        }
}

}  // namespace
