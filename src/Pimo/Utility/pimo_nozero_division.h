// Division that gives back the dividend instead of faulting on a zero divisor.
#pragma once

#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace Utility {

u_int64_t nozero_division(u_int64_t in_a, u_int64_t in_b);
// INT64_MIN / -1 has no int64 quotient: it saturates to INT64_MAX instead of trapping.
int64_t nozero_division(int64_t in_a, int64_t in_b);
// A divisor not above 1e-27 (negative ones included) counts as zero.
double nozero_division(double in_a, double in_b);
float nozero_division(float in_a, float in_b);

}  // namespace Utility
}  // namespace Pimo
