// Running a main-like function on a command line split into words.
#pragma once

#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace Utility {

typedef int (*main_t)(int, char**);

// argv = { filename, the words of cmd_line..., null }, argc = words + 1.
Pimo::OS::vimra_err_t call_classic_main(main_t main_entry, const char* filename, const char* cmd_line);
// argv = { the words of cmd_line..., null }, argc = words; the first word is the command.
Pimo::OS::vimra_err_t call_classic_main_type(main_t main_entry, const char* cmd_line);

}  // namespace Utility
}  // namespace Pimo
