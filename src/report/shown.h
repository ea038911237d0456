// Names made safe for a terminal: the one rule every printer of both front ends follows.
#pragma once

#include <cstdio>
#include <string>

// Text bound for stream as it is to be written there: where stream is a terminal, every
// control character (below 0x20, and 0x7F) becomes '?', so that no name read from a pack or a
// folder can steer the terminal; written to a file or a pipe, the bytes stay as they are.
std::string Shown(std::FILE* stream, std::string text);

// The same rule in place, on a NUL-terminated text known to go to a terminal or not.
void ShowInPlace(char* text, bool terminal);
