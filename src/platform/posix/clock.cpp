// POSIX local time: the calendar fields of an instant in the user's time zone.
#ifndef _WIN32

#include <ctime>

#include "platform/platform.h"

namespace platform {

bool LocalTime(std::int64_t seconds, CalendarTime* out) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    if (static_cast<std::int64_t>(when) != seconds) return false;
    std::tm fields{};
    if (localtime_r(&when, &fields) == nullptr) return false;
    *out = {fields.tm_year + 1900LL, fields.tm_mon + 1, fields.tm_mday,
            fields.tm_hour,          fields.tm_min,     fields.tm_sec};
    return true;
}

}  // namespace platform

#endif
