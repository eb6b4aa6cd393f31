#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_send.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;

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

// The pump cannot go on: it stops with the queue kept, and the record's end turns the queue into
// returns. True when that end has come (the receive is over) and the record is to be released
// now; otherwise the socket is shut down, which ends the receive and so the connection.
bool stop_pump(tcp_t* p) {
    p->send_state = false;
    if (p->recv_ended) return true;
    if (p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
    return false;
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
            if (arm_or_report(epoll_tcp_send, EPOLL_CTL_MOD, c_mask_send, p, "epoll.out 등록 에러\n") != 0)
                return stop_pump(p);
            return false;
        }
        if (n <= 0) return stop_pump(p);
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
    if (arm_or_report(epoll_tcp_send, EPOLL_CTL_MOD, c_mask_send, p, "epoll.epoll_tcp_send 요청 에러\n") != 0)
        return stop_pump(p);
    return false;
}

// Runs one step of the send thread under send_queue_lock; the record is released after the lock
// is let go when the step says so.
int send_step(tcp_t* p, bool (*in_step)(tcp_t*)) {
    bool release;
    {
        class_locker lock(p->send_queue_lock);
        release = in_step(p);
    }
    if (release) delete_overlapped(p);
    return 0;
}

}  // namespace

int send_client(tcp_t* p) { return send_step(p, pump); }

int send_server(tcp_t* p) { return send_step(p, pump); }

int failed_send(tcp_t* p) { return send_step(p, stop_pump); }

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
    if (arm_or_report(epoll_tcp_send, EPOLL_CTL_MOD, c_mask_send, p, "epoll.epoll_tcp_send 요청 에러\n") != 0) {
        // The pump cannot run: end the connection; its queue becomes error returns on release.
        p->send_state = false;
        if (p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
    }
}

int request_send_hearbeat(tcp_t* p) {
    class_locker lock(p->send_queue_lock);
    if (p->b_remove_client || p->recv_ended) return 0;
    add_ref(heartbeat_token.header_mm);
    queue_on_connection(p, heartbeat_token, heartbeat_pkt);
    return 0;
}

void take_error_returns(token_queue_t& io_queue, Kova::kova_err_t in_error,
                        std::vector<Kova::struct_token>& out_returns) {
    for (Kova::struct_token& t : io_queue) {
        if (t.has_header()) {
            Kova::struct_token ret;
            alloc_error_return(*get_header(t.header_mm), in_error, ret);
            if (ret.has_header()) out_returns.push_back(ret);
        }
        free_token(t);
    }
    io_queue.clear();
}

void clear_send_q(tcp_t* p, std::vector<Kova::struct_token>& out_returns) {
    take_error_returns(p->send_queue, Kova::c_kova_err_not_connected_tcp, out_returns);
}

void wait_ack(tcp_t* p, Kova::struct_token& in_token, Kova::packet_t* pin_pkt) {
    if (!pin_pkt->is_signal_return() && !pin_pkt->is_call_return()) return;
    add_ref(in_token.header_mm);
    Kova::struct_token entry;
    entry.header_mm = in_token.header_mm;
    class_locker lock(p->ack_wait_q_lock);
    p->ack_wait_q.push_back(entry);
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

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
