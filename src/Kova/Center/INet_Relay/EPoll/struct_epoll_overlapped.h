// The records that the epoll sets carry as their data word: listener, UDP socket and TCP
// connection. Plain structures, one extending the other, no virtual functions.
#pragma once

#include <cstddef>
#include <deque>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Hidden/struct_tcp_header.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

typedef int SOCKET;

enum enum_socket_type {
    c_socket_udp = 0,
    c_socket_listener = 1,
    c_socket_init_server = 2,
    c_socket_init_client = 3,
    c_socket_server = 4,
    c_socket_client = 5,
    c_socket_idle = 6,
};

typedef std::deque<Kova::struct_token> token_queue_t;

struct struct_epoll_overlapped {
    SOCKET socket;
    enum_socket_type type;
    Kova::struct_node_addr local_addr;

    struct_epoll_overlapped(SOCKET in_socket, enum_socket_type in_type, const Kova::struct_node_addr& in_local)
        : socket(in_socket), type(in_type), local_addr(in_local) {}
};
typedef struct_epoll_overlapped epoll_overlapped_t;

// What the receive side is reading now.
enum enum_recv_piece {
    c_recv_header = 0,   // the 24-byte wire header
    c_recv_data = 1,     // the payload, into a data block or a process buffer
    c_recv_discard = 2,  // a payload that is refused: read into scratch and thrown away
};

struct struct_epoll_overlapped_ex : struct_epoll_overlapped {
    Kova::token_t recv_token;
    token_queue_t send_queue;
    Pimo::OS::class_thread_lock send_queue_lock;
    bool send_state;
    Pimo::OS::vimra_clock_t recv_clk;
    Kova::byte_t* recv_buf;
    size_t recv_len;
    Pimo::OS::vimra_clock_t send_clk;
    Kova::byte_t* send_buf;
    size_t send_len;
    // Beyond the wire state: when the send queue last moved (a piece sent, or the queue left
    // empty), so that a peer that stops reading cannot hold packets for ever.
    Pimo::OS::vimra_clock_t send_progress_clk;

    struct_epoll_overlapped_ex(SOCKET in_socket, enum_socket_type in_type, const Kova::struct_node_addr& in_local)
        : struct_epoll_overlapped(in_socket, in_type, in_local),
          send_state(false),
          recv_clk(0),
          recv_buf(nullptr),
          recv_len(0),
          send_clk(0),
          send_buf(nullptr),
          send_len(0),
          send_progress_clk(0) {}
};
typedef struct_epoll_overlapped_ex epoll_overlapped_ex_t;

struct struct_epoll_overlapped_tcp : struct_epoll_overlapped_ex {
    Kova::struct_node_addr remote_addr;
    Kova::domain_t gate_port_of_local;
    Kova::struct_tcp_header tcp_server_header;
    Kova::struct_tcp_header tcp_client_header;
    bool header_send;
    bool b_remove_client;
    token_queue_t ack_wait_q;
    Pimo::OS::class_thread_lock ack_wait_q_lock;

    // Receive state beyond the Part's buffer and length.
    enum_recv_piece recv_piece;
    size_t recv_discard;           // refused payload bytes still to skip
    bool recv_drop;                // the packet is dropped once its payload has been read
    // Outgoing connections: the return being received, acknowledged once it is handed over.
    bool recv_ack;
    Kova::struct_packet recv_ack_of;
    // Set once the receive side has ended; from then on only the send thread holds the record
    // and it releases it (see epoll_tcp_method.cpp).
    bool recv_ended;
    Pimo::OS::vimra_clock_t create_clk;  // accept or connect start: the init record deadline

    struct_epoll_overlapped_tcp(SOCKET in_socket, enum_socket_type in_type, const Kova::struct_node_addr& in_local,
                                const Kova::struct_node_addr& in_remote)
        : struct_epoll_overlapped_ex(in_socket, in_type, in_local),
          remote_addr(in_remote),
          gate_port_of_local(0),
          header_send(false),
          b_remove_client(false),
          recv_piece(c_recv_header),
          recv_discard(0),
          recv_drop(false),
          recv_ack(false),
          recv_ack_of(),
          recv_ended(false),
          create_clk(0) {}
};
typedef struct_epoll_overlapped_tcp epoll_overlapped_tcp_t;

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
