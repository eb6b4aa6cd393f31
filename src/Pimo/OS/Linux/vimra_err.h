// Result code of every failing operation of the base library.
#pragma once

namespace Pimo {
namespace OS {

enum vimra_err_t : int {
    c_vimra_unknown = -1,
    c_vimra_success = 0,
    c_vimra_err_none = 0,
    c_vimra_canceled = 1,
    c_vimra_timeout = 2,
    c_vimra_too_big_size = 3,
    c_vimra_memory_empty = 4,
    c_vimra_shutdown = 5,
    c_vimra_already_exists = 6,
    c_vimra_not_created = 7,
    c_vimra_busy = 8,
};

const char* get_vimra_err_str(vimra_err_t in_err);

}  // namespace OS
}  // namespace Pimo
