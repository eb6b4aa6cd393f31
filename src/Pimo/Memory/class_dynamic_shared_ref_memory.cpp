#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"

namespace Pimo {
namespace Memory {

OS::vimra_err_t class_dynamic_shared_ref_memory::eproc_create(const char* in_name, unsigned int in_size) {
    return m_memory.eproc_create(in_name, in_size) == OS::c_vimra_success ? OS::c_vimra_success : OS::c_vimra_unknown;
}

OS::vimra_err_t class_dynamic_shared_ref_memory::eproc_open(const char* in_name) {
    return m_memory.eproc_open(in_name) == OS::c_vimra_success ? OS::c_vimra_success : OS::c_vimra_unknown;
}

}  // namespace Memory
}  // namespace Pimo
