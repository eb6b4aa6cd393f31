// Opening files and switching descriptor status flags.
#pragma once

#include <cstdio>

#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace Utility {

// The sharing mode is accepted for the callers' sake and ignored on this platform.
std::FILE* fopen(const char* filename, const char* mode, share_t share);

// Set or clear in_flag in the descriptor's status flags (O_NONBLOCK and so on):
// -1 when the flags cannot be read, else the result of setting them.
int fflag_on(int fd, int in_flag);
int fflag_off(int fd, int in_flag);

}  // namespace Utility
}  // namespace Pimo
