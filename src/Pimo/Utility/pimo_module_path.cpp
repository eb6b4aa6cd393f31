#include "Pimo/Utility/pimo_module_path.h"

#include <unistd.h>

#include <cstdio>

namespace Pimo {
namespace Utility {

namespace {

const int c_path_capacity = 1024;

// Reads /proc/<pid>/exe into pout_buf (c_path_capacity + 1 bytes), zero-terminated at
// the link's length; returns that length or -1.
ssize_t read_exe_link(char* pout_buf) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(getpid()));
    ssize_t len = readlink(link, pout_buf, c_path_capacity);
    if (len >= 0) pout_buf[len] = '\0';
    return len;
}

}  // namespace

const char* get_module_filename() {
    // A failed read keeps the thread's previous text.
    thread_local char t_buf[c_path_capacity + 1] = {0};
    read_exe_link(t_buf);
    return t_buf;
}

const char* get_module_directory() {
    thread_local char t_buf[c_path_capacity + 1] = {0};
    ssize_t len = read_exe_link(t_buf);
    if (len < 0) {
        t_buf[0] = '\0';
        return t_buf;
    }
    for (ssize_t i = len - 1; i >= 0; --i) {
        if (t_buf[i] == '/') {
            t_buf[i + 1] = '\0';
            break;
        }
    }
    return t_buf;
}

const char* get_install_folder(const char*) { return get_module_directory(); }

void set_current_directory(const char* directory) {
    if (directory && chdir(directory) != 0) {
        // The caller goes on in the old directory; nothing more to report.
    }
}

}  // namespace Utility
}  // namespace Pimo
