#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "Pimo/Utility/pimo_nozero_division.h"

using namespace Pimo::Utility;

TEST(nozero_division, zero_divisor_gives_back_the_dividend) {
    EXPECT_EQ(nozero_division(std::uint64_t{7}, std::uint64_t{0}), 7u);
    EXPECT_EQ(nozero_division(std::uint64_t{7}, std::uint64_t{2}), 3u);
    EXPECT_EQ(nozero_division(std::int64_t{7}, std::int64_t{0}), 7);
    EXPECT_EQ(nozero_division(std::int64_t{-7}, std::int64_t{2}), -3);
    EXPECT_EQ(nozero_division(std::int64_t{7}, std::int64_t{-1}), -7);
}

TEST(nozero_division, int64_min_by_minus_one_saturates_instead_of_trapping) {
    const std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(nozero_division(lowest, std::int64_t{-1}), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(nozero_division(lowest, std::int64_t{1}), lowest);
}

TEST(nozero_division, floating_divisor_must_exceed_1e_27) {
    struct row { double a, b, expected; };
    const row rows[] = {
        {7.0, 2.0, 3.5},
        {7.0, 0.0, 7.0},
        {7.0, -2.0, 7.0},  // negative divisors count as zero too
        {7.0, 1e-27, 7.0},
        {1e-20, 1e-26, 1e6},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.b);
        EXPECT_DOUBLE_EQ(nozero_division(r.a, r.b), r.expected);
        EXPECT_FLOAT_EQ(nozero_division(static_cast<float>(r.a), static_cast<float>(r.b)),
                        static_cast<float>(r.expected));
    }
}
