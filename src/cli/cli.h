// The command-line front end: one command per run, its outcome as the exit status.
#pragma once

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the command that argv names (argv[0] is the program); gives the exit status. Output goes
// to standard output, one line per failure to standard error.
int RunCommandLine(int argc, char** argv);
