#include "Kova/Center/INet_Relay/EPoll/class_membership_sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

int class_membership_sockets::set(int in_fd, int in_option, const key_t& in_key) {
    ip_mreq_source req{};
    req.imr_multiaddr.s_addr = std::get<0>(in_key);
    req.imr_interface.s_addr = std::get<1>(in_key);
    req.imr_sourceaddr.s_addr = std::get<2>(in_key);
    return ::setsockopt(in_fd, IPPROTO_IP, in_option, &req, sizeof(req));
}

int class_membership_sockets::eproc_join(Kova::ip_t in_group, Kova::ip_t in_if, Kova::ip_t in_source) {
    const key_t key(in_group, in_if, in_source);
    if (m_held.count(key) != 0) return 0;
    // ENOBUFS is a socket's limit of groups or of one group's sources: the next may have room.
    for (struct_socket& s : m_sockets) {
        if (set(s.fd, IP_ADD_SOURCE_MEMBERSHIP, key) == 0) {
            ++s.memberships;
            m_held[key] = s.fd;
            return 0;
        }
        if (errno != ENOBUFS) return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return -1;
    if (set(fd, IP_ADD_SOURCE_MEMBERSHIP, key) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    m_sockets.push_back(struct_socket{fd, 1});
    m_held[key] = fd;
    return 0;
}

void class_membership_sockets::proc_leave(Kova::ip_t in_group, Kova::ip_t in_if, Kova::ip_t in_source) {
    const auto held = m_held.find(key_t(in_group, in_if, in_source));
    if (held == m_held.end()) return;
    const auto s = std::find_if(m_sockets.begin(), m_sockets.end(),
                                [&](const struct_socket& in_socket) { return in_socket.fd == held->second; });
    if (s != m_sockets.end()) {
        set(s->fd, IP_DROP_SOURCE_MEMBERSHIP, held->first);
        if (--s->memberships == 0) {
            ::close(s->fd);
            m_sockets.erase(s);
        }
    }
    m_held.erase(held);
}

void class_membership_sockets::proc_close() {
    for (const struct_socket& s : m_sockets) ::close(s.fd);
    m_sockets.clear();
    m_held.clear();
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
