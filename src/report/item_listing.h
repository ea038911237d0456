// The lines `list -1`, `-0` and `-l` print of a pack's items: full paths, and tar -tv's long form.
#pragma once

#include <cstdint>
#include <string>

#include "pack/descriptions.h"

// The path an item is listed by: its full path, a folder's ended by '/' as tar lists it.
std::string ListedPath(const descriptions::Item& item);

// The mode string tar -tv shows: the kind ('-' a file, 'd' a folder, 'l' a symbolic link, 'h' a
// hard link), then read, write and execute for owner, group and others, with s/S and t/T.
std::string ModeString(descriptions::Kind kind, std::uint32_t mode);

// One line of `list -l`, without its newline: mode string, size, date and time (local, to the
// minute), path, then "-> target" for a symbolic link or "link to target" for a hard link.
std::string LongLine(const descriptions::Item& item);
// The line of an entry no description covers: its size and stored name, with '?' for the mode
// and the time, which the pack does not keep.
std::string LongLine(const char* stored, std::uint32_t size);
