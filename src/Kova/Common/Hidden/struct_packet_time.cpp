#include "Kova/Common/Hidden/struct_packet_time.h"

#include <cmath>

namespace Kova {

double struct_packet_time::get_time() const {
    return std::ldexp(static_cast<double>(get_man()), static_cast<int>(get_exp()) - 31 - 10);
}

void struct_packet_time::set_time(double in_seconds) {
    if (!(in_seconds > 0.0)) {  // zero, negative and NaN
        word = c_zero_word;
        return;
    }
    // From 2^31 s on (c_infinite_time, DBL_MAX, +inf) there is no finite encoding.
    if (in_seconds >= 2147483648.0) {
        word = c_infinite_word;
        return;
    }
    int e = 0;
    const double m = std::frexp(in_seconds, &e);  // m in [0.5, 1)
    const int x = e + 31;
    if (x < 0) {
        word = c_zero_word;
        return;
    }
    set_exp_man(static_cast<unsigned>(x), static_cast<unsigned>(1024.0 * m));
}

}  // namespace Kova
