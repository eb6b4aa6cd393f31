// Feeds arbitrary bytes to the relay's TCP receive state machine (init record, then headers and
// payloads, in arbitrary splits) or to its datagram receive, against a small packet memory.
// Shared by the libFuzzer target and by the suite that replays the inputs it found.
//
// Input: byte 0 chooses the case (accepted connection from its init record, established
// outgoing connection, or datagrams). Then chunks: one length byte n, then n + 1 bytes (n for
// a datagram, which may be empty; fewer
// at the end), each written as one piece (one datagram) and followed by the receive step.
#pragma once

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_udp_method.h"
#include "Kova/Center/INet_Relay/inet_relay.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "relay_harness.h"

namespace kova_test {

class relay_fuzz_driver {
public:
    // false when the packet memory cannot be made.
    bool open(const std::string& in_name) {
        if (!m_memory.create(in_name, 1u << 20)) return false;
        Kova::Common::Global::gp_center_pipe = &m_sink;
        return true;
    }
    void close() {
        Kova::Common::Global::gp_center_pipe = nullptr;
        m_memory.destroy();
    }

    // Runs one input; returns the number of blocks left in the packet memory afterwards (0
    // unless something leaked).
    unsigned long run(const unsigned char* in_data, size_t in_size) {
        using namespace Kova::Center::INet_Relay;
        using namespace Kova::Center::INet_Relay::EPoll;
        if (in_size == 0) return 0;
        initialize();
        const int mode = in_data[0] % 3;
        int fds[2] = {-1, -1};
        const int kind = mode == 2 ? SOCK_DGRAM : SOCK_STREAM;
        if (socketpair(AF_UNIX, kind | SOCK_NONBLOCK, 0, fds) != 0) std::abort();
        tcp_t* tcp = nullptr;
        struct_epoll_overlapped_ex* udp = nullptr;
        const Kova::struct_node_addr local(0x0100000A, 7100), remote(0x0200000A, 40001);
        if (mode == 2) {
            udp = new struct_epoll_overlapped_ex(fds[0], c_socket_udp, Kova::struct_node_addr(0, 7100));
            g_udp_map[7100] = udp;
            epoll_arm(epoll_udp_recv, EPOLL_CTL_ADD, fds[0], c_mask_listen, udp);
        } else {
            tcp = new_tcp_record(fds[0], mode == 0 ? c_socket_init_server : c_socket_client, local, remote);
            tcp->gate_port_of_local = 7100;
            if (mode == 0) {
                {
                    Pimo::OS::class_locker lock(g_establish_server_map_lock);
                    g_init_server_set.insert(tcp);
                }
                request_recv_server_init(tcp);
            } else {
                g_establish_client_map[remote] = tcp;
                epoll_arm(epoll_tcp_recv, EPOLL_CTL_ADD, fds[0], c_mask_recv, tcp);
                epoll_arm(epoll_tcp_send, EPOLL_CTL_ADD, fds[0], c_mask_send, tcp);
                request_recv_client_header(tcp);
            }
        }
        size_t at = 1;
        while (at < in_size) {
            // Datagrams may be empty; stream pieces hold at least one byte.
            size_t n = static_cast<size_t>(in_data[at++]) + (mode == 2 ? 0 : 1);
            if (n > in_size - at) n = in_size - at;
            if (::send(fds[1], in_data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && mode != 2) break;
            at += n;
            if (udp) {
                recv_udp(udp);
            } else if (alive(tcp)) {
                step(tcp, fds[1], EPOLLIN);
            }
            drain();
        }
        // The peer goes away: the connection ends and is released by the send side.
        ::close(fds[1]);
        if (tcp && alive(tcp)) step(tcp, -1, EPOLLIN);
        if (tcp && alive(tcp)) on_send_event(tcp, EPOLLOUT | EPOLLHUP);
        drain();
        finalize();
        drain();
        return m_memory.blocks();
    }

private:
    static bool alive(Kova::Center::INet_Relay::EPoll::tcp_t* p) {
        using namespace Kova::Center::INet_Relay::EPoll;
        Pimo::OS::class_locker lock(g_tcp_records_lock);
        return g_tcp_records.count(p) != 0;
    }

    // A receive event, then what the send thread would do with the record.
    void step(Kova::Center::INet_Relay::EPoll::tcp_t* p, int in_peer, unsigned in_events) {
        using namespace Kova::Center::INet_Relay::EPoll;
        on_recv_event(p, in_events);
        if (alive(p) && (p->send_state || p->type == c_socket_init_server) &&
            (p->send_len != 0 || !p->send_queue.empty()))
            on_send_event(p, EPOLLOUT);
        if (in_peer >= 0) {
            char buf[4096];
            while (::recv(in_peer, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
            }
        }
    }

    void drain() {
        Kova::struct_token t;
        while (m_sink.pop(t)) m_memory.release(t);
    }

    local_packet_memory m_memory;
    sink_pipe m_sink;
};

}  // namespace kova_test
