// The commands of the command line: the verb table the parser is built from, each verb's
// handler run from its parsed arguments, and what the parser and the handlers share.
#pragma once

#include <cstddef>
#include <span>
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

// One verb: what the usage and its help say of it, the options and operands it takes, and the
// handler that runs it once the command line has been parsed and its operands counted.
struct Verb {
    const char* name;
    const char* operands;     // as its synopsis shows them
    std::size_t least, most;  // how many operands it takes
    const char* takes;        // the usage error for another count, behind "NAME takes "
    const char* flags;        // its options as the top-level usage shows them
    const char* brief;        // what the top-level usage says of it, '\n' between its lines
    const char* text;         // what COMMAND --help says of it
    const char* options;      // the keys of its options (cli.cpp), ' ' between them
    int (*run)(const Arguments& args);  // gives the exit status
};

// Every verb, in the order the usage shows them.
std::span<const Verb> Verbs();
