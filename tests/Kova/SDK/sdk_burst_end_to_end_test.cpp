// Bursts of one-way packets between real application processes through the real service and
// center, published as fast as the publisher can: every subscriber that keeps up gets the
// whole burst in order, on one host and across two. Every case ends with the applications
// finalised and the packet memory back where it was before them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::probe_app;

namespace {

const std::string c_domain = "7630";
const std::string c_ip_a = "10.231.21.1";
const std::string c_ip_b = "10.231.21.2";
constexpr unsigned long c_burst = 5000;
// Numbered payloads of these sizes in turn.
const std::string c_sizes = "0,100,1024";

// A watched host whose keeper makes stub keeper (id 99); room for a burst in flight.
class burst_host : public kova_test::kept_host {
public:
    explicit burst_host(const std::string& in_probe)
        : kept_host(in_probe, "MEMSIZE=134217728\nLOG=no\n"), m_probe(in_probe) {}

    void start() {
        if (m_probe == "probe_event_app")
            ASSERT_TRUE(kept_host::start("stub keeper " + c_domain + " 99 1 2", "stub keeper 0x0 99"));
        else
            ASSERT_TRUE(kept_host::start("stub keeper " + c_domain + " 99 1", "stub keeper 0x0 99"));
        settle();
    }

    // The keeper binds a proxy to the keeper of the host at in_ip (over UDP for information,
    // which then sends it one value), so that the centers' connection and what they keep for
    // datagrams are there before a case and after it.
    void link_to(burst_host& in_other, const std::string& in_ip) {
        const size_t from = keeper().mark();
        if (m_probe == "probe_event_app") {
            keeper().send("bproxy link " + c_domain + " " + in_ip + " 99 2");
            ASSERT_EQ("on_object_create link", keeper().wait("on_object_create link", 20.0, from));
            return;
        }
        keeper().send("proxy kp " + c_domain + " " + in_ip + " 99 1 udp");
        ASSERT_EQ("connect kp 0x0 auto", keeper().wait("connect kp ", 20.0, from)) << keeper().child().output();
        ASSERT_EQ("keep kp ok", keeper().command("keep kp 0"));
        ASSERT_EQ("write keeper 0x0", in_other.keeper().command("write keeper k"));
        ASSERT_FALSE(keeper().wait("on_sync kp ", 20.0, from).empty()) << keeper().child().output();
    }

private:
    std::string m_probe;
};

// Two watched hosts joined by a veth pair, each linked to the other.
struct burst_hosts {
    explicit burst_hosts(const std::string& in_probe) : a(in_probe), b(in_probe) {}
    void start() {
        ASSERT_NO_FATAL_FAILURE(a.start());
        ASSERT_NO_FATAL_FAILURE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b));
        ASSERT_NO_FATAL_FAILURE(a.link_to(b, c_ip_b));
        ASSERT_NO_FATAL_FAILURE(b.link_to(a, c_ip_a));
        a.settle();
        b.settle();
    }
    void expect_at_baseline() {
        EXPECT_TRUE(a.back_at_baseline()) << a.blocks() << " on A, before: " << a.baseline();
        EXPECT_TRUE(b.back_at_baseline()) << b.blocks() << " on B, before: " << b.baseline();
    }
    burst_host a, b;
};

// The receivers of a burst: each application and the names of its proxies there.
typedef std::vector<std::pair<probe_app*, std::vector<std::string>>> receivers_t;

class event_burst : public testing::Test {
protected:
    // An event proxy of in_app bound to stub s on in_ip and subscribed.
    static void subscribe(probe_app& in_app, const std::string& in_name, const std::string& in_ip) {
        const size_t from = in_app.mark();
        in_app.send("eproxy " + in_name + " " + c_domain + " " + in_ip + " 5 300");
        ASSERT_EQ(0u, in_app.wait("proxy " + in_name + " ", 20.0, from).rfind("proxy " + in_name + " 0x0 ", 0));
        ASSERT_EQ("on_object_create " + in_name, in_app.wait("on_object_create " + in_name, 10.0, from));
        const size_t at = in_app.mark();
        in_app.send("connect " + in_name + " 5");
        ASSERT_EQ("connect " + in_name + " 0x0", kova_test::without_time(in_app.wait("connect " + in_name + " ", 10.0, at)));
    }
    // The stub publishes the whole burst at once; every proxy reports it whole, in order, with
    // its bytes.
    static void burst(probe_app& in_stub, const receivers_t& in_receivers, unsigned long in_from) {
        for (const auto& r : in_receivers)
            for (const std::string& name : r.second)
                ASSERT_EQ("expect " + name + " ok",
                          r.first->command("expect " + name + " " + std::to_string(in_from) + " " +
                                           std::to_string(c_burst) + " " + c_sizes));
        const size_t from = in_stub.mark();
        in_stub.send("publish s " + std::to_string(in_from) + " " + std::to_string(c_burst) + " " + c_sizes);
        ASSERT_EQ("published s " + std::to_string(c_burst) + " 0", in_stub.wait("published s", 120.0, from))
            << in_stub.child().output();
        for (const auto& r : in_receivers)
            for (const std::string& name : r.second)
                // The name's own line: "done q1" would also find q10's.
                EXPECT_EQ("done " + name + " " + std::to_string(c_burst) + " 0 0",
                          r.first->wait("done " + name + " ", 120.0))
                    << r.first->child().output();
    }
    static std::unique_ptr<probe_app> stub_on(burst_host& in_host) {
        std::unique_ptr<probe_app> s = in_host.app();
        EXPECT_TRUE(s);
        if (s) {
            EXPECT_EQ("stub s 0x0 5", s->command("stub s " + c_domain + " 5 300 301"));
        }
        return s;
    }
    static void finalise(const std::vector<probe_app*>& in_apps) {
        for (probe_app* a : in_apps) a->send("exit");
        for (probe_app* a : in_apps) EXPECT_EQ(0, a->child().wait(30.0)) << a->child().output();
    }
};

TEST_F(event_burst, reaches_four_processes_and_sixteen_proxies_of_one_process_whole_and_in_order) {
    REQUIRE_PRIVATE_HOSTS();
    burst_host host("probe_event_app");
    ASSERT_NO_FATAL_FAILURE(host.start());
    std::unique_ptr<probe_app> stub = stub_on(host);
    ASSERT_TRUE(stub);

    std::vector<std::unique_ptr<probe_app>> four;
    receivers_t apart;
    for (int i = 0; i < 4; ++i) {
        four.push_back(host.app());
        ASSERT_TRUE(four.back());
        const std::string name = "p" + std::to_string(i);
        ASSERT_NO_FATAL_FAILURE(subscribe(*four.back(), name, "127.0.0.1"));
        apart.push_back({four.back().get(), {name}});
    }
    ASSERT_NO_FATAL_FAILURE(burst(*stub, apart, 0));
    std::vector<probe_app*> apps = {stub.get()};
    for (auto& a : four) apps.push_back(a.get());

    std::unique_ptr<probe_app> many = host.app();
    ASSERT_TRUE(many);
    receivers_t together = {{many.get(), {}}};
    for (int i = 0; i < 16; ++i) {
        const std::string name = "q" + std::to_string(i);
        ASSERT_NO_FATAL_FAILURE(subscribe(*many, name, "127.0.0.1"));
        together[0].second.push_back(name);
    }
    ASSERT_NO_FATAL_FAILURE(burst(*stub, together, c_burst));
    apps.push_back(many.get());

    finalise(apps);
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(event_burst, crosses_to_the_processes_of_another_host_whole_and_in_order) {
    REQUIRE_PRIVATE_HOSTS();
    burst_hosts hosts("probe_event_app");
    ASSERT_NO_FATAL_FAILURE(hosts.start());
    std::unique_ptr<probe_app> stub = stub_on(hosts.b), one = hosts.a.app(), two = hosts.a.app();
    ASSERT_TRUE(stub && one && two);
    receivers_t there = {{one.get(), {"p1"}}, {two.get(), {"p2", "p3"}}};
    for (const auto& r : there)
        for (const std::string& name : r.second) ASSERT_NO_FATAL_FAILURE(subscribe(*r.first, name, c_ip_b));
    ASSERT_NO_FATAL_FAILURE(burst(*stub, there, 0));
    finalise({stub.get(), one.get(), two.get()});
    hosts.expect_at_baseline();
}

// Stub s (id 5) publishes information values of code 300 in the posting model; each value's
// number is in its first bytes.
class information_burst : public testing::Test {
protected:
    static constexpr unsigned long c_values = 5000;

    static std::unique_ptr<probe_app> stub_on(burst_host& in_host) {
        std::unique_ptr<probe_app> s = in_host.app();
        EXPECT_TRUE(s);
        if (s) {
            EXPECT_EQ("stub s 0x0 5", s->command("stub s " + c_domain + " 5 300"));
        }
        return s;
    }
    // An information proxy of in_app bound to stub s on in_ip, subscribed by in_how (tcp, udp).
    static void subscribe(probe_app& in_app, const std::string& in_name, const std::string& in_ip,
                          const std::string& in_how) {
        const size_t from = in_app.mark();
        in_app.send("proxy " + in_name + " " + c_domain + " " + in_ip + " 5 300 " + in_how);
        ASSERT_EQ("connect " + in_name + " 0x0 auto", in_app.wait("connect " + in_name + " ", 20.0, from))
            << in_app.child().output();
    }
    static void tally(const receivers_t& in_receivers, unsigned long in_from) {
        for (const auto& r : in_receivers)
            for (const std::string& name : r.second)
                ASSERT_EQ("tally " + name + " ok",
                          r.first->command("tally " + name + " " + std::to_string(in_from) + " " + std::to_string(c_values)));
    }
    // The stub writes the whole burst at once, each write as soon as the last has gone.
    static void burst(probe_app& in_stub, unsigned long in_from, unsigned in_size) {
        const size_t from = in_stub.mark();
        in_stub.send("burst s " + std::to_string(in_from) + " " + std::to_string(c_values) + " " + std::to_string(in_size));
        ASSERT_EQ("burst s " + std::to_string(c_values) + " 0", in_stub.wait("burst s ", 120.0, from))
            << in_stub.child().output();
    }
    // Every receiver got every value, in order, up to the last.
    static void expect_whole(const receivers_t& in_receivers, unsigned long in_from) {
        const std::string whole = std::to_string(c_values) + " 0 " + std::to_string(in_from + c_values - 1);
        for (const auto& r : in_receivers)
            for (const std::string& name : r.second)
                EXPECT_EQ("tallied " + name + " " + whole, r.first->wait("tallied " + name + " ", 120.0))
                    << r.first->child().output();
    }
    // Every receiver ends on the stub's last value, having got the others in order (by UDP some
    // may be missing).
    static void expect_last(const receivers_t& in_receivers, unsigned long in_last) {
        for (const auto& r : in_receivers)
            for (const std::string& name : r.second) {
                std::vector<std::string> w;
                kova_test::wait_until(
                    [&] {
                        w = kova_test::words(r.first->command("tally? " + name));
                        return w.size() == 5 && w[4] == std::to_string(in_last);
                    },
                    60.0);
                ASSERT_EQ(5u, w.size());
                EXPECT_EQ(std::to_string(in_last), w[4]) << name << " holds an older value";
                EXPECT_EQ("0", w[3]) << name << " got values out of order";
                EXPECT_EQ(0u, r.first->command("read " + name).rfind("read " + name + " 0x0 ", 0));
            }
    }
    static void finalise(const std::vector<probe_app*>& in_apps) {
        for (probe_app* a : in_apps) a->send("exit");
        for (probe_app* a : in_apps) EXPECT_EQ(0, a->child().wait(30.0)) << a->child().output();
    }
};

TEST_F(information_burst, tcp_values_reach_four_processes_and_sixteen_proxies_of_one_process_whole_and_in_order) {
    REQUIRE_PRIVATE_HOSTS();
    burst_host host("probe_information_app");
    ASSERT_NO_FATAL_FAILURE(host.start());
    std::unique_ptr<probe_app> stub = stub_on(host);
    ASSERT_TRUE(stub);
    std::vector<std::unique_ptr<probe_app>> four;
    receivers_t apart;
    for (int i = 0; i < 4; ++i) {
        four.push_back(host.app());
        ASSERT_TRUE(four.back());
        const std::string name = "p" + std::to_string(i);
        ASSERT_NO_FATAL_FAILURE(subscribe(*four.back(), name, "127.0.0.1", "tcp"));
        apart.push_back({four.back().get(), {name}});
    }
    ASSERT_NO_FATAL_FAILURE(tally(apart, 0));
    ASSERT_NO_FATAL_FAILURE(burst(*stub, 0, 100));
    expect_whole(apart, 0);

    std::unique_ptr<probe_app> many = host.app();
    ASSERT_TRUE(many);
    receivers_t together = {{many.get(), {}}};
    for (int i = 0; i < 16; ++i) {
        together[0].second.push_back("q" + std::to_string(i));
        ASSERT_NO_FATAL_FAILURE(subscribe(*many, together[0].second.back(), "127.0.0.1", "tcp"));
    }
    ASSERT_NO_FATAL_FAILURE(tally(together, c_values));
    ASSERT_NO_FATAL_FAILURE(burst(*stub, c_values, 100));
    expect_whole(together, c_values);

    std::vector<probe_app*> apps = {stub.get(), many.get()};
    for (auto& a : four) apps.push_back(a.get());
    finalise(apps);
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(information_burst, udp_subscribers_of_one_host_end_on_the_stubs_last_value) {
    REQUIRE_PRIVATE_HOSTS();
    burst_host host("probe_information_app");
    ASSERT_NO_FATAL_FAILURE(host.start());
    std::unique_ptr<probe_app> stub = stub_on(host), one = host.app(), two = host.app();
    ASSERT_TRUE(stub && one && two);
    receivers_t subscribers = {{one.get(), {"u1"}}, {two.get(), {"u2", "u3"}}};
    for (const auto& r : subscribers)
        for (const std::string& name : r.second) ASSERT_NO_FATAL_FAILURE(subscribe(*r.first, name, "127.0.0.1", "udp"));
    ASSERT_NO_FATAL_FAILURE(tally(subscribers, 0));
    ASSERT_NO_FATAL_FAILURE(burst(*stub, 0, 100));
    ASSERT_NO_FATAL_FAILURE(expect_last(subscribers, c_values - 1));
    finalise({stub.get(), one.get(), two.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(information_burst, udp_subscribers_of_another_host_end_on_the_stubs_last_value) {
    REQUIRE_PRIVATE_HOSTS();
    burst_hosts hosts("probe_information_app");
    ASSERT_NO_FATAL_FAILURE(hosts.start());
    std::unique_ptr<probe_app> stub = stub_on(hosts.b), one = hosts.a.app(), two = hosts.a.app();
    ASSERT_TRUE(stub && one && two);
    receivers_t there = {{one.get(), {"u1"}}, {two.get(), {"u2", "u3"}}};
    for (const auto& r : there)
        for (const std::string& name : r.second) ASSERT_NO_FATAL_FAILURE(subscribe(*r.first, name, c_ip_b, "udp"));
    ASSERT_NO_FATAL_FAILURE(tally(there, 0));
    ASSERT_NO_FATAL_FAILURE(burst(*stub, 0, 100));
    ASSERT_NO_FATAL_FAILURE(expect_last(there, c_values - 1));
    finalise({stub.get(), one.get(), two.get()});
    hosts.expect_at_baseline();
}

}  // namespace
