#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Pimo/Utility/class_stdout.h"

using namespace Pimo::Utility;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(class_stdout, writes_one_formatted_line_and_returns_its_length) {
    class_stdout out;
    CaptureStdout();
    int len = out("%s=%d", "acount", 12);
    fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), "acount=12\n");
    EXPECT_EQ(len, 9);
    EXPECT_EQ(gp_out, nullptr);
}

TEST(class_stdout, text_beyond_1023_characters_is_cut_not_overrun) {
    class_stdout out;
    const std::string longer(3000, 'w');
    CaptureStdout();
    int len = out("%s", longer.c_str());
    fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), std::string(1023, 'w') + "\n");
    EXPECT_EQ(len, 1023);
}

TEST(class_stdout, lines_of_concurrent_writers_stay_whole) {
    class_stdout out;
    out.silence(false);
    const std::string body(200, 'b');
    CaptureStdout();
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int n = 0; n < 200; ++n) out("%d:%s", w, body.c_str());
        });
    for (auto& t : writers) t.join();
    fflush(stdout);
    std::istringstream lines(GetCapturedStdout());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        ASSERT_EQ(line.substr(1), ":" + body) << "line " << count;
    EXPECT_EQ(count, 800);
}
