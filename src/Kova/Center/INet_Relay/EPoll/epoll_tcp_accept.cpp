#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_accept.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Kova/Center/INet_Relay/EPoll/class_host_addresses.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_connect.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_file.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

using Pimo::OS::class_locker;
using Pimo::Utility::print_error;

namespace {

// A connection from this host is this center's own (a proxy bound to a stub at one of the
// host's addresses) when one of its outgoing connections to the port is the other end. The
// connect has bound that socket's port before the peer could be accepted, and the record
// waits in g_connect_map until the init records are through.
bool is_own_connection(const Kova::struct_node_addr& in_from, Kova::domain_t in_port) {
    class_locker lock(g_client_lock);
    const auto found = g_connect_map.find(Kova::struct_node_addr(in_from.ip, in_port));
    if (found == g_connect_map.end() || found->second->socket < 0) return false;
    const Kova::struct_node_addr own = own_addr(found->second->socket);
    return own.ip == in_from.ip && own.port == in_from.port;
}

}  // namespace

int request_listen(Kova::domain_t in_port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 6);
    g_server_map[in_port] = s;
    if (s < 0) {
        const int err = errno;
        print_error("소켓 생성 실패");
        g_server_map[in_port] = -1;
        return err;
    }
    Pimo::Utility::fflag_on(s, O_NONBLOCK);
    // The connections of a center that has just ended may still hold the port (TIME_WAIT,
    // FIN_WAIT): the next center of the domain binds it all the same. A listening center is
    // still refused.
    const int reuse = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in addr = make_addr(0, in_port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int err = errno;
        Pimo::Utility::alert(("이미 다른 프로그램에서 " + std::to_string(in_port) +
                              " 포트(도메인 포트)를 사용하고 있습니다.").c_str(),
                             "Kova Error");
        print_error("바인딩 실패");
        ::close(s);
        g_server_map[in_port] = -1;
        return err;
    }
    ::listen(s, g_listen_backlog);
    struct_epoll_overlapped* listener =
        new struct_epoll_overlapped(s, c_socket_listener, Kova::struct_node_addr(0, in_port));
    g_listener_map[in_port] = listener;
    return epoll_arm(epoll_tcp_init, EPOLL_CTL_ADD, s, c_mask_listen, listener);
}

int accept(struct_epoll_overlapped* pin_listener) {
    // Edge-triggered: take every pending connection, or the rest would wait for the next one.
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        SOCKET s = ::accept4(pin_listener->socket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) g_accept_retry.store(true);
            print_error("소켓 엑셉트 실패");
            return -1;
        }
        const Kova::struct_node_addr from(peer.sin_addr.s_addr, ntohs(peer.sin_port));
        if (class_host_addresses::is_this_host(from.ip) && !is_own_connection(from, pin_listener->local_addr.port)) {
            print_error("accept from this host");
            ::close(s);
            continue;
        }
        tcp_t* p = new_tcp_record(s, c_socket_init_server, pin_listener->local_addr, from);
        p->create_clk = now_ms();
        p->recv_clk = p->create_clk;
        set_server_option(p);
        {
            class_locker lock(g_establish_server_map_lock);
            g_init_server_set.insert(p);
        }
        if (request_recv_server_init(p) != 0) failed_server_init(p);
    }
}

void set_server_option(tcp_t* p) {
    if (g_server_nagle_off_use) set_nodelay(p->socket);
    p->local_addr = own_addr(p->socket);
    p->gate_port_of_local = p->local_addr.port;
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
