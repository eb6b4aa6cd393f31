// One registry entry: the object and the host-wide lock whose presence makes its
// id taken on the host (created, never taken).
#pragma once

#include "Kova/SDK/Interface/interface_sdk_object_manager.h"
#include "Pimo/OS/Linux/class_process_lock.h"

namespace Kova {
namespace SDK {
namespace Object_Manager {

class class_kova_object : public Interface::interface_kova_object {
public:
    class_kova_object() {}
    ~class_kova_object() override {}

    // 0, or the lock's result (6 while a live process of the host holds the id).
    Pimo::OS::vimra_err_t create_object(domain_t in_domain, object_id_t in_id,
                                        Interface::interface_object_core* pin_object) override;
    void destroy_object() override;
    Interface::interface_object_core* get_object() override { return mp_object; }

private:
    Pimo::OS::class_process_lock m_mutex;
};

}  // namespace Object_Manager
}  // namespace SDK
}  // namespace Kova
