// The order of the jobs of a window's source that knows them ahead with their costs: the
// costliest go first when they fit, so that no core is left alone with a big one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/window.h"

// The order of a source whose jobs are known ahead with their costs: their own order, except
// that the costliest (up to 16 of 10 MiB or more) are taken first, costliest first, whenever they
// fit in the room left, so that no core is left alone with a big job while the window behind it
// is full, nor at the end. What they hold while they wait for their turn, with the cost of the
// costliest of the other jobs, fits in the budget, so the job in turn always finds room.
class AheadOrder {
  public:
    // Jobs 0 to count - 1: cost(i) is what job i may hold at its peak, held(i) what it holds once
    // worked. A budget of kNoBudget takes the costliest ahead whatever they hold.
    template <typename Cost, typename Held>
    AheadOrder(std::uint32_t count, Cost cost, Held held, std::uint64_t budget) : count_(count) {
        // The kMost + 1 costliest jobs, costliest first, ties in their order.
        std::uint32_t top[kMost + 1];
        std::uint64_t topCost[kMost + 1];
        std::size_t found = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t c = cost(i);
            if (found == kMost + 1 && c <= topCost[kMost]) continue;
            std::size_t at = found < kMost ? found : kMost;  // when full, the last one goes
            for (; at > 0 && topCost[at - 1] < c; --at) {
                top[at] = top[at - 1];
                topCost[at] = topCost[at - 1];
            }
            top[at] = i;
            topCost[at] = c;
            if (found < kMost + 1) ++found;
        }
        std::uint64_t waiting = 0;
        for (std::size_t k = 0; k < found && k < kMost && topCost[k] >= kLeast; ++k) {
            waiting += held(top[k]);
            const std::uint64_t rest = k + 1 < found ? topCost[k + 1] : 0;
            if (budget != kNoBudget && waiting + rest > budget) break;
            ahead_[aheadCount_] = top[k];
            aheadCost_[aheadCount_++] = topCost[k];
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
