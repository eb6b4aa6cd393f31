#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "Pimo/OS/Linux/vimra_err.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "test_process.h"

using namespace Pimo::OS;

TEST(vimra_err, texts_name_only_success_boundary_and_alloc) {
    EXPECT_STREQ(get_vimra_err_str(c_vimra_success), "succeeded");
    EXPECT_STREQ(get_vimra_err_str(c_vimra_too_big_size), "boundary out");
    EXPECT_STREQ(get_vimra_err_str(c_vimra_memory_empty), "non_alloc");
    for (int v : {-1, 1, 2, 5, 6, 7, 8, 42})
        EXPECT_STREQ(get_vimra_err_str(static_cast<vimra_err_t>(v)), "unknown") << v;
}

TEST(duration, infinite_is_dbl_max_bytewise_only) {
    EXPECT_TRUE(is_max_infinite(DBL_MAX));
    EXPECT_FALSE(is_max_infinite(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(is_max_infinite(std::nan("")));
    EXPECT_FALSE(is_max_infinite(std::nextafter(DBL_MAX, 0.0)));
    EXPECT_FALSE(is_max_infinite(0.0));
}

TEST(duration, every_conversion_of_infinite_yields_all_ones) {
    EXPECT_EQ(get_second_part(DBL_MAX), c_infinite_time);
    EXPECT_EQ(get_milli_second(DBL_MAX), c_infinite_time);
    EXPECT_EQ(get_micro_second_part(DBL_MAX), c_infinite_time);
    EXPECT_EQ(get_nano_second(DBL_MAX), c_infinite_time);
    EXPECT_EQ(get_nano_second_part(DBL_MAX), c_infinite_time);
}

TEST(duration, conversions_table) {
    struct row { double d; uint32_t sec, ms, us_part, ns, ns_part; };
    const row rows[] = {
        {0.0, 0, 0, 0, 0, 0},
        {2.25, 2, 2250, 250000, 2250000000u, 250000000},
        {0.5, 0, 500, 500000, 500000000, 500000000},
        {2.99, 2, 2990, 990000, 2990000000u, 990000000},
        {0.0015, 0, 1, 1500, 1500000, 1500000},
        // nanoseconds wrap modulo 2^32 from 4.294967296 s on
        {5.0, 5, 5000, 0, static_cast<uint32_t>(5000000000ull), 0},
        // milliseconds wrap modulo 2^32 from about 49.7 days on
        {4294968.0, 4294968, static_cast<uint32_t>(4294968000ull), 0, static_cast<uint32_t>(4294968000000000ull), 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.d);
        EXPECT_EQ(get_second_part(r.d), r.sec);
        EXPECT_EQ(get_milli_second(r.d), r.ms);
        EXPECT_NEAR(get_micro_second_part(r.d), r.us_part, 1);
        EXPECT_EQ(get_nano_second(r.d), r.ns);
        EXPECT_NEAR(get_nano_second_part(r.d), r.ns_part, 1);
    }
}

TEST(duration, nan_and_out_of_range_are_clamped) {
    const double nan = std::nan("");
    EXPECT_EQ(get_second_part(nan), 0u);
    EXPECT_EQ(get_milli_second(nan), 0u);
    EXPECT_EQ(get_nano_second_part(nan), 0u);
    // Saturated to INT64_MAX before the low 32 bits are kept.
    EXPECT_EQ(get_second_part(1e300), 0xFFFFFFFFu);
    EXPECT_EQ(get_second_part(-1e300), 0u);
    EXPECT_EQ(get_milli_second(std::numeric_limits<double>::infinity()), 0xFFFFFFFFu);
    (void)get_micro_second_part(1e300);  // must not trap under the sanitizers
}

TEST(sleep, rtsleep_returns_at_once_for_tiny_and_negative) {
    for (double d : {0.0, 5e-10, -1.0, std::nan("")}) {
        double t0 = kova_test::now_s();
        rtsleep(d);
        // Far below the one second a wrapped -1.0 would sleep, and loose enough for a loaded host.
        EXPECT_LT(kova_test::now_s() - t0, 0.25) << d;
    }
}

TEST(sleep, rtsleep_and_nsleep_sleep_their_parts) {
    double t0 = kova_test::now_s();
    rtsleep(0.1);
    double dt = kova_test::now_s() - t0;
    EXPECT_GE(dt, 0.099);
    EXPECT_LT(dt, 0.3);
    t0 = kova_test::now_s();
    nsleep(999);  // 0 microseconds
    nsleep(1500);
    EXPECT_LT(kova_test::now_s() - t0, 0.02);
}

TEST(clock, rate_is_zero_until_updated_then_microseconds) {
    vimra_update_cpu_hz();
    EXPECT_EQ(vimra_cpu_hz(), 1000000u);
    EXPECT_EQ(g_cpu_frequency_ms, 1000u);
    vimra_clock_t us = vimra_cpu_clock();
    vimra_clock_t ms = vimra_clock();
    EXPECT_NEAR(static_cast<double>(ms), static_cast<double>(us / 1000), 50.0);
    EXPECT_EQ(get_number_of_cores(), 8);
    EXPECT_GT(get_process_id(), 0);
}
