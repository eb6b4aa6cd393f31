#include "Kova/kova_utility/kova_utility.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

ip_t inet_addr(unsigned char in_a, unsigned char in_b, unsigned char in_c, unsigned char in_d) {
    return static_cast<ip_t>(in_a) | static_cast<ip_t>(in_b) << 8 | static_cast<ip_t>(in_c) << 16 |
           static_cast<ip_t>(in_d) << 24;
}

ip_t inet_addr(const char* pin_text) { return static_cast<ip_t>(::inet_addr(pin_text)); }

const char* inet_ntoa(ip_t in_ip) {
    in_addr addr;
    addr.s_addr = in_ip;
    return ::inet_ntoa(addr);
}

kova_clock_t get_cpu_clock() { return Pimo::OS::vimra_cpu_clock(); }

kova_cpu_hz_t get_cpu_hz() { return Pimo::OS::vimra_cpu_hz(); }

}  // namespace Kova
