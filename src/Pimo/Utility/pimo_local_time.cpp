#include "Pimo/Utility/pimo_local_time.h"

#include <time.h>

namespace Pimo {
namespace Utility {

system_time_t get_local_time() {
    timespec now = {0, 0};
    clock_gettime(CLOCK_REALTIME, &now);
    tm cal = {};
    time_t seconds = now.tv_sec;
    // localtime_r: the shared buffer of localtime would race between log writers.
    localtime_r(&seconds, &cal);
    system_time_t out;
    out.wYear = cal.tm_year + 1900;
    out.wMonth = cal.tm_mon + 1;
    out.wDay = cal.tm_mday;
    out.wHour = cal.tm_hour;
    out.wMinute = cal.tm_min;
    out.wSecond = cal.tm_sec;
    out.wMilliseconds = static_cast<int32_t>(now.tv_nsec / 1000000);
    return out;
}

}  // namespace Utility
}  // namespace Pimo
