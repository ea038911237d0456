// The commands of the command line: the verb table the parser is built from, each verb's
// handler run from its parsed arguments.
#pragma once

#include <cstddef>
#include <span>

#include "cli/outcomes.h"

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
