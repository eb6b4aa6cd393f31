// The signal proxy: its signals, what async_return and signal make of each
// acknowledgement and failure, late acknowledgements, cancels, and the attached form.
#include "Kova/Common/Open/Kova/kova_proxy_object_signal.h"

#include <gtest/gtest.h>

#include <thread>

#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 11;
const unsigned char c_signal[3] = {9, 8, 7};

struct live_signal : live_proxy<kova_proxy_object_signal> {
    explicit live_signal(int in_test) : live_proxy(in_test, c_code) {}
};

}  // namespace

TEST(kova_proxy_object_signal, async_return_reports_each_acknowledgement) {
    live_signal s(1);
    ASSERT_TRUE(s.live);
    struct row {
        const char* name;
        msg_type_t type;
        kova_err_t error;
        std::size_t payload;
        kova_err_t result;
    };
    const row rows[] = {
        {"acknowledged", c_mt_signal_return, 0, 0, c_kova_err_none},
        {"sync function's result", c_mt_signal_error_return, 5, 0, 5},
        {"code not served", c_mt_signal_error_return, 3, 0, c_kova_err_not_support_code},
        {"no such object", c_mt_signal_error_return, 2, 0, c_kova_err_object_is_not_exist},
        {"an acknowledgement with a block", c_mt_signal_return, 0, 32, c_kova_err_none},
    };
    const unsigned long before = s.w.baseline;
    msg_num_t num = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        return_object_t ro = s.proxy.async_signal(c_signal, sizeof(c_signal), 5.0);
        struct_packet p;
        std::vector<unsigned char> payload;
        ASSERT_TRUE(s.w.rig.center_receive(p, 5.0, &payload));
        EXPECT_EQ(p.header.type, c_mt_signal);
        EXPECT_EQ(p.header.code, c_code);
        EXPECT_EQ(p.header.num, ++num);
        EXPECT_EQ(payload, std::vector<unsigned char>(c_signal, c_signal + sizeof(c_signal)));
        EXPECT_EQ(p.header.did, c_stub_id);
        EXPECT_EQ(p.header.sid, s.id);
        EXPECT_EQ(p.get_data(), nullptr);
        s.w.answer(p, r.type, r.error, r.payload);
        double elapsed = -1;
        EXPECT_EQ(s.proxy.async_return(ro, &elapsed), r.result);
        EXPECT_GE(elapsed, 0.0);
        EXPECT_EQ(s.w.rig.remain(), before);  // the whole reply is released
    }
}

TEST(kova_proxy_object_signal, signal_blocks_until_the_stub_answers) {
    live_signal s(2);
    ASSERT_TRUE(s.live);
    std::thread stub([&] {
        struct_packet p;
        if (s.w.rig.center_receive(p)) s.w.answer(p, c_mt_signal_error_return, 5);
    });
    double elapsed = -1;
    EXPECT_EQ(s.proxy.signal(c_signal, sizeof(c_signal), 5.0, &elapsed), 5u);
    stub.join();
    EXPECT_LT(elapsed, 5.0);
}

TEST(kova_proxy_object_signal, failures_time_outs_and_wakes) {
    proxy_rig w(3);
    kova_proxy_object_signal proxy(c_code);
    const unsigned long before = w.rig.remain();
    struct_packet p;
    EXPECT_EQ(proxy.signal(c_signal, sizeof(c_signal), 1.0, nullptr), c_kova_err_is_not_created);
    EXPECT_EQ(proxy.async_return(nullptr, nullptr), c_kova_err_null_return_object);
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    EXPECT_EQ(proxy.signal(c_signal, sizeof(c_signal), 1.0, nullptr), c_kova_err_not_connected_tcp);
    ASSERT_TRUE(w.make_live(proxy));
    EXPECT_EQ(proxy.signal(nullptr, 1, 1.0, nullptr), c_kova_err_boundout_buffer);
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));

    // No acknowledgement in time; the late one is answered with a signal cancel.
    double elapsed = -1;
    EXPECT_EQ(proxy.signal(c_signal, sizeof(c_signal), 0.2, &elapsed), c_kova_err_local_timeout);
    EXPECT_GE(elapsed, 0.2);
    struct_packet request;
    ASSERT_TRUE(w.rig.center_receive(request));
    w.answer(request, c_mt_signal_return, 0);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.type, c_mt_signal_cancel);
    EXPECT_EQ(p.header.error, c_kova_err_remote_timeout);
    EXPECT_EQ(p.header.did, c_stub_id);
    EXPECT_EQ(p.header.sid, id);

    // A lost link ends a pending signal at once.
    return_object_t ro = proxy.async_signal(c_signal, sizeof(c_signal), 30.0);
    ASSERT_TRUE(w.rig.center_receive(request));
    w.wake(c_mccr_tcp_disconnected_from_server, c_kova_err_disconnected_tcp, id);
    EXPECT_EQ(proxy.async_return(ro, &elapsed), c_kova_err_disconnected_tcp);
    EXPECT_LT(elapsed, 5.0);
    EXPECT_TRUE(w.rig.wait_remain(before));
}

TEST(kova_proxy_object_signal, cancel_and_the_attached_form) {
    proxy_rig w(4);
    kova_proxy_object proxy;
    struct_packet p;
    {
        kova_proxy_object_signal attached(c_code, proxy);
        attached.cancel(6);
        EXPECT_FALSE(w.rig.center_receive(p, 0.2));  // not created: nothing goes out
        const object_id_t id = w.create(proxy);
        ASSERT_NE(id, 0);
        EXPECT_EQ(attached.get_local_object_id(), id);
        EXPECT_EQ(proxy._pp->signal_map.count(c_code), 1u);
        attached.cancel(6);
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.type, c_mt_signal_cancel);
        EXPECT_EQ(p.header.code, c_code);
        EXPECT_EQ(p.header.num, 0);
        EXPECT_EQ(p.header.error, 6u);
        EXPECT_EQ(p.header.did, c_stub_id);
        EXPECT_EQ(p.header.sid, id);
    }
    // The attached signal ended the proxy it shared, and left its state to it.
    EXPECT_FALSE(proxy.is_created());
    EXPECT_EQ(proxy._pp->signal_map.count(c_code), 0u);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
}
