// The real center started by the real service from an install tree of its own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "../General_Service/service_host.h"

namespace {

using kova_test::ask;
using kova_test::child_process;

bool is_center(pid_t in_pid) {
    char exe[4096];
    const ssize_t len = readlink(("/proc/" + std::to_string(in_pid) + "/exe").c_str(), exe, sizeof exe - 1);
    return len > 0 && std::string(exe, len).find("/Kova_General_Center") != std::string::npos;
}

// Centers running in the host.
int centers_running(kova_test::private_host& in_host) {
    const std::vector<pid_t> all = in_host.processes();
    return static_cast<int>(std::count_if(all.begin(), all.end(), is_center));
}

bool wait_for_centers(kova_test::private_host& in_host, int in_count) {
    return kova_test::wait_until([&] { return centers_running(in_host) == in_count; }, 10.0);
}

// Waits until the host runs in_count centers and nothing else beside in_known: a center
// that was started is either running or gone, not still on its way through the shell.
bool wait_for_only_centers(kova_test::private_host& in_host, int in_count, const std::vector<pid_t>& in_known) {
    return kova_test::wait_until(
        [&] {
            int centers = 0;
            for (pid_t pid : in_host.processes()) {
                if (std::find(in_known.begin(), in_known.end(), pid) != in_known.end()) continue;
                if (!is_center(pid)) return false;
                ++centers;
            }
            return centers == in_count;
        },
        10.0);
}

TEST(center_with_service, a_start_request_starts_one_center_which_the_service_watches_and_forgets) {
    REQUIRE_PRIVATE_HOSTS();
    kova_test::service_host h("MEMSIZE=16777216\n", "center_tree");
    ASSERT_TRUE(h.ok());
    // The real center replaces the stand-in of the tree.
    ASSERT_TRUE(kova_test::copy_file(KOVA_CENTER_PROGRAM, h.bin() + "Kova_General_Center"));
    child_process service;
    ASSERT_TRUE(h.start_service(service));
    child_process client = h.start_client();
    ASSERT_EQ("opened", ask(client, "open").substr(0, 6));

    ASSERT_EQ("sent 0", ask(client, "send 7400 0"));
    ASSERT_TRUE(h.host().wait_for_shm("kova_center_ipc7400pipe"));
    EXPECT_EQ(1, centers_running(h.host()));
    // A second request starts a second center, which ends at once at its stop event. A
    // request for another domain follows: once its center is up, the loader has started the
    // second one of 7400, which must be gone then.
    ASSERT_EQ("sent 0", ask(client, "send 7400 0"));
    ASSERT_EQ("sent 0", ask(client, "send 7401 0"));
    ASSERT_TRUE(h.host().wait_for_shm("kova_center_ipc7401pipe"));
    EXPECT_TRUE(wait_for_only_centers(h.host(), 2, {service.pid(), client.pid()}));
    ASSERT_EQ("stopped 0", ask(client, "stop 7401"));
    EXPECT_TRUE(wait_for_centers(h.host(), 1));

    // Stopped by its event, the center ends; the service forgets it and resets the memory.
    ASSERT_EQ("stopped 0", ask(client, "stop 7400"));
    EXPECT_TRUE(wait_for_centers(h.host(), 0));
    // Only a center the service watched ({7400, 1} reached it) makes it reset the memory.
    EXPECT_TRUE(kova_test::wait_for_file_text(h.log("log.csv"), ",Z,", 15.0));
}

}  // namespace
