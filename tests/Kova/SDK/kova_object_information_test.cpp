// The information stub's subscriptions: the handshake of both kinds as the proxy
// receives it, the counts that decide where values go (checked against a model over
// random sequences of every way a client comes and goes), what on_shutdown learns of
// each end, the stub's disconnects, the destroy, and the attached form; then publishing:
// the copies of a send cycle, lending and staging, the history, and the timer model.
#include "Kova/Common/Open/Kova/kova_object_information.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_history.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Stub/Information/_kova_object_information.h"
#include "stub_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 41;
constexpr ip_t c_if_1 = 0x0101A8C0u;  // 192.168.1.1
constexpr ip_t c_if_2 = 0x0102A8C0u;  // 192.168.2.1

class information_stub : public recording_stub<kova_object_information> {
public:
    explicit information_stub(msg_code_t in_code = c_code) : recording_stub(in_code) {}
    using kova_object_information::cancel;
    using kova_object_information::cancel_real;
    using kova_object_information::get;
    using kova_object_information::get_real;
    using kova_object_information::post;
    using kova_object_information::post_real;
    using kova_object_information::read;
    using kova_object_information::see_history;
    using kova_object_information::set_history_size;
    using kova_object_information::set_sync_model;
    using kova_object_information::write;

    _kova_object_information& handler() { return *_op->information_map.at(c_code); }
    bool m_tcp = false;

private:
    kova_err_t on_connect(const client_addr_t& in_client, const bool& in_tcp, const double& in_live,
                          const double& in_limit) override {
        m_tcp = in_tcp;
        return note_connect(in_client, in_live, in_limit);
    }
};

struct information_fixture : stub_fixture<information_stub> {
    explicit information_fixture(int in_test, unsigned in_center_depth = 16)
        : stub_fixture(in_test, c_code, in_center_depth) {}

    // A packet as it came in through interface in_if.
    struct_token make(const packet_spec& in_spec, ip_t in_if) {
        struct_token t = rig.make(in_spec);
        t.get_header_packet()->mct_if = in_if;
        return t;
    }
    // A packet of a proxy into the listen pipe, as it came in through interface in_if.
    void push(const packet_spec& in_spec, ip_t in_if = c_if_1) { sdk_rig::push(rig.m_listen, make(in_spec, in_if)); }
    // Subscribes a proxy through the listen pipe and takes its confirm off the center pipe.
    void subscribe(bool in_tcp, ip_t in_ip, object_id_t in_proxy, ip_t in_if = c_if_1) {
        push(from(in_tcp ? c_mt_information_tcp_connect : c_mt_information_udp_connect, in_ip, in_proxy), in_if);
        struct_packet confirm;
        ASSERT_TRUE(rig.center_receive(confirm));
        ASSERT_EQ(confirm.header.type, in_tcp ? c_mt_information_tcp_confirm : c_mt_information_udp_confirm);
    }
};

}  // namespace

TEST(kova_object_information, handshake_of_both_kinds_as_the_proxy_receives_it) {
    information_fixture f(1);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    const msg_type_t tcp = c_mt_information_tcp_connect, udp = c_mt_information_udp_connect;
    expect_handshakes(
        f,
        {
            {"tcp accepted", tcp, c_code, true, 0, c_mt_information_tcp_confirm, 0, true, 1},
            {"udp accepted", udp, c_code, true, 0, c_mt_information_udp_confirm, 0, true, 2},
            {"tcp refused", tcp, c_code, true, 7, c_mt_information_tcp_reject, 7, true, 2},
            {"udp refused", udp, c_code, true, 8, c_mt_information_udp_reject, 8, true, 2},
            {"tcp, code without handler", tcp, c_code + 1, true, 0, c_mt_information_tcp_reject,
             c_kova_err_not_support_code, false, 2},
            {"udp, code without handler", udp, c_code + 1, true, 0, c_mt_information_udp_reject,
             c_kova_err_not_support_code, false, 2},
            {"udp, unknown stub", udp, c_code, false, 0, c_mt_information_udp_reject, c_kova_err_object_is_not_exist,
             false, 2},
        },
        [&](const handshake_row& in_row) { EXPECT_EQ(f.stub.m_tcp, in_row.connect == tcp); });
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

namespace {

// A node-keyed map as (ip, port, value) rows, for comparing.
std::vector<std::tuple<ip_t, domain_t, int>> flat(const std::map<struct_node_addr, int>& in_map) {
    std::vector<std::tuple<ip_t, domain_t, int>> out;
    for (const auto& e : in_map) out.emplace_back(e.first.ip, e.first.port, e.second);
    return out;
}

// What the counts must be for a set of registered clients: each counts once, by the kind
// and interface recorded for it; a node's UDP interface is the one its first UDP
// subscription brought while it has any.
struct count_model {
    struct client {
        bool tcp;
        ip_t mcast_if;
    };
    std::map<std::pair<struct_node_addr, object_id_t>, client> clients;
    std::map<struct_node_addr, ip_t> node_if;

    void add(const client_addr_t& in_c, bool in_tcp, ip_t in_if) {
        remove(in_c);
        clients[{in_c.node_addr, in_c.obj_id}] = client{in_tcp, in_if};
        if (!in_tcp) node_if.emplace(in_c.node_addr, in_if);
    }
    bool remove(const client_addr_t& in_c) {
        if (clients.erase({in_c.node_addr, in_c.obj_id}) == 0) return false;
        bool udp_left = false;
        for (const auto& e : of(in_c.node_addr)) udp_left = udp_left || !e.second.tcp;
        if (!udp_left) node_if.erase(in_c.node_addr);
        return true;
    }
    // The clients of a node, in ascending id.
    std::vector<std::pair<object_id_t, client>> of(const struct_node_addr& in_node) const {
        std::vector<std::pair<object_id_t, client>> out;
        for (const auto& e : clients)
            if (!(e.first.first < in_node) && !(in_node < e.first.first)) out.emplace_back(e.first.second, e.second);
        return out;
    }

    void expect_equal(_kova_object_information& in_h) const {
        std::map<struct_node_addr, int> tcp, udp;
        std::map<ip_t, int> ifs;
        std::size_t registered = 0;
        for (const auto& e : clients) {
            if (e.second.tcp) {
                ++tcp[e.first.first];
            } else {
                ++udp[e.first.first];
                ++ifs[e.second.mcast_if];
            }
        }
        for (const auto& node : in_h.node_map) {
            EXPECT_FALSE(node.second.empty());
            for (const auto& c : node.second) {
                ++registered;
                const auto want = clients.find({node.first, c.first});
                ASSERT_NE(want, clients.end()) << std::hex << c.first;
                EXPECT_EQ(c.second.tcp, want->second.tcp);
                if (!c.second.tcp) {
                    EXPECT_EQ(c.second.mcast_if, want->second.mcast_if);
                }
            }
        }
        EXPECT_EQ(registered, clients.size());
        EXPECT_EQ(flat(in_h.tcp_node_map), flat(tcp));
        ASSERT_EQ(in_h.udp_node_map.size(), udp.size());
        for (const auto& e : in_h.udp_node_map) {
            ASSERT_EQ(udp.count(e.first), 1u);
            EXPECT_EQ(e.second.counter, udp.at(e.first));
            EXPECT_EQ(e.second.mcast_if, node_if.at(e.first));
        }
        EXPECT_EQ(in_h.mcast_if_map, ifs);
    }
};

}  // namespace

TEST(kova_object_information, counts_follow_what_was_recorded_for_each_client_through_random_comings_and_goings) {
    information_fixture f(2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    _kova_object_information& h = f.stub.handler();
    const ip_t ips[] = {c_node_a, c_node_b, c_local_host};
    const ip_t ifs[] = {c_if_1, c_if_2, c_local_host};
    const object_id_t ids[] = {c_p1, c_p2, c_p3};
    count_model model;
    std::mt19937 random(20);
    auto pick = [&](std::size_t in_n) { return static_cast<std::size_t>(random() % in_n); };
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE(step);
        const client_addr_t c = client_of(ips[pick(3)], f.d, ids[pick(3)]);
        const ip_t in_if = ifs[pick(3)];
        const std::vector<heard> heard_before = f.stub.log();
        std::vector<heard> want_heard;
        // The disconnects the step must send: (client, tcp), in order.
        std::vector<std::pair<client_addr_t, bool>> expect_sent;
        const int what = static_cast<int>(pick(9));
        if (what <= 2) {  // a connect of either kind, accepted
            const bool tcp = pick(2) == 0;
            struct_token t = f.make(f.from(tcp ? c_mt_information_tcp_connect : c_mt_information_udp_connect,
                                           c.node_addr.ip, c.obj_id),
                                    in_if);
            h.adapter_connect(t);
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
            received answer;
            ASSERT_TRUE(f.rig.center_receive(answer));
            EXPECT_EQ(answer.packet.header.type, tcp ? c_mt_information_tcp_confirm : c_mt_information_udp_confirm);
            model.add(c, tcp, in_if);
        } else if (what == 3) {  // the proxy's shutdown, of either type whatever it subscribed by
            packet_spec s = f.from(pick(2) ? c_mt_information_tcp_shutdown : c_mt_information_udp_shutdown,
                                   c.node_addr.ip, c.obj_id);
            s.error = static_cast<kova_err_t>(step);
            struct_token t = f.make(s, in_if);
            h.adapter_shutdown(t);
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
            if (model.remove(c)) want_heard.push_back({'s', c, static_cast<kova_err_t>(step)});
        } else if (what == 4) {  // the proxy object destroyed
            struct_token t = f.rig.make(f.control(c_mccr_object_destroy, c.node_addr.ip, c.obj_id, f.id, 2));
            h.adapter_shutdown(c, t);
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
            if (model.remove(c)) want_heard.push_back({'s', c, 2});
        } else if (what == 5) {  // the node's link lost
            struct_token t = f.rig.make(f.control(c_mccr_tcp_disconnected_from_client, c.node_addr.ip,
                                                  c_broadcast_proxy_id, c_broadcast_stub_id, 0x4000000E));
            for (const auto& e : model.of(c.node_addr)) {
                const client_addr_t gone = client_of(c.node_addr.ip, f.d, e.first);
                want_heard.push_back({'s', gone, 0x4000000E});
                model.remove(gone);
            }
            h.adapter_shutdown(c.node_addr, t);
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
        } else if (what == 6) {  // the stub's disconnect of one client
            for (const auto& e : model.of(c.node_addr))
                if (e.first == c.obj_id) expect_sent.emplace_back(c, e.second.tcp);
            if (pick(2)) f.stub.disconnect(c);
            else f.stub.disconnect_one_client_object(c);
            model.remove(c);
        } else if (what == 7) {  // of one node
            for (const auto& e : model.of(c.node_addr)) {
                const client_addr_t one = client_of(c.node_addr.ip, f.d, e.first);
                expect_sent.emplace_back(one, e.second.tcp);
                model.remove(one);
            }
            if (pick(2)) f.stub.disconnect(client_of(c.node_addr.ip, f.d, c_broadcast_proxy_id));
            else f.stub.disconnect_one_client_node(c.node_addr);
        } else if (pick(4) == 0) {  // of everybody, now and then
            for (const auto& e : model.clients)
                expect_sent.emplace_back(client_of(e.first.first.ip, f.d, e.first.second), e.second.tcp);
            model.clients.clear();
            model.node_if.clear();
            if (pick(2)) f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1));
            else f.stub.disconnect_all_client_object();
        }
        model.expect_equal(h);
        EXPECT_EQ(f.stub.get_client_count(), model.clients.size());
        const std::vector<received> out = f.sent();
        ASSERT_EQ(out.size(), expect_sent.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            const struct_packet& p = out[i].packet;
            EXPECT_EQ(p.header.type,
                      expect_sent[i].second ? c_mt_information_tcp_disconnect : c_mt_information_udp_disconnect);
            EXPECT_EQ(p.header.code, c_code);
            EXPECT_EQ(p.header.size, 0u);
            EXPECT_EQ(p.header.sid, f.id);
            EXPECT_TRUE(p.header.limit.is_infinite());
            // Each to the client's own id: the center of its node finds its process.
            EXPECT_EQ(p.dst_ip, expect_sent[i].first.node_addr.ip);
            EXPECT_EQ(p.dst_port, f.d);
            EXPECT_EQ(p.header.did, expect_sent[i].first.obj_id);
        }
        const std::vector<heard> now = f.stub.log();
        ASSERT_GE(now.size(), heard_before.size());
        expect_heard(std::vector<heard>(now.begin() + static_cast<long>(heard_before.size()), now.end()), want_heard);
        if (HasFatalFailure() || HasNonfatalFailure()) break;
    }
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_information, what_on_shutdown_learns_of_each_end) {
    information_fixture f(3);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.subscribe(true, c_node_a, c_p1);
    f.subscribe(false, c_node_a, c_p2);
    f.subscribe(false, c_node_b, c_p3);
    f.subscribe(true, c_node_b, c_p1);
    expect_every_end_heard(f, c_mt_information_tcp_shutdown, c_mt_information_udp_shutdown, {c_p1, c_p3});
    _kova_object_information& h = f.stub.handler();
    EXPECT_TRUE(h.tcp_node_map.empty());
    EXPECT_TRUE(h.udp_node_map.empty());
    EXPECT_TRUE(h.mcast_if_map.empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_information, an_answer_that_never_leaves_takes_the_subscription_back) {
    information_fixture f(4, 2);
    ASSERT_NE(f.id, 0);
    expect_unsent_answers_take_the_client_back(f,
                                               {{"udp confirm, full pipe", false, c_mt_information_udp_connect, 0},
                                                {"tcp reject, full pipe", false, c_mt_information_tcp_connect, 7},
                                                {"tcp confirm, shut pipe", true, c_mt_information_tcp_connect, 0},
                                                {"udp confirm, shut pipe", true, c_mt_information_udp_connect, 0}},
                                               [&] { EXPECT_TRUE(f.stub.handler().mcast_if_map.empty()); });
}

TEST(kova_object_information, the_subscriber_table_is_free_while_the_stubs_disconnects_wait_for_the_center_pipe) {
    information_fixture f(5, 2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    expect_the_table_is_free_while_pushes_wait(f, c_mt_information_tcp_disconnect, c_mt_information_udp_disconnect, [&] {
        f.subscribe(true, c_node_a, c_p1);
        f.subscribe(false, c_node_b, c_p3);
    });
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

TEST(kova_object_information, a_destroy_forgets_every_client_without_telling_them) {
    struct row {
        const char* name;
        bool in_callback;  // destroyed from inside on_connect: carried out after the packet
    };
    for (const row& r : {row{"by the application", false}, row{"from a callback", true}}) {
        SCOPED_TRACE(r.name);
        information_fixture f(6);
        ASSERT_NE(f.id, 0);
        const unsigned long before = f.rig.remain();
        f.subscribe(true, c_node_a, c_p1);
        f.subscribe(false, c_node_a, c_p2);
        if (r.in_callback) f.stub.in_connect = [&] { EXPECT_EQ(f.stub.destroy(), c_kova_err_none); };
        else ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
        if (r.in_callback) f.subscribe(false, c_node_b, c_p3);
        expect_a_destroy_forgets_every_client(
            f, before, r.in_callback,
            [&] {
                f.stub.in_connect = nullptr;
                _kova_object_information& h = f.stub.handler();
                EXPECT_TRUE(h.node_map.empty());
                EXPECT_TRUE(h.tcp_node_map.empty());
                EXPECT_TRUE(h.udp_node_map.empty());
                EXPECT_TRUE(h.mcast_if_map.empty());
            },
            [&] { f.stub.disconnect_all_client_object(); });
        // Not created: nobody is told anything.
        f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1));
        EXPECT_TRUE(f.sent().empty());
    }
}

TEST(kova_object_information, attached_form_serves_under_the_given_object) {
    expect_attached_serves_under_the_given_object<kova_object_information, attached_stub<kova_object_information>>(
        7, c_code, c_mt_information_udp_connect, c_mt_information_udp_confirm);
}

// Publishing ------------------------------------------------------------------------

namespace {

// 230.(stub id & 0xFF).(code >> 8).(code & 0xFF) as stored: first byte lowest.
ip_t group_of(object_id_t in_stub, msg_code_t in_code) {
    return 230u | (static_cast<ip_t>(in_stub & 0xFF) << 8) | (static_cast<ip_t>(in_code >> 8) << 16) |
           (static_cast<ip_t>(in_code & 0xFF) << 24);
}

std::string payload_of(std::size_t in_size) {
    std::string s(in_size, '\0');
    for (std::size_t i = 0; i < in_size; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

// The sizes of the stub's history, newest first.
std::vector<std::string> history_of(information_stub& in_stub, kova_size_t in_n = 10) {
    kova_history h(in_stub.see_history(in_n));
    std::vector<std::string> out;
    for (std::size_t i = 0; i < h.size(); ++i)
        out.emplace_back(static_cast<const char*>(h[i].p_buffer), h[i].size);
    return out;
}

}  // namespace

TEST(kova_object_information, a_cycle_sends_one_copy_per_tcp_node_and_per_udp_interface_with_one_number) {
    information_fixture f(8);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    const ip_t group = group_of(f.id, c_code);
    // Node A: a TCP and two UDP subscribers through interface 1; node B: one UDP
    // subscriber through interface 2, one through interface 1 (its node keeps 2).
    f.subscribe(true, c_node_a, c_p1);
    f.subscribe(false, c_node_a, c_p2, c_if_1);
    f.subscribe(false, c_node_a, c_p3, c_if_1);
    f.subscribe(false, c_node_b, c_p1, c_if_2);
    f.subscribe(false, c_node_b, c_p2, c_if_1);
    struct want {
        msg_type_t type;
        ip_t mct_if;
        ip_t dst_ip;
        domain_t dst_port;
    };
    struct row {
        std::size_t size;
        std::vector<want> copies;  // in the order they leave
    };
    const row rows[] = {
        {64, {{c_mt_information_udp, c_if_1, group, f.d}, {c_mt_information_udp, c_if_2, group, f.d},
              {c_mt_information_tcp, c_local_host, c_node_a, f.d}}},
        {60000, {{c_mt_information_udp, c_if_1, group, f.d}, {c_mt_information_udp, c_if_2, group, f.d},
                 {c_mt_information_tcp, c_local_host, c_node_a, f.d}}},
        // Too large for a datagram: each UDP node by its recorded interface, by TCP.
        {60001, {{c_mt_information_udp, c_if_1, c_node_a, f.d}, {c_mt_information_udp, c_if_2, c_node_b, f.d},
                 {c_mt_information_tcp, c_local_host, c_node_a, f.d}}},
        {0, {{c_mt_information_udp, c_if_1, group, f.d}, {c_mt_information_udp, c_if_2, group, f.d},
             {c_mt_information_tcp, c_local_host, c_node_a, f.d}}},
    };
    msg_num_t cycle = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.size);
        const std::string value = payload_of(r.size);
        ASSERT_EQ(f.stub.write(value.data(), static_cast<pksize_t>(value.size())), c_kova_err_none);
        ++cycle;
        std::vector<struct_token> out;
        struct_token t;
        while (f.rig.center_receive(t, 0.0)) out.push_back(t);
        ASSERT_EQ(out.size(), r.copies.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(i);
            const struct_packet& p = *out[i].get_header_packet();
            EXPECT_EQ(p.header.type, r.copies[i].type);
            EXPECT_EQ(p.mct_if, r.copies[i].mct_if);
            EXPECT_EQ(p.dst_ip, r.copies[i].dst_ip);
            EXPECT_EQ(p.dst_port, r.copies[i].dst_port);
            EXPECT_EQ(p.header.did, c_broadcast_proxy_id);
            EXPECT_EQ(p.header.sid, f.id);
            EXPECT_EQ(p.src_ip, c_local_host);
            EXPECT_EQ(p.header.code, c_code);
            EXPECT_EQ(p.header.num, cycle) << "one number for the cycle's copies";
            EXPECT_EQ(p.header.size, r.size);
            EXPECT_TRUE(p.header.limit.is_infinite()) << "the posting model";
            EXPECT_EQ(out[i].data_mm, out[0].data_mm) << "one value block for every copy";
            for (std::size_t j = 0; j < i; ++j) EXPECT_NE(out[i].header_mm, out[j].header_mm) << "a header each";
            ASSERT_EQ(Common::Interface::get_payload_size(out[i]), r.size);
            if (r.size) {
                EXPECT_EQ(std::memcmp(out[i].get_data(), value.data(), r.size), 0);
            }
        }
        // Nobody rewrote the shared block's record while copies were in flight: it still
        // holds the value's own header, addressed to the group.
        const struct_packet& kept = *out[0].get_data_packet();
        EXPECT_EQ(kept.header.type, c_mt_information_udp);
        EXPECT_EQ(kept.header.num, 0u);
        EXPECT_EQ(kept.dst_ip, group);
        EXPECT_EQ(kept.mct_if, c_local_host);
        for (struct_token& c : out) Common::Interface::safe_free_token(c, __FILE__, __LINE__);
    }
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

// A posted value is sent once, so it must reach every subscriber: while the center pipe is
// full each copy of its cycle waits for room, and the write with them; none is dropped. A
// tick's copies do not wait: the next tick sends the value again.
TEST(kova_object_information, every_copy_of_a_posted_value_waits_for_the_center_pipe_and_a_ticks_do_not) {
    information_fixture f(12);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.subscribe(false, c_node_a, c_p1, c_if_1);
    f.subscribe(false, c_node_b, c_p2, c_if_2);
    f.subscribe(true, c_node_b, c_p3);
    // Past the fillers, the next in_n packets the stub sent.
    auto next_sent = [&](std::size_t in_n) {
        std::vector<received> out;
        received r;
        while (out.size() < in_n && f.rig.center_receive(r))
            if (r.packet.header.type != c_mt_ctrl) out.push_back(r);
        return out;
    };
    for (const char* value : {"older", "newest"}) {
        SCOPED_TRACE(value);
        f.rig.fill_center();
        const pksize_t size = static_cast<pksize_t>(std::strlen(value));
        waiting_thread writer([&] { return f.stub.write(value, size); });
        ASSERT_TRUE(writer.asleep());
        EXPECT_EQ(writer.result(), waiting_thread::c_not_yet) << "it waits for the center pipe";
        const std::vector<received> copies = next_sent(3);
        EXPECT_EQ(writer.join(), c_kova_err_none);
        ASSERT_EQ(copies.size(), 3u) << "a copy for each interface and for the TCP node";
        const msg_type_t types[] = {c_mt_information_udp, c_mt_information_udp, c_mt_information_tcp};
        for (std::size_t i = 0; i < copies.size(); ++i) {
            EXPECT_EQ(copies[i].packet.header.type, types[i]);
            EXPECT_EQ(copies[i].data, value);
        }
        EXPECT_TRUE(f.sent().empty());
        EXPECT_EQ(history_of(f.stub).front(), value);
    }

    // Ticks while the pipe is full go on, each a cycle of the history, and send nothing.
    f.stub.set_history_size(3);
    f.rig.fill_center();
    f.stub.set_sync_model(c_sender_sync_model_on_timer, 0.02);
    EXPECT_TRUE(kova_test::wait_until([&] { return history_of(f.stub).size() == 3; }, 5.0));
    const std::vector<received> later = next_sent(3);
    f.stub.set_sync_model(c_sender_sync_model_on_post, 0);
    ASSERT_EQ(later.size(), 3u) << "once there is room, the next tick";
    for (const received& r : later) EXPECT_EQ(r.data, "newest");
    f.sent();
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

TEST(kova_object_information, lending_and_staging_publish_within_their_size_with_the_kinds_texts) {
    information_fixture f(9);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    information_stub idle;
    char buffer[8] = {};
    pksize_t size = sizeof(buffer);
    EXPECT_EQ(idle.get_real(10), nullptr) << "not created";
    EXPECT_EQ(idle.post_real(10), c_kova_err_is_not_created);
    EXPECT_EQ(idle.write("x", 1), c_kova_err_is_not_created);
    EXPECT_EQ(idle.read(buffer, &size), c_kova_err_is_not_created);
    EXPECT_EQ(idle.see_history(1), nullptr);
    EXPECT_EQ(f.stub.write(nullptr, 1), c_kova_err_boundout_buffer);
    EXPECT_EQ(f.stub.read(nullptr, &size), c_kova_err_boundout_buffer);
    EXPECT_EQ(f.stub.read(buffer, nullptr), c_kova_err_boundout_buffer);
    f.subscribe(true, c_node_a, c_p1);
    // An empty value is published, with or without a buffer behind it, as a command is.
    for (const char* data : {static_cast<const char*>(nullptr), "x"}) {
        EXPECT_EQ(f.stub.write(data, 0), c_kova_err_none);
        const std::vector<received> empty = f.sent();
        ASSERT_EQ(empty.size(), 1u);
        EXPECT_EQ(empty[0].packet.header.size, 0u);
        EXPECT_EQ(empty[0].packet.header.type, c_mt_information_tcp);
    }
    EXPECT_EQ(f.stub.read(buffer, &size), c_kova_err_none);
    EXPECT_EQ(size, 0u);
    size = sizeof(buffer);

    EXPECT_EQ(f.stub.post_real(1), c_kova_err_dont_get) << "nothing lent";
    char* block = static_cast<char*>(f.stub.get_real(8));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(f.stub.get_real(8), nullptr) << "the lender asks again";
    std::memcpy(block, "abcdefgh", 8);
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.stub.post_real(9), c_kova_err_too_big_size);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Kova SDK - Boundout Information Post\n");
    EXPECT_TRUE(f.sent().empty());
    EXPECT_EQ(f.stub.post_real(5), c_kova_err_none) << "the same block, a size that fits";
    std::vector<received> out = f.sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, "abcde");
    EXPECT_EQ(f.stub.post_real(5), c_kova_err_dont_get) << "posted: nothing lent any more";
    ASSERT_NE(f.stub.get_real(100), nullptr);
    f.stub.cancel_real();
    f.stub.cancel_real();
    EXPECT_TRUE(f.sent().empty()) << "cancelled: nothing goes";
    EXPECT_EQ(history_of(f.stub), std::vector<std::string>{"abcde"});

    // Staging: a clean buffer is written, a dirty one kept until cancel.
    out = expect_staging_sends_only_a_clean_buffer(f.stub, "kova_object_information::post => durty memory\n",
                                                   [&] { return f.sent(); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, "staged");

    // Destroyed while a block is lent: it stays its lender's to cancel.
    block = static_cast<char*>(f.stub.get_real(4));
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    std::memcpy(block, "kept", 4);
    EXPECT_EQ(f.stub.post_real(4), c_kova_err_is_not_created);
    f.stub.cancel_real();
    EXPECT_EQ(f.stub.read(buffer, &size), c_kova_err_is_not_created);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_information, the_history_records_every_cycle_and_read_copies_within_the_buffer) {
    information_fixture f(10);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    char buffer[8];
    pksize_t size = sizeof(buffer);
    EXPECT_EQ(f.stub.read(buffer, &size), c_kova_err_empty_history) << "nothing sent yet";
    // No subscriber: every cycle is still recorded; the default keeps one.
    for (const char* v : {"one", "two", "three"}) ASSERT_EQ(f.stub.write(v, static_cast<pksize_t>(std::strlen(v))), 0u);
    EXPECT_TRUE(f.sent().empty());
    EXPECT_EQ(history_of(f.stub), std::vector<std::string>{"three"});
    // A new size applies from the next cycle on.
    f.stub.set_history_size(3);
    EXPECT_EQ(history_of(f.stub).size(), 1u);
    for (const char* v : {"four", "five", "six-long-value"})
        ASSERT_EQ(f.stub.write(v, static_cast<pksize_t>(std::strlen(v))), 0u);
    EXPECT_EQ(history_of(f.stub), (std::vector<std::string>{"six-long-value", "five", "four"}));
    EXPECT_EQ(history_of(f.stub, 2), (std::vector<std::string>{"six-long-value", "five"}));
    struct row {
        pksize_t given;
        pksize_t copied;  // and *size after
    };
    for (const row& r : {row{8, 8}, row{14, 14}, row{20, 14}, row{0, 0}}) {
        SCOPED_TRACE(r.given);
        char big[32];
        std::memset(big, '#', sizeof(big));
        pksize_t n = r.given;
        EXPECT_EQ(f.stub.read(big, &n), c_kova_err_none);
        EXPECT_EQ(n, r.copied);
        EXPECT_EQ(std::string(big, r.copied), std::string("six-long-value").substr(0, r.copied));
        EXPECT_EQ(big[r.copied], '#') << "nothing past what it copied";
    }
    // Size 0 keeps nothing, though values still go.
    f.stub.set_history_size(0);
    f.subscribe(false, c_node_a, c_p1);
    ASSERT_EQ(f.stub.write("gone", 4), c_kova_err_none);
    EXPECT_EQ(f.sent().size(), 1u);
    EXPECT_EQ(f.stub.read(buffer, &size), c_kova_err_empty_history);
    EXPECT_TRUE(history_of(f.stub).empty());
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

TEST(kova_object_information, the_timer_model_sends_the_current_value_every_interval_until_the_destroy) {
    information_fixture f(11);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.subscribe(true, c_node_a, c_p1);
    f.subscribe(false, c_node_b, c_p2);
    const double interval = 0.1;
    // Nothing posted: the ticks send nothing.
    f.stub.set_sync_model(c_sender_sync_model_on_timer, interval);
    EXPECT_TRUE(f.sent(0.25).empty());
    f.stub.set_history_size(4);
    ASSERT_EQ(f.stub.write("tick", 4), c_kova_err_none);
    EXPECT_TRUE(f.sent().empty()) << "the post itself sends nothing";

    msg_num_t last = 0;
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        received udp, tcp;
        ASSERT_TRUE(f.rig.center_receive(udp, 2.0));
        ASSERT_TRUE(f.rig.center_receive(tcp, 2.0));
        EXPECT_EQ(udp.packet.header.type, c_mt_information_udp);
        EXPECT_EQ(tcp.packet.header.type, c_mt_information_tcp);
        EXPECT_EQ(udp.data, "tick");
        EXPECT_EQ(udp.packet.header.num, tcp.packet.header.num);
        if (cycle) {
            EXPECT_EQ(udp.packet.header.num, static_cast<msg_num_t>(last + 1)) << "a new number each tick";
        }
        last = udp.packet.header.num;
        for (const received* r : {&udp, &tcp}) {
            EXPECT_FALSE(r->packet.header.limit.is_infinite());
            EXPECT_DOUBLE_EQ(r->packet.packet_limit_time, interval + 4 / 1e6) << "the period and a microsecond a byte";
        }
    }
    EXPECT_EQ(history_of(f.stub).size(), 4u) << "every tick is a cycle";

    // An interval outside (0, 10^7] changes nothing: the timer keeps its period.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {0.0, -1.0, nan, std::numeric_limits<double>::infinity(), 1e7 + 1})
        f.stub.set_sync_model(c_sender_sync_model_on_timer, bad);
    f.sent();
    received r;
    ASSERT_TRUE(f.rig.center_receive(r, 2.0));
    EXPECT_DOUBLE_EQ(r.packet.packet_limit_time, interval + 4 / 1e6);

    // Back to posting: the timer stops, each post sends once with no limit.
    f.stub.set_sync_model(c_sender_sync_model_on_post, interval);
    f.sent();
    EXPECT_TRUE(f.sent(0.3).empty());
    ASSERT_EQ(f.stub.write("post", 4), c_kova_err_none);
    std::vector<received> out = f.sent();
    ASSERT_EQ(out.size(), 2u);
    for (const received& o : out) EXPECT_TRUE(o.packet.header.limit.is_infinite());

    // The timer model again, then the destroy: no tick sends any more.
    f.stub.set_sync_model(c_sender_sync_model_on_timer, 0.02);
    ASSERT_TRUE(f.rig.center_receive(r, 2.0));
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    const std::vector<received> late = f.sent(0.2);
    for (const received& o : late) EXPECT_EQ(o.packet.header.type, c_mt_ctrl) << "only the destroy's announcement";
    EXPECT_TRUE(f.rig.wait_remain(before));
}
