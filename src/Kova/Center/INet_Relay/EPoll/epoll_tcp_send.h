// The send queue of a connection, its pump, heartbeats, and the acknowledgements of signal and
// call returns.
//
// The pump runs on the send thread, and on the thread that queues a packet or an acknowledgement
// on an idle connection until the socket takes no more. Packets are queued by the center thread
// (and its close markers by del_client), acknowledgements and the receive's close markers by the
// receive thread, heartbeats by the timer; all of them meet under send_queue_lock, which guards
// the queue and every send field. ack_wait_q_lock is taken inside it (wait_ack, as a return
// starts) or alone (pop_ack, on the receive thread of an accepted connection). The sockets are
// non-blocking, so the pump never waits under the lock: a piece that does not fit re-arms the
// one-shot send registration.
#pragma once

#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

int send_client(tcp_t* p);
int send_server(tcp_t* p);
int failed_send(tcp_t* p);

// Queues a token under send_queue_lock; the caller holds the lock. On an idle connection the
// pump is armed, or with in_write_now run at once on the calling thread (non-blocking: the send
// thread takes over what the socket does not take); in_write_now only while the receive runs.
void queue_on_connection(tcp_t* p, const Kova::struct_token& in_token, Kova::packet_t* pin_pkt,
                         bool in_write_now = false);
int request_send_hearbeat(tcp_t* p);
// Turns every queued packet into its error return; the returns are collected for a hand-over
// after every lock is let go.
void clear_send_q(tcp_t* p, std::vector<Kova::struct_token>& out_returns);
// Empties a queue whose lock the caller holds: each packet that has an error return is turned
// into it with in_error and collected; every token is released.
void take_error_returns(token_queue_t& io_queue, Kova::kova_err_t in_error,
                        std::vector<Kova::struct_token>& out_returns);

// Registers a signal or call return that starts sending on an accepted connection.
void wait_ack(tcp_t* p, Kova::struct_token& in_token, Kova::packet_t* pin_pkt);
// The connecting side acknowledges a received return on the same connection.
void queue_ack(tcp_t* p, const Kova::packet_t& in_return);
// An acknowledgement arrived: the oldest registered return is done.
void pop_ack(tcp_t* p);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
