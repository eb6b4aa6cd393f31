// Outgoing connects, the exchange of the 1024-byte init records on both kinds of connection,
// establishment, and the four connection reports to the center thread.
//
// request_connect runs on the center thread (add_client) or the timer thread (reconnection),
// completed_connect and failed_connect on the init thread, the init record sends on the send
// thread and the init record receives on the receive thread. Until a connection is established
// exactly one of its registrations is armed at a time, so the thread that gets the event owns
// the record and may release it. Establishing puts the record into its map under the map lock;
// the report follows after the lock is let go.
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

// Accepted connections: the peer's record in, ours out, then established.
int request_recv_server_init(tcp_t* p);
int recv_server_init(tcp_t* p);
int request_send_server_init(tcp_t* p);
int send_server_init(tcp_t* p);
int establish_accept(tcp_t* p);

// Outgoing connections: connect, our record out, the peer's in, then established.
int request_connect(tcp_t* p);
int completed_connect(tcp_t* p);
int failed_connect(tcp_t* p);
void set_client_option(tcp_t* p);
int request_send_client_init(tcp_t* p);
int send_client_init(tcp_t* p);
int request_recv_client_init(tcp_t* p);
int recv_client_init(tcp_t* p);
int establish_connect(tcp_t* p);

int eproc_send_connected_to_server_msg_to_center(tcp_t* p);
int eproc_send_disconnected_from_server_msg_to_center(tcp_t* p);
int eproc_send_connected_from_client_msg_to_center(tcp_t* p);
int eproc_send_disconnected_from_client_msg_to_center(tcp_t* p);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
