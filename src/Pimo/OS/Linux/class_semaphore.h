// Counting semaphore. This platform has no implementation: every creation, opening and
// wait fails with -1, and the rest does nothing.
#pragma once

#include <string>

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_semaphore {
public:
    vimra_err_t eproc_create(int64_t in_maxcount, int64_t in_initial_count);
    vimra_err_t eproc_create_local(const std::string& in_name, int64_t in_maxcount, int64_t in_initial_count);
    vimra_err_t eproc_create_global(const std::string& in_name, int64_t in_maxcount, int64_t in_initial_count);
    vimra_err_t eproc_open_local(const std::string& in_name);
    vimra_err_t eproc_open_global(const std::string& in_name);
    void proc_destroy() {}
    void proc_close() {}

    void proc_wait() {}
    vimra_err_t eproc_wait_try();
    vimra_err_t eproc_wait_timeout(double in_timeout);
    void proc_release(int64_t /*in_count*/) {}
};

}  // namespace OS
}  // namespace Pimo
