// Events and broadcasts between real application processes through the real service and
// center: on one private host, and across two hosts joined by a veth pair. Every case ends
// with the applications finalised and the packet memory back where it was before them.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::child_process;
using kova_test::lines_of;
using kova_test::probe_app;
using kova_test::without_time;
using kova_test::words;

namespace {

const std::string c_domain = "7610";
const std::string c_ip_a = "10.231.18.1";
const std::string c_ip_b = "10.231.18.2";
// Stub 5 publishes events of 300 and broadcasts of 301.
const std::string c_stub = "5";
const std::string c_event_code = "300";
const std::string c_broadcast_code = "301";
// Each case's stream: several sizes, one after the other.
const std::string c_sizes = "0,1024,61440";
constexpr unsigned long c_events = 3000;

// A watched host (see kept_host) whose keeper makes stub keeper (id 99, codes 1 and 2).
class watched_host : public kova_test::kept_host {
public:
    // Room for a whole stream of events in flight.
    watched_host() : kept_host("probe_event_app", "MEMSIZE=67108864\n") {}

    void start() {
        ASSERT_TRUE(kept_host::start("stub keeper " + c_domain + " 99 1 2", "stub keeper 0x0 99"));
        settle();
    }
    // The keeper binds a proxy to the other host's keeper, so that the centers' connection,
    // and what it holds, is there before the case and after it.
    void link_to(const std::string& in_ip) {
        const size_t from = keeper().mark();
        keeper().send("bproxy link " + c_domain + " " + in_ip + " 99 2");
        ASSERT_EQ("on_object_create link", keeper().wait("on_object_create link", 20.0, from))
            << keeper().child().output();
    }
    // The keeper broadcasts once to in_other's host alone, whose link hears it: from then on
    // in_other's center keeps a block for the next datagram, part of its baseline. (A broadcast
    // to every host would come back to this center too, which drops it unseen, maybe after the
    // baseline.)
    void broadcast_to(watched_host& in_other, const std::string& in_ip) {
        const size_t from = keeper().mark();
        keeper().send("broadcast keeper 0 1 4 " + in_ip);
        ASSERT_EQ("broadcasted keeper 1 0", keeper().wait("broadcasted keeper", 10.0, from));
        EXPECT_TRUE(kova_test::wait_until(
            [&] { return in_other.keeper().command("count link").rfind("count link 1 ", 0) == 0; }, 10.0))
            << in_other.keeper().child().output();
    }
    // Bytes sent so far on the host's veth to the other host.
    unsigned long long link_tx_bytes() {
        std::ifstream dev("/proc/" + std::to_string(host().keeper()) + "/net/dev");
        for (std::string line; std::getline(dev, line);) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos || line.find("kv") == std::string::npos) continue;
            std::istringstream fields(line.substr(colon + 1));
            unsigned long long v[9] = {};
            for (unsigned long long& f : v) fields >> f;
            return v[8];  // after eight received counters: bytes sent
        }
        return 0;
    }
};

class event_end_to_end : public testing::Test {
protected:
    // An application with the event and broadcast stub s.
    std::unique_ptr<probe_app> start_stub(watched_host& in_host) {
        std::unique_ptr<probe_app> a = in_host.app();
        EXPECT_TRUE(a);
        if (!a) return a;
        EXPECT_EQ("stub s 0x0 " + c_stub,
                  a->command("stub s " + c_domain + " " + c_stub + " " + c_event_code + " " + c_broadcast_code));
        return a;
    }
    // An event proxy of in_app bound to stub s on in_ip, once it knows the stub is there
    // (in_how "auto": it subscribes then); its id.
    std::string bind(probe_app& in_app, const std::string& in_name, const std::string& in_ip,
                     const std::string& in_how = "") {
        return bind_kind(in_app, "eproxy", in_name, in_ip, c_event_code + " " + in_how);
    }
    std::string bind_kind(probe_app& in_app, const std::string& in_kind, const std::string& in_name,
                          const std::string& in_ip, const std::string& in_code) {
        const size_t from = in_app.mark();
        in_app.send(in_kind + " " + in_name + " " + c_domain + " " + in_ip + " " + c_stub + " " + in_code);
        const std::string answer = in_app.wait("proxy " + in_name + " ", 20.0, from);
        EXPECT_EQ(0u, answer.rfind("proxy " + in_name + " 0x0 ", 0)) << answer;
        EXPECT_EQ("on_object_create " + in_name, in_app.wait("on_object_create " + in_name, 10.0, from))
            << in_app.child().output();
        return probe_app::id_of(answer);
    }
    std::string subscribe(probe_app& in_app, const std::string& in_name) {
        const size_t from = in_app.mark();
        in_app.send("connect " + in_name + " 5");
        return without_time(in_app.wait("connect " + in_name + " ", 10.0, from));
    }
    // Polls in_app's receiver in_name until it has counted in_received; its count line.
    static std::string counted(probe_app& in_app, const std::string& in_name, unsigned long in_received,
                               double in_timeout_s = 20.0) {
        const std::string prefix = "count " + in_name + " " + std::to_string(in_received) + " ";
        std::string line;
        kova_test::wait_until([&] { return (line = in_app.command("count " + in_name)).rfind(prefix, 0) == 0; },
                              in_timeout_s);
        return line;
    }
    static std::string expect_line(const std::string& in_name, unsigned long in_from, unsigned long in_count,
                                   const std::string& in_sizes) {
        return "expect " + in_name + " " + std::to_string(in_from) + " " + std::to_string(in_count) + " " + in_sizes;
    }
    // Stub s publishes events in_from.. on a thread of its own.
    static void publish(probe_app& in_stub, unsigned long in_from, unsigned long in_count,
                        const std::string& in_sizes = c_sizes) {
        in_stub.send("publish s " + std::to_string(in_from) + " " + std::to_string(in_count) + " " + in_sizes);
    }
    // Stub s publishes in_count events from in_from in windows, each taken by every one of
    // in_readers before the next goes out: a subscriber further behind than its pipe and the
    // center's backlog for it hold loses events, so that it stalls nobody else.
    static void publish_taken(probe_app& in_stub, const std::vector<std::pair<probe_app*, std::string>>& in_readers,
                              unsigned long in_from, unsigned long in_count) {
        constexpr unsigned long c_window = 50;
        for (unsigned long at = in_from; at < in_from + in_count; at += c_window) {
            const unsigned long n = std::min(c_window, in_from + in_count - at);
            const size_t from = in_stub.mark();
            publish(in_stub, at, n);
            ASSERT_EQ("published s " + std::to_string(n) + " 0", in_stub.wait("published s", 30.0, from))
                << in_stub.child().output();
            for (auto& r : in_readers) {
                const std::string want = "count " + r.second + " " + std::to_string(at + n) + " 0 0 ";
                ASSERT_EQ(0u, counted(*r.first, r.second, at + n).rfind(want, 0)) << r.first->child().output();
            }
        }
    }
    // Every application exits through its own finalize.
    static void finalise(std::vector<probe_app*> in_apps) {
        for (probe_app* a : in_apps) a->send("exit");
        for (probe_app* a : in_apps) EXPECT_EQ(0, a->child().wait(10.0)) << a->child().output();
    }
};

class event_one_host : public event_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(host.start());
        stub = start_stub(host);
        ASSERT_TRUE(stub);
        // Two subscriber processes, the second with two proxies.
        one = host.app();
        two = host.app();
        ASSERT_TRUE(one && two);
        ids = {bind(*one, "p1", "127.0.0.1"), bind(*two, "p2", "127.0.0.1"), bind(*two, "p3", "127.0.0.1")};
        for (auto& sub : subscribers()) EXPECT_EQ("connect " + sub.second + " 0x0", subscribe(*sub.first, sub.second));
        EXPECT_EQ("clients s 3", stub->command("clients s"));
    }
    std::vector<std::pair<probe_app*, std::string>> subscribers() {
        return {{one.get(), "p1"}, {two.get(), "p2"}, {two.get(), "p3"}};
    }

    watched_host host;
    std::unique_ptr<probe_app> stub, one, two;
    std::vector<std::string> ids;
};

TEST_F(event_one_host, every_subscriber_gets_every_event_in_order_with_its_bytes) {
    for (auto& sub : subscribers())
        EXPECT_EQ("expect " + sub.second + " ok", sub.first->command(expect_line(sub.second, 0, c_events, c_sizes)));
    ASSERT_NO_FATAL_FAILURE(publish_taken(*stub, subscribers(), 0, c_events));
    for (auto& sub : subscribers())
        EXPECT_EQ("done " + sub.second + " 3000 0 0", sub.first->wait("done " + sub.second, 30.0))
            << sub.first->child().output();

    // A proxy's own shutdown: the stub hears it with 0, and that proxy hears no more.
    EXPECT_EQ("shutdown p3 ok", two->command("shutdown p3"));
    EXPECT_EQ("on_shutdown s 0x0 127.0.0.1:" + c_domain + ":" + ids[2], stub->wait("on_shutdown s"));
    EXPECT_EQ("clients s 2", stub->command("clients s"));
    publish(*stub, c_events, 3);
    EXPECT_EQ("count p1 3003 0 0 -", counted(*one, "p1", c_events + 3));
    EXPECT_EQ("count p2 3003 0 0 -", counted(*two, "p2", c_events + 3));
    EXPECT_EQ("count p3 3000 0 0 -", two->command("count p3"));

    finalise({stub.get(), one.get(), two.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(event_one_host, a_killed_subscriber_process_is_shut_down_at_the_stub_and_the_others_miss_nothing) {
    for (auto& sub : subscribers())
        EXPECT_EQ("expect " + sub.second + " ok", sub.first->command(expect_line(sub.second, 0, c_events, c_sizes)));
    ASSERT_NO_FATAL_FAILURE(publish_taken(*stub, subscribers(), 0, c_events / 3));

    // The second process dies with its two subscriptions, and the stream goes on.
    const size_t from = stub->mark();
    const double killed = kova_test::now_s();
    two->child().kill_now(SIGKILL);
    for (size_t i = 1; i < ids.size(); ++i) {
        const std::string shut = "on_shutdown s 0x2 127.0.0.1:" + c_domain + ":" + ids[i];
        EXPECT_EQ(shut, stub->wait(shut, 20.0, from)) << stub->child().output();
    }
    // Within a few watch periods, not the connection's limit.
    EXPECT_LT(kova_test::now_s() - killed, 10.0);
    ASSERT_NO_FATAL_FAILURE(publish_taken(*stub, {{one.get(), "p1"}}, c_events / 3, c_events - c_events / 3));
    EXPECT_EQ("done p1 3000 0 0", one->wait("done p1", 30.0)) << one->child().output();
    EXPECT_EQ("clients s 1", stub->command("clients s"));

    // The center drained the dead process's pipes: what it held in them comes back too.
    finalise({stub.get(), one.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// A stub publishing as fast as it can on its main thread: SIGTERM lands on that thread,
// inside event(), and still ends the application through finalize.
TEST_F(event_one_host, sigterm_ends_a_stub_that_publishes_in_a_tight_loop_on_its_main_thread) {
    stub->send("flood s 1024");
    EXPECT_EQ("flooding s", stub->wait("flooding s"));
    EXPECT_TRUE(kova_test::wait_until([&] { return words(one->command("count p1")).at(2) != "0"; }, 10.0));
    const double signalled = kova_test::now_s();
    ASSERT_EQ(0, kill(stub->child().pid(), SIGTERM));
    const int status = stub->child().wait(20.0);
    const double took = kova_test::now_s() - signalled;
    if (status < 0) {
        stub->child().kill_now(SIGKILL);
        stub->child().wait(5.0);
    }
    EXPECT_EQ(0, status) << stub->child().output();
    EXPECT_LT(took, 10.0);
    // The loop ended on the first event refused once the SDK was finalised.
    EXPECT_NE(std::string::npos, stub->child().output().find("flood s 0x4")) << stub->child().output();
    // The subscribers hear the stub go, then carry on to their own end.
    for (auto& sub : subscribers())
        EXPECT_FALSE(sub.first->wait("on_disconnected " + sub.second, 10.0).empty()) << sub.first->child().output();
    finalise({one.get(), two.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// p1 subscribes from its on_object_create, p2 only when told.
class event_stub_death : public event_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(host.start());
        stub = start_stub(host);
        subs = host.app();
        ASSERT_TRUE(stub && subs);
        ids = {bind(*subs, "p1", "127.0.0.1", "auto"), bind(*subs, "p2", "127.0.0.1")};
        ASSERT_EQ("connect p1 0x0 auto", subs->wait("connect p1 ")) << subs->child().output();
    }

    watched_host host;
    std::unique_ptr<probe_app> stub, subs;
    std::vector<std::string> ids;
};

TEST_F(event_stub_death, ends_a_pending_connect_at_once_and_a_new_stub_is_subscribed_again_and_heard) {
    // The stub's process stops taking packets, so p2's connect waits for an answer.
    ASSERT_EQ(0, kill(stub->child().pid(), SIGSTOP));
    ASSERT_TRUE(kova_test::wait_until([&] { return kova_test::is_process_stopped(stub->child().pid()); }, 10.0));
    const size_t from = subs->mark();
    subs->send("connect p2 30");
    EXPECT_EQ("", subs->wait("connect p2 ", 0.3, from));
    const double killed = kova_test::now_s();
    stub->child().kill_now(SIGKILL);
    EXPECT_EQ("connect p2 0x2", without_time(subs->wait("connect p2 ", 20.0, from))) << subs->child().output();
    EXPECT_LT(kova_test::now_s() - killed, 10.0) << "at once, not at the connect's limit of 30 s";
    // The subscriber hears of the end of its subscription, then of its stub's. Lines of p2's
    // waiting thread may come between them: only p1's own order is fixed.
    EXPECT_EQ("on_object_destroy p1", subs->wait("on_object_destroy p1", 10.0, from));
    const std::string out = subs->child().output().substr(from);
    EXPECT_EQ((std::vector<std::string>{"on_disconnected p1", "on_object_destroy p1"}),
              kova_test::callbacks_of(out, "p1"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("on_disconnected p2")) << out;
    EXPECT_EQ("state p1 live=0 connected=0", subs->command("state p1"));

    // A new process serves the same stub: p1 subscribes again, and hears it.
    const size_t again = subs->mark();
    stub = start_stub(host);
    ASSERT_TRUE(stub);
    EXPECT_EQ("connect p1 0x0 auto", subs->wait("connect p1 ", 10.0, again)) << subs->child().output();
    EXPECT_EQ("on_connect s 127.0.0.1:" + c_domain + ":" + ids[0], stub->wait("on_connect s"));
    EXPECT_EQ("clients s 1", stub->command("clients s"));
    EXPECT_EQ("expect p1 ok", subs->command(expect_line("p1", 0, 300, c_sizes)));
    ASSERT_NO_FATAL_FAILURE(publish_taken(*stub, {{subs.get(), "p1"}}, 0, 300));
    EXPECT_EQ("done p1 300 0 0", subs->wait("done p1", 20.0)) << subs->child().output();
    EXPECT_EQ("state p2 live=1 connected=0", subs->command("state p2"));

    finalise({stub.get(), subs.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// Stub s on host B or A, applications on both.
class event_two_hosts : public event_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(a.start());
        ASSERT_NO_FATAL_FAILURE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b));
        ASSERT_NO_FATAL_FAILURE(a.link_to(c_ip_b));
        ASSERT_NO_FATAL_FAILURE(b.link_to(c_ip_a));
        a.settle();
        b.settle();
    }
    void expect_both_at_baseline() {
        EXPECT_TRUE(a.back_at_baseline()) << a.blocks() << " on A, before: " << a.baseline();
        EXPECT_TRUE(b.back_at_baseline()) << b.blocks() << " on B, before: " << b.baseline();
    }

    watched_host a, b;
};

TEST_F(event_two_hosts, three_proxies_of_one_host_get_every_event_and_each_event_crosses_the_link_once) {
    std::unique_ptr<probe_app> stub = start_stub(b), one = a.app(), two = a.app();
    ASSERT_TRUE(stub && one && two);
    const std::vector<std::pair<probe_app*, std::string>> subscribers = {
        {one.get(), "p1"}, {two.get(), "p2"}, {two.get(), "p3"}};
    for (auto& sub : subscribers) {
        bind(*sub.first, sub.second, c_ip_b);
        EXPECT_EQ("connect " + sub.second + " 0x0", subscribe(*sub.first, sub.second));
        EXPECT_EQ("expect " + sub.second + " ok", sub.first->command(expect_line(sub.second, 0, c_events, c_sizes)));
    }
    // One node of three clients: host A's address and the port of its center's connection.
    EXPECT_EQ("clients s 3", stub->command("clients s"));
    std::set<std::string> nodes;
    for (const std::string& line : lines_of(stub->child().output(), "on_connect s "))
        nodes.insert(line.substr(0, line.rfind(':')));
    ASSERT_EQ(1u, nodes.size());
    EXPECT_EQ(0u, nodes.begin()->rfind("on_connect s " + c_ip_a + ":", 0)) << *nodes.begin();

    const unsigned long long sent_before = b.link_tx_bytes();
    ASSERT_NO_FATAL_FAILURE(publish_taken(*stub, subscribers, 0, c_events));
    for (auto& sub : subscribers)
        EXPECT_EQ("done " + sub.second + " 3000 0 0", sub.first->wait("done " + sub.second, 60.0))
            << sub.first->child().output();
    // The payloads once, with their headers and TCP's own; three copies would be 3 times as many.
    const unsigned long long payload = (c_events / 3) * (0 + 1024 + 61440);
    const unsigned long long sent = b.link_tx_bytes() - sent_before;
    EXPECT_GE(sent, payload);
    EXPECT_LT(sent, payload + payload / 5) << sent << " bytes for " << payload << " bytes of payload";

    finalise({stub.get(), one.get(), two.get()});
    expect_both_at_baseline();
}

TEST_F(event_two_hosts, a_broadcast_reaches_a_proxy_of_each_host_exactly_once) {
    ASSERT_TRUE(kova_test::add_default_route(a.host()));
    ASSERT_TRUE(kova_test::add_default_route(b.host()));
    ASSERT_NO_FATAL_FAILURE(a.broadcast_to(b, c_ip_b));
    ASSERT_NO_FATAL_FAILURE(b.broadcast_to(a, c_ip_a));
    a.settle();
    b.settle();
    std::unique_ptr<probe_app> stub = start_stub(a), here = a.app(), there = b.app();
    ASSERT_TRUE(stub && here && there);
    // Bound to the sending stub, each through its own host's view of it.
    bind_kind(*here, "bproxy", "ba", "127.0.0.1", c_broadcast_code);
    bind_kind(*there, "bproxy", "bb", c_ip_a, c_broadcast_code);
    // A broadcast never waits: a burst larger than the center pipe would lose some at the
    // sender. Bursts of 8, each heard on both hosts before the next.
    const std::string sizes = "4,1024";
    const unsigned long c_burst = 8, c_total = 96;
    EXPECT_EQ("expect ba ok", here->command(expect_line("ba", 0, c_total, sizes)));
    EXPECT_EQ("expect bb ok", there->command(expect_line("bb", 0, c_total, sizes)));
    for (unsigned long from = 0; from < c_total; from += c_burst) {
        const size_t mark = stub->mark();
        stub->send("broadcast s " + std::to_string(from) + " " + std::to_string(c_burst) + " " + sizes);
        ASSERT_EQ("broadcasted s 8 0", stub->wait("broadcasted s", 10.0, mark));
        ASSERT_EQ(0u, counted(*here, "ba", from + c_burst, 10.0).rfind("count ba " + std::to_string(from + c_burst) + " 0 0 ", 0));
        ASSERT_EQ(0u, counted(*there, "bb", from + c_burst, 10.0).rfind("count bb " + std::to_string(from + c_burst) + " 0 0 ", 0));
    }
    // One more behind them: a second copy of any of the others would have come by now.
    stub->send("broadcast s " + std::to_string(c_total) + " 1 " + sizes);
    EXPECT_EQ("count ba 97 0 0 127.0.0.1:" + c_stub, counted(*here, "ba", c_total + 1));
    EXPECT_EQ("count bb 97 0 0 " + c_ip_a + ":" + c_stub, counted(*there, "bb", c_total + 1));

    finalise({stub.get(), here.get(), there.get()});
    expect_both_at_baseline();
}

}  // namespace
