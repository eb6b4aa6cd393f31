// The registry of a process's objects by domain and object id. Callers hold the
// processor's lock: for writing to change it, for reading to look up.
#pragma once

#include <atomic>
#include <map>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Kova/SDK/Interface/interface_object_core.h"

namespace Kova {
namespace SDK {
namespace Interface {

// One registered object; the entry holds what makes its id taken on the host.
class interface_kova_object {
public:
    interface_kova_object() : mp_object(nullptr) {}
    virtual ~interface_kova_object() {}
    virtual Pimo::OS::vimra_err_t create_object(domain_t in_domain, object_id_t in_id,
                                                interface_object_core* pin_object) = 0;
    virtual void destroy_object() = 0;
    virtual interface_object_core* get_object() = 0;

protected:
    interface_object_core* mp_object;
};

typedef std::map<object_id_t, interface_kova_object*> object_map_t;
typedef std::map<domain_t, object_map_t> object_map_map_t;

class interface_sdk_object_manager {
public:
    interface_sdk_object_manager() {}
    virtual ~interface_sdk_object_manager() {}
    // 0 when registered; 6 (c_vimra_already_exists) when the id is taken in this process or
    // on the host; any other result when the id's lock could not be made at all (no
    // descriptor left, for one), which no other id would change.
    virtual Pimo::OS::vimra_err_t create_object(domain_t in_domain, object_id_t in_id,
                                                interface_object_core* pin_object) = 0;
    virtual bool destroy_object(domain_t in_domain, object_id_t in_id) = 0;
    virtual interface_object_core* get_object(domain_t in_domain, object_id_t in_id) = 0;
    // A copy of the domain's entries; empty when it has none.
    virtual void get_domain(domain_t in_domain, object_map_t& pout_entries) = 0;
};

extern std::atomic<interface_sdk_object_manager*> gp_object_manager;

}  // namespace Interface
}  // namespace SDK
}  // namespace Kova
