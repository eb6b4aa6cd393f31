// The event stub: the handshake as the proxy receives it, publishing one packet per
// node over one shared payload, the ways a subscription ends and what on_shutdown
// learns of each, the stub's disconnects, the destroy, and the attached forms.
#include "Kova/Common/Open/Kova/kova_object_event.h"
#include "Kova/Common/Open/Kova/kova_object_signal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "stub_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 31;
constexpr ip_t c_node_a = c_remote_proxy_ip;
constexpr ip_t c_node_b = 0x0B00000Au;
constexpr object_id_t c_p1 = 0x8101, c_p2 = 0x8102, c_p3 = 0x8103, c_p4 = 0x8104, c_stranger = 0x8199;

class event_stub : public recording_stub<kova_object_event> {
public:
    explicit event_stub(msg_code_t in_code = c_code) : recording_stub(in_code) {}
    using kova_object_event::disconnect;
    using kova_object_event::disconnect_all_client_object;
    using kova_object_event::disconnect_one_client_node;
    using kova_object_event::disconnect_one_client_object;
    using kova_object_event::event;
    using kova_object_event::get_client_count;

private:
    kova_err_t on_connect(const client_addr_t& in_client, const double& in_live, const double& in_limit) override {
        return note_connect(in_client, in_live, in_limit);
    }
    void on_shutdown(const client_addr_t& in_client) override { note_shutdown(in_client); }
};

struct event_fixture : stub_fixture<event_stub> {
    explicit event_fixture(int in_test, unsigned in_center_depth = 16)
        : stub_fixture(in_test, c_code, in_center_depth) {}

    // Subscribes a proxy and takes its confirm off the center pipe.
    void subscribe(ip_t in_ip, object_id_t in_proxy) {
        rig.push_listen(from(c_mt_event_connect, in_ip, in_proxy));
        struct_packet confirm;
        ASSERT_TRUE(rig.center_receive(confirm));
        ASSERT_EQ(confirm.header.type, c_mt_event_confirm);
    }
};

}  // namespace

TEST(kova_object_event, handshake_as_the_proxy_receives_it) {
    event_fixture f(1);
    ASSERT_NE(f.id, 0);
    {
        // Connects and shutdowns of the code reach the handler one at a time.
        Pimo::OS::class_read_locker lock(f.rig.m_processor);
        EXPECT_TRUE(f.rig.m_processor->has_queue(msg_addr_t(f.d, f.id, c_code, c_transaction_event)));
    }
    const unsigned long before = f.rig.remain();
    struct row {
        const char* name;
        msg_code_t code;
        bool known_stub;
        kova_err_t on_connect_result;
        msg_type_t type;
        kova_err_t error;
        bool on_connect_runs;
        unsigned clients;
    };
    const row rows[] = {
        {"accepted", c_code, true, 0, c_mt_event_confirm, 0, true, 1},
        {"refused", c_code, true, 7, c_mt_event_reject, 7, true, 1},
        {"code without event handler", c_code + 1, true, 0, c_mt_event_reject, c_kova_err_not_support_code, false, 1},
        {"unknown stub", c_code, false, 0, c_mt_event_reject, c_kova_err_object_is_not_exist, false, 1},
    };
    object_id_t proxy = c_p1;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        f.stub.m_answer = r.on_connect_result;
        const int connects = f.stub.m_connects;
        packet_spec s = f.from(c_mt_event_connect, c_node_a, proxy, r.code);
        if (!r.known_stub) s.did = f.id + 1;
        // A payload on a connect must not turn into a size on the answer.
        s.payload = 16;
        f.rig.push_listen(s);
        received answer;
        ASSERT_TRUE(f.rig.center_receive(answer));
        expect_answer(answer, s, r.type, r.error);
        EXPECT_EQ(f.stub.m_connects, connects + (r.on_connect_runs ? 1 : 0));
        if (r.on_connect_runs) {
            f.stub.expect_connect_of(client_of(c_node_a, f.d, proxy));
        }
        EXPECT_EQ(f.stub.get_client_count(), r.clients);
        ++proxy;
    }
    // A client that connects again is asked and confirmed again, and counted once.
    f.stub.m_answer = 0;
    const int connects = f.stub.m_connects;
    f.subscribe(c_node_a, c_p1);
    EXPECT_EQ(f.stub.m_connects, connects + 1);
    EXPECT_EQ(f.stub.get_client_count(), 1u);
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_event, one_packet_per_node_over_one_shared_payload) {
    event_fixture f(2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.subscribe(c_node_b, c_p3);
    f.subscribe(c_node_a, c_p1);
    f.subscribe(c_node_a, c_p2);
    EXPECT_EQ(f.stub.get_client_count(), 3u);

    std::string payload(1000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    const std::string big(16u << 20, 'x');  // more than the packet memory holds
    struct row {
        const char* name;
        std::function<kova_err_t()> publish;
        kova_err_t result;
        pksize_t size;  // of every packet sent
    };
    const row rows[] = {
        {"payload", [&] { return f.stub.event(payload.data(), 1000); }, c_kova_err_none, 1000},
        {"no payload", [&] { return f.stub.event(); }, c_kova_err_none, 0},
        {"size 0", [&] { return f.stub.event(payload.data(), 0); }, c_kova_err_none, 0},
        {"no data for its size", [&] { return f.stub.event(nullptr, 5); }, c_kova_err_boundout_buffer, 0},
        {"no memory", [&] { return f.stub.event(big.data(), static_cast<pksize_t>(big.size())); },
         c_kova_err_empty_kova_memory, 0},
    };
    msg_num_t last = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const unsigned long at_start = f.rig.remain();
        ASSERT_EQ(r.publish(), r.result);
        if (r.result != c_kova_err_none) {
            EXPECT_TRUE(f.sent().empty());
            EXPECT_EQ(f.rig.remain(), at_start) << "nothing allocated";
            continue;
        }
        // Node a (ordered first), then node b; the stub keeps no reference of its own.
        struct_token t[2];
        ASSERT_TRUE(f.rig.center_receive(t[0]));
        ASSERT_TRUE(f.rig.center_receive(t[1]));
        struct_token extra;
        EXPECT_FALSE(f.rig.center_receive(extra, 0.0)) << "one packet per node, not per client";
        EXPECT_EQ(t[0].data_mm, t[1].data_mm);
        EXPECT_EQ(t[0].has_data(), r.size != 0);
        if (t[0].has_data()) {
            EXPECT_EQ(Common::Global::gp_memory->get_ref(t[0].data_mm), 2);
            EXPECT_EQ(std::string(static_cast<const char*>(t[0].get_data()), r.size), payload.substr(0, r.size));
        }
        const ip_t nodes[] = {c_node_a, c_node_b};
        for (int i = 0; i < 2; ++i) {
            const struct_packet& p = *t[i].get_header_packet();
            EXPECT_EQ(p.header.type, c_mt_event);
            EXPECT_EQ(p.header.code, c_code);
            EXPECT_EQ(p.header.size, r.size);
            EXPECT_EQ(p.header.error, c_kova_err_none);
            EXPECT_EQ(p.header.sid, f.id);
            EXPECT_EQ(p.header.sport, f.d);
            EXPECT_EQ(p.header.did, c_broadcast_proxy_id);
            EXPECT_EQ(p.dst_ip, nodes[i]);
            EXPECT_EQ(p.dst_port, f.d);
            EXPECT_EQ(p.src_ip, c_local_host);
            EXPECT_TRUE(p.header.limit.is_infinite());
            EXPECT_EQ(p.packet_limit_time, DBL_MAX);
            if (last != 0) {
                EXPECT_EQ(p.header.num, static_cast<msg_num_t>(last + 1)) << "the stub's next number";
            }
            last = p.header.num;
        }
        for (struct_token& token : t) Common::Interface::safe_free_token(token, __FILE__, __LINE__);
        EXPECT_EQ(f.rig.remain(), at_start);
    }
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_event, publishing_without_subscribers_or_before_create) {
    sdk_rig rig(1);
    const test_domain_scope d(3);
    event_stub stub;
    const char data[] = "abcdef";
    EXPECT_EQ(stub.event(data, 6), c_kova_err_is_not_created);
    EXPECT_EQ(stub.event(), c_kova_err_is_not_created);
    EXPECT_EQ(stub.get_client_count(), 0u);
    ASSERT_NE(rig.create_announced(stub, d), 0);
    const unsigned long before = rig.remain();
    EXPECT_EQ(stub.event(data, 6), c_kova_err_none);
    EXPECT_EQ(stub.event(), c_kova_err_none);
    EXPECT_EQ(rig.remain(), before) << "no block left allocated";
    struct_packet p;
    EXPECT_FALSE(rig.center_receive(p, 0.0));
}

TEST(kova_object_event, what_on_shutdown_learns_of_each_end) {
    event_fixture f(4);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.subscribe(c_node_a, c_p1);
    f.subscribe(c_node_a, c_p2);
    f.subscribe(c_node_b, c_p3);
    f.subscribe(c_node_b, c_p4);
    // One listener takes the packets in the order pushed: only the last is waited for.
    packet_spec shutdown = f.from(c_mt_event_shutdown, c_node_a, c_p1);
    f.rig.push_listen(shutdown);
    packet_spec stranger = f.from(c_mt_event_shutdown, c_node_a, c_stranger);
    stranger.error = c_kova_err_remote_timeout;
    f.rig.push_listen(stranger);
    f.rig.push_listen(f.from(c_mt_event_shutdown, c_node_a, c_p2, c_code + 1));  // another code: ignored
    f.rig.push_listen(f.control(c_mccr_object_destroy, c_node_a, c_stranger, f.id, c_kova_err_object_is_not_exist));
    f.rig.push_listen(f.control(c_mccr_object_destroy, c_node_a, c_p2, f.id, c_kova_err_object_is_not_exist));
    // As the center reports a lost link: from the node, to every stub of the process.
    f.rig.push_listen(f.control(c_mccr_tcp_disconnected_from_client, c_node_b, c_broadcast_proxy_id,
                                c_broadcast_stub_id, c_kova_err_disconnected_tcp));
    const std::vector<heard> want = {
        {'s', client_of(c_node_a, f.d, c_p1), c_kova_err_none},
        {'s', client_of(c_node_a, f.d, c_stranger), c_kova_err_remote_timeout},
        {'s', client_of(c_node_a, f.d, c_p2), c_kova_err_object_is_not_exist},
        {'s', client_of(c_node_b, f.d, c_p3), c_kova_err_disconnected_tcp},
        {'s', client_of(c_node_b, f.d, c_p4), c_kova_err_disconnected_tcp},
        {'t', client_of(c_node_b, f.d, 0), 0},
    };
    ASSERT_TRUE(f.stub.wait_log(want.size()));
    // The listener took them in order: the last one heard, the others are done too.
    EXPECT_TRUE(f.sent().empty()) << "the stub answers none of them";
    expect_heard(f.stub.log(), want);
    EXPECT_EQ(f.stub.get_client_count(), 0u);
    EXPECT_EQ(f.stub.event(), c_kova_err_none);
    EXPECT_TRUE(f.sent().empty()) << "nobody is left to send to";
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_event, an_answer_that_never_leaves_takes_the_subscription_back) {
    event_fixture f(5, 2);
    ASSERT_NE(f.id, 0);
    struct row {
        const char* name;
        bool shut;  // the center pipe refuses for good instead of staying full
        kova_err_t on_connect_result;
    };
    const row rows[] = {{"confirm, full pipe", false, 0}, {"reject, full pipe", false, 7}, {"confirm, shut pipe", true, 0}};
    object_id_t proxy = c_p1;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        f.stub.m_answer = r.on_connect_result;
        if (r.shut) f.rig.m_center.proc_shutdown();
        else f.rig.fill_center();
        const std::size_t heard_before = f.stub.log().size();
        packet_spec s = f.from(c_mt_event_connect, c_node_a, proxy);
        s.limit = 0.3;
        f.rig.push_listen(s);
        ASSERT_TRUE(f.stub.wait_log(heard_before + 1));
        const heard h = f.stub.log().back();
        EXPECT_EQ(h.kind, 's');
        EXPECT_TRUE(same(h.client, client_of(c_node_a, f.d, proxy)));
        EXPECT_EQ(h.error, c_kova_err_busy_localhost);
        EXPECT_EQ(f.stub.get_client_count(), 0u);
        if (!r.shut) {
            for (const received& p : f.sent()) EXPECT_EQ(p.packet.header.type, c_mt_ctrl) << "only the fillers";
        }
        ++proxy;
    }
}

TEST(kova_object_event, the_stubs_disconnects_reach_what_they_name_and_call_no_on_shutdown) {
    event_fixture f(6);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    const node_addr_t node_a(c_node_a, f.d);
    struct target {
        ip_t ip;
        object_id_t did;
    };
    struct row {
        const char* name;
        std::function<void()> disconnect;
        std::vector<target> reached;
        unsigned left;
    };
    const row rows[] = {
        {"every client by address", [&] { f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1)); },
         {{c_node_a, c_broadcast_proxy_id}, {c_node_b, c_broadcast_proxy_id}}, 0},
        {"every client", [&] { f.stub.disconnect_all_client_object(); },
         {{c_node_a, c_broadcast_proxy_id}, {c_node_b, c_broadcast_proxy_id}}, 0},
        {"one node by address", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_broadcast_proxy_id)); },
         {{c_node_a, c_broadcast_proxy_id}}, 1},
        {"one node", [&] { f.stub.disconnect_one_client_node(node_a); }, {{c_node_a, c_broadcast_proxy_id}}, 1},
        {"one client by address", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_p1)); }, {{c_node_a, c_p1}}, 2},
        {"one client", [&] { f.stub.disconnect_one_client_object(client_of(c_node_a, f.d, c_p1)); },
         {{c_node_a, c_p1}}, 2},
        {"a client never subscribed", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_stranger)); }, {}, 3},
        {"a node never subscribed", [&] { f.stub.disconnect_one_client_node(node_addr_t(0x0C00000Au, f.d)); }, {}, 3},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        f.subscribe(c_node_a, c_p1);
        f.subscribe(c_node_a, c_p2);
        f.subscribe(c_node_b, c_p3);
        r.disconnect();
        const std::vector<received> out = f.sent();
        ASSERT_EQ(out.size(), r.reached.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            const struct_packet& p = out[i].packet;
            EXPECT_EQ(p.header.type, c_mt_event_disconnect);
            EXPECT_EQ(p.header.code, c_code);
            EXPECT_EQ(p.header.size, 0u);
            EXPECT_FALSE(out[i].has_data);
            EXPECT_EQ(p.header.sid, f.id);
            EXPECT_EQ(p.dst_ip, r.reached[i].ip);
            EXPECT_EQ(p.dst_port, f.d);
            EXPECT_EQ(p.header.did, r.reached[i].did);
            EXPECT_TRUE(p.header.limit.is_infinite());
        }
        EXPECT_EQ(f.stub.get_client_count(), r.left);
        f.stub.disconnect_all_client_object();
        f.sent();
    }
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
    // Not created: nobody is told anything.
    f.stub.disconnect_all_client_object();
    f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1));
    EXPECT_TRUE(f.sent().empty());
}

TEST(kova_object_event, a_destroy_forgets_every_client_without_telling_them) {
    struct row {
        const char* name;
        bool in_callback;  // destroyed from inside on_connect: carried out after the packet
    };
    for (const row& r : {row{"by the application", false}, row{"from a callback", true}}) {
        SCOPED_TRACE(r.name);
        event_fixture f(7);
        ASSERT_NE(f.id, 0);
        const unsigned long before = f.rig.remain();
        f.subscribe(c_node_a, c_p1);
        if (r.in_callback) f.stub.in_connect = [&] { EXPECT_EQ(f.stub.destroy(), c_kova_err_none); };
        else ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
        if (r.in_callback) f.subscribe(c_node_b, c_p3);
        // A destroy from a callback leaves at the end of the packet.
        const std::vector<received> out = f.sent(r.in_callback ? 0.2 : 0.0);
        ASSERT_EQ(out.size(), 1u) << "the announcement alone";
        EXPECT_EQ(out[0].packet.header.code, c_mccr_object_destroy);
        f.stub.in_connect = nullptr;
        // The same object again: nobody is subscribed any more.
        ASSERT_EQ(f.stub.create(f.d, f.id), c_kova_err_none);
        EXPECT_EQ(f.stub.get_client_count(), 0u);
        EXPECT_EQ(f.stub.event("x", 1), c_kova_err_none);
        const std::vector<received> after = f.sent();
        ASSERT_EQ(after.size(), 1u) << "the create alone";
        EXPECT_EQ(after[0].packet.header.code, c_mccr_object_create);
        EXPECT_TRUE(f.stub.log().empty());
        ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
        f.sent();
        EXPECT_TRUE(f.rig.wait_remain(before));
    }
}

namespace {

class attached_event : public kova_object_event {
public:
    attached_event(msg_code_t in_code, kova_object const& in_object) : kova_object_event(in_code, in_object) {}
    using kova_object_event::get_client_count;
};

// An integrated event built before an attached signal: the event was made on the fresh
// core that the signal drops, and must come along to the given object.
class event_then_attached_signal : public kova_object_event, public kova_object_signal {
public:
    event_then_attached_signal(msg_code_t in_code, kova_object const& in_object)
        : kova_object_event(in_code), kova_object_signal(in_code + 1, in_object, nullptr) {}
    using kova_object_event::get_client_count;
};

template <typename attached_t>
void attached_serves_under_the_given_object(int in_test) {
    sdk_rig rig(1);
    const test_domain_scope d(in_test);
    const unsigned long before = rig.remain();
    kova_object owner;
    const object_id_t id = rig.create_announced(owner, d);
    ASSERT_NE(id, 0);
    attached_t* attached = new attached_t(c_code, owner);
    EXPECT_EQ(attached->_op, owner._op);
    EXPECT_EQ(owner._op->event_map.count(c_code), 1u);
    packet_spec s{c_mt_event_connect, c_code, c_p1, id, 1, d, d};
    s.src_ip = c_node_a;
    rig.push_listen(s);
    struct_packet answer;
    ASSERT_TRUE(rig.center_receive(answer));
    EXPECT_EQ(answer.header.type, c_mt_event_confirm);
    EXPECT_EQ(answer.header.sid, id);
    EXPECT_EQ(attached->get_client_count(), 1u);
    // Ending it destroys the object it is attached to, and its handler leaves the core.
    delete attached;
    EXPECT_FALSE(owner.is_created());
    ASSERT_TRUE(rig.center_receive(answer));
    EXPECT_EQ(answer.header.code, c_mccr_object_destroy);
    EXPECT_TRUE(owner._op->event_map.empty());
    EXPECT_TRUE(rig.wait_remain(before));
}

}  // namespace

TEST(kova_object_event, attached_form_serves_under_the_given_object) {
    attached_serves_under_the_given_object<attached_event>(8);
}

TEST(kova_object_event, an_attached_kind_takes_an_event_built_before_it_along) {
    attached_serves_under_the_given_object<event_then_attached_signal>(9);
}
