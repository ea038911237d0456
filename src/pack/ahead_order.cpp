// The costliest jobs taken ahead of their turn, and the rest in their order.
#include "pack/ahead_order.h"

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
