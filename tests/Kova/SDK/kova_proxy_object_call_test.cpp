// The call proxy: its requests, what async_return makes of each reply and of each
// failure, time-outs and late replies, cancels, and the attached form.
#include "Kova/Common/Open/Kova/kova_proxy_object_call.h"
#include "Kova/Common/Open/Kova/kova_proxy_object_signal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 7;
const unsigned char c_request[4] = {1, 2, 3, 4};

class call_and_signal_proxy : public kova_proxy_object_call, public kova_proxy_object_signal {
public:
    explicit call_and_signal_proxy(msg_code_t in_code)
        : kova_proxy_object_call(in_code), kova_proxy_object_signal(static_cast<msg_code_t>(in_code + 1)) {}
};

struct live_call : live_proxy<kova_proxy_object_call> {
    explicit live_call(int in_test) : live_proxy(in_test, c_code) {}
};

}  // namespace

TEST(kova_proxy_object_call, request_carries_a_copy_of_the_data_to_the_bound_stub) {
    live_call c(1);
    ASSERT_TRUE(c.live);
    for (msg_num_t expected = 1; expected <= 2; ++expected) {
        return_object_t ro = c.proxy.async_call(c_request, sizeof(c_request), 3.5);
        struct_packet p;
        std::vector<unsigned char> payload;
        ASSERT_TRUE(c.w.rig.center_receive(p, 5.0, &payload));
        EXPECT_EQ(p.header.type, c_mt_call);
        EXPECT_EQ(p.header.code, c_code);
        EXPECT_EQ(p.header.num, expected);
        EXPECT_EQ(p.header.error, 0u);
        EXPECT_EQ(p.header.size, sizeof(c_request));
        EXPECT_EQ(payload, std::vector<unsigned char>(c_request, c_request + sizeof(c_request)));
        EXPECT_EQ(p.dst_ip, c_local_host);
        EXPECT_EQ(p.dst_port, c.w.domain);
        EXPECT_EQ(p.header.did, c_stub_id);
        EXPECT_EQ(p.src_ip, c_local_host);
        EXPECT_EQ(p.header.sport, c.w.domain);
        EXPECT_EQ(p.header.sid, c.id);
        EXPECT_EQ(p.mct_if, c_local_host);
        EXPECT_EQ(p.get_data(), nullptr);
        EXPECT_NEAR(p.packet_limit_time, 3.5, 0.5);
        c.w.answer(p, c_mt_call_return, 0);
        EXPECT_EQ(c.proxy.async_return(ro, nullptr, nullptr, nullptr), c_kova_err_none);
    }
}

TEST(kova_proxy_object_call, async_return_reports_each_reply_as_the_design_says) {
    live_call c(2);
    ASSERT_TRUE(c.live);
    const long c_block = -2;  // the whole data block that came
    struct row {
        const char* name;
        msg_type_t type;
        kova_err_t error;
        std::size_t payload;
        long header_size;  // -1: the payload's
        bool buffer;
        pksize_t capacity;
        kova_err_t result;
        long out_size;
        bool copied;
    };
    const row rows[] = {
        {"copied", c_mt_call_return, 0, 100, -1, true, 128, c_kova_err_none, 100, true},
        {"exact fit", c_mt_call_return, 0, 100, -1, true, 100, c_kova_err_none, 100, true},
        {"too small", c_mt_call_return, 0, 100, -1, true, 64, c_kova_err_boundout_buffer, 100, false},
        {"no buffer", c_mt_call_return, 0, 10, -1, false, 64, c_kova_err_boundout_buffer, 64, false},
        {"empty", c_mt_call_return, 0, 0, -1, true, 64, c_kova_err_none, 0, false},
        {"empty, no buffer", c_mt_call_return, 0, 0, -1, false, 64, c_kova_err_none, 0, false},
        {"stub's error", c_mt_call_error_return, 5, 0, -1, true, 64, 5, 64, false},
        {"code not served", c_mt_call_error_return, 3, 0, -1, true, 64, c_kova_err_not_support_code, 64, false},
        {"no such object", c_mt_call_error_return, 2, 0, -1, true, 64, c_kova_err_object_is_not_exist, 64, false},
        {"size without a block", c_mt_call_return, 0, 0, 100, true, 128, c_kova_err_none, 0, false},
        {"size beyond the block", c_mt_call_return, 0, 16, 60000, true, 65535, c_kova_err_none, c_block, true},
    };
    const unsigned long before = c.w.baseline;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        return_object_t ro = c.proxy.async_call(c_request, sizeof(c_request), 5.0);
        struct_packet request;
        ASSERT_TRUE(c.w.rig.center_receive(request));
        // The reply's block as the memory grants it: the most there is to read.
        const long block = r.out_size == c_block ? static_cast<long>(sdk_rig::block_capacity(r.payload)) : 0;
        c.w.answer(request, r.type, r.error, r.payload, r.header_size);
        std::vector<unsigned char> buffer(70000, 0xEE);
        pksize_t size = r.capacity;
        double elapsed = -1;
        EXPECT_EQ(c.proxy.async_return(ro, r.buffer ? buffer.data() : nullptr, &size, &elapsed), r.result);
        const long out = r.out_size == c_block ? block : r.out_size;
        EXPECT_EQ(static_cast<long>(size), out);
        EXPECT_GE(elapsed, 0.0);
        EXPECT_LT(elapsed, 5.0);
        const std::size_t filled = r.copied ? static_cast<std::size_t>(out) : 0;
        for (std::size_t i = 0; i < filled && i < r.payload; ++i) {
            ASSERT_EQ(buffer[i], static_cast<unsigned char>(i)) << i;
        }
        EXPECT_EQ(buffer[filled], 0xEE);  // nothing past what was handed over
        EXPECT_EQ(c.w.rig.remain(), before);
    }
}

TEST(kova_proxy_object_call, failures_before_sending_come_back_through_async_return) {
    proxy_rig w(3, 2, 1);
    kova_proxy_object_call call(c_code);
    const unsigned long before = w.rig.remain();
    struct_packet p;
    auto outcome = [&](const void* in_data, pksize_t in_size) {
        pksize_t size = 64;
        double elapsed = -1;
        const kova_err_t r = call.async_return(call.async_call(in_data, in_size, 1.0), nullptr, &size, &elapsed);
        EXPECT_EQ(size, 64u);
        EXPECT_EQ(elapsed, -1);  // an error form carries no time
        return r;
    };
    EXPECT_EQ(outcome(c_request, 4), c_kova_err_is_not_created);
    EXPECT_EQ(call.async_return(nullptr, nullptr, nullptr, nullptr), c_kova_err_null_return_object);

    const object_id_t id = w.create(call);
    ASSERT_NE(id, 0);
    EXPECT_EQ(outcome(c_request, 4), c_kova_err_not_connected_tcp);
    w.control(c_mccr_tcp_connected_to_server, id);
    ASSERT_TRUE(kova_test::wait_until([&] { return call.is_connected_tcp(); }, 5.0));
    EXPECT_EQ(outcome(c_request, 4), c_kova_err_object_is_not_exist);
    ASSERT_TRUE(w.make_live(call));

    // No data behind a size: refused before anything is registered or sent.
    EXPECT_EQ(outcome(nullptr, 4), c_kova_err_boundout_buffer);
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));
    EXPECT_EQ(w.rig.remain(), before);
    // A full center pipe fails at once and leaves nothing registered.
    int fillers = 0;
    for (;;) {
        struct_token filler = w.rig.make(w.from_stub(c_mt_ctrl, c_mccr_run_object, id));
        if (w.rig.m_center.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&filler), 0) == 0) {
            ++fillers;
            continue;
        }
        Common::Interface::safe_free_token(filler, __FILE__, __LINE__);
        break;
    }
    EXPECT_EQ(outcome(c_request, 4), c_kova_err_busy_localhost);
    for (int i = 0; i < fillers; ++i) ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));
    EXPECT_EQ(w.rig.remain(), before);

    // No data and no size is a request without payload.
    return_object_t ro = call.async_call(nullptr, 0, 1.0);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.size, 0u);
    // The identity destroyed while the request waits.
    ASSERT_EQ(call.destroy(), c_kova_err_none);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(call.async_return(ro, nullptr, nullptr, nullptr), c_kova_err_is_not_created);
    EXPECT_EQ(w.rig.remain(), before);
}

TEST(kova_proxy_object_call, no_reply_in_time_is_a_local_time_out_and_a_late_return_is_cancelled) {
    live_call c(4);
    ASSERT_TRUE(c.live);
    const unsigned long before = c.w.baseline;
    struct_packet request, p;
    for (double limit : {0.0, 0.2}) {
        return_object_t ro = c.proxy.async_call(c_request, sizeof(c_request), limit);
        ASSERT_TRUE(c.w.rig.center_receive(request));
        pksize_t size = 64;
        double elapsed = -1;
        EXPECT_EQ(c.proxy.async_return(ro, nullptr, &size, &elapsed), c_kova_err_local_timeout);
        EXPECT_GE(elapsed, limit);
        EXPECT_EQ(size, 64u);
    }
    // The stub's answer arrives after all: the returner tells the stub nobody took it.
    c.w.answer(request, c_mt_call_return, 0, 32);
    ASSERT_TRUE(c.w.rig.center_receive(p));
    EXPECT_EQ(p.header.type, c_mt_call_cancel);
    EXPECT_EQ(p.header.error, c_kova_err_remote_timeout);
    EXPECT_EQ(p.header.code, c_code);
    EXPECT_EQ(p.header.did, c_stub_id);
    EXPECT_EQ(p.header.sid, c.id);
    EXPECT_EQ(p.dst_ip, c_local_host);
    EXPECT_EQ(p.header.size, 0u);
    // An error return in the same place is only freed.
    c.w.answer(request, c_mt_call_error_return, 5);
    EXPECT_FALSE(c.w.rig.center_receive(p, 0.3));
    EXPECT_TRUE(c.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_call, a_pending_call_wakes_at_once_when_the_stub_or_its_host_goes) {
    live_call c(5);
    ASSERT_TRUE(c.live);
    struct row {
        msg_code_t code;
        kova_err_t error;
        std::size_t payload;  // a destroy made for a dead process carries its pid
        bool buffer;
    };
    const row rows[] = {
        {c_mccr_object_destroy, c_kova_err_object_is_not_exist, 0, false},
        {c_mccr_object_destroy, c_kova_err_object_is_not_exist, 4, false},
        {c_mccr_object_destroy, c_kova_err_object_is_not_exist, 4, true},
        {c_mccr_tcp_disconnected_from_server, c_kova_err_disconnected_tcp, 0, true},
    };
    const unsigned long before = c.w.baseline;
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        return_object_t ro = c.proxy.async_call(c_request, sizeof(c_request), 30.0);
        struct_packet request;
        ASSERT_TRUE(c.w.rig.center_receive(request));
        kova_err_t result = 1;
        double elapsed = -1;
        unsigned char buffer[16];
        std::memset(buffer, 0xEE, sizeof(buffer));
        pksize_t size = sizeof(buffer);
        std::thread waiter([&] {
            result = r.buffer ? c.proxy.async_return(ro, buffer, &size, &elapsed)
                              : c.proxy.async_return(ro, nullptr, nullptr, &elapsed);
        });
        c.w.wake(r.code, r.error, c.id, r.payload);
        waiter.join();
        EXPECT_EQ(result, r.error);
        // The wake is no reply: the caller's buffer and size stay as they were.
        EXPECT_EQ(size, sizeof(buffer));
        EXPECT_EQ(buffer[0], 0xEE);
        EXPECT_LT(elapsed, 5.0);
        EXPECT_EQ(c.w.rig.remain(), before);
    }
}

TEST(kova_proxy_object_call, destroying_the_proxy_ends_the_requests_that_wait_for_their_replies) {
    live_proxy<call_and_signal_proxy> c(8, c_code);
    ASSERT_TRUE(c.live);
    const unsigned long before = c.w.baseline;
    kova_err_t call_result = 1, signal_result = 1;
    pksize_t size = 16;
    // Long limits: only the destroy can end them soon.
    std::thread caller([&] {
        call_result = c.proxy.kova_proxy_object_call::async_return(
            c.proxy.async_call(c_request, sizeof(c_request), 30.0), nullptr, &size, nullptr);
    });
    std::thread signaller([&] { signal_result = c.proxy.signal(c_request, sizeof(c_request), 30.0, nullptr); });
    struct_packet call_request = struct_packet(), signal_request = struct_packet(), p;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(c.w.rig.center_receive(p));
        (p.header.type == c_mt_call ? call_request : signal_request) = p;
    }
    ASSERT_EQ(call_request.header.type, c_mt_call);
    ASSERT_EQ(signal_request.header.type, c_mt_signal);
    const double start = kova_test::now_s();
    ASSERT_EQ(c.proxy.destroy(), c_kova_err_none);
    caller.join();
    signaller.join();
    EXPECT_LT(kova_test::now_s() - start, 5.0);
    EXPECT_EQ(call_result, c_kova_err_is_not_created);
    EXPECT_EQ(signal_result, c_kova_err_is_not_created);
    EXPECT_EQ(size, 16u);
    ASSERT_TRUE(c.w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    // The stub's answers come after all: nobody takes them, the stub is told.
    c.w.answer(call_request, c_mt_call_return, 0, 8);
    c.w.answer(signal_request, c_mt_signal_return, 0);
    for (msg_type_t cancel : {c_mt_call_cancel, c_mt_signal_cancel}) {
        ASSERT_TRUE(c.w.rig.center_receive(p));
        EXPECT_EQ(p.header.type, cancel);
        EXPECT_EQ(p.header.error, c_kova_err_remote_timeout);
    }
    EXPECT_TRUE(c.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_call, cancel_names_no_request_and_needs_a_created_proxy) {
    proxy_rig w(6);
    kova_proxy_object_call call(c_code);
    struct_packet p;
    call.cancel(5);
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));
    const object_id_t id = w.create(call);
    ASSERT_NE(id, 0);
    call.cancel(5);
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.type, c_mt_call_cancel);
    EXPECT_EQ(p.header.code, c_code);
    EXPECT_EQ(p.header.num, 0);
    EXPECT_EQ(p.header.error, 5u);
    EXPECT_EQ(p.header.size, 0u);
    EXPECT_EQ(p.header.did, c_stub_id);
    EXPECT_EQ(p.header.sid, id);
    EXPECT_EQ(p.dst_ip, c_local_host);
    EXPECT_GT(p.packet_limit_time, 1e9);  // never times out
}

// Attached, but built as the most-derived class that never names the virtual base.
class forgetful_call : public kova_proxy_object_call {
public:
    forgetful_call(msg_code_t const& in_code, kova_proxy_object const& in_proxy)
        : kova_proxy_object_call(in_code, in_proxy) {}
};

TEST(kova_proxy_object_call, an_attached_call_uses_the_given_proxy_and_ends_it) {
    struct row {
        const char* name;
        std::function<kova_proxy_object_call*(kova_proxy_object const&)> make;
    };
    const row rows[] = {
        {"names the base", [](kova_proxy_object const& p) { return new kova_proxy_object_call(9, p); }},
        {"forgets the base", [](kova_proxy_object const& p) { return new forgetful_call(9, p); }},
    };
    int test = 7;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        proxy_rig w(test++);
        kova_proxy_object proxy;
        const object_id_t id = w.create(proxy);
        ASSERT_NE(id, 0);
        ASSERT_TRUE(w.make_live(proxy));
        std::unique_ptr<kova_proxy_object_call> attached(r.make(proxy));
        EXPECT_EQ(attached->_pp, proxy._pp);
        EXPECT_EQ(proxy._pp->call_map.count(9), 1u);
        EXPECT_EQ(attached->get_local_object_id(), id);

        return_object_t ro = attached->async_call(c_request, sizeof(c_request), 5.0);
        struct_packet p;
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.sid, id);
        EXPECT_EQ(p.header.code, 9);
        w.answer(p, c_mt_call_return, 0);
        EXPECT_EQ(attached->async_return(ro, nullptr, nullptr, nullptr), c_kova_err_none);

        // A second handler of the code on the same proxy is refused, with the call lines.
        testing::internal::CaptureStderr();
        { kova_proxy_object_call twin(9, proxy); }
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "중복된 코드값의 프록시 콜 삽입입니다\n삽입된 콜은 정상 동작하지 않을 가능성이 높습니다\n");
        // The twin's end destroyed the shared proxy and nothing else.
        EXPECT_FALSE(proxy.is_created());
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.code, c_mccr_object_destroy);

        ASSERT_NE(w.create(proxy), 0);
        attached.reset();
        EXPECT_FALSE(proxy.is_created());
        EXPECT_EQ(proxy._pp->call_map.count(9), 0u);
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    }
}

// An integrated kind built before an attached one on the same virtual base.
class mixed_proxy : public kova_proxy_object_signal, public kova_proxy_object_call {
public:
    explicit mixed_proxy(kova_proxy_object const& in_proxy)
        : kova_proxy_object_signal(11), kova_proxy_object_call(9, in_proxy) {}
};

TEST(kova_proxy_object_call, an_attached_kind_takes_the_handlers_built_before_it_along) {
    proxy_rig w(9);
    kova_proxy_object proxy;
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(w.make_live(proxy));
    {
        mixed_proxy mixed(proxy);
        EXPECT_EQ(proxy._pp->signal_map.count(11), 1u);
        EXPECT_EQ(proxy._pp->call_map.count(9), 1u);
        return_object_t ro = mixed.async_signal(nullptr, 0, 5.0);
        struct_packet p;
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.sid, id);
        EXPECT_EQ(p.header.code, 11);
        w.answer(p, c_mt_signal_return, 0);
        EXPECT_EQ(mixed.kova_proxy_object_signal::async_return(ro, nullptr), c_kova_err_none);
    }
    EXPECT_EQ(proxy._pp->signal_map.count(11), 0u);
    EXPECT_FALSE(proxy.is_created());
}
