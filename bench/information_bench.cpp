// Information (current values) through the real service and centers in private hosts (fresh
// network namespaces and /dev/shm, joined by a veth pair; needs root), beside ZeroMQ PUB/SUB
// with the same subscribers and payloads (ipc:// on one host, tcp:// over the same veth across
// two, high-water marks 0), and beside a raw source-specific multicast sender (one UDP socket
// sending each payload once to a 230.x group, each subscriber a socket joined to it with
// IP_ADD_SOURCE_MEMBERSHIP) as the floor for Kova over UDP.
//
// Two information stubs on host A in the posting model, one for the TCP subscribers and one for
// the UDP ones; N = 1, 4, 16 subscriber processes (one subscriber each) per system on host A
// (one host) or host B (two hosts); payloads of 64 B, 1 KiB, 60000 B and 60001 B. The systems
// of a row take turns (rounds of a share of the counts each), so that they meet the same load of
// the machine. Per row:
//   posts/s        values written per second by the publisher in a burst;
//   delivered/s    values each subscriber received per second in that burst (from the first
//                  write to its last value), mean over the subscribers;
//   lost           share of the burst's values that no receive reported;
//   latency        write to on_sync (to the receive's return), median and p99 over every
//                  subscriber of a paced phase;
//   wr us          the publisher's time in one write (send), median and p99 of a burst;
//   dg/value       UDP datagrams sent in host A's network namespace per value of a burst;
//   pub, ctrA/B    CPU time of the publisher process and of the centers of host A (the
//                  stub's) and host B (the subscribers', two hosts) per 1000 values of a
//                  burst, in ms (the time on a CPU of every thread, read in ns: a 10 ms tick is
//                  too coarse for a burst).
// A value carries its number and the run's number in its first 8 bytes, so that a value of an
// earlier run (a subscription's first sync, a late datagram) is not counted. Kova's publisher
// tries a write again while the packet memory is full; the raw sender while the socket's
// buffer is. Times are CLOCK_MONOTONIC.
//
//   information_bench [paced] [burst] [log] [fan-outs] [rounds]
//       defaults: 300 paced values a row (every 2 ms, above 4 KiB every 4 ms), 1000 in a burst
//       (a quarter of that above 4 KiB), LOG=yes, fan-outs "1,4,16" ("all" is the same),
//       2 rounds; the counts are shared out over the rounds
//   information_bench --kova-pub <domain> <stub>                 (inside a host) a stub
//   information_bench --kova-sub <domain> <ip> <stub> <udp> <count>  count information proxies
//   information_bench --zmq-pub <endpoint>...                    a PUB socket bound to each
//   information_bench --zmq-sub <endpoint> <count>               count SUB sockets
//   information_bench --raw-pub <source ip> <group> <port>       the multicast sender
//   information_bench --raw-sub <group> <source ip> <interface ip> <port> <count>
// The processes talk as bench_series.h says.
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
#include <map>
#include <memory>
#include <mutex>
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
const Kova::pksize_t c_sizes[] = {64, 1024, 60000, 60001};
const std::string c_ip_a = "10.234.40.1";
const std::string c_ip_b = "10.234.40.2";
const int c_zmq_port = 7341;
const std::string c_group = "230.234.40.7";
const int c_group_port = 7342;

// ---- What every publisher and subscriber does ----

// Value number in_k of run in_run: both in the first 8 bytes (every measured size has them).
void number(std::vector<unsigned char>& io_buf, std::uint32_t in_k, std::uint32_t in_run) {
    if (io_buf.size() < 8) return;
    std::memcpy(io_buf.data(), &in_k, 4);
    std::memcpy(io_buf.data() + 4, &in_run, 4);
}

// The receive times of one subscriber by value number (0: not received), of one run.
class recorder {
public:
    void arm(size_t in_size, size_t in_count, std::uint32_t in_run) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_size = in_size;
        m_run = in_run;
        m_times.assign(in_count, 0);
        m_got = 0;
        m_in_order = true;
        m_last = 0;
    }
    // One payload arrived; true when it completes the expected count.
    bool arrive(const void* pin_data, size_t in_size) {
        const std::int64_t t = now_ns();
        std::lock_guard<std::mutex> hold(m_lock);
        std::uint32_t k = 0, run = 0;
        if (in_size != m_size || in_size < 8) return false;
        std::memcpy(&k, pin_data, 4);
        std::memcpy(&run, static_cast<const char*>(pin_data) + 4, 4);
        if (run != m_run || k >= m_times.size() || m_times[k] != 0) return false;
        if (k + 1 < m_last) m_in_order = false;
        m_last = k + 1;
        m_times[k] = t;
        return ++m_got == m_times.size();
    }
    size_t got() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_got;
    }
    bool in_order() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_in_order;
    }
    bool save(const std::string& in_path) {
        std::lock_guard<std::mutex> hold(m_lock);
        return write_times(in_path, m_times, m_times.size());
    }

private:
    std::mutex m_lock;
    size_t m_size = 0, m_got = 0, m_last = 0;
    std::uint32_t m_run = 0;
    std::vector<std::int64_t> m_times;
    bool m_in_order = true;
};

// ---- Kova ----

class bench_stub : public Kova::kova_object_information {
public:
    bench_stub() : kova_object_information(c_code) {}
    using kova_object_information::get_client_count;
    using kova_object_information::write;
};

int run_kova_pub(Kova::domain_t in_domain, Kova::object_id_t in_stub) {
    Kova::initialize();
    int status = 0;
    {
        bench_stub stub;
        const Kova::kova_err_t err = stub.create(in_domain, in_stub);
        if (err != Kova::c_kova_success) {
            say("create failed " + std::to_string(err));
            status = 1;
        } else {
            say("ready");
            status = serve_publisher(number, [&](const std::vector<unsigned char>& in_buf) {
                const void* p = in_buf.data();
                const Kova::pksize_t n = static_cast<Kova::pksize_t>(in_buf.size());
                return send_while_memory_full([&] { return stub.write(p, n); });
            });
        }
        stub.destroy();
    }
    Kova::finalize();
    return status;
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
    return run_kova_subscribers<bench_proxy, recorder>(in_domain, in_ip, in_stub, in_count, [&](bench_proxy& in_p) {
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
    const int status = serve_publisher(number, [&](const std::vector<unsigned char>& in_buf) {
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

// The center of in_host, -1 if it has none (yet). Its comm is cut to 15 characters: the
// program's path tells it.
pid_t center_of(const kova_test::private_host& in_host) {
    const std::string name = "/Kova_General_Center";
    for (pid_t p : in_host.processes()) {
        std::ifstream f("/proc/" + std::to_string(p) + "/cmdline");
        std::string program;
        if (std::getline(f, program, '\0') && program.size() >= name.size() &&
            program.compare(program.size() - name.size(), name.size(), name) == 0)
            return p;
    }
    return -1;
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

struct row {
    std::string hosts, transport;
    unsigned n = 0;
    size_t size = 0;
    // Gathered over the rounds.
    std::vector<double> latencies;
    std::vector<double> write_costs, write_p99s;  // the publisher's, median and p99 of each burst
    double burst_values = 0, burst_s = 0;
    double rate_sum = 0, rate_samples = 0;
    double received = 0, expected = 0;
    double datagrams = 0, pub_ns = 0, center_a_ns = 0, center_b_ns = 0;  // over the bursts
    bool centers = false, two_hosts = false, in_order = true, failed = false;
    // Figures.
    double posts = 0, delivered = 0, lost = 0, median_us = 0, p99_us = 0, write_us = 0, write_p99_us = 0;
    bool ok() const { return !failed && burst_values > 0; }
    void finish() {
        const spread l = summarise(latencies);
        median_us = l.median;
        p99_us = l.p99;
        posts = burst_s > 0 ? burst_values / burst_s : 0;
        delivered = rate_samples > 0 ? rate_sum / rate_samples : 0;
        lost = expected > 0 ? 1.0 - received / expected : 0;
        write_us = summarise(write_costs).median;
        write_p99_us = summarise(write_p99s).median;
    }
    double per_value(double in_amount) const { return burst_values > 0 ? in_amount / burst_values : 0; }
    // ms per 1000 values
    double ms_per_1000(double in_ns) const { return per_value(in_ns) / 1e6 * 1000; }
    double publisher_side_ms() const { return ms_per_1000(pub_ns + center_a_ns); }
};

// One system of a row: its publisher and its subscribers.
struct system_under_test {
    std::string name;
    kova_test::child_process* pub;
    subscribers subs;
    bool kova;
};

class bench {
public:
    bench(const std::string& in_dir, kova_test::private_host& in_a, kova_test::private_host& in_b)
        : m_dir(in_dir), m_a(in_a), m_b(in_b) {}

    // in_paced paced values and a burst of in_burst through in_sys into io_r, with what they
    // cost on the hosts.
    void measure(system_under_test& in_sys, unsigned long in_paced, unsigned long in_burst, row& io_r) {
        if (io_r.failed) return;
        io_r.failed = true;  // until the end
        const std::string sent = m_dir + "/sent", got = m_dir + "/got";
        const size_t size = io_r.size;
        // Paced: one value every 2 ms, above 4 KiB every 4 ms.
        const long interval_us = size > 4096 ? 4000 : 2000;
        std::uint32_t run = ++m_run;
        if (!in_sys.subs.arm(size, in_paced, run, got) ||
            !publish(*in_sys.pub, lat_command(size, in_paced, interval_us, run, sent)).ok)
            return;
        bool in_order = in_sys.subs.collect();
        const std::vector<std::int64_t> send_times = read_times(sent);
        in_sys.subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            for (size_t i = 0; i < in_times.size() && i < send_times.size(); ++i)
                if (in_times[i] != 0) io_r.latencies.push_back((in_times[i] - send_times[i]) / 1e3);
        });

        // The burst: as fast as the publisher goes. What it costs is counted over it alone: the
        // paced phase's publisher waits for each value's time on a CPU.
        run = ++m_run;
        if (!in_sys.subs.arm(size, in_burst, run, got)) return;
        const pid_t center_a = in_sys.kova ? center_of(m_a) : -1;
        const pid_t center_b = in_sys.kova && io_r.two_hosts ? center_of(m_b) : -1;
        const double dg0 = udp_out(m_a.keeper()), pub0 = cpu_ns(in_sys.pub->pid());
        const double ca0 = center_a > 0 ? cpu_ns(center_a) : 0, cb0 = center_b > 0 ? cpu_ns(center_b) : 0;
        const publish_answer rate = publish(*in_sys.pub, rate_command(size, in_burst, run, sent));
        if (!rate.ok) return;
        in_order = in_sys.subs.collect() && in_order;
        io_r.datagrams += udp_out(m_a.keeper()) - dg0;
        io_r.pub_ns += cpu_ns(in_sys.pub->pid()) - pub0;
        if (center_a > 0) io_r.center_a_ns += cpu_ns(center_a) - ca0;
        if (center_b > 0) io_r.center_b_ns += cpu_ns(center_b) - cb0;
        io_r.write_costs.push_back(rate.cost_ns / 1e3);
        io_r.write_p99s.push_back(rate.cost_p99_ns / 1e3);
        const std::vector<std::int64_t> burst_sent = read_times(sent);
        if (burst_sent.empty()) return;
        in_sys.subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            size_t got_here = 0;
            std::int64_t last = 0;
            for (std::int64_t t : in_times)
                if (t != 0) {
                    ++got_here;
                    last = std::max(last, t);
                }
            io_r.received += got_here;
            io_r.expected += in_burst;
            io_r.rate_samples += 1;
            if (got_here && last > burst_sent.front()) io_r.rate_sum += got_here / ((last - burst_sent.front()) / 1e9);
        });
        io_r.burst_values += in_burst;
        io_r.burst_s += rate.total_ns / 1e9;
        io_r.centers = in_sys.kova;
        io_r.in_order = io_r.in_order && in_order;
        io_r.failed = false;
    }

private:
    std::string m_dir;
    kova_test::private_host& m_a;
    kova_test::private_host& m_b;
    std::uint32_t m_run = 0;
};

std::string figure(double in_value, const char* in_format) {
    char text[32];
    std::snprintf(text, sizeof text, in_format, in_value);
    return text;
}

// in_r over the row of in_peer with the same hosts, N and payload: "-" without such a row.
std::string ratio(const std::vector<row>& in_rows, const row& in_r, const std::string& in_peer,
                  double row::*in_field) {
    if (!in_r.ok() || in_r.transport.rfind("Kova", 0) != 0) return "-";
    for (const row& z : in_rows)
        if (z.ok() && z.transport.rfind(in_peer, 0) == 0 && z.hosts == in_r.hosts && z.n == in_r.n &&
            z.size == in_r.size && z.*in_field > 0)
            return figure(in_r.*in_field / z.*in_field, "%.3g");
    return "-";
}

void print_table(const std::vector<row>& in_rows) {
    const char* head = "| %-9s | %2s | %5s | %-10s | %7s | %7s | %6s | %8s | %8s | %5s | %7s | %8s | %8s | %6s | "
                       "%6s | %6s | %7s | %7s | %7s | %7s | %7s | %7s |\n";
    std::printf(head, "hosts", "N", "bytes", "transport", "posts/s", "deliv/s", "lost", "lat us", "p99 us", "order",
                "wr us", "wr p99", "dg/value", "pub ms", "ctrA", "ctrB", "Zpost", "Zdeli", "Zlat", "Rpost", "Rdeli",
                "Rlat");
    std::printf("|-----------|----|-------|------------|---------|---------|--------|----------|----------|-------|"
                "---------|----------|----------|--------|--------|--------|---------|---------|---------|---------|"
                "---------|---------|\n");
    for (const row& r : in_rows) {
        if (!r.ok()) {
            std::printf(head, r.hosts.c_str(), std::to_string(r.n).c_str(), std::to_string(r.size).c_str(),
                        r.transport.c_str(), "failed", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-",
                        "-", "-", "-", "-");
            continue;
        }
        const bool udp = r.transport == "Kova UDP";
        std::printf(head, r.hosts.c_str(), std::to_string(r.n).c_str(), std::to_string(r.size).c_str(),
                    r.transport.c_str(), figure(r.posts, "%.0f").c_str(), figure(r.delivered, "%.0f").c_str(),
                    figure(r.lost * 100, "%.1f%%").c_str(), figure(r.median_us, "%.1f").c_str(),
                    figure(r.p99_us, "%.1f").c_str(), r.in_order ? "yes" : "NO", figure(r.write_us, "%.1f").c_str(),
                    figure(r.write_p99_us, "%.1f").c_str(), figure(r.per_value(r.datagrams), "%.2f").c_str(), figure(r.ms_per_1000(r.pub_ns), "%.1f").c_str(),
                    r.centers ? figure(r.ms_per_1000(r.center_a_ns), "%.1f").c_str() : "-",
                    r.centers && r.two_hosts ? figure(r.ms_per_1000(r.center_b_ns), "%.1f").c_str() : "-",
                    ratio(in_rows, r, "ZeroMQ", &row::posts).c_str(),
                    ratio(in_rows, r, "ZeroMQ", &row::delivered).c_str(),
                    ratio(in_rows, r, "ZeroMQ", &row::median_us).c_str(),
                    udp ? ratio(in_rows, r, "raw SSM", &row::posts).c_str() : "-",
                    udp ? ratio(in_rows, r, "raw SSM", &row::delivered).c_str() : "-",
                    udp ? ratio(in_rows, r, "raw SSM", &row::median_us).c_str() : "-");
    }
    std::fflush(stdout);
}

// Whether the publisher's side (its process and its host's center) costs the same per value
// whatever the number of subscribers: its ms per 1000 values and datagrams per value at each
// N, and the largest N over the smallest.
void print_flatness(const std::vector<row>& in_rows, const std::vector<unsigned>& in_fan_outs) {
    if (in_fan_outs.size() < 2) return;
    std::printf("\npublisher side (publisher process + host A's center, ms CPU per 1000 values; datagrams per value)"
                " by N:\n");
    for (const row& first : in_rows) {
        if (first.n != in_fan_outs.front()) continue;
        std::string line = first.hosts + ", " + first.transport + ", " + std::to_string(first.size) + " B:";
        const row* last = nullptr;
        for (unsigned n : in_fan_outs)
            for (const row& r : in_rows)
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

std::vector<unsigned> parse_fan_outs(const std::string& in_text) {
    if (in_text == "all") return {1, 4, 16};
    std::vector<unsigned> out;
    std::istringstream in(in_text);
    std::string n;
    while (std::getline(in, n, ','))
        if (std::atoi(n.c_str()) > 0) out.push_back(static_cast<unsigned>(std::atoi(n.c_str())));
    return out;
}

int run_all(unsigned long in_paced, unsigned long in_burst, const std::string& in_log,
            const std::vector<unsigned>& in_fan_outs, unsigned in_rounds) {
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private host: %s\n", why.c_str());
        return 1;
    }
    in_rounds = std::max(1u, in_rounds);
    const std::string self = self_path();
    const time_dir times("information_bench_times");
    const std::string& dir = times.path();
    std::printf("information: %lu paced values per row and system (every 2 ms, above 4 KiB every 4 ms), bursts of\n"
                "%lu (%lu above 4 KiB), in %u rounds with the systems taking turns; Kova: service and center per\n"
                "private host, LOG=%s, one subscriber per process, posting model\n",
                in_paced, in_burst, std::max(1ul, in_burst / 4), in_rounds, in_log.c_str());
    bench_host a(in_log, "information_bench"), h_b(in_log, "information_bench");
    if (!a.start() || !h_b.start() || !kova_test::join_hosts(a.tree.host(), h_b.tree.host(), c_ip_a, c_ip_b)) {
        std::printf("the hosts did not start\n");
        return 1;
    }
    bench b(dir, a.tree.host(), h_b.tree.host());
    kova_test::child_process kova_tcp_pub =
        a.tree.host().spawn({self, "--kova-pub", std::to_string(c_domain), std::to_string(c_tcp_stub)});
    kova_test::child_process kova_udp_pub =
        a.tree.host().spawn({self, "--kova-pub", std::to_string(c_domain), std::to_string(c_udp_stub)});
    kova_test::child_process raw_pub =
        a.tree.host().spawn({self, "--raw-pub", c_ip_a, c_group, std::to_string(c_group_port)});
    for (kova_test::child_process* p : {&kova_tcp_pub, &kova_udp_pub, &raw_pub})
        if (answer(*p, "", "ready", 60.0).empty()) {
            std::printf("a publisher did not start: %s\n", p->output().c_str());
            return 1;
        }
#ifdef KOVA_BENCH_ZMQ
    const std::string ipc = "ipc://" + dir + "/pub.ipc", tcp = "tcp://" + c_ip_a + ":" + std::to_string(c_zmq_port);
    kova_test::child_process zmq_pub = a.tree.host().spawn({self, "--zmq-pub", ipc, tcp});
    if (answer(zmq_pub, "", "ready", 30.0).empty()) std::printf("the ZeroMQ publisher did not start\n");
#else
    const std::string ipc, tcp;
    std::printf("(ZeroMQ rows left out: built without libzmq3-dev)\n");
#endif
    struct scope {
        const char* name;
        kova_test::private_host* host;
        std::string kova_ip, zmq_endpoint, zmq_name, interface_ip;
    };
    const scope scopes[] = {{"one host", &a.tree.host(), "127.0.0.1", ipc, "ZeroMQ ipc", c_ip_a},
                            {"two hosts", &h_b.tree.host(), c_ip_a, tcp, "ZeroMQ tcp", c_ip_b}};
    const std::string domain = std::to_string(c_domain);
    std::vector<row> rows;
    const std::int64_t began = now_ns();
    for (const scope& sc : scopes)
        for (unsigned n : in_fan_outs) {
            std::vector<system_under_test> systems(3);
            systems[0] = {"Kova TCP", &kova_tcp_pub, {}, true};
            systems[0].subs.start(*sc.host, {self, "--kova-sub", domain, sc.kova_ip, std::to_string(c_tcp_stub), "0", "1"},
                                  n, 1);
            systems[1] = {"Kova UDP", &kova_udp_pub, {}, true};
            systems[1].subs.start(*sc.host, {self, "--kova-sub", domain, sc.kova_ip, std::to_string(c_udp_stub), "1", "1"},
                                  n, 1);
            systems[2] = {"raw SSM", &raw_pub, {}, false};
            systems[2].subs.start(
                *sc.host, {self, "--raw-sub", c_group, c_ip_a, sc.interface_ip, std::to_string(c_group_port), "1"}, n, 1);
#ifdef KOVA_BENCH_ZMQ
            systems.push_back({sc.zmq_name, &zmq_pub, {}, false});
            systems.back().subs.start(*sc.host, {self, "--zmq-sub", sc.zmq_endpoint, "1"}, n, 1);
            warm_up(zmq_pub, systems.back().subs, dir);
#endif
            for (size_t size : c_sizes) {
                std::vector<row> group(systems.size());
                for (size_t s = 0; s < systems.size(); ++s) {
                    group[s].hosts = sc.name;
                    group[s].transport = systems[s].name;
                    group[s].n = n;
                    group[s].size = size;
                    group[s].two_hosts = sc.host != &a.tree.host();
                    group[s].failed = systems[s].subs.processes.empty();
                }
                const unsigned long paced = std::max(1ul, in_paced / in_rounds);
                const unsigned long burst = std::max(1ul, (size > 4096 ? in_burst / 4 : in_burst) / in_rounds);
                for (unsigned round = 0; round < in_rounds; ++round)
                    for (size_t turn = 0; turn < systems.size(); ++turn) {
                        // Every other round the other way round: no system always goes first.
                        const size_t s = round % 2 ? systems.size() - 1 - turn : turn;
                        b.measure(systems[s], paced, burst, group[s]);
                    }
                for (row& r : group) {
                    r.finish();
                    rows.push_back(r);
                }
                std::printf("%s N=%u %zu B done (%.0f s in)\n", sc.name, n, size, (now_ns() - began) / 1e9);
                std::fflush(stdout);
            }
            for (system_under_test& s : systems) s.subs.stop();
        }
    print_table(rows);
    std::printf("Z*: Kova over ZeroMQ, R*: Kova UDP over the raw multicast sender, of the same hosts, N and payload\n"
                "(posts/s, deliv/s: above 1 is faster; latency: below 1 is faster). pub ms, ctrA, ctrB: ms CPU per\n"
                "1000 values of the publisher process and of the centers of host A and B.\n");
    print_flatness(rows, in_fan_outs);
    std::printf("took %.0f s\n", (now_ns() - began) / 1e9);
    for (kova_test::child_process* p : {&kova_tcp_pub, &kova_udp_pub, &raw_pub}) {
        p->close_input();
        p->wait(30);
    }
#ifdef KOVA_BENCH_ZMQ
    zmq_pub.close_input();
    zmq_pub.wait(30);
#endif
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
#ifdef KOVA_BENCH_ZMQ
    if (argc >= 3 && std::strcmp(argv[1], "--zmq-pub") == 0) return run_zmq_pub(argc - 2, argv + 2, number);
    if (argc == 4 && std::strcmp(argv[1], "--zmq-sub") == 0)
        return run_zmq_sub<recorder>(argv[2], static_cast<unsigned>(std::atoi(argv[3])));
#endif
    return run_all(argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : 300,
                   argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 1000, argc >= 4 ? argv[3] : "yes",
                   parse_fan_outs(argc >= 5 ? argv[4] : "1,4,16"),
                   argc >= 6 ? static_cast<unsigned>(std::atoi(argv[5])) : 2);
}
