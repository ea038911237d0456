// Replays every file of the fuzzing corpora as an ordinary test: the pack file reader's corpus
// through the reader, the others through their own harnesses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pack/pack.h"
#ifndef _WIN32
#include "fuzz/harness.h"
#endif

namespace {

const std::filesystem::path kCorpora = ZOREL_CORPORA;

TEST(FuzzCorpus, EveryCorpusFileLoadsOrFailsCleanly) {
    int replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(kCorpora / "load")) {
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
