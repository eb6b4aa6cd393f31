// The command proxy: the connection's handshake and ends, the three ways of posting and what
// each transmission carries, the posting and the timer model, lending and staging, the
// history, and the races of ticks with the connection's end and the proxy's destroy.
#include "Kova/Common/Open/Kova/kova_proxy_object_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_history.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 23;

// Records in the shared log "ended" when the stub's side ended the connection.
class command_proxy : public connection_recording<kova_proxy_object_command> {
public:
    explicit command_proxy(msg_code_t in_code = c_code) : connection_recording(in_code) {}
};

struct live_command : live_proxy<command_proxy> {
    explicit live_command(int in_test, unsigned in_center_depth = 16) : live_proxy(in_test, c_code, in_center_depth) {}
};

// Asks for the connection and has the stub confirm it.
bool connect(proxy_rig& w, command_proxy& in_proxy) {
    return w.connect_confirmed(in_proxy, c_mt_command_connect, c_mt_command_confirm);
}

std::string text(std::size_t in_size, char in_from = 'a') {
    std::string out(in_size, '\0');
    for (std::size_t i = 0; i < in_size; ++i) out[i] = static_cast<char>(in_from + i % 26);
    return out;
}

// The three ways of posting in_data.
enum by { c_write, c_real, c_staged };

kova_err_t post_by(command_proxy& in_proxy, by in_how, const std::string& in_data) {
    const pksize_t size = static_cast<pksize_t>(in_data.size());
    if (in_how == c_write) return in_proxy.write(in_data.data(), size);
    void* p = in_how == c_real ? in_proxy.get_real(size) : in_proxy.get(size);
    if (p == nullptr) return 0xFFFFFFFFu;
    if (size != 0) std::memcpy(p, in_data.data(), size);
    return in_how == c_real ? in_proxy.post_real(size) : in_proxy.post(size);
}

void expect_command(const received& in_got, const live_command& e, const std::string& in_data, msg_type_t in_type) {
    const struct_packet& p = in_got.packet;
    EXPECT_EQ(p.header.type, in_type);
    EXPECT_EQ(p.header.code, c_code);
    EXPECT_EQ(p.header.size, in_data.size());
    EXPECT_EQ(p.header.error, 0u);
    EXPECT_EQ(p.header.did, c_stub_id);
    EXPECT_EQ(p.header.sid, e.id);
    EXPECT_EQ(p.header.sport, e.w.domain);
    EXPECT_EQ(p.dst_ip, c_local_host);
    EXPECT_EQ(p.dst_port, e.w.domain);
    EXPECT_EQ(p.mct_if, c_local_host);
    EXPECT_EQ(in_got.has_data, true);
    EXPECT_EQ(in_got.data, in_data);
}

// The sizes of the proxy's history, newest first, and whether every entry names one block.
std::vector<pksize_t> history(command_proxy& in_proxy, kova_size_t in_count = 100) {
    kova_history h(in_proxy.see_history(in_count));
    std::vector<pksize_t> sizes;
    for (std::size_t i = 0; i < h.size(); ++i) sizes.push_back(h[i].size);
    return sizes;
}

// Takes everything off the center pipe on a thread of its own, as a center would, until it
// ends; what it took, in order.
class center_drain {
public:
    explicit center_drain(proxy_rig& in_w) : m_thread([this, &in_w] {
        received r;
        while (!m_stop) {
            if (!in_w.rig.center_receive(r, 0.01)) continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_got.push_back(r);
        }
    }) {}
    ~center_drain() { stop(); }
    // True once a packet that in_match accepts has come, within in_timeout_s.
    template <typename match_t>
    bool wait_for(match_t in_match, double in_timeout_s = 5.0) {
        return kova_test::wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(m_mutex);
                return std::any_of(m_got.begin(), m_got.end(), in_match);
            },
            in_timeout_s);
    }
    std::vector<received> stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<received> m_got;
    std::thread m_thread;
};

}  // namespace

TEST(kova_proxy_object_command, the_handshake_reports_each_answer_and_refuses_what_it_cannot_ask) {
    live_command e(1);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    struct row {
        const char* name;
        bool answered;
        msg_type_t type;
        kova_err_t error;
        double limit;
        kova_err_t result;
        bool connected;
    };
    const row rows[] = {
        {"refused by on_connect", true, c_mt_command_reject, 77, 5.0, 77, false},
        {"code not served", true, c_mt_command_reject, c_kova_err_not_support_code, 5.0, c_kova_err_not_support_code,
         false},
        {"no answer in time", false, 0, 0, 0.3, c_kova_err_local_timeout, false},
        {"confirmed", true, c_mt_command_confirm, 0, 5.0, c_kova_err_none, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        return_object_t ro = e.proxy.async_connect(r.limit);
        struct_packet request;
        ASSERT_TRUE(e.w.rig.center_receive(request));
        EXPECT_EQ(request.header.type, c_mt_command_connect);
        EXPECT_EQ(request.header.code, c_code);
        EXPECT_EQ(request.header.size, 0u);
        EXPECT_EQ(request.header.did, c_stub_id);
        EXPECT_EQ(request.header.sid, e.id);
        if (r.answered) e.w.answer(request, r.type, r.error);
        EXPECT_EQ(e.proxy.async_connect_return(ro, nullptr), r.result);
        EXPECT_EQ(e.proxy.is_connected(), r.connected);
    }
    EXPECT_EQ(e.proxy.async_connect_return(e.proxy.async_connect(1.0), nullptr), c_kova_err_already_connected);
    struct_packet p;
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.2)) << "nothing was sent for the refusal";
    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    EXPECT_FALSE(e.proxy.is_connected());
    e.w.sent();
    EXPECT_EQ(e.proxy.async_connect_return(e.proxy.async_connect(1.0), nullptr), c_kova_err_is_not_created);
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_command, in_the_posting_model_each_post_sends_the_command_once_while_connected) {
    live_command e(2);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    // Not connected: a post makes the command current and sends nothing.
    for (by how : {c_write, c_real, c_staged}) EXPECT_EQ(post_by(e.proxy, how, "early"), c_kova_err_none);
    EXPECT_TRUE(e.w.sent(0.1).empty());
    char buf[16];
    pksize_t size = sizeof(buf);
    EXPECT_EQ(e.proxy.read(buf, &size), c_kova_err_empty_history) << "nothing sent yet";
    ASSERT_TRUE(connect(e.w, e.proxy));
    EXPECT_TRUE(e.w.sent(0.1).empty()) << "connecting sends nothing either";

    e.proxy.set_history_size(3);
    msg_num_t last = 0;
    struct row {
        const char* name;
        by how;
        std::size_t size;
    };
    const row rows[] = {{"write", c_write, 10},        {"lent", c_real, 1000},     {"staged", c_staged, 300},
                        {"empty", c_write, 0},         {"large, lent", c_real, 65000}, {"large", c_write, 60001}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string data = text(r.size);
        ASSERT_EQ(post_by(e.proxy, r.how, data), c_kova_err_none);
        const std::vector<received> out = e.w.sent();
        ASSERT_EQ(out.size(), 1u) << "exactly one transmission";
        received got = out[0];
        if (r.size == 0) {
            EXPECT_EQ(got.packet.header.size, 0u);
        } else {
            expect_command(got, e, data, c_mt_command_tcp);
        }
        EXPECT_TRUE(got.packet.header.limit.is_infinite()) << "no limit tells the stub the posting model";
        if (last != 0) {
            EXPECT_NE(got.packet.header.num, last);
        }
        last = got.packet.header.num;
    }
    EXPECT_EQ(history(e.proxy), (std::vector<pksize_t>{60001, 65000, 0})) << "three kept, newest first";
    size = sizeof(buf);
    ASSERT_EQ(e.proxy.read(buf, &size), c_kova_err_none);
    EXPECT_EQ(size, sizeof(buf));
    EXPECT_EQ(std::string(buf, size), text(60001).substr(0, sizeof(buf)));
    EXPECT_EQ(e.proxy.read(nullptr, &size), c_kova_err_boundout_buffer);
    EXPECT_EQ(e.proxy.read(buf, nullptr), c_kova_err_boundout_buffer);
    EXPECT_EQ(e.proxy.write(nullptr, 4), c_kova_err_boundout_buffer);

    // A post that finds the center pipe full waits for its room, and goes as soon as the
    // center takes one; only a pipe that stays full for the post's whole wait refuses it.
    {
        e.w.rig.fill_center();
        std::atomic<bool> returned{false};
        kova_err_t result = 0xFFFFFFFFu;
        std::thread poster([&] {
            result = post_by(e.proxy, c_write, "waited");
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(returned.load()) << "it waits while the pipe is full";
        received filler;
        ASSERT_TRUE(e.w.rig.center_receive(filler, 1.0));
        poster.join();
        EXPECT_EQ(result, c_kova_err_none);
        const std::vector<received> sent = e.w.sent();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().data, "waited") << "behind the fillers";
        EXPECT_EQ(history(e.proxy).front(), 6u);
    }
    // A post the center pipe refuses is the caller's to repeat: it fails, and nothing of it is
    // current, kept or sent; a write gives its block back, a lent block stays lent.
    for (by how : {c_write, c_staged, c_real}) {
        SCOPED_TRACE(how);
        const std::vector<pksize_t> kept = history(e.proxy);
        const unsigned long remain = e.w.rig.remain();
        e.w.rig.fill_center();
        EXPECT_EQ(post_by(e.proxy, how, "busy"), c_kova_err_center_busy);
        if (how == c_real) {
            EXPECT_EQ(e.proxy.get_real(4), nullptr) << "still lent";
            EXPECT_EQ(e.proxy.post_real(4), c_kova_err_center_busy) << "refused again while the pipe is full";
        }
        for (const received& r : e.w.sent()) EXPECT_EQ(r.packet.header.type, c_mt_ctrl) << "only the fillers";
        EXPECT_EQ(history(e.proxy), kept) << "nothing recorded";
        if (how == c_real) {
            EXPECT_EQ(e.proxy.post_real(4), c_kova_err_none) << "posted once there is room";
            ASSERT_EQ(e.w.sent().size(), 1u);
            EXPECT_EQ(history(e.proxy).front(), 4u);
        } else {
            EXPECT_EQ(e.w.rig.remain(), remain) << "the refused block went back";
        }
    }
    // The posting model sends the current command at the next post only: a refused post leaves
    // the one before it current, which a change to the timer model sends.
    e.proxy.set_sync_model(false, c_sender_sync_model_on_timer, 0.05);
    received tick;
    ASSERT_TRUE(e.w.rig.center_receive(tick, 2.0));
    EXPECT_EQ(tick.data, "busy") << "the last post that took effect";
    e.proxy.set_sync_model(false, c_sender_sync_model_on_post, 0);
    e.w.sent();

    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    e.w.sent();
    EXPECT_TRUE(e.w.rig.wait_remain(before)) << "the current command and the history went with the destroy";
    EXPECT_EQ(e.proxy.read(buf, &size), c_kova_err_is_not_created);
    kova_history none(e.proxy.see_history(5));
    EXPECT_TRUE(static_cast<bool>(none) && none.empty()) << "never null";
}

TEST(kova_proxy_object_command, lending_gives_one_block_to_a_thread_and_posts_it_within_its_size) {
    live_command e(3);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    command_proxy idle;
    EXPECT_EQ(idle.get_real(10), nullptr) << "not created";
    EXPECT_EQ(idle.post_real(10), c_kova_err_is_not_created);
    EXPECT_EQ(idle.write("x", 1), c_kova_err_is_not_created);
    ASSERT_TRUE(connect(e.w, e.proxy));

    EXPECT_EQ(e.proxy.post_real(1), c_kova_err_dont_get) << "nothing lent";
    char* block = static_cast<char*>(e.proxy.get_real(8));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(e.proxy.get_real(8), nullptr) << "the lender asks again";
    EXPECT_EQ(e.proxy.write("abc", 3), c_kova_err_empty_kova_memory) << "its write finds the block lent";
    std::memcpy(block, "abcdefgh", 8);
    testing::internal::CaptureStdout();
    EXPECT_EQ(e.proxy.post_real(9), c_kova_err_too_big_size);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Kova SDK - Boundout Command Post") << "no line end";
    EXPECT_TRUE(e.w.sent().empty());
    EXPECT_EQ(e.proxy.post_real(5), c_kova_err_none) << "the same block, a size that fits";
    std::vector<received> out = e.w.sent();
    ASSERT_EQ(out.size(), 1u);
    expect_command(out[0], e, "abcde", c_mt_command_tcp);
    EXPECT_EQ(e.proxy.post_real(5), c_kova_err_dont_get) << "posted: nothing lent any more";

    // Cancelled: nothing goes, the current command stays.
    ASSERT_NE(e.proxy.get_real(100), nullptr);
    e.proxy.cancel_real();
    e.proxy.cancel_real();
    EXPECT_TRUE(e.w.sent().empty());
    EXPECT_EQ(history(e.proxy), std::vector<pksize_t>{5});

    // Another thread's write waits for the lender.
    block = static_cast<char*>(e.proxy.get_real(4));
    ASSERT_NE(block, nullptr);
    {
        waiting_thread other([&] { return e.proxy.write("from the other", 14); });
        EXPECT_TRUE(other.asleep());
        EXPECT_EQ(other.result(), waiting_thread::c_not_yet) << "it waits";
        std::memcpy(block, "wxyz", 4);
        EXPECT_EQ(e.proxy.post_real(4), c_kova_err_none);
        EXPECT_EQ(other.join(), c_kova_err_none);
    }
    out = e.w.sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, "wxyz");
    EXPECT_EQ(out[1].data, "from the other");

    // Destroyed while a block is lent: it stays with its lender, who may still write it.
    block = static_cast<char*>(e.proxy.get_real(4));
    ASSERT_NE(block, nullptr);
    {
        waiting_thread waiter([&] { return e.proxy.write("late", 4); });
        EXPECT_TRUE(waiter.asleep());
        ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
        EXPECT_EQ(waiter.join(), c_kova_err_empty_kova_memory) << "a waiter gives up at the destroy";
    }
    std::memcpy(block, "kept", 4);
    EXPECT_EQ(e.proxy.post_real(4), c_kova_err_is_not_created);
    e.proxy.cancel_real();
    e.w.sent();
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_command, staging_writes_only_a_clean_buffer_and_keeps_a_dirty_one_until_cancel) {
    live_command e(4);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    ASSERT_TRUE(connect(e.w, e.proxy));
    const std::vector<received> out = expect_staging_sends_only_a_clean_buffer(
        e.proxy, "kova_proxy_object_command::post => durty memory\n", [&] { return e.w.sent(); });
    ASSERT_EQ(out.size(), 1u);
    expect_command(out[0], e, "staged", c_mt_command_tcp);
    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    e.w.sent();
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_command, the_timer_model_sends_the_current_command_every_interval_while_connected) {
    live_command e(5);
    ASSERT_TRUE(e.live);
    const unsigned long before = e.w.baseline;
    const double interval = 0.1;
    // Neither connected nor anything posted: the ticks send nothing.
    e.proxy.set_sync_model(false, c_sender_sync_model_on_timer, interval);
    EXPECT_TRUE(e.w.sent(0.25).empty());
    ASSERT_TRUE(connect(e.w, e.proxy));
    EXPECT_TRUE(e.w.sent(0.25).empty()) << "no command yet";
    EXPECT_EQ(e.proxy.write("first", 5), c_kova_err_none);

    // A fixed rate from the model's change; the post itself sends nothing.
    received r;
    const double posted = kova_test::now_s();
    ASSERT_TRUE(e.w.rig.center_receive(r, 2.0));
    expect_command(r, e, "first", c_mt_command_tcp);
    EXPECT_FALSE(r.packet.header.limit.is_infinite());
    EXPECT_DOUBLE_EQ(r.packet.packet_limit_time, interval + 5 / 1e6) << "the period and a microsecond a byte";
    msg_num_t num = r.packet.header.num;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(e.w.rig.center_receive(r, 2.0));
        expect_command(r, e, "first", c_mt_command_tcp);
        EXPECT_EQ(r.packet.header.num, static_cast<msg_num_t>(num + 1)) << "every tick a new number";
        num = r.packet.header.num;
    }
    EXPECT_GE(kova_test::now_s() - posted, 3 * interval - 0.02);

    // A post between ticks goes out at the next tick only, and as a datagram now.
    e.proxy.set_history_size(3);
    e.proxy.set_sync_model(true, c_sender_sync_model_on_timer, interval);
    EXPECT_EQ(e.proxy.write("second", 6), c_kova_err_none);
    const double changed = kova_test::now_s();
    ASSERT_TRUE(e.w.rig.center_receive(r, 2.0));
    EXPECT_GE(kova_test::now_s() - changed, interval - 0.03) << "one interval after the change";
    expect_command(r, e, "second", c_mt_command_udp);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(e.w.rig.center_receive(r, 2.0));
    {
        // Every tick adds an entry naming the one current block.
        kova_history h(e.proxy.see_history(10));
        ASSERT_EQ(h.size(), 3u);
        EXPECT_EQ(h[0].p_buffer, h[2].p_buffer);
        EXPECT_EQ(h[0].size, 6u);
    }

    // Back to posting: the timer stops, and each post sends once with no limit again.
    e.proxy.set_sync_model(false, c_sender_sync_model_on_post, interval);
    e.w.sent();
    EXPECT_TRUE(e.w.sent(0.3).empty());
    EXPECT_EQ(e.proxy.write("third", 5), c_kova_err_none);
    std::vector<received> out = e.w.sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].packet.header.limit.is_infinite());
    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    e.w.sent();
    EXPECT_TRUE(e.w.rig.wait_remain(before));
}

TEST(kova_proxy_object_command, an_interval_that_is_no_finite_time_below_2_to_the_31_changes_nothing) {
    live_command e(6);
    ASSERT_TRUE(e.live);
    ASSERT_TRUE(connect(e.w, e.proxy));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {0.0, -1.0, nan, std::numeric_limits<double>::infinity(), 2147483648.0, 1e300}) {
        SCOPED_TRACE(bad);
        e.proxy.set_sync_model(true, c_sender_sync_model_on_timer, bad);
        // Still posting, over the ordinary path: each write sends once, at once.
        ASSERT_EQ(e.proxy.write("post", 4), c_kova_err_none);
        const std::vector<received> out = e.w.sent(0.15);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].packet.header.type, c_mt_command_tcp);
        EXPECT_TRUE(out[0].packet.header.limit.is_infinite());
    }
    // The longest period that is taken: the stub sees a finite limit.
    e.proxy.set_sync_model(false, c_sender_sync_model_on_timer, 2147483647.0);
    ASSERT_EQ(e.proxy.write("post", 4), c_kova_err_none);
    EXPECT_TRUE(e.w.sent(0.15).empty()) << "the timer model sends at ticks only";
}

TEST(kova_proxy_object_command, the_ways_a_connection_ends) {
    live_command e(7);
    ASSERT_TRUE(e.live);
    struct_packet p;
    msg_num_t num = 200;
    // The proxy's shutdown tells the stub, once, and only while connected; the timer and
    // the command stay, and the ticks send nothing meanwhile.
    e.proxy.shutdown();
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.1));
    ASSERT_TRUE(connect(e.w, e.proxy));
    ASSERT_EQ(e.proxy.write("cmd", 3), c_kova_err_none);
    ASSERT_TRUE(e.w.rig.center_receive(p));
    e.proxy.set_sync_model(false, c_sender_sync_model_on_timer, 0.05);
    e.proxy.shutdown();
    e.proxy.shutdown();
    bool shut = false;
    while (e.w.rig.center_receive(p, 0.2)) {
        EXPECT_FALSE(shut) << "nothing after the shutdown";
        if (p.header.type != c_mt_command_shutdown) continue;
        shut = true;
        expect_shutdown_notice(p, c_mt_command_shutdown, c_code, e.id);
    }
    EXPECT_TRUE(shut);
    EXPECT_FALSE(e.proxy.is_connected());
    ASSERT_TRUE(connect(e.w, e.proxy));
    ASSERT_TRUE(e.w.rig.center_receive(p, 1.0)) << "the ticks resume once connected again";
    EXPECT_EQ(p.header.type, c_mt_command_tcp);
    e.proxy.set_sync_model(false, c_sender_sync_model_on_post, 0);
    e.w.sent();

    expect_the_ends_from_the_stubs_side(
        e, c_code, c_mt_command_disconnect, num, [&] { return connect(e.w, e.proxy); },
        [&] {
            EXPECT_EQ(e.proxy.write("after", 5), c_kova_err_none);
            EXPECT_TRUE(e.w.sent().empty());
        });
    ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
    e.w.sent();
    EXPECT_TRUE(e.w.rig.wait_remain(e.w.baseline));
}

TEST(kova_proxy_object_command, a_disconnect_and_the_stubs_destroy_on_two_listeners_tell_once) {
    proxy_rig w(8, 4);
    command_proxy proxy;
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    msg_num_t num = 0;
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(w.make_live(proxy));
        ASSERT_TRUE(connect(w, proxy));
        const std::size_t logged = proxy.count();
        // Different queues: the command code's and the object's control queue.
        w.rig.push_listen(w.from_stub(c_mt_command_disconnect, c_code, id, ++num));
        w.control(c_mccr_object_destroy, id);
        ASSERT_TRUE(kova_test::wait_until([&] { return proxy.count() >= logged + 2; }, 5.0));
        Pimo::OS::msleep(2);
        const log_t log = proxy.log();
        EXPECT_EQ(std::count(log.begin() + static_cast<long>(logged), log.end(), "ended"), 1);
    }
}

TEST(kova_proxy_object_command, ticks_end_with_the_connection_and_never_send_from_a_destroyed_identity) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        live_command e(9);
        ASSERT_TRUE(e.live);
        ASSERT_TRUE(connect(e.w, e.proxy));
        ASSERT_EQ(e.proxy.write(text(100).data(), 100), c_kova_err_none);
        ASSERT_EQ(e.w.sent().size(), 1u);
        std::vector<received> got;
        {
            center_drain center(e.w);
            e.proxy.set_sync_model(round % 2 == 0, c_sender_sync_model_on_timer, 0.0005);
            Pimo::OS::msleep(static_cast<unsigned>(2 + round % 5));
            ASSERT_EQ(e.proxy.destroy(), c_kova_err_none);
            EXPECT_TRUE(center.wait_for([](const received& in_r) {
                return in_r.packet.header.type == c_mt_ctrl && in_r.packet.header.code == c_mccr_object_destroy;
            }));
            // A tick wrongly sent after the announcement would come within this.
            Pimo::OS::msleep(20);
            got = center.stop();
        }
        bool destroyed = false;
        for (const received& r : got) {
            if (r.packet.header.type == c_mt_ctrl) {
                destroyed = destroyed || r.packet.header.code == c_mccr_object_destroy;
                continue;
            }
            EXPECT_FALSE(destroyed) << "no transmission after the destroy's announcement";
            EXPECT_EQ(r.packet.header.sid, e.id) << "sent from the identity";
            EXPECT_EQ(r.packet.header.sport, e.w.domain);
        }
        EXPECT_TRUE(destroyed);
        EXPECT_TRUE(e.w.rig.wait_remain(e.w.baseline));
    }
}

TEST(kova_proxy_object_command, a_finalize_with_the_timer_running_leaves_the_ticks_nothing_to_send_into) {
    command_proxy proxy;
    {
        std::unique_ptr<proxy_rig> w(new proxy_rig(10));
        ASSERT_NE(w->create(proxy), 0);
        ASSERT_TRUE(w->make_live(proxy));
        ASSERT_TRUE(connect(*w, proxy));
        ASSERT_EQ(proxy.write("tick", 4), c_kova_err_none);
        proxy.set_sync_model(false, c_sender_sync_model_on_timer, 0.02);
        received r;
        ASSERT_TRUE(w->rig.center_receive(r, 2.0));
        EXPECT_EQ(r.packet.header.type, c_mt_command_tcp);
        w->sent();
        w.reset();  // finalising: the registry destroys what the application left
    }
    // The pipes and the packet memory are gone; the timer still runs, and its ticks find
    // the connection ended: a tick that sent would add to the history, which the finalize
    // emptied, and would touch the memory that went with it.
    EXPECT_FALSE(proxy.is_connected());
    EXPECT_FALSE(proxy.is_created());
    for (int tick = 0; tick < 5; ++tick) {
        Pimo::OS::msleep(25);
        kova_history h(proxy.see_history(10));
        ASSERT_TRUE(static_cast<bool>(h));
        EXPECT_TRUE(h.empty()) << "nothing sent after the finalize";
    }
    char buf[8];
    pksize_t size = sizeof(buf);
    EXPECT_EQ(proxy.read(buf, &size), c_kova_err_is_not_created);
    EXPECT_EQ(proxy.write("late", 4), c_kova_err_is_not_created);
}
