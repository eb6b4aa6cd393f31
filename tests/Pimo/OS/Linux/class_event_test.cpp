#include "Pimo/OS/Linux/class_event.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <thread>

#include "named_test_support.h"

using namespace Pimo::OS;
using kova_test::child_process;
using kova_test::line_value;
using kova_test::line_values;
using kova_test::now_s;

namespace {

typedef class_event::struct_event_object record_t;

class event : public kova_test::named_fixture {
protected:
    const char* tag() const override { return "event"; }

    // The record as another process sees it, mapped behind the library's back.
    record_t* map_record() {
        int fd = shm_open(m_name.c_str(), O_RDWR, 0);
        EXPECT_GE(fd, 0);
        if (fd < 0) return nullptr;
        void* p = mmap(nullptr, sizeof(record_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        EXPECT_NE(p, MAP_FAILED);
        return p == MAP_FAILED ? nullptr : static_cast<record_t*>(p);
    }
};

// Each signalling sequence on a fresh event, in one process: unnamed and named must agree.
TEST_F(event, signalling_table_for_unnamed_and_named_events) {
    struct step {
        char op;       // s set, p pulse, r reset, c cancel, t try, T try with the manual flag forced on
        int expected;  // result of t/T
    };
    struct row {
        const char* what;
        bool manual;
        std::vector<step> steps;
    };
    const row rows[] = {
        {"automatic set releases one try", false, {{'s', 0}, {'t', 0}, {'t', 2}}},
        {"manual set stays until reset", true, {{'s', 0}, {'t', 0}, {'t', 0}, {'t', 0}, {'r', 0}, {'t', 2}}},
        {"pulse without waiter only clears", false, {{'s', 0}, {'p', 0}, {'t', 2}}},
        {"manual pulse without waiter", true, {{'p', 0}, {'t', 2}}},
        {"reset withdraws a pending set", false, {{'s', 0}, {'r', 0}, {'t', 2}}},
        {"forced manual wait leaves set", false, {{'s', 0}, {'T', 0}, {'T', 0}, {'t', 0}, {'t', 2}}},
        {"cancel wins over set, for good", false, {{'s', 0}, {'c', 0}, {'t', 1}, {'s', 0}, {'t', 1}, {'r', 0}, {'t', 1}}},
        {"not set: try is 2", true, {{'t', 2}}},
    };
    for (int named = 0; named < 2; ++named) {
        for (const row& r : rows) {
            class_event ev;
            if (named)
                ASSERT_EQ(ev.eproc_create_local(m_name, r.manual), c_vimra_success) << r.what;
            else
                ASSERT_EQ(ev.eproc_create(r.manual), c_vimra_success);
            int i = 0;
            for (const step& s : r.steps) {
                switch (s.op) {
                    case 's': ev.proc_set(); break;
                    case 'p': ev.proc_pulse(); break;
                    case 'r': ev.proc_reset(); break;
                    case 'c': ev.proc_cancel(); break;
                    case 't': EXPECT_EQ(ev.eproc_wait_try(), s.expected) << r.what << " step " << i << " named " << named; break;
                    case 'T': EXPECT_EQ(ev.eproc_wait_try(true), s.expected) << r.what << " step " << i; break;
                }
                ++i;
            }
            // A cancelled event also fails the blocking and the timed forms at once.
            if (r.steps.size() > 2 && r.steps[1].op == 'c') {
                EXPECT_EQ(ev.eproc_wait(), c_vimra_canceled);
                EXPECT_EQ(ev.eproc_wait_timeout(DBL_MAX), c_vimra_canceled);
            }
            ev.proc_destroy();
        }
    }
}

TEST_F(event, timed_waits_use_their_duration_and_zero_does_not_sleep) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create_local(m_name, false), c_vimra_success);
    double s = now_s();
    EXPECT_EQ(ev.eproc_wait_timeout(0.0), c_vimra_timeout);
    EXPECT_LT(now_s() - s, 0.1);
    s = now_s();
    EXPECT_EQ(ev.eproc_wait_timeout(false, 0.25), c_vimra_timeout);
    double took = now_s() - s;
    EXPECT_GE(took, 0.24);
    EXPECT_LT(took, 1.5);
    ev.proc_set();
    EXPECT_EQ(ev.eproc_wait_timeout(DBL_MAX), c_vimra_success) << "infinite wait on a set event";
    ev.proc_destroy();
}

TEST_F(event, no_record_gives_7) {
    class_event never;
    EXPECT_EQ(never.eproc_wait(), c_vimra_not_created);
    EXPECT_EQ(never.eproc_wait_try(), c_vimra_not_created);
    EXPECT_EQ(never.eproc_wait_timeout(0.1), c_vimra_not_created);

    class_event failed;
    EXPECT_EQ(failed.eproc_open_local(m_name), c_vimra_unknown) << "companion never created";
    EXPECT_EQ(failed.eproc_wait_try(), c_vimra_not_created);

    class_event creator, opener, unnamed;
    ASSERT_EQ(creator.eproc_create_local(m_name, false), c_vimra_success);
    ASSERT_EQ(opener.eproc_open_local(m_name), c_vimra_success);
    ASSERT_EQ(unnamed.eproc_create(false), c_vimra_success);
    opener.proc_close();
    unnamed.proc_destroy();
    EXPECT_EQ(opener.eproc_wait_try(), c_vimra_not_created);
    EXPECT_EQ(unnamed.eproc_wait_try(), c_vimra_not_created);
    ASSERT_EQ(unnamed.eproc_create(true), c_vimra_success);
    unnamed.proc_close();  // frees the heap record instead of unmapping it
    EXPECT_EQ(unnamed.eproc_wait_try(), c_vimra_not_created);
    EXPECT_EQ(failed.eproc_create_local(m_name, false), c_vimra_already_exists);
    EXPECT_EQ(failed.eproc_wait(), c_vimra_not_created);
    creator.proc_destroy();
    EXPECT_EQ(creator.eproc_wait(), c_vimra_not_created);
}

TEST_F(event, creators_destroy_removes_the_name_but_openers_keep_their_mapping) {
    class_event creator, opener, late;
    ASSERT_EQ(creator.eproc_create_global(m_name, true), c_vimra_success);
    ASSERT_EQ(opener.eproc_open_global(m_name), c_vimra_success);
    creator.proc_destroy();
    EXPECT_EQ(late.eproc_open_global(m_name), c_vimra_not_created);
    opener.proc_set();
    EXPECT_EQ(opener.eproc_wait_try(), c_vimra_success);
    opener.proc_close();
}

TEST_F(event, presence_rule_and_takeover_across_processes) {
    child_process a = start_probe({"evt_create", m_name, "0"});
    ASSERT_TRUE(a.wait_for_line("create 0"));
    class_event ev;
    EXPECT_EQ(ev.eproc_create_local(m_name, false), c_vimra_already_exists);
    ASSERT_EQ(ev.eproc_open_local(m_name), c_vimra_success);
    ev.proc_set();
    ev.proc_cancel();
    ev.proc_close();
    a.kill_now();
    a.wait();

    EXPECT_EQ(ev.eproc_open_local(m_name), c_vimra_not_created) << "left only by a killed creator";
    ASSERT_EQ(ev.eproc_create_local(m_name, true), c_vimra_success) << "leftovers are taken over";
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_timeout) << "the record was built afresh: neither cancelled nor set";
    EXPECT_EQ(line_value(run({"evt_wait", m_name, "1"}), "wait"), c_vimra_timeout);
    ev.proc_destroy();
}

TEST_F(event, set_pulse_cancel_and_timeouts_between_processes) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create_local(m_name, false), c_vimra_success);

    // Set wakes a blocked waiter of another process.
    child_process w = start_probe({"evt_wait", m_name, "0"});
    ASSERT_TRUE(w.wait_for_line("ready"));
    ev.proc_set();
    ASSERT_EQ(w.wait(), 0);
    EXPECT_EQ(line_value(w.output(), "wait"), c_vimra_success);
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_timeout) << "the waiter took the automatic set";

    // Pulse: repeated until the waiter is seen to wake, each with nobody set.
    child_process p = start_probe({"evt_wait", m_name, "2", "10"});
    ASSERT_TRUE(p.wait_for_line("ready"));
    double give_up = now_s() + 8;
    while (p.wait(0.02) < 0 && now_s() < give_up) ev.proc_pulse();
    EXPECT_EQ(line_value(p.output(), "wait"), c_vimra_success);
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_timeout) << "a pulse leaves the event clear";

    // Set and reset from another process.
    EXPECT_EQ(line_value(run({"evt_signal", m_name, "set"}), "open"), 0);
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_success);
    run({"evt_signal", m_name, "set"});
    run({"evt_signal", m_name, "reset"});
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_timeout);

    // Absolute real-time deadline in another process.
    std::vector<long long> t = line_values(run({"evt_wait", m_name, "2", "0.3"}), "wait");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], c_vimra_timeout);
    EXPECT_GE(t[1], 290);
    EXPECT_LT(t[1], 2000);

    // Cancel releases a blocked waiter with 1, and every later wait too.
    child_process c = start_probe({"evt_wait", m_name, "0"});
    ASSERT_TRUE(c.wait_for_line("ready"));
    ev.proc_cancel();
    ASSERT_EQ(c.wait(), 0);
    EXPECT_EQ(line_value(c.output(), "wait"), c_vimra_canceled);
    EXPECT_EQ(line_value(run({"evt_wait", m_name, "2", "5"}), "wait"), c_vimra_canceled);
    ev.proc_destroy();
}

TEST_F(event, manual_set_releases_every_process_until_reset) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create_local(m_name, true), c_vimra_success);
    child_process a = start_probe({"evt_wait", m_name, "0"});
    child_process b = start_probe({"evt_wait", m_name, "2", "10"});
    ASSERT_TRUE(a.wait_for_line("ready"));
    ASSERT_TRUE(b.wait_for_line("ready"));
    ev.proc_set();
    ASSERT_EQ(a.wait(), 0);
    ASSERT_EQ(b.wait(), 0);
    EXPECT_EQ(line_value(a.output(), "wait"), c_vimra_success);
    EXPECT_EQ(line_value(b.output(), "wait"), c_vimra_success);
    EXPECT_EQ(line_value(run({"evt_wait", m_name, "1"}), "wait"), c_vimra_success);
    ev.proc_reset();
    EXPECT_EQ(line_value(run({"evt_wait", m_name, "1"}), "wait"), c_vimra_timeout);
    ev.proc_destroy();
}

TEST_F(event, wakes_without_set_pulse_or_cancel_do_not_end_a_wait) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create_local(m_name, false), c_vimra_success);
    record_t* rec = map_record();
    ASSERT_NE(rec, nullptr);

    // Timed: broadcasts on the condition alone are spurious wakes for the waiter.
    std::atomic<bool> done{false};
    vimra_err_t r = c_vimra_unknown;
    double took = 0;
    std::thread t([&] {
        double s = now_s();
        r = ev.eproc_wait_timeout(0.5);
        took = now_s() - s;
        done = true;
    });
    while (!done) {
        pthread_cond_broadcast(&rec->cond);
        usleep(2000);
    }
    t.join();
    EXPECT_EQ(r, c_vimra_timeout);
    EXPECT_GE(took, 0.49);

    // Blocking: still asleep after spurious wakes, then a pulse ends it with 0.
    done = false;
    std::atomic<pid_t> tid{0};
    std::thread t2([&] {
        tid = kova_test::this_thread_id();
        r = ev.eproc_wait();
        done = true;
    });
    EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::is_thread_asleep(tid.load()); }, 10.0));
    for (int i = 0; i < 50; ++i) {
        pthread_cond_broadcast(&rec->cond);
        usleep(2000);
    }
    EXPECT_FALSE(done) << "a spurious wake returned 0";
    while (!done) {
        ev.proc_pulse();
        usleep(2000);
    }
    t2.join();
    EXPECT_EQ(r, c_vimra_success);
    munmap(rec, sizeof(record_t));
    ev.proc_destroy();
}

TEST_F(event, automatic_pulse_releases_one_of_two_waiters) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create(false), c_vimra_success);
    std::atomic<int> released{0};
    std::atomic<pid_t> tids[2] = {{0}, {0}};
    auto waiter = [&](int in_i) {
        tids[in_i] = kova_test::this_thread_id();
        if (ev.eproc_wait_timeout(1.0) == c_vimra_success) ++released;
    };
    std::thread a(waiter, 0), b(waiter, 1);
    // A pulse reaches only current waiters: wait until both threads sleep in the wait.
    for (auto& tid : tids) kova_test::wait_until([&] { return kova_test::is_thread_asleep(tid.load()); }, 0.4);
    ev.proc_pulse();
    a.join();
    b.join();
    EXPECT_EQ(released, 1);
    ev.proc_destroy();
}

TEST_F(event, a_process_killed_holding_the_record_lock_does_not_hang_the_others) {
    class_event ev;
    ASSERT_EQ(ev.eproc_create_local(m_name, false), c_vimra_success);
    child_process holder = start_probe({"evt_hold_mutex", m_name});
    ASSERT_TRUE(holder.wait_for_line("locked"));
    holder.kill_now();
    holder.wait();
    // Another process recovers the lock, sets and takes the event; bounded in case it hangs.
    std::string out = run({"evt_setwait", m_name}, 5.0);
    ASSERT_EQ(line_value(out, "setwait"), c_vimra_success) << out;
    ev.proc_set();
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_success);
    EXPECT_EQ(ev.eproc_wait_try(), c_vimra_timeout);
    ev.proc_destroy();
}

}  // namespace
