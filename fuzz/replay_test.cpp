// Replays every file of the fuzzing corpus through the pack file reader as an ordinary test.
#include <gtest/gtest.h>

#include <filesystem>

#include "pack/pack.h"

TEST(FuzzCorpus, EveryCorpusFileLoadsOrFailsCleanly) {
    int replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(ZOREL_CORPUS)) {
        if (!item.is_regular_file()) continue;
        Pack pack;
        if (pack.Load(item.path().string().c_str())) {
            std::uint32_t reached = 0;
            for (PackEntry* e = pack.head; e != nullptr; e = e->next) ++reached;
            EXPECT_EQ(reached, pack.count) << item.path();
            pack.Decode();
        } else {
            EXPECT_EQ(pack.head, nullptr) << item.path();
            EXPECT_EQ(pack.count, 0u) << item.path();
        }
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}
