// Address and clock helpers exported for applications.
#pragma once

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

// a.b.c.d as stored: a in the lowest byte, d in the highest.
ip_t inet_addr(unsigned char in_a, unsigned char in_b, unsigned char in_c, unsigned char in_d);
// The C library's inet_addr of a dotted text.
ip_t inet_addr(const char* pin_text);
// The C library's inet_ntoa text (its static buffer).
const char* inet_ntoa(ip_t in_ip);

kova_clock_t get_cpu_clock();
kova_cpu_hz_t get_cpu_hz();

}  // namespace Kova
