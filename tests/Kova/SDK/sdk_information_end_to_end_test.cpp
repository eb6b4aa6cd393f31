// Information between real application processes through the real service and center:
// subscribers of both kinds on one private host, in the posting and the timer model, across
// two hosts through the multicast group, and every way a subscription ends. Every case ends
// with the applications finalised and the packet memory back where it was before them.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::kova_host;
using kova_test::probe_app;
using kova_test::words;
using kova_test::child_process;

namespace {

const std::string c_domain = "7620";

// The lines of in_app from in_from on that begin with in_prefix.
std::vector<std::string> lines_of(probe_app& in_app, const std::string& in_prefix, size_t in_from = 0) {
    in_app.child().wait_for_line("\x01", 0.02);  // reads what has come
    const std::string& out = in_app.child().output();
    // Whole lines only: one still being written is left for the next reading.
    const size_t end = out.rfind('\n');
    if (end == std::string::npos || end < in_from) return {};
    return kova_test::lines_of(out.substr(in_from, end + 1 - in_from), in_prefix);
}

// A private host with the service and a probe that reads its packet memory. A keeper
// application with stub keeper (id 99, code 1) holds the domain's center up, so that what a
// case leaves in the packet memory shows against the baseline taken before it instead of
// going with the last center's reset.
struct watched_host {
    // in_ini: the body of the service's ini file.
    explicit watched_host(const std::string& in_name, const std::string& in_ini = "MEMSIZE=16777216\n")
        : name(in_name), host(in_ini) {}

    // in_center_ini: lines added to the center's configuration.
    bool start(const std::string& in_center_ini = "") {
        if (!host.start()) return false;
        std::ofstream(host.bin() + "../Config/kova.ini", std::ios::app) << in_center_ini;
        if (!host.open_memory(memory)) return false;
        keeper = app();
        return keeper && keeper->command("stub keeper " + c_domain + " 99 1") == "stub keeper 0x0 99";
    }
    // The keeper subscribes over UDP, keeping nothing, to the keeper of the host at in_ip,
    // which sends it one value: the centers' connection, and what the centers keep for
    // datagrams, are part of the baseline.
    void keep_link_to(watched_host& in_other, const std::string& in_ip) {
        keeper->send("proxy kp " + c_domain + " " + in_ip + " 99 1 udp");
        ASSERT_EQ("connect kp 0x0 auto", keeper->wait("connect kp ", 20.0)) << keeper->child().output();
        ASSERT_EQ("keep kp ok", keeper->command("keep kp 0"));
        ASSERT_EQ("write keeper 0x0", in_other.keeper->command("write keeper k"));
        ASSERT_FALSE(keeper->wait("on_sync kp ").empty()) << keeper->child().output();
    }
    // The baseline, once the host is quiet.
    void settle() { baseline = kova_test::settled_blocks(memory, {keeper.get()}); }
    // The packet memory holds again what it held at the baseline.
    void expect_at_baseline() {
        EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::blocks(memory) == baseline; }, 10.0))
            << kova_test::blocks(memory) << " on " << name << ", before: " << baseline;
    }
    std::unique_ptr<probe_app> app() { return host.app("probe_information_app"); }

    std::string name;
    kova_host host;
    child_process memory;
    std::unique_ptr<probe_app> keeper;
    std::string baseline;
};

// Stub i (id 9) publishes code 300 from stub_app; the proxies subscribe to it from app1
// and app2.
class information_end_to_end : public testing::Test {
protected:
    void start_apps(watched_host& in_stub_host, watched_host& in_proxy_host) {
        stub_app = in_stub_host.app();
        ASSERT_TRUE(stub_app);
        ASSERT_EQ("stub i 0x0 9", stub_app->command("stub i " + c_domain + " 9 300"));
        for (std::unique_ptr<probe_app>* a : {&app1, &app2}) {
            *a = in_proxy_host.app();
            ASSERT_TRUE(*a);
        }
    }

    // A proxy of stub i in in_app, bound once the stub is known alive.
    void bind(probe_app& in_app, const std::string& in_name, const std::string& in_ip = "127.0.0.1") {
        const std::string answer = in_app.command("proxy " + in_name + " " + c_domain + " " + in_ip + " 9 300");
        ASSERT_EQ(0u, answer.rfind("proxy " + in_name + " 0x0 ", 0)) << answer;
        ASSERT_EQ("on_object_create " + in_name, in_app.wait("on_object_create " + in_name)) << in_app.child().output();
    }
    // The values on_sync reported to in_name, in order, once in_n have come.
    std::vector<std::string> values_of(probe_app& in_app, const std::string& in_name, size_t in_n,
                                       const std::string& in_model = "0") {
        std::vector<std::string> values;
        kova_test::wait_until([&] { return lines_of(in_app, "on_sync " + in_name + " ").size() >= in_n; }, 10.0);
        for (const std::string& l : lines_of(in_app, "on_sync " + in_name + " ")) {
            const std::vector<std::string> w = words(l);
            EXPECT_EQ(w.size(), 4u) << l;
            if (w.size() != 4) continue;
            EXPECT_EQ(w[2], in_model) << l;
            values.push_back(w[3]);
        }
        return values;
    }
    // Every application finalises and ends; the packet memory of each host is back at its
    // baseline.
    void expect_clean_ends(const std::vector<watched_host*>& in_hosts) {
        for (probe_app* a : {stub_app.get(), app1.get(), app2.get()}) {
            a->send("exit");
            EXPECT_EQ(0, a->child().wait(10.0)) << a->child().output();
        }
        for (watched_host* h : in_hosts) h->expect_at_baseline();
    }

    std::unique_ptr<probe_app> stub_app, app1, app2;
};

class information_one_host : public information_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(host.start());
        host.settle();
        start_apps(host, host);
    }
    void expect_clean_ends() { information_end_to_end::expect_clean_ends({&host}); }
    // Room for all that the bounded links hold of a stream of 500 KB values while the center
    // or the subscriber lags: the center pipe's 32 slots alone take 16 MB of them, a listen
    // pipe's 16 slots 8 MB, the center's backlog and the subscriber's queues a sixteenth of
    // the memory each. In 16 MB a loaded host fills the memory and a write fails (0x50000002).
    watched_host host{"the host", "MEMSIZE=67108864\n"};
};

TEST_F(information_one_host, tcp_and_udp_subscribers_receive_every_value_in_order_and_keep_a_history) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "t"));
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "u"));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "u2"));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "r"));
    EXPECT_EQ("keep t ok", app1->command("keep t 3"));
    EXPECT_EQ("connect t 0x0", app1->command("connect t tcp 5"));
    EXPECT_EQ("connect u 0x0", app1->command("connect u udp 5"));
    EXPECT_EQ("connect u2 0x0", app2->command("connect u2 udp 5"));
    // Refused: the proxy gets the stub's result and is not counted.
    EXPECT_EQ("answer i ok", stub_app->command("answer i 77"));
    EXPECT_EQ("connect r 0x77", app2->command("connect r tcp 5"));
    EXPECT_EQ("count i 3", stub_app->command("count i"));

    for (const char* v : {"1", "2", "3", "4", "5"})
        EXPECT_EQ(std::string("write i 0x0"), stub_app->command(std::string("write i ") + v));
    const std::vector<std::string> all = {"1", "2", "3", "4", "5"};
    EXPECT_EQ(all, values_of(*app1, "t", 5)) << app1->child().output();
    EXPECT_EQ(all, values_of(*app1, "u", 5)) << app1->child().output();
    EXPECT_EQ(all, values_of(*app2, "u2", 5)) << app2->child().output();
    EXPECT_TRUE(lines_of(*app2, "on_sync r ").empty());
    EXPECT_EQ("see t 5,4,3", app1->command("see t 10"));
    EXPECT_EQ("read t 0x0 5", app1->command("read t"));
    EXPECT_EQ("read i 0x0 5", stub_app->command("read i"));

    // A value too large for a datagram reaches the UDP subscribers all the same.
    EXPECT_EQ("write i 0x0", stub_app->command("write i pat:60001"));
    EXPECT_EQ(6u, values_of(*app2, "u2", 6).size());
    EXPECT_EQ(values_of(*app1, "t", 6).back(), values_of(*app2, "u2", 6).back());

    // A shutdown ends one subscription only.
    EXPECT_EQ("shutdown u ok", app1->command("shutdown u"));
    EXPECT_FALSE(stub_app->wait("on_shutdown i 0x0 127.0.0.1:" + c_domain + ":").empty());
    EXPECT_EQ("count i 2", stub_app->command("count i"));
    EXPECT_EQ("see u -", app1->command("see u 10"));
    expect_clean_ends();
}

// A destroy asked from a listener's callback, carried out while two threads of the stub's
// application take turns writing large values: the write it meets fails, and gives its block
// back, so that once the stub is created again those threads and any other one write at once.
TEST_F(information_one_host, a_write_that_a_deferred_destroy_meets_leaves_the_next_writes_theirs) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "t"));
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ("end_on_connect i ok", stub_app->command("end_on_connect i"));
        const size_t from = stub_app->mark();
        ASSERT_EQ("race i started", stub_app->command("race i 500000"));
        // Confirmed, or found gone by the time the confirm came (0x2): on_connect ran either way.
        const std::string connected = app1->command("connect t tcp 5");
        EXPECT_TRUE(connected == "connect t 0x0" || connected == "connect t 0x2") << connected;
        ASSERT_EQ("end_on_connect i 0x0", stub_app->wait("end_on_connect i ", 10.0, from));
        ASSERT_EQ("on_object_destroy t", app1->wait("on_object_destroy t", 10.0)) << app1->child().output();
        const size_t created = app1->mark();
        ASSERT_EQ("create i 0x0", stub_app->command("create i " + c_domain + " 9"));
        // Each racing thread's next write.
        EXPECT_TRUE(kova_test::wait_until([&] { return lines_of(*stub_app, "race i ", from).size() == 3; }, 30.0));
        for (const std::string& raced : lines_of(*stub_app, "race i ", from)) {
            if (raced == "race i started") continue;
            const std::vector<std::string> w = words(raced);
            ASSERT_EQ(4u, w.size()) << raced;
            EXPECT_EQ("0x0", w[3]) << raced << "; " << kova_test::ask(host.memory, "remain") << ", "
                                   << kova_test::blocks(host.memory);
        }
        EXPECT_EQ("write i 0x0", stub_app->command("write i pat:500000", 30.0)) << "another thread's write";
        ASSERT_EQ("on_object_create t", app1->wait("on_object_create t", 10.0, created)) << app1->child().output();
    }
    expect_clean_ends();
}

TEST_F(information_one_host, the_timer_model_sends_the_current_value_about_every_interval) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "t"));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "u2"));
    EXPECT_EQ("connect t 0x0", app1->command("connect t tcp 5"));
    EXPECT_EQ("connect u2 0x0", app2->command("connect u2 udp 5"));
    EXPECT_EQ("timer i ok", stub_app->command("timer i 0.2"));
    EXPECT_EQ("write i 0x0", stub_app->command("write i now"));
    const double from = kova_test::now_s();
    const std::vector<std::string> t = values_of(*app1, "t", 10, "1");
    const std::vector<std::string> u = values_of(*app2, "u2", 10, "1");
    const double took = kova_test::now_s() - from;
    EXPECT_GE(t.size(), 10u);
    EXPECT_GE(u.size(), 10u);
    // Ten cycles at five a second: never early, and on a loaded host not many times later.
    EXPECT_GE(took, 1.7);
    EXPECT_LT(took, 10.0);
    for (const std::string& v : u) EXPECT_EQ(v, "now");
    EXPECT_EQ("timer i ok", stub_app->command("timer i post"));
    expect_clean_ends();
}

}  // namespace

namespace {

const std::string c_ip_a = "10.231.18.1";
const std::string c_ip_b = "10.231.18.2";
// 230.9.1.44, the group of stub 9 and code 300, as /proc/net/mcfilter shows it.
const std::string c_group = "0xe609012c";

// The lines of in_host's /proc/net/mcfilter that name the group.
size_t memberships(watched_host& in_host) {
    std::string filter;
    EXPECT_EQ(0, in_host.host.host().run({"/bin/sh", "-c", "cat /proc/net/mcfilter"}, &filter));
    size_t n = 0;
    for (size_t at = filter.find(c_group); at != std::string::npos; at = filter.find(c_group, at + 1)) ++n;
    return n;
}

// The datagrams in_host has sent.
long datagrams_out(watched_host& in_host) {
    std::string snmp;
    EXPECT_EQ(0, in_host.host.host().run({"/bin/sh", "-c", "grep '^Udp:' /proc/net/snmp"}, &snmp));
    // Two lines: the names, then the numbers.
    std::istringstream in(snmp);
    std::string names, numbers;
    std::getline(in, names);
    std::getline(in, numbers);
    const std::vector<std::string> n = words(names), v = words(numbers);
    for (size_t i = 0; i < n.size() && i < v.size(); ++i)
        if (n[i] == "OutDatagrams") return std::stol(v[i]);
    return -1;
}

}  // namespace

// The stub on host A, its subscribers on host B.
class information_two_hosts : public information_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(a.start());
        ASSERT_TRUE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host.host(), b.host.host(), c_ip_a, c_ip_b));
        ASSERT_NO_FATAL_FAILURE(b.keep_link_to(a, c_ip_a));
        a.settle();
        b.settle();
        start_apps(a, b);
    }
    watched_host a{"A"}, b{"B"};
};

TEST_F(information_two_hosts, udp_subscribers_receive_through_one_group_membership_and_one_datagram_a_cycle) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "u1", c_ip_a));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "u2", c_ip_a));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "t", c_ip_a));
    EXPECT_EQ(0u, memberships(b));
    EXPECT_EQ("connect u1 0x0", app1->command("connect u1 udp 5"));
    EXPECT_EQ("connect u2 0x0", app2->command("connect u2 udp 5"));
    EXPECT_EQ("connect t 0x0", app2->command("connect t tcp 5"));
    EXPECT_EQ("count i 3", stub_app->command("count i"));
    EXPECT_EQ(1u, memberships(b)) << "one line however many subscribers";

    const long before = datagrams_out(a);
    for (const char* v : {"1", "2", "3", "4", "5"})
        EXPECT_EQ(std::string("write i 0x0"), stub_app->command(std::string("write i ") + v));
    const std::vector<std::string> all = {"1", "2", "3", "4", "5"};
    EXPECT_EQ(all, values_of(*app1, "u1", 5)) << app1->child().output();
    EXPECT_EQ(all, values_of(*app2, "u2", 5)) << app2->child().output();
    EXPECT_EQ(all, values_of(*app2, "t", 5)) << app2->child().output();
    EXPECT_EQ(before + 5, datagrams_out(a)) << "one datagram a cycle for two UDP subscribers";

    // The largest value a datagram carries, and one byte more, which goes by TCP: the two
    // travel different ways to the UDP subscriber and may come in either order.
    EXPECT_EQ("write i 0x0", stub_app->command("write i pat:60000"));
    EXPECT_EQ("write i 0x0", stub_app->command("write i pat:60001"));
    std::vector<std::string> u1 = values_of(*app1, "u1", 7), t = values_of(*app2, "t", 7);
    ASSERT_EQ(7u, u1.size());
    ASSERT_EQ(7u, t.size());
    EXPECT_NE(t[5], t[6]);
    std::sort(u1.begin() + 5, u1.end());
    std::sort(t.begin() + 5, t.end());
    EXPECT_EQ(t, u1);
    EXPECT_EQ(before + 6, datagrams_out(a)) << "no datagram for the larger value";

    // The last UDP subscriber's shutdown leaves the group.
    EXPECT_EQ("shutdown u1 ok", app1->command("shutdown u1"));
    EXPECT_FALSE(stub_app->wait("on_shutdown i 0x0 " + c_ip_b + ":").empty());
    EXPECT_EQ(1u, memberships(b));
    EXPECT_EQ("shutdown u2 ok", app2->command("shutdown u2"));
    EXPECT_TRUE(kova_test::wait_until([&] { return memberships(b) == 0; }, 5.0));
    EXPECT_EQ("count i 1", stub_app->command("count i"));
    expect_clean_ends({&a, &b});
}

TEST_F(information_two_hosts, the_stubs_disconnect_of_a_whole_node_ends_its_subscriptions_and_membership) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "u1", c_ip_a));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "u2", c_ip_a));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "t", c_ip_a));
    EXPECT_EQ("connect u1 0x0", app1->command("connect u1 udp 5"));
    EXPECT_EQ("connect u2 0x0", app2->command("connect u2 udp 5"));
    EXPECT_EQ("connect t 0x0", app2->command("connect t tcp 5"));
    EXPECT_EQ(1u, memberships(b));
    // B's node as the stub knows it: the address and port its subscribers came from.
    const std::vector<std::string> client = words(stub_app->wait("on_connect i 1 "));
    ASSERT_EQ(4u, client.size());
    const std::string node = client[3].substr(0, client[3].rfind(':'));
    ASSERT_EQ(0u, node.rfind(c_ip_b + ":", 0)) << node;
    const std::string port = node.substr(node.find(':') + 1);
    EXPECT_EQ("disconnect i ok", stub_app->command("disconnect i " + c_ip_b + " " + port + " 65535"));
    // Each subscriber hears it once; B's center drops what it counted for them.
    EXPECT_EQ("on_disconnected u1", app1->wait("on_disconnected u1"));
    EXPECT_EQ("on_disconnected u2", app2->wait("on_disconnected u2"));
    EXPECT_EQ("on_disconnected t", app2->wait("on_disconnected t"));
    EXPECT_TRUE(kova_test::wait_until([&] { return memberships(b) == 0; }, 5.0));
    EXPECT_EQ("count i 0", stub_app->command("count i"));
    EXPECT_EQ("see u1 -", app1->command("see u1 10"));
    // Nothing more reaches them, and they may subscribe again.
    EXPECT_EQ("write i 0x0", stub_app->command("write i gone"));
    EXPECT_EQ("connect u1 0x0", app1->command("connect u1 udp 5"));
    EXPECT_EQ(1u, memberships(b));
    EXPECT_EQ("write i 0x0", stub_app->command("write i back"));
    EXPECT_EQ(std::vector<std::string>{"back"}, values_of(*app1, "u1", 1));
    EXPECT_TRUE(values_of(*app2, "u2", 0).empty());
    EXPECT_EQ(1u, lines_of(*app1, "on_disconnected u1").size());
    expect_clean_ends({&a, &b});
}

TEST_F(information_two_hosts, an_answer_past_its_limit_is_refused_by_the_stubs_center_and_the_subscription_taken_back) {
    ASSERT_NO_FATAL_FAILURE(bind(*app1, "u1", c_ip_a));
    ASSERT_NO_FATAL_FAILURE(bind(*app2, "t", c_ip_a));
    // The stub answers after the requests' limit: the proxies give up, and the stub's center
    // sends the answers back to it as undeliverable.
    EXPECT_EQ("hold i ok", stub_app->command("hold i 800"));
    EXPECT_EQ("connect u1 0x40000000", app1->command("connect u1 udp 0.3"));
    EXPECT_EQ("connect t 0x40000000", app2->command("connect t tcp 0.3"));
    for (const char* tcp : {"0", "1"}) {
        const std::vector<std::string> w = words(stub_app->wait(std::string("on_connect i ") + tcp + " "));
        ASSERT_EQ(4u, w.size());
        const std::string shut = "on_shutdown i 0x40000000 " + w[3];
        EXPECT_EQ(shut, stub_app->wait(shut)) << stub_app->child().output();
    }
    EXPECT_EQ("count i 0", stub_app->command("count i"));
    EXPECT_EQ(0u, memberships(b));

    // In time, the subscription holds.
    EXPECT_EQ("hold i ok", stub_app->command("hold i 0"));
    EXPECT_EQ("connect u1 0x0", app1->command("connect u1 udp 5"));
    EXPECT_EQ(1u, memberships(b));
    EXPECT_EQ("write i 0x0", stub_app->command("write i v"));
    EXPECT_EQ(std::vector<std::string>{"v"}, values_of(*app1, "u1", 1));
    EXPECT_TRUE(lines_of(*app2, "on_sync t ").empty());
    expect_clean_ends({&a, &b});
}

// More groups than one socket may join: 24 stubs of their own groups on host A, each with a
// UDP subscriber on host B (whose keeper holds one group more). Every subscription is taken
// and brings its values; the host leaves every group once the subscribers are gone.
TEST_F(information_two_hosts, more_udp_subscriptions_than_one_socket_may_join_all_hold) {
    constexpr int c_stubs = 24;
    auto id = [](int k) { return std::to_string(10 + k); };  // groups 230.10.1.44 to 230.33.1.44
    for (int k = 0; k < c_stubs; ++k)
        ASSERT_EQ("stub s" + id(k) + " 0x0 " + id(k), stub_app->command("stub s" + id(k) + " " + c_domain + " " + id(k) + " 300"));
    auto groups_of_b = [&] {
        std::string filter;
        b.host.host().run({"/bin/sh", "-c", "grep -c ' 0xe6[0-9a-f]*012c ' /proc/net/mcfilter"}, &filter);
        return std::atoi(filter.c_str());
    };
    const int before = groups_of_b();
    for (int k = 0; k < c_stubs; ++k) app1->send("proxy u" + id(k) + " " + c_domain + " " + c_ip_a + " " + id(k) + " 300 udp");
    for (int k = 0; k < c_stubs; ++k)
        EXPECT_EQ("connect u" + id(k) + " 0x0 auto", app1->wait("connect u" + id(k) + " ", 20.0)) << app1->child().output();
    EXPECT_EQ(before + c_stubs, groups_of_b());
    for (int k = 0; k < c_stubs; ++k) EXPECT_EQ("write s" + id(k) + " 0x0", stub_app->command("write s" + id(k) + " v" + id(k)));
    for (int k = 0; k < c_stubs; ++k)
        EXPECT_EQ(std::vector<std::string>{"v" + id(k)}, values_of(*app1, "u" + id(k), 1)) << app1->child().output();
    for (int k = 0; k < c_stubs; ++k) EXPECT_EQ("count s" + id(k) + " 1", stub_app->command("count s" + id(k)));
    EXPECT_TRUE(lines_of(*stub_app, "on_shutdown ").empty()) << "no subscription was refused";

    expect_clean_ends({&a, &b});
    EXPECT_TRUE(kova_test::wait_until([&] { return groups_of_b() == before; }, 10.0)) << groups_of_b();
}

namespace {

// Takes a joined host's end of the veth pair down or up.
bool set_link(watched_host& in_host, const std::string& in_state) {
    return in_host.host.host().run({"/bin/sh", "-c",
                                    "ip link set $(ip -o link | grep -v LOOPBACK | "
                                    "sed -n 's/^[0-9]*: \\([^@:]*\\).*/\\1/p' | head -1) " +
                                        in_state}) == 0;
}

// How a subscription ends, and who hears of it.
enum enum_end { c_proxy_shutdown, c_proxy_destroyed, c_proxy_killed, c_stub_destroyed, c_stub_killed, c_link_lost };

struct end_case {
    const char* name;
    enum_end cause;
    // The error each client's on_shutdown at the stub carries; "" when the stub hears nothing.
    const char* stub_hears;
    // The subscribers hear on_disconnected, then on_object_destroy.
    bool subscribers_told;
    // The stub comes back (created again, or the link back up), and the subscribers subscribe
    // again from on_object_create.
    bool comes_back;
    // The subscribers on another host than the stub's, or beside it.
    bool two_hosts;
};

void PrintTo(const end_case& in_case, std::ostream* pout) { *pout << in_case.name; }

const end_case c_ends[] = {
    {"proxy_shutdown_across_hosts", c_proxy_shutdown, "0x0", false, false, true},
    {"proxy_destroyed_across_hosts", c_proxy_destroyed, "0x2", false, false, true},
    {"proxy_process_killed_across_hosts", c_proxy_killed, "0x2", false, false, true},
    {"stub_destroyed_and_created_again_across_hosts", c_stub_destroyed, "", true, true, true},
    {"stub_process_killed_and_started_again_across_hosts", c_stub_killed, "", true, true, true},
    // The node lost: each client with the disconnect's error, then on_disconnected_tcp.
    {"link_down_and_up", c_link_lost, "0x4000000e", true, true, true},
    {"proxy_shutdown_on_one_host", c_proxy_shutdown, "0x0", false, false, false},
    {"proxy_destroyed_on_one_host", c_proxy_destroyed, "0x2", false, false, false},
    {"proxy_process_killed_on_one_host", c_proxy_killed, "0x2", false, false, false},
    {"stub_destroyed_and_created_again_on_one_host", c_stub_destroyed, "", true, true, false},
    {"stub_process_killed_and_started_again_on_one_host", c_stub_killed, "", true, true, false},
};

}  // namespace

// Stub i on host A; app1's proxies t (TCP) and u (UDP), on host B or beside the stub on A,
// subscribe from each on_object_create.
// Only B's center joins the group: A's local UDP subscribers get their values inside the host.
class information_ends : public information_end_to_end, public testing::WithParamInterface<end_case> {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        // A lost link is noticed after 3 s of silence rather than 8.
        const std::string center_ini = GetParam().cause == c_link_lost ? "CONNECTION_TIMEOUT_MS=3000\n" : "";
        ASSERT_TRUE(a.start(center_ini));
        if (GetParam().two_hosts) {
            ASSERT_TRUE(b.start(center_ini));
            ASSERT_TRUE(kova_test::join_hosts(a.host.host(), b.host.host(), c_ip_a, c_ip_b));
            ASSERT_NO_FATAL_FAILURE(b.keep_link_to(a, c_ip_a));
            b.settle();
        }
        a.settle();

        stub_app = a.app();
        app1 = subscribers_host().app();
        ASSERT_TRUE(stub_app && app1);
        ASSERT_EQ("stub i 0x0 9", stub_app->command("stub i " + c_domain + " 9 300"));
        for (const char* p : {"t", "u"}) {
            const std::string kind = p == std::string("t") ? "tcp" : "udp";
            ASSERT_EQ(0u, app1->command("proxy " + std::string(p) + " " + c_domain + " " + stub_ip() + " 9 300 " + kind)
                              .rfind(std::string("proxy ") + p + " 0x0 ", 0));
            ASSERT_EQ("connect " + std::string(p) + " 0x0 auto", app1->wait("connect " + std::string(p) + " "))
                << app1->child().output();
            // The client as the stub knows it: the subscribers' node and the proxy's id.
            const std::vector<std::string> w = words(stub_app->wait("on_connect i " + std::to_string(kind == "tcp") + " "));
            ASSERT_EQ(4u, w.size());
            clients.push_back(w[3]);
        }
        EXPECT_EQ("count i 2", stub_app->command("count i"));
        EXPECT_EQ(memberships_subscribed(), memberships(subscribers_host()));
    }
    void TearDown() override {
        // The applications end themselves; a case that ends with the link down would leave
        // them waiting.
        if (GetParam().cause == c_link_lost) set_link(a, "up");
    }
    watched_host& subscribers_host() { return GetParam().two_hosts ? b : a; }
    std::string stub_ip() const { return GetParam().two_hosts ? c_ip_a : "127.0.0.1"; }
    size_t memberships_subscribed() const { return GetParam().two_hosts ? 1 : 0; }
    watched_host a{"A"}, b{"B"};
    std::vector<std::string> clients;  // t's and u's, as ip:domain:id
};

TEST_P(information_ends, every_way_a_subscription_ends_is_heard_and_leaves_nothing_behind) {
    const end_case& c = GetParam();
    // A value in every history when the end comes.
    EXPECT_EQ("write i 0x0", stub_app->command("write i 0"));
    EXPECT_EQ(std::vector<std::string>{"0"}, values_of(*app1, "t", 1)) << app1->child().output();
    EXPECT_EQ(std::vector<std::string>{"0"}, values_of(*app1, "u", 1)) << app1->child().output();
    const size_t stub_from = stub_app->mark(), subs_from = app1->mark();
    bool stub_alive = true, subs_alive = true;
    switch (c.cause) {
        case c_proxy_shutdown:
        case c_proxy_destroyed:
            for (const std::string p : {"t", "u"}) {
                const bool shutdown = c.cause == c_proxy_shutdown;
                EXPECT_EQ((shutdown ? "shutdown " : "destroy ") + p + (shutdown ? " ok" : " 0x0"),
                          app1->command((shutdown ? "shutdown " : "destroy ") + p));
            }
            break;
        case c_proxy_killed:
            app1->child().kill_now(SIGKILL);
            subs_alive = false;
            break;
        case c_stub_destroyed:
            EXPECT_EQ("destroy i 0x0", stub_app->command("destroy i"));
            break;
        case c_stub_killed:
            stub_app->child().kill_now(SIGKILL);
            stub_alive = false;
            break;
        case c_link_lost:
            ASSERT_TRUE(set_link(a, "down"));
            break;
    }

    if (*c.stub_hears) {
        for (const std::string& client : clients) {
            const std::string shut = "on_shutdown i " + std::string(c.stub_hears) + " " + client;
            EXPECT_EQ(shut, stub_app->wait(shut, 10.0, stub_from)) << stub_app->child().output();
        }
        EXPECT_EQ("count i 0", stub_app->command("count i"));
    }
    if (c.cause == c_link_lost) {
        // After every client of the node.
        const std::string node = clients[0].substr(0, clients[0].rfind(':'));
        EXPECT_EQ("on_disconnected_tcp i " + node, stub_app->wait("on_disconnected_tcp i", 10.0, stub_from));
        const std::string out = stub_app->child().output().substr(stub_from);
        for (const std::string& client : clients)
            EXPECT_LT(out.find(client), out.find("on_disconnected_tcp i")) << out;
    }
    for (const char* p : {"t", "u"}) {
        const std::string told = std::string("on_disconnected ") + p + "\n";
        if (!c.subscribers_told) {
            if (subs_alive) {
                EXPECT_EQ(std::string::npos, app1->child().output().find(told, subs_from));
            }
            continue;
        }
        EXPECT_FALSE(app1->wait(std::string("on_object_destroy ") + p, 10.0, subs_from).empty())
            << app1->child().output();
        const std::string out = app1->child().output().substr(subs_from);
        EXPECT_LT(out.find(told), out.find(std::string("on_object_destroy ") + p)) << out;
        EXPECT_EQ(out.find(told), out.rfind(told)) << "told once: " << out;
        EXPECT_EQ(std::string("see ") + p + " -", app1->command(std::string("see ") + p + " 10"));
    }
    // The subscribers' center gave up the group with the last UDP subscription, whichever way
    // it ended.
    EXPECT_TRUE(kova_test::wait_until([&] { return memberships(subscribers_host()) == 0; }, 5.0));

    if (c.comes_back) {
        const size_t again = app1->mark();
        switch (c.cause) {
            case c_stub_destroyed:
                EXPECT_EQ("stub i 0x0 9", stub_app->command("stub i " + c_domain + " 9 300"));
                break;
            case c_stub_killed:
                stub_app = a.app();
                ASSERT_TRUE(stub_app);
                EXPECT_EQ("stub i 0x0 9", stub_app->command("stub i " + c_domain + " 9 300"));
                stub_alive = true;
                break;
            default:
                ASSERT_TRUE(set_link(a, "up"));
                break;
        }
        for (const char* p : {"t", "u"})
            EXPECT_EQ(std::string("connect ") + p + " 0x0 auto", app1->wait(std::string("connect ") + p + " ", 15.0, again))
                << app1->child().output();
        EXPECT_EQ("count i 2", stub_app->command("count i"));
        for (const char* v : {"1", "2", "3"})
            EXPECT_EQ(std::string("write i 0x0"), stub_app->command(std::string("write i ") + v));
        const std::vector<std::string> all = {"0", "1", "2", "3"};
        EXPECT_EQ(all, values_of(*app1, "t", 4)) << app1->child().output();
        EXPECT_EQ(all, values_of(*app1, "u", 4)) << app1->child().output();
        EXPECT_EQ(memberships_subscribed(), memberships(subscribers_host()));
    }

    for (probe_app* p : {stub_alive ? stub_app.get() : nullptr, subs_alive ? app1.get() : nullptr})
        if (p) {
            EXPECT_EQ(0, p->exit()) << p->child().output();
        }
    a.expect_at_baseline();
    if (c.two_hosts) b.expect_at_baseline();
}

INSTANTIATE_TEST_SUITE_P(information_end_to_end, information_ends, testing::ValuesIn(c_ends),
                         [](const testing::TestParamInfo<end_case>& in_info) { return std::string(in_info.param.name); });
