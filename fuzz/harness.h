// The fuzz harnesses as plain functions, so that the replay test runs each seed corpus
// through exactly what its fuzzer runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Random entries and flags are saved and loaded back: the same entries must come back.
int FuzzRoundTrip(const std::uint8_t* bytes, std::size_t length);
// The bytes are the menu's standard input, in a scratch folder of small files.
int FuzzConsole(const std::uint8_t* bytes, std::size_t length);

// A property every input must keep; a broken one ends the run as a finding.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// Takes the input apart piece by piece; past its end every piece reads as zero.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* bytes, std::size_t length) : at_(bytes), end_(bytes + length) {}
    bool empty() const { return at_ == end_; }
    std::uint32_t Number(unsigned bytes) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < bytes && at_ != end_; ++i) value = value << 8 | *at_++;
        return value;
    }
    // Up to `most` bytes: a two-byte length, then that many bytes (fewer at the end of input).
    const std::uint8_t* Bytes(std::size_t most, std::size_t* length) {
        std::size_t want = Number(2) % (most + 1);
        if (want > static_cast<std::size_t>(end_ - at_))
            want = static_cast<std::size_t>(end_ - at_);
        const std::uint8_t* start = at_;
        at_ += want;
        *length = want;
        return start;
    }

  private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};
