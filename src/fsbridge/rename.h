// One entry of a pack file given another name.
#pragma once

#include <string>

#include "fsbridge/streams.h"

// Gives the first thing at the path `from` (as list -1 shows paths) the path `to` in the pack
// file, under its lock; every record is copied as it is, in its place, but the description of
// a described item, encoded again with its new path (and the hard links to it retargeted), and
// the entry holding it, stored under `to` or a stand-in. An undescribed entry takes `to` as its
// stored name. A path nothing is at (kErrorNoSuchEntry), a new path that is empty
// (kErrorNoFileName), held already (kErrorNameTaken), that does not fit an undescribed entry
// (kErrorNameTooLong) or a description (DescribablePath), fails it, leaving the file as it was.
bool StreamRename(const char* path, const std::string& from, const std::string& to,
                  const StreamOptions& options, platform::Failure* failure);
