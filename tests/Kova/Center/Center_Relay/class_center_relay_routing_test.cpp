// The relay's routing table: where each packet goes by destination, object and type,
// what its sender gets back when it cannot be delivered, and that no block leaks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <sstream>

#include "../relay_fixture.h"
#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/Memory/class_handle_ledger.h"

// The replacement new below pairs with free: malloc is its source.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts the process-heap allocations of this binary while a test asks for it.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_heap_allocations{0};
}  // namespace

void* operator new(std::size_t in_size) {
    if (g_counting.load(std::memory_order_relaxed)) ++g_heap_allocations;
    if (void* p = std::malloc(in_size ? in_size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* pin_ptr) noexcept { std::free(pin_ptr); }
void operator delete(void* pin_ptr, std::size_t) noexcept { std::free(pin_ptr); }

namespace kova_center_test {
namespace {

constexpr int c_pid_a = 100;  // owns proxy 0x8001
constexpr int c_pid_b = 200;  // owns stub 5
constexpr object_id_t c_proxy = 0x8001;
constexpr object_id_t c_stub = 5;

class routing_test : public relay_fixture {
public:
    void SetUp() override {
        relay_fixture::SetUp();
        registry.add(c_pid_a);
        registry.add(c_pid_b);
        registry.objects[c_proxy] = c_pid_a;
        registry.objects[c_stub] = c_pid_b;
    }
    fake_pipe& listen(int in_pid) { return registry.processes[in_pid]->listen; }
    fake_pipe& ret(int in_pid) { return registry.processes[in_pid]->ret; }

    // Filler packets of type 0 that make a pipe hold in_count entries; not described.
    void fill(fake_pipe& in_pipe, int in_count) {
        for (int i = 0; i < in_count; ++i) in_pipe.queue.push_back(make_packet(c_local_host, 1, c_local_host, 2, c_mt_null));
    }
    // "sink:type/error" for everything the sinks hold, in a fixed order.
    std::string describe() {
        std::ostringstream out;
        auto list = [&](const std::string& in_sink, const std::deque<struct_token>& in_q) {
            for (const auto& t : in_q) {
                const struct_packet* p = get_header(t);
                if (p->header.type == c_mt_null) continue;
                out << in_sink << ":" << int(p->header.type) << "/" << p->header.error << " ";
            }
        };
        for (int pid : {c_pid_a, c_pid_b}) {
            list("listen" + std::to_string(pid), listen(pid).queue);
            list("return" + std::to_string(pid), ret(pid).queue);
        }
        auto list_net = [&](const std::string& in_sink, const std::vector<struct_token>& in_v) {
            list(in_sink, std::deque<struct_token>(in_v.begin(), in_v.end()));
        };
        list_net("udp", network.udp);
        list_net("tcp_client", network.tcp_client);
        list_net("tcp_server", network.tcp_server);
        if (network.tcp_broadcasts) out << "tcp_broadcast:" << network.tcp_broadcasts << " ";
        std::string s = out.str();
        if (!s.empty()) s.pop_back();
        return s;
    }
};

struct routing_case {
    const char* name;
    ip_t src_ip;
    object_id_t sid;
    ip_t dst_ip;
    object_id_t did;
    msg_type_t type;
    size_t payload;
    double limit;
    std::function<void(routing_test&)> setup;
    const char* expected;
};

TEST_F(routing_test, table_of_destinations_types_and_pipe_states) {
    const auto none = [](routing_test&) {};
    const std::vector<routing_case> cases = {
        {"call to a registered local stub", c_local_host, c_proxy, c_local_host, c_stub, c_mt_call, 32, 10, none,
         "listen200:48/0"},
        {"call to an unregistered object", c_local_host, c_proxy, c_local_host, 9, c_mt_call, 32, 10, none,
         "return100:50/2"},
        {"call into a shut-down listen pipe", c_local_host, c_proxy, c_local_host, c_stub, c_mt_call, 0, 10,
         [](routing_test& t) { t.listen(c_pid_b).state = fake_pipe::mode::shutdown; }, "return100:50/2"},
        {"call into a listen pipe holding 16", c_local_host, c_proxy, c_local_host, c_stub, c_mt_call, 32, 10,
         [](routing_test& t) { t.fill(t.listen(c_pid_b), 16); }, "return100:50/5"},
        {"signal into a listen pipe holding 15", c_local_host, c_proxy, c_local_host, c_stub, c_mt_signal, 0, 10,
         [](routing_test& t) { t.fill(t.listen(c_pid_b), 15); }, "listen200:32/0"},
        {"event kept for a listen pipe that stays full: dropped when its time is spent", c_local_host, c_stub, c_local_host,
         c_proxy, c_mt_event, 16, 0.05, [](routing_test& t) { t.listen(c_pid_a).state = fake_pipe::mode::always_full; },
         ""},
        {"event waits for room below the request limit", c_local_host, c_stub, c_local_host, c_proxy, c_mt_event, 16, 10,
         [](routing_test& t) { t.fill(t.listen(c_pid_a), 15); }, "listen100:69/0"},
        {"command by UDP into a listen pipe holding 16: dropped", c_local_host, c_proxy, c_local_host, c_stub,
         c_mt_command_udp, 8, 10, [](routing_test& t) { t.fill(t.listen(c_pid_b), 16); }, ""},
        {"call return kept for a return pipe that stays full: cancelled when its time is spent", c_local_host, c_stub,
         c_local_host, c_proxy,
         c_mt_call_return, 64, 0.05, [](routing_test& t) { t.ret(c_pid_a).state = fake_pipe::mode::always_full; },
         "listen200:51/9"},
        {"call return for a proxy nobody registered", c_local_host, c_stub, c_local_host, 0x8009, c_mt_call_return, 64,
         10, none, "listen200:51/2"},
        {"call return to a registered proxy", c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 64, 10, none,
         "return100:49/0"},
        {"event confirm goes to the return pipe", c_local_host, c_stub, c_local_host, c_proxy, c_mt_event_confirm, 0, 10,
         none, "return100:65/0"},
        {"local broadcast to every proxy", c_local_host, c_stub, c_local_host, 0xFFFF, c_mt_broadcast, 16, 10, none,
         "listen100:16/0 listen200:16/0"},
        {"broadcast to every node and proxy", c_local_host, c_stub, c_broadcast_ip, 0xFFFF, c_mt_broadcast, 16, 10, none,
         "listen100:16/0 listen200:16/0 udp:16/0"},
        {"object packet to every node", c_local_host, c_proxy, c_broadcast_ip, c_stub, c_mt_signal, 0, 10, none,
         "listen200:32/0 tcp_broadcast:1"},
        {"broadcast-type packet to every node and one object", c_local_host, c_stub, c_broadcast_ip, c_proxy,
         c_mt_broadcast, 0, 10, none, "udp:16/0"},
        {"remote call, connection established", c_local_host, c_proxy, c_remote, 9, c_mt_call, 32, 10, none,
         "tcp_client:48/0"},
        {"remote call, no connection", c_local_host, c_proxy, c_remote, 9, c_mt_call, 32, 10,
         [](routing_test& t) { t.network.tcp_connected = false; }, "return100:50/1073741825"},
        {"remote call return to a proxy", c_local_host, c_stub, c_remote, 0x8009, c_mt_call_return, 0, 10, none,
         "tcp_server:49/0"},
        {"remote call return whose time is spent", c_local_host, c_stub, c_remote, 0x8009, c_mt_call_return, 8, 0.0,
         none, "listen200:51/1073741824"},
        {"remote command by UDP of 60000 bytes", c_local_host, c_proxy, c_remote, 9, c_mt_command_udp, 60000, 10, none,
         "udp:87/0"},
        {"remote command by UDP of 60001 bytes goes by TCP", c_local_host, c_proxy, c_remote, 9, c_mt_command_udp, 60001,
         10, none, "tcp_client:87/0"},
        {"information by UDP from the loop-back interface never leaves the host", c_local_host, c_stub, c_remote, 0xFFFF,
         c_mt_information_udp, 8, 10, none, ""},
        {"UDP hand-off refused: dropped", c_local_host, c_stub, c_remote, 0xFFFF, c_mt_broadcast, 8, 10,
         [](routing_test& t) { t.network.udp_takes = false; }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.setup(*this);
        route(make_packet(c.src_ip, c.sid, c.dst_ip, c.did, c.type, c.payload, c.limit));
        if (relay.has_backlog()) {  // kept for a full pipe: retried until its time is spent
            EXPECT_TRUE(kova_test::wait_until(
                [&] {
                    relay.proc_retry_backlogs();
                    return !relay.has_backlog();
                },
                c.limit + 10.0))
                << c.name;
        }
        EXPECT_EQ(c.expected, describe()) << c.name;
        check_references(c.name);
        release_sinks();
        for (int pid : {c_pid_a, c_pid_b}) {
            listen(pid).state = ret(pid).state = fake_pipe::mode::normal;
        }
        network = fake_network();
    }
}

TEST_F(routing_test, error_return_swaps_addresses_and_drops_the_payload) {
    route(make_packet(c_local_host, c_proxy, c_local_host, 9, c_mt_call, 100));
    ASSERT_EQ(1u, ret(c_pid_a).queue.size());
    const struct_token& back = ret(c_pid_a).queue.front();
    EXPECT_EQ(0u, back.data_mm);
    const struct_packet* p = get_header(back);
    EXPECT_EQ(c_mt_call_error_return, p->header.type);
    EXPECT_EQ(9, p->header.sid);
    EXPECT_EQ(c_proxy, p->header.did);
    EXPECT_EQ(0u, p->header.size);
    check_references("error return");
}

// A payload the network receive kept in a buffer of the center: the packet is answered busy
// and the buffer freed, whether the peer is another host or this one's loopback; a pointer
// a local process left in its record is never followed.
TEST_F(routing_test, payload_without_room_is_answered_busy_and_only_the_receives_own_buffer_freed) {
    using Kova::Center::Global::class_payload_buffers;
    for (ip_t source : {c_remote, c_local_host}) {
        struct_token received = make_packet(source, 0x8009, c_local_host, c_stub, c_mt_call);
        get_header(received)->header.size = 100;
        get_header(received)->p_data = class_payload_buffers::new_buffer(100);
        route(received);
    }
    EXPECT_EQ(0u, class_payload_buffers::get_count());
    struct_token local = make_packet(c_local_host, c_proxy, c_local_host, c_stub, c_mt_call);
    get_header(local)->header.size = 100;
    get_header(local)->p_data = reinterpret_cast<byte_t*>(0x1);
    route(local);
    EXPECT_EQ("return100:50/5 tcp_server:50/5", describe()) << "the loopback one names nobody here";
    check_references("busy node");
}

TEST_F(routing_test, information_by_udp_leaves_by_udp_unless_too_big) {
    for (size_t size : {size_t(60000), size_t(60001)}) {
        struct_token t = make_packet(c_local_host, c_stub, ip(230, 5, 1, 2), 0xFFFF, c_mt_information_udp, size);
        get_header(t)->mct_if = ip(10, 0, 0, 1);
        route(t);
    }
    EXPECT_EQ("udp:118/0 tcp_server:118/0", describe());
    check_references("information by UDP");
}

// With the center's ledger recording every reference it takes and gives up, and with the
// backlog of a full pipe.
TEST_F(routing_test, unicast_routing_does_not_allocate_on_the_process_heap) {
    Pimo::Memory::class_handle_ledger ledger;
    ASSERT_EQ(Pimo::OS::c_vimra_success, ledger.eproc_create(m_memory.get_pool()));
    std::vector<struct_token> packets;
    for (msg_type_t type : {c_mt_call, c_mt_event, c_mt_call_return})
        packets.push_back(make_packet(c_local_host, type == c_mt_call ? c_proxy : c_stub, c_local_host,
                                      type == c_mt_call ? c_stub : c_proxy, type, 64));
    packets.push_back(make_packet(c_local_host, c_proxy, c_remote, 9, c_mt_call, 64));
    // The stand-in sinks must not count: give them room first.
    network.tcp_client.reserve(4);
    network.tcp_client_node.reserve(4);
    network.calls.reserve(4);
    for (int pid : {c_pid_a, c_pid_b}) {
        listen(pid).push_order.reserve(4);
        ret(pid).push_order.reserve(4);
    }
    g_heap_allocations = 0;
    g_counting = true;
    for (auto& t : packets) route(t);
    g_counting = false;
    EXPECT_EQ(0, g_heap_allocations.load());
    EXPECT_EQ("listen100:69/0 return100:49/0 listen200:48/0 tcp_client:48/0", describe());

    // Keeping a packet for a full pipe takes nothing either, once the pipe has its backlog.
    ret(c_pid_a).state = fake_pipe::mode::always_full;
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 64));
    struct_token kept = make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 64);
    g_heap_allocations = 0;
    g_counting = true;
    route(kept);
    relay.proc_retry_backlogs();
    g_counting = false;
    EXPECT_EQ(0, g_heap_allocations.load());
    relay.proc_release_backlog(&ret(c_pid_a));
    EXPECT_NE(0u, ledger.get_count()) << "it did record";
    release_sinks();
    EXPECT_EQ(0u, ledger.get_count());
}

TEST_F(routing_test, command_datagram_carries_the_gate_port_of_the_connection) {
    network.gate_port = 4321;
    route(make_packet(c_local_host, c_proxy, c_remote, 9, c_mt_command_udp, 8));
    ASSERT_EQ(1u, network.udp.size());
    EXPECT_EQ(4321, get_header(network.udp.front())->header.sport);
}

// A process whose pipe stays full holds nobody up: what comes for it waits in the pipe's
// backlog, in order, and goes in before anything later once the pipe takes again.
TEST_F(routing_test, packets_for_a_full_pipe_wait_in_order_and_hold_nobody_up) {
    listen(c_pid_a).state = fake_pipe::mode::always_full;
    // Without limit, as events and control packets are: a retry loop would never end.
    for (msg_code_t code : {1, 2})
        route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_event, 8, DBL_MAX, code));
    route(make_packet(c_local_host, c_proxy, c_local_host, c_stub, c_mt_call, 8));
    EXPECT_EQ("listen200:48/0", describe()) << "the other process is served at once";
    EXPECT_TRUE(relay.has_backlog());
    // A request is never kept: a full pipe refuses it at once.
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call, 8));
    EXPECT_EQ("listen200:48/0 return200:50/5", describe());
    listen(c_pid_a).state = fake_pipe::mode::normal;
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_event, 8, DBL_MAX, 3));
    EXPECT_FALSE(relay.has_backlog());
    std::vector<msg_code_t> codes;
    for (const struct_token& t : listen(c_pid_a).queue) codes.push_back(get_header(t)->header.code);
    EXPECT_EQ((std::vector<msg_code_t>{1, 2, 3}), codes);
    check_references("delivered in order");
}

// The backlog has a fixed room: past it a packet that may not be dropped comes back at once
// with busy node; a kept packet whose time is spent comes back with the remote time-out; the
// process's end gives back what still waits, as a push into its gone pipe would.
TEST_F(routing_test, kept_packets_come_back_when_the_room_or_their_time_runs_out_or_the_process_ends) {
    using Kova::Center::Center_Relay::class_pipe_backlog;
    ret(c_pid_a).state = fake_pipe::mode::always_full;
    listen(c_pid_b).capacity = class_pipe_backlog::c_capacity + 100;  // where the cancels go
    for (size_t i = 0; i < class_pipe_backlog::c_capacity; ++i)
        route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 8, DBL_MAX));
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 8, DBL_MAX));
    EXPECT_EQ("listen200:51/5", describe()) << "no room left";
    release_sinks();
    relay.proc_release_backlog(&ret(c_pid_a));
    EXPECT_EQ(class_pipe_backlog::c_capacity, listen(c_pid_b).queue.size());
    for (const struct_token& t : listen(c_pid_b).queue)
        EXPECT_EQ(c_kova_err_object_is_not_exist, get_header(t)->header.error);
    EXPECT_FALSE(relay.has_backlog());
    release_sinks();

    for (int i = 0; i < 64; ++i) route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 8, 0.05));
    // Retried until their time is spent.
    kova_test::wait_until(
        [&] {
            relay.proc_retry_backlogs();
            return listen(c_pid_b).queue.size() >= 64u;
        },
        10.0);
    EXPECT_EQ(64u, listen(c_pid_b).queue.size());
    for (const struct_token& t : listen(c_pid_b).queue) EXPECT_EQ(c_kova_err_remote_timeout, get_header(t)->header.error);
    EXPECT_FALSE(relay.has_backlog());
    release_sinks();
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_call_return, 8, DBL_MAX));
    EXPECT_TRUE(relay.has_backlog()) << "one without limit waits on";
    relay.proc_release_backlog(&ret(c_pid_a));
    EXPECT_EQ("listen200:51/2", describe());
    EXPECT_FALSE(relay.has_backlog());
    check_references("given back");
}

// Control packets are never turned away for want of room while their process lives: nobody
// sends one again, so a lost announcement would leave a proxy not live for good. Past the
// backlog's ring they wait behind it, in order; anything else still finds it full.
TEST_F(routing_test, control_packets_for_a_full_pipe_wait_past_the_backlogs_room_in_order) {
    using Kova::Center::Center_Relay::class_pipe_backlog;
    listen(c_pid_a).state = fake_pipe::mode::always_full;
    // Disconnects, which may not be dropped either, fill the ring.
    constexpr int c_kept = class_pipe_backlog::c_capacity, c_controls = 300;
    for (int i = 0; i < c_kept; ++i)
        route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_event_disconnect, 0, DBL_MAX,
                          static_cast<msg_code_t>(i)));
    // Announcements of a remote stub for the proxy, as a peer center sends them.
    for (int i = 0; i < c_controls; ++i)
        route(make_packet(c_remote, 9, c_local_host, c_proxy, c_mt_ctrl, 0, DBL_MAX,
                          static_cast<msg_code_t>(c_mccr_object_create)));
    EXPECT_EQ("", describe()) << "every control packet is kept";
    route(make_packet(c_local_host, c_stub, c_local_host, c_proxy, c_mt_event, 8, DBL_MAX, 999));
    EXPECT_EQ("", describe()) << "an event finds the backlog full: dropped, it has no error form";
    EXPECT_EQ(1u, relay.get_dropped_count());

    listen(c_pid_a).state = fake_pipe::mode::normal;
    listen(c_pid_a).capacity = c_kept + c_controls;
    relay.proc_retry_backlogs();
    EXPECT_FALSE(relay.has_backlog());
    ASSERT_EQ(static_cast<size_t>(c_kept + c_controls), listen(c_pid_a).queue.size()) << "and not the event";
    for (int i = 0; i < c_kept + c_controls; ++i) {
        const struct_packet* p = get_header(listen(c_pid_a).queue[i]);
        if (i < c_kept)
            ASSERT_EQ(std::make_pair(int(c_mt_event_disconnect), i),
                      std::make_pair(int(p->header.type), int(p->header.code)));
        else
            ASSERT_EQ(std::make_pair(int(c_mt_ctrl), int(c_mccr_object_create)),
                      std::make_pair(int(p->header.type), int(p->header.code)));
    }
    check_references("delivered in order");
}

}  // namespace
}  // namespace kova_center_test
