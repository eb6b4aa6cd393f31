// The example programs against the real service and center in a private host: each client
// gets its answers, and each stub ends cleanly on the end it documents.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

TEST_F(examples, command_clients_in_both_models_reach_the_stub_which_tells_them_apart) {
    child_process stub =
        start_stub(KOVA_EXAMPLE_COMMAND_STUB, "102", "command stub 102 serving code 3 in domain 7100");
    std::string out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_COMMAND_CLIENT, "7100", "127.0.0.1", "102", "go", "3"}, &out), 0) << out;
    EXPECT_NE(out.find("command 3 posted: 0x00000000\n"), std::string::npos) << out;
    EXPECT_EQ(m_tree.host().run({KOVA_EXAMPLE_COMMAND_CLIENT, "7100", "127.0.0.1", "102", "steer", "5", "100"}, &out),
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
