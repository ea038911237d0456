// Work on every entry of the pack at once, on the window's workers.
#pragma once

#include "pack/pack.h"

// Brings every entry whose own flag differs from the pack's into the pack's form (compressed
// with zlib, or plain), on every core; false when one could not be.
bool BringIntoForm(Pack* pack);
