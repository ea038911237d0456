// The command-line front end: one command per run, its outcome as the exit status.
#pragma once

// Runs the command that argv names (argv[0] is the program); gives the exit status: 0 done, 1
// failed, 2 a wrong command line. Output goes to standard output, one line per failure (and per
// file left out) to standard error.
int RunCommandLine(int argc, char** argv);
