// Receive framing of an established connection: 24-byte headers and their payloads rebuilt in
// the packet memory, stamped with the connection's addresses and handed to the center pipe.
//
// Every step here runs on the receive thread, the only thread that touches the record's receive
// fields (recv_token, recv_buf, recv_len, recv_piece, recv_discard, recv_drop); the one-shot
// receive registration, re-armed at the end of a step, hands the record to the next event.
// Packets go to the center pipe with no lock held; the acknowledgements that a return calls for
// are queued under send_queue_lock (epoll_tcp_send).
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_common.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

int request_recv_client_header(tcp_t* p);
int request_recv_server_header(tcp_t* p);
int recv_client(tcp_t* p);
int recv_server(tcp_t* p);

// Control packets that only this host makes: dropped when they come from the network.
bool is_local_only_control(const Kova::packet_t* pin_pkt);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
