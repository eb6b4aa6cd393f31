// Round trips between two relays on two private hosts joined by veth: a header-only packet and
// payloads of 1 KiB and 60 KiB, each through both relays and both center pipes, beside a raw
// TCP ping-pong of the same bytes over the same veth. Prints medians; needs root.
//
//   relay_bench [count]            the whole comparison
//   relay_bench raw-server <port>  (inside a host) echo framed packets
//   relay_bench raw-client <ip> <port> <size> <count>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "private_host.h"
#include "test_process.h"

namespace {

bool full_io(int in_fd, void* in_buf, size_t in_len, bool in_read) {
    char* p = static_cast<char*>(in_buf);
    while (in_len) {
        const ssize_t n = in_read ? ::read(in_fd, p, in_len) : ::send(in_fd, p, in_len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        in_len -= static_cast<size_t>(n);
    }
    return true;
}

void nodelay(int in_fd) {
    int one = 1;
    setsockopt(in_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int raw_server(int in_port) {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(in_port));
    if (::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(l, 1) != 0) return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    int c = ::accept(l, nullptr, nullptr);
    nodelay(c);
    std::vector<char> buf(1 << 17);
    for (;;) {
        unsigned char h[24];
        if (!full_io(c, h, 24, true)) return 0;
        uint32_t size;
        std::memcpy(&size, h + 20, 4);
        if (size > buf.size() || !full_io(c, buf.data(), size, true)) return 0;
        iovec iov[2] = {{h, 24}, {buf.data(), size}};
        if (::writev(c, iov, 2) != static_cast<ssize_t>(24 + size)) return 0;
    }
}

int raw_client(const char* in_ip, int in_port, size_t in_size, int in_count) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(in_port));
    a.sin_addr.s_addr = ::inet_addr(in_ip);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 1;
    nodelay(s);
    std::vector<char> out(24 + in_size, 'x'), back(24 + in_size);
    const uint32_t size = static_cast<uint32_t>(in_size);
    std::memcpy(out.data() + 20, &size, 4);
    std::vector<double> v;
    for (int i = 0; i < in_count; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!full_io(s, out.data(), out.size(), false) || !full_io(s, back.data(), back.size(), true)) return 1;
        v.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(v.begin(), v.end());
    std::printf("raw size %zu n %zu median_us %.1f p90_us %.1f min_us %.1f\n", in_size, v.size(), v[v.size() / 2],
                v[v.size() * 9 / 10], v.front());
    return 0;
}

std::string last_match(const std::string& in_text, const std::string& in_prefix) {
    std::string found;
    size_t pos = 0;
    while ((pos = in_text.find(in_prefix, pos)) != std::string::npos) {
        const size_t end = in_text.find('\n', pos);
        found = in_text.substr(pos, end - pos);
        pos = end;
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "raw-server") return raw_server(std::atoi(argv[2]));
    if (argc >= 6 && std::string(argv[1]) == "raw-client")
        return raw_client(argv[2], std::atoi(argv[3]), static_cast<size_t>(std::atol(argv[4])), std::atoi(argv[5]));
    const int count = argc >= 2 ? std::atoi(argv[1]) : 2000;
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private hosts: %s\n", why.c_str());
        return 1;
    }
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = 0;
    kova_test::private_host a, b;
    if (!a.start() || !b.start() || !kova_test::join_hosts(a, b, "10.231.50.1", "10.231.50.2")) return 1;
    kova_test::child_process ra =
        a.spawn({kova_test::probe_path("probe_relay"), kova_test::unique_name("bench_a"), "7305"}, "/tmp");
    kova_test::child_process rb =
        b.spawn({kova_test::probe_path("probe_relay"), kova_test::unique_name("bench_b"), "7305"}, "/tmp");
    if (!ra.wait_for_line("ready", 20) || !rb.wait_for_line("ready", 20)) return 1;
    rb.send_line("echo 1");
    ra.send_line("connect 10.231.50.2 7305");
    if (!ra.wait_for_line("ctrl 8007 err 0", 10)) return 1;
    std::printf("round trips, %d each, two relays over veth (center pipes included):\n", count);
    for (size_t size : {0u, 1024u, 61440u}) {
        ra.send_line("rtt client 10.231.50.2 7305 48 " + std::to_string(size) + " " + std::to_string(count));
        if (!ra.wait_for_line("rtt done", 120)) return 1;
        std::printf("  relay %s\n", last_match(ra.output(), "rtt size").c_str());
    }
    ra.send_line("quit");
    rb.send_line("quit");
    ra.wait(20);
    rb.wait(20);
    std::printf("raw TCP ping-pong of the same frames over the same veth:\n");
    for (size_t size : {0u, 1024u, 61440u}) {
        kova_test::child_process server = b.spawn({self, "raw-server", "7306"});
        if (!server.wait_for_line("listening", 10)) return 1;
        kova_test::child_process client =
            a.spawn({self, "raw-client", "10.231.50.2", "7306", std::to_string(size), std::to_string(count)});
        client.wait(120);
        std::printf("  %s\n", last_match(client.output(), "raw size").c_str());
        server.kill_now();
        server.wait(5);
    }
    return 0;
}
