#include "Pimo/INet/pimo_inet.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace Pimo {
namespace INet {

Pimo::OS::vimra_err_t eproc_initialize() { return Pimo::OS::c_vimra_success; }

void proc_destroy() {}

unsigned long inet_addr(const unsigned char& s_b1, const unsigned char& s_b2, const unsigned char& s_b3,
                        const unsigned char& s_b4) {
    return static_cast<unsigned long>(s_b1) | static_cast<unsigned long>(s_b2) << 8 |
           static_cast<unsigned long>(s_b3) << 16 | static_cast<unsigned long>(s_b4) << 24;
}

const char* str_from_ip(u_int32_t in_ip) {
    thread_local char t_buf[128];
    std::snprintf(t_buf, sizeof(t_buf), "%u.%u.%u.%u", in_ip & 0xFF, (in_ip >> 8) & 0xFF, (in_ip >> 16) & 0xFF,
                  (in_ip >> 24) & 0xFF);
    return t_buf;
}

namespace {

bool query_eth0(int in_fd, unsigned long in_request, u_int32_t* pout_addr) {
    ifreq req;
    std::memset(&req, 0, sizeof(req));
    std::strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(in_fd, in_request, &req) < 0) return false;
    sockaddr_in sin;
    std::memcpy(&sin, &req.ifr_addr, sizeof(sin));
    if (pout_addr) *pout_addr = sin.sin_addr.s_addr;
    return true;
}

}  // namespace

int get_ip_config(u_int32_t* ipaddr, u_int32_t* netmask) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    bool ok = query_eth0(fd, SIOCGIFADDR, ipaddr) && query_eth0(fd, SIOCGIFNETMASK, netmask);
    close(fd);
    return ok ? 0 : -1;
}

}  // namespace INet
}  // namespace Pimo
