// The steps the command line's operations on pack files share: the writer's lock, what a
// listing tells, the totals, and files packed into a writer behind their descriptions or not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "fsbridge/stream_options.h"
#include "pack/records.h"
#include "platform/lock.h"

// name below folder, joined by the system's separator; name alone without a folder.
std::string InFolder(const char* folder, const std::string& name);

// Takes the lock of the pack a writer reads and replaces, or tells why it could not be had.
bool TakeLock(platform::PackLock* lock, const char* path, const StreamOptions& options,
              platform::Failure* failure);

// The length of a pack file, for the progress; 0 for standard input, whose is not known.
std::uint64_t LengthOf(const char* path);

// Tells the front end what a listing left out and could not take (by its path below folder,
// or as given when folder is null); false when files were refused and are not to be skipped,
// which fails the operation.
bool TellListing(const char* folder, const FolderListing& listing, const StreamOptions& options,
                 platform::Failure* failure);

// Sets the totals, when asked.
void Count(const StreamOptions& options, std::uint64_t entries, std::uint64_t plain,
           std::uint64_t packBytes);

// Files into the writer, in their order, compressed when options say.
bool PackRun(const std::vector<FolderFile>& files, const StreamOptions& options,
             std::uint64_t budget, PackWriter* writer, platform::Failure* window);

// Items into the writer, each run of them behind the description that covers it, then those held
// by an entry packed, every run through one window: a run is described (its small files read
// once and kept) while the files of the run before it are packed, so at most two runs' kept
// bytes wait beside the window. The descriptions are numbered from firstIndex.
bool PackDescribed(const std::vector<FolderFile>& files, const StreamOptions& options,
                   std::uint64_t budget, PackWriter* writer, platform::Failure* window,
                   std::uint32_t firstIndex);
