// Bursts of one-way packets between real application processes through the real service and
// center, published as fast as the publisher can: every subscriber that keeps up gets the
// whole burst in order, on one host and across two. Every case ends with the applications
// finalised and the packet memory back where it was before them.
#include <gtest/gtest.h>

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

private:
    std::string m_probe;
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
                EXPECT_EQ("done " + name + " " + std::to_string(c_burst) + " 0 0", r.first->wait("done " + name, 120.0))
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

}  // namespace
