#include "Kova/Center/INet_Relay/EPoll/class_host_addresses.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>

#include "Kova/Common/Open/Kova/kova_const.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

bool class_host_addresses::is_loopback(Kova::ip_t in_ip) {
    return (in_ip & Kova::c_local_host_mask) == Kova::c_local_host_net;  // 127.0.0.0/8
}

bool class_host_addresses::is_this_host(Kova::ip_t in_ip) {
    static thread_local class_host_addresses t_addresses;
    return is_loopback(in_ip) || t_addresses.has(in_ip);
}

bool class_host_addresses::has(Kova::ip_t in_ip) {
    if (std::find(m_addresses.begin(), m_addresses.end(), in_ip) != m_addresses.end()) return true;
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (m_read && now - m_read_at < std::chrono::seconds(1)) return false;
    m_read = true;
    m_read_at = now;
    proc_read();
    return std::find(m_addresses.begin(), m_addresses.end(), in_ip) != m_addresses.end();
}

void class_host_addresses::proc_read() {
    m_addresses.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
            m_addresses.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    ::freeifaddrs(list);
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
