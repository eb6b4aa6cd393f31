#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

Kova::struct_node_addr own_addr(SOCKET in_socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(in_socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET)
        return Kova::struct_node_addr();
    return Kova::struct_node_addr(addr.sin_addr.s_addr, ntohs(addr.sin_port));
}

void set_nodelay(SOCKET in_socket) {
    int one = 1;
    if (setsockopt(in_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        Pimo::Utility::print_error("iocp setsockopt nodelay error");
}

void unregister_all(SOCKET in_socket) {
    if (in_socket < 0) return;
    epoll_ctl(epoll_tcp_init, EPOLL_CTL_DEL, in_socket, nullptr);
    epoll_ctl(epoll_tcp_recv, EPOLL_CTL_DEL, in_socket, nullptr);
    epoll_ctl(epoll_tcp_send, EPOLL_CTL_DEL, in_socket, nullptr);
}

int arm_or_report(int in_set, int in_op, unsigned in_mask, tcp_t* p, const char* in_error) {
    if (epoll_arm(in_set, in_op, p->socket, in_mask, p) == 0) return 0;
    Pimo::Utility::print_error(in_error);
    return -1;
}

bool erase_if_holds(connect_map_t& in_map, tcp_t* p) {
    auto it = in_map.find(p->remote_addr);
    if (it == in_map.end() || it->second != p) return false;
    in_map.erase(it);
    return true;
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
