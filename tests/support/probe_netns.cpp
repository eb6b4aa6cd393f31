// Runs the interface queries and multicast membership in a network namespace of its own.
// argv[1]: "eth0" (an interface eth0 with 10.77.1.2/16) or "lo" (loopback only).
// Prints key=value lines; exits 77 when the namespace cannot be made here.
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Pimo/INet/class_udp.h"
#include "Pimo/INet/pimo_inet.h"

using namespace Pimo::INet;

namespace {

const int c_skip = 77;

int skip(const char* in_why) {
    std::printf("skip=%s\n", in_why);
    std::fflush(stdout);
    return c_skip;
}

bool sh(const std::string& in_line) { return std::system((in_line + " >/dev/null 2>&1").c_str()) == 0; }

// The device whose membership list holds the group, or "none".
std::string igmp_device_of(u_int32_t in_group) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08X", in_group);
    std::ifstream f("/proc/net/igmp");
    std::string line, device = "none", current;
    while (std::getline(f, line)) {
        if (!line.empty() && line[0] != '\t') {
            std::istringstream words(line);
            std::string idx;
            words >> idx >> current;
        } else if (line.find(hex) != std::string::npos) {
            device = current;
        }
    }
    return device;
}

unsigned short local_port(const class_sock& in_sock) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(in_sock.m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "lo";
    if (unshare(CLONE_NEWNET) != 0) return skip("unshare");
    if (!sh("ip link set lo up")) return skip("ip");
    if (mode == "eth0") {
        // A dummy device where the kernel has it, else one end of a veth pair.
        bool made = sh("ip link add eth0 type dummy") ||
                    (sh("ip link add eth0 type veth peer name kova_peer") && sh("ip link set kova_peer up"));
        if (!made || !sh("ip addr add 10.77.1.2/16 dev eth0") || !sh("ip link set eth0 up"))
            return skip("eth0");
    } else if (!sh("ip route add 224.0.0.0/4 dev lo")) {
        return skip("route");
    }

    u_int32_t ip = 0, mask = 0;
    int rc = get_ip_config(&ip, &mask);
    std::printf("config=%d\n", rc);
    std::printf("ip=%s\n", str_from_ip(ip));
    std::printf("mask=%s\n", str_from_ip(mask));

    const unsigned long group = inet_addr(230, 7, 1, 2);
    UDP::class_udp receiver, sender;
    if (receiver.eproc_open(0) != 0 || sender.eproc_open(0) != 0) return skip("open");
    unsigned short port = local_port(receiver);

    receiver.proc_add_membership(group);
    std::printf("joined=%s\n", igmp_device_of(static_cast<u_int32_t>(group)).c_str());

    sender.proc_set_multicast_if(rc == 0 ? ip : inet_addr(127, 0, 0, 1));
    const char text[] = "multicast";
    std::printf("sent=%d\n", sender.eproc_send(group, port, text, sizeof(text)));
    pollfd p{receiver.m_socket, POLLIN, 0};
    if (poll(&p, 1, 5000) == 1) {
        char buf[64] = {0};
        unsigned long from_ip = 0;
        unsigned short from_port = 0;
        size_t len = 0;
        int r = receiver.eproc_receive(from_ip, from_port, len, buf, sizeof(buf) - 1);
        std::printf("received=%d %s\n", r, buf);
    } else {
        std::printf("received=none\n");
    }

    receiver.proc_drop_membership(group);
    std::printf("dropped=%s\n", igmp_device_of(static_cast<u_int32_t>(group)).c_str());
    receiver.proc_close();
    sender.proc_close();
    std::fflush(stdout);
    return 0;
}
