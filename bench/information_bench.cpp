// Information (current values) through the real service and centers in private hosts (fresh
// network namespaces and /dev/shm, joined by a veth pair; needs root), beside ZeroMQ PUB/SUB
// with the same subscribers and payloads (ipc:// on one host, tcp:// over the same veth across
// two), once unbounded (high-water marks 0) and once with its default high-water mark of 1000,
// and beside a raw source-specific multicast sender (one UDP socket sending each payload once to
// a 230.x group, each subscriber a socket joined to it with IP_ADD_SOURCE_MEMBERSHIP) as the
// floor for Kova over UDP.
//
// Two information stubs on host A in the posting model, one for the TCP subscribers and one for
// the UDP ones; N = 1, 4, 16 subscriber processes (one subscriber each) per system on host A
// (one host) or host B (two hosts); payloads of 64 B, 1 KiB, 60000 B and 60001 B. The systems
// of a row take turns (bench_series.h): a paced phase (write to on_sync latency, the write's
// own time) and a burst (what arrived, in order or not, whether each subscriber ended on the
// last value, values per second per subscriber). Besides the columns every one-way benchmark
// prints:
//   dg/value       UDP datagrams sent in host A's network namespace per value of a burst;
//   pub, ctrA/B    CPU time of the publisher process and of the centers of host A (the
//                  stub's) and host B (the subscribers', two hosts) per 1000 values of a
//                  burst, in ms (the time on a CPU of every thread, read in ns: a 10 ms tick is
//                  too coarse for a burst).
// Kova's publisher tries a write again while the packet memory is full; the raw sender while
// the socket's buffer is.
//
//   information_bench [options]   options (bench_series.h): --paced n (300 a row), --burst n
//                                 (5000, a quarter above 4 KiB), --log yes|no (yes),
//                                 --hosts one|two|all, --n 1,4,16, --sizes 64,1024,60000,60001,
//                                 --kova tcp|udp|all (udp brings the raw sender), --rounds n (2)
//   information_bench --kova-pub <domain> <stub>                 (inside a host) a stub
//   information_bench --kova-sub <domain> <ip> <stub> <udp> <count>  count information proxies
//   information_bench --raw-pub <source ip> <group> <port>       the multicast sender
//   information_bench --raw-sub <group> <source ip> <interface ip> <port> <count>
//   information_bench --zmq-pub|--zmq-sub ...                    the ZeroMQ roles
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <Kova/kova.h>

#include "bench_series.h"

namespace {

using namespace kova_bench;

const Kova::domain_t c_domain = 7340;
const Kova::object_id_t c_tcp_stub = 1;
const Kova::object_id_t c_udp_stub = 2;
const Kova::msg_code_t c_code = 1;
const std::vector<size_t> c_sizes{64, 1024, 60000, 60001};
const std::string c_ip_a = "10.234.40.1";
const std::string c_ip_b = "10.234.40.2";
const int c_zmq_port = 7341;  // and 7343 for the default high-water mark
const std::string c_group = "230.234.40.7";
const int c_group_port = 7342;

// ---- Kova ----

class bench_stub : public Kova::kova_object_information {
public:
    bench_stub() : kova_object_information(c_code) {}
    using kova_object_information::get_client_count;
    using kova_object_information::write;
};

int run_kova_pub(Kova::domain_t in_domain, Kova::object_id_t in_stub) {
    return run_kova_publisher<bench_stub>([&](bench_stub& io_stub) { return io_stub.create(in_domain, in_stub); },
                                          [](bench_stub& io_stub, const void* pin_data, Kova::pksize_t in_size) {
                                              return io_stub.write(pin_data, in_size);
                                          });
}

class bench_proxy : public Kova::kova_proxy_object_information {
public:
    bench_proxy(recorder& in_recorder, completion& in_done)
        : kova_proxy_object_information(c_code), m_recorder(in_recorder), m_done(in_done) {
        set_history_size(0);
    }

private:
    void on_sync(const Kova::sender_sync_model_t&, const double&, const double&, const void* const pin_buffer,
                 const Kova::pksize_t in_size) override {
        if (m_recorder.arrive(pin_buffer, in_size)) m_done.one_done();
    }
    recorder& m_recorder;
    completion& m_done;
};

int run_kova_sub(Kova::domain_t in_domain, const char* in_ip, Kova::object_id_t in_stub, bool in_udp,
                 unsigned in_count) {
    return run_kova_subscribers<bench_proxy>(in_domain, in_ip, in_stub, in_count, [&](bench_proxy& in_p) {
        return in_p.async_connect_return(in_p.async_connect(in_udp, 5.0), nullptr);
    });
}

// ---- Raw source-specific multicast ----

sockaddr_in address(const std::string& in_ip, int in_port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(in_ip.c_str());
    a.sin_port = htons(static_cast<std::uint16_t>(in_port));
    return a;
}

// One datagram a value, sent from in_source (so the subscribers' source filter matches) out
// of its interface, looped back to subscribers on this host.
int run_raw_pub(const std::string& in_source, const std::string& in_group, int in_port) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in from = address(in_source, 0), to = address(in_group, in_port);
    const in_addr iface = from.sin_addr;
    const unsigned char ttl = 1, loop = 1;
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        say(std::string("socket failed ") + std::strerror(errno));
        if (s >= 0) close(s);
        return 1;
    }
    say("ready");
    const int status = serve_publisher([&](const std::vector<unsigned char>& in_buf) {
        for (;;) {
            const ssize_t n =
                sendto(s, in_buf.data(), in_buf.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n == static_cast<ssize_t>(in_buf.size())) return true;
            if (n >= 0 || (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(50));  // the socket's buffer is full
        }
    });
    close(s);
    return status;
}

// in_count sockets joined to (in_source, in_group) on the interface of in_iface, a thread each.
int run_raw_sub(const std::string& in_group, const std::string& in_source, const std::string& in_iface, int in_port,
                unsigned in_count) {
    std::vector<recorder> recorders(in_count);
    completion done;
    std::atomic<bool> stop{false};
    std::vector<int> sockets;
    for (unsigned k = 0; k < in_count; ++k) {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        const sockaddr_in group = address(in_group, in_port);
        ip_mreq_source m{};
        m.imr_multiaddr.s_addr = inet_addr(in_group.c_str());
        m.imr_sourceaddr.s_addr = inet_addr(in_source.c_str());
        m.imr_interface.s_addr = inet_addr(in_iface.c_str());
        timeval tick{0, 200000};  // how soon a receiving thread sees the end
        if (s < 0 || setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(s, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0 ||
            setsockopt(s, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &m, sizeof m) != 0 ||
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0) {
            say(std::string("join failed ") + std::strerror(errno));
            if (s >= 0) close(s);
            for (int o : sockets) close(o);
            return 1;
        }
        sockets.push_back(s);
    }
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < in_count; ++k)
        threads.emplace_back([&, k] {
            std::vector<unsigned char> buf(65536);
            while (!stop) {
                const ssize_t n = recv(sockets[k], buf.data(), buf.size(), 0);
                if (n > 0 && recorders[k].arrive(buf.data(), static_cast<size_t>(n))) done.one_done();
            }
        });
    say("ready");
    serve_subscribers(recorders, done);
    stop = true;
    for (auto& t : threads) t.join();
    for (int s : sockets) close(s);
    return 0;
}

// ---- What the driver reads of the hosts ----

// Time on a CPU of every thread of in_pid so far, in ns (0 once it is gone).
double cpu_ns(pid_t in_pid) {
    const std::string tasks = "/proc/" + std::to_string(in_pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return 0;
    double sum = 0;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(tasks + "/" + e->d_name + "/schedstat");
        double t = 0;
        if (f >> t) sum += t;
    }
    closedir(d);
    return sum;
}

// "Udp: OutDatagrams" of the network namespace in_pid lives in.
double udp_out(pid_t in_pid) {
    std::ifstream f("/proc/" + std::to_string(in_pid) + "/net/snmp");
    std::string names, values;
    while (std::getline(f, names))
        if (names.rfind("Udp: ", 0) == 0 && std::getline(f, values)) {
            std::istringstream n(names), v(values);
            std::string name, value;
            while (n >> name && v >> value)
                if (name == "OutDatagrams") return std::atof(value.c_str());
        }
    return 0;
}

// ---- The comparison ----

// A row with what the bursts cost the hosts.
struct info_row : series_row {
    double datagrams = 0, pub_ns = 0, center_a_ns = 0, center_b_ns = 0;  // over the bursts
    bool centers = false, two_hosts = false;
    double per_value(double in_amount) const { return published > 0 ? in_amount / published : 0; }
    // ms per 1000 values
    double ms_per_1000(double in_ns) const { return per_value(in_ns) / 1e6 * 1000; }
    double publisher_side_ms() const { return ms_per_1000(pub_ns + center_a_ns); }
};

// Reads, around each burst, the datagrams host A sent and the CPU time of the publisher and of
// the centers.
class burst_cost {
public:
    burst_cost(kova_test::private_host& in_a, kova_test::private_host& in_b) : m_a(in_a), m_b(in_b) {}
    void operator()(system_under_test& in_sys, info_row& io_r, bool in_begin) {
        const bool kova = in_sys.kind == "kova";
        if (in_begin) {
            m_center_a = kova ? program_pid(m_a, "Kova_General_Center") : -1;
            m_center_b = kova && io_r.two_hosts ? program_pid(m_b, "Kova_General_Center") : -1;
            m_dg = udp_out(m_a.keeper());
            m_pub = cpu_ns(in_sys.pub->pid());
            m_ca = m_center_a > 0 ? cpu_ns(m_center_a) : 0;
            m_cb = m_center_b > 0 ? cpu_ns(m_center_b) : 0;
            return;
        }
        io_r.datagrams += udp_out(m_a.keeper()) - m_dg;
        io_r.pub_ns += cpu_ns(in_sys.pub->pid()) - m_pub;
        if (m_center_a > 0) io_r.center_a_ns += cpu_ns(m_center_a) - m_ca;
        if (m_center_b > 0) io_r.center_b_ns += cpu_ns(m_center_b) - m_cb;
        io_r.centers = kova;
    }

private:
    kova_test::private_host& m_a;
    kova_test::private_host& m_b;
    pid_t m_center_a = -1, m_center_b = -1;
    double m_dg = 0, m_pub = 0, m_ca = 0, m_cb = 0;
};

// Whether the publisher's side (its process and its host's center) costs the same per value
// whatever the number of subscribers: its ms per 1000 values and datagrams per value at each
// N, and the largest N over the smallest.
void print_flatness(const std::vector<info_row>& in_rows, const std::vector<unsigned>& in_fan_outs) {
    if (in_fan_outs.size() < 2) return;
    std::printf("\npublisher side (publisher process + host A's center, ms CPU per 1000 values; datagrams per value)"
                " by N:\n");
    for (const info_row& first : in_rows) {
        if (first.n != in_fan_outs.front()) continue;
        std::string line = first.hosts + ", " + first.transport + ", " + std::to_string(first.size) + " B:";
        const info_row* last = nullptr;
        for (unsigned n : in_fan_outs)
            for (const info_row& r : in_rows)
                if (r.n == n && r.hosts == first.hosts && r.transport == first.transport && r.size == first.size) {
                    line += " N=" + std::to_string(n) + " " +
                            (r.ok() ? figure(r.publisher_side_ms(), "%.1f") + " ms " +
                                          figure(r.per_value(r.datagrams), "%.2f") + " dg"
                                    : std::string("failed"));
                    if (r.ok()) last = &r;
                }
        if (first.ok() && last && last != &first && first.publisher_side_ms() > 0)
            line += "; x" + figure(last->publisher_side_ms() / first.publisher_side_ms(), "%.2f") + " cost";
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

int run_all(const series_options& in_o) {
    if (!private_hosts_available()) return 1;
    const std::string self = self_path();
    const time_dir times("information_bench_times");
    const std::string& dir = times.path();
    print_plan("information (values)", in_o, "one subscriber per process, posting model");
    bench_hosts hosts(in_o.log, "information_bench", in_o.two_hosts, c_ip_a, c_ip_b);
    if (!hosts.ok()) return 1;
    const std::string domain = std::to_string(c_domain);
    kova_test::child_process kova_tcp_pub, kova_udp_pub, raw_pub;
    if (in_o.tcp) kova_tcp_pub = hosts.a().spawn({self, "--kova-pub", domain, std::to_string(c_tcp_stub)});
    if (in_o.udp) {
        kova_udp_pub = hosts.a().spawn({self, "--kova-pub", domain, std::to_string(c_udp_stub)});
        raw_pub = hosts.a().spawn({self, "--raw-pub", c_ip_a, c_group, std::to_string(c_group_port)});
    }
    for (kova_test::child_process* p : {&kova_tcp_pub, &kova_udp_pub, &raw_pub})
        if (p->pid() > 0 && answer(*p, "", "ready", 60.0).empty()) {
            std::printf("a publisher did not start: %s\n", p->output().c_str());
            return 1;
        }
    const int hwms[] = {c_zmq_unbounded, c_zmq_default_hwm};
    kova_test::child_process zmq_pubs[2];
    std::string ipc[2], tcp[2];
    for (int z = 0; z < 2; ++z) {
        ipc[z] = "ipc://" + dir + "/pub" + std::to_string(hwms[z]) + ".ipc";
        tcp[z] = "tcp://" + c_ip_a + ":" + std::to_string(c_zmq_port + 2 * z);
        std::vector<std::string> endpoints{ipc[z]};
        if (in_o.two_hosts) endpoints.push_back(tcp[z]);
        zmq_pubs[z] = start_zmq_pub(hosts.a(), "pub", hwms[z], endpoints);
    }
    series_table<info_row> table("values");
    using col = column<info_row>;
    table.add(col{"dg/value", 8, [](const info_row& r) { return figure(r.per_value(r.datagrams), "%.2f"); }});
    table.add(col{"pub ms", 6, [](const info_row& r) { return figure(r.ms_per_1000(r.pub_ns), "%.1f"); }});
    table.add(col{"ctrA", 6, [](const info_row& r) {
                      return r.centers ? figure(r.ms_per_1000(r.center_a_ns), "%.1f") : std::string("-");
                  }});
    table.add(col{"ctrB", 6, [](const info_row& r) {
                      return r.centers && r.two_hosts ? figure(r.ms_per_1000(r.center_b_ns), "%.1f") : std::string("-");
                  }});
    table.add_ratios("zmq", "Z");
    table.add_ratios("raw", "R", "Kova UDP");
    table.print_head();
    series s(in_o, dir);
    burst_cost cost(hosts.a(), hosts.b());
    const std::vector<size_t> sizes = in_o.sizes.empty() ? c_sizes : in_o.sizes;
    const std::int64_t began = now_ns();
    for (bool two : {false, true}) {
        if (two ? !in_o.two_hosts : !in_o.one_host) continue;
        kova_test::private_host& sub_host = two ? hosts.b() : hosts.a();
        const std::string kova_ip = two ? c_ip_a : "127.0.0.1", iface = two ? c_ip_b : c_ip_a;
        for (unsigned n : in_o.fan_outs) {
            std::vector<system_under_test> systems;
            const auto add = [&](const std::string& in_name, const std::string& in_kind,
                                 kova_test::child_process& in_pub, const std::vector<std::string>& in_argv) {
                if (in_pub.pid() <= 0) return;
                systems.emplace_back();
                systems.back().name = in_name;
                systems.back().kind = in_kind;
                systems.back().pub = &in_pub;
                systems.back().subs.start(sub_host, in_argv, n, 1);
            };
            add("Kova TCP", "kova", kova_tcp_pub, {self, "--kova-sub", domain, kova_ip, std::to_string(c_tcp_stub), "0", "1"});
            add("Kova UDP", "kova", kova_udp_pub, {self, "--kova-sub", domain, kova_ip, std::to_string(c_udp_stub), "1", "1"});
            add("raw SSM", "raw", raw_pub, {self, "--raw-sub", c_group, c_ip_a, iface, std::to_string(c_group_port), "1"});
            for (int z = 0; z < 2; ++z) {
                add(std::string(two ? "ZMQ tcp" : "ZMQ ipc") + " hwm " + std::to_string(hwms[z]),
                    z == 0 ? "zmq" : "zmq1000", zmq_pubs[z],
                    {self, "--zmq-sub", "sub", std::to_string(hwms[z]), two ? tcp[z] : ipc[z], "1"});
#ifdef KOVA_BENCH_ZMQ
                if (zmq_pubs[z].pid() > 0) warm_up(zmq_pubs[z], systems.back().subs, dir);
#endif
            }
            info_row key;
            key.hosts = two ? "two hosts" : "one host";
            key.layout = "N processes";
            key.n = n;
            key.two_hosts = two;
            for (size_t size : sizes) {
                key.size = size;
                table.print(s.run_rows(systems, key, std::ref(cost)));
            }
            for (system_under_test& sys : systems) sys.subs.stop();
        }
    }
    print_ratio_legend();
    std::printf("R rate, R lat: Kova UDP over the raw multicast sender. dg/value: UDP datagrams host A sent per value;\n"
                "pub ms, ctrA, ctrB: ms CPU per 1000 values of the publisher process and of the centers of host A and B.\n");
    print_flatness(table.rows(), in_o.fan_outs);
    std::printf("took %.0f s\n", (now_ns() - began) / 1e9);
    for (kova_test::child_process* p : {&kova_tcp_pub, &kova_udp_pub, &raw_pub, &zmq_pubs[0], &zmq_pubs[1]})
        stop_publisher(*p);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--kova-pub") == 0)
        return run_kova_pub(static_cast<Kova::domain_t>(std::atoi(argv[2])),
                            static_cast<Kova::object_id_t>(std::atoi(argv[3])));
    if (argc == 7 && std::strcmp(argv[1], "--kova-sub") == 0)
        return run_kova_sub(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3],
                            static_cast<Kova::object_id_t>(std::atoi(argv[4])), std::atoi(argv[5]) != 0,
                            static_cast<unsigned>(std::atoi(argv[6])));
    if (argc == 5 && std::strcmp(argv[1], "--raw-pub") == 0) return run_raw_pub(argv[2], argv[3], std::atoi(argv[4]));
    if (argc == 7 && std::strcmp(argv[1], "--raw-sub") == 0)
        return run_raw_sub(argv[2], argv[3], argv[4], std::atoi(argv[5]), static_cast<unsigned>(std::atoi(argv[6])));
    const int zmq = run_zmq_role(argc, argv);
    if (zmq >= 0) return zmq;
    series_options o;
    o.paced = 300;
    return parse_options(argc, argv, 1, o) ? run_all(o) : 2;
}
