// What the command-line tests share: the folder of packs and files every test starts from, the
// table of command lines with what each must leave, and runs on a terminal or a shell.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pack/descriptions.h"
#include "platform/platform.h"
#include "test_support.h"

inline constexpr std::uint64_t kMiB = 1 << 20;
inline const std::string kLong = "a-name-of-thirty-two-characters!";  // one too many
inline const std::string kAbsent = "(absent)";                        // a file that must not exist
inline const std::string kTry = " (see zorel --help)\n";
inline const std::string kIn(1, platform::kPathSeparator);  // a folder's files
inline constexpr bool kWindows = platform::kPathSeparator == '\\';
// The line a pack or add ends with when n files cannot be packed.
inline std::string CannotPack(int n) {
    return "zorel: " + std::to_string(n) + (n == 1 ? " file" : " files") +
           " cannot be packed; --skip leaves such files out and packs the rest\n";
}
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZOREL_NO_ADDRESS_LIMIT 1  // the sanitizer reserves more than any limit allows
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZOREL_NO_ADDRESS_LIMIT 1
#endif
#endif
#ifdef _WIN32
inline constexpr bool kPiped = false;  // RunCommand redirects the file
#else
inline constexpr bool kPiped = true;
#endif

// The bytes of a pack made through the menu's own operations, saved as dir/name.
std::string SavedPack(const fs::path& dir, const char* name,
                      std::vector<std::pair<std::string, std::string>> entries, bool encode);

// The names of a pack file's entries with their bytes, "name=bytes|...", or "unreadable".
std::string PackContents(const std::string& path);

// The zlib stream of bytes at a level; 0 makes stored blocks, which inflate as fast as a copy.
std::string Deflated(const std::string& bytes, int level);

// A compressed pack file's header for `count` records, and one record's head.
std::string PackHeader(std::uint32_t count);
std::string RecordHead(const std::string& name, std::uint32_t size, std::uint32_t stored);

// A description of one entry of that stored name, plain size and CRC-32.
std::string Described(const std::string& stored, std::uint32_t size, std::uint32_t crc);
// In dir: packs whose first entry describes the entry "f" as holding "good": described.pak as
// written, changed.pak and changedz.pak (compressed) with f changed to bytes of its size; and
// stale.pak, without f; lookalike.pak, whose first entry bears a description's name but holds
// ordinary bytes.
void DescribedPacks(const fs::path& dir);

// The bytes of a description of items, as its entry holds them.
std::string DescriptionOf(const std::vector<descriptions::Item>& items);
// The items of dir/items.pak, whose one description covers a folder "d", its files "d/a"
// ("abc", 0644), "d/e" (empty) and "d/" + kLong (under a stand-in, 04755), a symbolic link
// "d/l" -> "a", a hard link "d/h" to "d/a" and a sticky folder "d/s" dated before 1970; an
// undescribed entry "plain" follows.
std::vector<descriptions::Item> ItemsPack(const fs::path& dir);

// One command line of a table: what it must exit with, say and leave.
struct CommandCase {
    std::vector<std::string> args;
    int status;
    std::string err;
    // file -> its bytes, or kAbsent; "pack:FILE" -> its contents, "flag:FILE" -> "1" or "0"
    std::map<std::string, std::string> files;
    std::string out = "";    // what standard output begins with
    bool wholeOut = false;   // ... or is, whole
    std::string piped = "";  // a file given on standard input
    std::string holds = "";  // a line standard output holds
};

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override;
    // Runs each case in a fresh copy of the folder and checks all it must leave.
    void Check(const std::vector<CommandCase>& cases) const;

    const std::vector<std::pair<std::string, std::string>> kTree = {
        {"a.txt", "1"}, {"a/deep/y", "3"}, {"a/x", "2"}, {"B.txt", "4"}};
    const std::string kNoFile = platform::ErrorText(2);  // ENOENT, ERROR_FILE_NOT_FOUND
    ScratchDir dir;
    std::string plain, zipped, treePack;
};

#ifndef _WIN32
// Runs the program in folder with standard output and error on one pseudo-terminal (or on one
// pipe); gives what the terminal (the pipe) received. Standard output goes to a file instead
// when errOnly.
std::string AtATerminal(const fs::path& folder, const std::vector<std::string>& args,
                        const std::string& input, bool terminal, bool errOnly = false);

// A shell command's exit status and standard error, run in folder.
std::pair<int, std::string> Shell(const fs::path& folder, const std::string& command);
#endif
