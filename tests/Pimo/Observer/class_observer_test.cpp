#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "Pimo/IPC/class_shared_observer_pipe.h"
#include "test_process.h"

using namespace Pimo;
using namespace Pimo::OS;
using kova_test::child_process;

namespace {

int thread_count() { return static_cast<int>(kova_test::thread_ids().size()); }

// The threads of this process started since in_before was taken.
std::vector<pid_t> threads_since(const std::vector<pid_t>& in_before) {
    std::vector<pid_t> started;
    for (pid_t tid : kova_test::thread_ids())
        if (std::find(in_before.begin(), in_before.end(), tid) == in_before.end()) started.push_back(tid);
    return started;
}

// A watcher asleep has tried the creator's lock and found it held: it sleeps until its next try.
bool all_asleep(const std::vector<pid_t>& in_tids) {
    return !in_tids.empty() && std::all_of(in_tids.begin(), in_tids.end(), kova_test::is_thread_asleep);
}

class watched_pipe : public IPC::class_shared_observer_pipe {
public:
    void* on_destroy() override {
        u_int64_t v = 0;
        send_after = eproc_send(reinterpret_cast<const byte_t*>(&v), 0);
        fired = true;
        return nullptr;
    }
    std::atomic<bool> fired{false};
    std::atomic<int> send_after{-100};
};

using kova_test::wait_until;

class observer_test : public testing::Test {
protected:
    void SetUp() override { name = kova_test::unique_name("obs"); }
    void TearDown() override { kova_test::remove_shm_containing(name); }
    child_process probe(const std::vector<std::string>& args) {
        child_process c = kova_test::start_probe("probe_pipe", args);
        EXPECT_GT(c.pid(), 0);
        return c;
    }
    std::string name;
};

}  // namespace

TEST_F(observer_test, on_destroy_runs_in_every_user_after_creator_is_killed) {
    child_process creator = probe({"create", name, "1", "8", "observer"});
    ASSERT_TRUE(creator.wait_for_line("create 0"));
    creator.send_line("send 1");  // fill the ring so that the watchers' sends fail
    ASSERT_TRUE(creator.wait_for_line("send 0"));

    std::vector<child_process> users;
    for (int i = 0; i < 3; ++i) {
        users.push_back(probe({"open", name, "observer"}));
        ASSERT_TRUE(users.back().wait_for_line("open 0"));
    }
    const std::vector<pid_t> before = kova_test::thread_ids();
    const int baseline = static_cast<int>(before.size());
    std::vector<std::unique_ptr<watched_pipe>> mine;
    for (int i = 0; i < 4; ++i) {
        mine.emplace_back(new watched_pipe);
        ASSERT_EQ(mine.back()->eproc_open(name.c_str()), c_vimra_success);
        EXPECT_TRUE(mine.back()->is_live());
        EXPECT_FALSE(mine.back()->test_shutdown());
    }
    const std::vector<pid_t> watchers = threads_since(before);
    EXPECT_TRUE(wait_until([&] { return all_asleep(watchers); }, 10.0));
    for (auto& w : mine) EXPECT_FALSE(w->fired.load());

    double t0 = kova_test::now_s();
    creator.kill_now(9);
    creator.wait();
    for (auto& u : users) {
        EXPECT_TRUE(u.wait_for_line("on_destroy", 4.0));
        EXPECT_TRUE(u.wait_for_line("send_after 5", 1.0));
    }
    for (auto& w : mine) {
        EXPECT_TRUE(wait_until([&] { return w->fired.load(); }, 4.0));
        EXPECT_EQ(w->send_after.load(), c_vimra_shutdown);
        EXPECT_FALSE(w->is_live());
        EXPECT_TRUE(w->test_shutdown()) << "its creator, the reader, is gone";
    }
    EXPECT_LT(kova_test::now_s() - t0, 4.0);
    // Watchers that fired are still joined: no thread is left behind per dead peer.
    for (auto& w : mine) w->proc_close();
    EXPECT_EQ(thread_count(), baseline);
    for (auto& u : users) {
        u.send_line("exit");
        EXPECT_EQ(u.wait(), 0);
    }
}

TEST_F(observer_test, close_wakes_and_joins_the_watcher_without_firing_it) {
    child_process creator = probe({"create", name, "4", "8", "observer"});
    ASSERT_TRUE(creator.wait_for_line("create 0"));
    // Wherever the watcher is in its once-a-second tries, a close does not wait it out.
    const std::vector<pid_t> before = kova_test::thread_ids();
    std::vector<std::unique_ptr<watched_pipe>> closed;
    for (const double after_s : {0.0, 0.1, 0.5, 0.95}) {
        closed.emplace_back(new watched_pipe);
        watched_pipe& w = *closed.back();
        ASSERT_EQ(w.eproc_open(name.c_str()), c_vimra_success);
        ::usleep(static_cast<useconds_t>(after_s * 1e6));
        double t0 = kova_test::now_s();
        w.proc_close();
        EXPECT_LT(kova_test::now_s() - t0, 0.2) << "closed " << after_s << " s after the open";
        EXPECT_FALSE(w.is_live());
    }
    EXPECT_EQ(kova_test::thread_ids().size(), before.size()) << "the watchers were joined";
    // The creator going now must not reach a closed observer; an open one sees it go.
    watched_pipe witness;
    ASSERT_EQ(witness.eproc_open(name.c_str()), c_vimra_success);
    creator.send_line("destroy");
    EXPECT_TRUE(creator.wait_for_line("destroyed"));
    EXPECT_TRUE(wait_until([&] { return witness.fired.load(); }, 4.0));
    for (auto& w : closed) EXPECT_FALSE(w->fired.load());
    witness.proc_close();
    creator.send_line("exit");
    EXPECT_EQ(creator.wait(), 0);
}

TEST_F(observer_test, creator_destroy_fires_watchers_and_open_of_dead_name_is_refused) {
    child_process creator = probe({"create", name, "4", "8", "observer"});
    ASSERT_TRUE(creator.wait_for_line("create 0"));
    watched_pipe w;
    ASSERT_EQ(w.eproc_open(name.c_str()), c_vimra_success);
    creator.send_line("destroy");
    EXPECT_TRUE(wait_until([&] { return w.fired.load(); }, 4.0));
    w.proc_close();
    creator.send_line("exit");
    EXPECT_EQ(creator.wait(), 0);
    watched_pipe late;
    EXPECT_EQ(late.eproc_open(name.c_str()), c_vimra_not_created);
}
