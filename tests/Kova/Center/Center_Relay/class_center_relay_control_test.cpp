// Control packets and subscriptions as the relay handles them: registration, stub
// announcements, deaths of processes, TCP connection reports, information fan-out and
// multicast memberships.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "../relay_fixture.h"
#include "Kova/Common/Open/Kova/kova_err.h"

namespace kova_center_test {
namespace {

using Kova::Center::Center_Relay::class_center_relay;

class control_test : public relay_fixture {
public:
    void SetUp() override {
        relay_fixture::SetUp();
        registry.add(100);
        registry.add(200);
    }
    fake_pipe& listen(int in_pid) { return registry.processes.at(in_pid)->listen; }
    fake_pipe& ret(int in_pid) { return registry.processes.at(in_pid)->ret; }

    // A control packet from a local object; with a pid it carries it in a data block.
    struct_token control(object_id_t in_sid, ip_t in_dst_ip, object_id_t in_did, msg_code_t in_code, int in_pid = 0) {
        struct_token t = make_packet(c_local_host, in_sid, in_dst_ip, in_did, c_mt_ctrl, 0, DBL_MAX, in_code);
        if (in_pid != 0) {
            EXPECT_EQ(0u, eproc_alloc_data(t, 8, __FILE__, __LINE__));
            const std::int32_t pid = in_pid;
            std::memcpy(get_data(t), &pid, sizeof(pid));
        }
        return t;
    }
    struct_token process_destroy(int in_pid) {
        struct_token t = control(0, c_broadcast_ip, 0xFFFF, c_mccr_process_destroy, in_pid);
        get_header(t)->header.size = 4;
        return t;
    }
    // "type.code" of every packet in the pipe, in order; the pipe is emptied.
    std::string take(fake_pipe& in_pipe) {
        std::string s;
        for (auto& t : in_pipe.queue) {
            const struct_packet* p = get_header(t);
            s += (s.empty() ? "" : " ") + std::to_string(p->header.type) + "." + std::to_string(p->header.code);
            safe_free_token(t, __FILE__, __LINE__);
        }
        in_pipe.queue.clear();
        return s;
    }
    // The joins and leaves the network relay was asked for, then forgotten.
    std::vector<std::string> memberships() {
        std::vector<std::string> out;
        for (const auto& c : network.calls)
            if (c.compare(0, 5, "join ") == 0 || c.compare(0, 6, "leave ") == 0) out.push_back(c);
        network.calls.clear();
        return out;
    }
    int count_of(int in_pid, object_id_t in_stub_id, ip_t in_stub_ip, msg_code_t in_code) {
        const auto f = relay.information_map.find(
            Kova::Center::Center_Relay::struct_information_key(struct_server_addr(in_stub_ip, in_stub_id), in_code));
        if (f == relay.information_map.end()) return 0;
        const auto p = f->second->find(in_pid);
        return p == f->second->end() ? 0 : p->second;
    }
};

TEST_F(control_test, object_create_registers_the_stub_and_announces_it_everywhere) {
    route(control(5, c_broadcast_ip, 0xFFFF, c_mccr_object_create, 100));
    EXPECT_EQ(100, registry.get_pid(5));
    EXPECT_EQ("1.3", take(listen(100)));
    EXPECT_EQ("1.3", take(listen(200)));
    EXPECT_EQ(1, network.tcp_broadcasts);
    // Without the data block that names its process, a create is released, not read.
    route(control(6, c_broadcast_ip, 0xFFFF, c_mccr_object_create));
    EXPECT_EQ(0, registry.get_pid(6));
    // A registration that fails (the process has no pipes) announces nothing.
    route(control(7, c_broadcast_ip, 0xFFFF, c_mccr_object_create, 999));
    EXPECT_EQ("", take(listen(100)));
    check_references("object create");
}

TEST_F(control_test, request_for_a_local_stub_gets_the_connected_report_then_the_stub) {
    registry.objects[5] = 200;
    route(control(0x8001, c_local_host, 5, c_mccr_object_request, 100));
    EXPECT_EQ(100, registry.get_pid(0x8001));
    ASSERT_EQ(2u, listen(100).queue.size());
    const struct_packet* report = get_header(listen(100).queue[0]);
    EXPECT_EQ(5, report->header.sid);
    EXPECT_EQ(0x8001, report->header.did);
    const struct_packet* announce = get_header(listen(100).queue[1]);
    EXPECT_EQ(5, announce->header.sid);
    EXPECT_EQ(0x8001, announce->header.did);
    EXPECT_EQ("1.32775 1.3", take(listen(100)));
    // An unknown stub: the report alone.
    route(control(0x8002, c_local_host, 9, c_mccr_object_request, 100));
    EXPECT_EQ("1.32775", take(listen(100)));
    check_references("local request");
}

TEST_F(control_test, request_for_a_remote_stub_counts_one_user_per_proxy) {
    route(control(0x8001, c_remote, 9, c_mccr_object_request, 100));  // not yet connected: released
    EXPECT_EQ("", take(listen(100)));
    EXPECT_TRUE(network.tcp_client.empty());
    network.gate_port = 40000;
    route(control(0x8001, c_remote, 9, c_mccr_object_request, 100));  // asks again once connected
    EXPECT_EQ("1.32775", take(listen(100)));
    ASSERT_EQ(1u, network.tcp_client.size());
    EXPECT_EQ((std::vector<std::string>{"add_client", "tcp_client"}), network.calls);
    check_references("remote request");
}

TEST_F(control_test, process_death_destroys_its_objects_and_releases_the_remote_center_after_telling_it) {
    route(control(5, c_broadcast_ip, 0xFFFF, c_mccr_object_create, 100));
    network.gate_port = 40000;
    route(control(0x8001, c_remote, 9, c_mccr_object_request, 100));
    // A proxy of another process that never asked for a remote stub.
    registry.objects[0x8002] = 200;
    take(listen(100));
    take(listen(200));
    network.release_all();
    network.calls.clear();
    network.tcp_broadcasts = 0;
    relay.m_kill_control = false;

    // Process 100 subscribed to stub 3's information; its death must end that.
    route(make_packet(c_local_host, 3, c_local_host, 0x8001, c_mt_information_tcp_confirm));
    EXPECT_EQ(1, count_of(100, 3, c_local_host, 0x0102));
    take(ret(100));

    route(process_destroy(100));
    EXPECT_EQ((std::vector<int>{100}), registry.closed);
    EXPECT_EQ(0, count_of(100, 3, c_local_host, 0x0102));
    // Stub 5's destroy reaches the other process (return and listen) and every accepted connection.
    // Every return pipe hears of both destroys; the stub's also reaches every listen pipe.
    EXPECT_EQ("1.4 1.4", take(ret(200)));
    EXPECT_EQ("1.4", take(listen(200)));
    EXPECT_EQ(1, network.tcp_broadcasts);
    // The proxy's destroy goes to the remote stub's center before its one user is released.
    ASSERT_EQ(1u, network.tcp_client.size());
    const struct_packet* p = get_header(network.tcp_client.front());
    EXPECT_EQ(c_mccr_object_destroy, p->header.code);
    EXPECT_EQ(c_kova_err_object_is_not_exist, p->header.error);
    EXPECT_EQ(0x8001, p->header.sid);
    EXPECT_EQ(9, p->header.did);
    EXPECT_EQ(c_remote, p->dst_ip);
    EXPECT_EQ((std::vector<std::string>{"tcp_client", "del_client"}), network.calls);
    EXPECT_TRUE(relay.m_kill_control);
    check_references("process destroy");

    // A proxy that made no add_client releases no remote center.
    network.release_all();
    network.calls.clear();
    route(control(0x8002, c_remote, 9, c_mccr_object_destroy));
    EXPECT_EQ((std::vector<std::string>{"tcp_client"}), network.calls);
}

TEST_F(control_test, process_destroy_without_its_pid_is_released_and_still_asks_for_the_idle_check) {
    struct_token t = control(0, c_broadcast_ip, 0xFFFF, c_mccr_process_destroy);
    get_header(t)->header.size = 0;
    route(t);
    EXPECT_TRUE(relay.m_kill_control);
    EXPECT_TRUE(registry.closed.empty());
    check_references("no pid");
}

TEST_F(control_test, tcp_client_reports_count_clients_and_announce_every_local_stub) {
    registry.objects[5] = 100;
    registry.objects[7] = 200;
    registry.objects[0x8001] = 100;
    struct_token t = make_packet(c_remote, 0xFFFF, c_local_host, 0, c_mt_ctrl, 0, DBL_MAX,
                                 c_mccr_tcp_connected_from_client);
    get_header(t)->header.sport = 41000;
    route(t);
    EXPECT_EQ(1, class_center_relay::tcp_client_count);
    ASSERT_EQ(2u, network.tcp_server.size());
    for (size_t i = 0; i < 2; ++i) {
        const struct_packet* p = get_header(network.tcp_server[i]);
        EXPECT_EQ(c_mccr_object_create, p->header.code);
        EXPECT_EQ(i == 0 ? 5 : 7, p->header.sid);
        EXPECT_EQ(0xFFFF, p->header.did);
        EXPECT_EQ(c_remote, p->dst_ip);
        EXPECT_EQ(41000, network.tcp_server_node[i].port);
    }
    EXPECT_EQ("1.32773", take(listen(100)));
    EXPECT_EQ("1.32773", take(listen(200)));
    route(make_packet(c_remote, 0xFFFF, c_local_host, 0, c_mt_ctrl, 0, DBL_MAX, c_mccr_tcp_disconnected_from_client));
    EXPECT_EQ(0, class_center_relay::tcp_client_count);
    EXPECT_TRUE(relay.m_kill_control);
    EXPECT_EQ("1.32774", take(listen(200)));
    // Codes without a handler are released.
    route(control(0, c_local_host, 0, c_mccr_center_shutdown));
    check_references("tcp reports");
}

TEST_F(control_test, information_values_reach_each_subscribed_process_once_in_pid_order) {
    registry.objects[0x8001] = 200;
    registry.objects[0x8002] = 200;
    registry.objects[0x8003] = 100;
    for (object_id_t proxy : {0x8001, 0x8002, 0x8003})
        route(make_packet(c_local_host, 5, c_local_host, proxy, c_mt_information_tcp_confirm));
    EXPECT_EQ(2, count_of(200, 5, c_local_host, 0x0102));
    EXPECT_EQ(1, count_of(100, 5, c_local_host, 0x0102));
    take(ret(100));
    take(ret(200));
    route(make_packet(c_local_host, 5, c_local_host, 0xFFFF, c_mt_information_tcp, 16));
    ASSERT_EQ(1u, listen(100).push_order.size());
    ASSERT_EQ(1u, listen(200).push_order.size());
    EXPECT_LT(listen(100).push_order[0], listen(200).push_order[0]);
    check_references("fan-out");
    take(listen(100));
    take(listen(200));
    // One of the two proxies of process 200 disconnects: it still gets its copy.
    route(make_packet(c_local_host, 5, c_local_host, 0x8001, c_mt_information_tcp_disconnect));
    EXPECT_EQ(1, count_of(200, 5, c_local_host, 0x0102));
    take(listen(200));
    route(make_packet(c_local_host, 5, c_local_host, 0xFFFF, c_mt_information_tcp, 16));
    EXPECT_EQ("101.258", take(listen(200)));
    EXPECT_EQ("101.258", take(listen(100)));
    // A value of another stub or code reaches nobody.
    route(make_packet(c_local_host, 6, c_local_host, 0xFFFF, c_mt_information_tcp, 16));
    EXPECT_EQ("", take(listen(100)));
    check_references("fan-out after disconnect");
}

TEST_F(control_test, a_confirm_that_cannot_be_delivered_ends_its_own_subscription) {
    // Proxy 0x8009 is not registered: the confirm comes back to the stub as a shutdown.
    registry.objects[5] = 100;
    route(make_packet(c_local_host, 5, c_local_host, 0x8009, c_mt_information_tcp_confirm));
    EXPECT_EQ("100.258", take(listen(100)));
    EXPECT_TRUE(relay.information_map.empty());
}

TEST_F(control_test, multicast_groups_are_joined_on_first_use_and_left_on_last) {
    registry.objects[0x8001] = 100;
    registry.objects[0x8002] = 200;
    registry.objects[0x8003] = 200;
    auto confirm = [&](object_id_t in_stub, object_id_t in_proxy, msg_code_t in_code) {
        struct_token t = make_packet(c_remote, in_stub, c_local_host, in_proxy, c_mt_information_udp_confirm, 0, 10,
                                     in_code);
        get_header(t)->mct_if = ip(10, 0, 0, 1);
        route(t);
    };
    auto shutdown = [&](object_id_t in_proxy, object_id_t in_stub, msg_code_t in_code) {
        route(make_packet(c_local_host, in_proxy, c_remote, in_stub, c_mt_information_udp_shutdown, 0, 10, in_code));
    };
    confirm(5, 0x8001, 0x0102);
    confirm(5, 0x8002, 0x0102);
    confirm(261, 0x8003, 0x0102);  // only the low byte of the stub id: same group
    confirm(5, 0x8001, 0x0103);
    EXPECT_EQ((std::vector<std::string>{"join 230.5.1.2 10.0.0.10 on 10.0.0.1", "join 230.5.1.3 10.0.0.10 on 10.0.0.1"}), memberships());
    shutdown(0x8001, 5, 0x0102);
    shutdown(0x8002, 5, 0x0102);
    EXPECT_TRUE(memberships().empty());
    shutdown(0x8003, 261, 0x0102);  // a local shutdown names 127.0.0.1: the group is left where it was joined
    EXPECT_EQ((std::vector<std::string>{"leave 230.5.1.2 10.0.0.10 on 10.0.0.1"}), memberships());
    EXPECT_EQ(0u, relay.multicast_pmap.count(0x8002));
    EXPECT_EQ(0u, relay.multicast_pmap.count(0x8003));
    // The connection to the stubs' host ends: every group joined for it is left.
    confirm(7, 0x8002, 0x0201);
    route(make_packet(c_remote, 0, c_local_host, 0xFFFF, c_mt_ctrl, 0, DBL_MAX, c_mccr_tcp_disconnected_from_server));
    EXPECT_EQ((std::vector<std::string>{"join 230.7.2.1 10.0.0.10 on 10.0.0.1", "leave 230.5.1.3 10.0.0.10 on 10.0.0.1",
                                        "leave 230.7.2.1 10.0.0.10 on 10.0.0.1"}),
              memberships());
    EXPECT_TRUE(relay.multicast_map.empty());
    EXPECT_TRUE(relay.multicast_pmap.empty());
    EXPECT_TRUE(relay.multicast_smap.empty());
    check_references("multicast");
}

TEST_F(control_test, destroyed_stubs_and_proxies_leave_their_groups) {
    registry.objects[0x8001] = 100;
    registry.objects[0x8002] = 100;
    auto confirm = [&](object_id_t in_stub, object_id_t in_proxy) {
        route(make_packet(c_remote, in_stub, c_local_host, in_proxy, c_mt_information_udp_confirm));
    };
    confirm(5, 0x8001);
    confirm(6, 0x8002);
    memberships();
    // The remote stub 5 is destroyed.
    route(make_packet(c_remote, 5, c_broadcast_ip, 0xFFFF, c_mt_ctrl, 0, DBL_MAX, c_mccr_object_destroy));
    EXPECT_EQ((std::vector<std::string>{"leave 230.5.1.2 10.0.0.10 on 127.0.0.1"}), memberships());
    EXPECT_EQ(0u, relay.multicast_pmap.count(0x8001));
    // The local proxy 0x8002 is destroyed.
    route(control(0x8002, c_remote, 6, c_mccr_object_destroy));
    EXPECT_EQ((std::vector<std::string>{"leave 230.6.1.2 10.0.0.10 on 127.0.0.1"}), memberships());
    EXPECT_TRUE(relay.multicast_pmap.empty());
    EXPECT_TRUE(relay.multicast_smap.empty() || relay.multicast_smap.begin()->second->empty());
}

TEST_F(control_test, every_end_of_a_subscription_takes_its_count_back_once) {
    registry.objects[0x8002] = 200;
    const ip_t c_other_host = ip(10, 0, 0, 20);
    // A local and a remote stub, each with a subscriber in both processes.
    struct stub_at {
        ip_t host;
        object_id_t id;
    };
    const stub_at local{c_local_host, 5}, remote{c_remote, 7};
    auto confirm = [&](const stub_at& in_stub, object_id_t in_proxy) {
        route(make_packet(in_stub.host, in_stub.id, c_local_host, in_proxy, c_mt_information_tcp_confirm));
    };
    // The processes a value of the stub reaches, as "pid pid".
    auto reached = [&](const stub_at& in_stub) {
        route(make_packet(in_stub.host, in_stub.id, c_local_host, 0xFFFF, c_mt_information_tcp, 16));
        std::string out;
        for (int pid : {100, 200})
            if (!take(listen(pid)).empty()) out += (out.empty() ? "" : " ") + std::to_string(pid);
        return out;
    };
    struct row {
        const char* name;
        stub_at stub;
        std::function<void()> end;
        const char* left;  // the processes still reached
    };
    const row rows[] = {
        {"the proxy's shutdown", local,
         [&] { route(make_packet(c_local_host, 0x8001, c_local_host, 5, c_mt_information_tcp_shutdown)); }, "200"},
        {"a disconnect to the proxy", remote,
         [&] { route(make_packet(c_remote, 7, c_local_host, 0x8002, c_mt_information_tcp_disconnect)); }, "100"},
        {"a disconnect to the whole node", local,
         [&] { route(make_packet(c_local_host, 5, c_local_host, 0xFFFF, c_mt_information_tcp_disconnect)); }, ""},
        {"a disconnect to the whole node of another code", local,
         [&] {
             route(make_packet(c_local_host, 5, c_local_host, 0xFFFF, c_mt_information_tcp_disconnect, 0, 10, 0x0103));
         },
         "100 200"},
        {"the proxy destroyed", remote, [&] { route(control(0x8001, c_remote, 7, c_mccr_object_destroy)); }, "200"},
        {"the local stub destroyed", local,
         [&] { route(make_packet(c_local_host, 5, c_broadcast_ip, 0xFFFF, c_mt_ctrl, 0, DBL_MAX, c_mccr_object_destroy)); },
         ""},
        {"the remote stub destroyed", remote,
         [&] { route(make_packet(c_remote, 7, c_broadcast_ip, 0xFFFF, c_mt_ctrl, 0, DBL_MAX, c_mccr_object_destroy)); },
         ""},
        {"the stub's host link lost", remote,
         [&] {
             route(make_packet(c_remote, 0, c_local_host, 0xFFFF, c_mt_ctrl, 0, DBL_MAX,
                               c_mccr_tcp_disconnected_from_server));
         },
         ""},
        {"another host's link lost", remote,
         [&] {
             route(make_packet(c_other_host, 0, c_local_host, 0xFFFF, c_mt_ctrl, 0, DBL_MAX,
                               c_mccr_tcp_disconnected_from_server));
         },
         "100 200"},
        {"a repeated confirm, then the shutdown", local,
         [&] {
             confirm(local, 0x8001);
             route(make_packet(c_local_host, 0x8001, c_local_host, 5, c_mt_information_tcp_shutdown));
         },
         "200"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        registry.objects[0x8001] = 100;  // a destroy takes it out of the registry
        confirm(r.stub, 0x8001);
        confirm(r.stub, 0x8002);
        take(ret(100));
        take(ret(200));
        ASSERT_EQ("100 200", reached(r.stub));
        r.end();
        for (int pid : {100, 200}) {
            take(listen(pid));
            take(ret(pid));
        }
        network.release_all();
        EXPECT_EQ(r.left, reached(r.stub));
        // What is left goes with its processes, and nothing more.
        relay.erase_information_of_process(100);
        relay.erase_information_of_process(200);
        EXPECT_TRUE(relay.information_map.empty());
        EXPECT_TRUE(relay.proxy_information_map.empty());
        check_references(r.name);
    }
}

TEST_F(control_test, a_disconnect_to_the_whole_node_leaves_the_group_of_every_local_udp_subscriber) {
    registry.objects[0x8001] = 100;
    registry.objects[0x8002] = 200;
    for (object_id_t proxy : {0x8001, 0x8002})
        for (int repeat = 0; repeat < 2; ++repeat)  // a repeated confirm counts once
            route(make_packet(c_remote, 5, c_local_host, proxy, c_mt_information_udp_confirm));
    EXPECT_EQ((std::vector<std::string>{"join 230.5.1.2 10.0.0.10 on 127.0.0.1"}), memberships());
    EXPECT_EQ(2, relay.multicast_map.begin()->second.counter);
    route(make_packet(c_remote, 5, c_local_host, 0xFFFF, c_mt_information_udp_disconnect));
    EXPECT_EQ((std::vector<std::string>{"leave 230.5.1.2 10.0.0.10 on 127.0.0.1"}), memberships());
    EXPECT_TRUE(relay.multicast_map.empty());
    EXPECT_TRUE(relay.multicast_pmap.empty());
    EXPECT_TRUE(relay.multicast_smap.empty());
    EXPECT_TRUE(relay.information_map.empty());
    release_sinks();
    check_references("disconnect to the node");
}

TEST_F(control_test, a_group_that_cannot_be_joined_refuses_the_subscription_on_both_sides) {
    registry.objects[0x8001] = 100;
    network.join_fails = true;
    struct_token t = make_packet(c_remote, 5, c_local_host, 0x8001, c_mt_information_udp_confirm);
    get_header(t)->mct_if = ip(10, 0, 0, 1);
    route(t);
    // The proxy's wait ends with a reject, the stub hears that its client is gone.
    ASSERT_EQ(1u, ret(100).queue.size());
    const struct_packet reject = *get_header(ret(100).queue.front());
    EXPECT_EQ(c_mt_information_udp_reject, reject.header.type);
    EXPECT_EQ(c_kova_err_busy_node, reject.header.error);
    EXPECT_EQ(0x8001, reject.header.did);
    ASSERT_EQ(1u, network.tcp_client.size());
    const struct_packet shutdown = *get_header(network.tcp_client.front());
    EXPECT_EQ(c_mt_information_udp_shutdown, shutdown.header.type);
    EXPECT_EQ(c_kova_err_busy_node, shutdown.header.error);
    EXPECT_EQ(c_remote, shutdown.dst_ip);
    EXPECT_EQ(5, shutdown.header.did);
    EXPECT_EQ(0x8001, shutdown.header.sid);
    EXPECT_EQ(0u, listen(100).queue.size());
    EXPECT_TRUE(relay.information_map.empty());
    EXPECT_TRUE(relay.proxy_information_map.empty());
    EXPECT_TRUE(relay.multicast_map.empty());
    EXPECT_TRUE(relay.multicast_pmap.empty());
    EXPECT_TRUE(relay.multicast_smap.empty());
    check_references("refused");
    release_sinks();
    // Once the socket takes it again, the next confirm subscribes.
    network.join_fails = false;
    route(make_packet(c_remote, 5, c_local_host, 0x8001, c_mt_information_udp_confirm));
    EXPECT_EQ(1u, ret(100).queue.size());
    EXPECT_EQ(c_mt_information_udp_confirm, get_header(ret(100).queue.front())->header.type);
    EXPECT_EQ(1, count_of(100, 5, c_remote, 0x0102));
    EXPECT_EQ(1, relay.multicast_map.begin()->second.counter);
}

}  // namespace
}  // namespace kova_center_test
