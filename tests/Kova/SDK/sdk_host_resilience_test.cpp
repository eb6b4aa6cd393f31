// Whole hosts under faults: centers that end or die, application processes that die or
// stop, hostile input. Real service, center and application processes in private hosts.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "call_host.h"

using kova_test::child_process;
using namespace kova_call_test;

namespace {

// A center that is still ending holds its domain (its stop event, its pipe already shut
// down): an application's first object in the domain waits for it to end and then gets
// the next center, instead of failing after the five-second wait or opening the pipe of
// the center that ends.
TEST(center_restart, an_object_created_while_the_previous_center_ends_gets_the_next_center) {
    REQUIRE_PRIVATE_HOSTS();
    kova_host host;
    ASSERT_TRUE(host.start());
    child_process ending = host.memory();
    ASSERT_EQ("claimed 0", kova_test::ask(ending, "claim 7611"));
    std::unique_ptr<call_app> app = host.app();
    ASSERT_TRUE(app);
    app->send("stub s 7611 5 258 64 259");
    EXPECT_EQ("", app->wait("stub s ", 0.5)) << "no center while the previous one holds the domain";
    const double ended = kova_test::now_s();
    ASSERT_EQ("unclaimed", kova_test::ask(ending, "unclaim"));
    EXPECT_EQ("stub s 0x0 5", app->wait("stub s ", 10.0));
    EXPECT_LT(kova_test::now_s() - ended, 3.0);
    // Still alive a watch period later: nothing watched the center that ended.
    kova_test::wait_until([] { return false; }, 1.5);
    EXPECT_EQ("state x unknown", app->command("state x"));
    EXPECT_GT(host.center("7611"), 0);
}

// With no file descriptor left, an object id cannot be taken: the create says so at once
// (0x1) instead of trying every id of the range and calling them all used.
TEST(object_ids, a_process_without_descriptors_fails_its_create_at_once_and_not_as_all_ids_used) {
    REQUIRE_PRIVATE_HOSTS();
    kova_host host;
    ASSERT_TRUE(host.start());
    std::unique_ptr<call_app> app = host.app();
    ASSERT_TRUE(app);
    ASSERT_EQ("stub s 0x0 5", app->command("stub s 7612 5 258 64 259"));  // the center pipe is open
    ASSERT_EQ(0u, app->command("fds exhaust").rfind("fds exhaust ", 0));
    const double t0 = kova_test::now_s();
    EXPECT_EQ(0u, app->command("stub a 7612 0 258 64 259").rfind("stub a 0x1 ", 0)) << "an automatic id";
    EXPECT_EQ(0u, app->command("stub e 7612 9 258 64 259").rfind("stub e 0x1 ", 0)) << "an explicit id";
    EXPECT_LT(kova_test::now_s() - t0, 1.0);
    EXPECT_EQ("fds free done", app->command("fds free"));
    EXPECT_EQ("stub a 0x0 31744", app->command("stub a 7612 0 258 64 259"));
}

// Controls that only the host's own programs make (a process destroy, the TCP connection
// reports) are dropped when a datagram brings them, also from the host itself: a datagram
// does not unregister a live application or end its links.
TEST(hostile_datagrams, host_only_controls_by_udp_are_dropped) {
    REQUIRE_PRIVATE_HOSTS();
    kova_host host;
    ASSERT_TRUE(host.start());
    std::unique_ptr<call_app> stub = host.app();
    ASSERT_TRUE(stub);
    const std::vector<std::string> pid = words(stub->wait("pid "));
    ASSERT_EQ(2u, pid.size());
    ASSERT_EQ("stub s 0x0 5", stub->command("stub s 7613 5 258 64 259"));
    std::unique_ptr<call_app> client = host.app();
    ASSERT_TRUE(client);
    ASSERT_EQ(0u, client->command("proxy p 7613 127.0.0.1 5 258 259").rfind("proxy p 0x0 ", 0));
    ASSERT_FALSE(client->wait("on_object_create p").empty());
    const size_t from = client->mark();

    // type 1, code (process destroy 5, the reports 0x8005 to 0x8008), the stub's pid as payload.
    const char* const script = R"PY(
import socket, struct, sys
pid = int(sys.argv[1])
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for code in (5, 0x8005, 0x8006, 0x8007, 0x8008):
    hdr = struct.pack('<BBHHHHHHHII', 2, 1, 7613, 0xFFFF, 0, code, 0, 0xFFFF, 0, 0, 4)
    u.sendto(hdr + struct.pack('<i', pid), ('127.0.0.1', 7613))
print('sent', flush=True)
)PY";
    child_process sender = host.host().spawn({"/usr/bin/python3", "-c", script, pid[1]});
    ASSERT_TRUE(sender.wait_for_line("sent"));
    kova_test::wait_until([] { return false; }, 0.5);
    EXPECT_EQ("call c1 0x0 5 olleh", without_time(client->request("call p c1 5 hello 64")));
    const std::string heard = client->child().output().substr(from);
    EXPECT_EQ(std::string::npos, heard.find("on_object_destroy")) << heard;
    EXPECT_EQ(std::string::npos, heard.find("on_disconnected_tcp")) << heard;
    EXPECT_GT(host.center("7613"), 0);
}

}  // namespace
