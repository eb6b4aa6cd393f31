// The SDK in real processes on a private host, with stand-ins for the service and
// the centers: start-up and shut-down, the center manager and its death watches,
// host-wide object ids, delivery from a center, and the signal handler.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "private_host.h"
#include "test_process.h"

using kova_test::child_process;
using kova_test::private_host;
using kova_test::probe_path;

namespace {

#define NEED_PRIVATE_HOST()                                 \
    do {                                                    \
        std::string why;                                    \
        if (!private_host::available(&why)) GTEST_SKIP() << why; \
    } while (0)

// The first output line that starts with in_prefix, read until in_timeout_s; empty if none.
std::string wait_prefix(child_process& in_child, const std::string& in_prefix, double in_timeout_s = 10.0,
                        std::size_t in_after = 0) {
    return in_child.wait_for_prefix(in_prefix, in_timeout_s, in_after);
}

int count_lines(child_process& in_child, const std::string& in_line) {
    const std::string& out = in_child.output();
    int n = 0;
    for (std::size_t at = 0; (at = out.find(in_line + "\n", at)) != std::string::npos; at += in_line.size()) ++n;
    return n;
}

pid_t pid_of(child_process& in_child) {
    const std::string line = wait_prefix(in_child, "pid ");
    return line.empty() ? -1 : static_cast<pid_t>(std::stol(line.substr(4)));
}

struct sdk_host {
    private_host host;
    child_process service;

    bool start_service() {
        service = host.spawn({probe_path("probe_sdk_host"), "service"});
        return service.wait_for_line("created 0 0 0");
    }
    // The host with its service running.
    bool up() { return host.start() && start_service(); }
    child_process app() { return host.spawn({probe_path("probe_sdk_app")}); }
    // An application with the SDK started on in_threads listeners; its pid in pout_pid.
    child_process started_app(int in_threads, pid_t* pout_pid = nullptr) {
        child_process a = app();
        if (pout_pid) *pout_pid = pid_of(a);
        a.send_line("init " + std::to_string(in_threads));
        if (!a.wait_for_line("initialized")) ADD_FAILURE() << "not initialized: " << a.output();
        return a;
    }
    // On the library alone: started, with the signal hooks set.
    child_process public_app() {
        child_process a = host.spawn({probe_path("probe_sdk_public")});
        a.send_line("init");
        a.send_line("hook");
        return a;
    }
    child_process center(int in_domain) {
        child_process c = host.spawn({probe_path("probe_sdk_host"), "center", std::to_string(in_domain)});
        c.wait_for_line("created 0 0");
        return c;
    }
};

}  // namespace

TEST(sdk_host, initialize_waits_for_the_service_makes_the_pipes_and_finalize_removes_them) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.host.start());
    child_process app = h.app();
    const pid_t pid = pid_of(app);
    ASSERT_GT(pid, 0);
    app.send_line("init 2");
    ASSERT_TRUE(app.wait_for_line("initializing"));
    EXPECT_FALSE(app.wait_for_line("initialized", 0.5)) << "no debug channel yet";
    ASSERT_TRUE(h.start_service());
    ASSERT_TRUE(app.wait_for_line("initialized"));
    const std::string listen = "kova_process_listen_ipc_" + std::to_string(pid) + "pipe";
    const std::string ret = "kova_process_return_ipc" + std::to_string(pid) + "pipe";
    EXPECT_TRUE(h.host.wait_for_shm(listen));
    EXPECT_TRUE(h.host.wait_for_shm(ret));

    app.send_line("init 5");  // already running: nothing more
    ASSERT_TRUE(app.wait_for_line("initialized"));
    // A center reaches the listen pipe only while the application is up.
    child_process center = h.center(4000);
    const std::string push = "listen " + std::to_string(pid) + " 48 7 32769 33 1";
    center.send_line(push);
    EXPECT_TRUE(center.wait_for_line("pushed 0"));
    app.send_line("finalize");
    ASSERT_TRUE(app.wait_for_line("finalized"));
    center.send_line(push);
    EXPECT_TRUE(center.wait_for_line("listen failed"));
    app.send_line("finalize");  // twice: nothing
    ASSERT_TRUE(app.wait_for_line("finalized"));
    app.send_line("init 1");  // and up again, at once after the finalisation
    ASSERT_TRUE(app.wait_for_line("initialized"));
    center.send_line(push);
    EXPECT_TRUE(center.wait_for_line("pushed 0"));
    app.send_line("exit");
    EXPECT_EQ(app.wait(), 0);
}

TEST(sdk_host, center_manager_asks_the_service_once_and_finds_the_center_when_it_comes) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process running = h.center(4100);
    child_process app = h.started_app(1);

    app.send_line("center 4100");  // running: opened, no request
    EXPECT_FALSE(wait_prefix(app, "center ok").empty());
    app.send_line("running 4100");
    EXPECT_TRUE(app.wait_for_line("running 1"));

    app.send_line("center 4200");  // absent: one request, then found once it exists
    ASSERT_TRUE(h.service.wait_for_line("service 4200 0"));
    child_process late = h.center(4200);
    const std::string line = wait_prefix(app, "center ok", 10.0, app.output().find("center ok") + 1);
    EXPECT_FALSE(line.empty());
    app.send_line("center 4200");  // the same pipe again, no new request
    app.send_line("running 4300");
    ASSERT_TRUE(app.wait_for_line("running 0"));
    // A request after them all: the service has read every earlier one once it reads this.
    app.send_line("center 4999");
    ASSERT_TRUE(h.service.wait_for_line("service 4999 0"));
    EXPECT_EQ(count_lines(h.service, "service 4200 0"), 1);
    EXPECT_EQ(count_lines(h.service, "service 4100 0"), 0);
}

TEST(sdk_host, a_center_that_never_comes_gives_null_after_five_seconds_and_is_asked_again) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process app = h.started_app(1);
    app.send_line("center 4400");
    const std::string line = wait_prefix(app, "center null", 20.0);
    ASSERT_FALSE(line.empty());
    const long ms = std::stol(line.substr(std::string("center null ").size()));
    EXPECT_GE(ms, 5000);
    EXPECT_LT(ms, 9000);
    ASSERT_TRUE(h.service.wait_for_line("service 4400 0"));
    app.send_line("center 4400");  // the next request starts over
    EXPECT_TRUE(h.service.wait_for_line("service 4400 0"));
}

TEST(sdk_host, death_of_the_service_ends_the_application_at_once_and_of_a_center_a_second_later) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process center = h.center(4500);
    child_process on_center = h.started_app(1);
    child_process on_service = h.started_app(1);
    on_center.send_line("center 4500");
    ASSERT_FALSE(wait_prefix(on_center, "center ok").empty());

    const double killed = kova_test::now_s();
    center.kill_now(SIGKILL);
    EXPECT_EQ(on_center.wait(15.0), 255);
    EXPECT_GE(kova_test::now_s() - killed, 1.0) << "a second after the center is noticed gone";

    h.service.kill_now(SIGKILL);
    EXPECT_EQ(on_service.wait(15.0), 255);
}

TEST(sdk_host, an_object_id_is_taken_on_the_whole_host_until_its_process_ends) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process first = h.started_app(0);
    child_process second = h.started_app(0);
    first.send_line("register 5 17");
    ASSERT_TRUE(first.wait_for_line("register 1"));
    second.send_line("register 5 17");
    EXPECT_TRUE(second.wait_for_line("register 0"));
    second.send_line("register 6 17");  // another domain, another lock
    EXPECT_TRUE(second.wait_for_line("register 1"));
    first.kill_now(SIGKILL);
    first.wait();
    second.send_line("register 5 17");
    EXPECT_TRUE(second.wait_for_line("register 1"));
}

TEST(sdk_host, listeners_deliver_from_the_center_and_answer_for_missing_objects) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process center = h.center(4600);
    pid_t pid = 0;
    child_process app = h.started_app(2, &pid);
    app.send_line("center 4600");  // as the object's creation would: answers go through it
    ASSERT_FALSE(wait_prefix(app, "center ok").empty());
    app.send_line("object 4600 33");
    ASSERT_TRUE(app.wait_for_line("register 1"));
    const std::string p = std::to_string(pid);
    center.send_line("listen " + p + " 48 7 32769 33 1");  // a call from proxy 0x8001 to stub 33
    ASSERT_TRUE(center.wait_for_line("pushed 0"));
    EXPECT_TRUE(app.wait_for_line("got 48 7 1"));
    center.send_line("listen " + p + " 48 7 32769 34 2");  // stub 34 does not exist
    ASSERT_TRUE(center.wait_for_line("pushed 0"));
    center.send_line("recv");
    EXPECT_TRUE(center.wait_for_line("packet 50 7 34 32769 2 2"));
}

TEST(sdk_host, without_packet_memory_the_application_ends) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.host.start());
    h.service = h.host.spawn({probe_path("probe_sdk_host"), "memoryless"});
    ASSERT_TRUE(h.service.wait_for_line("created 0 0 0"));
    child_process app = h.app();
    app.send_line("init 1");
    EXPECT_EQ(app.wait(10.0), 255);
}

TEST(sdk_host, initialize_soon_after_finalize_waits_for_a_center_to_let_go_of_the_old_pipes) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process center = h.center(4700);
    pid_t pid = 0;
    child_process app = h.started_app(1, &pid);
    center.send_line("hold " + std::to_string(pid));
    ASSERT_TRUE(center.wait_for_line("held 0"));
    app.send_line("finalize");
    ASSERT_TRUE(app.wait_for_line("finalized"));
    app.send_line("init 1");
    ASSERT_TRUE(app.wait_for_line("initializing"));
    EXPECT_FALSE(app.wait_for_line("initialized", 0.4)) << "the old pipe is still held";
    center.send_line("release");
    ASSERT_TRUE(app.wait_for_line("initialized"));
    center.send_line("listen " + std::to_string(pid) + " 48 7 32769 33 1");
    EXPECT_TRUE(center.wait_for_line("pushed 0")) << "listening again, not deaf";
}

TEST(sdk_host, wait_clean_domain_returns_once_the_used_centers_are_gone) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process app = h.started_app(1);
    app.send_line("wait_clean");  // never asked for a center: at once
    ASSERT_TRUE(app.wait_for_line("clean", 3.0));
    child_process center = h.center(4800);
    app.send_line("center 4800");
    ASSERT_FALSE(wait_prefix(app, "center ok").empty());
    app.send_line("finalize");
    ASSERT_TRUE(app.wait_for_line("finalized"));
    app.send_line("wait_clean");
    ASSERT_TRUE(app.wait_for_line("waiting clean"));
    EXPECT_FALSE(app.wait_for_line("clean", 0.5));
    center.send_line("exit");
    EXPECT_TRUE(app.wait_for_line("clean", 5.0));
}

TEST(sdk_host, a_fault_in_a_callback_ends_the_process_by_its_signal_without_joining_itself) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process center = h.center(4900);
    pid_t pid = 0;
    child_process app = h.started_app(2, &pid);
    app.send_line("crasher 4900 33");
    ASSERT_TRUE(app.wait_for_line("register 1"));
    center.send_line("listen " + std::to_string(pid) + " 48 7 32769 33 1");
    EXPECT_EQ(app.wait(15.0), 128 + SIGSEGV);
    EXPECT_NE(app.output().find("TRYING KOVA to FINALIZE!!!(11)\nTHANKS. KOVA FINALIZED!!!(11)\n"), std::string::npos)
        << app.output();
}

TEST(sdk_host, public_library_finalises_on_signals_and_re_raises_faults) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    {
        child_process app = h.public_app();
        const pid_t pid = pid_of(app);
        ASSERT_FALSE(wait_prefix(app, "hooked").empty()) << app.output();
        ASSERT_EQ(kill(pid, SIGINT), 0);
        ASSERT_TRUE(app.wait_for_line("THANKS. KOVA FINALIZED!!!(2)"));
        const std::string& out = app.output();
        const std::size_t hook = out.find("hook 2\n"), trying = out.find("TRYING KOVA to FINALIZE!!!(2)\n");
        EXPECT_NE(hook, std::string::npos);
        EXPECT_LT(hook, trying);
        child_process center = h.center(4000);
        center.send_line("listen " + std::to_string(pid) + " 48 7 32769 33 1");
        EXPECT_TRUE(center.wait_for_line("listen failed")) << "finalised";
        app.send_line("exit");  // SIGINT leaves the decision to the application
        EXPECT_EQ(app.wait(), 0) << app.output();
    }
    {
        child_process app = h.public_app();
        ASSERT_TRUE(app.wait_for_line("hooked"));
        app.send_line("segv");
        EXPECT_EQ(app.wait(15.0), 128 + SIGSEGV);
        const std::string& out = app.output();
        EXPECT_NE(out.find("hook 11\nTRYING KOVA to FINALIZE!!!(11)\nTHANKS. KOVA FINALIZED!!!(11)\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("survived"), std::string::npos);
    }
}

TEST(sdk_host, an_application_whose_listen_pipe_could_not_be_made_says_so_stays_idle_and_finalizes) {
    NEED_PRIVATE_HOST();
    sdk_host h;
    ASSERT_TRUE(h.up());
    child_process center = h.center(4960);
    child_process app = h.host.spawn({probe_path("probe_sdk_public")});  // its standard error too
    const pid_t pid = pid_of(app);
    app.send_line("init 4");
    ASSERT_TRUE(app.wait_for_line("initialized"));
    // A center holds the old listen pipe past the retries of the next start.
    center.send_line("hold " + std::to_string(pid));
    ASSERT_TRUE(center.wait_for_line("held 0"));
    app.send_line("finalize");
    ASSERT_FALSE(wait_prefix(app, "finalized ").empty());
    const std::size_t from = app.output().size();
    app.send_line("init 4");
    ASSERT_TRUE(app.wait_for_line("initialized", 15.0));
    EXPECT_NE(app.output().find("Kova: the listen pipe of this process could not be made", from), std::string::npos)
        << app.output();
    // Its threads do not spin on the pipe that is not there: all of them are seen waiting at
    // once (a spinning thread is always runnable).
    const auto all_asleep = [&] {
        const std::string tasks = "/proc/" + std::to_string(app.pid()) + "/task";
        DIR* d = opendir(tasks.c_str());
        if (!d) return false;
        bool asleep = true;
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream stat(tasks + "/" + e->d_name + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const size_t paren = text.rfind(')');
            if (paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'S') asleep = false;
        }
        closedir(d);
        return asleep;
    };
    EXPECT_TRUE(kova_test::wait_until(all_asleep, 10.0)) << "a thread that never waits";
    app.send_line("finalize");
    const std::string finalized = wait_prefix(app, "finalized ", 5.0, from);
    ASSERT_FALSE(finalized.empty()) << app.output();
    EXPECT_LT(std::stol(finalized.substr(10)), 1000);
    app.send_line("exit");
    EXPECT_EQ(app.wait(), 0);
}
