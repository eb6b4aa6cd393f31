#include "Pimo/INet/class_udp.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace Pimo {
namespace INet {
namespace UDP {

using Pimo::OS::vimra_err_t;

vimra_err_t class_udp::eproc_open(const unsigned short& in_port) {
    valid = false;
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socket == -1) return Pimo::OS::c_vimra_unknown;

    int on = 1;
    setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(in_port);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(m_socket);
        m_socket = -1;
        return Pimo::OS::c_vimra_unknown;
    }

    unsigned char ttl = 128;
    unsigned char loop = 1;
    setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    valid = true;
    return Pimo::OS::c_vimra_success;
}

vimra_err_t class_udp::eproc_send(const unsigned long& in_ip, const unsigned short& in_port, const void* pin_buf,
                                  const size_t& in_len) {
    sockaddr_in to;
    std::memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = static_cast<in_addr_t>(in_ip);
    to.sin_port = htons(in_port);
    ssize_t sent = sendto(m_socket, pin_buf, in_len, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    if (sent < 0) {
        // Clear the pending error so that it does not surface on the next call.
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &err, &len);
        return Pimo::OS::c_vimra_unknown;
    }
    return static_cast<size_t>(sent) == in_len ? Pimo::OS::c_vimra_success : Pimo::OS::c_vimra_unknown;
}

vimra_err_t class_udp::receive(int in_flags, unsigned long& out_from_ip, unsigned short& out_from_port,
                               size_t& out_len, void* pin_buf, const size_t& in_len, bool& out_failed) {
    out_failed = false;
    if (!valid || m_socket == -1) return Pimo::OS::c_vimra_shutdown;
    sockaddr_in from;
    std::memset(&from, 0, sizeof(from));
    socklen_t from_len = sizeof(from);
    ssize_t got = recvfrom(m_socket, pin_buf, in_len, in_flags, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got < 0) {
        out_failed = true;
        return Pimo::OS::c_vimra_unknown;
    }
    // A shut-down socket also reads 0 bytes; only the flag tells it from an empty datagram.
    if (!valid) return Pimo::OS::c_vimra_shutdown;
    out_len = static_cast<size_t>(got);
    out_from_ip = from.sin_addr.s_addr;
    out_from_port = ntohs(from.sin_port);
    return Pimo::OS::c_vimra_success;
}

vimra_err_t class_udp::eproc_receive(unsigned long& out_from_ip, unsigned short& out_from_port, size_t& out_len,
                                     void* pin_buf, const size_t& in_len) {
    bool failed = false;
    return receive(0, out_from_ip, out_from_port, out_len, pin_buf, in_len, failed);
}

vimra_err_t class_udp::eproc_receive_peek(unsigned long& out_from_ip, unsigned short& out_from_port,
                                          size_t& out_len, void* pin_buf, const size_t& in_len) {
    if (pin_buf && in_len) std::memset(pin_buf, 0, in_len);
    bool failed = false;
    vimra_err_t result = receive(MSG_PEEK, out_from_ip, out_from_port, out_len, pin_buf, in_len, failed);
    return failed ? Pimo::OS::c_vimra_shutdown : result;
}

void class_udp::proc_shutdown() {
    valid = false;
    class_sock::proc_shutdown();
}

void class_udp::set_membership(int in_option, const unsigned long& in_ip) {
    ip_mreq mreq;
    std::memset(&mreq, 0, sizeof(mreq));
    mreq.imr_multiaddr.s_addr = static_cast<in_addr_t>(in_ip);
    u_int32_t if_addr = 0;
    u_int32_t if_mask = 0;
    // Without eth0 the kernel picks the interface from the route to the group.
    if (get_ip_config(&if_addr, &if_mask) != 0) if_addr = htonl(INADDR_ANY);
    mreq.imr_interface.s_addr = if_addr;
    setsockopt(m_socket, IPPROTO_IP, in_option, &mreq, sizeof(mreq));
}

void class_udp::proc_add_membership(const unsigned long& in_ip) { set_membership(IP_ADD_MEMBERSHIP, in_ip); }

void class_udp::proc_drop_membership(const unsigned long& in_ip) { set_membership(IP_DROP_MEMBERSHIP, in_ip); }

void class_udp::proc_set_multicast_if(const unsigned long& multicast_if) {
    // A 4-byte in_addr: Linux reads an 8-byte value as ip_mreq and would ignore the interface.
    in_addr iface;
    iface.s_addr = static_cast<in_addr_t>(multicast_if);
    setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
}

}  // namespace UDP
}  // namespace INet
}  // namespace Pimo
