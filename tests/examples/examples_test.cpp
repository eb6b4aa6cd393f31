// The example programs against the real service and center in a private host: each client
// gets its answers, and each stub ends cleanly on the end it documents.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "../Kova/General_Service/service_host.h"

namespace {

using kova_test::child_process;

class examples : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!kova_test::private_host::available(&why)) GTEST_SKIP() << "example tests skipped: " << why;
        ASSERT_TRUE(m_tree.ok());
        ASSERT_TRUE(kova_test::copy_file(KOVA_CENTER_PROGRAM, m_tree.bin() + "Kova_General_Center"));
        ASSERT_TRUE(m_tree.start_service(m_service));
    }

    child_process start_stub(const std::string& in_program, const std::string& in_id, const std::string& in_ready) {
        child_process stub = m_tree.host().spawn({in_program, "7100", in_id});
        EXPECT_TRUE(stub.wait_for_line(in_ready, 20)) << stub.output();
        return stub;
    }

    kova_test::service_host m_tree;
    child_process m_service;
};

TEST_F(examples, call_client_prints_each_reply_and_the_stub_ends_when_its_input_closes) {
    child_process stub = start_stub(KOVA_EXAMPLE_CALL_STUB, "100", "call stub 100 serving code 1 in domain 7100");
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_CALL_CLIENT, "7100", "127.0.0.1", "100", "Hello, stub", "2"}, &out), 0)
        << out;
    EXPECT_NE(out.find("reply 1 in "), std::string::npos) << out;
    EXPECT_NE(out.find(" us: \"HELLO, STUB\"\nreply 2 in "), std::string::npos) << out;
    stub.close_input();
    EXPECT_EQ(stub.wait(15), 0);
    EXPECT_NE(stub.output().find("\"Hello, stub\"\n"), std::string::npos) << stub.output();
    EXPECT_NE(stub.output().find("stopping: standard input closed\n"), std::string::npos) << stub.output();
}

TEST_F(examples, signal_client_is_acknowledged_and_the_stub_ends_on_sigterm) {
    child_process stub = start_stub(KOVA_EXAMPLE_SIGNAL_STUB, "101", "signal stub 101 serving code 2 in domain 7100");
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_SIGNAL_CLIENT, "7100", "127.0.0.1", "101", "beep", "3"}, &out), 0) << out;
    EXPECT_NE(out.find("signal 3 acknowledged in "), std::string::npos) << out;
    // on_signal runs after the acknowledgement: the third may still be on its way.
    EXPECT_TRUE(kova_test::wait_until(
        [&] {
            stub.wait_for_line("\x01", 0.01);
            size_t n = 0;
            for (size_t at = 0; (at = stub.output().find(": \"beep\"\n", at)) != std::string::npos; ++at) ++n;
            return n == 3;
        },
        10))
        << stub.output();
    ASSERT_EQ(kill(stub.pid(), SIGTERM), 0);
    EXPECT_EQ(stub.wait(15), 0);
    EXPECT_NE(stub.output().find("signal from 127.0.0.1 domain 7100 object "), std::string::npos) << stub.output();
    EXPECT_NE(stub.output().find("stopping on signal 15\n"), std::string::npos) << stub.output();
}

TEST_F(examples, event_client_prints_its_events_and_the_stub_hears_it_come_and_go) {
    child_process stub = start_stub(KOVA_EXAMPLE_EVENT_STUB, "102", "event stub 102 serving code 3 in domain 7100");
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_EVENT_CLIENT, "7100", "127.0.0.1", "102", "3"}, &out), 0) << out;
    EXPECT_EQ(0u, out.find("subscribed in ")) << out;
    // Three events in order: consecutive ticks.
    std::vector<unsigned long> ticks;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        unsigned long n = 0, us = 0, tick = 0;
        if (std::sscanf(line.c_str(), "event %lu after %lu us: \"tick %lu\"", &n, &us, &tick) == 3) {
            EXPECT_EQ(ticks.size() + 1, n) << out;
            ticks.push_back(tick);
        }
    }
    ASSERT_EQ(3u, ticks.size()) << out;
    EXPECT_EQ(ticks[0] + 1, ticks[1]);
    EXPECT_EQ(ticks[1] + 1, ticks[2]);
    // The stub heard the client subscribe, and leave by its own shutdown (0).
    EXPECT_TRUE(kova_test::wait_until(
        [&] {
            stub.wait_for_line("\x01", 0.01);
            return stub.output().find(" (0x00000000)\n") != std::string::npos;
        },
        10))
        << stub.output();
    EXPECT_NE(stub.output().find("subscribed: 127.0.0.1 domain 7100 object "), std::string::npos) << stub.output();
    EXPECT_NE(stub.output().find("unsubscribed: 127.0.0.1 domain 7100 object "), std::string::npos) << stub.output();
    stub.close_input();
    EXPECT_EQ(stub.wait(15), 0);
}

TEST_F(examples, a_broadcast_receiver_hears_each_broadcast_once_and_ends_after_its_count) {
    child_process receiver = m_tree.host().spawn({KOVA_EXAMPLE_BROADCAST_RECEIVER, "7100", "127.0.0.1", "103", "3"});
    ASSERT_TRUE(receiver.wait_for_line("listening for broadcasts of code 4 in domain 7100", 20)) << receiver.output();
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_BROADCAST_SENDER, "7100", "103", "all hands", "3"}, &out), 0) << out;
    EXPECT_NE(out.find("broadcast 3 sent\n"), std::string::npos) << out;
    EXPECT_EQ(receiver.wait(15), 0) << receiver.output();
    const std::string line = "broadcast from 127.0.0.1 stub 103 after ";
    size_t heard = 0;
    for (size_t at = 0; (at = receiver.output().find(line, at)) != std::string::npos; ++at) ++heard;
    EXPECT_EQ(3u, heard) << receiver.output();
    EXPECT_NE(receiver.output().find(" us: \"all hands\"\n"), std::string::npos) << receiver.output();
}

TEST_F(examples, command_clients_in_both_models_reach_the_stub_which_tells_them_apart) {
    child_process stub =
        start_stub(KOVA_EXAMPLE_COMMAND_STUB, "104", "command stub 104 serving code 5 in domain 7100");
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_COMMAND_CLIENT, "7100", "127.0.0.1", "104", "go", "3"}, &out), 0) << out;
    EXPECT_NE(out.find("command 3 posted: 0x00000000\n"), std::string::npos) << out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_COMMAND_CLIENT, "7100", "127.0.0.1", "104", "steer", "5", "100"}, &out),
              0)
        << out;
    EXPECT_NE(out.find("command posted, sent every 100 ms: 0x00000000\n"), std::string::npos) << out;
    // Each client's shutdown follows its commands: once the stub has reported both, it has
    // them all.
    EXPECT_TRUE(kova_test::wait_until(
        [&] {
            stub.wait_for_line("\x01", 0.01);
            const std::string& o = stub.output();
            return o.find("gone: ") != o.rfind("gone: ");
        },
        10))
        << stub.output();
    stub.close_input();
    EXPECT_EQ(stub.wait(15), 0);
    const std::string& o = stub.output();
    EXPECT_NE(o.find("posted: \"go 1\"\n"), std::string::npos) << o;
    EXPECT_NE(o.find("posted: \"go 3\"\n"), std::string::npos) << o;
    size_t ticks = 0;
    for (size_t at = 0; (at = o.find(" ms left: \"steer\"\n", at)) != std::string::npos; ++at) ++ticks;
    EXPECT_GE(ticks, 4u) << o;
    EXPECT_LE(ticks, 6u) << o;
    EXPECT_NE(o.find("gone: 127.0.0.1 domain 7100 object "), std::string::npos) << o;
    EXPECT_EQ(std::string::npos, o.find("(0x00000002)")) << "a shutdown, not the proxy's end\n" << o;
}

// Kova::initialize waits for the service without end: the end signals must still be heard.
TEST(examples_without_service, a_stub_waiting_for_the_service_ends_on_sigint_and_a_client_on_sigterm) {
    REQUIRE_PRIVATE_HOSTS();
    kova_test::private_host host;
    ASSERT_TRUE(host.start());
    child_process stub = host.spawn({KOVA_EXAMPLE_CALL_STUB});
    ASSERT_TRUE(stub.wait_for_line("waiting for the service (Kova_General_Service) on this host", 10)) << stub.output();
    ASSERT_EQ(kill(stub.pid(), SIGINT), 0);
    EXPECT_EQ(stub.wait(10), 1);
    EXPECT_NE(stub.output().find("stopping on signal 2 before the service was found\n"), std::string::npos);
    // The client prints nothing while the SDK polls for the service: it is there once the
    // program sleeps.
    child_process client = host.spawn({KOVA_EXAMPLE_CALL_CLIENT});
    const std::string proc = "/proc/" + std::to_string(client.pid());
    ASSERT_TRUE(kova_test::wait_until(
        [&] {
            char exe[512] = {};
            const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof(exe) - 1);
            return n > 0 && std::string(exe).find("kova_example_call_client") != std::string::npos &&
                   kova_test::read_text_file(proc + "/wchan").find("sleep") != std::string::npos;
        },
        10));
    ASSERT_EQ(kill(client.pid(), SIGTERM), 0);
    EXPECT_EQ(client.wait(10), 128 + SIGTERM);
}

}  // namespace
