// Event fan-out through the real service and centers in private hosts (fresh network
// namespaces and /dev/shm, joined by a veth pair; needs root), beside ZeroMQ PUB/SUB with the
// same subscribers and payloads (ipc:// on one host, tcp:// over the same veth across two,
// high-water marks 0 so that nothing is dropped).
//
// One publisher on host A; N = 1, 4, 16 subscribers on host A (one host) or host B (two
// hosts), as N processes with one subscriber each or as one process with N of them; payloads
// of 0 B, 1 KiB and 60 KiB. Per row:
//   publish cost   the publisher's time in event() (zmq_send), median of the paced phase;
//   latency        publish to on_event (to the receive's return), median and p99 over every
//                  subscriber of a paced phase (one event every interval);
//   rate           events per second from the first publish of a burst to the moment the last
//                  subscriber has received the whole burst, each in order and with its size.
// Kova's publisher tries an event again while the packet memory is full; ZeroMQ queues without
// bound. Times are CLOCK_MONOTONIC, shared by every process of the machine.
//
//   event_bench [paced] [burst] [log]   the whole comparison (defaults 500 paced events, 1000
//                                       in a burst (a quarter of that at 60 KiB), LOG=yes)
//   event_bench --kova-pub <domain>                  (inside a host) the event stub
//   event_bench --kova-sub <domain> <ip> <count>     count event proxies of the stub
//   event_bench --zmq-pub <endpoint>...              a PUB socket bound to each endpoint
//   event_bench --zmq-sub <endpoint> <count>         count SUB sockets, a thread each
// The processes talk as bench_series.h says (the run number is not used here).
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Kova/kova.h>

#include "bench_series.h"

namespace {

using namespace kova_bench;

const Kova::domain_t c_domain = 7320;
const Kova::object_id_t c_stub_id = 1;
const Kova::msg_code_t c_code = 1;
const Kova::pksize_t c_sizes[] = {0, 1024, 61440};
const unsigned c_fan_outs[] = {1, 4, 16};
const std::string c_ip_a = "10.231.19.1";
const std::string c_ip_b = "10.231.19.2";
const int c_zmq_port = 7321;

// ---- What both publishers do ----

// Event number in_k: its number in the first 4 bytes, as far as the size reaches.
void number(std::vector<unsigned char>& io_buf, std::uint32_t in_k, std::uint32_t) {
    std::memcpy(io_buf.data(), &in_k, std::min<size_t>(4, io_buf.size()));
}

// ---- What both subscriber processes do ----

// The receive times of one subscriber, and whether each came in order with its size.
class recorder {
public:
    void arm(size_t in_size, size_t in_count, std::uint32_t) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_size = in_size;
        m_times.assign(in_count, 0);
        m_got = 0;
        m_in_order = true;
    }
    // One payload arrived; false once the expected count is complete.
    bool arrive(const void* pin_data, size_t in_size) {
        const std::int64_t t = now_ns();
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_got >= m_times.size()) return false;
        std::uint32_t k = static_cast<std::uint32_t>(m_got);
        if (in_size >= 4) std::memcpy(&k, pin_data, 4);
        if (in_size != m_size || k != m_got) m_in_order = false;
        m_times[m_got++] = t;
        return m_got == m_times.size();
    }
    size_t got() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_got;
    }
    bool in_order() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_in_order && m_got == m_times.size();
    }
    bool save(const std::string& in_path) {
        std::lock_guard<std::mutex> hold(m_lock);
        return write_times(in_path, m_times, m_got);
    }

private:
    std::mutex m_lock;
    size_t m_size = 0, m_got = 0;
    std::vector<std::int64_t> m_times;
    bool m_in_order = true;
};

// ---- Kova ----

class bench_stub : public Kova::kova_object_event {
public:
    bench_stub() : kova_object_event(c_code) {}
    using kova_object_event::event;
    using kova_object_event::get_client_count;
};

int run_kova_pub(Kova::domain_t in_domain) {
    Kova::initialize();
    int status = 0;
    {
        bench_stub stub;
        const Kova::kova_err_t err = stub.create(in_domain, c_stub_id);
        if (err != Kova::c_kova_success) {
            say("create failed " + std::to_string(err));
            status = 1;
        } else {
            say("ready");
            status = serve_publisher(number, [&](const std::vector<unsigned char>& in_buf) {
                const void* p = in_buf.data();
                const Kova::pksize_t n = static_cast<Kova::pksize_t>(in_buf.size());
                return send_while_memory_full([&] { return n ? stub.event(p, n) : stub.event(); });
            });
        }
        stub.destroy();
    }
    Kova::finalize();
    return status;
}

class bench_proxy : public Kova::kova_proxy_object_event {
public:
    bench_proxy(recorder& in_recorder, completion& in_done)
        : kova_proxy_object_event(c_code), m_recorder(in_recorder), m_done(in_done) {}

private:
    void on_event(const void* pin_data, const Kova::pksize_t& in_size, const double&) override {
        if (m_recorder.arrive(pin_data, in_size)) m_done.one_done();
    }
    recorder& m_recorder;
    completion& m_done;
};

int run_kova_sub(Kova::domain_t in_domain, const char* in_ip, unsigned in_count) {
    return run_kova_subscribers<bench_proxy, recorder>(in_domain, in_ip, c_stub_id, in_count, [](bench_proxy& in_p) {
        return in_p.async_connect_return(in_p.async_connect(5.0), nullptr);
    });
}

// ---- ZeroMQ ----

// ---- The comparison ----

std::string size_text(size_t in_size) {
    return in_size >= 1024 ? std::to_string(in_size / 1024) + " KiB" : std::to_string(in_size) + " B";
}

struct row {
    double cost_us = 0, cost_p99_us = 0, median_us = 0, p99_us = 0, rate = 0;
    bool in_order = false, ok = false;
};

class bench {
public:
    bench(unsigned long in_paced, unsigned long in_burst, const std::string& in_dir)
        : m_paced(in_paced), m_burst(in_burst), m_dir(in_dir) {}

    // Runs the paced phase and the burst through in_pub to in_subs.
    row measure(kova_test::child_process& in_pub, subscribers& in_subs, size_t in_size) {
        row r;
        const std::string sent = m_dir + "/sent", got = m_dir + "/got";
        // Paced: one event every 2 ms, 60 KiB every 4 ms.
        const long interval_us = in_size > 4096 ? 4000 : 2000;
        if (!in_subs.arm(in_size, m_paced, 0, got)) return r;
        const publish_answer lat = publish(in_pub, lat_command(in_size, m_paced, interval_us, 0, sent));
        if (!lat.ok) return r;
        r.cost_us = lat.cost_ns / 1e3;
        r.cost_p99_us = lat.cost_p99_ns / 1e3;
        bool in_order = in_subs.collect();
        std::vector<double> latencies;
        const std::vector<std::int64_t> send_times = read_times(sent);
        in_subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            for (size_t i = 0; i < in_times.size() && i < send_times.size(); ++i)
                latencies.push_back((in_times[i] - send_times[i]) / 1e3);
        });
        if (latencies.empty()) return r;
        const spread l = summarise(latencies);
        r.median_us = l.median;
        r.p99_us = l.p99;

        // The burst: as fast as the publisher goes.
        const unsigned long burst = in_size > 4096 ? std::max(1ul, m_burst / 4) : m_burst;
        if (!in_subs.arm(in_size, burst, 0, got) || !publish(in_pub, rate_command(in_size, burst, 0, sent)).ok)
            return r;
        in_order = in_subs.collect() && in_order;
        const std::vector<std::int64_t> burst_sent = read_times(sent);
        std::int64_t last = 0;
        in_subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            if (!in_times.empty()) last = std::max(last, in_times.back());
        });
        if (burst_sent.empty() || last <= burst_sent.front()) return r;
        r.rate = burst / ((last - burst_sent.front()) / 1e9);
        r.in_order = in_order;
        r.ok = true;
        return r;
    }

private:
    unsigned long m_paced, m_burst;
    std::string m_dir;
};

void print_header() {
    std::printf("| %-9s | %-14s | %3s | %7s | %-15s | %8s | %8s | %9s | %9s | %10s | %8s |\n", "hosts", "subscribers",
                "N", "payload", "transport", "pub cost", "cost p99", "latency", "lat p99", "events/s", "in order");
    std::printf("|-----------|----------------|-----|---------|-----------------|----------|----------|-----------|"
                "-----------|------------|----------|\n");
}

void print_row(const char* in_hosts, const char* in_layout, unsigned in_n, size_t in_size, const std::string& in_what,
               const row& in_r) {
    if (!in_r.ok) {
        std::printf("| %-9s | %-14s | %3u | %7s | %-15s | %8s | %8s | %9s | %9s | %10s | %8s |\n", in_hosts, in_layout,
                    in_n, size_text(in_size).c_str(), in_what.c_str(), "failed", "-", "-", "-", "-", "-");
    } else {
        std::printf("| %-9s | %-14s | %3u | %7s | %-15s | %8.1f | %8.1f | %9.1f | %9.1f | %10.0f | %8s |\n", in_hosts,
                    in_layout, in_n, size_text(in_size).c_str(), in_what.c_str(), in_r.cost_us, in_r.cost_p99_us,
                    in_r.median_us, in_r.p99_us, in_r.rate, in_r.in_order ? "yes" : "NO");
    }
    std::fflush(stdout);
}

// in_kova: Kova subscribers of the stub on in_ip; else ZeroMQ subscribers of in_ip's endpoint.
subscribers start_subscribers(kova_test::private_host& in_host, const std::string& in_self, bool in_kova,
                              const std::string& in_where, unsigned in_n, bool in_one_process) {
    subscribers s;
    const std::string count = std::to_string(in_one_process ? in_n : 1);
    s.start(in_host,
            in_kova ? std::vector<std::string>{in_self, "--kova-sub", std::to_string(c_domain), in_where, count}
                    : std::vector<std::string>{in_self, "--zmq-sub", in_where, count},
            in_one_process ? 1 : in_n, in_one_process ? in_n : 1);
    return s;
}

int run_all(unsigned long in_paced, unsigned long in_burst, const std::string& in_log) {
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private host: %s\n", why.c_str());
        return 1;
    }
    const std::string self = self_path();
    const time_dir times("event_bench_times");
    const std::string& dir = times.path();
    bench b(in_paced, in_burst, dir);
    std::printf("event fan-out: %lu paced events per row (every 2 ms, 60 KiB every 4 ms), bursts of %lu (%lu at 60 KiB);\n"
                "Kova: service and center per private host, LOG=%s, 8 listener threads per process; times in us\n",
                in_paced, in_burst, std::max(1ul, in_burst / 4), in_log.c_str());
    bench_host a(in_log, "event_bench"), h_b(in_log, "event_bench");
    if (!a.start() || !h_b.start() || !kova_test::join_hosts(a.tree.host(), h_b.tree.host(), c_ip_a, c_ip_b)) {
        std::printf("the hosts did not start\n");
        return 1;
    }
    kova_test::child_process kova_pub = a.tree.host().spawn({self, "--kova-pub", std::to_string(c_domain)});
    if (answer(kova_pub, "", "ready", 60.0).empty()) {
        std::printf("the publisher did not start: %s\n", kova_pub.output().c_str());
        return 1;
    }
#ifdef KOVA_BENCH_ZMQ
    const std::string ipc = "ipc://" + dir + "/pub.ipc", tcp = "tcp://" + c_ip_a + ":" + std::to_string(c_zmq_port);
    kova_test::child_process zmq_pub = a.tree.host().spawn({self, "--zmq-pub", ipc, tcp});
    if (answer(zmq_pub, "", "ready", 30.0).empty()) std::printf("the ZeroMQ publisher did not start\n");
#endif
    print_header();
    struct scope {
        const char* name;
        kova_test::private_host* host;
        std::string kova_ip, zmq_endpoint, zmq_name;
    };
    const scope scopes[] = {{"one host", &a.tree.host(), "127.0.0.1",
#ifdef KOVA_BENCH_ZMQ
                             ipc,
#else
                             "",
#endif
                             "ZeroMQ ipc"},
                            {"two hosts", &h_b.tree.host(), c_ip_a,
#ifdef KOVA_BENCH_ZMQ
                             tcp,
#else
                             "",
#endif
                             "ZeroMQ tcp"}};
    for (const scope& sc : scopes)
        for (bool one_process : {false, true})
            for (unsigned n : c_fan_outs) {
                const char* layout = one_process ? "1 process" : "N processes";
                {
                    subscribers subs = start_subscribers(*sc.host, self, true, sc.kova_ip, n, one_process);
                    for (size_t size : c_sizes)
                        print_row(sc.name, layout, n, size, "Kova event",
                                  subs.processes.empty() ? row() : b.measure(kova_pub, subs, size));
                    subs.stop();
                }
#ifdef KOVA_BENCH_ZMQ
                subscribers subs = start_subscribers(*sc.host, self, false, sc.zmq_endpoint, n, one_process);
                warm_up(zmq_pub, subs, dir);
                for (size_t size : c_sizes)
                    print_row(sc.name, layout, n, size, sc.zmq_name,
                              subs.processes.empty() ? row() : b.measure(zmq_pub, subs, size));
                subs.stop();
#endif
            }
    kova_pub.close_input();
    kova_pub.wait(30);
#ifdef KOVA_BENCH_ZMQ
    zmq_pub.close_input();
    zmq_pub.wait(30);
#endif
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--kova-pub") == 0)
        return run_kova_pub(static_cast<Kova::domain_t>(std::atoi(argv[2])));
    if (argc == 5 && std::strcmp(argv[1], "--kova-sub") == 0)
        return run_kova_sub(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3],
                            static_cast<unsigned>(std::atoi(argv[4])));
#ifdef KOVA_BENCH_ZMQ
    if (argc >= 3 && std::strcmp(argv[1], "--zmq-pub") == 0) return run_zmq_pub(argc - 2, argv + 2, number);
    if (argc == 4 && std::strcmp(argv[1], "--zmq-sub") == 0)
        return run_zmq_sub<recorder>(argv[2], static_cast<unsigned>(std::atoi(argv[3])));
#endif
    return run_all(argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : 500,
                   argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 1000, argc >= 4 ? argv[3] : "yes");
}
