// An archive of another program into a pack: its items checked first, then moved through the
// window that packs files.
#pragma once

#include "convert/input.h"
#include "convert/options.h"

// The items of the archive `input` holds (which can be read again) into the pack at `out`.
bool ArchiveToPack(ConvertInput* input, const std::string& out, const ConvertOptions& options,
                   ConvertFailure* failure);

// The name an item of an archive goes by, cleaned as add cleans a path; *removed tells what
// cleaning took away. Empty when nothing is left of it.
std::string CleanName(const std::string& path, std::string* removed);
