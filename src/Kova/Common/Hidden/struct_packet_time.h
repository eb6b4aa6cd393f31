// 16-bit floating time of the wire header: bits 0-5 exponent (bias 31), bits 6-15
// mantissa in 1024ths. All zeros is zero, all ones is infinite.
#pragma once

#include <cstdint>

namespace Kova {

struct struct_packet_time {
    static constexpr std::uint16_t c_zero_word = 0x0000;
    static constexpr std::uint16_t c_infinite_word = 0xFFFF;
    static constexpr unsigned c_exp_bits = 6;
    static constexpr std::uint16_t c_exp_mask = 0x003F;
    static constexpr std::uint16_t c_man_mask = 0x03FF;

    // Kept as one word so the layout does not depend on bit-field allocation.
    std::uint16_t word;

    struct_packet_time() : word(c_zero_word) {}
    explicit struct_packet_time(double in_seconds) : word(c_zero_word) { set_time(in_seconds); }

    unsigned get_exp() const { return word & c_exp_mask; }
    unsigned get_man() const { return (word >> c_exp_bits) & c_man_mask; }
    void set_exp_man(unsigned in_exp, unsigned in_man) {
        word = static_cast<std::uint16_t>((in_exp & c_exp_mask) | (in_man & c_man_mask) << c_exp_bits);
    }

    bool is_zerotime() const { return word == c_zero_word; }
    bool is_infinite() const { return word == c_infinite_word; }

    // The infinite word decodes as 4290772992 s; test is_infinite first where it matters.
    double get_time() const;
    operator double() const { return get_time(); }

    // Truncating encoding: the decoded value never exceeds in_seconds.
    void set_time(double in_seconds);
};

static_assert(sizeof(struct_packet_time) == 2, "packet time is one 16-bit word");

}  // namespace Kova
