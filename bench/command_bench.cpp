// Commands from a proxy process to a stub process through the real service and center, on one
// private host and across two joined by a veth pair (fresh network namespaces and /dev/shm;
// needs root), beside ZeroMQ PUSH/PULL with the same payloads (ipc:// on one host, tcp:// over
// the same veth across two), unbounded (high-water marks 0) and with its default high-water
// mark of 1000 (beyond which PUSH blocks).
//
// Rows:
//   - the posting model, as 86 (TCP) and 87 (UDP between hosts), 8 B, 1 KiB and 60 KiB, the
//     systems taking turns (bench_series.h): a paced phase (one post every 2 ms, 60 KiB every
//     4 ms: post-to-on_sync latency, the post's own time) and a burst as fast as the proxy posts
//     (what arrived, in order or not, whether the last came, commands per second);
//   - the timer model at 1, 10 and 100 ms: commands counted against the expected number, p99 of
//     |interval between arrivals - period|, CPU of the proxy and of the center(s), beside a
//     clock_nanosleep periodic ZeroMQ sender as the floor of the jitter.
// Kova's proxy posts again while the packet memory is full.
//
//   command_bench [options] [--seconds s]
//       options (bench_series.h): --paced n (1000 a row), --burst n (5000, a quarter at 60 KiB),
//       --log yes|no (yes), --hosts one|two|all, --sizes 8,1024,61440, --kova tcp|udp|all,
//       --rounds n (2); --seconds: per timer row (10; 0 leaves the timer rows out)
//   command_bench --kova-stub <domain> <stub>             (inside a host) a stub of code 1
//   command_bench --kova-proxy <domain> <stub ip> <stub> <udp>  a proxy posting on its input
//   command_bench --stub <domain>          the timer rows' stub 1; "stats <period us>" on its
//                                          input prints what came since the last
//   command_bench --proxy <domain> <stub ip> <udp> <size> timer <period ms> <seconds>
//   command_bench --zmq-pull <endpoint>    the floor's receiving side, same "stats" input
//   command_bench --zmq-pub|--zmq-sub ...  the ZeroMQ roles of the posting rows
#include <arpa/inet.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

const Kova::domain_t c_domain = 7330;
const Kova::msg_code_t c_code = 1;
const Kova::object_id_t c_tcp_stub = 1;  // also the timer rows' stub
const Kova::object_id_t c_udp_stub = 2;
const std::vector<size_t> c_sizes{8, 1024, 61440};
const std::string c_ip_a = "10.233.30.1";
const std::string c_ip_b = "10.233.30.2";
const int c_zmq_port = 7331;  // and the next one for the default high-water mark

// CPU seconds a process used so far (user and system), from /proc.
double cpu_s(pid_t in_pid) {
    std::ifstream f("/proc/" + std::to_string(in_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- The posting rows: a stub records, a proxy posts ----

class recording_stub : public Kova::kova_object_command {
public:
    recording_stub(recorder& in_recorder, completion& in_done)
        : kova_object_command(c_code), m_recorder(in_recorder), m_done(in_done) {}

private:
    void on_sync(Kova::client_addr_t const&, Kova::sender_sync_model_t const&, double const&, double const&,
                 const void* pin_buffer, Kova::pksize_t in_size) override {
        if (m_recorder.arrive(pin_buffer, in_size)) m_done.one_done();
    }
    recorder& m_recorder;
    completion& m_done;
};

int run_kova_stub(Kova::domain_t in_domain, Kova::object_id_t in_stub) {
    Kova::initialize();
    std::vector<recorder> recorders(1);
    completion done;
    int status = 0;
    {
        recording_stub stub(recorders[0], done);
        const Kova::kova_err_t err = stub.create(in_domain, in_stub);
        if (err != Kova::c_kova_success) {
            say("create failed " + std::to_string(err));
            status = 1;
        } else {
            say("ready");
            serve_subscribers(recorders, done);
        }
        stub.destroy();
    }
    Kova::finalize();
    return status;
}

// Creates in_proxy against stub in_stub on in_ip and connects it once the stub is there. A
// connect meets a busy stub process as a refusal: tried again a few times, as an application
// would.
Kova::kova_err_t connect_proxy(Kova::kova_proxy_object_command& in_proxy, Kova::domain_t in_domain, const char* in_ip,
                               Kova::object_id_t in_stub) {
    Kova::kova_err_t err = in_proxy.create(in_domain, inet_addr(in_ip), in_stub);
    const std::int64_t until = now_ns() + 20000000000LL;
    while (err == Kova::c_kova_success && !in_proxy.is_live() && now_ns() < until) usleep(1000);
    for (int i = 0; err == Kova::c_kova_success && i < 10; ++i) {
        const Kova::kova_err_t answer = in_proxy.async_connect_return(in_proxy.async_connect(5.0), nullptr);
        if (answer == Kova::c_kova_success) break;
        if (i == 9 || answer != Kova::c_kova_err_busy_node) err = answer;
        usleep(100000);
    }
    return err;
}

class bench_proxy : public Kova::kova_proxy_object_command {
public:
    bench_proxy() : kova_proxy_object_command(c_code) {}
};

int run_kova_proxy(Kova::domain_t in_domain, const char* in_ip, Kova::object_id_t in_stub, bool in_udp) {
    return run_kova_publisher<bench_proxy>(
        [&](bench_proxy& io_proxy) {
            const Kova::kova_err_t err = connect_proxy(io_proxy, in_domain, in_ip, in_stub);
            if (err == Kova::c_kova_success) io_proxy.set_sync_model(in_udp, Kova::c_sender_sync_model_on_post, 0);
            return err;
        },
        [](bench_proxy& io_proxy, const void* pin_data, Kova::pksize_t in_size) {
            return io_proxy.write(pin_data, in_size);
        });
}

// ---- The timer rows ----

// What a receiver saw: arrival times, in ns.
class arrivals {
public:
    arrivals() { m_at.reserve(1 << 22); }
    void add() {
        const std::int64_t now = now_ns();
        std::lock_guard<std::mutex> hold(m_mutex);
        if (m_at.size() < m_at.capacity()) m_at.push_back(now);
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_at.size();
    }
    // "stats <count> <per s> <jitter p99 us>", and forgets what it saw.
    std::string take(double in_period_us) {
        std::vector<std::int64_t> at;
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            at.swap(m_at);
            m_at.reserve(1 << 22);
        }
        const double span_s = at.size() > 1 ? static_cast<double>(at.back() - at.front()) / 1e9 : 0;
        std::vector<double> jitter;
        for (size_t i = 1; i < at.size(); ++i)
            jitter.push_back(std::fabs(static_cast<double>(at[i] - at[i - 1]) - in_period_us * 1e3));
        char line[160];
        std::snprintf(line, sizeof line, "stats %zu %.0f %.1f", at.size(),
                      span_s > 0 ? static_cast<double>(at.size() - 1) / span_s : 0, summarise(jitter).p99 / 1e3);
        return line;
    }

private:
    std::mutex m_mutex;
    std::vector<std::int64_t> m_at;
};

arrivals g_arrivals;

// Answers "count" and "stats <period us>" lines on standard input until it ends.
void serve_stats() {
    say("ready");
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "count", 5) == 0)
            say("count " + std::to_string(g_arrivals.count()));
        else
            say(g_arrivals.take(std::atof(line + 5)));
    }
}

class counting_stub : public Kova::kova_object_command {
public:
    counting_stub() : kova_object_command(c_code) {}

private:
    void on_sync(Kova::client_addr_t const&, Kova::sender_sync_model_t const&, double const&, double const&,
                 const void*, Kova::pksize_t) override {
        g_arrivals.add();
    }
};

int run_stub(Kova::domain_t in_domain) {
    Kova::initialize();
    counting_stub stub;
    const Kova::kova_err_t err = stub.create(in_domain, c_tcp_stub);
    if (err != Kova::c_kova_success) {
        std::printf("stub create failed 0x%08X\n", err);
        return 1;
    }
    serve_stats();
    stub.destroy();
    Kova::finalize();
    return 0;
}

int run_timer_proxy(int argc, char** argv) {
    const auto domain = static_cast<Kova::domain_t>(std::atoi(argv[2]));
    const bool udp = std::atoi(argv[4]) != 0;
    const auto size = static_cast<Kova::pksize_t>(std::atol(argv[5]));
    const unsigned long period_ms = std::strtoul(argv[7], nullptr, 10);
    const double seconds = argc > 8 ? std::atof(argv[8]) : 10;
    Kova::initialize();
    int status = 0;
    {
        Kova::kova_proxy_object_command proxy(c_code);
        const Kova::kova_err_t err = connect_proxy(proxy, domain, argv[3], c_tcp_stub);
        if (err != Kova::c_kova_success) {
            std::printf("no stub: 0x%08X\n", err);
            status = 1;
        } else {
            const std::vector<char> command(size, 'c');
            proxy.write(command.data(), size);
            const double cpu0 = cpu_s(getpid());
            proxy.set_sync_model(udp, Kova::c_sender_sync_model_on_timer, period_ms / 1e3);
            usleep(static_cast<useconds_t>(seconds * 1e6));
            proxy.set_sync_model(udp, Kova::c_sender_sync_model_on_post, 0);
            std::printf("result %.3f\n", cpu_s(getpid()) - cpu0);
        }
        std::fflush(stdout);
        usleep(300000);  // the last commands reach the stub before the proxy's end does
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}

#ifdef KOVA_BENCH_ZMQ
int run_zmq_pull(const char* in_endpoint) {
    void* ctx = zmq_ctx_new();
    void* pull = zmq_socket(ctx, ZMQ_PULL);
    if (zmq_bind(pull, in_endpoint) != 0) return 1;
    std::thread receiver([pull] {
        zmq_msg_t m;
        for (;;) {
            zmq_msg_init(&m);
            if (zmq_msg_recv(&m, pull, 0) < 0) break;
            g_arrivals.add();
            zmq_msg_close(&m);
        }
    });
    receiver.detach();
    serve_stats();
    std::_Exit(0);
}

// One 8 B message each period for in_seconds.
void zmq_periodic(const std::string& in_endpoint, unsigned in_period_ms, double in_seconds) {
    void* ctx = zmq_ctx_new();
    void* push = zmq_socket(ctx, ZMQ_PUSH);
    zmq_connect(push, in_endpoint.c_str());
    const char buf[8] = {};
    const std::int64_t start = now_ns();
    const unsigned long count = static_cast<unsigned long>(in_seconds * 1e3 / in_period_ms);
    for (unsigned long i = 0; i < count; ++i) {
        const std::int64_t at = start + static_cast<std::int64_t>(i + 1) * in_period_ms * 1000000LL;
        timespec next{at / 1000000000LL, at % 1000000000LL};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        zmq_send(push, buf, sizeof buf, 0);
    }
    int linger = 2000;
    zmq_setsockopt(push, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(push);
    zmq_ctx_term(ctx);
}
#endif

struct timer_stats {
    unsigned long count = 0;
    double per_s = 0, jitter_p99_us = 0;
};

timer_stats ask_stats(kova_test::child_process& in_receiver, double in_period_us) {
    // What is still on its way (queued in a center, say) arrives first: the count has stood
    // still for half a second.
    std::string last = kova_test::ask(in_receiver, "count");
    for (int still = 0; still < 5; usleep(100000)) {
        const std::string now = kova_test::ask(in_receiver, "count");
        still = now == last ? still + 1 : 0;
        last = now;
    }
    timer_stats s;
    const std::string line = kova_test::ask(in_receiver, "stats " + std::to_string(in_period_us));
    std::sscanf(line.c_str(), "stats %lu %lf %lf", &s.count, &s.per_s, &s.jitter_p99_us);
    return s;
}

std::vector<std::string> g_timer_rows;

std::string timer_row(const std::string& in_setting, unsigned in_period_ms, const timer_stats& in_t,
                      double in_seconds, double in_sender_cpu_s, double in_centers_cpu_s) {
    char row[200], centers[16] = "-";
    if (in_centers_cpu_s >= 0) std::snprintf(centers, sizeof centers, "%.1f", 100 * in_centers_cpu_s / in_seconds);
    std::snprintf(row, sizeof row, "| %-26s | %6u | %7lu / %-7.0f | %10.1f | %10.1f | %11s |", in_setting.c_str(),
                  in_period_ms, in_t.count, in_seconds * 1e3 / in_period_ms, in_t.jitter_p99_us,
                  100 * in_sender_cpu_s / in_seconds, centers);
    return row;
}

// The timer rows of one setting: the stub in in_stub_host (at in_stub_ip), the proxy in
// in_proxy_host.
void kova_timer_rows(const std::string& in_name, kova_test::private_host& in_stub_host,
                     kova_test::private_host& in_proxy_host, const std::string& in_stub_ip, double in_seconds) {
    const std::string self = self_path();
    kova_test::child_process stub = in_stub_host.spawn({self, "--stub", std::to_string(c_domain)});
    if (!stub.wait_for_line("ready", 30)) {
        std::printf("the stub did not start: %s\n", stub.output().c_str());
        return;
    }
    for (unsigned period_ms : {1u, 10u, 100u}) {
        const pid_t center = program_pid(in_stub_host, "Kova_General_Center");
        const pid_t proxy_center = program_pid(in_proxy_host, "Kova_General_Center");
        const auto centers_cpu = [&] { return cpu_s(center) + (proxy_center != center ? cpu_s(proxy_center) : 0); };
        const double c0 = centers_cpu();
        kova_test::child_process proxy =
            in_proxy_host.spawn({self, "--proxy", std::to_string(c_domain), in_stub_ip, "0", "8", "timer",
                                 std::to_string(period_ms), std::to_string(in_seconds)});
        proxy.wait(in_seconds + 60);
        const std::string out = proxy.output();
        if (out.find("result ") == std::string::npos) std::fprintf(stderr, "proxy %s: %s\n", in_name.c_str(), out.c_str());
        const double cpu = centers_cpu() - c0;
        const size_t at = out.rfind("result ");
        const double proxy_cpu = at != std::string::npos ? std::atof(out.c_str() + at + 7) : 0;
        const timer_stats t = ask_stats(stub, period_ms * 1000.0);
        g_timer_rows.push_back(timer_row("Kova timer, " + in_name, period_ms, t, in_seconds, proxy_cpu, cpu));
    }
    stub.close_input();
    stub.wait(20);
}

void zmq_timer_rows(double in_seconds) {
#ifdef KOVA_BENCH_ZMQ
    const std::string endpoint = "ipc:///tmp/kova_command_bench_" + std::to_string(getpid()) + ".ipc";
    kova_test::child_process pull;
    pull.start({self_path(), "--zmq-pull", endpoint});
    if (!pull.wait_for_line("ready", 10)) {
        std::printf("the ZeroMQ side did not start\n");
    } else {
        for (unsigned period_ms : {1u, 10u, 100u}) {
            const double c0 = cpu_s(getpid());
            zmq_periodic(endpoint, period_ms, in_seconds);
            const double cpu = cpu_s(getpid()) - c0;
            usleep(200000);
            const timer_stats t = ask_stats(pull, period_ms * 1000.0);
            g_timer_rows.push_back(timer_row("clock_nanosleep + ZeroMQ", period_ms, t, in_seconds, cpu, -1));
        }
    }
    pull.kill_now(SIGKILL);
    pull.wait(5);
    unlink(endpoint.c_str() + 6);
#else
    (void)in_seconds;
#endif
}

// ---- The comparison ----

int run_all(const series_options& in_o, double in_seconds) {
    if (!private_hosts_available()) return 1;
    const std::string self = self_path();
    const time_dir times("command_bench_times");
    const std::string& dir = times.path();
    print_plan("posting model (commands; 86: TCP, 87: UDP between hosts)", in_o, "one proxy and one stub process");
    bench_hosts hosts(in_o.log, "command_bench", in_o.two_hosts, c_ip_a, c_ip_b);
    if (!hosts.ok()) return 1;
    const std::string domain = std::to_string(c_domain);
    series_table<series_row> table("cmds");
    table.add_ratios("zmq", "Z");
    table.print_head();
    series s(in_o, dir);
    const std::vector<size_t> sizes = in_o.sizes.empty() ? c_sizes : in_o.sizes;
    const int hwms[] = {c_zmq_unbounded, c_zmq_default_hwm};
    for (bool two : {false, true}) {
        if (two ? !in_o.two_hosts : !in_o.one_host) continue;
        kova_test::private_host& stub_host = two ? hosts.b() : hosts.a();
        const std::string stub_ip = two ? c_ip_b : "127.0.0.1";
        // Each system's sender on host A, its receiver on the stub's host.
        std::vector<system_under_test> systems;
        std::vector<std::unique_ptr<kova_test::child_process>> pubs;
        const auto add = [&](const std::string& in_name, const std::string& in_kind,
                             const std::vector<std::string>& in_receiver,
                             const std::function<kova_test::child_process()>& in_sender) {
            systems.emplace_back();
            system_under_test& sys = systems.back();
            sys.name = in_name;
            sys.kind = in_kind;
            if (sys.subs.start(stub_host, in_receiver, 1, 1)) pubs.emplace_back(new kova_test::child_process(in_sender()));
            else pubs.emplace_back(new kova_test::child_process());
            sys.pub = pubs.back().get();
            if (sys.pub->pid() <= 0) sys.subs.stop();
        };
        const auto kova_sender = [&](Kova::object_id_t in_stub, bool in_udp) {
            return [&, in_stub, in_udp] {
                kova_test::child_process p = hosts.a().spawn(
                    {self, "--kova-proxy", domain, stub_ip, std::to_string(in_stub), in_udp ? "1" : "0"});
                if (answer(p, "", "ready", 60.0).empty()) {
                    std::printf("a proxy did not start: %s\n", p.output().c_str());
                    p.kill_now(SIGKILL);
                    p.wait(5);
                    return kova_test::child_process();
                }
                return p;
            };
        };
        if (in_o.tcp)
            add("Kova 86 (TCP)", "kova", {self, "--kova-stub", domain, std::to_string(c_tcp_stub)},
                kova_sender(c_tcp_stub, false));
        if (in_o.udp)
            add("Kova 87 (UDP)", "kova", {self, "--kova-stub", domain, std::to_string(c_udp_stub)},
                kova_sender(c_udp_stub, true));
#ifdef KOVA_BENCH_ZMQ
        for (int z = 0; z < 2; ++z) {
            // PUSH binds on host A, PULL connects: one receiver per sender, so nothing is shared out.
            const std::string endpoint = two ? "tcp://" + c_ip_a + ":" + std::to_string(c_zmq_port + z)
                                             : "ipc://" + dir + "/push" + std::to_string(hwms[z]) + ".ipc";
            add(std::string(two ? "ZMQ tcp" : "ZMQ ipc") + " hwm " + std::to_string(hwms[z]), z == 0 ? "zmq" : "zmq1000",
                {self, "--zmq-sub", "pull", std::to_string(hwms[z]), endpoint, "1"},
                [&, z, endpoint] { return start_zmq_pub(hosts.a(), "push", hwms[z], {endpoint}); });
            if (systems.back().pub->pid() > 0) warm_up(*systems.back().pub, systems.back().subs, dir);
        }
#else
        (void)hwms;
#endif
        series_row key;
        key.hosts = two ? "two hosts" : "one host";
        key.layout = "1 process";
        key.n = 1;
        for (size_t size : sizes) {
            key.size = size;
            table.print(s.run_rows(systems, key, [](system_under_test&, series_row&, bool) {}));
        }
        for (size_t k = 0; k < systems.size(); ++k) {
            stop_publisher(*pubs[k]);
            systems[k].subs.stop();
        }
        if (in_seconds > 0) kova_timer_rows(two ? "2 hosts" : "1 host", stub_host, hosts.a(), stub_ip, in_seconds);
    }
    print_ratio_legend();
    if (in_seconds <= 0) return 0;
    zmq_timer_rows(in_seconds);
    std::printf("\ntimer model: 8 B commands for %.0f s per period; jitter: p99 of |arrival interval - period|\n",
                in_seconds);
    std::printf("| %-26s | period | count / expected  | jitter us  | sender CPU%% | centers CPU%% |\n", "setting");
    std::printf("|----------------------------|--------|-------------------|------------|------------|-------------|\n");
    for (const std::string& row : g_timer_rows) std::printf("%s\n", row.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--kova-stub") == 0)
        return run_kova_stub(static_cast<Kova::domain_t>(std::atoi(argv[2])),
                             static_cast<Kova::object_id_t>(std::atoi(argv[3])));
    if (argc == 6 && std::strcmp(argv[1], "--kova-proxy") == 0)
        return run_kova_proxy(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3],
                              static_cast<Kova::object_id_t>(std::atoi(argv[4])), std::atoi(argv[5]) != 0);
    if (argc == 3 && std::strcmp(argv[1], "--stub") == 0) return run_stub(static_cast<Kova::domain_t>(std::atoi(argv[2])));
    if (argc >= 8 && std::strcmp(argv[1], "--proxy") == 0) return run_timer_proxy(argc, argv);
#ifdef KOVA_BENCH_ZMQ
    if (argc == 3 && std::strcmp(argv[1], "--zmq-pull") == 0) return run_zmq_pull(argv[2]);
#endif
    const int zmq = run_zmq_role(argc, argv);
    if (zmq >= 0) return zmq;
    // --seconds belongs to this benchmark alone; the rest are the shared options.
    double seconds = 10;
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    series_options o;
    o.paced = 1000;
    o.fan_outs = {1};
    return parse_options(static_cast<int>(args.size()), args.data(), 1, o) ? run_all(o, seconds) : 2;
}
