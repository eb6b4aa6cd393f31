// The relay's receive and send steps on one connection, driven by hand over a socket pair with
// a packet memory and a center pipe of this test: no threads, no ports.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cfloat>
#include <algorithm>
#include <cstring>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_thread.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_udp_method.h"
#include "Kova/Center/INet_Relay/inet_relay.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "relay_harness.h"
#include "test_process.h"

namespace {

using namespace Kova::Center::INet_Relay;
using namespace Kova::Center::INet_Relay::EPoll;

constexpr Kova::ip_t c_local_ip = 0x0100000A;   // 10.0.0.1
constexpr Kova::ip_t c_remote_ip = 0x0200000A;  // 10.0.0.2
constexpr Kova::domain_t c_gate = 7100;
constexpr Kova::domain_t c_peer_port = 40001;

Kova::struct_header make_header(Kova::msg_type_t in_type, Kova::pksize_t in_size, Kova::msg_code_t in_code = 9) {
    Kova::struct_header h{};
    h.init(in_size, 1, in_type, in_code, 0);
    h.sport = 7200;
    h.limit.set_time(DBL_MAX);
    h.sid = 0x8001;
    h.did = 0x0001;
    return h;
}

std::vector<Kova::byte_t> pattern(size_t in_size, unsigned in_seed = 3) {
    std::vector<Kova::byte_t> v(in_size);
    for (size_t i = 0; i < in_size; ++i) v[i] = static_cast<Kova::byte_t>(i * 7 + in_seed);
    return v;
}

class relay_connection : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = kova_test::unique_name("relay_conn");
        ASSERT_TRUE(m_memory.create(m_name, 4u << 20));
        Kova::Common::Global::gp_center_pipe = &m_sink;
        ASSERT_EQ(initialize(), 0);
    }
    void TearDown() override {
        drain();
        finalize();
        drain();  // error returns of what was still queued
        EXPECT_EQ(m_memory.blocks(), 0u) << "every block goes back to the packet memory";
        Kova::Common::Global::gp_center_pipe = nullptr;
        for (int fd : m_peers) ::close(fd);
        m_memory.destroy();
        kova_test::remove_shm_containing(m_name);
    }

    // An established connection over a socket pair; the peer end is returned in out_peer.
    tcp_t* connect_pair(enum_socket_type in_type, int& out_peer) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        tcp_t* p = new_tcp_record(fds[0], in_type, Kova::struct_node_addr(c_local_ip, c_gate),
                                  Kova::struct_node_addr(c_remote_ip, c_peer_port));
        p->gate_port_of_local = c_gate;
        p->recv_clk = now_ms();
        EXPECT_EQ(epoll_arm(epoll_tcp_recv, EPOLL_CTL_ADD, p->socket, c_mask_recv, p), 0);
        EXPECT_EQ(epoll_arm(epoll_tcp_send, EPOLL_CTL_ADD, p->socket, c_mask_send, p), 0);
        if (in_type == c_socket_server) {
            g_establish_server_map[p->remote_addr] = p;
            EXPECT_EQ(request_recv_server_header(p), 0);
        } else {
            g_establish_client_map[p->remote_addr] = p;
            EXPECT_EQ(request_recv_client_header(p), 0);
        }
        out_peer = fds[1];
        m_peers.push_back(fds[1]);
        return p;
    }

    void feed(tcp_t* p, int in_peer, const void* in_bytes, size_t in_len) {
        ASSERT_EQ(::write(in_peer, in_bytes, in_len), static_cast<ssize_t>(in_len));
        on_recv_event(p, EPOLLIN);
    }
    void feed_header(tcp_t* p, int in_peer, const Kova::struct_header& in_h) { feed(p, in_peer, &in_h, sizeof(in_h)); }

    // Everything the peer can read now.
    std::vector<Kova::byte_t> read_peer(int in_peer) {
        std::vector<Kova::byte_t> out;
        Kova::byte_t buf[65536];
        for (;;) {
            const ssize_t n = ::read(in_peer, buf, sizeof(buf));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // A packet of this memory, as the center thread would queue it.
    Kova::struct_token make_token(Kova::msg_type_t in_type, size_t in_size) {
        Kova::struct_token t;
        alloc_header_force(t);
        Kova::packet_t* pkt = get_header(t.header_mm);
        *pkt = Kova::packet_t();
        pkt->initialize_packet(0, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
        pkt->header = make_header(in_type, static_cast<Kova::pksize_t>(in_size));
        pkt->set_source(Kova::c_local_host, c_gate, 0x0002);
        pkt->set_destination(c_remote_ip, c_peer_port, 0x8003);
        if (in_size) {
            EXPECT_TRUE(alloc_data(t, in_size));
            std::vector<Kova::byte_t> data = pattern(in_size);
            std::memcpy(get_data(t.data_mm), data.data(), in_size);
        }
        return t;
    }

    std::vector<Kova::struct_token> handed() {
        std::vector<Kova::struct_token> out;
        Kova::struct_token t;
        while (m_sink.pop(t)) out.push_back(t);
        m_keep.insert(m_keep.end(), out.begin(), out.end());
        return out;
    }
    void drain() {
        handed();
        for (Kova::struct_token& t : m_keep) m_memory.release(t);
        m_keep.clear();
    }

    std::string m_name;
    kova_test::local_packet_memory m_memory;
    kova_test::sink_pipe m_sink;
    std::vector<int> m_peers;
    std::vector<Kova::struct_token> m_keep;
};

TEST_F(relay_connection, a_packet_in_any_split_is_rebuilt_once_and_addressed_to_the_gate) {
    struct split_t {
        size_t size;
        std::vector<size_t> cuts;  // write boundaries over header and payload
    };
    const split_t cases[] = {
        {0, {10}},                 // header in two reads
        {100, {10, 24, 50, 90}},   // header in two reads, payload in three
        {5000, {1, 2, 3, 23, 24, 25, 4000}},
        {60 * 1024, {24}},
    };
    int peer;
    tcp_t* p = connect_pair(c_socket_server, peer);
    unsigned seed = 0;
    for (const split_t& c : cases) {
        ++seed;
        Kova::struct_header h = make_header(Kova::c_mt_call, static_cast<Kova::pksize_t>(c.size));
        std::vector<Kova::byte_t> wire(reinterpret_cast<Kova::byte_t*>(&h), reinterpret_cast<Kova::byte_t*>(&h) + 24);
        std::vector<Kova::byte_t> data = pattern(c.size, seed);
        wire.insert(wire.end(), data.begin(), data.end());
        size_t from = 0;
        for (size_t cut : c.cuts) {
            feed(p, peer, wire.data() + from, cut - from);
            EXPECT_TRUE(handed().empty()) << "nothing is handed over before the last byte";
            from = cut;
        }
        feed(p, peer, wire.data() + from, wire.size() - from);
        std::vector<Kova::struct_token> got = handed();
        ASSERT_EQ(got.size(), 1u) << "size " << c.size;
        Kova::packet_t* pkt = m_memory.packet(got[0]);
        EXPECT_EQ(pkt->header.size, c.size);
        // The header says 7200; the peer speaks for the node of its connection only.
        EXPECT_EQ(pkt->header.sport, c_peer_port);
        EXPECT_EQ(pkt->header.sid, 0x8001);
        EXPECT_EQ(pkt->dst_ip, Kova::c_local_host);
        EXPECT_EQ(pkt->dst_port, c_gate);
        EXPECT_EQ(pkt->src_ip, c_remote_ip);
        EXPECT_EQ(pkt->mct_if, c_local_ip);
        if (c.size) {
            ASSERT_NE(m_memory.payload(got[0]), nullptr);
            EXPECT_EQ(std::memcmp(m_memory.payload(got[0]), data.data(), c.size), 0);
        }
    }
}

TEST_F(relay_connection, hostile_sizes_versions_and_local_controls_leave_the_stream_usable) {
    int peer;
    tcp_t* p = connect_pair(c_socket_server, peer);
    const unsigned long before = m_memory.blocks();

    // A size no packet can have is refused without an allocation; its payload is skipped and
    // the header goes on without data.
    const size_t huge = c_max_tcp_payload + 1;
    feed_header(p, peer, make_header(Kova::c_mt_call, static_cast<Kova::pksize_t>(huge)));
    EXPECT_EQ(m_memory.blocks(), before);
    std::vector<Kova::byte_t> junk(huge, 0xEE);
    size_t sent = 0;
    while (sent < huge) {
        const ssize_t n = ::write(peer, junk.data() + sent, huge - sent);
        if (n > 0) sent += static_cast<size_t>(n);
        on_recv_event(p, EPOLLIN);
    }
    std::vector<Kova::struct_token> got = handed();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].has_data());
    EXPECT_EQ(m_memory.packet(got[0])->p_data, nullptr);

    // Controls that only this host makes are dropped, with their payload; the next packet is
    // read in step.
    for (Kova::msg_code_t code : {Kova::c_mccr_process_destroy, Kova::c_mccr_tcp_connected_from_client,
                                  Kova::c_mccr_tcp_disconnected_from_server}) {
        feed_header(p, peer, make_header(Kova::c_mt_ctrl, 0, code));
    }
    Kova::struct_header ctrl = make_header(Kova::c_mt_ctrl, 4, Kova::c_mccr_tcp_disconnected_from_client);
    feed_header(p, peer, ctrl);
    feed(p, peer, "abcd", 4);
    // A heartbeat is neither handed over nor answered, and refreshes the receive clock.
    p->recv_clk = 0;
    feed_header(p, peer, make_header(Kova::c_mt_null, 0, 0));
    EXPECT_NE(p->recv_clk, 0u);
    EXPECT_TRUE(handed().empty());
    feed_header(p, peer, make_header(Kova::c_mt_signal, 0));
    got = handed();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(m_memory.packet(got[0])->header.type, Kova::c_mt_signal);

    // A header of another version ends the connection: withdrawn and reported once.
    Kova::struct_header bad = make_header(Kova::c_mt_signal, 0);
    bad.set_ver(1);
    feed_header(p, peer, bad);
    got = handed();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(m_memory.packet(got[0])->header.code, Kova::c_mccr_tcp_disconnected_from_client);
    EXPECT_EQ(m_memory.packet(got[0])->header.error, Kova::c_kova_err_disconnected_tcp);
    EXPECT_TRUE(g_establish_server_map.empty());
    on_send_event(p, EPOLLOUT);  // the send thread releases the ended record
    EXPECT_TRUE(g_tcp_records.empty());
}

TEST_F(relay_connection, a_short_memory_reads_the_payload_into_a_process_buffer) {
    int peer;
    tcp_t* p = connect_pair(c_socket_server, peer);
    // Take the memory down to below the data reserve.
    std::vector<Pimo::Memory::mm_t> filler;
    for (;;) {
        Pimo::Memory::mm_t mm = 0;
        if (m_memory.memory().eproc_alloc(mm, 4096, __FILE__, __LINE__) != 0 || mm == 0) break;
        filler.push_back(mm);
    }
    for (int i = 0; i < 8 && !filler.empty(); ++i) {  // room for header blocks only
        m_memory.memory().proc_free(filler.back(), __FILE__, __LINE__);
        filler.pop_back();
    }
    Kova::struct_header h = make_header(Kova::c_mt_call, 1000);
    std::vector<Kova::byte_t> data = pattern(1000);
    feed_header(p, peer, h);
    feed(p, peer, data.data(), data.size());
    feed_header(p, peer, make_header(Kova::c_mt_signal, 0));
    std::vector<Kova::struct_token> got = handed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].has_data());
    ASSERT_NE(m_memory.packet(got[0])->p_data, nullptr);
    EXPECT_EQ(std::memcmp(m_memory.packet(got[0])->p_data, data.data(), 1000), 0);
    EXPECT_EQ(m_memory.packet(got[1])->header.type, Kova::c_mt_signal);
    EXPECT_EQ(Kova::Center::Global::class_payload_buffers::get_count(), 1u);
    // The center pipe takes nothing more: the packet ends here, and its buffer with it.
    m_sink.proc_shutdown();
    feed_header(p, peer, h);
    feed(p, peer, data.data(), data.size());
    EXPECT_EQ(Kova::Center::Global::class_payload_buffers::get_count(), 1u);
    drain();
    EXPECT_EQ(Kova::Center::Global::class_payload_buffers::get_count(), 0u);
    for (Pimo::Memory::mm_t mm : filler) m_memory.memory().proc_free(mm, __FILE__, __LINE__);
}

TEST_F(relay_connection, returns_are_acknowledged_by_the_connecting_side_and_awaited_by_the_accepting_side) {
    // Connecting side: a call return's acknowledgement leaves once the return is handed over,
    // written by the receiving thread itself on the idle connection.
    int cpeer;
    tcp_t* c = connect_pair(c_socket_client, cpeer);
    feed_header(c, cpeer, make_header(Kova::c_mt_call_return, 10));
    EXPECT_TRUE(read_peer(cpeer).empty()) << "nothing before the return is the center's";
    EXPECT_TRUE(handed().empty());
    feed(c, cpeer, "0123456789", 10);
    EXPECT_EQ(handed().size(), 1u);
    std::vector<Kova::byte_t> out = read_peer(cpeer);
    ASSERT_EQ(out.size(), 24u);
    Kova::struct_header ack;
    std::memcpy(&ack, out.data(), 24);
    EXPECT_EQ(ack.type, Kova::c_mt_call_return_ack);
    EXPECT_EQ(ack.size, 0u);
    EXPECT_EQ(ack.sid, 0x0001);  // reversed
    EXPECT_EQ(ack.did, 0x8001);
    EXPECT_TRUE(c->send_queue.empty());
    EXPECT_FALSE(c->send_state);
    // A signal return has no payload: handed over and acknowledged as its header completes.
    feed_header(c, cpeer, make_header(Kova::c_mt_signal_return, 0));
    EXPECT_EQ(handed().size(), 1u);
    out = read_peer(cpeer);
    ASSERT_EQ(out.size(), 24u);
    std::memcpy(&ack, out.data(), 24);
    EXPECT_EQ(ack.type, Kova::c_mt_signal_return_ack);

    // Accepting side: three returns sent, three acknowledgements clear the wait queue, a fourth
    // is dropped.
    int speer;
    tcp_t* s = connect_pair(c_socket_server, speer);
    for (Kova::msg_type_t type : {Kova::c_mt_signal_return, Kova::c_mt_call_return, Kova::c_mt_signal_return}) {
        Kova::struct_token t = make_token(type, type == Kova::c_mt_call_return ? 64 : 0);
        ASSERT_EQ(send_tcp_server(s->remote_addr, t, get_header(t.header_mm)), 0);
    }
    // Written by the queueing thread: the idle connection needed no send event.
    EXPECT_EQ(read_peer(speer).size(), 3u * 24u + 64u);
    EXPECT_EQ(s->ack_wait_q.size(), 3u);
    for (Kova::msg_type_t type : {Kova::c_mt_signal_return_ack, Kova::c_mt_call_return_ack,
                                  Kova::c_mt_signal_return_ack, Kova::c_mt_call_return_ack})
        feed_header(s, speer, make_header(type, 0));
    EXPECT_TRUE(s->ack_wait_q.empty());
    EXPECT_TRUE(handed().empty());

    // Waiting entries are turned into cancels when the silence limit ends the connection.
    Kova::struct_token t = make_token(Kova::c_mt_call_return, 0);
    ASSERT_EQ(send_tcp_server(s->remote_addr, t, get_header(t.header_mm)), 0);
    on_send_event(s, EPOLLOUT);
    s->recv_clk = 0;
    timer_shutdown_server(now_ms() + 10 * g_timeout_ms);
    std::vector<Kova::struct_token> got = handed();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(m_memory.packet(got[0])->header.type, Kova::c_mt_call_cancel);
    EXPECT_EQ(m_memory.packet(got[0])->header.error, Kova::c_kova_err_disconnected_tcp);
}

TEST_F(relay_connection, busy_connections_drop_only_their_udp_type_and_released_queues_come_back_as_errors) {
    int speer, cpeer;
    tcp_t* s = connect_pair(c_socket_server, speer);
    tcp_t* c = connect_pair(c_socket_client, cpeer);
    // An idle connection takes a command at once; a busy one, whose socket takes no more, drops it.
    Kova::struct_token first = make_token(Kova::c_mt_command_udp, 8);
    ASSERT_EQ(send_tcp_client(c->remote_addr, first, get_header(first.header_mm)), 0);
    EXPECT_EQ(read_peer(cpeer).size(), 24u + 8u);
    for (tcp_t* p : {s, c}) {
        // Events have no error return: they only fill the socket until the pump waits for it.
        while (p->send_queue.empty()) {
            Kova::struct_token t = make_token(Kova::c_mt_event, 30000);
            ASSERT_EQ(p == s ? send_tcp_server(p->remote_addr, t, get_header(t.header_mm))
                             : send_tcp_client(p->remote_addr, t, get_header(t.header_mm)),
                      0);
        }
    }
    const size_t s_busy = s->send_queue.size(), c_busy = c->send_queue.size();
    const Kova::msg_type_t queued_types[] = {Kova::c_mt_call, Kova::c_mt_information_udp, Kova::c_mt_signal_return};
    for (Kova::msg_type_t type : queued_types) {
        Kova::struct_token t = make_token(type, 8);
        ASSERT_EQ(send_tcp_server(s->remote_addr, t, get_header(t.header_mm)), 0);
    }
    EXPECT_EQ(s->send_queue.size(), s_busy + 2u) << "information over UDP behind a busy queue is dropped";
    for (Kova::msg_type_t type : {Kova::c_mt_command_udp, Kova::c_mt_signal}) {
        Kova::struct_token t = make_token(type, 8);
        ASSERT_EQ(send_tcp_client(c->remote_addr, t, get_header(t.header_mm)), 0);
    }
    EXPECT_EQ(c->send_queue.size(), c_busy + 1u) << "the command is dropped when busy";
    EXPECT_EQ(get_header(c->send_queue.back().header_mm)->header.sport, c_gate) << "source domain is the gate";

    // The peers go away before the rest was sent: every queued packet that has an error return
    // gets exactly one.
    ::shutdown(speer, SHUT_RDWR);
    ::shutdown(cpeer, SHUT_RDWR);
    on_recv_event(s, EPOLLIN);
    on_recv_event(c, EPOLLIN);
    on_send_event(s, EPOLLOUT);
    on_send_event(c, EPOLLOUT);
    // Both records are gone; a fresh one waits to reconnect to the remote center.
    ASSERT_EQ(g_tcp_records.size(), 1u);
    ASSERT_EQ(g_connect_fail_map.size(), 1u);
    EXPECT_EQ(g_connect_fail_map.begin()->second, *g_tcp_records.begin());
    EXPECT_EQ(g_connect_fail_map.begin()->second->type, c_socket_init_client);
    std::vector<Kova::msg_type_t> types;
    for (Kova::struct_token& t : handed()) {
        Kova::packet_t* pkt = m_memory.packet(t);
        if (pkt->header.type == Kova::c_mt_ctrl) continue;
        types.push_back(pkt->header.type);
        EXPECT_EQ(pkt->header.error, Kova::c_kova_err_not_connected_tcp);
    }
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<Kova::msg_type_t>{Kova::c_mt_signal_error_return, Kova::c_mt_signal_cancel,
                                                    Kova::c_mt_call_error_return}));
}

TEST_F(relay_connection, a_peer_that_stops_reading_never_blocks_the_sender_and_is_ended_by_the_stall_limit) {
    int peer;
    tcp_t* p = connect_pair(c_socket_server, peer);
    // Far more than the socket buffers hold: queueing and pumping return at once.
    for (int i = 0; i < 64; ++i) {
        Kova::struct_token t = make_token(Kova::c_mt_event, 30000);
        ASSERT_EQ(send_tcp_server(p->remote_addr, t, get_header(t.header_mm)), 0);
        on_send_event(p, EPOLLOUT);
    }
    EXPECT_FALSE(p->send_queue.empty());
    EXPECT_TRUE(p->send_state);
    // No send progress for longer than the limit ends the connection like silence does.
    timer_shutdown_server(p->send_progress_clk + g_timeout_ms + 1);
    on_send_event(p, EPOLLOUT | EPOLLHUP);
    on_recv_event(p, EPOLLIN | EPOLLHUP);
    on_send_event(p, EPOLLOUT | EPOLLHUP);
    EXPECT_TRUE(g_tcp_records.empty());
    EXPECT_TRUE(g_establish_server_map.empty());
}

TEST_F(relay_connection, header_and_payload_leave_in_one_write_and_a_reset_peer_does_not_raise_sigpipe) {
    int peer;
    tcp_t* p = connect_pair(c_socket_client, peer);
    Kova::struct_token t = make_token(Kova::c_mt_call, 1024);
    ASSERT_EQ(send_tcp_client(p->remote_addr, t, get_header(t.header_mm)), 0);
    on_send_event(p, EPOLLOUT);
    std::vector<Kova::byte_t> out = read_peer(peer);
    ASSERT_EQ(out.size(), 24u + 1024u);
    std::vector<Kova::byte_t> data = pattern(1024);
    EXPECT_EQ(std::memcmp(out.data() + 24, data.data(), 1024), 0);

    ::close(peer);
    m_peers.clear();
    Kova::struct_token u = make_token(Kova::c_mt_call, 100);
    ASSERT_EQ(send_tcp_client(p->remote_addr, u, get_header(u.header_mm)), 0);
    on_send_event(p, EPOLLOUT);  // EPIPE: without MSG_NOSIGNAL this process would die here
    SUCCEED();
}

TEST_F(relay_connection, a_connection_whose_last_user_left_refuses_new_packets) {
    int peer;
    tcp_t* p = connect_pair(c_socket_client, peer);
    g_remote_server_map[p->remote_addr] = 2;  // two local users
    ASSERT_EQ(del_client(c_remote_ip, c_peer_port), 0);
    EXPECT_FALSE(p->b_remove_client);
    ASSERT_EQ(del_client(c_remote_ip, c_peer_port), 0);
    ASSERT_EQ(del_client(c_remote_ip, c_peer_port), 0);  // no users: nothing happens
    EXPECT_TRUE(p->b_remove_client);
    Kova::struct_token t = make_token(Kova::c_mt_call, 0);
    EXPECT_EQ(send_tcp_client(p->remote_addr, t, get_header(t.header_mm)), -1) << "the caller keeps the token";
    free_token(t);
    EXPECT_EQ(get_gate_port_of_local(p->remote_addr), c_gate);
}

}  // namespace

namespace {

TEST_F(relay_connection, the_timer_sends_heartbeats_up_to_the_silence_limit_and_ends_silent_peers_only_when_asked) {
    int peer;
    tcp_t* p = connect_pair(c_socket_server, peer);
    const Pimo::OS::vimra_clock_t heard = 1000000;
    p->recv_clk = heard;
    timer_shutdown_server(heard + g_timeout_ms);  // exactly at the limit: still a heartbeat
    on_send_event(p, EPOLLOUT);
    std::vector<Kova::byte_t> out = read_peer(peer);
    ASSERT_EQ(out.size(), 24u);
    Kova::struct_header hb;
    std::memcpy(&hb, out.data(), 24);
    EXPECT_EQ(hb.type, Kova::c_mt_null);
    EXPECT_EQ(hb.size, 0u);
    EXPECT_EQ(hb.get_ver(), Kova::c_version);

    g_auto_disconnect = false;
    timer_shutdown_server(heard + g_timeout_ms + 1);  // silent: no heartbeat, and kept open
    on_send_event(p, EPOLLOUT);
    EXPECT_TRUE(read_peer(peer).empty());
    feed_header(p, peer, make_header(Kova::c_mt_signal, 0));
    EXPECT_EQ(handed().size(), 1u) << "the connection still carries packets";

    g_auto_disconnect = true;
    p->recv_clk = heard;
    timer_shutdown_server(heard + g_timeout_ms + 1);
    on_recv_event(p, EPOLLIN | EPOLLHUP);
    std::vector<Kova::struct_token> got = handed();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(m_memory.packet(got[0])->header.code, Kova::c_mccr_tcp_disconnected_from_client);
}

}  // namespace

namespace {

TEST_F(relay_connection, an_outgoing_connection_is_reported_once_its_init_record_arrives_unless_its_users_left) {
    for (bool removed : {false, true}) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        m_peers.push_back(fds[1]);
        tcp_t* p = new_tcp_record(fds[0], c_socket_init_client, Kova::struct_node_addr(c_local_ip, 51000),
                                  Kova::struct_node_addr(c_remote_ip, 7100));
        g_connect_map[p->remote_addr] = p;
        p->b_remove_client = removed;
        ASSERT_EQ(request_recv_client_init(p), 0);
        Kova::struct_tcp_header init;
        init.set_port_of_sender(7100);
        init.set_port_of_receiver(51234);
        feed(p, fds[1], &init, 600);  // in two pieces
        EXPECT_TRUE(handed().empty());
        feed(p, fds[1], reinterpret_cast<Kova::byte_t*>(&init) + 600, sizeof(init) - 600);
        std::vector<Kova::struct_token> got = handed();
        EXPECT_TRUE(g_connect_map.empty());
        if (removed) {
            EXPECT_TRUE(got.empty()) << "never reported";
            EXPECT_EQ(g_tcp_records.count(p), 0u) << "released";
            EXPECT_TRUE(g_establish_client_map.empty());
        } else {
            ASSERT_EQ(got.size(), 1u);
            Kova::packet_t* pkt = m_memory.packet(got[0]);
            EXPECT_EQ(pkt->header.code, Kova::c_mccr_tcp_connected_to_server);
            EXPECT_EQ(pkt->dst_port, 51234) << "the gate port is the peer's port_of_receiver";
            EXPECT_EQ(pkt->header.sport, 7100);
            EXPECT_EQ(pkt->src_ip, c_remote_ip);
            ASSERT_EQ(g_establish_client_map.count(p->remote_addr), 1u);
            g_establish_client_map.clear();  // released by finalize
        }
    }
}

TEST_F(relay_connection, the_datagram_send_step_goes_on_when_its_queue_is_empty) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
    m_peers.push_back(fds[1]);
    struct_epoll_overlapped_ex* u = new struct_epoll_overlapped_ex(fds[0], c_socket_udp, Kova::struct_node_addr(0, 7100));
    g_udp_map[7100] = u;
    EXPECT_NO_THROW(EPoll::send_udp(u));
}

TEST_F(relay_connection, a_datagram_is_the_header_blocks_header_and_the_payload_and_leaves_the_data_block_untouched) {
    // A receiver on the loop-back address; the record's port is where datagrams go.
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    m_peers.push_back(receiver);
    sockaddr_in at = make_addr(Kova::c_local_host, 0);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    socklen_t at_len = sizeof(at);
    ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &at_len), 0);
    const Kova::domain_t port = ntohs(at.sin_port);
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(sender, 0);
    struct_epoll_overlapped_ex* u = new struct_epoll_overlapped_ex(sender, c_socket_udp, Kova::struct_node_addr(0, port));
    g_udp_map[port] = u;  // closed and released by finalize

    struct row {
        const char* name;
        size_t payload;       // bytes in the data block
        Kova::pksize_t said;  // the header's size field
    };
    const row rows[] = {
        {"header only", 0, 0},
        {"a header that promises a payload it has not", 0, 50},
        {"a command", 100, 100},
        {"the largest datagram payload", 60000, 60000},
        {"a header that promises more than its block", 100, 5000},
    };
    const unsigned long before = m_memory.blocks();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        Kova::struct_token t = make_token(Kova::c_mt_command_udp, r.payload);
        Kova::packet_t* pkt = get_header(t.header_mm);
        pkt->set_destination(Kova::c_local_host, port, 0x0003);
        pkt->header.size = r.said;
        // The sender's record area in front of the payload, as it may be being rewritten.
        std::vector<Kova::byte_t> record(sizeof(Kova::packet_t), 0x5A);
        const size_t capacity = t.data_mm ? Kova::Common::Interface::get_data_size(t.data_mm) : 0;
        if (t.data_mm) {
            std::memcpy(get_data_packet(t), record.data(), record.size());
            add_ref(t.data_mm);  // kept to look at after the send let the token go
        }
        const Kova::struct_header expected = pkt->header;
        const Pimo::Memory::mm_t data = t.data_mm;
        {
            Pimo::OS::class_locker lock(u->send_queue_lock);
            u->send_queue.push_back(t);
        }
        ASSERT_EQ(EPoll::send_udp(u), 0);

        std::vector<Kova::byte_t> got(70000);
        const ssize_t n = ::recv(receiver, got.data(), got.size(), 0);
        const size_t size = std::min<size_t>(r.said, capacity);
        ASSERT_EQ(n, static_cast<ssize_t>(sizeof(Kova::struct_header) + size));
        Kova::struct_header h;
        std::memcpy(&h, got.data(), sizeof(h));
        EXPECT_EQ(h.type, expected.type);
        EXPECT_EQ(h.code, expected.code);
        EXPECT_EQ(h.sid, expected.sid);
        EXPECT_EQ(h.did, expected.did);
        EXPECT_EQ(h.num, expected.num);
        EXPECT_EQ(h.sport, expected.sport);
        EXPECT_EQ(h.size, size) << "the size that was sent";
        if (data) {
            const Kova::byte_t* payload = static_cast<const Kova::byte_t*>(get_data(data));
            EXPECT_EQ(std::memcmp(got.data() + sizeof(h), payload, size), 0);
            EXPECT_EQ(std::memcmp(get_header(data), record.data(), record.size()), 0)
                << "nothing is written into the shared data block";
            Pimo::Memory::mm_t kept = data;
            free_mm(kept);
        }
        EXPECT_EQ(m_memory.blocks(), before);
    }
}

}  // namespace
