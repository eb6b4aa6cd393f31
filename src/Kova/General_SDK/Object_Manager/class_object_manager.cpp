#include "Kova/General_SDK/Object_Manager/class_object_manager.h"

#include <memory>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/General_SDK/Object_Manager/class_kova_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace SDK {
namespace Object_Manager {

using SDK_Processor::gp_processor;
using SDK_Processor::kova_sdk_processor;

class_object_manager::class_object_manager() { Interface::gp_object_manager = this; }

class_object_manager::~class_object_manager() {
    kova_sdk_processor* processor = gp_processor.load();
    Pimo::OS::class_write_locker lock(processor);
    while (!m_object_map.empty()) {
        Interface::object_map_t& first = m_object_map.begin()->second;
        if (first.empty()) break;
        const domain_t domain = m_object_map.begin()->first;
        const object_id_t id = first.begin()->first;
        Interface::interface_object_core* object = first.begin()->second->get_object();
        // The object's destruction removes its entry; a busy center pipe asks for another try,
        // with the lock given up in between so that listeners and replies can go on.
        for (;;) {
            const kova_err_t r = object ? object->destroy_left() : c_kova_success;
            {
                Pimo::OS::class_write_unlocker unlock(processor);
                Pimo::OS::thread_yield();
            }
            if (r != c_kova_err_center_busy) break;
        }
        // An object that did not leave is dropped here, so that the loop ends.
        destroy_object(domain, id);
    }
    Interface::gp_object_manager = nullptr;
}

Pimo::OS::vimra_err_t class_object_manager::create_object(domain_t in_domain, object_id_t in_id,
                                                          Interface::interface_object_core* pin_object) {
    auto domain = m_object_map.find(in_domain);
    if (domain != m_object_map.end() && domain->second.count(in_id)) return Pimo::OS::c_vimra_already_exists;
    std::unique_ptr<class_kova_object> entry(new class_kova_object);
    const Pimo::OS::vimra_err_t r = entry->create_object(in_domain, in_id, pin_object);
    if (r != Pimo::OS::c_vimra_success) return r;
    m_object_map[in_domain][in_id] = entry.release();
    return Pimo::OS::c_vimra_success;
}

bool class_object_manager::destroy_object(domain_t in_domain, object_id_t in_id) {
    bool result = false;
    auto domain = m_object_map.find(in_domain);
    if (domain == m_object_map.end()) return false;
    auto it = domain->second.find(in_id);
    if (it != domain->second.end()) {
        it->second->destroy_object();
        delete it->second;
        domain->second.erase(it);
        result = true;
    }
    if (domain->second.empty()) m_object_map.erase(domain);
    return result;
}

Interface::interface_object_core* class_object_manager::get_object(domain_t in_domain, object_id_t in_id) {
    auto domain = m_object_map.find(in_domain);
    if (domain == m_object_map.end()) return nullptr;
    auto it = domain->second.find(in_id);
    return it == domain->second.end() ? nullptr : it->second->get_object();
}

void class_object_manager::get_domain(domain_t in_domain, Interface::object_map_t& pout_entries) {
    auto domain = m_object_map.find(in_domain);
    if (domain == m_object_map.end()) pout_entries.clear();
    else pout_entries = domain->second;
}

}  // namespace Object_Manager
}  // namespace SDK
}  // namespace Kova
