#include "Pimo/Utility/pimo_nozero_division.h"

#include <limits>

namespace Pimo {
namespace Utility {

namespace {
const double c_zero_divisor = 1e-27;
}

u_int64_t nozero_division(u_int64_t in_a, u_int64_t in_b) { return in_b == 0 ? in_a : in_a / in_b; }

int64_t nozero_division(int64_t in_a, int64_t in_b) {
    if (in_b == 0) return in_a;
    if (in_b == -1 && in_a == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
    return in_a / in_b;
}

double nozero_division(double in_a, double in_b) { return in_b > c_zero_divisor ? in_a / in_b : in_a; }

float nozero_division(float in_a, float in_b) {
    return in_b > static_cast<float>(c_zero_divisor) ? in_a / in_b : in_a;
}

}  // namespace Utility
}  // namespace Pimo
