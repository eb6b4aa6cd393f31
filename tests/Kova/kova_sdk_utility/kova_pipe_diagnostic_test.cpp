// The diagnostic pipe functions: with the real service and center in a private host (stall
// and fill a domain's center pipe, the process's own pipes), and on an in-process rig for
// their refusals and for pipes that nobody reads any more.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "../General_Service/service_host.h"
#include "../SDK/sdk_rig.h"
#include "Kova/Common/Open/Kova/kova_function.h"

using kova_test::child_process;
using namespace kova_sdk_test;

namespace {

const std::string c_domain = "7800";

// A packet memory that only counts what is asked of it, and grants nothing.
class counting_memory : public Pimo::Memory::interface_memory {
public:
    void proc_stop() override { ++calls; }
    void proc_continue() override { ++calls; }
    Pimo::OS::vimra_err_t eproc_alloc(Pimo::Memory::mm_t&, size_t, const char* const&, int) override {
        ++calls;
        return Pimo::OS::c_vimra_memory_empty;
    }
    Pimo::OS::vimra_err_t eproc_alloc_2(Pimo::Memory::mm_t&, size_t, size_t, const char* const&, int) override {
        ++calls;
        return Pimo::OS::c_vimra_memory_empty;
    }
    void proc_free(const Pimo::Memory::mm_t&, const char* const&, int) override { ++calls; }
    Pimo::Memory::ref_count_t add_ref_get(const Pimo::Memory::mm_t&, const char* const&, int) override {
        ++calls;
        return 0;
    }
    Pimo::Memory::ref_count_t get_ref(const Pimo::Memory::mm_t&) override { return ++calls, 0; }
    void* get_addr(const Pimo::Memory::mm_t&) override { return ++calls, nullptr; }
    Pimo::Memory::mm_t get_mm(const void*) override { return ++calls, 0; }
    size_t get_size(const Pimo::Memory::mm_t&) override { return ++calls, 0; }
    bool is_clean_memory(const Pimo::Memory::mm_t&) override { return ++calls, true; }
    bool traverse_check(const Pimo::Memory::mm_t&) override { return ++calls, true; }
    int calls = 0;
};

// The number after in_prefix in in_line; -1 if the line does not begin with it.
long number_after(const std::string& in_line, const std::string& in_prefix) {
    if (in_line.compare(0, in_prefix.size(), in_prefix) != 0) return -1;
    return std::stol(in_line.substr(in_prefix.size()));
}

// An application on the SDK's public interface, with a call stub (5) and a proxy bound to
// it, in a private host with the service and the real center.
class diagnostic_host : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(m_tree.ok());
        ASSERT_TRUE(kova_test::copy_file(KOVA_CENTER_PROGRAM, m_tree.bin() + "Kova_General_Center"));
        ASSERT_TRUE(m_tree.start_service(m_service));
        app = m_tree.host().spawn({kova_test::probe_path("probe_sdk_public")});
        app.send_line("init 4");
        ASSERT_TRUE(app.wait_for_line("initialized"));
        app.send_line("stub " + c_domain + " 5 answer");
        ASSERT_TRUE(app.wait_for_line("stub 0x0")) << app.output();
        app.send_line("proxy " + c_domain + " 5");
        ASSERT_TRUE(app.wait_for_line("on_object_create")) << app.output();
        ASSERT_EQ(0u, command("call warm 5").rfind("call warm 0x0 ", 0)) << app.output();
    }
    void TearDown() override {
        if (!app.pid()) return;
        app.send_line("exit");
        EXPECT_EQ(app.wait(15.0), 0) << app.output();
    }
    // Sends in_command; its answer is the next line that begins with its first word.
    std::string command(const std::string& in_command, double in_timeout_s = 15.0) {
        app.wait_for_line("\x01", 0.0);
        m_seen = app.output().size();
        app.send_line(in_command);
        return app.wait_for_prefix(in_command.substr(0, in_command.find(' ')) + " ", in_timeout_s, m_seen);
    }

    kova_test::service_host m_tree;
    child_process m_service;
    child_process app;
    std::size_t m_seen = 0;
};

}  // namespace

TEST_F(diagnostic_host, delay_center_stalls_the_relay_and_then_relays_what_came_in_order) {
    EXPECT_EQ(0u, command("delay_center " + c_domain + " 3").rfind("delay_center 0x0 ", 0)) << app.output();
    const std::size_t from = app.output().size();
    const std::string calls = command("calls 5 20");
    EXPECT_EQ(0u, calls.rfind("calls 0x0,0x0,0x0,0x0,0x0, ", 0)) << app.output();
    const long took = number_after(calls, "calls 0x0,0x0,0x0,0x0,0x0, ");
    EXPECT_GE(took, 2500) << "relayed while the center slept";
    EXPECT_LT(took, 6000);
    std::size_t last = from;
    for (int i = 1; i <= 5; ++i) {
        const std::size_t at = app.output().find("on_call " + std::to_string(i) + " ", from);
        ASSERT_NE(at, std::string::npos) << app.output();
        EXPECT_GE(at, last) << "call " << i << " out of order";
        last = at;
    }
}

TEST_F(diagnostic_host, busy_center_fills_the_center_pipe_and_a_creation_waits_for_room) {
    EXPECT_EQ(0u, command("busy_center " + c_domain + " 5").rfind("busy_center 0x40000004 ", 0)) << app.output();
    const double filled = kova_test::now_s();
    child_process pipe = m_tree.host().spawn({kova_test::probe_path("probe_pipe"), "open", "kova_center_ipc" + c_domain});
    ASSERT_TRUE(pipe.wait_for_line("open 0"));
    pipe.send_line("size");
    EXPECT_TRUE(pipe.wait_for_line("size 32"));
    pipe.send_line("exit");
    const long waited = number_after(command("create " + c_domain, 20.0), "create 0x0 ");
    const double asleep_left = 5.0 - (kova_test::now_s() - filled);
    EXPECT_GE(waited, static_cast<long>((asleep_left - 1.0) * 1000)) << app.output();
    EXPECT_LT(waited, 9000);
}

TEST_F(diagnostic_host, the_process_pipes_take_delay_orders_and_an_empty_return_pipe_is_clean_at_once) {
    struct row {
        const char* order;
        long at_least_ms;
        long below_ms;
    };
    const row rows[] = {
        {"delay_process 0", 0, 1000},  // taken and ignored
        {"delay_process 2", 1700, 5000},  // the listeners stand still
        {"delay_return 2", 1700, 5000},  // the returner stands still
    };
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.order);
        const std::string order = r.order;
        EXPECT_EQ(0u, command(order).rfind(order.substr(0, order.find(' ')) + " 0x0 ", 0)) << app.output();
        const std::string tag = "t" + std::to_string(++n);
        const std::string call = command("call " + tag + " 10");
        const long took = number_after(call, "call " + tag + " 0x0 ");
        EXPECT_GE(took, r.at_least_ms) << app.output();
        EXPECT_LT(took, r.below_ms);
    }
    const long clean = number_after(command("clean_return"), "clean_return 0x0 ");
    EXPECT_GE(clean, 0) << app.output();
    EXPECT_LT(clean, 100);
}

TEST(kova_pipe_diagnostic, refuses_a_negative_time_and_without_the_sdk_reaches_no_pipe) {
    struct row {
        const char* name;
        std::function<kova_err_t(int)> call;
        bool center;
    };
    const domain_t domain = 7801;
    const std::vector<row> rows = {
        {"delay_center", [&](int s) { return kova_delay_center(domain, s); }, true},
        {"busy_center", [&](int s) { return kova_busy_center(domain, s); }, true},
        {"delay_process", [](int s) { return kova_delay_process(s); }, false},
        {"busy_process", [](int s) { return kova_busy_process(s); }, false},
        {"delay_return", [](int s) { return kova_delay_return(s); }, false},
        {"busy_return", [](int s) { return kova_busy_return(s); }, false},
    };
    // Not running: the process and return forms say so, the center forms have no pipe.
    ASSERT_EQ(nullptr, SDK::SDK_Processor::gp_processor.load());
    for (const row& r : rows) {
        EXPECT_EQ(r.call(-1), c_kova_err_boundout_buffer) << r.name;
        EXPECT_EQ(r.call(1), r.center ? c_kova_success : c_kova_err_not_initailize) << r.name;
    }
    EXPECT_EQ(kova_clean_center(domain), c_kova_success);
    EXPECT_EQ(kova_clean_process(), c_kova_err_not_initailize);
    EXPECT_EQ(kova_clean_return(), c_kova_err_not_initailize);
    {
        // Without the SDK the self-test asks nothing of a packet memory, even one that is there.
        counting_memory memory;
        Common::Global::gp_memory = &memory;
        kova_sdk_test_etc();
        Common::Global::gp_memory = nullptr;
        EXPECT_EQ(memory.calls, 0);
    }
    // Running: a negative time, a sleep of about 136 years for the reader, is sent nowhere.
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    for (const row& r : rows) EXPECT_EQ(r.call(-1), c_kova_err_boundout_buffer) << r.name;
    for (Pimo::IPC::interface_pipe* pipe : {&rig.m_center, &rig.m_listen, &rig.m_return})
        EXPECT_TRUE(pipe->test_empty());
    // The self-test gives back every block it took.
    const unsigned long before = rig.remain();
    kova_sdk_test_etc();
    EXPECT_EQ(rig.remain(), before);
}

TEST(kova_pipe_diagnostic, a_pipe_that_nobody_reads_any_more_ends_the_functions_with_center_shutdown) {
    struct row {
        const char* name;
        std::function<kova_err_t()> call;
        Pimo::IPC::class_nonshared_pipe sdk_rig::*pipe;
    };
    const domain_t domain = 7802;
    const std::vector<row> rows = {
        {"clean_center", [&] { return kova_clean_center(domain); }, &sdk_rig::m_center},
        {"clean_process", [] { return kova_clean_process(); }, &sdk_rig::m_listen},
        {"busy_center", [&] { return kova_busy_center(domain, 1); }, &sdk_rig::m_center},
        {"busy_process", [] { return kova_busy_process(1); }, &sdk_rig::m_listen},
        {"delay_center", [&] { return kova_delay_center(domain, 1); }, &sdk_rig::m_center},
        {"delay_process", [] { return kova_delay_process(1); }, &sdk_rig::m_listen},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        sdk_rig rig(0);  // no listener, and nobody reads the rig's center pipe
        ASSERT_TRUE(rig.m_ok);
        Pimo::IPC::class_nonshared_pipe& pipe = rig.*r.pipe;
        // Full: the functions that wait for room or for an empty pipe wait.
        while (sdk_rig::push(pipe, struct_token()), !pipe.test_full()) {
        }
        std::future<kova_err_t> result = std::async(std::launch::async, r.call);
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
        pipe.proc_shutdown();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(result.get(), c_kova_err_center_shutdown);
    }
}
