// Descriptions written by packing: one before each run of files, of their paths, modes, times
// and checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fsbridge/folder.h"
#include "pack/descriptions.h"
#include "pack/pack.h"

// The most items one description covers.
inline constexpr std::size_t kRunFiles = descriptions::kMaxItems;

// How many descriptions cover `files` items, one before each run of at most kRunFiles.
inline std::size_t RunsOf(std::size_t files) {
    return (files + kRunFiles - 1) / kRunFiles;
}

// The entry of the description numbered `index` of count items (1 to kRunFiles) from run: each
// asked its mode and time (links not followed), each file read once, before it is packed, for
// the CRC-32 of its bytes; compressed by engine when asked. Null when an item cannot be read or
// a file has changed since it was listed (*culprit its path) or memory runs out, with *why.
std::unique_ptr<PackEntry> DescribeRun(const FolderFile* run, std::size_t count,
                                       std::uint32_t index, bool compress, Compressor engine,
                                       std::string* culprit, platform::Reason* why);
