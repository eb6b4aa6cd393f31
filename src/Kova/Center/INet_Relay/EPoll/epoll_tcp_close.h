// Ending a connection, releasing its record, and keeping a fresh record for reconnection.
//
// Life of a connection record between the threads. Before establishment exactly one epoll
// registration of a record is armed at a time (connect in the init set, then one init record
// send or receive), so whichever thread gets its event may release it. Once established, the
// receive set is armed by the receive thread and the send set by whoever starts the pump. The
// receive thread never releases an established record: when the receive ends it takes the
// record out of its map, sets recv_ended and makes sure a send event follows (a close marker,
// armed when the pump is idle). The send thread releases the record on that event, or on a send
// failure once recv_ended is set. A send failure while the receive is still running shuts the
// socket down, which ends the receive. So each record is released once, by the one thread that
// can still reach it. The fresh record that close_client leaves in g_connect_fail_map belongs to
// the timer, which connects it once a second.
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

// Accepted connections.
void unestablish_accept(tcp_t* p);
void shutdown_server(tcp_t* p);
int failed_server_init(tcp_t* p);

// Outgoing connections.
void unestablish_connect(tcp_t* p);
int failed_connect_init(tcp_t* p);
void close_client(tcp_t* p);

// Either kind, from the receive thread: the receive is over, the record goes to the send thread.
void end_receive(tcp_t* p);
// An established connection whose receive failed: withdrawn, reported and ended.
void end_connection(tcp_t* p);

int delete_overlapped(tcp_t* p);
void clear_establish_map(establish_map_t& in_map);
void clear_connect_map(connect_map_t& in_map);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
