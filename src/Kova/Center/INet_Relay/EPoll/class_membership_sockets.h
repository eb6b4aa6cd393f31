// The sockets that hold a domain port's source-specific multicast memberships.
//
// The kernel lets one socket join 20 groups (igmp_max_memberships) and 10 sources of one group
// (igmp_max_msf). A center that subscribes to more (32 stubs of a host, or a group that 11 hosts
// send to) holds its memberships on as many sockets as it takes: each socket is tried in turn
// and a new one is opened when all of them refuse for want of room. These sockets are never
// bound and never read: the host's membership is what lets a group's datagrams in, and the
// domain port's own socket, which joins nothing itself, receives every group the host has
// joined (IP_MULTICAST_ALL, the socket default). Were the port's socket a member of a group
// itself, its own source filter would turn away the sources that another socket joined.
//
// The center thread alone uses it (the relay joins and leaves groups there); a socket is
// closed once it holds no membership any more.
#pragma once

#include <map>
#include <tuple>
#include <vector>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

class class_membership_sockets {
public:
    class_membership_sockets() = default;
    class_membership_sockets(const class_membership_sockets&) = delete;
    class_membership_sockets& operator=(const class_membership_sockets&) = delete;
    ~class_membership_sockets() { proc_close(); }

    // Addresses as stored in packets (network byte order). 0 when the host has joined; -1 when
    // no socket can join it (errno tells why). Joining what is held already changes nothing.
    int eproc_join(Kova::ip_t in_group, Kova::ip_t in_if, Kova::ip_t in_source);
    // Leaves a membership held here; nothing for one that is not.
    void proc_leave(Kova::ip_t in_group, Kova::ip_t in_if, Kova::ip_t in_source);
    // Closes every socket, which ends their memberships.
    void proc_close();

    std::size_t get_socket_count() const { return m_sockets.size(); }
    std::size_t get_membership_count() const { return m_held.size(); }

private:
    typedef std::tuple<Kova::ip_t, Kova::ip_t, Kova::ip_t> key_t;  // group, interface, source
    struct struct_socket {
        int fd;
        std::size_t memberships;
    };
    static int set(int in_fd, int in_option, const key_t& in_key);

    std::vector<struct_socket> m_sockets;
    std::map<key_t, int> m_held;  // membership -> the socket that holds it
};

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
