// The command line's operations on pack files: each streams records through a window, so that
// its memory stays bounded whatever the size of the pack or folder. They print nothing: a
// failure is told in a StreamFailure, for the front end to word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/pack.h"

// Where an operation failed and why: the entry, numbered from 1 (0 when the failure is not an
// entry's), and the item it concerns (a file, an entry's name or the pack file).
struct StreamFailure {
    std::uint32_t entry = 0;
    std::string item;
    platform::Reason reason = 0;
};

// Every regular file directly in folder into the pack file at path, each compressed by engine
// when asked, in the order and form of Pack::PackFolder then Pack::Save (with zlib, byte for
// byte). False leaves any earlier file.
bool StreamPackFolder(const char* path, const char* folder, bool compress, Compressor engine,
                      StreamFailure* failure);

// Every entry of the pack file (or those named) as a file below folder, made when missing.
// Stops at the first damaged, refused or unwritable entry, after writing those before it.
bool StreamUnpack(const char* path, const char* folder, const std::vector<std::string>& names,
                  StreamFailure* failure);

// Reads every record and decompresses each compressed one to check that it gives its size.
bool StreamTest(const char* path, StreamFailure* failure);

// Appends files to the pack file (made when missing), compressed by engine when the pack is;
// records kept are copied as they are.
bool StreamAdd(const char* path, const std::vector<std::string>& files, Compressor engine,
               StreamFailure* failure);

// Removes the first entry of each name from the pack file; a name that matches no entry fails
// the whole command, leaving the file as it was.
bool StreamRemove(const char* path, const std::vector<std::string>& names, StreamFailure* failure);
