// A pack file compared with a folder, entry by entry and file by file.
#pragma once

#include <functional>
#include <string>

#include "platform/reason.h"

// What differs between an entry and the file of its name.
enum class Difference { kMissingFile, kMissingEntry, kSize, kBytes, kMode, kTime, kTarget, kKind };

// Compares every entry of the pack file ("-": standard input) with the file of its name below
// folder (its size, then its bytes, decoded in pieces) and tells each difference, in pack order,
// then each file of the folder's tree that no entry names. An entry a description covers is
// compared under its full path, and also by kind, mode and time; a folder or link it holds by
// kind, mode and time (a folder), target (a symbolic link) or being the same file (a hard
// link); modes only where the system keeps them all. *differs: whether any was told. False
// for a pack that cannot be read or a file or folder that cannot be (not a difference).
bool StreamDiff(const char* path, const char* folder,
                const std::function<void(const std::string& name, Difference)>& told, bool* differs,
                platform::Failure* failure);
