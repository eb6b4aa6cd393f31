// TCP steps of the network relay: listening, accepting, connecting, the init records,
// establishment and release of connections, framing, send queues, acknowledgements and
// heartbeats. Each step runs on the thread named beside it in epoll_thread.cpp.
#pragma once

#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

typedef struct_epoll_overlapped_tcp tcp_t;

// Listening and accepting (init thread; the timer retries after a descriptor shortage).
int request_listen(Kova::domain_t in_port);
int accept(struct_epoll_overlapped* pin_listener);
void set_server_option(tcp_t* p);

// Accepted connections: init exchange, establishment, end.
int request_recv_server_init(tcp_t* p);
int recv_server_init(tcp_t* p);
int request_send_server_init(tcp_t* p);
int send_server_init(tcp_t* p);
int establish_accept(tcp_t* p);
void unestablish_accept(tcp_t* p);
void shutdown_server(tcp_t* p);
int failed_server_init(tcp_t* p);

// Outgoing connections.
int request_connect(tcp_t* p);
int completed_connect(tcp_t* p);
int failed_connect(tcp_t* p);
void set_client_option(tcp_t* p);
int request_send_client_init(tcp_t* p);
int send_client_init(tcp_t* p);
int request_recv_client_init(tcp_t* p);
int recv_client_init(tcp_t* p);
int establish_connect(tcp_t* p);
void unestablish_connect(tcp_t* p);
int failed_connect_init(tcp_t* p);
void close_client(tcp_t* p);

int delete_overlapped(tcp_t* p);
void clear_establish_map(establish_map_t& in_map);
void clear_connect_map(connect_map_t& in_map);

int eproc_send_connected_to_server_msg_to_center(tcp_t* p);
int eproc_send_disconnected_from_server_msg_to_center(tcp_t* p);
int eproc_send_connected_from_client_msg_to_center(tcp_t* p);
int eproc_send_disconnected_from_client_msg_to_center(tcp_t* p);

// Framing (receive thread).
int request_recv_client_header(tcp_t* p);
int request_recv_server_header(tcp_t* p);
int recv_client(tcp_t* p);
int recv_server(tcp_t* p);

// Send pump (send thread).
int send_client(tcp_t* p);
int send_server(tcp_t* p);
int failed_send(tcp_t* p);

void wait_ack(tcp_t* p, Kova::struct_token& in_token, Kova::packet_t* pin_pkt);
int request_send_hearbeat(tcp_t* p);
// Turns every queued packet into its error return; the returns are collected for a hand-over
// after every lock is let go.
void clear_send_q(tcp_t* p, std::vector<Kova::struct_token>& out_returns);
// Queues a token under send_queue_lock; the caller holds the lock. On an idle connection the
// pump is armed, or with in_write_now run at once on the calling thread (non-blocking: the send
// thread takes over what the socket does not take); in_write_now only while the receive runs.
void queue_on_connection(tcp_t* p, const Kova::struct_token& in_token, Kova::packet_t* pin_pkt,
                         bool in_write_now = false);

// Control packets that only this host makes: dropped when they come from the network.
bool is_local_only_control(const Kova::packet_t* pin_pkt);

// The receive set reports the record in the thread of the receive set; used by the fuzzer too.
int on_recv_event(tcp_t* p, unsigned in_events);
int on_send_event(tcp_t* p, unsigned in_events);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
