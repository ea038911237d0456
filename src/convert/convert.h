// convert: a pack to the archives of other programs and back, read and written one item at a
// time, through libarchive. The only part of the program that needs libarchive.
#pragma once

#include <string>

#include "convert/archive_out.h"
#include "convert/options.h"

// Converts the pack or archive at `in` ("-": standard input), known by its bytes, into `out`
// ("-": standard output) in `form`. Items the pack cannot hold are refused (or, with skip, left
// out) and named before the pack is begun; devices, FIFOs and sockets are left out and named;
// names are cleaned as add cleans them. OUT appears whole or not at all (a pipe or standard
// output keeps what was written). False fills *failure, naming the item that failed.
bool Convert(const std::string& in, const std::string& out, ArchiveForm form,
             const ConvertOptions& options, ConvertFailure* failure);
