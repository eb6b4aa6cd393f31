// Which IPv4 addresses are this host's: the loopback network and the addresses of its
// interfaces. A packet from the network that comes from one of them was sent on this host by
// a program that is not the host's center, and may speak for nobody (only the center's own
// connections and datagrams are let in; see epoll_tcp_accept and epoll_udp_method).
//
// Each network thread keeps its own copy of the interfaces' addresses, read again, at most
// once a second, when an address is not among those read last: an address given to the host
// later is known within a second, and a stream of remote senders costs one read a second.
#pragma once

#include <chrono>
#include <vector>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

class class_host_addresses {
public:
    // in_ip as stored in packets (network byte order).
    static bool is_loopback(Kova::ip_t in_ip);
    // The loopback network or an address of one of the host's interfaces.
    static bool is_this_host(Kova::ip_t in_ip);

private:
    bool has(Kova::ip_t in_ip);
    void proc_read();

    std::vector<Kova::ip_t> m_addresses;
    std::chrono::steady_clock::time_point m_read_at;
    bool m_read = false;
};

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
