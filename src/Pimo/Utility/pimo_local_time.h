// The local calendar time with milliseconds.
#pragma once

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace Utility {

struct system_time_t {
    int32_t wYear;    // full year
    int32_t wMonth;   // 1 to 12
    int32_t wDay;     // 1 to 31
    int32_t wHour;
    int32_t wMinute;
    int32_t wSecond;
    int32_t wMilliseconds;  // 0 to 999
};

// Safe from any number of threads at once.
system_time_t get_local_time();

}  // namespace Utility
}  // namespace Pimo
