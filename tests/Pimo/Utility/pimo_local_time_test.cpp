#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Pimo/Utility/pimo_local_time.h"

using namespace Pimo::Utility;

TEST(local_time, fields_match_the_calendar_of_now) {
    time_t before = time(nullptr);
    system_time_t t = get_local_time();
    time_t after = time(nullptr);
    tm cal = {};
    localtime_r(&before, &cal);
    tm cal_after = {};
    localtime_r(&after, &cal_after);
    // Compare against whichever second the call fell in.
    if (t.wSecond != cal.tm_sec) cal = cal_after;
    EXPECT_EQ(t.wYear, cal.tm_year + 1900);
    EXPECT_EQ(t.wMonth, cal.tm_mon + 1);
    EXPECT_EQ(t.wDay, cal.tm_mday);
    EXPECT_EQ(t.wHour, cal.tm_hour);
    EXPECT_EQ(t.wMinute, cal.tm_min);
    EXPECT_EQ(t.wSecond, cal.tm_sec);
    EXPECT_GE(t.wMilliseconds, 0);
    EXPECT_LE(t.wMilliseconds, 999);
}

// Another thread converting 1970 through the shared buffer of localtime must never show up
// in the readers' results. One converter: two would race on that buffer themselves.
TEST(local_time, concurrent_callers_do_not_see_each_others_conversion) {
    const int this_year = get_local_time().wYear;
    std::atomic<bool> stop{false};
    std::thread epoch_converter([&] {
        const time_t zero = 0;
        while (!stop) {
            volatile int year = localtime(&zero)->tm_year;
            (void)year;
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            for (int n = 0; n < 30000; ++n)
                if (get_local_time().wYear < this_year) ++wrong;
        });
    for (auto& r : readers) r.join();
    stop = true;
    epoch_converter.join();
    EXPECT_EQ(wrong, 0);
}
