// Event fan-out through the real service and centers in private hosts (fresh network
// namespaces and /dev/shm, joined by a veth pair; needs root), beside ZeroMQ PUB/SUB with the
// same subscribers and payloads (ipc:// on one host, tcp:// over the same veth across two),
// once unbounded (high-water marks 0: nothing dropped) and once with its default high-water
// mark of 1000 (what a PUB/SUB user gets: beyond it the publisher drops).
//
// One publisher on host A; N = 1, 4, 16 subscribers on host A (one host) or host B (two
// hosts), as N processes with one subscriber each or as one process with N of them; payloads
// of 0 B, 1 KiB and 60 KiB. The three systems of a row take turns (bench_series.h), each with
// a paced phase (one event every 2 ms, 60 KiB every 4 ms: the publisher's time in event(), the
// publish-to-on_event latency) and a burst (as fast as the publisher goes: what arrived, in
// order or not, and the events per second each subscriber received, from the first publish to
// its last arrival). Kova's publisher tries an event again while the packet memory is full.
//
//   event_bench [options]     the comparison; options (bench_series.h): --paced n (500 a row),
//                             --burst n (5000, a quarter at 60 KiB), --log yes|no (yes),
//                             --hosts one|two|all, --n 1,4,16, --sizes 0,1024,61440,
//                             --layout processes|one|all, --rounds n (2; counts shared out)
//   event_bench --syscalls <events> [options]
//                             one host, Kova alone, a burst of <events> (--sizes: the first,
//                             default 1 KiB) to N subscribers (--n: the largest, default 16;
//                             --layout one: in one process): flock and futex calls, context
//                             switches and CPU time per event of the publisher, the
//                             subscribers, the center and the service (perf stat, attached;
//                             EVENT_BENCH_PERF_RECORD=<file> records a profile as well)
//   event_bench --kova-pub <domain>                  (inside a host) the event stub
//   event_bench --kova-sub <domain> <ip> <count>     count event proxies of the stub
//   event_bench --zmq-pub|--zmq-sub ...              the ZeroMQ roles (bench_series.h)
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Kova/kova.h>

#include "bench_series.h"
#include "bench_syscalls.h"

namespace {

using namespace kova_bench;

const Kova::domain_t c_domain = 7320;
const Kova::object_id_t c_stub_id = 1;
const Kova::msg_code_t c_code = 1;
const std::vector<size_t> c_sizes{0, 1024, 61440};
const std::string c_ip_a = "10.231.19.1";
const std::string c_ip_b = "10.231.19.2";
const int c_zmq_port = 7321;  // and the next one for the default high-water mark

// ---- Kova ----

class bench_stub : public Kova::kova_object_event {
public:
    bench_stub() : kova_object_event(c_code) {}
    using kova_object_event::event;
    using kova_object_event::get_client_count;
};

int run_kova_pub(Kova::domain_t in_domain) {
    return run_kova_publisher<bench_stub>([&](bench_stub& io_stub) { return io_stub.create(in_domain, c_stub_id); },
                                          [](bench_stub& io_stub, const void* pin_data, Kova::pksize_t in_size) {
                                              return in_size ? io_stub.event(pin_data, in_size) : io_stub.event();
                                          });
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
    return run_kova_subscribers<bench_proxy>(in_domain, in_ip, c_stub_id, in_count, [](bench_proxy& in_p) {
        return in_p.async_connect_return(in_p.async_connect(5.0), nullptr);
    });
}

// ---- The comparison ----

// N subscribers in in_host as N processes or one: Kova's of the stub on in_where, or
// ZeroMQ's (high-water mark in_hwm) of the endpoint in_where.
void start_subscribers(system_under_test& io_sys, kova_test::private_host& in_host, const std::string& in_where,
                       int in_hwm, unsigned in_n, bool in_one_process) {
    const std::string count = std::to_string(in_one_process ? in_n : 1);
    io_sys.subs.start(in_host,
                      io_sys.kind == "kova"
                          ? std::vector<std::string>{self_path(), "--kova-sub", std::to_string(c_domain), in_where, count}
                          : std::vector<std::string>{self_path(), "--zmq-sub", "sub", std::to_string(in_hwm), in_where,
                                                     count},
                      in_one_process ? 1 : in_n, in_one_process ? in_n : 1);
}

int run_all(const series_options& in_o) {
    if (!private_hosts_available()) return 1;
    const time_dir times("event_bench_times");
    const std::string& dir = times.path();
    print_plan("event fan-out (events)", in_o, "8 listener threads per process");
    bench_hosts hosts(in_o.log, "event_bench", in_o.two_hosts, c_ip_a, c_ip_b);
    if (!hosts.ok()) return 1;
    kova_test::child_process kova_pub = hosts.a().spawn({self_path(), "--kova-pub", std::to_string(c_domain)});
    if (answer(kova_pub, "", "ready", 60.0).empty()) {
        std::printf("the publisher did not start: %s\n", kova_pub.output().c_str());
        return 1;
    }
    // The ZeroMQ publishers: unbounded, and with the default high-water mark.
    const int hwms[] = {c_zmq_unbounded, c_zmq_default_hwm};
    kova_test::child_process zmq_pubs[2];
    std::string ipc[2], tcp[2];
    for (int z = 0; z < 2; ++z) {
        ipc[z] = "ipc://" + dir + "/pub" + std::to_string(hwms[z]) + ".ipc";
        tcp[z] = "tcp://" + c_ip_a + ":" + std::to_string(c_zmq_port + z);
        std::vector<std::string> endpoints{ipc[z]};
        if (in_o.two_hosts) endpoints.push_back(tcp[z]);
        zmq_pubs[z] = start_zmq_pub(hosts.a(), "pub", hwms[z], endpoints);
    }
    series_table<series_row> table("events");
    table.add_ratios("zmq", "Z");
    table.print_head();
    series s(in_o, dir);
    const std::vector<size_t> sizes = in_o.sizes.empty() ? c_sizes : in_o.sizes;
    for (bool two : {false, true}) {
        if (two ? !in_o.two_hosts : !in_o.one_host) continue;
        kova_test::private_host& sub_host = two ? hosts.b() : hosts.a();
        const char* scope = two ? "two hosts" : "one host";
        for (bool one_process : {false, true}) {
            if (one_process ? !in_o.one_process : !in_o.processes) continue;
            for (unsigned n : in_o.fan_outs) {
                std::vector<system_under_test> systems(1);
                systems[0].name = "Kova event";
                systems[0].kind = "kova";
                systems[0].pub = &kova_pub;
                start_subscribers(systems[0], sub_host, two ? c_ip_a : "127.0.0.1", 0, n, one_process);
                for (int z = 0; z < 2; ++z) {
                    if (zmq_pubs[z].pid() <= 0) continue;
                    systems.emplace_back();
                    system_under_test& sys = systems.back();
                    sys.name = std::string(two ? "ZMQ tcp" : "ZMQ ipc") + " hwm " + std::to_string(hwms[z]);
                    sys.kind = z == 0 ? "zmq" : "zmq1000";
                    sys.pub = &zmq_pubs[z];
                    start_subscribers(sys, sub_host, two ? tcp[z] : ipc[z], hwms[z], n, one_process);
#ifdef KOVA_BENCH_ZMQ
                    warm_up(zmq_pubs[z], sys.subs, dir);
#endif
                }
                series_row key;
                key.hosts = scope;
                key.layout = one_process ? "1 process" : "N processes";
                key.n = n;
                for (size_t size : sizes) {
                    key.size = size;
                    table.print(s.run_rows(systems, key, [](system_under_test&, series_row&, bool) {}));
                }
                for (system_under_test& sys : systems) sys.subs.stop();
            }
        }
    }
    print_ratio_legend();
    stop_publisher(kova_pub);
    for (auto& z : zmq_pubs) stop_publisher(z);
    return 0;
}

// ---- Kernel round trips per event ----

int run_syscalls(unsigned long in_events, const series_options& in_o) {
    if (!private_hosts_available()) return 1;
    const unsigned n = in_o.fan_outs.empty() ? 16 : *std::max_element(in_o.fan_outs.begin(), in_o.fan_outs.end());
    const size_t size = in_o.sizes.empty() ? 1024 : in_o.sizes.front();
    const bool one_process = !in_o.processes;
    const time_dir times("event_bench_times");
    const std::string& dir = times.path();
    bench_hosts hosts(in_o.log, "event_bench", false, c_ip_a, c_ip_b);
    if (!hosts.ok()) return 1;
    kova_test::child_process pub = hosts.a().spawn({self_path(), "--kova-pub", std::to_string(c_domain)});
    if (answer(pub, "", "ready", 60.0).empty()) {
        std::printf("the publisher did not start: %s\n", pub.output().c_str());
        return 1;
    }
    system_under_test sys;
    sys.kind = "kova";
    start_subscribers(sys, hosts.a(), "127.0.0.1", 0, n, one_process);
    if (sys.subs.processes.empty()) return 1;
    // A first burst, so that every thread and mapping the events need is there before perf
    // attaches (it counts the threads it finds).
    const std::string sent = dir + "/sent", got = dir + "/got";
    if (!sys.subs.arm(size, 200, 1, got) || !publish(pub, rate_command(size, 200, 1, sent)).ok) return 1;
    sys.subs.collect();
    syscall_counter counter;
    counter.start(hosts.a().processes(), std::getenv("EVENT_BENCH_PERF_RECORD"));
    publish_answer burst;
    collected c;
    if (sys.subs.arm(size, in_events, 2, got)) {
        burst = publish(pub, rate_command(size, in_events, 2, sent));
        c = sys.subs.collect();
    }
    std::map<pid_t, std::string> names;
    names[pub.pid()] = "publisher";
    for (auto& p : sys.subs.processes) names[p.pid()] = "subscribers";
    const std::map<std::string, syscall_counts> counts = counter.stop([&](pid_t in_pid) {
        if (names.count(in_pid)) return names[in_pid];
        return host_program_of(in_pid);
    });
    std::printf("per event of a burst of %lu events of %s to %u subscribers (%s) on one host, LOG=%s; perf stat\n"
                "attached to every process of the host; received %zu of %lu, the publisher's burst took %.0f ms,\n"
                "its event() p99 %.1f us%s\n",
                in_events, size_text(size).c_str(), n, one_process ? "one process" : "a process each",
                in_o.log.c_str(), c.received, in_events * n, burst.total_ns / 1e6, burst.cost_p99_ns / 1e3,
                c.in_order ? "" : "; NOT in order");
    std::printf("| process     | flock | futex | context switches | CPU us |\n"
                "|-------------|-------|-------|------------------|--------|\n");
    for (const auto& p : counts)
        std::printf("| %-11s | %5.1f | %5.1f | %16.1f | %6.1f |\n", p.first.c_str(), p.second.flock / in_events,
                    p.second.futex / in_events, p.second.switches / in_events, p.second.cpu_ms * 1000 / in_events);
    sys.subs.stop();
    stop_publisher(pub);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--kova-pub") == 0)
        return run_kova_pub(static_cast<Kova::domain_t>(std::atoi(argv[2])));
    if (argc == 5 && std::strcmp(argv[1], "--kova-sub") == 0)
        return run_kova_sub(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3],
                            static_cast<unsigned>(std::atoi(argv[4])));
    const int zmq = run_zmq_role(argc, argv);
    if (zmq >= 0) return zmq;
    series_options o;
    if (argc >= 3 && std::strcmp(argv[1], "--syscalls") == 0)
        return parse_options(argc, argv, 3, o) ? run_syscalls(std::max(1ul, std::strtoul(argv[2], nullptr, 10)), o)
                                               : 2;
    return parse_options(argc, argv, 1, o) ? run_all(o) : 2;
}
