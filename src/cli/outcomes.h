// What the command line says of its commands' outcomes: one line on standard error for each
// thing met or failed, the options a command takes from its arguments, and the run of a
// streaming command with its summary.
#pragma once

#include <functional>
#include <string>

#include "cli/commands.h"
#include "fsbridge/streams.h"
#include "platform/platform.h"

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
