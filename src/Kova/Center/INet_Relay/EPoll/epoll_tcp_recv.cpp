#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_recv.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cfloat>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_send.h"
#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::Utility::print_error;

// Prepares the next packet's record and points the receive at its wire header: the addresses
// come from the connection, the header bytes from the wire.
void prepare_recv_header(tcp_t* p) {
    p->recv_token.reset_data();
    if (!p->recv_token.has_header()) alloc_header_force(p->recv_token);
    Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
    pkt->initialize_packet(p->local_addr.ip, 0, DBL_MAX);
    pkt->set_source(p->remote_addr.ip, p->remote_addr.port, 0);
    pkt->set_destination(Kova::c_local_host, p->gate_port_of_local, 0);
    pkt->p_data = nullptr;
    pkt->dummy_port = 0;
    p->recv_buf = reinterpret_cast<Kova::byte_t*>(&pkt->header);
    p->recv_len = sizeof(Kova::struct_header);
    p->recv_piece = c_recv_header;
    p->recv_discard = 0;
    p->recv_drop = false;
    p->recv_ack = false;
}

int request_recv_header(tcp_t* p, const char* in_error) {
    prepare_recv_header(p);
    return arm_or_report(epoll_tcp_recv, EPOLL_CTL_MOD, c_mask_recv, p, in_error);
}

// Hands the received packet over and starts the next one. A return is acknowledged once it is
// the center's: the acknowledgement's making and sending stay off the return's way.
void deliver(tcp_t* p) {
    Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
    send_center(p->recv_token, pkt);
    p->recv_token.reset();
    if (p->recv_ack) queue_ack(p, p->recv_ack_of);
    prepare_recv_header(p);
}

// Drops the packet being received; the header block stays for the next one.
void drop_current(tcp_t* p) {
    Global::class_payload_buffers::proc_free(get_header(p->recv_token.header_mm));
    Pimo::Memory::mm_t data = p->recv_token.data_mm;
    p->recv_token.reset_data();
    free_mm(data);
    prepare_recv_header(p);
}

// A header is complete. 0 to go on, -1 when the connection was ended.
int completed_recv_header(tcp_t* p) {
    Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
    if (!pkt->is_right_version()) {
        print_error(p->type == c_socket_server ? "recv server version 에러" : "recv client version 에러");
        end_connection(p);
        return -1;
    }
    pkt->determine_arrival_clock(Pimo::OS::vimra_cpu_clock());
    // The peer speaks for the node of this connection only: its source domain is the port the
    // connection came from (an accepted one) or went to (an outgoing one), whatever the header
    // says. A center's own sends carry that very port (its gate port).
    pkt->header.sport = p->remote_addr.port;
    const size_t size = pkt->header.size;
    const bool drop = pkt->is_heartbeat() || is_local_only_control(pkt);
    // Acknowledged as it was received, once it is handed over (deliver).
    p->recv_ack = p->type == c_socket_client && (pkt->is_signal_return() || pkt->is_call_return());
    if (p->recv_ack) p->recv_ack_of = *pkt;
    if (size == 0) {
        if (drop) {
            prepare_recv_header(p);
        } else if (p->type == c_socket_server && (pkt->is_signal_return_ack() || pkt->is_call_return_ack())) {
            pop_ack(p);
            prepare_recv_header(p);
        } else {
            deliver(p);
        }
        return 0;
    }
    p->recv_drop = drop;
    if (!drop && size <= c_max_tcp_payload) {
        if (alloc_data(p->recv_token, size)) {
            p->recv_buf = get_data(p->recv_token.data_mm);
            p->recv_len = size;
            p->recv_piece = c_recv_data;
            return 0;
        }
        // The packet memory is short: keep the stream in step in a buffer of this process; the
        // center answers the packet as busy.
        if (Kova::byte_t* buffer = Global::class_payload_buffers::new_buffer(size)) {
            pkt->p_data = buffer;
            p->recv_buf = pkt->p_data;
            p->recv_len = size;
            p->recv_piece = c_recv_data;
            return 0;
        }
    }
    // Refused: the payload is read and thrown away; the header goes on without data.
    p->recv_piece = c_recv_discard;
    p->recv_discard = size;
    return 0;
}

void completed_recv_data(tcp_t* p) {
    if (p->recv_drop)
        drop_current(p);
    else
        deliver(p);
}

void completed_recv_discard(tcp_t* p) {
    if (p->recv_drop) {
        prepare_recv_header(p);
        return;
    }
    get_header(p->recv_token.header_mm)->p_data = nullptr;
    deliver(p);
}

// The framing state machine of an established connection.
int recv_established(tcp_t* p) {
    static thread_local Kova::byte_t t_scratch[16384];
    for (int step = 0; step < c_max_steps; ++step) {
        Kova::byte_t* target;
        size_t want;
        if (p->recv_piece == c_recv_discard) {
            target = t_scratch;
            want = p->recv_discard < sizeof(t_scratch) ? p->recv_discard : sizeof(t_scratch);
        } else {
            target = p->recv_buf;
            want = p->recv_len;
        }
        const ssize_t n = ::recv(p->socket, target, want, MSG_DONTWAIT);
        if (n > 0) {
            p->recv_clk = now_ms();
            const size_t got = static_cast<size_t>(n);
            if (p->recv_piece == c_recv_discard) {
                p->recv_discard -= got;
                if (p->recv_discard == 0) completed_recv_discard(p);
                continue;
            }
            p->recv_buf += got;
            p->recv_len -= got;
            if (p->recv_len != 0) continue;
            if (p->recv_piece == c_recv_header) {
                if (completed_recv_header(p) != 0) return 0;
            } else {
                completed_recv_data(p);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        print_error(p->type == c_socket_server ? "recv server 에러" : "recv client 에러");
        end_connection(p);
        return 0;
    }
    if (arm_or_report(epoll_tcp_recv, EPOLL_CTL_MOD, c_mask_recv, p,
                      p->type == c_socket_server ? "epoll_tcp_recv server data MOD 에러\n"
                                                 : "epoll_tcp_recv client data MOD 에러\n") != 0) {
        end_connection(p);
        return -1;
    }
    return 0;
}

}  // namespace

bool is_local_only_control(const Kova::packet_t* pin_pkt) {
    if (pin_pkt->header.type != Kova::c_mt_ctrl) return false;
    const Kova::msg_code_t code = pin_pkt->header.code;
    return code == Kova::c_mccr_process_destroy ||
           (code >= Kova::c_mccr_tcp_connected_from_client && code <= Kova::c_mccr_tcp_disconnected_from_server);
}

int request_recv_client_header(tcp_t* p) { return request_recv_header(p, "epoll_tcp_recv client header MOD 에러\n"); }

int request_recv_server_header(tcp_t* p) { return request_recv_header(p, "epoll_tcp_recv server header MOD 에러\n"); }

int recv_client(tcp_t* p) { return recv_established(p); }

int recv_server(tcp_t* p) { return recv_established(p); }

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
