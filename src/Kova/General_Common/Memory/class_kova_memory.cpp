#include "Kova/General_Common/Memory/class_kova_memory.h"

#include <unistd.h>

#include "Kova/Common/Global/kova_global.h"

namespace Kova {
namespace General_Common {
namespace Memory {

using Pimo::Memory::class_dynamic_shared_ref_memory;
using Pimo::Observer::class_observer;
using Pimo::OS::vimra_err_t;

const char* const class_kova_memory::str_name = "kova_memory_manager";

vimra_err_t class_kova_memory::eproc_create(unsigned int in_size, const char* in_name) {
    vimra_err_t r = class_dynamic_shared_ref_memory::eproc_create(in_name, in_size);
    if (r != Pimo::OS::c_vimra_success) return r;
    r = class_observer::eproc_create(in_name);
    if (r != Pimo::OS::c_vimra_success) {
        class_observer::proc_destroy();
        class_dynamic_shared_ref_memory::proc_destroy();
    } else {
        Common::Global::g_memory_capacity = get_capacity();
    }
    return r;
}

vimra_err_t class_kova_memory::eproc_open(const char* in_name) {
    vimra_err_t r = class_dynamic_shared_ref_memory::eproc_open(in_name);
    if (r != Pimo::OS::c_vimra_success) return r;
    r = class_observer::eproc_open(in_name);
    if (r != Pimo::OS::c_vimra_success) class_dynamic_shared_ref_memory::proc_close();
    else Common::Global::g_memory_capacity = get_capacity();
    return r;
}

void class_kova_memory::proc_close() {
    class_observer::proc_close();
    class_dynamic_shared_ref_memory::proc_close();
}

void class_kova_memory::proc_destroy() {
    class_observer::proc_destroy();
    class_dynamic_shared_ref_memory::proc_destroy();
}

void* class_kova_memory::on_destroy() {
    _exit(-1);
    return nullptr;
}

}  // namespace Memory
}  // namespace General_Common
}  // namespace Kova
