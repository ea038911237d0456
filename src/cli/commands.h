// The commands of the command line, each run from its parsed arguments; what the parser and the
// commands share.
#pragma once

#include <string>
#include <vector>

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// One command: its verb, its options, its operands in order.
struct Arguments {
    std::string verb;
    bool compress = false;   // -z
    bool fast = false;       // --fast (implies -z)
    bool recursive = false;  // -r
    bool skip = false;       // --skip
    bool verbose = false;    // -v
    bool names = false;      // list --names
    unsigned jobs = 0;       // -j: threads, 0 one per core
    double wait = 10;        // --wait: seconds a writer waits for another writer of its pack
    std::vector<std::string> operands;
};

// Prints "zorel: message (see zorel --help)" on standard error; gives kExitUsage.
int UsageError(const std::string& message);

// Writes text to standard output; false (and the reason kept for Finished) when it fails.
void Print(const std::string& text);

// The exit status of a command that ended with `status`: a failed write of standard output
// turns success into failure, told on standard error.
int Finished(int status);

// Runs the command; gives the exit status.
int RunCommand(const Arguments& args);
