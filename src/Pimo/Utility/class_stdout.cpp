#include "Pimo/Utility/class_stdout.h"

#include <cstdarg>
#include <cstdio>

#include "Pimo/OS/Linux/class_locker.h"

namespace Pimo {
namespace Utility {

class_stdout* gp_out = nullptr;

int class_stdout::operator()(const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    if (len < 0) return len;
    if (len >= static_cast<int>(sizeof(buf))) len = static_cast<int>(sizeof(buf)) - 1;
    Pimo::OS::class_locker locker(&m_lock);
    std::fwrite(buf, 1, static_cast<size_t>(len), stdout);
    std::fputc('\n', stdout);
    return len;
}

}  // namespace Utility
}  // namespace Pimo
