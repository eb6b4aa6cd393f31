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

class event_stub : public plain_recording_stub<kova_object_event> {
public:
    explicit event_stub(msg_code_t in_code = c_code) : plain_recording_stub(in_code) {}
    using kova_object_event::event;
};

struct event_fixture : stub_fixture<event_stub> {
    explicit event_fixture(int in_test, unsigned in_center_depth = 16)
        : stub_fixture(in_test, c_code, in_center_depth) {}
};

}  // namespace

TEST(kova_object_event, handshake_as_the_proxy_receives_it) {
    event_fixture f(1);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    expect_handshakes(
        f, {
               {"accepted", c_mt_event_connect, c_code, true, 0, c_mt_event_confirm, 0, true, 1},
               {"refused", c_mt_event_connect, c_code, true, 7, c_mt_event_reject, 7, true, 1},
               {"code without event handler", c_mt_event_connect, c_code + 1, true, 0, c_mt_event_reject,
                c_kova_err_not_support_code, false, 1},
               {"unknown stub", c_mt_event_connect, c_code, false, 0, c_mt_event_reject, c_kova_err_object_is_not_exist,
                false, 1},
           });
    // A client that connects again is asked and confirmed again, and counted once.
    f.stub.m_answer = 0;
    const int connects = f.stub.m_connects;
    f.connect(c_node_a, c_p1);
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
    f.connect(c_node_b, c_p3);
    f.connect(c_node_a, c_p1);
    f.connect(c_node_a, c_p2);
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
    f.connect(c_node_a, c_p1);
    f.connect(c_node_a, c_p2);
    f.connect(c_node_b, c_p3);
    f.connect(c_node_b, c_p4);
    expect_every_end_heard(f, c_mt_event_shutdown, c_mt_event_shutdown, {c_p3, c_p4});
    EXPECT_EQ(f.stub.event(), c_kova_err_none);
    EXPECT_TRUE(f.sent().empty()) << "nobody is left to send to";
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_event, an_answer_that_never_leaves_takes_the_subscription_back) {
    event_fixture f(5, 2);
    ASSERT_NE(f.id, 0);
    expect_unsent_answers_take_the_client_back(f, {{"confirm, full pipe", false, c_mt_event_connect, 0},
                                                   {"reject, full pipe", false, c_mt_event_connect, 7},
                                                   {"confirm, shut pipe", true, c_mt_event_connect, 0}});
}

TEST(kova_object_event, the_stubs_disconnects_reach_what_they_name_and_call_no_on_shutdown) {
    event_fixture f(6);
    ASSERT_NE(f.id, 0);
    expect_the_stubs_disconnects_reach_what_they_name(f, [&] {
        f.connect(c_node_a, c_p1);
        f.connect(c_node_a, c_p2);
        f.connect(c_node_b, c_p3);
    });
}

TEST(kova_object_event, the_subscriber_table_is_free_while_events_and_disconnects_wait_for_the_center_pipe) {
    event_fixture f(10, 2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    expect_the_table_is_free_while_pushes_wait(f, c_mt_event_disconnect, c_mt_event_disconnect, nullptr,
                                               {{"an event", [&] { f.stub.event("e", 1); }, 2, {c_mt_event, c_mt_event}}});
    EXPECT_TRUE(f.destroy_to_baseline(before));
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
        f.connect(c_node_a, c_p1);
        if (r.in_callback) f.stub.in_connect = [&] { EXPECT_EQ(f.stub.destroy(), c_kova_err_none); };
        else ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
        if (r.in_callback) f.connect(c_node_b, c_p3);
        expect_a_destroy_forgets_every_client(
            f, before, r.in_callback, [&] { f.stub.in_connect = nullptr; },
            [&] { EXPECT_EQ(f.stub.event("x", 1), c_kova_err_none); });
    }
}

namespace {

// An integrated event built before an attached signal: the event was made on the fresh
// core that the signal drops, and must come along to the given object.
class event_then_attached_signal : public kova_object_event, public kova_object_signal {
public:
    event_then_attached_signal(msg_code_t in_code, kova_object const& in_object)
        : kova_object_event(in_code), kova_object_signal(in_code + 1, in_object, nullptr) {}
    using kova_object_event::get_client_count;
};

}  // namespace

TEST(kova_object_event, attached_form_serves_under_the_given_object) {
    expect_attached_serves_under_the_given_object<kova_object_event, attached_stub<kova_object_event>>(8, c_code);
}

TEST(kova_object_event, an_attached_kind_takes_an_event_built_before_it_along) {
    expect_attached_serves_under_the_given_object<kova_object_event, event_then_attached_signal>(9, c_code);
}
