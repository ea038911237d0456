// The command line's operations on pack files: each streams records through a window, so that
// its memory stays bounded whatever the size of the pack or folder. They print nothing: a
// failure is told in a platform::Failure, for the front end to word.
#pragma once

#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "fsbridge/selection.h"
#include "fsbridge/stream_options.h"

class PackReader;

// Opens the pack file at path for reading, "-" being standard input: a pipe is read as it comes,
// in constant memory. False with the reason of PackReader::Open, or of a terminal.
bool OpenPackInput(PackReader* reader, const char* path, platform::Reason* why);

// Every regular file of folder (and, recursive, of the folders below it, named by their path
// with '/') into the pack file at path (standard output for kStandardStream, unless that is a
// terminal; a FIFO or device a path leads to is written straight into), each compressed by engine
// when asked, in the order and form of Pack::PackFolder then Pack::Save (with zlib, byte for
// byte, when not recursive). The pack file itself, met in the folder, is left out. Every file is
// checked before the pack file is begun. False leaves any earlier file; what went into a stream
// written straight stays there.
bool StreamPackFolder(const char* path, const char* folder, const StreamOptions& options,
                      platform::Failure* failure);

// Every entry of the pack file ("-": standard input; or those the selection takes) as a file
// below folder, made when missing. Stops at the first damaged, refused or unwritable entry, after
// writing those before it; a pattern that met no entry fails it after the others are written.
// Entries that would take more than kWholeCostMost whole are decoded in pieces straight into
// their files, so the memory taken does not depend on what the entries claim.
bool StreamUnpack(const char* path, const char* folder, NameSelection* selection,
                  const StreamOptions& options, platform::Failure* failure);

// Reads every record ("-": from standard input) and decompresses each compressed one to check
// that it gives its size; larger entries are checked in pieces, as unpack writes them.
bool StreamTest(const char* path, const StreamOptions& options, platform::Failure* failure);

// Adds files (named by FolderFile::name, read from Path()) to the pack file, made when missing,
// compressed (when new) as options say, else as the pack is. A file replaces, in its place, the
// first entry of its name (its described path, where a description gives one), and with
// options.update only when it differs from it (by size; by time or CRC-32 where a description
// gives them, else by bytes); of files of one name the last is taken; the others follow the
// last entry. Records kept are copied as they are. Every file is checked, and the entries
// replaced found from the heads, before the pack is written; with update and nothing to do,
// the pack is left as it is.
bool StreamAdd(const char* path, std::vector<FolderFile> files, const StreamOptions& options,
               platform::Failure* failure);

// Removes the first entry of each name from the pack file, and every entry a name holding
// wildcards matches; a name that matches no entry fails the whole command, leaving the file as
// it was.
bool StreamRemove(const char* path, const std::vector<std::string>& names,
                  const StreamOptions& options, platform::Failure* failure);
