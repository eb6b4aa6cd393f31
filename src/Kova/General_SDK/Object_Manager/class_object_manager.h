// The process's registry of its objects by domain and id. It has no lock of its
// own: callers hold the processor's lock.
#pragma once

#include "Kova/SDK/Interface/interface_sdk_object_manager.h"

namespace Kova {
namespace SDK {
namespace Object_Manager {

class class_object_manager : public Interface::interface_sdk_object_manager {
public:
    class_object_manager();
    // Destroys the objects left behind, under the processor's write lock.
    ~class_object_manager() override;

    Pimo::OS::vimra_err_t create_object(domain_t in_domain, object_id_t in_id,
                                        Interface::interface_object_core* pin_object) override;
    bool destroy_object(domain_t in_domain, object_id_t in_id) override;
    Interface::interface_object_core* get_object(domain_t in_domain, object_id_t in_id) override;
    void get_domain(domain_t in_domain, Interface::object_map_t& pout_entries) override;

private:
    Interface::object_map_map_t m_object_map;
};

}  // namespace Object_Manager
}  // namespace SDK
}  // namespace Kova
