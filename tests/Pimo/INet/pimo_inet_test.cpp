#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "Pimo/INet/pimo_inet.h"
#include "test_process.h"

using namespace Pimo::INet;

TEST(inet_address, composition_and_dotted_text_round_trip) {
    struct row { unsigned char b[4]; const char* text; };
    const row rows[] = {
        {{127, 0, 0, 1}, "127.0.0.1"},
        {{255, 255, 255, 255}, "255.255.255.255"},
        {{0, 0, 0, 0}, "0.0.0.0"},
        {{230, 5, 1, 2}, "230.5.1.2"},
        {{10, 200, 3, 254}, "10.200.3.254"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        unsigned long ip = inet_addr(r.b[0], r.b[1], r.b[2], r.b[3]);
        EXPECT_EQ(ip, static_cast<unsigned long>(::inet_addr(r.text)));
        EXPECT_STREQ(str_from_ip(static_cast<u_int32_t>(ip)), r.text);
    }
    EXPECT_EQ(inet_addr(127, 0, 0, 1), 0x0100007FUL);
    EXPECT_EQ(eproc_initialize(), Pimo::OS::c_vimra_success);
    proc_destroy();
}

TEST(inet_address, dotted_text_is_per_thread) {
    const char* mine = str_from_ip(0x0100007F);
    std::thread([] { str_from_ip(0xFFFFFFFF); }).join();
    EXPECT_STREQ(mine, "127.0.0.1");
}

namespace {

// Runs the namespace probe and returns its key=value lines; skips where namespaces are refused.
std::map<std::string, std::string> run_in_namespace(const std::string& in_mode, int& out_status) {
    std::string output;
    out_status = kova_test::run_probe({kova_test::probe_path("probe_netns"), in_mode}, &output);
    std::map<std::string, std::string> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

}  // namespace

// In a namespace of its own the probe reads eth0, joins 230.7.1.2 on one socket, sends to it
// from a second socket whose multicast interface it sets, and leaves the group again.
// With eth0 no route leads to the group: the datagram leaves only if the interface option took.
// Without eth0 the query fails and the membership goes on the routed interface, lo.
TEST(ip_config_namespace, eth0_query_and_multicast_membership) {
    struct row { const char* mode; const char* config; const char* ip; const char* mask; const char* joined; };
    const row rows[] = {
        {"eth0", "0", "10.77.1.2", "255.255.0.0", "eth0"},
        {"lo", "-1", "0.0.0.0", "0.0.0.0", "lo"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.mode);
        int status = 0;
        auto v = run_in_namespace(r.mode, status);
        if (status == 77) GTEST_SKIP() << "network namespace not available: " << v["skip"];
        ASSERT_EQ(status, 0);
        EXPECT_EQ(v["config"], r.config);
        EXPECT_EQ(v["ip"], r.ip);
        EXPECT_EQ(v["mask"], r.mask);
        EXPECT_EQ(v["joined"], r.joined);
        EXPECT_EQ(v["sent"], "0");
        EXPECT_EQ(v["received"], "0 multicast");
        EXPECT_EQ(v["dropped"], "none");
    }
}
