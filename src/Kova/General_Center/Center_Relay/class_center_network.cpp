#include "Kova/General_Center/Center_Relay/class_center_network.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace Kova {
namespace General_Center {
namespace Center_Relay {

namespace {

int bound_socket(int in_type, domain_t in_port) {
    const int s = ::socket(AF_INET, in_type, 0);
    if (s < 0) return -1;
    const int on = 1;
    if (in_type == SOCK_STREAM) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(in_port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        (in_type == SOCK_STREAM && ::listen(s, 5) != 0)) {
        const int e = errno;
        ::close(s);
        errno = e;
        return -1;
    }
    return s;
}

}  // namespace

int class_center_network::initialize() { return 0; }

int class_center_network::add_server(domain_t in_port) {
    const int udp = bound_socket(SOCK_DGRAM, in_port);
    if (udp < 0) return errno != 0 ? errno : -1;
    const int tcp = bound_socket(SOCK_STREAM, in_port);
    if (tcp < 0) {
        const int e = errno;
        ::close(udp);
        return e != 0 ? e : -1;
    }
    m_udp[in_port] = udp;
    m_listen[in_port] = tcp;
    return 0;
}

int class_center_network::start() { return 0; }
int class_center_network::stop() { return 0; }

int class_center_network::finalize() {
    for (auto& entry : m_udp) ::close(entry.second);
    for (auto& entry : m_listen) ::close(entry.second);
    m_udp.clear();
    m_listen.clear();
    return 0;
}

int class_center_network::send_udp(struct_token&, struct_packet*) { return -1; }
int class_center_network::send_tcp_client(const struct_node_addr&, struct_token&, struct_packet*) { return -1; }
int class_center_network::send_tcp_server(const struct_node_addr&, struct_token&, struct_packet*) { return -1; }
int class_center_network::send_tcp_broadcast(struct_token&, struct_packet*) { return 0; }
int class_center_network::add_client(ip_t, domain_t) { return 0; }
int class_center_network::del_client(ip_t, domain_t) { return 0; }
domain_t class_center_network::get_gate_port_of_local(const struct_node_addr&) { return 0; }
void class_center_network::add_membership(ip_t, ip_t, ip_t, domain_t) {}
void class_center_network::drop_membership(ip_t, ip_t, ip_t, domain_t) {}

}  // namespace Center_Relay
}  // namespace General_Center
}  // namespace Kova
