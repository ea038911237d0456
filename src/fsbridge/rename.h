// One entry of a pack file given another name.
#pragma once

#include <string>

#include "fsbridge/streams.h"

// Renames the first entry named `from` to `to` in the pack file, under its lock; every record
// is copied as it is, in its place. A name that no entry has (kErrorNoSuchEntry), or a new name
// that is empty (kErrorNoFileName) or does not fit an entry (kErrorNameTooLong), fails it,
// leaving the file as it was.
bool StreamRename(const char* path, const std::string& from, const std::string& to,
                  const StreamOptions& options, platform::Failure* failure);
