// Windows local time: the calendar fields of an instant in the user's time zone.
#ifdef _WIN32

#include <ctime>

#include "platform/platform.h"

namespace platform {

bool LocalTime(std::int64_t seconds, CalendarTime* out) {
    const __time64_t when = static_cast<__time64_t>(seconds);
    std::tm fields{};
    if (_localtime64_s(&fields, &when) != 0) return false;
    *out = {fields.tm_year + 1900LL, fields.tm_mon + 1, fields.tm_mday,
            fields.tm_hour,          fields.tm_min,     fields.tm_sec};
    return true;
}

}  // namespace platform

#endif
