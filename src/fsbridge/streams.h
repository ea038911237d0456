// The command line's operations on pack files: each streams records through a window, so that
// its memory stays bounded whatever the size of the pack or folder. They print nothing: a
// failure is told in a StreamFailure, for the front end to word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/pack.h"

class PackReader;

// Where an operation failed and why: the entry, numbered from 1 (0 when the failure is not an
// entry's), and the item it concerns (a file, an entry's name or the pack file).
struct StreamFailure {
    std::uint32_t entry = 0;
    std::string item;
    platform::Reason reason = 0;
};

// Opens the pack file at path for reading, "-" being standard input: a pipe is read as it comes,
// in constant memory. False with the reason of PackReader::Open, or of a terminal.
bool OpenPackInput(PackReader* reader, const char* path, platform::Reason* why);

// Every regular file directly in folder into the pack file at path, each compressed by engine
// when asked, in the order and form of Pack::PackFolder then Pack::Save (with zlib, byte for
// byte). False leaves any earlier file.
bool StreamPackFolder(const char* path, const char* folder, bool compress, Compressor engine,
                      StreamFailure* failure);

// Every entry of the pack file (or those named; "-": standard input) as a file below folder,
// made when missing. Stops at the first damaged, refused or unwritable entry, after writing
// those before it. Entries that would take more than kWholeCostMost whole are decoded in pieces
// straight into their files, so the memory taken does not depend on what the entries claim.
bool StreamUnpack(const char* path, const char* folder, const std::vector<std::string>& names,
                  StreamFailure* failure);

// Reads every record ("-": from standard input) and decompresses each compressed one to check
// that it gives its size; larger entries are checked in pieces, as unpack writes them.
bool StreamTest(const char* path, StreamFailure* failure);

// Appends files to the pack file (made when missing), compressed by engine when the pack is;
// records kept are copied as they are.
bool StreamAdd(const char* path, const std::vector<std::string>& files, Compressor engine,
               StreamFailure* failure);

// Removes the first entry of each name from the pack file; a name that matches no entry fails
// the whole command, leaving the file as it was.
bool StreamRemove(const char* path, const std::vector<std::string>& names, StreamFailure* failure);
