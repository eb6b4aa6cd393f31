// What more than one stage of a TCP connection needs: the record's short name, the socket's
// own address and options, arming with a report, and the map and epoll clean-ups. Each stage
// lives in its own file: epoll_tcp_accept (listen and accept), epoll_tcp_connect (connect and
// the init-record handshake), epoll_tcp_recv (receive framing), epoll_tcp_send (the send pump
// and acknowledgements), epoll_tcp_close (close and reconnect).
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

typedef struct_epoll_overlapped_tcp tcp_t;

// The socket's own address; {0, 0} when it has none.
Kova::struct_node_addr own_addr(SOCKET in_socket);
void set_nodelay(SOCKET in_socket);
// Takes the socket out of the three TCP sets; -1 does nothing.
void unregister_all(SOCKET in_socket);
// Arms the record's socket in one set; 0, or -1 after in_error went to the error hook.
int arm_or_report(int in_set, int in_op, unsigned in_mask, tcp_t* p, const char* in_error);
// Erases the entry only when it holds this record.
bool erase_if_holds(connect_map_t& in_map, tcp_t* p);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
