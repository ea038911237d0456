// Entries of a pack file written to standard output, one after the other, for a pipe.
#pragma once

#include "fsbridge/selection.h"
#include "platform/reason.h"

// What a failed write of standard output is told of.
inline constexpr const char* kOutput = "standard output";

// The plain bytes of every entry the selection takes, in pack order, to standard output and
// nothing else there; the pack file is read from standard input for "-". Each entry is decoded
// in pieces as it is read, so memory stays small whatever its size. Stops at the first damaged
// entry or failed write (its item kOutput); a pattern that met no entry fails it once the others
// are written.
bool StreamToOutput(const char* path, NameSelection* selection, platform::Failure* failure);
