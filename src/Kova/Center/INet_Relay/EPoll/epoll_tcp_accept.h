// Listening on a domain port and accepting connections.
//
// request_listen runs once at start-up, before the threads. accept runs on the init thread, and
// on the timer thread when an accept was refused for want of descriptors (g_accept_retry). A
// record made here is in no map: it is reached only through its one armed registration, the
// receive of the peer's init record (epoll_tcp_connect), and through g_init_server_set, where the
// timer looks for init records that take too long.
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

// 0, or the errno value of the failure.
int request_listen(Kova::domain_t in_port);
// Takes every pending connection; -1 when accepting failed.
int accept(struct_epoll_overlapped* pin_listener);
void set_server_option(tcp_t* p);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
