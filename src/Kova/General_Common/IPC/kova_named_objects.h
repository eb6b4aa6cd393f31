// Names of the host's named objects that are not pipes: the center's stop event
// and the object locks that make object ids unique on the host.
#pragma once

#include <string>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace General_Common {
namespace IPC {

constexpr const char* c_str_center_killer = "Kova_Center_KILLER_";
constexpr const char* c_str_object_lock = "kova_object_";

// "Kova_Center_KILLER_" + domain: a global auto-reset event.
inline std::string get_center_killer_name(domain_t in_domain) {
    return c_str_center_killer + std::to_string(in_domain);
}

// "kova_object_" + domain + "_" + object id: a global process lock.
inline std::string get_object_lock_name(domain_t in_domain, object_id_t in_id) {
    return c_str_object_lock + std::to_string(in_domain) + "_" + std::to_string(in_id);
}

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
