// The words both front ends give a failure's reason.
#pragma once

#include <string>

#include "platform/reason.h"

// The program's own words for its codes (0 among them, as a failure without a reason), the
// system's for the rest: one line, no full stop at the end.
std::string Words(platform::Reason code);
