// The contents listing of menu key 7 and of `zorel list`: one formatter for both.
#pragma once

#include <cstdint>
#include <cstdio>

struct PackEntry;

class ContentsListing {
  public:
    // Prints the head of the listing to out; the ratios shown depend on the pack's flag.
    ContentsListing(std::FILE* out, bool compressed);
    // One line for the next entry, from its name and sizes only.
    void Entry(const PackEntry& entry);
    // The totals; count is the pack's number of entries.
    void Finish(std::uint32_t count);

  private:
    std::FILE* out_;
    bool compressed_;
    unsigned number_ = 1;
    double sizeTotal_ = 0.0;
    double storedTotal_ = 0.0;
};
