// The words of the program's own reasons: one table in the order of their codes, its length
// checked against the codes' count when it is built.
#include "report/reason_words.h"

#include <iterator>

namespace {

constexpr const char* kOwn[] = {"failed",
                                "name longer than 31 bytes",
                                "not a pack file",
                                "record is damaged or cut short",
                                "compressed data is corrupt",
                                "empty file (an entry holds 1 byte or more)",
                                "file of 4 GiB or more",
                                "not a regular file",
                                "name climbs out of the folder",
                                "no such entry",
                                "failed",
                                "standard input is a terminal",
                                "the target is a folder",
                                "the target is a FIFO",
                                "the target is a device",
                                "the target is a socket",
                                "the name holds no file name",
                                "a name Windows reserves for a device",
                                "a name Windows would change",
                                "a pack is not written to a terminal",
                                "the file changed after it was checked",
                                "being changed by another zorel",
                                "bytes differ from their checksum",
                                "path too long for the system",
                                "a symbolic link is in its path, not followed",
                                "hard link to a file this unpack did not restore",
                                "a part of the file is missing",
                                "already in the pack"};
static_assert(std::size(kOwn) == platform::kOwnReasons, "one text for each of the own codes");

}  // namespace

std::string Words(platform::Reason code) {
    if (code != 0 && (code & platform::kOwnError) == 0) return platform::ErrorText(code);
    const platform::Reason own = code & ~platform::kOwnError;
    return kOwn[own < std::size(kOwn) ? own : 0];
}
