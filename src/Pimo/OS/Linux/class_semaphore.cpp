#include "Pimo/OS/Linux/class_semaphore.h"

namespace Pimo {
namespace OS {

vimra_err_t class_semaphore::eproc_create(int64_t, int64_t) { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_create_local(const std::string&, int64_t, int64_t) { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_create_global(const std::string&, int64_t, int64_t) { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_open_local(const std::string&) { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_open_global(const std::string&) { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_wait_try() { return c_vimra_unknown; }

vimra_err_t class_semaphore::eproc_wait_timeout(double) { return c_vimra_unknown; }

}  // namespace OS
}  // namespace Pimo
