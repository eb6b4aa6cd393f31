#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Pimo/IPC/class_shared_pipe.h"
#include "test_process.h"

using namespace Pimo;
using namespace Pimo::OS;
using kova_test::child_process;

namespace {

class shared_pipe_test : public testing::Test {
protected:
    void SetUp() override { name = kova_test::unique_name("pipe"); }
    void TearDown() override { kova_test::remove_shm_containing(name); }

    static vimra_err_t push(IPC::class_shared_pipe& p, u_int64_t v, size_t limit = 0) {
        return p.eproc_push(reinterpret_cast<const byte_t*>(&v), limit);
    }
    static vimra_err_t recv(IPC::class_shared_pipe& p, u_int64_t& v) {
        return p.eproc_receive(reinterpret_cast<byte_t*>(&v));
    }
    child_process probe(const std::vector<std::string>& args) {
        child_process c = kova_test::start_probe("probe_pipe", args);
        EXPECT_GT(c.pid(), 0);
        return c;
    }

    std::string name;
};

}  // namespace

TEST_F(shared_pipe_test, pipe_refuses_at_limit) {
    struct row { u_int32_t capacity; size_t limit; u_int32_t accepted; };
    // A limit above the capacity still never overwrites a full ring.
    const row rows[] = {{16, 0, 16}, {32, 16, 16}, {16, 16, 16}, {16, 32, 16}, {4, 2, 2}};
    int i = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(i);
        std::string n = name + std::to_string(i++);
        IPC::class_shared_pipe p;
        ASSERT_EQ(p.eproc_create(n.c_str(), r.capacity, 8), c_vimra_success);
        for (u_int32_t k = 0; k < r.accepted; ++k) ASSERT_EQ(push(p, k, r.limit), c_vimra_success) << k;
        EXPECT_EQ(push(p, 99, r.limit), c_vimra_busy);
        EXPECT_EQ(p.eproc_send(reinterpret_cast<const byte_t*>(&i), r.limit), c_vimra_busy);
        EXPECT_EQ(p.get_size(), r.accepted);
        EXPECT_EQ(p.test_full(), r.accepted == r.capacity);
        u_int64_t v;
        ASSERT_EQ(recv(p, v), c_vimra_success);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(push(p, 100, r.limit), c_vimra_success);
        p.proc_destroy();
    }
}

TEST_F(shared_pipe_test, wraps_without_loss_or_reordering_across_processes) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 4, 8), c_vimra_success);
    child_process writer = probe({"open", name});
    ASSERT_TRUE(writer.wait_for_line("open 0"));
    const u_int64_t n = 2000;
    writer.send_line("sendall 0 " + std::to_string(n));
    for (u_int64_t k = 0; k < n; ++k) {
        u_int64_t v = ~0ull;
        ASSERT_EQ(p.eproc_receive_timeout(reinterpret_cast<byte_t*>(&v), 10.0), c_vimra_success);
        ASSERT_EQ(v, k);
        if (k % 7 == 0) std::this_thread::yield();
    }
    EXPECT_TRUE(writer.wait_for_line("sendall 0"));
    writer.send_line("exit");
    EXPECT_EQ(writer.wait(), 0);
    p.proc_destroy();
}

TEST_F(shared_pipe_test, blocking_and_timed_receive) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 16, 8), c_vimra_success);
    u_int64_t v = 0;
    double t0 = kova_test::now_s();
    EXPECT_EQ(p.eproc_receive_timeout(reinterpret_cast<byte_t*>(&v), 0.5), c_vimra_timeout);
    double dt = kova_test::now_s() - t0;
    EXPECT_GE(dt, 0.45);
    EXPECT_LT(dt, 2.0);

    child_process reader = probe({"open", name});
    ASSERT_TRUE(reader.wait_for_line("open 0"));
    reader.send_line("recv");
    // Blocked in its wait, it must be woken by the send.
    EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::is_blocked_in(reader.pid(), SYS_futex); }, 10.0));
    ASSERT_EQ(push(p, 7), c_vimra_success);
    EXPECT_EQ(p.eproc_send(reinterpret_cast<const byte_t*>(&v), 0), c_vimra_success);
    EXPECT_TRUE(reader.wait_for_line("recv 0 7"));
    EXPECT_EQ(p.eproc_pop(reinterpret_cast<byte_t*>(&v)), c_vimra_success);  // the second element
    EXPECT_EQ(p.eproc_pop(reinterpret_cast<byte_t*>(&v)), c_vimra_unknown);
    reader.send_line("exit");
    EXPECT_EQ(reader.wait(), 0);
    p.proc_destroy();
}

TEST_F(shared_pipe_test, shutdown_is_seen_by_every_process_and_pop_still_drains) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 8, 8), c_vimra_success);
    child_process a = probe({"open", name});
    child_process b = probe({"open", name});
    ASSERT_TRUE(a.wait_for_line("open 0"));
    ASSERT_TRUE(b.wait_for_line("open 0"));
    a.send_line("recv");
    b.send_line("recv");
    for (child_process* waiting : {&a, &b})
        EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::is_blocked_in(waiting->pid(), SYS_futex); }, 10.0));
    EXPECT_FALSE(p.test_shutdown());
    child_process c = probe({"open", name});
    ASSERT_TRUE(c.wait_for_line("open 0"));
    c.send_line("shutdown");
    EXPECT_TRUE(a.wait_for_line("recv 5 -"));
    EXPECT_TRUE(b.wait_for_line("recv 5 -"));
    EXPECT_TRUE(p.test_shutdown()) << "shut down by another process";
    EXPECT_EQ(push(p, 1), c_vimra_shutdown);
    u_int64_t v;
    EXPECT_EQ(recv(p, v), c_vimra_shutdown);
    for (auto* ch : {&a, &b, &c}) ch->send_line("exit");
    for (auto* ch : {&a, &b, &c}) EXPECT_EQ(ch->wait(), 0);
    p.proc_destroy();

    // Elements left before a shutdown are still popped.
    IPC::class_shared_pipe q;
    std::string n2 = name + "q";
    ASSERT_EQ(q.eproc_create(n2.c_str(), 8, 8), c_vimra_success);
    push(q, 11);
    push(q, 12);
    q.proc_shutdown();
    EXPECT_FALSE(q.test_empty());
    EXPECT_EQ(q.eproc_pop(reinterpret_cast<byte_t*>(&v)), c_vimra_success);
    EXPECT_EQ(v, 11u);
    EXPECT_EQ(q.eproc_receive_timeout(reinterpret_cast<byte_t*>(&v), 0.1), c_vimra_shutdown);
    q.proc_destroy();
}

TEST_F(shared_pipe_test, open_refuses_absent_dead_and_mismatched_pipes) {
    IPC::class_shared_pipe p;
    EXPECT_EQ(p.eproc_open(name.c_str()), c_vimra_not_created);
    EXPECT_TRUE(p.test_shutdown()) << "not live: nothing reads it";
    p.proc_destroy();  // never made live: returns at once

    child_process creator = probe({"create", name, "4", "8"});
    ASSERT_TRUE(creator.wait_for_line("create 0"));
    EXPECT_EQ(p.eproc_open(name.c_str(), 16), c_vimra_unknown);  // wrong element size
    ASSERT_EQ(p.eproc_open(name.c_str(), 8), c_vimra_success);
    EXPECT_EQ(p.get_capacity(), 4u);
    p.proc_close();
    creator.kill_now();
    creator.wait();
    EXPECT_EQ(p.eproc_open(name.c_str()), c_vimra_not_created);
}

TEST_F(shared_pipe_test, corrupt_ring_header_is_refused_not_followed) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 4, 8), c_vimra_success);
    std::string seg = name + "pipe";
    int fd = shm_open(seg.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    auto* ring = static_cast<u_int32_t*>(mmap(nullptr, 20, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(ring, MAP_FAILED);
    close(fd);

    u_int64_t v = 0;
    ring[3] = 1000;  // head far outside the ring
    EXPECT_EQ(push(p, 1), c_vimra_unknown);
    EXPECT_EQ(recv(p, v), c_vimra_unknown);
    EXPECT_EQ(p.eproc_pop(reinterpret_cast<byte_t*>(&v)), c_vimra_unknown);
    ring[3] = 0;
    ring[4] = 5;  // tail == qsize
    EXPECT_EQ(push(p, 1), c_vimra_unknown);
    ring[4] = 0;
    EXPECT_EQ(push(p, 1), c_vimra_success);

    // An opener checks the geometry against the mapped segment.
    IPC::class_shared_pipe q;
    ring[0] = 100000;  // qsize beyond the segment
    EXPECT_EQ(q.eproc_open(name.c_str()), c_vimra_unknown);
    ring[0] = 5;
    ring[1] = 4096;  // element size beyond the segment
    EXPECT_EQ(q.eproc_open(name.c_str()), c_vimra_unknown);
    ring[1] = 8;
    EXPECT_EQ(q.eproc_open(name.c_str()), c_vimra_success);
    q.proc_close();
    munmap(ring, 20);
    p.proc_destroy();
}

TEST_F(shared_pipe_test, many_threads_move_every_element_once) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 16, 8), c_vimra_success);
    const int producers = 4, per = 2000;
    std::atomic<u_int64_t> sum{0};
    std::atomic<int> got{0};
    std::vector<std::thread> ts;
    for (int c = 0; c < 3; ++c)
        ts.emplace_back([&] {
            u_int64_t v;
            while (p.eproc_receive(reinterpret_cast<byte_t*>(&v)) == c_vimra_success) {
                sum += v;
                ++got;
            }
        });
    for (int t = 0; t < producers; ++t)
        ts.emplace_back([&, t] {
            for (int k = 1; k <= per; ++k) {
                u_int64_t v = static_cast<u_int64_t>(t) * per + k;
                while (p.eproc_send(reinterpret_cast<const byte_t*>(&v), 0) == c_vimra_busy) std::this_thread::yield();
            }
        });
    for (size_t i = 3; i < ts.size(); ++i) ts[i].join();
    while (got.load() < producers * per) std::this_thread::yield();
    p.proc_shutdown();
    for (int i = 0; i < 3; ++i) ts[i].join();
    const u_int64_t n = producers * per;
    EXPECT_EQ(sum.load(), n * (n + 1) / 2);
    p.proc_destroy();
}

TEST_F(shared_pipe_test, elements_sent_together_go_in_order_as_far_as_they_fit_and_come_out_together) {
    struct row {
        u_int32_t capacity;
        size_t queued, limit, count, sent;
        vimra_err_t result;
    };
    const row rows[] = {
        {4, 1, 0, 5, 3, c_vimra_busy},    // the ring fills up
        {4, 0, 2, 3, 2, c_vimra_busy},    // the limit is met
        {8, 2, 0, 4, 4, c_vimra_success},  // all fit
    };
    int i = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(i);
        const std::string n = name + std::to_string(i++);
        IPC::class_shared_pipe p;
        ASSERT_EQ(p.eproc_create(n.c_str(), r.capacity, 8), c_vimra_success);
        for (size_t k = 0; k < r.queued; ++k) ASSERT_EQ(push(p, k), c_vimra_success);
        std::vector<u_int64_t> batch;
        for (size_t k = 0; k < r.count; ++k) batch.push_back(100 + k);
        size_t sent = 99;
        EXPECT_EQ(p.eproc_send_n(reinterpret_cast<const byte_t*>(batch.data()), 8, batch.size(), r.limit, &sent),
                  r.result);
        EXPECT_EQ(sent, r.sent);
        std::vector<u_int64_t> out(64, ~0ull);
        size_t got = 0;
        ASSERT_EQ(p.eproc_receive_n(reinterpret_cast<byte_t*>(out.data()), 8, out.size(), &got), c_vimra_success);
        ASSERT_EQ(got, r.queued + r.sent);
        for (size_t k = 0; k < got; ++k) EXPECT_EQ(out[k], k < r.queued ? k : 100 + k - r.queued) << k;
        // At most as many as asked for come out.
        ASSERT_EQ(p.eproc_send_n(reinterpret_cast<const byte_t*>(batch.data()), 8, 2, 0, &sent), c_vimra_success);
        ASSERT_EQ(p.eproc_receive_n(reinterpret_cast<byte_t*>(out.data()), 8, 1, &got), c_vimra_success);
        EXPECT_EQ(got, 1u);
        EXPECT_EQ(p.get_size(), 1u);
        p.proc_shutdown();
        EXPECT_EQ(p.eproc_send_n(reinterpret_cast<const byte_t*>(batch.data()), 8, 2, 0, &sent), c_vimra_shutdown);
        EXPECT_EQ(sent, 0u);
        EXPECT_EQ(p.eproc_receive_n(reinterpret_cast<byte_t*>(out.data()), 8, out.size(), &got), c_vimra_shutdown);
        EXPECT_EQ(got, 0u);
        p.proc_destroy();
    }
}

TEST_F(shared_pipe_test, a_reader_waiting_on_an_empty_pipe_takes_what_was_sent_together_at_once) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 16, 8), c_vimra_success);
    std::atomic<size_t> got{0};
    std::thread reader([&] {
        u_int64_t out[16];
        size_t n = 0;
        if (p.eproc_receive_n(reinterpret_cast<byte_t*>(out), 8, 16, &n) == c_vimra_success) got = n;
    });
    const u_int64_t batch[5] = {1, 2, 3, 4, 5};
    size_t sent = 0;
    ASSERT_EQ(p.eproc_send_n(reinterpret_cast<const byte_t*>(batch), 8, 5, 0, &sent), c_vimra_success);
    reader.join();
    EXPECT_EQ(got.load(), 5u);
    p.proc_destroy();
}

TEST_F(shared_pipe_test, a_timed_batch_receive_takes_what_waits_or_returns_2_after_its_time) {
    IPC::class_shared_pipe p;
    ASSERT_EQ(p.eproc_create(name.c_str(), 16, 8), c_vimra_success);
    u_int64_t out[4];
    size_t got = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.eproc_receive_n_timeout(reinterpret_cast<byte_t*>(out), 8, 4, &got, 0.2), c_vimra_timeout);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.15);
    EXPECT_EQ(got, 0u);
    for (u_int64_t k = 1; k <= 6; ++k) ASSERT_EQ(push(p, k), c_vimra_success);
    ASSERT_EQ(p.eproc_receive_n_timeout(reinterpret_cast<byte_t*>(out), 8, 4, &got, 0.2), c_vimra_success);
    ASSERT_EQ(got, 4u);
    EXPECT_EQ((std::vector<u_int64_t>{1, 2, 3, 4}), std::vector<u_int64_t>(out, out + 4));
    EXPECT_EQ(p.eproc_receive_n_timeout(reinterpret_cast<byte_t*>(out), 4, 4, &got, 0.2), c_vimra_too_big_size);
    p.proc_shutdown();
    EXPECT_EQ(p.eproc_receive_n_timeout(reinterpret_cast<byte_t*>(out), 8, 4, &got, 0.2), c_vimra_shutdown);
    p.proc_destroy();
}

// Two threads bounce one element between two pipes, each receive finding its pipe empty: a
// wake lost between a reader's look at the ring and its wait would stop the bouncing.
TEST_F(shared_pipe_test, receivers_that_find_their_pipe_empty_miss_no_wake) {
    IPC::class_shared_pipe ping, pong;
    ASSERT_EQ(ping.eproc_create((name + "a").c_str(), 16, 8), c_vimra_success);
    ASSERT_EQ(pong.eproc_create((name + "b").c_str(), 16, 8), c_vimra_success);
    const u_int64_t rounds = 20000;
    std::atomic<bool> lost{false};
    std::thread echo([&] {
        for (u_int64_t k = 0; k < rounds; ++k) {
            u_int64_t v = 0;
            if (ping.eproc_receive_timeout(reinterpret_cast<byte_t*>(&v), 10.0) != c_vimra_success) {
                lost = true;
                return;
            }
            ++v;
            pong.eproc_send(reinterpret_cast<const byte_t*>(&v), 0);
        }
    });
    u_int64_t v = 0;
    for (u_int64_t k = 0; k < rounds && !lost; ++k) {
        ASSERT_EQ(ping.eproc_send(reinterpret_cast<const byte_t*>(&v), 0), c_vimra_success);
        ASSERT_EQ(pong.eproc_receive_timeout(reinterpret_cast<byte_t*>(&v), 10.0), c_vimra_success) << k;
    }
    echo.join();
    EXPECT_FALSE(lost.load());
    EXPECT_EQ(v, rounds);
    ping.proc_destroy();
    pong.proc_destroy();
}

// Senders that found the pipe full wait on its room event: one receive that brings the ring
// down to half wakes them, each woken sender passes the wake on, and a shut-down ends every
// wait at once. A pipe made without the event lets its senders poll instead.
TEST_F(shared_pipe_test, senders_refused_as_full_wait_for_room_and_are_woken_in_turn) {
    IPC::class_shared_pipe p, q;
    p.proc_want_room();
    q.proc_want_room();
    ASSERT_EQ(p.eproc_create(name.c_str(), 8, 8), c_vimra_success);
    ASSERT_EQ(q.eproc_open(name.c_str(), 8), c_vimra_success);
    ASSERT_TRUE(p.has_room_event() && q.has_room_event());
    // A bound far above what the test waits for: a sender woken only by it counts as lost.
    constexpr double c_bound = 30.0;
    auto fill = [&] {
        while (push(q, 1) == c_vimra_success) {
        }
    };
    std::atomic<int> timed_out{0}, sent{0};
    std::atomic<pid_t> tids[3] = {{0}, {0}, {0}};
    int senders_now = 3;
    auto sender = [&](int in_i, u_int64_t in_value) {
        tids[in_i] = static_cast<pid_t>(syscall(SYS_gettid));
        bool waited = false;
        for (;;) {
            const vimra_err_t r = q.eproc_send(reinterpret_cast<const byte_t*>(&in_value), 0);
            if (r != c_vimra_busy) {
                if (r == c_vimra_success) ++sent;
                if (r == c_vimra_success && waited) q.proc_pass_room();
                return r;
            }
            if (q.eproc_wait_room(c_bound) == c_vimra_timeout) ++timed_out;
            waited = true;
        }
    };
    auto all_waiting = [&] {
        for (int i = 0; i < senders_now; ++i)
            if (!kova_test::is_blocked_in(tids[i].load(), SYS_futex)) return false;
        return true;
    };

    fill();
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i) senders.emplace_back([&, i] { sender(i, 100 + i); });
    ASSERT_TRUE(kova_test::wait_until(all_waiting, 10.0));
    // Down to half: room for all three.
    for (int i = 0; i < 4; ++i) {
        u_int64_t v;
        ASSERT_EQ(recv(p, v), c_vimra_success);
    }
    const double woken = kova_test::now_s();
    for (std::thread& t : senders) t.join();
    EXPECT_LT(kova_test::now_s() - woken, 5.0);
    EXPECT_EQ(sent.load(), 3);
    EXPECT_EQ(timed_out.load(), 0);
    EXPECT_EQ(p.get_size(), 7u);

    // Full again: a shut-down wakes the waiting sender, whose push then reports it.
    fill();
    senders_now = 1;
    tids[0] = 0;
    vimra_err_t last = c_vimra_success;
    std::thread late([&] { last = sender(0, 200); });
    ASSERT_TRUE(kova_test::wait_until(all_waiting, 10.0));
    const double shut = kova_test::now_s();
    p.proc_shutdown();
    late.join();
    EXPECT_LT(kova_test::now_s() - shut, 5.0);
    EXPECT_EQ(last, c_vimra_shutdown);
    EXPECT_EQ(timed_out.load(), 0);
    q.proc_close();
    p.proc_destroy();

    // Made without the event: the opener's wait is a short poll, not the bound.
    IPC::class_shared_pipe plain, user;
    user.proc_want_room();
    const std::string other = name + "plain";
    ASSERT_EQ(plain.eproc_create(other.c_str(), 8, 8), c_vimra_success);
    ASSERT_EQ(user.eproc_open(other.c_str(), 8), c_vimra_success);
    EXPECT_FALSE(user.has_room_event());
    const double polled = kova_test::now_s();
    EXPECT_EQ(user.eproc_wait_room(c_bound), c_vimra_timeout);
    EXPECT_LT(kova_test::now_s() - polled, 1.0);
    user.proc_close();
    plain.proc_destroy();
}
