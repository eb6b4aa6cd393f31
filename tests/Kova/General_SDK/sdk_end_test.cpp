// How the SDK ends, in real application processes with the real service and center on a
// private host: finalize from inside a callback, while requests wait for replies, on an idle
// application, and a signal while initialize waits for the service or while a public call
// holds the SDK's lock.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../General_Service/service_host.h"

using kova_test::child_process;

namespace {

const std::string c_domain = "7700";

// The number after in_prefix in in_line (the milliseconds of "finalized 12"); -1 if none.
long number_after(const std::string& in_line, const std::string& in_prefix) {
    if (in_line.compare(0, in_prefix.size(), in_prefix) != 0) return -1;
    return std::stol(in_line.substr(in_prefix.size()));
}

// A private host with the service and the real center installed.
class end_host {
public:
    bool start() {
        return m_tree.ok() && kova_test::copy_file(KOVA_CENTER_PROGRAM, m_tree.bin() + "Kova_General_Center") &&
               m_tree.start_service(m_service);
    }
    kova_test::private_host& host() { return m_tree.host(); }
    child_process app() { return host().spawn({kova_test::probe_path("probe_sdk_public")}); }
    // An application with the SDK started on in_threads listeners.
    child_process started(unsigned in_threads) {
        child_process a = app();
        a.send_line("init " + std::to_string(in_threads));
        EXPECT_TRUE(a.wait_for_line("initialized")) << a.output();
        return a;
    }
    // A call stub of in_id in in_app, answering as in_mode says.
    static void serve(child_process& in_app, unsigned in_id, const std::string& in_mode) {
        in_app.send_line("stub " + c_domain + " " + std::to_string(in_id) + " " + in_mode);
        ASSERT_TRUE(in_app.wait_for_line("stub 0x0")) << in_app.output();
    }
    // A call proxy in in_app bound to stub in_id, once the stub is known to be there.
    static void bind(child_process& in_app, unsigned in_id) {
        in_app.send_line("proxy " + c_domain + " " + std::to_string(in_id));
        ASSERT_TRUE(in_app.wait_for_line("on_object_create")) << in_app.output();
    }
    // Milliseconds that Kova::finalize took in in_app; -1 without an answer.
    static long finalize(child_process& in_app) {
        in_app.send_line("finalize");
        return number_after(in_app.wait_for_prefix("finalized "), "finalized ");
    }
    static void expect_clean_exit(child_process& in_app) {
        in_app.send_line("exit");
        EXPECT_EQ(in_app.wait(10.0), 0) << in_app.output();
    }

private:
    kova_test::service_host m_tree;
    child_process m_service;
};

class sdk_end : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_TRUE(h.start());
    }
    end_host h;
};

}  // namespace

TEST_F(sdk_end, finalize_in_a_callback_is_carried_out_once_the_callback_has_returned) {
    struct row {
        const char* thread;
        unsigned listeners;
    };
    for (const row& r : {row{"listener", 2}, row{"dispatch_message", 0}}) {
        SCOPED_TRACE(r.thread);
        child_process app = h.started(r.listeners);
        ASSERT_FALSE(app.wait_for_prefix("pid ").empty());
        if (r.listeners == 0) app.send_line("dispatch");
        ASSERT_NO_FATAL_FAILURE(h.serve(app, 5, "finalize"));
        ASSERT_NO_FATAL_FAILURE(h.bind(app, 5));
        app.send_line("call c1 30");
        // Only noted inside the callback: nothing is torn down under it.
        const long noted = number_after(app.wait_for_prefix("finalize returned "), "finalize returned ");
        EXPECT_GE(noted, 0) << app.output();
        EXPECT_LT(noted, 100);
        EXPECT_FALSE(app.wait_for_prefix("in on_call created 1").empty()) << app.output();
        // Then the SDK ends: the waiting request is woken, the objects are destroyed.
        EXPECT_EQ(0u, app.wait_for_prefix("call c1 ").rfind("call c1 0x40000009 ", 0)) << app.output();
        EXPECT_TRUE(kova_test::wait_until(
            [&] {
                const std::size_t from = app.output().size();
                app.send_line("state");
                return app.wait_for_prefix("created ", 5.0, from) == "created 0";
            },
            5.0))
            << app.output();
        if (r.listeners == 0) {
            EXPECT_FALSE(app.wait_for_prefix("dispatch ended").empty()) << app.output();
        }
        h.expect_clean_exit(app);
    }
}

TEST_F(sdk_end, finalize_wakes_the_requests_waiting_for_replies_and_they_leave_before_it_returns) {
    child_process stub = h.started(2);
    ASSERT_NO_FATAL_FAILURE(h.serve(stub, 6, "answer"));
    child_process app = h.started(2);
    ASSERT_NO_FATAL_FAILURE(h.bind(app, 6));
    // The stub's listeners stand still: calls and an event connect wait for their answers.
    stub.send_line("delay_process 4");
    ASSERT_FALSE(stub.wait_for_prefix("delay_process 0x0 ").empty()) << stub.output();
    const std::vector<std::string> requests = {"call w1", "call w2", "call w3", "connect w4"};
    for (const std::string& request : requests) app.send_line(request + " 30");
    for (const char* tag : {"w1", "w2", "w3", "w4"})
        ASSERT_FALSE(app.wait_for_prefix(std::string("asked ") + tag).empty()) << app.output();
    const long took = h.finalize(app);
    EXPECT_GE(took, 0) << app.output();
    EXPECT_LT(took, 1000) << "not the requests' limits of 30 s";
    for (const std::string& request : requests)
        EXPECT_EQ(0u, app.wait_for_prefix(request + " ", 5.0).rfind(request + " 0x40000009 ", 0)) << app.output();
    h.expect_clean_exit(app);
    h.expect_clean_exit(stub);
}

TEST_F(sdk_end, finalize_of_an_idle_application_does_not_wait_out_its_watchers) {
    // The watchers try once a second, the first of them since the start a moment ago:
    // waiting them out would take most of a second, an end that wakes them a few
    // milliseconds. A loaded machine may delay one application's end: the best of three counts.
    long best = -1;
    for (int run = 0; run < 3 && (best < 0 || best >= 500); ++run) {
        child_process app = h.started(8);
        // A center pipe in use, with the watcher of its center, and a request done.
        ASSERT_NO_FATAL_FAILURE(h.serve(app, 7, "answer"));
        ASSERT_NO_FATAL_FAILURE(h.bind(app, 7));
        app.send_line("call c1 5");
        ASSERT_EQ(0u, app.wait_for_prefix("call c1 ").rfind("call c1 0x0 ", 0)) << app.output();
        const long took = h.finalize(app);
        EXPECT_GE(took, 0) << app.output();
        best = best < 0 ? took : std::min(best, took);
        h.expect_clean_exit(app);
    }
    EXPECT_LT(best, 500);
}

TEST(sdk_end_without_service, a_stop_signal_while_initialize_waits_for_the_service_ends_the_application) {
    REQUIRE_PRIVATE_HOSTS();
    kova_test::private_host host;  // no service
    ASSERT_TRUE(host.start());
    struct row {
        int signal_number;
        bool hooks;
    };
    for (const row& r : {row{SIGINT, true}, row{SIGTERM, false}}) {
        SCOPED_TRACE(r.signal_number);
        child_process app = host.spawn({kova_test::probe_path("probe_sdk_public")});
        ASSERT_FALSE(app.wait_for_prefix("pid ").empty());
        if (r.hooks) {
            app.send_line("hook");
            ASSERT_TRUE(app.wait_for_line("hooked"));
        }
        app.send_line("init 2");
        EXPECT_FALSE(app.wait_for_line("initialized", 0.3)) << "no service: still waiting";
        ASSERT_EQ(kill(app.pid(), r.signal_number), 0);
        EXPECT_EQ(app.wait(5.0), 128 + r.signal_number) << app.output();
        const std::string n = std::to_string(r.signal_number);
        const std::string said = "TRYING KOVA to FINALIZE!!!(" + n + ")\nTHANKS. KOVA FINALIZED!!!(" + n + ")\n";
        EXPECT_NE(app.output().find((r.hooks ? "hook " + n + "\n" : std::string()) + said), std::string::npos)
            << app.output();
    }
}

TEST_F(sdk_end, a_stop_signal_on_a_thread_inside_a_public_call_lets_the_call_complete_and_finalises) {
    // The main thread broadcasts or publishes events in a tight loop, holding the SDK's lock
    // most of the time.
    struct row {
        const char* how;
        int signal_number;
    };
    // Each row in a domain of its own: the center the row before left behind may still be
    // ending, and a creation that meets it is told so.
    int domain = 7710;
    for (const row& r : {row{"broadcast", SIGTERM}, row{"broadcast", SIGINT}, row{"event", SIGTERM},
                         row{"event", SIGINT}}) {
        const int signal_number = r.signal_number;
        SCOPED_TRACE(std::string(r.how) + " " + std::to_string(signal_number));
        child_process app = h.started(2);
        app.send_line("publish " + std::to_string(++domain) + " " + r.how);
        ASSERT_TRUE(app.wait_for_line("publisher 0x0")) << app.output();
        ASSERT_TRUE(app.wait_for_line("publishing")) << app.output();
        const double sent = kova_test::now_s();
        ASSERT_EQ(kill(app.pid(), signal_number), 0);
        EXPECT_EQ(app.wait(10.0), 0) << app.output();
        EXPECT_LT(kova_test::now_s() - sent, 5.0);
        const std::string published = app.wait_for_prefix("published ", 0.1);
        EXPECT_EQ(0u, published.rfind("published 0x40000009 ", 0)) << app.output();
        EXPECT_GT(number_after(published, "published 0x40000009 "), 0);
        EXPECT_NE(app.output().find("THANKS. KOVA FINALIZED!!!(" + std::to_string(signal_number) + ")"),
                  std::string::npos)
            << app.output();
    }
}
