// The SDK with the real service and center programs of an install tree: the service
// starts the center that an application asks for, and the application ends when it goes.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "../General_Service/service_host.h"

using kova_test::child_process;

TEST(sdk_real_host, the_service_starts_the_asked_center_and_its_death_ends_the_application) {
    REQUIRE_PRIVATE_HOSTS();
    kova_test::service_host tree;
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(kova_test::copy_file(KOVA_CENTER_PROGRAM, tree.bin() + "Kova_General_Center"));
    child_process service;
    ASSERT_TRUE(tree.start_service(service));

    child_process app = tree.host().spawn({kova_test::probe_path("probe_sdk_app")});
    app.send_line("init 1");
    ASSERT_TRUE(app.wait_for_line("initialized"));
    EXPECT_EQ(kova_test::ask(app, "running 5100"), "running 0");
    EXPECT_EQ(kova_test::ask(app, "center 5100").rfind("center ok", 0), 0u) << app.output();
    EXPECT_EQ(kova_test::ask(app, "running 5100"), "running 1");

    // The center is the process of the host that is neither the service nor the application.
    pid_t center = -1;
    for (pid_t p : tree.host().processes())
        if (p != service.pid() && p != app.pid() && p != tree.host().keeper()) {
            std::string exe;
            char buf[512] = {};
            const std::string link = "/proc/" + std::to_string(p) + "/exe";
            const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
            if (n > 0) exe.assign(buf, static_cast<size_t>(n));
            if (exe.find("Kova_General_Center") != std::string::npos) center = p;
        }
    ASSERT_GT(center, 0);
    const double killed = kova_test::now_s();
    ASSERT_EQ(kill(center, SIGKILL), 0);
    EXPECT_EQ(app.wait(15.0), 255);
    EXPECT_GE(kova_test::now_s() - killed, 1.0);
}
