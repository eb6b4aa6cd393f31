#include "Kova/General_SDK/Object_Manager/class_kova_object.h"

#include "Kova/General_Common/IPC/kova_named_objects.h"

namespace Kova {
namespace SDK {
namespace Object_Manager {

Pimo::OS::vimra_err_t class_kova_object::create_object(domain_t in_domain, object_id_t in_id,
                                                       Interface::interface_object_core* pin_object) {
    mp_object = pin_object;
    return m_mutex.eproc_create_global(General_Common::IPC::get_object_lock_name(in_domain, in_id), false);
}

void class_kova_object::destroy_object() { m_mutex.proc_destroy(); }

}  // namespace Object_Manager
}  // namespace SDK
}  // namespace Kova
