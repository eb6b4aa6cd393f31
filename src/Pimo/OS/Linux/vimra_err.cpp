#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

const char* get_vimra_err_str(vimra_err_t in_err) {
    switch (in_err) {
    case c_vimra_success:
        return "succeeded";
    case c_vimra_too_big_size:
        return "boundary out";
    case c_vimra_memory_empty:
        return "non_alloc";
    default:
        return "unknown";
    }
}

}  // namespace OS
}  // namespace Pimo
