// What add reads of a pack before it writes: the entries its files replace, found by their
// described paths, and whether each file changed; and the facts of files and descriptions.
#pragma once

#include <cstdint>
#include <vector>

#include "fsbridge/folder.h"
#include "pack/descriptions.h"
#include "pack/pack.h"
#include "platform/platform.h"

inline constexpr std::uint32_t kNoDescription = UINT32_MAX;

// An entry of the pack that a file takes the place of.
struct Replaced {
    std::uint32_t record;                        // its place in the pack, from 0
    std::uint32_t file;                          // the file's place among those added
    std::uint32_t description = kNoDescription;  // the record of the description of an item of it
    std::uint32_t item = 0;                      // that item's place in the description
};

// What the heads of the pack tell before anything is written.
struct Surveyed {
    std::vector<Replaced> replaced;  // in pack order
    std::vector<bool> unchanged;     // by file: update leaves it out
    std::uint32_t descriptions = 0;  // above the number of every description name in the pack
    std::uint32_t standIns = 0;      // the same for stand-in names
};

// The item DescribeRun makes of one file: its mode, time and CRC-32.
bool FactsOf(const FolderFile& file, descriptions::Item* facts, platform::Reason* why);

// Reads the pack's heads (and its descriptions): which entry each file replaces, the first of
// its path not replaced already, in pack order; with update, the files that have not changed;
// the numbers above every description and stand-in name. False when the pack cannot be read
// whole, or a file compared cannot be read.
bool Survey(const char* path, const std::vector<FolderFile>& files, bool update, Surveyed* surveyed,
            platform::Failure* failure);
