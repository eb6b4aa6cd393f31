// TCP steps of the network relay, one file per stage of a connection (see epoll_tcp_common.h),
// and the dispatch of the receive and send sets' events to them. Each step runs on the thread
// named in its stage's header.
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_accept.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_connect.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_recv.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_send.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

// The receive set reports the record in the thread of the receive set; used by the fuzzer too.
int on_recv_event(tcp_t* p, unsigned in_events);
int on_send_event(tcp_t* p, unsigned in_events);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
