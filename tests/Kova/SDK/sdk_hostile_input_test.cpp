// Replies and requests that lie, repeat, come late or make no sense, against the call
// and signal proxies and stubs of one process: nothing crashes, every request ends,
// and every block of the packet memory comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "Kova/Common/Open/Kova/kova_object_call.h"
#include "Kova/Common/Open/Kova/kova_object_signal.h"
#include "Kova/Common/Open/Kova/kova_proxy_object_call.h"
#include "Kova/Common/Open/Kova/kova_proxy_object_signal.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_call_code = 21;
constexpr msg_code_t c_signal_code = 22;

class call_and_signal : public kova_proxy_object_call, public kova_proxy_object_signal {
public:
    call_and_signal() : kova_proxy_object_call(c_call_code), kova_proxy_object_signal(c_signal_code) {}
};

// Waits while the pipe is full: a lost push would be the test's own leak.
void push_all(Pimo::IPC::interface_pipe& in_pipe, struct_token in_token) {
    while (in_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0) != 0) Pimo::OS::msleep(1);
}

// Takes everything the proxy sends and answers each request in one of many wrong or
// right ways, until stopped.
class stub_player {
public:
    stub_player(proxy_rig& in_w, object_id_t in_proxy) : m_w(in_w), m_proxy(in_proxy), m_thread([this] { run(); }) {}
    ~stub_player() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    std::atomic<int> m_cancels{0};

private:
    void run() {
        std::minstd_rand rnd(17);
        for (;;) {
            struct_token t;
            if (m_w.rig.m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 0.02) != 0) {
                if (m_stop) return;
                continue;
            }
            const struct_packet request = *t.get_header_packet();
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
            const msg_type_t type = request.header.type;
            if (type == c_mt_call_cancel || type == c_mt_signal_cancel) ++m_cancels;
            if (type != c_mt_call && type != c_mt_signal) continue;
            const bool call = type == c_mt_call;
            const msg_type_t ok = call ? c_mt_call_return : c_mt_signal_return;
            const msg_type_t bad = call ? c_mt_call_error_return : c_mt_signal_error_return;
            const std::size_t size = request.header.size;
            switch (rnd() % 10) {
                case 0: break;                                               // never answered
                case 1: answer(request, ok, 0, size, 0); answer(request, ok, 0, size, 0); break;  // twice
                case 2: answer(request, ok, 0, 16, 60000); break;            // size beyond its block
                case 3: answer(request, ok, 0, 0, 50000); break;             // size without a block
                case 4: answer(request, bad, 5, 8, -1); break;               // an error return with data
                case 5: answer(request, 0xEE, 0, 8, -1); break;              // a type nobody knows
                case 6: {                                                    // someone else's number
                    struct_packet other = request;
                    other.header.num = static_cast<msg_num_t>(other.header.num + 30000);
                    answer(other, ok, 0, size, -1);
                    break;
                }
                case 7: Pimo::OS::msleep(rnd() % 3); answer(request, ok, 0, size, -1); break;  // late, maybe
                default: answer(request, ok, 0, size, -1); break;
            }
        }
    }
    void answer(const struct_packet& in_request, msg_type_t in_type, kova_err_t in_error, std::size_t in_payload,
                long in_header_size) {
        packet_spec s = m_w.from_stub(in_type, in_request.header.code, m_proxy, in_request.header.num);
        s.payload = in_payload;
        s.error = in_error;
        struct_token t = m_w.rig.make(s);
        if (in_header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(in_header_size);
        push_all(m_w.rig.m_return, t);
    }

    proxy_rig& m_w;
    object_id_t m_proxy;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

TEST(sdk_hostile_input, a_reply_meeting_the_time_out_is_taken_or_cancelled_exactly_once) {
    live_proxy<kova_proxy_object_call> c(1, c_call_code, 64);
    ASSERT_TRUE(c.live);
    const unsigned long before = c.w.baseline;
    std::atomic<bool> stop{false};
    std::atomic<int> cancels{0}, served{0};
    // The stub answers each call after a pause about as long as the call's limit.
    std::thread stub([&] {
        std::minstd_rand rnd(5);
        struct_packet p;
        while (!stop) {
            if (!c.w.rig.center_receive(p, 0.02)) continue;
            if (p.header.type == c_mt_call_cancel) {
                ++cancels;
                continue;
            }
            const double until = kova_test::now_s() + 0.0001 * (rnd() % 20);
            while (kova_test::now_s() < until) {
            }
            c.w.answer(p, c_mt_call_return, 0, 8);
            ++served;
        }
    });
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int answered = 0, timed_out = 0;
    for (int i = 0; i < 400; ++i) {
        return_object_t ro = c.proxy.async_call(data, sizeof(data), 0.0001 * (1 + i % 10));
        unsigned char out[8] = {};
        pksize_t size = sizeof(out);
        const kova_err_t r = c.proxy.async_return(ro, out, &size, nullptr);
        if (r == c_kova_err_none) {
            ++answered;
            EXPECT_EQ(size, 8u);
        } else {
            ASSERT_EQ(r, c_kova_err_local_timeout);
            ++timed_out;
        }
        // One call at a time: the next one starts once this one's reply is on its way.
        ASSERT_TRUE(kova_test::wait_until([&] { return served > i; }, 5.0));
    }
    // Every late reply has been freed, or told back to the stub as a cancel.
    EXPECT_TRUE(c.w.rig.wait_remain(before)) << c.w.rig.remain() << " free, " << before << " before";
    stop = true;
    stub.join();
    EXPECT_GT(answered, 0);
    EXPECT_GT(timed_out, 0);
    EXPECT_LE(cancels, timed_out);
}

TEST(sdk_hostile_input, lying_repeated_and_senseless_replies_under_load_leave_nothing_behind) {
    proxy_rig w(2, 4, 64);
    call_and_signal proxy;
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(w.make_live(proxy));
    const unsigned long before = w.baseline;  // not now: a listener may still hold the packet that made it live
    std::set<kova_err_t> results;
    std::mutex results_lock;
    {
        stub_player stub(w, id);
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t)
            clients.emplace_back([&, t] {
                std::minstd_rand rnd(100 + t);
                std::vector<unsigned char> data, out(70000);
                for (int i = 0; i < 100; ++i) {
                    data.resize(rnd() % 3000);
                    const double limit = rnd() % 3 == 0 ? 0.001 : 0.05;
                    kova_err_t r;
                    if (rnd() % 3 == 0) {
                        r = proxy.kova_proxy_object_signal::async_return(
                            proxy.async_signal(data.data(), static_cast<pksize_t>(data.size()), limit), nullptr);
                    } else {
                        pksize_t size = static_cast<pksize_t>(rnd() % 2 ? out.size() : rnd() % 100);
                        r = proxy.kova_proxy_object_call::async_return(
                            proxy.async_call(data.data(), static_cast<pksize_t>(data.size()), limit), out.data(),
                            &size, nullptr);
                    }
                    if (rnd() % 10 == 0) proxy.kova_proxy_object_call::cancel(1);
                    std::lock_guard<std::mutex> hold(results_lock);
                    results.insert(r);
                }
            });
        for (std::thread& c : clients) c.join();
        stub.stop();
    }
    struct_packet p;
    while (w.rig.center_receive(p, 0.2)) {
    }
    const std::set<kova_err_t> allowed = {c_kova_err_none, c_kova_err_boundout_buffer, c_kova_err_local_timeout, 5};
    for (kova_err_t r : results) EXPECT_EQ(allowed.count(r), 1u) << std::hex << r;
    EXPECT_TRUE(results.count(c_kova_err_none));
    EXPECT_TRUE(results.count(c_kova_err_local_timeout));
    EXPECT_TRUE(w.rig.wait_remain(before)) << w.rig.remain() << " free, " << before << " before";
}

TEST(sdk_hostile_input, a_wake_meeting_a_request_that_the_full_center_pipe_refused_leaves_nothing_behind) {
    live_proxy<kova_proxy_object_call> c(3, c_call_code, 4);
    ASSERT_TRUE(c.live);
    const unsigned long before = c.w.baseline;
    c.w.rig.fill_center();
    // The stub's destroy, again and again, into the gap between registration and refusal.
    std::atomic<bool> stop{false};
    std::thread waker([&] {
        while (!stop) {
            packet_spec s = c.w.from_stub(c_mt_ctrl, c_mccr_object_destroy, c.id);
            s.error = c_kova_err_object_is_not_exist;
            s.payload = 4;
            push_all(c.w.rig.m_return, c.w.rig.make(s));
        }
    });
    const unsigned char data[4] = {1, 2, 3, 4};
    std::set<kova_err_t> results;
    for (int i = 0; i < 10000; ++i)
        results.insert(c.proxy.async_return(c.proxy.async_call(data, sizeof(data), 1.0), nullptr, nullptr, nullptr));
    stop = true;
    waker.join();
    EXPECT_EQ(results, std::set<kova_err_t>{c_kova_err_busy_localhost});
    struct_packet p;
    while (c.w.rig.center_receive(p, 0.0)) {
    }
    EXPECT_TRUE(c.w.rig.wait_remain(before)) << c.w.rig.remain() << " free, " << before << " before";
}

namespace {

// Echoes what it is handed, and counts what reaches it.
class echo_stub : public kova_object_call, public kova_object_signal {
public:
    echo_stub() : kova_object_call(c_call_code, 128), kova_object_signal(c_signal_code) {}
    std::atomic<int> m_calls{0}, m_signals{0}, m_cancels{0};

private:
    kova_err_t on_call(client_addr_t const&, void* pin_buf, pksize_t const& in_size, void* pout_buf,
                       pksize_t* pout_size, double const&, double const&) override {
        ++m_calls;
        if (in_size < *pout_size) *pout_size = in_size;
        if (*pout_size) std::memcpy(pout_buf, pin_buf, *pout_size);
        return c_kova_err_none;
    }
    void on_call_cancel(client_addr_t const&, kova_err_t const&) override { ++m_cancels; }
    void on_signal(client_addr_t const&, void* pin_buf, pksize_t const& in_size, double const&) override {
        ++m_signals;
        // Touches every byte it is told is there.
        volatile unsigned char sum = 0;
        for (pksize_t i = 0; i < in_size; ++i) sum = static_cast<unsigned char>(sum + static_cast<unsigned char*>(pin_buf)[i]);
    }
    void on_signal_cancel(client_addr_t const&, kova_err_t const&) override { ++m_cancels; }
};

}  // namespace

TEST(sdk_hostile_input, a_stub_fed_lies_and_nonsense_answers_what_it_can_and_keeps_nothing) {
    sdk_rig rig(4, 64);
    const test_domain_scope d(9);
    echo_stub stub;
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    const unsigned long before = rig.remain();
    struct row {
        msg_type_t type;
        msg_code_t code;
        std::size_t block;
        long header_size;  // -1: the block's
    };
    const row rows[] = {
        {c_mt_call, c_call_code, 16, 60000},       {c_mt_call, c_call_code, 0, 60000},
        {c_mt_signal, c_signal_code, 16, 65535},   {c_mt_signal, c_signal_code, 0, 100},
        {c_mt_call, 999, 16, 60000},               {c_mt_signal, 999, 0, 10},
        {c_mt_call_cancel, 999, 8, -1},            {c_mt_signal_cancel, c_signal_code, 8, 4000},
        {c_mt_call_return, c_call_code, 16, 9000}, {c_mt_signal_error_return, c_signal_code, 0, 3},
        {0xEE, c_call_code, 16, -1},               {0, 0, 0, -1},
        {c_mt_ctrl, 0x7777, 8, 70000},             {c_mt_event, c_call_code, 8, -1},
    };
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0}, busy_calls{0}, busy_signals{0};
    std::thread center([&] {
        struct_packet p;
        while (!stop) {
            if (!rig.center_receive(p, 0.02)) continue;
            ++answers;
            // A serial queue that holds sixteen already refuses the rest, as a full pipe would.
            if (p.header.error != c_kova_err_busy_node) continue;
            if (p.header.code == c_call_code) ++busy_calls;
            if (p.header.code == c_signal_code) ++busy_signals;
        }
    });
    msg_num_t num = 0;
    for (int round = 0; round < 20; ++round)
        for (const row& r : rows) {
            struct_token t = rig.make(request_to(d, id, r.type, r.code, ++num, r.block));
            if (r.header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(r.header_size);
            push_all(rig.m_listen, t);
        }
    // Every call and signal is answered: the served ones by the stub, the others with error 3.
    EXPECT_TRUE(kova_test::wait_until([&] { return answers == 20 * 6; }, 10.0)) << answers;
    // on_signal runs after its answer left, and cancels queue behind the signals.
    EXPECT_TRUE(kova_test::wait_until(
        [&] { return stub.m_signals + busy_signals == 40 && stub.m_cancels == 20; }, 5.0))
        << stub.m_signals << " + " << busy_signals << " busy, " << stub.m_cancels;
    EXPECT_EQ(stub.m_calls + busy_calls, 40);
    EXPECT_TRUE(rig.wait_remain(before)) << rig.remain() << " free, " << before << " before";
    stop = true;
    center.join();
    EXPECT_EQ(answers, 20 * 6);
}
