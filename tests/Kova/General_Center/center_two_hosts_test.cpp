// Two private hosts joined by a veth pair, each with a stand-in service and a center of
// the same domain: packets between their applications over TCP, and datagrams.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "private_host.h"
#include "center_probe.h"
#include "test_process.h"

using kova_test::child_process;
using kova_test::private_host;

namespace {

const std::string c_center = KOVA_CENTER_PROGRAM;
const std::string c_domain = "7500";
const std::string c_ip_a = "10.231.9.1";
const std::string c_ip_b = "10.231.9.2";

using kova_center_test::ask;
using kova_center_test::probe;

struct one_host {
    private_host host;
    child_process service, center, app;

    void start_programs() {
        service = host.spawn({probe(), "host"});
        ASSERT_TRUE(service.wait_for_line("host ready"));
        center = host.spawn({c_center, c_domain});
        ASSERT_EQ("service " + c_domain + " 1", ask(service, "service"));
        app = host.spawn({probe(), "app", c_domain});
        ASSERT_EQ(0u, ask(app, "").find("app "));
    }
};

class two_hosts : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!private_host::available(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(a.host.start());
        ASSERT_TRUE(b.host.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host, b.host, c_ip_a, c_ip_b));
        a.start_programs();
        b.start_programs();
    }
    one_host a, b;
};

TEST_F(two_hosts, a_call_travels_over_one_tcp_connection_and_its_reply_comes_back) {
    EXPECT_EQ("sent 0", ask(b.app, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(b.app, "recv listen"));
    // A proxy on host A asks for stub 5 of host B: the connection is made, and A's process
    // hears of it (0x8007) and of B's stubs (object create), in either order.
    EXPECT_EQ("sent 0", ask(a.app, "proxy 32769 " + c_ip_b + " 5"));
    std::set<std::string> heard = {ask(a.app, "recv listen"), ask(a.app, "recv listen")};
    EXPECT_EQ(1u, heard.count("got 1 32775 0 0 65535 0 nodata")) << *heard.begin();
    EXPECT_EQ(1u, heard.count("got 1 3 0 5 65535 0 nodata")) << *heard.rbegin();
    // B's process hears that a center connected to its center (0x8005).
    EXPECT_EQ("got 1 32773 0 65535 0 0 nodata", ask(b.app, "recv listen"));

    EXPECT_EQ("sent 0", ask(a.app, "send 48 32769 " + c_ip_b + " 5 100"));
    EXPECT_EQ("replied 48 0", ask(b.app, "reply"));
    EXPECT_EQ("got 49 258 0 5 32769 100 data", ask(a.app, "recv return"));
    std::string out;
    EXPECT_EQ(0, a.host.run({"/bin/sh", "-c", "ss -tn state established | grep -c :" + c_domain}, &out));
    EXPECT_EQ("1\n", out);
}

TEST_F(two_hosts, a_broadcast_datagram_reaches_the_other_host) {
    ASSERT_TRUE(kova_test::add_default_route(a.host));
    EXPECT_EQ("sent 0", ask(b.app, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(b.app, "recv listen"));
    EXPECT_EQ("sent 0", ask(a.app, "stub 7"));
    EXPECT_EQ("got 1 3 0 7 65535 0 data", ask(a.app, "recv listen"));
    EXPECT_EQ("sent 0", ask(a.app, "send 16 7 255.255.255.255 65535 8"));
    EXPECT_EQ("got 16 258 0 7 65535 8 data", ask(a.app, "recv listen"));  // the local copy
    EXPECT_EQ("got 16 258 0 7 65535 8 data", ask(b.app, "recv listen"));
}

TEST_F(two_hosts, a_multicast_value_reaches_the_subscribed_process_of_the_other_host) {
    ASSERT_TRUE(kova_test::add_default_route(a.host));
    EXPECT_EQ("sent 0", ask(a.app, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(a.app, "recv listen"));
    EXPECT_EQ("sent 0", ask(b.app, "proxy 32770 " + c_ip_a + " 5"));
    ask(b.app, "recv listen");
    ask(b.app, "recv listen");
    EXPECT_EQ("got 1 32773 0 65535 0 0 nodata", ask(a.app, "recv listen"));
    // B's proxy subscribes by UDP to code 0x0102 of A's stub 5; the stub confirms.
    EXPECT_EQ("sent 0", ask(b.app, "send 113 32770 " + c_ip_a + " 5 0"));
    EXPECT_EQ("replied 113 0", ask(a.app, "reply"));
    EXPECT_EQ("got 114 258 0 5 32770 0 nodata", ask(b.app, "recv return"));
    // B's center joined 230.5.1.2 for A's host as source.
    std::string filter;
    EXPECT_EQ(0, b.host.run({"/bin/sh", "-c", "cat /proc/net/mcfilter"}, &filter));
    EXPECT_NE(std::string::npos, filter.find("0xe6050102")) << filter;
    // A value of the stub to its group reaches B's subscribed process.
    EXPECT_EQ("sent 0", ask(a.app, "sendif " + c_ip_a + " 118 5 230.5.1.2 65535 8"));
    EXPECT_EQ("got 118 258 0 5 65535 8 data", ask(b.app, "recv listen"));
    // The proxy ends its subscription: the group is left.
    EXPECT_EQ("sent 0", ask(b.app, "send 117 32770 " + c_ip_a + " 5 0"));
    EXPECT_EQ("got 117 258 0 32770 5 0 nodata", ask(a.app, "recv listen"));
    EXPECT_EQ(0, b.host.run({"/bin/sh", "-c", "cat /proc/net/mcfilter"}, &filter));
    EXPECT_EQ(std::string::npos, filter.find("0xe6050102")) << filter;
}

}  // namespace
