// IPv4 helpers: addresses are u_int32_t in network byte order, as the C library gives them.
#pragma once

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace INet {

typedef int SOCKET;

// Start and end of the socket layer: nothing to do on this platform.
Pimo::OS::vimra_err_t eproc_initialize();
void proc_destroy();

// s_b1.s_b2.s_b3.s_b4, the first byte lowest in the word.
unsigned long inet_addr(const unsigned char& s_b1, const unsigned char& s_b2, const unsigned char& s_b3,
                        const unsigned char& s_b4);

// Dotted text in a per-thread buffer that the thread's next call overwrites.
const char* str_from_ip(u_int32_t in_ip);

// Address and netmask of the interface "eth0": 0, or -1 when the query fails.
int get_ip_config(u_int32_t* ipaddr, u_int32_t* netmask);

}  // namespace INet
}  // namespace Pimo
