// The information proxy: what async_connect and async_connect_return make of each
// outcome for both kinds, one connect at a time, values of the subscribed kind into the
// history and on_sync, reading, and every way a subscription ends emptying the history.
#include "Kova/Common/Open/Kova/kova_proxy_object_information.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <functional>
#include <mutex>
#include <vector>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 51;

struct seen_value {
    sender_sync_model_t model;
    double elapsed;
    double limit;
    std::vector<unsigned char> bytes;
    pksize_t size;
};

// Records its values, and in the shared log "ended" when the stub's side ended the
// subscription.
class information_proxy : public connection_recording<kova_proxy_object_information> {
public:
    explicit information_proxy(msg_code_t in_code = c_code) : connection_recording(in_code) {}
    std::vector<seen_value> values() { return m_values.items(); }

private:
    void on_sync(const sender_sync_model_t& in_model, const double& in_elapsed, const double& in_limit,
                 const void* const pin_buffer, const pksize_t in_size) override {
        seen_value v{in_model, in_elapsed, in_limit, {}, in_size};
        const unsigned char* data = static_cast<const unsigned char*>(pin_buffer);
        if (data) v.bytes.assign(data, data + in_size);
        m_values.add(v);
    }
    locked_list<seen_value> m_values;
};

struct live_information : live_proxy<information_proxy> {
    explicit live_information(int in_test) : live_proxy(in_test, c_code) {}
};

msg_type_t confirm_of(bool in_udp) { return in_udp ? c_mt_information_udp_confirm : c_mt_information_tcp_confirm; }
msg_type_t value_of(bool in_udp) { return in_udp ? c_mt_information_udp : c_mt_information_tcp; }

// Asks for the subscription and has the stub confirm it through interface in_if.
bool subscribe(proxy_rig& w, information_proxy& in_proxy, bool in_udp, ip_t in_if = c_local_host) {
    return_object_t ro = in_proxy.async_connect(in_udp, 5.0);
    struct_packet request;
    if (!w.rig.center_receive(request)) return false;
    w.answer(request, confirm_of(in_udp), 0, 0, -1, in_if);
    return in_proxy.async_connect_return(ro, nullptr) == c_kova_err_none && in_proxy.is_connected();
}

// A value of the stub to the node: payload bytes i hold i + in_first.
struct_token value(proxy_rig& w, bool in_udp, msg_num_t in_num, std::size_t in_payload, double in_limit = DBL_MAX,
                   unsigned char in_first = 0) {
    packet_spec s = w.from_stub(value_of(in_udp), c_code, c_broadcast_proxy_id, in_num);
    s.payload = in_payload;
    s.limit = in_limit;
    struct_token t = w.rig.make(s);
    unsigned char* data = static_cast<unsigned char*>(t.get_data());
    for (std::size_t i = 0; i < in_payload; ++i) data[i] = static_cast<unsigned char>(i + in_first);
    return t;
}

}  // namespace

TEST(kova_proxy_object_information, async_connect_refuses_as_the_table_says_and_one_connect_at_a_time) {
    proxy_rig w(1);
    information_proxy proxy;
    const unsigned long before = w.baseline;
    struct_packet p;
    auto outcome = [&](bool in_udp) { return proxy.async_connect_return(proxy.async_connect(in_udp, 1.0), nullptr); };
    EXPECT_EQ(outcome(true), c_kova_err_is_not_created);
    EXPECT_EQ(proxy.async_connect_return(nullptr, nullptr), c_kova_err_null_return_object);
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    EXPECT_EQ(outcome(false), c_kova_err_not_connected_tcp);
    w.control(c_mccr_tcp_connected_to_server, id);
    ASSERT_TRUE(kova_test::wait_until([&] { return proxy.is_connected_tcp(); }, 5.0));
    EXPECT_EQ(outcome(true), c_kova_err_object_is_not_exist);
    ASSERT_TRUE(w.make_live(proxy));
    w.rig.fill_center();
    EXPECT_EQ(outcome(true), c_kova_err_busy_localhost);
    while (w.rig.center_receive(p, 0.0)) {
    }
    EXPECT_TRUE(w.rig.wait_remain(before));

    // While a connect is not collected, another is refused without a packet; once it is
    // collected (here by its time-out), the next one goes.
    return_object_t first = proxy.async_connect(true, 0.2);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.type, c_mt_information_udp_connect);
    EXPECT_EQ(proxy.async_connect_return(proxy.async_connect(false, 1.0), nullptr), c_kova_err_already_connected);
    EXPECT_FALSE(w.rig.center_receive(p, 0.1));
    EXPECT_EQ(proxy.async_connect_return(first, nullptr), c_kova_err_local_timeout);
    ASSERT_TRUE(subscribe(w, proxy, false));
    EXPECT_EQ(outcome(true), c_kova_err_already_connected);
    EXPECT_FALSE(w.rig.center_receive(p, 0.1)) << "nothing was sent for the refusals";

    // A destroy lets an uncollected connect go with the identity.
    proxy.shutdown();
    ASSERT_TRUE(w.rig.center_receive(p));
    return_object_t orphan = proxy.async_connect(true, 5.0);
    ASSERT_TRUE(w.rig.center_receive(p));
    ASSERT_EQ(proxy.destroy(), c_kova_err_none);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    ASSERT_NE(w.create(proxy), 0);
    ASSERT_TRUE(w.make_live(proxy));
    ASSERT_TRUE(subscribe(w, proxy, true));
    EXPECT_EQ(proxy.async_connect_return(orphan, nullptr), c_kova_err_is_not_created);
    EXPECT_TRUE(proxy.is_connected()) << "the old return object leaves the new subscription alone";
    proxy.shutdown();
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_TRUE(w.rig.wait_remain(before));
}

TEST(kova_proxy_object_information, async_connect_return_reports_each_answer_of_both_kinds) {
    live_information e(2);
    ASSERT_TRUE(e.live);
    expect_each_connect_answer(
        e, c_code,
        {
            {"tcp confirmed", false, c_reply, c_mt_information_tcp_confirm, 0, c_local_host, 5.0, 0, true},
            {"udp confirmed on an interface", true, c_reply, c_mt_information_udp_confirm, 0, 0x0A0A0A0Au, 5.0, 0,
             true},
            {"the stub's on_connect result", true, c_reply, c_mt_information_udp_reject, 77, 0x0B0A0A0Au, 5.0, 77,
             false},
            {"code not served", false, c_reply, c_mt_information_tcp_reject, 3, c_local_host, 5.0, 3, false},
            {"the stub went during the wait", true, c_wake, c_mccr_object_destroy, c_kova_err_object_is_not_exist, 0,
             30.0, c_kova_err_object_is_not_exist, false},
            {"the link went during the wait", false, c_wake, c_mccr_tcp_disconnected_from_server,
             c_kova_err_disconnected_tcp, 0, 30.0, c_kova_err_disconnected_tcp, false},
            {"no answer in time", true, c_nothing, 0, 0, 0, 0.3, c_kova_err_local_timeout, false},
        },
        [&](const connect_answer_row& in_row) { return e.proxy.async_connect(in_row.udp, in_row.limit); },
        [](const connect_answer_row& in_row) {
            return in_row.udp ? c_mt_information_udp_connect : c_mt_information_tcp_connect;
        },
        // The kind it subscribed by.
        [](const connect_answer_row& in_row) {
            return in_row.udp ? c_mt_information_udp_shutdown : c_mt_information_tcp_shutdown;
        },
        [&](const connect_answer_row& in_row) {
            if (in_row.how == c_wake) {
                ASSERT_TRUE(e.w.make_live(e.proxy));
            }
        });
}

TEST(kova_proxy_object_information, values_of_the_subscribed_kind_reach_the_history_and_on_sync) {
    struct row {
        const char* name;
        bool udp;
    };
    for (const row& r : {row{"tcp", false}, row{"udp", true}}) {
        SCOPED_TRACE(r.name);
        live_information e(3);
        ASSERT_TRUE(e.live);
        const unsigned long before = e.w.baseline;
        unsigned char buffer[64];
        pksize_t size = sizeof(buffer);
        e.w.rig.push_listen_waiting(value(e.w, r.udp, 1, 8));  // not subscribed yet
        ASSERT_TRUE(e.w.rig.wait_remain(before));
        EXPECT_EQ(e.proxy.read(buffer, &size), c_kova_err_empty_history);
        ASSERT_TRUE(subscribe(e.w, e.proxy, r.udp));
        e.proxy.set_history_size(3);
        // Five values of the kind, one of the other kind between them, one of another stub.
        for (int i = 1; i <= 5; ++i) {
            e.w.rig.push_listen_waiting(value(e.w, r.udp, static_cast<msg_num_t>(10 + i), 10 + i,
                                              i == 5 ? 2.0 : DBL_MAX, static_cast<unsigned char>(i)));
            if (i == 2) e.w.rig.push_listen_waiting(value(e.w, !r.udp, 30, 4));
        }
        packet_spec other = e.w.from_stub(value_of(r.udp), c_code, c_broadcast_proxy_id, 31, c_stub_id + 1);
        e.w.rig.push_listen_waiting(e.w.rig.make(other));
        ASSERT_TRUE(kova_test::wait_until([&] { return e.proxy.values().size() == 5; }, 5.0));
        Pimo::OS::msleep(50);
        const std::vector<seen_value> got = e.proxy.values();
        ASSERT_EQ(got.size(), 5u) << "only the subscribed kind from the bound stub";
        for (int i = 1; i <= 5; ++i) {
            const seen_value& v = got[i - 1];
            EXPECT_EQ(v.size, static_cast<pksize_t>(10 + i));
            EXPECT_EQ(v.bytes.front(), i);
            // An infinite limit is the posting model; a finite one the timer's.
            EXPECT_EQ(v.model, i == 5 ? c_sender_sync_model_on_timer : c_sender_sync_model_on_post);
            if (i == 5) {
                // The timer's limit, less the time the value spent on its way (load stretches it).
                EXPECT_NEAR(v.limit + v.elapsed, 2.0, 0.01);
            }
            EXPECT_GE(v.elapsed, 0.0);
            EXPECT_LT(v.elapsed, 1.0);
        }
        {
            // The newest three, newest first, the last sizes the history was given.
            kova_history h(e.proxy.see_history(10));
            ASSERT_EQ(h.size(), 3u);
            for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(h[k].size, 15u - k);
            EXPECT_NEAR(h[0].interval + got[4].elapsed, 2.0, 0.01);
        }
        // Reading: a buffer larger than the value takes its size, a smaller one is filled.
        size = sizeof(buffer);
        EXPECT_EQ(e.proxy.read(buffer, &size), c_kova_err_none);
        EXPECT_EQ(size, 15u);
        EXPECT_EQ(buffer[0], 5);
        EXPECT_EQ(buffer[14], 19);
        size = 4;
        buffer[4] = 0xEE;
        EXPECT_EQ(e.proxy.read(buffer, &size), c_kova_err_none);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(buffer[4], 0xEE);
        EXPECT_EQ(e.proxy.read(nullptr, &size), c_kova_err_boundout_buffer);
        EXPECT_EQ(e.proxy.read(buffer, nullptr), c_kova_err_boundout_buffer);

        // Without on_sync the history still moves on; history size 0 keeps nothing.
        e.proxy.set_sync(false);
        e.w.rig.push_listen_waiting(value(e.w, r.udp, 40, 3, DBL_MAX, 9));
        ASSERT_TRUE(kova_test::wait_until(
            [&] {
                pksize_t n = sizeof(buffer);
                return e.proxy.read(buffer, &n) == c_kova_err_none && buffer[0] == 9;
            },
            5.0));
        EXPECT_EQ(e.proxy.values().size(), 5u);
        e.proxy.set_history_size(0);
        e.w.rig.push_listen_waiting(value(e.w, r.udp, 41, 3));
        ASSERT_TRUE(kova_test::wait_until(
            [&] {
                pksize_t n = sizeof(buffer);
                return e.proxy.read(buffer, &n) == c_kova_err_empty_history;
            },
            5.0));
        {
            kova_history h(e.proxy.see_history(10));
            EXPECT_TRUE(static_cast<bool>(h));
            EXPECT_TRUE(h.empty());
        }
        e.proxy.shutdown();
        struct_packet p;
        ASSERT_TRUE(e.w.rig.center_receive(p));
        EXPECT_TRUE(e.w.rig.wait_remain(before));
    }
}

TEST(kova_proxy_object_information, every_way_a_subscription_ends_empties_the_history) {
    live_information e(4);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    msg_num_t num = 200;
    struct row {
        const char* name;
        bool udp;
        std::function<void()> end;
        const char* heard;  // what the application hears; null: nothing
    };
    const row rows[] = {
        {"the proxy's shutdown", true, [&] { e.proxy.shutdown(); }, nullptr},
        {"the stub's tcp disconnect", false,
         [&] { e.w.rig.push_listen(e.w.from_stub(c_mt_information_tcp_disconnect, c_code, e.id, ++num)); }, "ended"},
        // A disconnect names a kind; whichever it names ends the subscription.
        {"a udp disconnect to a tcp subscriber", false,
         [&] { e.w.rig.push_listen(e.w.from_stub(c_mt_information_udp_disconnect, c_code, e.id, ++num)); }, "ended"},
        {"a disconnect to the whole node", true,
         [&] {
             e.w.rig.push_listen(e.w.from_stub(c_mt_information_udp_disconnect, c_code, c_broadcast_proxy_id, ++num));
         },
         "ended"},
        {"the stub destroyed", true, [&] { e.w.control(c_mccr_object_destroy, e.id); }, "ended"},
        {"the link lost", false, [&] { e.w.control(c_mccr_tcp_disconnected_from_server, e.id); }, "ended"},
        {"the proxy destroyed", true, [&] { EXPECT_EQ(e.proxy.destroy(), c_kova_err_none); }, nullptr},
    };
    struct_packet p;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (!e.proxy.is_created()) {
            ASSERT_NE(e.w.create(e.proxy), 0);
        }
        if (!e.proxy.is_live()) {
            ASSERT_TRUE(e.w.make_live(e.proxy));
        }
        ASSERT_TRUE(subscribe(e.w, e.proxy, r.udp));
        e.w.rig.push_listen_waiting(value(e.w, r.udp, ++num, 16));
        ASSERT_TRUE(kova_test::wait_until([&] { return kova_history(e.proxy.see_history(1)).size() == 1; }, 5.0));
        const std::size_t heard = e.proxy.count();
        r.end();
        ASSERT_TRUE(kova_test::wait_until([&] { return !e.proxy.is_connected(); }, 5.0));
        EXPECT_EQ(kova_history(e.proxy.see_history(10)).letter_case, nullptr);
        if (r.heard) {
            ASSERT_TRUE(kova_test::wait_until([&] { return e.proxy.count() > heard; }, 5.0));
            EXPECT_EQ(e.proxy.log()[heard], r.heard);
        }
        while (e.w.rig.center_receive(p, 0.0)) {
        }
        ASSERT_TRUE(e.w.rig.wait_remain(before)) << "the history let its blocks go";
    }
    // A shutdown while not subscribed sends nothing.
    ASSERT_NE(e.w.create(e.proxy), 0);
    e.proxy.shutdown();
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.2));
}
