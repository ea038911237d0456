// What the command line's handlers share: the arguments a command was parsed into, its exit
// statuses, and what is said of its outcomes: one line on standard error for each thing met or
// failed, the options a command takes from its arguments, and the run of a streaming command with
// its summary.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fsbridge/streams.h"
#include "platform/platform.h"

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
    bool update = false;     // add -u: only files that changed replace their entries
    bool plain = false;      // --plain: no descriptions
    bool verbose = false;    // -v
    bool names = false;      // list --names
    bool null = false;       // list --null
    bool longForm = false;   // list --long
    bool toOutput = false;   // unpack -O: the entries' bytes to standard output
    bool keepOld = false;    // unpack -k: no existing file replaced
    bool keepNewer = false;  // unpack --keep-newer-files: none newer than its entry replaced
    unsigned jobs = 0;       // -j: threads, 0 one per core
    unsigned strip = 0;      // unpack --strip-components
    std::vector<std::string> excludes;  // --exclude, each a pattern
    double wait = 10;    // --wait: seconds a writer waits for another writer of its pack
    std::string format;  // convert --format: the form of OUT, when not by its name
    std::vector<std::string> operands;
};

// Prints "zorel: message (see zorel --help)" on standard error; gives kExitUsage.
int UsageError(const std::string& message);

// Writes text to standard output; false (and the reason kept for Finished) when it fails.
void Print(const std::string& text);

// The exit status of a command that ended with `status`: a failed write of standard output
// turns success into failure, told on standard error, but for a pipe whose reader has gone.
int Finished(int status);

// Sends what standard output holds on its way before a line on standard error; a failure is kept
// for Finished.
void FlushOut();

// Says one line on standard error: "zorel: text", every name in it safe for a terminal.
void Say(const std::string& text);

// Says what a path lost to become the entry name it is stored under.
void SayStored(const std::string& path, const std::string& removed, const std::string& name);

// Words the failure of a command on `subject`; gives kExitFailure.
int Failed(const std::string& subject, const platform::Failure& failure);

// The options every operation takes from the command line; what it meets is said as it comes.
StreamOptions OptionsOf(const Arguments& args, StreamTotals* totals);

// Runs one streaming operation under a status line (none when `doing` is null); says its summary
// on a terminal, or its failure.
int Streamed(const char* doing, const char* done, const std::string& subject,
             const std::function<bool(StreamTotals*, platform::Failure*)>& operation);
