// Replays every file of the fuzzing corpora as an ordinary test: the pack file reader's corpus
// through the reader, the others through their own harnesses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "pack/pack.h"
#ifndef _WIN32
#include "fuzz/harness.h"
#endif

namespace {

const std::filesystem::path kCorpora = ZOREL_CORPORA;

// What each file of the reader's corpus holds: its entry count, 0 for a file the reader refuses.
// A file added to the corpus needs its line here.
const std::map<std::string, std::uint32_t> kLoadOutcomes = {
    {"03a0c697487ae57803a70f7ecceed022eb92e4ed", 2},
    {"0f4e43a41b9e98a71dc433283f6d5b8e97b15526", 1},
    {"130c00e7fd92f26dc55555c2ceea2baebc038d52", 2},
    {"1f677f17e69690ab6e65f2b9c854556d46275611", 0},
    {"2153d6c87184173bbc2d28ba1931d95967335224", 2},
    {"220454c741a0d1a4b8ea3a3ca55f40a0b8a46d35", 0},
    {"23590f72899635b137ce982c1c1bc8422a620a8d", 1},
    {"26a7f53b0e6c4378d4b1208f6e3c266324ffa065", 2},
    {"280bfa7b44a6ff28d6e3d97b13a155bb60c2cae1", 1},
    {"2f6d8c3e7394c1d9ca228fe11173b302a9693043", 3},
    {"2f6e3078360662ff48a50010505ac192ad58c43a", 0},
    {"4381f6921ae7536ffc93fec611d279fdf0dadf65", 0},
    {"45e609ea98c173a3cf5df50c1d089aaedf808717", 0},
    {"5276d332380f4bd8e03712939ac2bdb4ae776a10", 2},
    {"58d145cb523e1b75ccd76fe540e195f270259612", 4},
    {"6ceb81a718dd3b61e5262f0692d8371647c30468", 2},
    {"70052b9d8b8a9b50476878fca6548bd8016ec25c", 0},
    {"7337d2ab380cfcfe8de852293c508b3cdc98c55c", 4},
    {"8eab779dff2b14df8313d78489f1cb9fdeb28969", 0},
    {"93b466e411b2ba796d751fc8400c8a285554d8b7", 0},
    {"9a78211436f6d425ec38f5c4e02270801f3524f8", 0},
    {"a5424f4f0e563aa5d9ff5d657adc574bedcd7fa4", 3},
    {"ad524a5b676aeb956cf7e72a0e5cfd258a3fa5ec", 0},
    {"ba7eb7cc2a605113bc7b4d7e28130fd074381fa7", 0},
    {"cc22e4396e4c9dd3237df6359270f16819ad5f62", 0},
    {"e157c8665e5bba9df55ec44dca85134797e7da07", 2},
    {"e5503637a142c030c4930160616f5398c701bd4e", 6},
    {"e8a18abfea5c99c18a2f79cf2acfe23ae0e2e943", 6},
    {"empty.pak", 0},
    {"encoded-one.pak", 1},
    {"encoded-two.pak", 2},
    {"flag-two.pak", 1},
    {"no-nul.pak", 0},
    {"plain-one.pak", 1},
    {"plain-three.pak", 3},
    {"trailing.pak", 1}};

TEST(FuzzCorpus, EveryCorpusFileLoadsAsExpected) {
    std::size_t replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(kCorpora / "load")) {
        if (!item.is_regular_file()) continue;
        const std::string name = item.path().filename().string();
        const auto expected = kLoadOutcomes.find(name);
        ASSERT_NE(expected, kLoadOutcomes.end()) << name << " has no expected outcome";
        Pack pack;
        EXPECT_EQ(pack.Load(item.path().string().c_str()), expected->second != 0) << name;
        EXPECT_EQ(pack.count, expected->second) << name;
        std::uint32_t reached = 0;
        for (PackEntry* e = pack.head; e != nullptr; e = e->next) ++reached;
        EXPECT_EQ(reached, pack.count) << name;
        pack.Decode();
        ++replayed;
    }
    EXPECT_EQ(replayed, kLoadOutcomes.size());
}

#ifndef _WIN32
// Runs each file of a corpus through its harness, which ends the test program with a message
// at the first broken property; gives the number of files run.
int Replay(const char* corpus, int (*harness)(const std::uint8_t*, std::size_t)) {
    int replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(kCorpora / corpus)) {
        if (!item.is_regular_file()) continue;
        std::ifstream in(item.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string input = bytes.str();
        std::fprintf(stderr, "replaying %s\n", item.path().string().c_str());
        harness(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        ++replayed;
    }
    return replayed;
}

TEST(FuzzCorpus, EveryRoundTripSeedComesBackAsItWent) {
    EXPECT_GT(Replay("roundtrip", FuzzRoundTrip), 0);
}

TEST(FuzzCorpus, EveryConsoleSeedRunsToItsEndInItsFolder) {
    EXPECT_GT(Replay("console", FuzzConsole), 0);
}
#endif

}  // namespace
