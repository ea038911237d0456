// Descriptions written by packing: one before each run of files, of their paths, modes, times
// and checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "pack/descriptions.h"
#include "pack/pack.h"

// The most items one description covers.
inline constexpr std::size_t kRunFiles = descriptions::kMaxItems;

// How many descriptions cover `files` items, one before each run of at most kRunFiles.
inline std::size_t RunsOf(std::size_t files) {
    return (files + kRunFiles - 1) / kRunFiles;
}

// Files of at most this many bytes may be kept as they are read for their CRC-32, so that
// packing takes those bytes and reads each file once.
inline constexpr std::uint64_t kKeptMost = std::uint64_t{64} << 10;

// The entry of the description numbered `index` of count items (1 to kRunFiles) from run: each
// asked its mode and time (links not followed), each file read once, before it is packed, for
// the CRC-32 of its bytes (a part of a large file is an item of its own, of its offset and its
// bytes' CRC-32); compressed by engine when asked. Null when an item cannot be read or
// a file has changed since it was listed (*culprit its path) or memory runs out, with *why.
// With kept, (*kept)[i] takes the bytes of run[i] when it is a file of at most kKeptMost bytes
// (1 or more), and stays empty for every other item.
std::unique_ptr<PackEntry> DescribeRun(const FolderFile* run, std::size_t count,
                                       std::uint32_t index, bool compress, Compressor engine,
                                       std::string* culprit, platform::Reason* why,
                                       std::vector<std::string>* kept = nullptr);
// The entry of the description numbered `index` of items (1 to kRunFiles, each well formed),
// compressed by engine when asked; null with *why when they cannot be encoded or memory runs out.
std::unique_ptr<PackEntry> DescriptionEntry(const std::vector<descriptions::Item>& items,
                                            std::uint32_t index, bool compress, Compressor engine,
                                            platform::Reason* why);
