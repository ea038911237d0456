// What both front ends print about a pack: the contents listing of menu key 7 and of
// `zorel list`, and entry names made safe for a terminal.
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

// An entry name as standard output shows it, by the rule of Shown (report/shown.h).
struct ShownName {
    explicit ShownName(const char* name);
    char text[32];  // as long as any entry name
};
