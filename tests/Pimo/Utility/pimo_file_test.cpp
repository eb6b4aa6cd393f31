#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_file.h"

using namespace Pimo::Utility;

TEST(fflag, sets_and_clears_one_status_flag) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(fflag_on(fds[0], O_NONBLOCK), 0);
    EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), -1);  // non-blocking: nothing to read
    EXPECT_EQ(fflag_off(fds[0], O_NONBLOCK), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(fflag_on(-1, O_NONBLOCK), -1);
    EXPECT_EQ(fflag_off(fds[0], O_NONBLOCK), -1);  // closed
}

TEST(file_open, share_mode_is_ignored) {
    char path[] = "/tmp/kova_fopen_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (share_t share : {c_share_deny_all, c_share_deny_write, c_share_all}) {
        std::FILE* f = fopen(path, "w", share);
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    unlink(path);
    EXPECT_EQ(fopen(path, "r", c_share_all), nullptr);
}

TEST(error_hook, hooks_show_nothing) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_error("shm_open");
    print_error(std::string("flock"));
    print_error("class_udp.cpp", 42);
    print_error(nullptr, 0);
    alert("message", "title");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
