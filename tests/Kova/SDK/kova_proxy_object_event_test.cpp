// The event proxy: what async_connect and async_connect_return make of each outcome,
// events while subscribed, the ways a subscription ends, serial delivery, and the
// races between the stub's answer, the wait and the binding.
#include "Kova/Common/Open/Kova/kova_proxy_object_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 21;
constexpr ip_t c_ten_0_0_1 = 0x0100000Au;

struct seen_event {
    bool has_data;
    std::vector<unsigned char> bytes;
    pksize_t size;
    double elapsed;
};

// Records its events, and in the shared log "ended" when the stub's side ended the
// subscription.
class event_proxy : public connection_recording<kova_proxy_object_event> {
public:
    explicit event_proxy(msg_code_t in_code = c_code) : connection_recording(in_code) {}
    std::vector<seen_event> events() { return m_events.items(); }
    // Run inside the callbacks, on the listener.
    std::function<void()> during_event;
    std::function<void()> after_create;

private:
    void on_event(const void* pin_data, const pksize_t& in_size, const double& in_elapsed) override {
        seen_event e{pin_data != nullptr, {}, in_size, in_elapsed};
        const unsigned char* data = static_cast<const unsigned char*>(pin_data);
        if (data) e.bytes.assign(data, data + in_size);
        if (during_event) during_event();
        m_events.add(e);
    }
    void on_object_create() override {
        recording::on_object_create();
        if (after_create) after_create();
    }
    locked_list<seen_event> m_events;
};

struct live_event : live_proxy<event_proxy> {
    explicit live_event(int in_test) : live_proxy(in_test, c_code) {}
};

// Asks for the subscription and has the stub confirm it.
bool subscribe(proxy_rig& w, event_proxy& in_proxy) {
    return w.connect_confirmed(in_proxy, c_mt_event_connect, c_mt_event_confirm);
}

// An event of the stub to the node (every proxy of the domain), or to in_did alone.
packet_spec event(const proxy_rig& w, msg_num_t in_num, std::size_t in_payload = 0,
                  object_id_t in_did = c_broadcast_proxy_id) {
    packet_spec s = w.from_stub(c_mt_event, c_code, in_did, in_num);
    s.payload = in_payload;
    s.limit = DBL_MAX;  // events carry no time limit
    return s;
}

// Holds every block the packet memory grants until released: no header block is left.
struct memory_hog {
    memory_hog() {
        for (std::size_t size = std::size_t(1) << 22; size >= 64; size /= 2)
            for (Pimo::Memory::mm_t mm = 0;
                 Common::Interface::eproc_alloc_data(mm, size, __FILE__, __LINE__) == c_kova_err_none; mm = 0)
                held.push_back(mm);
        for (Pimo::Memory::mm_t mm = 0; Common::Interface::eproc_alloc_header(mm, __FILE__, __LINE__) == c_kova_err_none;
             mm = 0)
            held.push_back(mm);
    }
    ~memory_hog() {
        for (Pimo::Memory::mm_t& mm : held) Common::Interface::safe_free_mm(mm, __FILE__, __LINE__);
    }
    std::vector<Pimo::Memory::mm_t> held;
};

}  // namespace

TEST(kova_proxy_object_event, async_connect_refuses_as_the_table_says_and_leaves_nothing_behind) {
    proxy_rig w(1);
    event_proxy proxy;
    const unsigned long before = w.baseline;
    struct_packet p;
    auto outcome = [&] {
        double elapsed = -1;
        const kova_err_t r = proxy.async_connect_return(proxy.async_connect(1.0), &elapsed);
        EXPECT_EQ(elapsed, -1);  // an error form carries no time
        return r;
    };
    EXPECT_EQ(outcome(), c_kova_err_is_not_created);
    EXPECT_EQ(proxy.async_connect_return(nullptr, nullptr), c_kova_err_null_return_object);
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    EXPECT_EQ(outcome(), c_kova_err_not_connected_tcp);
    w.control(c_mccr_tcp_connected_to_server, id);
    ASSERT_TRUE(kova_test::wait_until([&] { return proxy.is_connected_tcp(); }, 5.0));
    EXPECT_EQ(outcome(), c_kova_err_object_is_not_exist);
    ASSERT_TRUE(w.make_live(proxy));
    {
        memory_hog hog;
        EXPECT_EQ(outcome(), c_kova_err_empty_kova_memory);
    }
    w.rig.fill_center();
    EXPECT_EQ(outcome(), c_kova_err_busy_localhost);
    while (w.rig.center_receive(p, 0.0)) {
    }
    EXPECT_TRUE(w.rig.wait_remain(before));

    ASSERT_TRUE(subscribe(w, proxy));
    EXPECT_EQ(outcome(), c_kova_err_already_connected);
    EXPECT_FALSE(w.rig.center_receive(p, 0.2)) << "nothing was sent for the refusals";
    EXPECT_TRUE(w.rig.wait_remain(before));
}

TEST(kova_proxy_object_event, async_connect_return_reports_each_answer) {
    live_event e(2);
    ASSERT_TRUE(e.live);
    expect_each_connect_answer(
        e, c_code,
        {
            {"confirmed", false, c_reply, c_mt_event_confirm, 0, c_local_host, 5.0, c_kova_err_none, true},
            {"the stub's on_connect result", false, c_reply, c_mt_event_reject, 77, c_local_host, 5.0, 77, false},
            {"code not served", false, c_reply, c_mt_event_reject, 3, c_local_host, 5.0, c_kova_err_not_support_code,
             false},
            {"a center could not deliver", false, c_reply, c_mt_event_reject, c_kova_err_not_connected_tcp, c_local_host,
             5.0, c_kova_err_not_connected_tcp, false},
            {"the stub went during the wait", false, c_wake, c_mccr_object_destroy, c_kova_err_object_is_not_exist, 0,
             30.0, c_kova_err_object_is_not_exist, false},
            {"the link went during the wait", false, c_wake, c_mccr_tcp_disconnected_from_server,
             c_kova_err_disconnected_tcp, 0, 30.0, c_kova_err_disconnected_tcp, false},
            {"no answer in time", false, c_nothing, 0, 0, 0, 0.3, c_kova_err_local_timeout, false},
        },
        [&](const connect_answer_row& in_row) { return e.proxy.async_connect(in_row.limit); },
        [](const connect_answer_row&) { return c_mt_event_connect; },
        [](const connect_answer_row&) { return c_mt_event_shutdown; });
}

TEST(kova_proxy_object_event, events_reach_on_event_only_while_subscribed_and_only_from_the_bound_stub) {
    live_event e(3);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    msg_num_t num = 100;
    e.w.rig.push_listen(event(e.w, ++num, 8));  // not subscribed yet
    ASSERT_TRUE(e.w.rig.wait_remain(before));
    ASSERT_TRUE(subscribe(e.w, e.proxy));

    const std::size_t block = sdk_rig::block_capacity(16);
    struct row {
        const char* name;
        std::size_t payload;
        long header_size;  // -1: the payload's
        object_id_t sid;
        ip_t ip;
        msg_code_t code;
        object_id_t did;
        bool delivered;
        bool has_data;
        std::size_t size;
    };
    const object_id_t node = c_broadcast_proxy_id;
    const row rows[] = {
        {"with payload", 100, -1, c_stub_id, c_local_host, c_code, node, true, true, 100},
        {"without payload", 0, -1, c_stub_id, c_local_host, c_code, node, true, false, 0},
        {"a size beyond the block", 16, 60000, c_stub_id, c_local_host, c_code, node, true, true, block},
        {"a size without a block", 0, 100, c_stub_id, c_local_host, c_code, node, true, false, 0},
        {"to this proxy alone", 4, -1, c_stub_id, c_local_host, c_code, e.id, true, true, 4},
        {"another stub", 4, -1, c_stub_id + 1, c_local_host, c_code, node, false, false, 0},
        {"another host", 4, -1, c_stub_id, c_ten_0_0_1, c_code, node, false, false, 0},
        {"a code without handler", 4, -1, c_stub_id, c_local_host, c_code + 1, node, false, false, 0},
    };
    std::vector<const row*> expected;
    for (const row& r : rows) {
        packet_spec s = e.w.from_stub(c_mt_event, r.code, r.did, ++num, r.sid, r.ip);
        s.payload = r.payload;
        struct_token t = e.w.rig.make(s);
        if (r.header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(r.header_size);
        e.w.rig.push_listen_waiting(t);
        if (r.delivered) expected.push_back(&r);
    }
    ASSERT_TRUE(e.w.rig.wait_remain(before));
    const std::vector<seen_event> got = e.proxy.events();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(expected[i]->name);
        EXPECT_EQ(got[i].has_data, expected[i]->has_data);
        EXPECT_EQ(got[i].size, expected[i]->size);
        // Byte i of a payload holds i; past the payload the block holds what it held.
        for (std::size_t b = 0; b < got[i].bytes.size() && b < expected[i]->payload; ++b)
            ASSERT_EQ(got[i].bytes[b], static_cast<unsigned char>(b));
        EXPECT_GE(got[i].elapsed, 0.0);
        EXPECT_LT(got[i].elapsed, 1.0);
    }

    // Ended by the stub: events of the code are ignored again.
    e.w.rig.push_listen(e.w.from_stub(c_mt_event_disconnect, c_code, node, ++num));
    e.w.rig.push_listen(event(e.w, ++num, 8));
    ASSERT_TRUE(e.w.rig.wait_remain(before));
    EXPECT_EQ(e.proxy.events().size(), expected.size());
    EXPECT_FALSE(e.proxy.is_connected());
}

TEST(kova_proxy_object_event, every_proxy_of_the_node_times_its_event_without_writing_the_shared_header_block) {
    proxy_rig w(4, 4);
    event_proxy a, b;
    ASSERT_NE(w.create(a), 0);
    ASSERT_NE(w.create(b), 0);
    ASSERT_TRUE(w.make_live(a));
    ASSERT_TRUE(w.make_live(b));
    ASSERT_TRUE(subscribe(w, a));
    ASSERT_TRUE(subscribe(w, b));
    const unsigned long before = w.baseline;
    // One packet for the node: both proxies are handed the same header block.
    struct_token t = w.rig.make(event(w, 7, 32));
    Common::Interface::safe_add_ref_token(t, __FILE__, __LINE__);
    struct_packet seen_by_a, seen_by_b;
    a.during_event = [&] { seen_by_a = *t.get_header_packet(); };
    b.during_event = [&] { seen_by_b = *t.get_header_packet(); };
    Pimo::OS::msleep(20);  // the stub's event has lived a while
    sdk_rig::push(w.rig.m_listen, t);
    ASSERT_TRUE(kova_test::wait_until([&] { return a.events().size() == 1 && b.events().size() == 1; }, 5.0));
    EXPECT_EQ(seen_by_a.arrival_cpu_clock_counter, seen_by_b.arrival_cpu_clock_counter);
    EXPECT_EQ(seen_by_a.packet_live_time, seen_by_b.packet_live_time);
    for (event_proxy* p : {&a, &b}) {
        EXPECT_GE(p->events()[0].elapsed, 0.02);
        EXPECT_LT(p->events()[0].elapsed, 1.0);
    }
    Common::Interface::safe_free_token(t, __FILE__, __LINE__);
    EXPECT_TRUE(w.rig.wait_remain(before));
}

TEST(kova_proxy_object_event, the_ways_a_subscription_ends) {
    live_event e(5);
    ASSERT_TRUE(e.live);
    struct_packet p;
    msg_num_t num = 200;

    // The proxy's shutdown tells the stub, once, and only while subscribed.
    e.proxy.shutdown();
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.2));
    ASSERT_TRUE(subscribe(e.w, e.proxy));
    e.proxy.shutdown();
    e.proxy.shutdown();
    ASSERT_TRUE(e.w.rig.center_receive(p));
    expect_shutdown_notice(p, c_mt_event_shutdown, c_code, e.id);
    EXPECT_EQ(p.header.num, 2);  // the next number after the connect's
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.2));
    EXPECT_FALSE(e.proxy.is_connected());

    ASSERT_TRUE(subscribe(e.w, e.proxy));
    expect_the_ends_from_the_stubs_side(e, c_code, c_mt_event_disconnect, num, [&] { return subscribe(e.w, e.proxy); });

    // Subscribing again from on_object_create works; the stub answers meanwhile.
    std::atomic<kova_err_t> again{0xFFFFFFFFu};
    e.proxy.after_create = [&] { again = e.proxy.async_connect_return(e.proxy.async_connect(5.0), nullptr); };
    std::thread stub([&] {
        struct_packet request;
        if (e.w.rig.center_receive(request)) e.w.answer(request, c_mt_event_confirm, 0);
    });
    e.w.control(c_mccr_object_create, e.id);
    stub.join();
    ASSERT_TRUE(kova_test::wait_until([&] { return again.load() != 0xFFFFFFFFu; }, 5.0));
    EXPECT_EQ(again.load(), c_kova_err_none);
    EXPECT_TRUE(e.proxy.is_connected());
    e.w.rig.push_listen(event(e.w, ++num));
    ASSERT_TRUE(kova_test::wait_until([&] { return e.proxy.events().size() == 1; }, 5.0));

    // Destroying the proxy drops the subscription without a word to the application.
    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    EXPECT_FALSE(e.proxy.is_connected());
    ASSERT_TRUE(e.w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    EXPECT_EQ(e.proxy.log(), log_t({"create", "ended", "ended", "destroy", "create", "ended", "destroy",
                                    "disconnected", "create"}));
}

TEST(kova_proxy_object_event, events_of_one_code_reach_the_handler_one_at_a_time_in_arrival_order) {
    proxy_rig w(6, 4);
    event_proxy proxy;
    ASSERT_NE(w.create(proxy), 0);
    ASSERT_TRUE(w.make_live(proxy));
    ASSERT_TRUE(subscribe(w, proxy));
    overlap_meter meter;
    proxy.during_event = [&] { meter.run(2); };
    const unsigned long before = w.baseline;
    const std::size_t n = 40;
    for (std::size_t i = 1; i <= n; ++i) w.rig.push_listen_waiting(w.rig.make(event(w, static_cast<msg_num_t>(i), i)));
    ASSERT_TRUE(kova_test::wait_until([&] { return proxy.events().size() == n; }, 10.0));
    EXPECT_EQ(meter.most.load(), 1);
    const std::vector<seen_event> got = proxy.events();
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(got[i].size, i + 1);
    EXPECT_TRUE(w.rig.wait_remain(before));
}

TEST(kova_proxy_object_event, a_confirm_stored_as_the_wait_runs_out_is_answered_as_a_late_one) {
    live_event e(7);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    const double start = kova_test::now_s();
    return_object_t ro = e.proxy.async_connect(0.6);
    struct_packet request;
    ASSERT_TRUE(e.w.rig.center_receive(request));
    waiting_thread waiter([&] { return e.proxy.async_connect_return(ro, nullptr); });
    // Asleep, the waiter waits for the record without the read lock.
    EXPECT_TRUE(waiter.asleep());
    {
        // Its wait runs out while a writer keeps it from the record; the confirm is stored
        // after the wait ended and before the waiter takes the record back.
        Pimo::OS::class_write_locker lock(e.w.rig.m_processor);
        while (kova_test::now_s() - start < 1.0) Pimo::OS::msleep(10);
        e.w.answer(request, c_mt_event_confirm, 0);
        EXPECT_TRUE(kova_test::wait_until([&] { return e.w.rig.m_processor->is_returned(*ro->p_value); }, 5.0));
    }
    EXPECT_EQ(waiter.join(), c_kova_err_local_timeout);
    EXPECT_FALSE(e.proxy.is_connected());
    // The stub set up a subscriber that is not there: it hears so, as from the returner.
    struct_packet p;
    ASSERT_TRUE(e.w.rig.center_receive(p));
    expect_shutdown_notice(p, c_mt_event_shutdown, c_code, e.id, c_kova_err_remote_timeout);
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_event, a_confirm_for_a_stub_that_went_during_the_wait_subscribes_nothing) {
    live_event e(8);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    return_object_t ro = e.proxy.async_connect(10.0);
    struct_packet request;
    ASSERT_TRUE(e.w.rig.center_receive(request));
    waiting_thread waiter([&] { return e.proxy.async_connect_return(ro, nullptr); });
    // The listener hears of the stub's end before the returner has the confirm.
    e.w.control(c_mccr_object_destroy, e.id);
    ASSERT_TRUE(kova_test::wait_until([&] { return !e.proxy.is_live(); }, 5.0));
    e.w.answer(request, c_mt_event_confirm, 0);
    EXPECT_EQ(waiter.join(), c_kova_err_object_is_not_exist);
    EXPECT_FALSE(e.proxy.is_connected());
    // The stub back: a subscription can be asked for again.
    ASSERT_TRUE(e.w.make_live(e.proxy));
    EXPECT_TRUE(subscribe(e.w, e.proxy));
    e.proxy.shutdown();
    ASSERT_TRUE(e.w.rig.center_receive(request));
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_event, a_confirm_for_an_identity_destroyed_during_the_wait_subscribes_nothing) {
    live_event e(9);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    return_object_t ro = e.proxy.async_connect(10.0);
    struct_packet request, p;
    ASSERT_TRUE(e.w.rig.center_receive(request));
    waiting_thread waiter([&] { return e.proxy.async_connect_return(ro, nullptr); });
    // Asleep, the waiter waits for the record without the read lock.
    EXPECT_TRUE(waiter.asleep());
    {
        // Woken by the confirm, the waiter finds the identity destroyed before it looks.
        Pimo::OS::class_write_locker lock(e.w.rig.m_processor);
        e.w.answer(request, c_mt_event_confirm, 0);
        EXPECT_TRUE(kova_test::wait_until([&] { return e.w.rig.m_processor->is_returned(*ro->p_value); }, 5.0));
        EXPECT_EQ(e.proxy._pp->destroy(), c_kova_err_none);
    }
    EXPECT_EQ(waiter.join(), c_kova_err_is_not_created);
    EXPECT_FALSE(e.proxy.is_connected());
    ASSERT_TRUE(e.w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    // Created again with the same stub: a subscription can be asked for again.
    ASSERT_NE(e.w.create(e.proxy), 0);
    ASSERT_TRUE(e.w.make_live(e.proxy));
    EXPECT_TRUE(subscribe(e.w, e.proxy));
    e.proxy.shutdown();
    ASSERT_TRUE(e.w.rig.center_receive(p));
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}
