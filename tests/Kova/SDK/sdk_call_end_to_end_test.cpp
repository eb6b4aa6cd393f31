// Calls and signals between real application processes through the real service and
// center: on one private host, and across two hosts joined by a veth pair.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::child_process;
using kova_test::private_host;
using namespace kova_test;
using call_app = kova_test::probe_app;

namespace {

const std::string c_domain = "7600";
const std::string c_ip_a = "10.231.17.1";
const std::string c_ip_b = "10.231.17.2";

// Stub 5 serves calls of code 258 (replies of up to 64 bytes) and signals of 259; stub
// 6 serves calls of 258 with up to 65000 bytes.
class end_to_end : public testing::Test {
protected:
    void start_stubs(kova_host& in_host) {
        stub_app = in_host.app();
        ASSERT_TRUE(stub_app);
        ASSERT_EQ("stub s 0x0 5", stub_app->command("stub s " + c_domain + " 5 258 64 259"));
        ASSERT_EQ("stub big 0x0 6", stub_app->command("stub big " + c_domain + " 6 258 65000 0"));
    }
    void start_proxies(kova_host& in_host) {
        proxy_app = in_host.app();
        ASSERT_TRUE(proxy_app);
    }
    // Binds a proxy and waits until its stub is known to be alive.
    void bind(const std::string& in_name, const std::string& in_ip, const std::string& in_stub, unsigned in_call,
              unsigned in_signal) {
        const std::string answer = proxy_app->command("proxy " + in_name + " " + c_domain + " " + in_ip + " " +
                                                      in_stub + " " + std::to_string(in_call) + " " +
                                                      std::to_string(in_signal));
        ASSERT_EQ(0u, answer.rfind("proxy " + in_name + " 0x0 ", 0)) << answer;
        ASSERT_EQ("on_object_create " + in_name, proxy_app->wait("on_object_create " + in_name))
            << proxy_app->child().output();
        proxy_id[in_name] = call_app::id_of(answer);
    }
    std::string call(const std::string& in_line, double in_timeout_s = 20.0) {
        return proxy_app->request(in_line, in_timeout_s);
    }
    // Leaves call in_tag of proxy p pending in stub s, which sleeps in on_call.
    void hold_a_call(const std::string& in_tag) {
        ASSERT_EQ("mode s ok", stub_app->command("mode s sleep 60000"));
        proxy_app->send("call p " + in_tag + " 30 hello 64");
        ASSERT_FALSE(stub_app->wait("on_call s hello").empty());
    }
    // The stub's process dies under a held call: the call ends with the object's destroy.
    // A new process of in_host that serves the same stub makes the same proxy alive again.
    void expect_the_stub_death_to_end_a_held_call(kova_host& in_host) {
        ASSERT_NO_FATAL_FAILURE(hold_a_call("k1"));
        const double killed = kova_test::now_s();
        stub_app->child().kill_now(SIGKILL);
        EXPECT_EQ("0x2", result_of(proxy_app->wait("call k1 ", 20.0)));
        EXPECT_LT(kova_test::now_s() - killed, 10.0) << "within a few watch periods, not the call's limit of 30 s";
        EXPECT_EQ("on_object_destroy p", proxy_app->wait("on_object_destroy p"));
        EXPECT_EQ("state p live=0 tcp=1 created=1", proxy_app->command("state p"));

        const size_t from = proxy_app->mark();
        ASSERT_NO_FATAL_FAILURE(start_stubs(in_host));
        EXPECT_EQ("on_object_create p", proxy_app->wait("on_object_create p", 10.0, from));
        EXPECT_EQ("call k2 0x0 5 olleh", without_time(call("call p k2 5 hello 64")));
    }
    // Stub s answers after the call's limit: the caller times out, and the stub's
    // on_call_cancel hears of its late reply with in_error; then it serves the next call.
    void expect_a_late_reply_to_be_cancelled(const std::string& in_error, const std::string& in_client_ip) {
        ASSERT_EQ("mode s ok", stub_app->command("mode s sleep 1500"));
        const std::string late = call("call p t1 0.3 hello 64");
        EXPECT_EQ("call t1 0x40000000 64 -", without_time(late));
        EXPECT_GE(time_of(late), 300);
        EXPECT_LT(time_of(late), 1400);
        EXPECT_EQ(0u, stub_app->wait("on_call_cancel s", 10.0).rfind("on_call_cancel s " + in_error + " " +
                                                                         in_client_ip + ":", 0))
            << stub_app->child().output();
        EXPECT_EQ("mode s ok", stub_app->command("mode s reverse"));
        EXPECT_EQ("call t2 0x0 3 cba", without_time(call("call p t2 5 abc 64")));
    }

    std::unique_ptr<call_app> stub_app, proxy_app;
    std::map<std::string, std::string> proxy_id;
};

class call_one_host : public end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(host.start());
        start_stubs(host);
        start_proxies(host);
        bind("p", "127.0.0.1", "5", 258, 259);
    }
    kova_host host;
};

TEST_F(call_one_host, calls_come_back_with_the_reply_content_and_size) {
    struct row {
        std::string data;
        unsigned capacity;
        std::string result;
    };
    const std::string sent = pattern(100);
    const row rows[] = {
        {"hello", 64, "0x0 5 olleh"},
        {"-", 64, "0x0 0 -"},
        // The stub reverses what fits in its 64-byte reply block.
        {"pat:100", 100, "0x0 64 " + shown(std::string(sent.rbegin(), sent.rbegin() + 64))},
        // Too small a buffer: nothing copied, the reply's size told.
        {"hello", 3, "0x40000002 5 -"},
    };
    int n = 0;
    for (const row& r : rows) {
        const std::string tag = "c" + std::to_string(++n);
        EXPECT_EQ("call " + tag + " " + r.result,
                  without_time(call("call p " + tag + " 5 " + r.data + " " + std::to_string(r.capacity))))
            << r.data;
    }
    // The stub saw the proxy as its client.
    EXPECT_EQ("on_call s hello 64 127.0.0.1:" + c_domain + ":" + proxy_id["p"], stub_app->wait("on_call s hello"));
    // A proxy's cancel reaches the stub's callback with its error.
    EXPECT_EQ("cancel p ok", proxy_app->command("cancel p 77"));
    EXPECT_EQ("on_call_cancel s 0x4d 127.0.0.1:" + c_domain + ":" + proxy_id["p"], stub_app->wait("on_call_cancel s"));
}

TEST_F(call_one_host, signals_are_acknowledged_with_the_sync_result_and_then_delivered) {
    EXPECT_EQ("signal g1 0x0", without_time(call("signal p g1 5 ping")));
    EXPECT_EQ("on_signal s ping 127.0.0.1:" + c_domain + ":" + proxy_id["p"], stub_app->wait("on_signal s"));

    // An attached signal interface whose sync function answers 5: the sender gets 5, and
    // the stub still gets the signal after the answer left.
    EXPECT_EQ("sync ss ok", stub_app->command("sync ss s 260 5"));
    ASSERT_NO_FATAL_FAILURE(bind("q", "127.0.0.1", "5", 261, 260));
    EXPECT_EQ("signal g2 0x5", without_time(call("signal q g2 5 tick")));
    EXPECT_EQ("on_sync ss tick", stub_app->wait("on_sync ss"));
    EXPECT_EQ("on_signal ss tick", stub_app->wait("on_signal ss"));
    EXPECT_EQ("scancel p ok", proxy_app->command("scancel p 12"));
    EXPECT_EQ("on_signal_cancel s 0xc 127.0.0.1:" + c_domain + ":" + proxy_id["p"],
              stub_app->wait("on_signal_cancel s"));
    // Both applications end cleanly, the attached interface taking the shared object along.
    stub_app->send("exit");
    proxy_app->send("exit");
    for (call_app* app : {stub_app.get(), proxy_app.get()})
        EXPECT_EQ(0, app->child().wait(10.0)) << app->child().output();
}

TEST_F(call_one_host, failures_come_back_at_once_even_with_a_long_limit) {
    // on_call's own error, without data: the caller's size stays.
    EXPECT_EQ("mode s ok", stub_app->command("mode s error 7"));
    EXPECT_EQ("call e1 0x7 64 -", without_time(call("call p e1 5 hello 64")));
    // A code the stub does not serve.
    ASSERT_NO_FATAL_FAILURE(bind("w", "127.0.0.1", "5", 999, 998));
    EXPECT_EQ("call e2 0x3 64 -", without_time(call("call w e2 30 hello 64")));
    EXPECT_EQ("signal e3 0x3", without_time(call("signal w e3 30 hello")));
    // No such stub: the proxy is told the link is up, and calls fail with 2 at once.
    const size_t from = proxy_app->mark();
    EXPECT_EQ(0u, proxy_app->command("proxy u " + c_domain + " 127.0.0.1 99 258 259").rfind("proxy u 0x0 ", 0));
    EXPECT_EQ("on_connected_tcp u", proxy_app->wait("on_connected_tcp u", 10.0, from));
    const std::string unknown = call("call u e4 30 hello 64");
    EXPECT_EQ("call e4 0x2 64 -", without_time(unknown));
    EXPECT_LT(time_of(unknown), 1000);
}

TEST_F(call_one_host, a_call_past_its_limit_times_out_and_the_late_reply_is_cancelled_at_the_stub) {
    // The reply comes when the proxy no longer waits, and is answered with error 9.
    expect_a_late_reply_to_be_cancelled("0x9", "127.0.0.1");
}

TEST_F(call_one_host, killing_the_stub_process_ends_a_pending_call_with_its_object_destroy_until_it_is_back) {
    expect_the_stub_death_to_end_a_held_call(host);
}

// Many threads of random requests against one stub, with short limits, late replies and
// cancels in between: every request ends, and the packet memory gets back every block.
class call_storm : public end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(host.start());
        ASSERT_TRUE(host.open_memory(memory));
        initial = remain();
        start_stubs(host);
        // Stub 7 answers calls of 300 with up to 65000 bytes after a random pause, and signals of 301.
        ASSERT_EQ("stub st 0x0 7", stub_app->command("stub st " + c_domain + " 7 300 65000 301"));
        ASSERT_EQ("mode st ok", stub_app->command("mode st jitter 2"));
        start_proxies(host);
        bind("q", "127.0.0.1", "7", 300, 301);
        // One of each, so that whatever the center sets up once is there before the count.
        EXPECT_EQ("call w1 0x0 3 cba", without_time(call("call q w1 5 abc 65000")));
        EXPECT_EQ("signal w2 0x0", without_time(call("signal q w2 5 abc")));
        // Counted once those calls have left nothing in flight.
        baseline_blocks = settled_blocks(memory, {stub_app.get(), proxy_app.get()});
        baseline = remain();
    }
    unsigned long remain() { return kova_test::answer_number(kova_test::ask(memory, "remain")); }
    // Polls until the free space is back at in_remain (the baseline when 0; the center
    // frees what it relays).
    bool remain_back(double in_timeout_s = 5.0, unsigned long in_remain = 0) {
        const unsigned long expected = in_remain ? in_remain : baseline;
        return kova_test::wait_until([&] { return remain() == expected; }, in_timeout_s);
    }
    // The words of the storm's summary, empty on time-out.
    std::vector<std::string> storm(const std::string& in_seed, double in_timeout_s = 20.0) {
        const size_t from = proxy_app->mark();
        proxy_app->send("storm q 4 150 " + in_seed);
        return words(proxy_app->wait("storm done ", in_timeout_s, from));
    }
    void expect_clean_exits() {
        stub_app->send("exit");
        proxy_app->send("exit");
        for (call_app* app : {stub_app.get(), proxy_app.get()})
            EXPECT_EQ(0, app->child().wait(10.0)) << app->child().output();
    }

    kova_host host;
    child_process memory;
    unsigned long initial = 0, baseline = 0;
    std::string baseline_blocks;
};

TEST_F(call_storm, every_request_ends_and_every_block_comes_back) {
    const std::vector<std::string> done = storm("1");
    ASSERT_EQ(7u, done.size()) << proxy_app->child().output();
    // "storm done <n> <answered> <timed out> <others> <wrong>"
    EXPECT_GT(std::stoul(done[3]), 0u) << "some answers";
    EXPECT_GT(std::stoul(done[4]), 0u) << "some time-outs";
    EXPECT_EQ("-", done[5]) << "no other outcome";
    EXPECT_EQ("0", done[6]) << "no answer with the wrong content";
    EXPECT_TRUE(remain_back()) << remain() << " free, " << baseline << " before";
    // The stub is still sound after all the late replies.
    EXPECT_EQ("call a1 0x0 3 cba", without_time(call("call q a1 5 abc 65000")));
    expect_clean_exits();
    // Finalised, both leave the memory as it was before they started.
    EXPECT_TRUE(remain_back(5.0, initial)) << remain() << " free, " << initial << " at the start";
}

TEST_F(call_storm, killing_the_stub_process_mid_storm_ends_every_request_and_frees_its_blocks) {
    const size_t from = proxy_app->mark();
    proxy_app->send("storm q 4 150 2");
    // Once the storm is going (requests hold blocks of the memory), the stub's process dies under it.
    EXPECT_TRUE(kova_test::wait_until([&] { return remain() < baseline; }, 10.0));
    stub_app->child().kill_now(SIGKILL);
    const std::vector<std::string> done = words(proxy_app->wait("storm done ", 20.0, from));
    ASSERT_EQ(7u, done.size()) << proxy_app->child().output();
    // What did not end in an answer or a time-out ended with the stub's destroy (2).
    const std::string others = done[5];
    EXPECT_TRUE(others == "-" || others.rfind("0x2:", 0) == 0) << others;
    EXPECT_EQ(std::string::npos, others.find(',')) << others;
    EXPECT_EQ("0", done[6]);
    // The center drains the dead process's pipes and gives back what that process held.
    EXPECT_TRUE(kova_test::wait_until([&] { return blocks(memory) == baseline_blocks; }, 8.0))
        << blocks(memory) << " now, " << baseline_blocks << " before; " << kova_test::ask(memory, "sites");
    // Once the stub is back, a new storm leaves the memory exactly as it found it.
    ASSERT_NO_FATAL_FAILURE(start_stubs(host));
    ASSERT_EQ("stub st 0x0 7", stub_app->command("stub st " + c_domain + " 7 300 65000 301"));
    ASSERT_EQ("mode st ok", stub_app->command("mode st jitter 2"));
    EXPECT_FALSE(proxy_app->wait("on_object_create q", 10.0, from).empty());
    EXPECT_EQ("call a1 0x0 3 cba", without_time(call("call q a1 5 abc 65000")));
    baseline_blocks = settled_blocks(memory, {stub_app.get(), proxy_app.get()});
    const std::vector<std::string> again = storm("3");
    ASSERT_EQ(7u, again.size()) << proxy_app->child().output();
    EXPECT_EQ("-", again[5]);
    EXPECT_TRUE(kova_test::wait_until([&] { return blocks(memory) == baseline_blocks; }, 8.0))
        << blocks(memory) << " now, " << baseline_blocks << " before; " << kova_test::ask(memory, "sites");
    expect_clean_exits();
}

// Stubs on host B, proxies on host A.
class call_two_hosts : public end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(a.start());
        ASSERT_TRUE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b));
        start_stubs(b);
        start_proxies(a);
        bind("p", c_ip_b, "5", 258, 259);
    }
    kova_host a, b;
};

TEST_F(call_two_hosts, calls_and_signals_cross_hosts_over_one_connection) {
    ASSERT_NO_FATAL_FAILURE(bind("big", c_ip_b, "6", 258, 0));
    EXPECT_EQ("call x1 0x0 5 olleh", without_time(call("call p x1 5 hello 64")));
    EXPECT_EQ(0u, stub_app->wait("on_call s hello").rfind("on_call s hello 64 " + c_ip_a + ":", 0));
    // A reply large enough to take several TCP segments each way.
    const std::string big = pattern(60000);
    EXPECT_EQ("call x2 0x0 60000 " + shown(std::string(big.rbegin(), big.rend())),
              without_time(call("call big x2 5 pat:60000 65000")));
    EXPECT_EQ("signal x3 0x0", without_time(call("signal p x3 5 ping")));
    EXPECT_EQ(0u, stub_app->wait("on_signal s").rfind("on_signal s ping " + c_ip_a + ":", 0));
    EXPECT_EQ("sync ss ok", stub_app->command("sync ss s 260 5"));
    ASSERT_NO_FATAL_FAILURE(bind("q", c_ip_b, "5", 261, 260));
    EXPECT_EQ("signal x4 0x5", without_time(call("signal q x4 5 tick")));
    EXPECT_EQ("on_signal ss tick", stub_app->wait("on_signal ss"));

    // Three proxies bound to two stubs of host B: host A's center keeps one connection there.
    std::string out;
    EXPECT_EQ(0, a.host().run({"/bin/sh", "-c", "ss -tn state established dst " + c_ip_b + ":" + c_domain +
                                                    " | tail -n +2 | wc -l"},
                              &out));
    EXPECT_EQ("1\n", out);
    EXPECT_EQ("state p live=1 tcp=1 created=1", proxy_app->command("state p"));
}

TEST_F(call_two_hosts, a_late_reply_is_refused_by_the_stubs_center_and_the_stub_is_told) {
    // The reply's time is spent before it could leave the stub's host.
    expect_a_late_reply_to_be_cancelled("0x40000000", c_ip_a);
}

TEST_F(call_two_hosts, killing_the_remote_stub_process_ends_a_pending_call_with_its_object_destroy_until_it_is_back) {
    expect_the_stub_death_to_end_a_held_call(b);
}

TEST_F(call_two_hosts, killing_the_remote_center_ends_a_pending_call_with_the_disconnect) {
    ASSERT_NO_FATAL_FAILURE(hold_a_call("d1"));
    const pid_t center = b.center();
    ASSERT_GT(center, 0);
    const double killed = kova_test::now_s();
    ASSERT_EQ(0, kill(center, SIGKILL));
    EXPECT_EQ("0x4000000e", result_of(proxy_app->wait("call d1 ", 20.0)));
    EXPECT_LT(kova_test::now_s() - killed, 10.0) << "at once, not the call's limit of 30 s";
    // The stub counts as gone before the link is reported down.
    EXPECT_EQ("on_disconnected_tcp p", proxy_app->wait("on_disconnected_tcp p"));
    const std::string& out = proxy_app->child().output();
    EXPECT_LT(out.find("on_object_destroy p"), out.find("on_disconnected_tcp p")) << out;
    EXPECT_EQ("state p live=0 tcp=0 created=1", proxy_app->command("state p"));

}

}  // namespace
