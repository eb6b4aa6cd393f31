// A crowd of proxies in one process, bound to one stub of another process of the host: the
// center answers every one of them (its liveness, its link), however many of those answers
// reach the process while it takes none, and each is then served. Real service, center and
// applications in a private host; the packet memory is back at its baseline afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::probe_app;
using kova_test::words;

namespace {

const std::string c_domain = "7652";

struct crowd_case {
    const char* name;
    const char* probe;
    const char* keeper_line;  // makes the keeper's stub 99
    const char* stub_line;    // makes stub 5
    const char* stub_made;
    const char* code;
    unsigned count;
    const char* clients;  // the stub's count of clients afterwards ("" for none)
};

// Events: each proxy subscribes once it is live. Calls: each proxy calls once.
const crowd_case c_crowds[] = {
    {"events", "probe_event_app", "stub keeper 7652 99 1 2", "stub s 7652 5 300 301", "stub s 0x0 5", "300", 1000,
     "clients s 1000"},
    {"calls", "probe_call_app", "stub keeper 7652 99 1 64 2", "stub s 7652 5 258 64 259", "stub s 0x0 5", "258", 2000,
     ""},
};

void PrintTo(const crowd_case& in_case, std::ostream* pout_os) { *pout_os << in_case.name << " " << in_case.count; }

class crowd_one_host : public testing::TestWithParam<crowd_case> {};

// The first proxy makes the crowd in its on_object_create, on the process's one listener: the
// center's answers for all of them meet a listen pipe that nobody reads until the last is made.
TEST_P(crowd_one_host, every_proxy_of_a_crowd_made_at_once_becomes_live_and_is_served) {
    REQUIRE_PRIVATE_HOSTS();
    const crowd_case& c = GetParam();
    kova_test::kept_host host(c.probe, "MEMSIZE=67108864\n");
    ASSERT_TRUE(host.start(c.keeper_line, "stub keeper 0x0 99"));
    host.settle();
    std::unique_ptr<probe_app> stub = host.app();
    ASSERT_TRUE(stub);
    ASSERT_EQ(c.stub_made, stub->command(c.stub_line));
    std::unique_ptr<probe_app> crowd(new probe_app(host.host(), c.probe));
    ASSERT_TRUE(crowd->init(1));
    const std::string count = std::to_string(c.count);
    const size_t from = crowd->mark();
    crowd->send("many c " + count + " " + c_domain + " 127.0.0.1 5 " + c.code + " 20");
    std::string done;
    kova_test::wait_until(
        [&] {
            stub->child().wait_for_line("\x01", 0.01);  // reads its lines: a full pipe would stop its callbacks
            return !(done = crowd->wait("many c ", 0.05, from)).empty();
        },
        60.0);
    const std::vector<std::string> w = words(done);
    ASSERT_EQ(5u, w.size()) << crowd->child().output();
    EXPECT_EQ(count + " " + count, w[2] + " " + w[3]) << "live and served of " << count << " in " << w[4] << " ms";
    if (*c.clients) {
        EXPECT_EQ(c.clients, stub->command("clients s"));
    }
    for (probe_app* app : {crowd.get(), stub.get()}) EXPECT_EQ(0, app->exit(20.0)) << app->child().output();
    EXPECT_TRUE(host.back_at_baseline(10.0)) << host.blocks() << ", before: " << host.baseline();
}

INSTANTIATE_TEST_SUITE_P(crowds, crowd_one_host, testing::ValuesIn(c_crowds),
                         [](const testing::TestParamInfo<crowd_case>& in_info) {
                             return std::string(in_info.param.name) + "_" + std::to_string(in_info.param.count);
                         });

}  // namespace
