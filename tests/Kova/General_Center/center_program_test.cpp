// The center program as a process in a private host, driven by stand-ins for the
// service and for applications that use the protocol core directly.
#include <gtest/gtest.h>

#include <string>

#include "private_host.h"
#include "center_probe.h"
#include "test_process.h"

using kova_test::child_process;
using kova_test::private_host;

namespace {

const std::string c_center = KOVA_CENTER_PROGRAM;
const std::string c_domain = "7100";

using kova_center_test::ask;
using kova_center_test::probe;

// A private host with the service stand-in and one center of the domain.
class center_host : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!private_host::available(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(host.start());
        service = host.spawn({probe(), "host"});
        ASSERT_TRUE(service.wait_for_line("host ready"));
    }
    void start_center() {
        center = host.spawn({c_center, c_domain});
        ASSERT_EQ("service " + c_domain + " 1", ask(service, "service"));
    }
    child_process start_app() {
        child_process app = host.spawn({probe(), "app", c_domain});
        EXPECT_EQ(0u, ask(app, "").find("app "));  // the start-up line
        return app;
    }

    private_host host;
    child_process service;
    child_process center;
};

TEST(center_program, without_arguments_prints_usage_and_fails) {
    std::string out;
    EXPECT_EQ(255, kova_test::run_probe({c_center}, &out));
    EXPECT_EQ("usage : Kova_General_Center [Domain Port]\n", out);
}

TEST(center_program, waits_for_the_packet_memory_and_starts_once_the_service_made_it) {
    std::string why;
    if (!private_host::available(&why)) GTEST_SKIP() << why;
    private_host host;
    ASSERT_TRUE(host.start());
    child_process center = host.spawn({c_center, c_domain, "debug"});  // "debug" changes nothing
    // Its stop event made, it waits for the packet memory before it makes its pipe.
    ASSERT_TRUE(host.wait_for_shm("Global\\Kova_Center_KILLER_" + c_domain));
    EXPECT_FALSE(host.wait_for_shm("kova_center_ipc" + c_domain + "pipe", 0.5));
    EXPECT_EQ(-1, center.wait(0.1));
    child_process service = host.spawn({probe(), "host"});
    ASSERT_TRUE(service.wait_for_line("host ready"));
    EXPECT_EQ("service " + c_domain + " 1", ask(service, "service"));
}

TEST_F(center_host, second_center_of_a_domain_fails_and_the_first_runs_on) {
    start_center();
    child_process second = host.spawn({c_center, c_domain});
    EXPECT_EQ(255, second.wait(10.0));
    EXPECT_EQ("service none", ask(service, "service 0.5"));
    EXPECT_EQ(-1, center.wait(0.2));  // still running
    EXPECT_TRUE(host.wait_for_shm("kova_center_ipc" + c_domain + "pipe", 1.0));
}

TEST_F(center_host, center_whose_port_is_taken_ends_with_0_and_posts_nothing) {
    child_process holder = host.spawn({"/usr/bin/python3", "-c",
                                       "import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                                       "s.bind(('0.0.0.0'," + c_domain + "));print('bound',flush=True);sys.stdin.read()"});
    ASSERT_TRUE(holder.wait_for_line("bound"));
    child_process c = host.spawn({c_center, c_domain});
    EXPECT_EQ(0, c.wait(10.0));
    EXPECT_EQ("service none", ask(service, "service 0.5"));
    EXPECT_FALSE(host.wait_for_shm("kova_center_ipc" + c_domain + "pipe", 0.2));
}

TEST_F(center_host, local_call_and_reply_then_process_deaths_clean_up_and_the_idle_center_stops) {
    start_center();
    child_process a = start_app();
    child_process b = start_app();
    EXPECT_EQ("sent 0", ask(a, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(a, "recv listen"));  // its own announcement
    EXPECT_EQ("debug C control_object_create", ask(service, "debug C"));
    // The proxy learns of the connection and then of the stub.
    EXPECT_EQ("sent 0", ask(b, "proxy 32769 127.0.0.1 5"));
    EXPECT_EQ("got 1 32775 0 5 32769 0 nodata", ask(b, "recv listen"));
    EXPECT_EQ("got 1 3 0 5 32769 0 nodata", ask(b, "recv listen"));
    // Call and reply through the center.
    EXPECT_EQ("sent 0", ask(b, "send 48 32769 127.0.0.1 5 100"));
    EXPECT_EQ("replied 48 0", ask(a, "reply"));
    EXPECT_EQ("got 49 258 0 5 32769 100 data", ask(b, "recv return"));
    // The stub's process dies: every process hears that stub 5 is gone, with error 2.
    a.send_line("die");
    EXPECT_EQ(0, a.wait());
    EXPECT_EQ("got 1 4 2 5 65535 4 data", ask(b, "recv return"));
    EXPECT_EQ("got 1 4 2 5 65535 4 data", ask(b, "recv listen"));
    EXPECT_EQ("sent 0", ask(b, "send 48 32769 127.0.0.1 5 100"));
    EXPECT_EQ("got 50 258 2 5 32769 0 nodata", ask(b, "recv return"));
    // The last process dies: the center says 'K' with its domain and ends.
    b.send_line("die");
    EXPECT_EQ(0, b.wait());
    EXPECT_EQ("debug K " + c_domain, ask(service, "debug K"));
    EXPECT_EQ(0, center.wait(10.0));
    EXPECT_EQ("blocks 0", ask(service, "blocks"));  // nothing leaked on the way
}

TEST_F(center_host, two_processes_dying_together_do_not_hang_the_center) {
    start_center();
    child_process a = start_app();
    child_process b = start_app();
    EXPECT_EQ("sent 0", ask(a, "stubs 1 20"));
    EXPECT_EQ("drained 20", ask(a, "drain"));
    EXPECT_EQ("sent 0", ask(b, "stub 100"));
    EXPECT_EQ("got 1 3 0 100 65535 0 data", ask(b, "recv listen"));
    // a dies; b sees the first of its 20 object destroys and then dies too, before its
    // return pipe (16 deep) has room for the rest: the center must give up on it.
    a.send_line("die");
    EXPECT_EQ(0, a.wait());
    EXPECT_EQ("got 1 4 2 1 65535 4 data", ask(b, "recv listen"));
    b.send_line("die");
    EXPECT_EQ(0, b.wait());
    EXPECT_EQ("debug K " + c_domain, ask(service, "debug K", 20.0));
    EXPECT_EQ(0, center.wait(10.0));
}

TEST_F(center_host, idle_check_waits_for_packets_queued_behind_the_last_death) {
    start_center();
    child_process a = start_app();
    child_process b = start_app();
    EXPECT_EQ("sent 0", ask(a, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(a, "recv listen"));
    EXPECT_EQ(0u, ask(service, "blocks").find("blocks"));  // drains the trace records so far
    EXPECT_EQ("sent 0", ask(b, "delay 3"));
    a.send_line("die");
    EXPECT_EQ(0, a.wait());
    // The watcher's process-destroy packet is allocated while the center sleeps...
    EXPECT_EQ(0u, ask(service, "debug A").find("debug A"));
    // ...and b's first object is queued behind it.
    EXPECT_EQ("sent 0", ask(b, "stub 7"));
    EXPECT_EQ("got 1 3 0 7 65535 0 data", ask(b, "recv listen"));
    EXPECT_EQ(-1, center.wait(0.2));
}

TEST_F(center_host, stop_event_ends_the_center_even_during_a_delay) {
    start_center();
    child_process a = start_app();
    EXPECT_EQ("sent 0", ask(a, "delay 60"));
    EXPECT_EQ("sent 0", ask(a, "stub 5"));  // queued behind the delay
    const double t0 = kova_test::now_s();
    EXPECT_EQ(0, host.run({probe(), "kill", c_domain}));
    EXPECT_EQ(0, center.wait(10.0));
    EXPECT_LT(kova_test::now_s() - t0, 5.0);
    a.send_line("exit");
    a.wait();
    EXPECT_EQ("blocks 0", ask(service, "blocks"));  // the queued packet was freed
}

TEST_F(center_host, delay_token_holds_the_packets_behind_it_in_order) {
    start_center();
    child_process a = start_app();
    EXPECT_EQ("sent 0", ask(a, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(a, "recv listen"));
    const double t0 = kova_test::now_s();
    EXPECT_EQ("sent 0", ask(a, "delay 2"));
    EXPECT_EQ("sent 0", ask(a, "send 69 5 127.0.0.1 5 0 1"));
    EXPECT_EQ("sent 0", ask(a, "send 69 5 127.0.0.1 5 0 2"));
    EXPECT_EQ("got 69 1 0 5 5 0 nodata", ask(a, "recv listen"));
    EXPECT_GE(kova_test::now_s() - t0, 1.9);
    EXPECT_EQ("got 69 2 0 5 5 0 nodata", ask(a, "recv listen"));
}

// An event for every proxy goes to the processes that hold a proxy; a process of stubs only,
// the publisher's own, gets no copy. Its copies are made in one step of the center: once the
// proxy's process has its copy, any other would be in its pipe already.
TEST_F(center_host, an_event_for_every_proxy_reaches_the_processes_with_a_proxy_only) {
    start_center();
    child_process a = start_app();  // the publisher, stub 5
    child_process b = start_app();  // a proxy of it
    child_process c = start_app();  // another stub
    EXPECT_EQ("sent 0", ask(a, "stub 5"));
    EXPECT_EQ("got 1 3 0 5 65535 0 data", ask(a, "recv listen"));
    EXPECT_EQ("sent 0", ask(c, "stub 7"));
    EXPECT_EQ("got 1 3 0 7 65535 0 data", ask(a, "recv listen"));
    EXPECT_EQ("got 1 3 0 7 65535 0 data", ask(c, "recv listen"));
    EXPECT_EQ("sent 0", ask(b, "proxy 32769 127.0.0.1 5"));
    EXPECT_EQ("got 1 32775 0 5 32769 0 nodata", ask(b, "recv listen"));
    EXPECT_EQ("got 1 3 0 5 32769 0 nodata", ask(b, "recv listen"));
    for (const char* size : {"0", "100"}) {
        SCOPED_TRACE(size);
        EXPECT_EQ("sent 0", ask(a, std::string("send 69 5 127.0.0.1 65535 ") + size + " 9"));
        EXPECT_EQ(std::string("got 69 9 0 5 65535 ") + size + (size[0] == '0' ? " nodata" : " data"),
                  ask(b, "recv listen"));
        EXPECT_EQ("none 2", ask(a, "recv listen 0.2"));
        EXPECT_EQ("none 2", ask(c, "recv listen 0.2"));
    }
    for (child_process* p : {&a, &b, &c}) p->send_line("die");
    for (child_process* p : {&a, &b, &c}) EXPECT_EQ(0, p->wait());
    EXPECT_EQ(0, center.wait(10.0));
    EXPECT_EQ("blocks 0", ask(service, "blocks"));
}

TEST_F(center_host, the_managers_kill_command_stops_a_running_center) {
    start_center();
    const double t0 = kova_test::now_s();
    child_process manager = host.spawn({KOVA_MANAGER_PROGRAM, "kill", c_domain});
    ASSERT_TRUE(manager.wait_for_line("please enter key.")) << manager.output();
    EXPECT_EQ(0, center.wait(10.0));
    EXPECT_LT(kova_test::now_s() - t0, 5.0);
    manager.send_line("");
    EXPECT_EQ(0, manager.wait(5.0));
    // With no center left the same command says so.
    child_process again = host.spawn({KOVA_MANAGER_PROGRAM, "kill", c_domain});
    EXPECT_TRUE(again.wait_for_line("kova domain[" + c_domain + "] center is not running")) << again.output();
    again.send_line("");
    EXPECT_EQ(0, again.wait(5.0));
}

TEST_F(center_host, the_service_going_away_ends_the_center) {
    start_center();
    service.send_line("die");
    EXPECT_EQ(0, center.wait(10.0));
}

}  // namespace
