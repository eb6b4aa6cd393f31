#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_file.h"

// Life of a connection record between the threads.
//
// Before establishment exactly one epoll registration of a record is armed at a time (connect in
// the init set, then one init record send or receive), so whichever thread gets its event may
// release it. Once established, the receive set is armed by the receive thread and the send set
// by whoever starts the pump. The receive thread never releases an established record: when the
// receive ends it takes the record out of its map, sets recv_ended and makes sure a send event
// follows (a close marker, armed when the pump is idle). The send thread releases the record on
// that event, or on a send failure once recv_ended is set. A send failure while the receive is
// still running shuts the socket down, which ends the receive. So each record is released once,
// by the one thread that can still reach it.

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;
using Pimo::Utility::print_error;

constexpr int c_max_steps = 64;  // pieces per event before the registration is re-armed

sockaddr_in make_addr(Kova::ip_t in_ip, Kova::domain_t in_port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = in_ip;
    addr.sin_port = htons(in_port);
    return addr;
}

Kova::struct_node_addr own_addr(SOCKET in_socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(in_socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET)
        return Kova::struct_node_addr();
    return Kova::struct_node_addr(addr.sin_addr.s_addr, ntohs(addr.sin_port));
}

void set_nodelay(SOCKET in_socket) {
    int one = 1;
    if (setsockopt(in_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        print_error("iocp setsockopt nodelay error");
}

void unregister_all(SOCKET in_socket) {
    if (in_socket < 0) return;
    epoll_ctl(epoll_tcp_init, EPOLL_CTL_DEL, in_socket, nullptr);
    epoll_ctl(epoll_tcp_recv, EPOLL_CTL_DEL, in_socket, nullptr);
    epoll_ctl(epoll_tcp_send, EPOLL_CTL_DEL, in_socket, nullptr);
}

// Erases the entry only when it holds this record.
bool erase_if_holds(connect_map_t& in_map, tcp_t* p) {
    auto it = in_map.find(p->remote_addr);
    if (it == in_map.end() || it->second != p) return false;
    in_map.erase(it);
    return true;
}

void hand_over(std::vector<Kova::struct_token>& in_returns) {
    for (Kova::struct_token& t : in_returns) send_center(t, get_header(t.header_mm));
    in_returns.clear();
}

// A copy of the record in a new header block, when the error switch has an answer for it.
bool make_error_return(const Kova::packet_t& in_pkt, Kova::kova_err_t in_error, Kova::struct_token& out_token) {
    Kova::packet_t copy = in_pkt;
    copy.p_data = nullptr;
    if (!copy.backward_error_switch(in_error)) return false;
    out_token.reset();
    alloc_header_force(out_token);
    *get_header(out_token.header_mm) = copy;
    return true;
}

// Builds and hands over one of the four connection reports.
int send_connection_report(tcp_t* p, Kova::msg_code_t in_code, Kova::kova_err_t in_error, bool in_outgoing) {
    Kova::struct_token token;
    alloc_header_force(token);
    Kova::packet_t* pkt = get_header(token.header_mm);
    *pkt = Kova::packet_t();
    pkt->initialize_packet(p->local_addr.ip, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    pkt->set_source(p->remote_addr.ip, p->remote_addr.port,
                    in_outgoing ? Kova::c_broadcast_stub_id : Kova::c_broadcast_proxy_id);
    pkt->set_destination(Kova::c_local_host, p->gate_port_of_local,
                         in_outgoing ? Kova::c_broadcast_proxy_id : Kova::c_broadcast_stub_id);
    pkt->initialize_header(0, 0, Kova::c_mt_ctrl, in_code, in_error);
    send_center(token, pkt);
    return 0;
}

void free_recv_token(tcp_t* p) {
    Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
    if (pkt && pkt->p_data) {
        std::free(pkt->p_data);
        pkt->p_data = nullptr;
    }
    free_token(p->recv_token);
}

// The receive side is over: from now on only the send thread reaches the record and releases it.
// The caller has taken the record out of its map.
void end_receive(tcp_t* p) {
    bool release_here = false;
    {
        class_locker lock(p->send_queue_lock);
        p->recv_ended = true;
        // An outgoing connection is dropped at once; its queue becomes error returns.
        if (p->type == c_socket_client && p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
        const bool was_empty = p->send_queue.empty();
        p->send_queue.push_back(Kova::struct_token());
        if (!p->send_state) {
            if (was_empty) {
                p->send_buf = nullptr;
                p->send_len = 0;
                p->header_send = true;
            }
            p->send_state = true;
            if (epoll_arm(epoll_tcp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
                print_error("epoll.epoll_tcp_send 요청 에러\n");
                // Nothing is armed on the send side: nobody else can reach the record.
                p->send_state = false;
                release_here = true;
            }
        }
        // With send_state already true an event is armed; a peer that stops reading meets the
        // stalled-send limit of the timer, whose shut-down fires it.
    }
    if (release_here) delete_overlapped(p);
}

void end_connection(tcp_t* p) {
    if (p->type == c_socket_server)
        shutdown_server(p);
    else {
        unestablish_connect(p);
        close_client(p);
    }
}

// Prepares the next packet's record and points the receive at its wire header.
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
    if (epoll_arm(epoll_tcp_recv, EPOLL_CTL_MOD, p->socket, c_mask_recv, p) != 0) {
        print_error(in_error);
        return -1;
    }
    return 0;
}

void queue_ack(tcp_t* p, const Kova::packet_t& in_return);

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
    Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
    if (pkt->p_data) {
        std::free(pkt->p_data);
        pkt->p_data = nullptr;
    }
    Pimo::Memory::mm_t data = p->recv_token.data_mm;
    p->recv_token.reset_data();
    free_mm(data);
    prepare_recv_header(p);
}

void queue_ack(tcp_t* p, const Kova::packet_t& in_return) {
    Kova::struct_token ack;
    alloc_header_force(ack);
    Kova::packet_t* pkt = get_header(ack.header_mm);
    *pkt = in_return;
    pkt->p_data = nullptr;
    pkt->set_swap_address(in_return);
    pkt->set_swap_acktype();
    pkt->set_data_size(0);
    class_locker lock(p->send_queue_lock);
    queue_on_connection(p, ack, pkt, true);
}

void pop_ack(tcp_t* p) {
    Kova::struct_token entry;
    {
        class_locker lock(p->ack_wait_q_lock);
        if (p->ack_wait_q.empty()) return;
        entry = p->ack_wait_q.front();
        p->ack_wait_q.pop_front();
    }
    free_token(entry);
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
        void* buffer = std::malloc(size);
        if (buffer) {
            pkt->p_data = static_cast<Kova::byte_t*>(buffer);
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
    if (epoll_arm(epoll_tcp_recv, EPOLL_CTL_MOD, p->socket, c_mask_recv, p) != 0) {
        print_error(p->type == c_socket_server ? "epoll_tcp_recv server data MOD 에러\n"
                                               : "epoll_tcp_recv client data MOD 에러\n");
        end_connection(p);
        return -1;
    }
    return 0;
}

// Receives the rest of an init record into in_record. 1 when complete, 0 when more is to come
// (re-armed), -1 on an end of stream or error.
int recv_init_record(tcp_t* p, Kova::struct_tcp_header& in_record) {
    Kova::byte_t* base = reinterpret_cast<Kova::byte_t*>(&in_record);
    for (;;) {
        const ssize_t n = ::recv(p->socket, base + (sizeof(in_record) - p->recv_len), p->recv_len, MSG_DONTWAIT);
        if (n > 0) {
            p->recv_clk = now_ms();
            p->recv_len -= static_cast<size_t>(n);
            if (p->recv_len == 0) return 1;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (epoll_arm(epoll_tcp_recv, EPOLL_CTL_MOD, p->socket, c_mask_recv, p) != 0) return -1;
            return 0;
        }
        return -1;
    }
}

// Sends the rest of an init record. 1 when complete, 0 when re-armed, -1 on error.
int send_init_record(tcp_t* p, const Kova::struct_tcp_header& in_record) {
    const Kova::byte_t* base = reinterpret_cast<const Kova::byte_t*>(&in_record);
    for (;;) {
        const ssize_t n = ::send(p->socket, base + (sizeof(in_record) - p->send_len), p->send_len,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            p->send_clk = now_ms();
            p->send_len -= static_cast<size_t>(n);
            if (p->send_len == 0) return 1;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (epoll_arm(epoll_tcp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
                print_error("epoll.out 등록 에러\n");
                return -1;
            }
            return 0;
        }
        return -1;
    }
}

// Makes the front token the current piece.
void start_front(tcp_t* p) {
    Kova::struct_token& front = p->send_queue.front();
    if (!front.has_header()) {
        p->send_buf = nullptr;
        p->send_len = 0;
        p->header_send = true;
        return;
    }
    Kova::packet_t* pkt = get_header(front.header_mm);
    // A header that announces a payload we do not hold would put the peer out of step.
    if (!front.has_data()) pkt->set_data_size(0);
    if (p->type == c_socket_server) wait_ack(p, front, pkt);
    p->send_buf = reinterpret_cast<Kova::byte_t*>(&pkt->header);
    p->send_len = sizeof(Kova::struct_header);
    p->header_send = true;
}

// The send pump of an established connection; the caller holds send_queue_lock. True when the
// record must be released now.
bool pump(tcp_t* p) {
    if (p->recv_ended && p->type == c_socket_client) return true;
    for (int step = 0; step < c_max_steps; ++step) {
        if (p->send_queue.empty()) {
            p->send_state = false;
            return false;
        }
        if (p->send_buf == nullptr) {  // close marker
            p->send_queue.pop_front();
            p->send_state = false;
            ::shutdown(p->socket, SHUT_WR);
            return p->recv_ended;
        }
        Kova::struct_token& front = p->send_queue.front();
        Kova::packet_t* pkt = get_header(front.header_mm);
        iovec iov[2];
        int count = 1;
        iov[0].iov_base = p->send_buf;
        iov[0].iov_len = p->send_len;
        const size_t size = pkt->header.size;
        if (p->header_send && size != 0 && front.has_data()) {
            iov[1].iov_base = get_data(front.data_mm);
            iov[1].iov_len = size;
            count = 2;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        const ssize_t n = ::sendmsg(p->socket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (epoll_arm(epoll_tcp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
                print_error("epoll.out 등록 에러\n");
                p->send_state = false;
                if (p->recv_ended) return true;
                ::shutdown(p->socket, SHUT_RDWR);
            }
            return false;
        }
        if (n <= 0) {
            // The pump stops with the queue kept; the record's end turns it into returns.
            p->send_state = false;
            if (p->recv_ended) return true;
            ::shutdown(p->socket, SHUT_RDWR);
            return false;
        }
        const Pimo::OS::vimra_clock_t now = now_ms();
        p->send_clk = now;
        p->send_progress_clk = now;
        size_t sent = static_cast<size_t>(n);
        if (sent < p->send_len) {
            p->send_buf += sent;
            p->send_len -= sent;
            continue;
        }
        sent -= p->send_len;
        if (p->header_send && count == 2) {
            p->header_send = false;
            p->send_buf = get_data(front.data_mm) + sent;
            p->send_len = size - sent;
            if (p->send_len != 0) continue;
        }
        free_token(front);
        p->send_queue.pop_front();
        if (p->send_queue.empty()) {
            p->send_state = false;
            p->send_buf = nullptr;
            p->send_len = 0;
            return false;
        }
        start_front(p);
    }
    if (epoll_arm(epoll_tcp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
        print_error("epoll.epoll_tcp_send 요청 에러\n");
        p->send_state = false;
        if (p->recv_ended) return true;
        ::shutdown(p->socket, SHUT_RDWR);
    }
    return false;
}

int send_established(tcp_t* p) {
    bool release;
    {
        class_locker lock(p->send_queue_lock);
        release = pump(p);
    }
    if (release) delete_overlapped(p);
    return 0;
}

}  // namespace

bool is_local_only_control(const Kova::packet_t* pin_pkt) {
    if (pin_pkt->header.type != Kova::c_mt_ctrl) return false;
    const Kova::msg_code_t code = pin_pkt->header.code;
    return code == Kova::c_mccr_process_destroy ||
           (code >= Kova::c_mccr_tcp_connected_from_client && code <= Kova::c_mccr_tcp_disconnected_from_server);
}

// ---- listening and accepting ----

int request_listen(Kova::domain_t in_port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 6);
    g_server_map[in_port] = s;
    if (s < 0) {
        const int err = errno;
        print_error("소켓 생성 실패");
        g_server_map[in_port] = -1;
        return err;
    }
    Pimo::Utility::fflag_on(s, O_NONBLOCK);
    sockaddr_in addr = make_addr(0, in_port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int err = errno;
        Pimo::Utility::alert(("이미 다른 프로그램에서 " + std::to_string(in_port) +
                              " 포트(도메인 포트)를 사용하고 있습니다.").c_str(),
                             "Kova Error");
        print_error("바인딩 실패");
        ::close(s);
        g_server_map[in_port] = -1;
        return err;
    }
    ::listen(s, g_listen_backlog);
    struct_epoll_overlapped* listener =
        new struct_epoll_overlapped(s, c_socket_listener, Kova::struct_node_addr(0, in_port));
    g_listener_map[in_port] = listener;
    return epoll_arm(epoll_tcp_init, EPOLL_CTL_ADD, s, c_mask_listen, listener);
}

int accept(struct_epoll_overlapped* pin_listener) {
    // Edge-triggered: take every pending connection, or the rest would wait for the next one.
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        SOCKET s = ::accept4(pin_listener->socket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) g_accept_retry = true;
            print_error("소켓 엑셉트 실패");
            return -1;
        }
        tcp_t* p = new_tcp_record(s, c_socket_init_server, pin_listener->local_addr,
                             Kova::struct_node_addr(peer.sin_addr.s_addr, ntohs(peer.sin_port)));
        p->create_clk = now_ms();
        p->recv_clk = p->create_clk;
        set_server_option(p);
        {
            class_locker lock(g_establish_server_map_lock);
            g_init_server_set.insert(p);
        }
        if (request_recv_server_init(p) != 0) failed_server_init(p);
    }
}

void set_server_option(tcp_t* p) {
    if (g_server_nagle_off_use) set_nodelay(p->socket);
    p->local_addr = own_addr(p->socket);
    p->gate_port_of_local = p->local_addr.port;
}

// ---- accepted connections ----

int request_recv_server_init(tcp_t* p) {
    p->recv_len = sizeof(Kova::struct_tcp_header);
    if (epoll_arm(epoll_tcp_recv, EPOLL_CTL_ADD, p->socket, c_mask_recv, p) != 0) {
        print_error("epoll_tcp_recv server ADD 에러\n");
        return -1;
    }
    return 0;
}

int recv_server_init(tcp_t* p) {
    const int r = recv_init_record(p, p->tcp_client_header);
    if (r == 0) return 0;
    if (r < 0) {
        print_error("recv server init 에러");
        failed_server_init(p);
        return 0;
    }
    p->gate_port_of_local = p->tcp_client_header.get_port_of_receiver();
    if (request_send_server_init(p) != 0) failed_server_init(p);
    return 0;
}

int request_send_server_init(tcp_t* p) {
    p->tcp_server_header.set_port_of_sender(p->local_addr.port);
    p->tcp_server_header.set_port_of_receiver(p->remote_addr.port);
    p->send_len = sizeof(Kova::struct_tcp_header);
    if (epoll_arm(epoll_tcp_send, EPOLL_CTL_ADD, p->socket, c_mask_send, p) != 0) {
        print_error("epoll.out 등록 에러\n");
        return -1;
    }
    return 0;
}

int send_server_init(tcp_t* p) {
    const int r = send_init_record(p, p->tcp_server_header);
    if (r == 0) return 0;
    if (r < 0) {
        print_error("send server init 에러");
        failed_server_init(p);
        return 0;
    }
    p->type = c_socket_server;
    p->send_len = 0;
    p->send_buf = nullptr;
    establish_accept(p);
    if (request_recv_server_header(p) != 0) {
        // The receive side cannot run: end the connection as if its receive had ended.
        shutdown_server(p);
        return -1;
    }
    return 0;
}

int establish_accept(tcp_t* p) {
    {
        class_locker lock(g_establish_server_map_lock);
        g_init_server_set.erase(p);
        g_establish_server_map.insert(std::make_pair(p->remote_addr, p));
    }
    return eproc_send_connected_from_client_msg_to_center(p);
}

void unestablish_accept(tcp_t* p) {
    bool removed;
    {
        class_locker lock(g_establish_server_map_lock);
        removed = erase_if_holds(g_establish_server_map, p);
    }
    if (removed) eproc_send_disconnected_from_client_msg_to_center(p);
}

void shutdown_server(tcp_t* p) {
    unestablish_accept(p);
    end_receive(p);
}

int failed_server_init(tcp_t* p) {
    {
        class_locker lock(g_establish_server_map_lock);
        g_init_server_set.erase(p);
    }
    return delete_overlapped(p);
}

// ---- outgoing connections ----

int request_connect(tcp_t* p) {
    class_locker lock(g_client_lock);
    p->send_clk = now_ms();
    p->create_clk = p->send_clk;
    const char* text = nullptr;
    int err = 0;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 6);
    if (s < 0) {
        err = errno;
        print_error("소켓 생성 실패");
        return err;
    }
    Pimo::Utility::fflag_on(s, O_NONBLOCK);
    sockaddr_in local = make_addr(p->local_addr.ip, p->local_addr.port);
    sockaddr_in remote = make_addr(p->remote_addr.ip, p->remote_addr.port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        err = errno;
        text = "bind";
    } else if (::connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0 && errno != EINPROGRESS) {
        err = errno;
        print_error("connect err:" + std::to_string(err) + "\n");
    } else {
        p->socket = s;
        p->type = c_socket_init_client;
        g_connect_map.insert(std::make_pair(p->remote_addr, p));
        if (epoll_arm(epoll_tcp_init, EPOLL_CTL_ADD, s, c_mask_send, p) == 0) return 0;
        err = errno ? errno : EINVAL;
        erase_if_holds(g_connect_map, p);
        text = "epoll_tcp_init ADD";
    }
    if (text) print_error(text);
    ::close(s);
    p->socket = -1;
    return err ? err : -1;
}

int completed_connect(tcp_t* p) {
    if (p->b_remove_client) return failed_connect_init(p);
    set_client_option(p);
    if (epoll_ctl(epoll_tcp_init, EPOLL_CTL_DEL, p->socket, nullptr) != 0) {
        print_error("epoll del 에러");
        return failed_connect_init(p);
    }
    if (request_send_client_init(p) != 0) {
        print_error("request_send_client_init");
        return failed_connect_init(p);
    }
    return 0;
}

int failed_connect(tcp_t* p) { return failed_connect_init(p); }

void set_client_option(tcp_t* p) {
    if (g_client_nagle_off_use) set_nodelay(p->socket);
    p->local_addr = own_addr(p->socket);
    p->gate_port_of_local = p->local_addr.port;
    // The socket stays non-blocking: no send may wait under a lock (see the pump).
}

int request_send_client_init(tcp_t* p) {
    p->tcp_client_header.set_port_of_sender(p->local_addr.port);
    p->tcp_client_header.set_port_of_receiver(p->remote_addr.port);
    p->send_len = sizeof(Kova::struct_tcp_header);
    if (epoll_arm(epoll_tcp_send, EPOLL_CTL_ADD, p->socket, c_mask_send, p) != 0) {
        print_error("epoll.out 등록 에러\n");
        return -1;
    }
    return 0;
}

int send_client_init(tcp_t* p) {
    const int r = send_init_record(p, p->tcp_client_header);
    if (r == 0) return 0;
    if (r < 0 || p->b_remove_client) {
        if (r < 0) print_error("send client init 에러");
        return failed_connect_init(p);
    }
    if (request_recv_client_init(p) != 0) {
        print_error("request_recv_client_init");
        return failed_connect_init(p);
    }
    return 0;
}

int request_recv_client_init(tcp_t* p) {
    p->recv_len = sizeof(Kova::struct_tcp_header);
    if (epoll_arm(epoll_tcp_recv, EPOLL_CTL_ADD, p->socket, c_mask_recv, p) != 0) {
        print_error("epoll_tcp_recv client ADD 에러\n");
        return -1;
    }
    return 0;
}

int recv_client_init(tcp_t* p) {
    const int r = recv_init_record(p, p->tcp_server_header);
    if (r == 0) return 0;
    if (r < 0 || p->b_remove_client) {
        // Marked for removal while connecting: closed without ever being reported.
        if (r < 0) print_error("recv client init 에러");
        return failed_connect_init(p);
    }
    p->gate_port_of_local = p->tcp_server_header.get_port_of_receiver();
    {
        class_locker lock(g_client_lock);
        if (g_establish_client_map.count(p->remote_addr) != 0) {
            // An older connection to the same center is still being withdrawn; try again later.
            return failed_connect_init(p);
        }
        p->type = c_socket_client;
    }
    if (request_recv_client_header(p) != 0) {
        print_error("request_recv_client_header");
        p->type = c_socket_init_client;
        return failed_connect_init(p);
    }
    return establish_connect(p);
}

int establish_connect(tcp_t* p) {
    {
        class_locker lock(g_client_lock);
        erase_if_holds(g_connect_map, p);
        g_establish_client_map.insert(std::make_pair(p->remote_addr, p));
    }
    return eproc_send_connected_to_server_msg_to_center(p);
}

void unestablish_connect(tcp_t* p) {
    bool removed;
    {
        class_locker lock(g_client_lock);
        removed = erase_if_holds(g_establish_client_map, p);
    }
    if (removed) eproc_send_disconnected_from_server_msg_to_center(p);
}

int failed_connect_init(tcp_t* p) {
    bool release = false;
    {
        class_locker lock(g_client_lock);
        erase_if_holds(g_connect_map, p);
        unregister_all(p->socket);
        if (p->socket >= 0) ::close(p->socket);
        p->socket = -1;
        p->recv_len = 0;
        p->send_len = 0;
        if (p->b_remove_client || g_connect_fail_map.count(p->remote_addr) != 0)
            release = true;
        else
            g_connect_fail_map.insert(std::make_pair(p->remote_addr, p));
    }
    if (release) delete_overlapped(p);
    return 0;
}

void close_client(tcp_t* p) {
    {
        class_locker lock(g_client_lock);
        // A newer record for the same center (a user came back meanwhile) keeps the key.
        if (!p->b_remove_client && g_connect_map.count(p->remote_addr) == 0 &&
            g_connect_fail_map.count(p->remote_addr) == 0) {
            tcp_t* fresh = new_tcp_record(-1, c_socket_init_client, Kova::struct_node_addr(), p->remote_addr);
            g_connect_fail_map.insert(std::make_pair(p->remote_addr, fresh));
        }
    }
    end_receive(p);
}

int delete_overlapped(tcp_t* p) {
    std::vector<Kova::struct_token> returns;
    free_recv_token(p);
    {
        class_locker lock(p->send_queue_lock);
        clear_send_q(p, returns);
        p->send_state = false;
        p->send_buf = nullptr;
        p->send_len = 0;
        unregister_all(p->socket);
        if (p->socket >= 0) ::close(p->socket);
        p->socket = -1;
    }
    {
        class_locker lock(p->ack_wait_q_lock);
        for (Kova::struct_token& t : p->ack_wait_q) free_token(t);
        p->ack_wait_q.clear();
    }
    forget_tcp_record(p);
    delete p;
    hand_over(returns);
    return 0;
}

void clear_establish_map(establish_map_t& in_map) {
    for (auto& entry : in_map) delete_overlapped(entry.second);
    in_map.clear();
}

void clear_connect_map(connect_map_t& in_map) { clear_establish_map(in_map); }

int eproc_send_connected_to_server_msg_to_center(tcp_t* p) {
    return send_connection_report(p, Kova::c_mccr_tcp_connected_to_server, Kova::c_kova_err_none, true);
}

int eproc_send_disconnected_from_server_msg_to_center(tcp_t* p) {
    return send_connection_report(p, Kova::c_mccr_tcp_disconnected_from_server, Kova::c_kova_err_disconnected_tcp,
                                  true);
}

int eproc_send_connected_from_client_msg_to_center(tcp_t* p) {
    return send_connection_report(p, Kova::c_mccr_tcp_connected_from_client, Kova::c_kova_err_none, false);
}

int eproc_send_disconnected_from_client_msg_to_center(tcp_t* p) {
    return send_connection_report(p, Kova::c_mccr_tcp_disconnected_from_client, Kova::c_kova_err_disconnected_tcp,
                                  false);
}

// ---- framing ----

int request_recv_client_header(tcp_t* p) { return request_recv_header(p, "epoll_tcp_recv client header MOD 에러\n"); }

int request_recv_server_header(tcp_t* p) { return request_recv_header(p, "epoll_tcp_recv server header MOD 에러\n"); }

int recv_client(tcp_t* p) { return recv_established(p); }

int recv_server(tcp_t* p) { return recv_established(p); }

int send_client(tcp_t* p) { return send_established(p); }

int send_server(tcp_t* p) { return send_established(p); }

int failed_send(tcp_t* p) {
    bool release;
    {
        class_locker lock(p->send_queue_lock);
        p->send_state = false;
        release = p->recv_ended;
        // The receive is still running: end it, and with it the connection.
        if (!release && p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
    }
    if (release) delete_overlapped(p);
    return 0;
}

void wait_ack(tcp_t* p, Kova::struct_token& in_token, Kova::packet_t* pin_pkt) {
    if (!pin_pkt->is_signal_return() && !pin_pkt->is_call_return()) return;
    add_ref(in_token.header_mm);
    Kova::struct_token entry;
    entry.header_mm = in_token.header_mm;
    class_locker lock(p->ack_wait_q_lock);
    p->ack_wait_q.push_back(entry);
}

int request_send_hearbeat(tcp_t* p) {
    class_locker lock(p->send_queue_lock);
    if (p->b_remove_client || p->recv_ended) return 0;
    add_ref(heartbeat_token.header_mm);
    queue_on_connection(p, heartbeat_token, heartbeat_pkt);
    return 0;
}

void queue_on_connection(tcp_t* p, const Kova::struct_token& in_token, Kova::packet_t*, bool in_write_now) {
    const bool was_empty = p->send_queue.empty();
    p->send_queue.push_back(in_token);
    if (!was_empty || p->send_state) return;
    p->send_progress_clk = now_ms();
    start_front(p);
    p->send_state = true;
    // The queueing thread writes what the socket takes at once; the pump arms the send thread
    // only when the socket takes no more. The receive is running, so the pump keeps the record.
    if (in_write_now) {
        pump(p);
        return;
    }
    if (epoll_arm(epoll_tcp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
        print_error("epoll.epoll_tcp_send 요청 에러\n");
        // The pump cannot run: end the connection; its queue becomes error returns on release.
        p->send_state = false;
        if (p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
    }
}

void clear_send_q(tcp_t* p, std::vector<Kova::struct_token>& out_returns) {
    for (Kova::struct_token& t : p->send_queue) {
        if (t.has_header()) {
            Kova::struct_token ret;
            if (make_error_return(*get_header(t.header_mm), Kova::c_kova_err_not_connected_tcp, ret))
                out_returns.push_back(ret);
        }
        free_token(t);
    }
    p->send_queue.clear();
}

// ---- dispatch ----

int on_recv_event(tcp_t* p, unsigned in_events) {
    const bool bad = (in_events & (EPOLLERR | EPOLLHUP)) != 0;
    switch (p->type) {
    case c_socket_init_server: return bad ? failed_server_init(p) : recv_server_init(p);
    case c_socket_init_client: return bad ? failed_connect_init(p) : recv_client_init(p);
    case c_socket_server:
        if (bad) {
            shutdown_server(p);
            return 0;
        }
        return recv_server(p);
    case c_socket_client:
        if (bad) {
            unestablish_connect(p);
            close_client(p);
            return 0;
        }
        return recv_client(p);
    default: return 0;
    }
}

int on_send_event(tcp_t* p, unsigned in_events) {
    const bool bad = (in_events & (EPOLLERR | EPOLLHUP)) != 0;
    switch (p->type) {
    case c_socket_init_server: return bad ? failed_server_init(p) : send_server_init(p);
    case c_socket_init_client: return bad ? failed_connect_init(p) : send_client_init(p);
    case c_socket_server: return bad ? failed_send(p) : send_server(p);
    case c_socket_client: return bad ? failed_send(p) : send_client(p);
    default: return 0;
    }
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
