// Windows local time: the calendar fields of an instant in the user's time zone.
#ifdef _WIN32

#include <windows.h>

#include "platform/platform.h"

namespace platform {

// Through FILETIME, which counts 100 ns from 1601, so that times before 1970 are told too (the
// C library's local time refuses them).
bool LocalTime(std::int64_t seconds, CalendarTime* out) {
    constexpr std::int64_t kFrom1601 = 11644473600;  // seconds from 1601 to 1970
    if (seconds < -kFrom1601 || seconds > INT64_MAX / 10000000 - kFrom1601) return false;
    const auto ticks = static_cast<std::uint64_t>((seconds + kFrom1601) * 10000000);
    FILETIME at{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{}, local{};
    if (!FileTimeToSystemTime(&at, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return false;
    }
    *out = {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
    return true;
}

}  // namespace platform

#endif
