// The sync model and its timer: which intervals the timer model takes, ticks only while the
// owner sends and only in the timer model, and changes that wait for a tick in progress.
#include "Kova/SDK/Sender/class_sync_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "test_process.h"

using Kova::SDK::Sender::class_sync_timer;

namespace {

typedef class_sync_timer::struct_settings settings_t;

// An owner that records each tick: when it ran and with what.
struct owner {
    struct tick {
        double at;
        settings_t settings;
    };
    Pimo::OS::class_thread_lock lock;
    std::mutex mutex;
    std::vector<tick> ticks;
    std::atomic<double> hold_s{0.0};  // how long a tick stays inside
    std::atomic<bool> inside{false};

    static void on_tick(void* pin_owner, settings_t const& in_settings) {
        owner* self = static_cast<owner*>(pin_owner);
        self->inside = true;
        const double hold = self->hold_s.exchange(0.0);
        if (hold > 0) Pimo::OS::msleep(static_cast<unsigned>(hold * 1000));
        {
            std::lock_guard<std::mutex> g(self->mutex);
            self->ticks.push_back(tick{kova_test::now_s(), in_settings});
        }
        self->inside = false;
    }
    std::vector<tick> seen() {
        std::lock_guard<std::mutex> g(mutex);
        return ticks;
    }
    std::size_t count() { return seen().size(); }
};

settings_t current(owner& in_owner, class_sync_timer& in_timer) {
    Pimo::OS::class_locker lock(in_owner.lock);
    return in_timer.get_settings();
}

}  // namespace

TEST(class_sync_timer, the_timer_model_takes_only_finite_intervals_within_its_bound) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct row {
        double interval;
        bool command;      // (0, 2^31)
        bool information;  // (0, 10^7]
    };
    const row rows[] = {
        {0.0, false, false},           {-0.5, false, false},        {nan, false, false},
        {inf, false, false},           {-inf, false, false},        {1e-9, true, true},
        {0.1, true, true},             {1e7, true, true},           {1e7 + 1, true, false},
        {2147483647.0, true, false},   {2147483648.0, false, false}, {4294967295.0, false, false},
        {std::numeric_limits<double>::max(), false, false},
    };
    for (bool command : {true, false}) {
        owner o;
        class_sync_timer timer(o.lock, command ? 2147483648.0 : 1e7, !command, &owner::on_tick, &o);
        for (const row& r : rows) {
            SCOPED_TRACE((command ? "command " : "information ") + std::to_string(r.interval));
            const bool valid = command ? r.command : r.information;
            EXPECT_EQ(timer.is_valid_interval(r.interval), valid);
            ASSERT_TRUE(timer.proc_set(true, Kova::c_sender_sync_model_on_post, r.interval)) << "any interval posts";
            EXPECT_EQ(timer.proc_set(false, Kova::c_sender_sync_model_on_timer, r.interval), valid);
            const settings_t s = current(o, timer);
            if (valid) {
                EXPECT_EQ(s.model, Kova::c_sender_sync_model_on_timer);
                EXPECT_FALSE(s.using_udp);
                EXPECT_EQ(s.interval, r.interval);
            } else {
                EXPECT_EQ(s.model, Kova::c_sender_sync_model_on_post) << "nothing changed";
                EXPECT_TRUE(s.using_udp);
                EXPECT_EQ(s.interval, class_sync_timer::c_post_interval);
            }
        }
        // Another model is kept as given, with the posting interval and no timer.
        ASSERT_TRUE(timer.proc_set(false, 7, 0.01));
        EXPECT_EQ(current(o, timer).model, 7u);
        EXPECT_EQ(current(o, timer).interval, class_sync_timer::c_post_interval);
    }
}

TEST(class_sync_timer, ticks_come_at_the_interval_only_while_the_owner_sends_and_end_with_the_model) {
    owner o;
    class_sync_timer timer(o.lock, 2147483648.0, false, &owner::on_tick, &o);
    EXPECT_FALSE(timer.is_sending());
    ASSERT_TRUE(timer.proc_set(true, Kova::c_sender_sync_model_on_timer, 0.02));
    Pimo::OS::msleep(200);
    EXPECT_EQ(o.count(), 0u) << "not sending: no tick reaches the owner";

    EXPECT_FALSE(timer.proc_exchange_sending(true));
    EXPECT_TRUE(timer.is_sending());
    const double set_at = kova_test::now_s();
    ASSERT_TRUE(timer.proc_set(false, Kova::c_sender_sync_model_on_timer, 0.05));
    // A tick of the old settings may have begun before the change took hold (the change waits
    // for it, and it keeps what it began with): at most that one, and only first.
    const auto new_ticks = [&] {
        std::vector<owner::tick> all = o.seen();
        std::size_t old = 0;
        while (old < all.size() && old < 1 && all[old].settings.interval == 0.02) ++old;
        return std::vector<owner::tick>(all.begin() + static_cast<std::ptrdiff_t>(old), all.end());
    };
    ASSERT_TRUE(kova_test::wait_until([&] { return new_ticks().size() >= 6; }, 10.0));
    std::vector<owner::tick> t = new_ticks();
    EXPECT_GE(t[0].at - set_at, 0.05 - 0.002) << "the first tick one interval after the change";
    for (const owner::tick& k : t) {
        EXPECT_EQ(k.settings.model, Kova::c_sender_sync_model_on_timer);
        EXPECT_FALSE(k.settings.using_udp);
        EXPECT_EQ(k.settings.interval, 0.05);
    }
    // Never early: the sixth tick comes six intervals after the change at the soonest, however
    // late any one callback ran (a late first one does not shift the others).
    EXPECT_GE(t[5].at - set_at, 6 * 0.05 - 0.002);

    ASSERT_TRUE(timer.proc_set(false, Kova::c_sender_sync_model_on_post, 0.05));
    const std::size_t stopped = o.count();
    Pimo::OS::msleep(200);
    EXPECT_EQ(o.count(), stopped) << "the posting model has no timer";
}

TEST(class_sync_timer, changes_wait_for_a_tick_in_progress_which_keeps_the_settings_it_began_with) {
    owner o;
    class_sync_timer timer(o.lock, 2147483648.0, false, &owner::on_tick, &o);
    timer.proc_exchange_sending(true);
    o.hold_s = 0.3;
    ASSERT_TRUE(timer.proc_set(false, Kova::c_sender_sync_model_on_timer, 0.02));
    ASSERT_TRUE(kova_test::wait_until(o.inside, 5.0));
    ASSERT_TRUE(timer.proc_set(true, Kova::c_sender_sync_model_on_timer, 0.03));
    const double changed_at = kova_test::now_s();
    std::vector<owner::tick> t = o.seen();
    ASSERT_FALSE(t.empty()) << "the change came after the tick in progress";
    EXPECT_LE(t[0].at, changed_at);
    EXPECT_FALSE(t[0].settings.using_udp);
    EXPECT_EQ(t[0].settings.interval, 0.02);
    ASSERT_TRUE(kova_test::wait_until([&] { return o.count() >= 3; }, 10.0));
    t = o.seen();
    for (std::size_t i = 1; i < t.size(); ++i) {
        EXPECT_TRUE(t[i].settings.using_udp);
        EXPECT_EQ(t[i].settings.interval, 0.03);
    }

    // The owner stops sending during a tick: once that returns, no tick runs any more.
    o.hold_s = 0.3;
    ASSERT_TRUE(kova_test::wait_until(o.inside, 5.0));
    EXPECT_TRUE(timer.proc_exchange_sending(false));
    EXPECT_FALSE(o.inside.load()) << "the change waited for the tick";
    const std::size_t last = o.count();
    Pimo::OS::msleep(150);
    EXPECT_EQ(o.count(), last);
}
