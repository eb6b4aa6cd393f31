#include "Pimo/OS/Linux/class_process_lock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "Pimo/OS/Linux/class_locker.h"
#include "named_test_support.h"

using namespace Pimo::OS;
using kova_test::child_process;
using kova_test::line_value;
using kova_test::now_s;

namespace {

class process_lock : public kova_test::named_fixture {
protected:
    const char* tag() const override { return "plock"; }
};

TEST_F(process_lock, presence_rule_across_processes_and_takeover_of_leftovers) {
    child_process a = start_probe({"lock_create", m_name});
    ASSERT_TRUE(a.wait_for_line("create 0"));

    class_process_lock b;
    EXPECT_EQ(b.eproc_create_local(m_name, false), c_vimra_already_exists);
    EXPECT_EQ(b.eproc_open(m_name, 0777), c_vimra_success);
    a.kill_now();
    a.wait();
    class_process_lock c;
    EXPECT_EQ(c.eproc_create_local(m_name, false), c_vimra_already_exists) << "b still holds it open";
    b.proc_close();
    EXPECT_EQ(c.eproc_create_local(m_name, false), c_vimra_success);
    // Reused leftovers work as a lock again.
    class_process_lock d;
    ASSERT_EQ(d.eproc_open(m_name, 0777), c_vimra_success);
    c.proc_wait();
    EXPECT_EQ(d.eproc_wait_try(), c_vimra_busy);
    c.proc_release();
    EXPECT_EQ(d.eproc_wait_try(), c_vimra_success);
    d.proc_release();
    d.proc_close();
    c.proc_destroy();
}

TEST_F(process_lock, open_of_absent_or_abandoned_name_is_7_and_next_creator_takes_over) {
    class_process_lock lk;
    EXPECT_EQ(lk.eproc_open(m_name, 0777), c_vimra_not_created);
    EXPECT_EQ(lk.eproc_open_global(m_name), c_vimra_not_created);

    child_process a = start_probe({"lock_create", m_name, "1"});
    ASSERT_TRUE(a.wait_for_line("create 0"));
    a.kill_now();
    a.wait();
    EXPECT_EQ(lk.eproc_open(m_name, 0777), c_vimra_not_created);
    ASSERT_EQ(lk.eproc_create_local(m_name, false), c_vimra_success);
    // The killed creator held the lock itself: the kernel let it go.
    EXPECT_EQ(lk.eproc_wait_try(), c_vimra_success);
    lk.proc_release();
    lk.proc_destroy();
}

TEST_F(process_lock, global_variants_share_one_prefixed_name) {
    class_process_lock a, b;
    ASSERT_EQ(a.eproc_create_global(m_name, false), c_vimra_success);
    EXPECT_EQ(a.get_name(), "Global\\" + m_name);
    EXPECT_EQ(b.eproc_open_local(m_name), c_vimra_success) << "the local open uses the global name";
    b.proc_close();
    EXPECT_EQ(b.eproc_open_global(m_name), c_vimra_success);
    b.proc_close();
    a.proc_destroy();
}

TEST_F(process_lock, recursion_of_wait_release_try_and_timeout) {
    class_process_lock a, other;
    ASSERT_EQ(a.eproc_create_local(m_name, false), c_vimra_success);
    ASSERT_EQ(other.eproc_open(m_name, 0777), c_vimra_success);

    a.proc_wait();
    a.proc_wait();
    EXPECT_EQ(a.eproc_wait_try(), c_vimra_success);
    EXPECT_EQ(a.eproc_wait_timeout(0.0), c_vimra_success);
    EXPECT_EQ(other.eproc_wait_try(), c_vimra_busy) << "a second descriptor excludes like a process";
    for (int i = 0; i < 3; ++i) {
        a.proc_release();
        EXPECT_EQ(other.eproc_wait_try(), c_vimra_busy) << "released " << i + 1 << " of 4";
    }
    a.proc_release();
    a.proc_release();  // one too many: nothing happens
    EXPECT_EQ(other.eproc_wait_try(), c_vimra_success);
    EXPECT_EQ(a.eproc_wait_try(), c_vimra_busy);
    other.proc_release();

    // A locker adds the per-thread recursion of the base class on top.
    {
        class_locker hold(a);
        EXPECT_EQ(other.eproc_wait_try(), c_vimra_busy);
    }
    EXPECT_EQ(other.eproc_wait_try(), c_vimra_success);
    other.proc_release();
    other.proc_close();
    a.proc_destroy();
}

TEST_F(process_lock, try_is_busy_from_another_thread_and_another_process) {
    class_process_lock a;
    ASSERT_EQ(a.eproc_create_local(m_name, false), c_vimra_success);
    a.proc_wait();
    vimra_err_t from_thread = c_vimra_unknown;
    double took = 0;
    std::thread t([&] {
        double s = now_s();
        from_thread = a.eproc_wait_try();
        took = now_s() - s;
    });
    t.join();
    EXPECT_EQ(from_thread, c_vimra_busy);
    EXPECT_LT(took, 0.5);

    std::string out = run({"lock_try", m_name});
    EXPECT_EQ(line_value(out, "open"), 0);
    EXPECT_EQ(line_value(out, "try"), c_vimra_busy);
    a.proc_release();
    out = run({"lock_try", m_name});
    EXPECT_EQ(line_value(out, "try"), 0);
    a.proc_destroy();
}

TEST_F(process_lock, timeout_zero_is_one_try_and_longer_timeouts_retry_each_second) {
    class_process_lock a, b;
    ASSERT_EQ(a.eproc_create_local(m_name, false), c_vimra_success);
    ASSERT_EQ(b.eproc_open(m_name, 0777), c_vimra_success);
    EXPECT_EQ(b.eproc_wait_timeout(0.0), c_vimra_success) << "free lock";
    b.proc_release();

    a.proc_wait();
    double s = now_s();
    EXPECT_EQ(b.eproc_wait_timeout(0.0), c_vimra_timeout);
    EXPECT_LT(now_s() - s, 0.5);
    s = now_s();
    EXPECT_EQ(b.eproc_wait_timeout(0.5), c_vimra_timeout);
    double took = now_s() - s;
    EXPECT_GE(took, 0.9) << "tried at once, then after one second";
    EXPECT_LT(took, 2.5);
    a.proc_release();
    b.proc_close();
    a.proc_destroy();
}

TEST_F(process_lock, lock_of_a_killed_holder_reaches_a_waiter_within_about_a_second) {
    class_process_lock a;
    ASSERT_EQ(a.eproc_create_local(m_name, false), c_vimra_success);
    child_process holder = start_probe({"lock_open_hold", m_name});
    ASSERT_TRUE(holder.wait_for_line("held"));

    class_process_lock timed, blocking;
    ASSERT_EQ(timed.eproc_open(m_name, 0777), c_vimra_success);
    ASSERT_EQ(blocking.eproc_open(m_name, 0777), c_vimra_success);
    vimra_err_t r = c_vimra_unknown;
    std::atomic<double> got_timed{0}, got_blocking{0};
    std::thread t1([&] {
        r = timed.eproc_wait_timeout(10.0);
        got_timed = now_s();
        timed.proc_release();
    });
    std::thread t2([&] {
        blocking.proc_wait();
        got_blocking = now_s();
        blocking.proc_release();
    });
    EXPECT_EQ(a.eproc_wait_timeout(0.0), c_vimra_timeout);
    double killed = now_s();
    holder.kill_now();
    t1.join();
    t2.join();
    EXPECT_EQ(r, c_vimra_success);
    EXPECT_LT(got_timed - killed, 2.5);
    EXPECT_LT(got_blocking - killed, 2.5);
    timed.proc_close();
    blocking.proc_close();
    a.proc_destroy();
}

TEST_F(process_lock, immediately_locked_creation_blocks_others_until_its_first_wait_release) {
    class_process_lock a;
    ASSERT_EQ(a.eproc_create_local(m_name, true), c_vimra_success);
    EXPECT_EQ(line_value(run({"lock_try", m_name}), "try"), c_vimra_busy);
    a.proc_wait();
    a.proc_release();
    EXPECT_EQ(line_value(run({"lock_try", m_name}), "try"), 0);
    a.proc_destroy();
}

void ignore_signal(int) {}

TEST_F(process_lock, interrupted_wait_keeps_waiting_instead_of_claiming_the_lock) {
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;  // no SA_RESTART: the blocked flock returns EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    class_process_lock a, b;
    ASSERT_EQ(a.eproc_create_local(m_name, false), c_vimra_success);
    ASSERT_EQ(b.eproc_open(m_name, 0777), c_vimra_success);
    a.proc_wait();
    std::atomic<bool> returned{false};
    std::atomic<pid_t> tid{0};
    std::thread t([&] {
        tid = kova_test::this_thread_id();
        b.proc_wait();
        returned = true;
        EXPECT_EQ(a.eproc_wait_try(), c_vimra_busy) << "b really holds it";
        b.proc_release();
    });
    // Each signal meets the waiter asleep in the lock; it must go back to waiting.
    const auto waiting_or_returned = [&] {
        return kova_test::wait_until([&] { return returned.load() || kova_test::is_thread_asleep(tid.load()); }, 10.0);
    };
    for (int i = 0; i < 20 && waiting_or_returned() && !returned; ++i) pthread_kill(t.native_handle(), SIGUSR1);
    EXPECT_TRUE(waiting_or_returned());
    EXPECT_FALSE(returned) << "an interrupted flock was taken as held";
    a.proc_release();
    t.join();
    EXPECT_TRUE(returned);
    sigaction(SIGUSR1, &old, nullptr);
    b.proc_close();
    a.proc_destroy();
}

TEST(process_lock_failures, a_lock_never_made_live_is_never_held) {
    class_process_lock lk;
    EXPECT_EQ(lk.eproc_wait_try(), c_vimra_unknown);
    EXPECT_EQ(lk.eproc_wait_timeout(0.0), c_vimra_unknown);
    lk.proc_wait();     // fails: not held
    lk.proc_release();  // so this does nothing
    EXPECT_EQ(lk.eproc_wait_try(), c_vimra_unknown);
    lk.proc_destroy();
}

}  // namespace
