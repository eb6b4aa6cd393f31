#include "Kova/Common/Hidden/struct_packet_time.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "Kova/Common/Open/Kova/kova_const.h"

using Kova::struct_packet_time;

namespace {

std::uint16_t encode(double in_seconds) { return struct_packet_time(in_seconds).word; }

struct_packet_time from_word(std::uint16_t in_word) {
    struct_packet_time t;
    t.word = in_word;
    return t;
}

}  // namespace

TEST(packet_time, word_layout_is_exponent_low_mantissa_high) {
    struct_packet_time t;
    t.set_exp_man(32, 512);
    EXPECT_EQ(0x8020, t.word);
    unsigned char bytes[2];
    std::memcpy(bytes, &t, 2);
    EXPECT_EQ(0x20, bytes[0]);  // little-endian word on the wire
    EXPECT_EQ(0x80, bytes[1]);
    t.word = 0xF025;
    EXPECT_EQ(37u, t.get_exp());
    EXPECT_EQ(960u, t.get_man());
}

TEST(packet_time, worked_values) {
    struct row {
        double seconds;
        std::uint16_t word;
        double decoded;
    };
    const row rows[] = {
        {1.0, 0x8020, 1.0},
        {0.5, 0x801F, 0.5},
        {8.0, 0x8023, 8.0},
        {60.0, 0xF025, 60.0},
        {3600.0, 0xE12B, 3600.0},
        {0.1, 0xCCDC, 0.0999755859375},
        {std::ldexp(1.0, -32), 0x8000, std::ldexp(1.0, -32)},
        {2147483647.0, 0xFFFE, 2145386496.0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.seconds);
        EXPECT_EQ(r.word, encode(r.seconds));
        EXPECT_EQ(r.decoded, from_word(r.word).get_time());
        EXPECT_EQ(r.decoded, static_cast<double>(from_word(r.word)));
        EXPECT_FALSE(from_word(r.word).is_zerotime());
        EXPECT_FALSE(from_word(r.word).is_infinite());
    }
}

TEST(packet_time, zero_and_infinite) {
    const double zero_inputs[] = {0.0, -0.0, -1.0, -DBL_MAX, std::nextafter(std::ldexp(1.0, -32), 0.0),
                                  1e-300, std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::infinity()};
    for (double s : zero_inputs) {
        SCOPED_TRACE(s);
        EXPECT_EQ(0x0000, encode(s));
        EXPECT_TRUE(struct_packet_time(s).is_zerotime());
    }
    const double infinite_inputs[] = {2147483648.0, static_cast<double>(Kova::c_infinite_time), DBL_MAX,
                                      std::numeric_limits<double>::infinity()};
    for (double s : infinite_inputs) {
        SCOPED_TRACE(s);
        EXPECT_EQ(0xFFFF, encode(s));
        EXPECT_TRUE(struct_packet_time(s).is_infinite());
    }
    EXPECT_EQ(4290772992.0, from_word(0xFFFF).get_time());
    EXPECT_EQ(0.0, struct_packet_time().get_time());
    EXPECT_TRUE(struct_packet_time().is_zerotime());

    struct_packet_time almost;
    almost.set_exp_man(63, 1022);
    EXPECT_FALSE(almost.is_infinite());
    almost.set_exp_man(62, 1023);
    EXPECT_FALSE(almost.is_infinite());
}

TEST(packet_time, sweep_round_trips_truncate_within_one_512th) {
    // Geometric sweep over the whole finite range, plus every normalised word.
    for (double s = std::ldexp(1.0, -32); s < 2147483648.0; s *= 1.0137) {
        const struct_packet_time t(s);
        const double back = t.get_time();
        ASSERT_LE(back, s) << s;
        ASSERT_GT(back, s - s / 512.0) << s;
        ASSERT_GE(t.get_man(), 512u) << s;
        ASSERT_EQ(t.word, encode(back)) << s;  // decoded values are fixed points
    }
    for (unsigned exp = 0; exp <= 62; ++exp)
        for (unsigned man = 512; man <= 1023; ++man) {
            struct_packet_time t;
            t.set_exp_man(exp, man);
            ASSERT_EQ(t.word, encode(t.get_time())) << exp << " " << man;
            ASSERT_FALSE(t.is_zerotime());
        }
}
