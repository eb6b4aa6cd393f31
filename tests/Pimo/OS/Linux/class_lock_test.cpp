#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Pimo/OS/Linux/class_count_lock.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_thread.h"
#include "Pimo/OS/Linux/class_timer.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "test_process.h"

using namespace Pimo::OS;
using Pimo::byte_t;

namespace {

// Counts how often the underlying lock is entered and left.
class counting_lock : public class_lock {
public:
    void proc_lock() override {
        m_inner.proc_lock();
        ++entered;
    }
    void proc_unlock() override {
        ++left;
        m_inner.proc_unlock();
    }
    int entered = 0;
    int left = 0;

private:
    class_thread_lock m_inner;
};

class counting_count_lock : public class_count_lock {
public:
    void proc_read_lock() override { log.push_back('r'); }
    void proc_read_unlock() override { log.push_back('R'); }
    void proc_write_lock() override { log.push_back('w'); }
    void proc_write_unlock() override { log.push_back('W'); }
    std::string log;
};

}  // namespace

TEST(class_lock, recursion_enters_underlying_lock_once_and_ignores_foreign_unlock) {
    counting_lock l;
    l.lock();
    l.lock();
    l.lock();
    EXPECT_EQ(l.entered, 1);
    std::thread([&] { l.unlock(); }).join();  // not the owner: ignored
    l.unlock();
    l.unlock();
    EXPECT_EQ(l.left, 0);
    l.unlock();
    EXPECT_EQ(l.left, 1);
    l.unlock();  // a fourth release does nothing
    EXPECT_EQ(l.left, 1);
}

TEST(class_lock, thread_lock_excludes_other_threads) {
    class_thread_lock l;
    int counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                class_locker g(l);
                class_locker nested(&l);
                ++counter;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(class_locker, state_byte_and_null_lock) {
    byte_t state = 0;
    {
        class_locker g(static_cast<class_lock*>(nullptr), &state);
        EXPECT_EQ(state, 1);
        EXPECT_FALSE(g.is_crashed());
    }
    EXPECT_EQ(state, 0);

    counting_lock l;
    {
        class_locker g(l, &state);
        EXPECT_FALSE(g.is_crashed());
        g.unlock();  // early release; the byte stays until the destructor
        EXPECT_EQ(l.left, 1);
        EXPECT_EQ(state, 1);
    }
    EXPECT_EQ(state, 0);
    EXPECT_EQ(l.left, 1);
}

TEST(class_locker, set_state_byte_reports_crash_with_pid) {
    counting_lock l;
    byte_t state = 1;
    testing::internal::CaptureStdout();
    bool crashed;
    {
        class_locker g(l, &state);
        crashed = g.is_crashed();
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(crashed);
    EXPECT_EQ(out, "kova - pid(" + std::to_string(get_process_id()) + ") - kova memory crashed~\n");
    EXPECT_EQ(state, 0);
}

TEST(class_locker, unlocker_and_count_holders_pair_their_calls) {
    counting_lock l;
    l.lock();
    {
        class_unlocker u(&l);
        EXPECT_EQ(l.left, 1);
    }
    EXPECT_EQ(l.entered, 2);
    l.unlock();

    counting_count_lock c;
    {
        class_read_locker r(c);
        { class_read_unlocker ru(&c); }
        class_write_locker w(&c);
        { class_write_unlocker wu(c); }
        class_read_locker none(static_cast<class_count_lock*>(nullptr));
    }
    EXPECT_EQ(c.log, "rRrwWwWR");
}

TEST(class_count_lock, readers_share_writer_excludes) {
    class_thread_count_lock rw;
    std::atomic<int> readers{0};
    std::atomic<int> max_readers{0};
    std::atomic<bool> writer_saw_reader{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                class_read_locker r(rw);
                int n = ++readers;
                int m = max_readers.load();
                while (n > m && !max_readers.compare_exchange_weak(m, n)) {
                }
                std::this_thread::yield();
                --readers;
            }
        });
    ts.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            class_write_locker w(rw);
            if (readers.load() != 0) writer_saw_reader = true;
        }
    });
    for (auto& t : ts) t.join();
    EXPECT_FALSE(writer_saw_reader.load());
}

TEST(class_thread, entry_receives_wrapper_and_join_returns_result) {
    class_thread t;
    int param = 41;
    ASSERT_EQ(t.eproc_create(
                  [](class_thread* self) -> void* {
                      int* p = static_cast<int*>(self->get_thread_param());
                      ++*p;
                      return p;
                  },
                  &param),
              c_vimra_success);
    EXPECT_TRUE(t.is_created());
    void* ret = nullptr;
    t.proc_wait_exit(&ret);
    EXPECT_EQ(ret, &param);
    EXPECT_EQ(param, 42);
    EXPECT_FALSE(t.is_created());

    class_thread never;
    never.proc_wait_exit(&ret);  // nothing recorded: nothing happens
    EXPECT_FALSE(never.is_created());
}

namespace {
struct timer_probe {
    std::vector<double> at;  // the timer's thread alone writes it while the timer runs
    std::atomic<int> calls{0};
    double first_delay = 0;
    double t0 = 0;
};
}  // namespace

TEST(class_timer, fixed_rate_catches_up_after_overrun) {
    class_timer t;
    timer_probe p;
    p.first_delay = 1.2;
    p.t0 = kova_test::now_s();
    ASSERT_EQ(t.eproc_create(
                  0.5,
                  [](class_timer* self) {
                      auto* pr = static_cast<timer_probe*>(self->get_timer_param());
                      pr->at.push_back(kova_test::now_s() - pr->t0);
                      ++pr->calls;
                      if (pr->at.size() == 1) std::this_thread::sleep_for(std::chrono::duration<double>(pr->first_delay));
                  },
                  &p),
              c_vimra_success);
    EXPECT_TRUE(t.is_valid());
    const bool five = kova_test::wait_until([&] { return p.calls.load() >= 5; }, 10.0);
    t.proc_destroy();
    ASSERT_TRUE(five);
    EXPECT_FALSE(t.is_valid());
    // Deadlines 0.5, 1.0, 1.5, 2.0, 2.5: the first callback ends at 1.7, so 1.0 and 1.5 run at once.
    EXPECT_NEAR(p.at[0], 0.5, 0.15);
    EXPECT_NEAR(p.at[1], 1.7, 0.2);
    EXPECT_NEAR(p.at[2], 1.7, 0.2);
    EXPECT_NEAR(p.at[3], 2.0, 0.15);
    EXPECT_NEAR(p.at[4], 2.5, 0.15);
}

TEST(class_timer, destroy_cuts_a_long_period_short_and_never_created_is_left_alone) {
    class_timer never;
    never.proc_destroy();

    class_timer t;
    int calls = 0;
    ASSERT_EQ(t.eproc_create(3600.0, [](class_timer* self) { ++*static_cast<int*>(self->get_timer_param()); }, &calls),
              c_vimra_success);
    double t0 = kova_test::now_s();
    t.proc_destroy();
    EXPECT_LT(kova_test::now_s() - t0, 0.5);
    EXPECT_EQ(calls, 0);
}

TEST(class_timer, intervals_are_clamped) {
    struct row { double in, out; };
    for (row r : {row{0.0, class_timer::c_min_interval}, row{-5.0, class_timer::c_min_interval},
                  row{1e12, class_timer::c_max_interval}, row{0.25, 0.25}}) {
        class_timer t;
        ASSERT_EQ(t.eproc_create(r.in, [](class_timer*) {}, nullptr), c_vimra_success);
        EXPECT_EQ(t.get_interval(), r.out) << r.in;
        t.proc_destroy();
    }
}
