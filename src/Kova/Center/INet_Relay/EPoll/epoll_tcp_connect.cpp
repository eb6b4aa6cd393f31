#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_connect.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <string>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_recv.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_file.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;
using Pimo::Utility::print_error;

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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return arm_or_report(epoll_tcp_send, EPOLL_CTL_MOD, c_mask_send, p, "epoll.out 등록 에러\n");
        return -1;
    }
}

// The first receive of the peer's init record.
int request_recv_init(tcp_t* p, const char* in_error) {
    p->recv_len = sizeof(Kova::struct_tcp_header);
    return arm_or_report(epoll_tcp_recv, EPOLL_CTL_ADD, c_mask_recv, p, in_error);
}

// The first send of our init record: our port, then the peer's.
int request_send_init(tcp_t* p, Kova::struct_tcp_header& io_record) {
    io_record.set_port_of_sender(p->local_addr.port);
    io_record.set_port_of_receiver(p->remote_addr.port);
    p->send_len = sizeof(Kova::struct_tcp_header);
    return arm_or_report(epoll_tcp_send, EPOLL_CTL_ADD, c_mask_send, p, "epoll.out 등록 에러\n");
}

}  // namespace

// ---- accepted connections ----

int request_recv_server_init(tcp_t* p) { return request_recv_init(p, "epoll_tcp_recv server ADD 에러\n"); }

int recv_server_init(tcp_t* p) {
    const int r = recv_init_record(p, p->tcp_client_header);
    if (r == 0) return 0;
    if (r < 0) {
        print_error("recv server init 에러");
        failed_server_init(p);
        return 0;
    }
    // The domain of an accepted connection is the port it came in on, whatever the peer
    // says: a peer that names another would make this host serve (and start) that domain.
    if (p->tcp_client_header.get_port_of_receiver() != p->local_addr.port) {
        print_error("recv server init port 에러");
        failed_server_init(p);
        return 0;
    }
    p->gate_port_of_local = p->local_addr.port;
    if (request_send_server_init(p) != 0) failed_server_init(p);
    return 0;
}

int request_send_server_init(tcp_t* p) { return request_send_init(p, p->tcp_server_header); }

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

int request_send_client_init(tcp_t* p) { return request_send_init(p, p->tcp_client_header); }

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

int request_recv_client_init(tcp_t* p) { return request_recv_init(p, "epoll_tcp_recv client ADD 에러\n"); }

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

// ---- connection reports ----

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

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
