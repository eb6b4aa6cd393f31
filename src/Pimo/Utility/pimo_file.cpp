#include "Pimo/Utility/pimo_file.h"

#include <fcntl.h>

namespace Pimo {
namespace Utility {

std::FILE* fopen(const char* filename, const char* mode, share_t) { return std::fopen(filename, mode); }

int fflag_on(int fd, int in_flag) {
    int old_flags = fcntl(fd, F_GETFL);
    if (old_flags == -1) return -1;
    return fcntl(fd, F_SETFL, old_flags | in_flag);
}

int fflag_off(int fd, int in_flag) {
    int old_flags = fcntl(fd, F_GETFL);
    if (old_flags == -1) return -1;
    return fcntl(fd, F_SETFL, old_flags & ~in_flag);
}

}  // namespace Utility
}  // namespace Pimo
