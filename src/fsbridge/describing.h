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

// The most files one description covers.
inline constexpr std::size_t kRunFiles = descriptions::kMaxItems;

// How many descriptions cover `files` files, one before each run of at most kRunFiles.
inline std::size_t RunsOf(std::size_t files) {
    return (files + kRunFiles - 1) / kRunFiles;
}

// The entry of the description numbered `index` of count files (1 to kRunFiles) from run: each
// file read once, before it is packed, for the CRC-32 of its bytes, and asked its mode and time
// (a part of a large file is an item of its own, of its offset and its bytes' CRC-32);
// compressed by engine when asked. Null when a file cannot be read or has changed since it was
// listed (*culprit its path) or memory runs out, with *why.
std::unique_ptr<PackEntry> DescribeRun(const FolderFile* run, std::size_t count,
                                       std::uint32_t index, bool compress, Compressor engine,
                                       std::string* culprit, platform::Reason* why);
