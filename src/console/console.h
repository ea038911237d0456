// The console front end: the menu loop and the contents listing.
#pragma once

#include <cstdint>

struct Pack;

// Runs the menu on standard input and output until key "0" or the end of input; gives 0.
int RunMenu();

// Prints every entry with its sizes and ratio, then the totals.
void ShowContents(const Pack& pack);

// The menu's reading of an entry number: leading blanks, a sign and digits; no digits give
// 0; values beyond the signed 32-bit range saturate.
std::int32_t ParseNumber(const char* text);

// The position an entry number names, counted from 0; number 0 gives 4294967295.
std::uint32_t PositionOf(std::int32_t number);
