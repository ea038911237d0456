// Helpers shared by the tests: scratch folders, whole-file reads and writes, entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/pack.h"

namespace fs = std::filesystem;

// A fresh folder (in the system's temporary folder, or in base) removed with everything in it
// when the test ends.
class ScratchDir {
  public:
    explicit ScratchDir(const fs::path& base = fs::temp_directory_path());
    ~ScratchDir();
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// Runs the current folder back to where it was when the test ends.
class KeepCurrentFolder {
  public:
    KeepCurrentFolder() : saved_(fs::current_path()) {}
    ~KeepCurrentFolder() { fs::current_path(saved_); }

  private:
    fs::path saved_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// The entry's bytes as they are in its block, whatever its form.
std::string BlockBytes(PackEntry& entry);

// A plain entry holding bytes under name, as a file load would make it.
PackEntry* MakeEntry(const std::string& name, const std::string& bytes);

// Appends an entry to the pack.
void Append(Pack& pack, PackEntry* entry);

// prefix followed by number. Appended, not "prefix" + std::to_string(number): g++ 12 at -O3
// takes the insert that operator+ makes for a false overlapping copy (-Wrestrict).
std::string Numbered(const char* prefix, std::uint32_t number);

// Every entry name of the pack, joined with ",".
std::string Names(const Pack& pack);

// Text as the console streams hold it in a file: on Windows every line ends in "\r\n".
std::string ConsoleText(const std::string& text);

// Limits the program runs under (POSIX only); 0 leaves a limit as it is.
struct RunLimits {
    std::uint64_t fileSize = 0;      // RLIMIT_FSIZE, with SIGXFSZ ignored so that writes fail
    std::uint64_t addressSpace = 0;  // RLIMIT_AS
    bool fileSizeSignal = false;     // SIGXFSZ left at its default action, which ends a program
};

// No more of the program's output than this is read.
inline constexpr std::size_t kProgramOutputLimit = std::size_t{64} << 20;

// Runs the program in folder with input as its standard input; gives standard output, of
// at most kProgramOutputLimit bytes. The status is the exit code, or 128 plus the signal that
// ended the program. The environment variable ZOREL_TEST_WRAPPER, when set, is a command put
// in front of the program (valgrind).
std::string RunProgram(const fs::path& folder, const std::string& input, int* status = nullptr,
                       RunLimits limits = {});

// What a command-line run left: exit status and its two output streams.
struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program in folder with arguments and no input, as RunProgram does; or with the file
// `piped` of folder on its standard input, through a pipe (on Windows redirected from the file).
CommandResult RunCommand(const fs::path& folder, const std::vector<std::string>& arguments,
                         RunLimits limits = {}, const std::string& piped = "");

#ifndef _WIN32
// One turn of a conversation with the program: once its output ends with the prompt, the
// reply is typed.
struct Exchange {
    std::string prompt;
    std::string reply;
};

// Runs the program in folder on pipes, as a person would drive it, typing each reply only when
// the output so far ends with its prompt. The output goes to *said; true when every prompt
// came and the program then ended with status 0.
bool Converse(const fs::path& folder, const std::vector<Exchange>& exchanges, std::string* said);
#endif

// The command from ZOREL_TEST_WRAPPER; empty when the program runs on its own.
std::string ProgramWrapper();

// What each pass of the menu printed after the menu, one string per pass.
std::vector<std::string> Messages(const std::string& output);

// How many temporary files of the packer lie in folder.
int TempFilesIn(const fs::path& folder);

// The prompt of every key that is not a command, "0" included.
inline const std::string kWait = " press any key to continue\n\n  > ";

// The banner and menu the program prints at the start of every pass.
extern const char* const kMenuScreen;
