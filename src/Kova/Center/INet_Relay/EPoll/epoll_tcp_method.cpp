#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"

#include <sys/epoll.h>

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

int on_recv_event(tcp_t* p, unsigned in_events) {
    const bool bad = (in_events & (EPOLLERR | EPOLLHUP)) != 0;
    switch (p->type) {
    case c_socket_init_server: return bad ? failed_server_init(p) : recv_server_init(p);
    case c_socket_init_client: return bad ? failed_connect_init(p) : recv_client_init(p);
    case c_socket_server:
    case c_socket_client:
        if (bad) {
            end_connection(p);
            return 0;
        }
        return p->type == c_socket_server ? recv_server(p) : recv_client(p);
    default: return 0;
    }
}

int on_send_event(tcp_t* p, unsigned in_events) {
    const bool bad = (in_events & (EPOLLERR | EPOLLHUP)) != 0;
    switch (p->type) {
    case c_socket_init_server: return bad ? failed_server_init(p) : send_server_init(p);
    case c_socket_init_client: return bad ? failed_connect_init(p) : send_client_init(p);
    case c_socket_server: return bad ? failed_send(p) : send_server(p);
    case c_socket_client: return bad ? failed_send(p) : send_client(p);
    default: return 0;
    }
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
