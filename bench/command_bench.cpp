// Commands from a proxy process to a stub process through the real service and center, on one
// private host and across two joined by a veth pair (fresh network namespaces and /dev/shm;
// needs root), beside ZeroMQ PUSH/PULL over ipc:// between two processes.
//
// Rows:
//   - posting model, as fast as the proxy posts: commands delivered per second (posts that the
//     full center pipe or a busy stub cost are counted as lost, as the SDK drops them);
//   - posting model, one post a millisecond: one-way post-to-on_sync latency (median, p99),
//     the send time travelling in the payload (one machine, one monotonic clock);
//   - timer model at 1, 10 and 100 ms: commands counted against the expected number, p99 of
//     |interval between arrivals - period|, CPU of the proxy and of the center(s);
//   - ZeroMQ PUSH/PULL with the same payloads, and a clock_nanosleep periodic sender as the
//     floor of the jitter rows.
//
//   command_bench [commands] [seconds]     the whole comparison (default 20000 commands per
//                                          row, 10 s per timer row)
//   command_bench --stub <domain>          (inside a host) stub 1 of code 1; "stats <period us>"
//                                          on its input prints what came since the last
//   command_bench --proxy <domain> <stub ip> <udp> <size> burst|paced <n>
//   command_bench --proxy <domain> <stub ip> <udp> <size> timer <period ms> <seconds>
//   command_bench --zmq-pull <endpoint>    the ZeroMQ receiving side, same "stats" input
#include <arpa/inet.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <Kova/kova.h>

#include "bench_hosts.h"
#include "private_host.h"
#include "test_process.h"

#ifdef KOVA_BENCH_ZMQ
#include <zmq.h>
#endif

namespace {

const Kova::domain_t c_domain = 7330;
const Kova::msg_code_t c_code = 1;
const Kova::object_id_t c_stub_id = 1;
const Kova::pksize_t c_sizes[] = {8, 1024, 61440};
const char* const c_ip_a = "10.233.30.1";
const char* const c_ip_b = "10.233.30.2";

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

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

// What a receiver saw: one-way latencies and arrival times, in ns.
class arrivals {
public:
    arrivals() {
        m_latency.reserve(1 << 22);
        m_at.reserve(1 << 22);
    }
    // in_payload starts with the send time when it holds 8 bytes.
    void add(const void* in_payload, size_t in_size) {
        const long long now = now_ns();
        std::lock_guard<std::mutex> hold(m_mutex);
        if (in_size >= 8 && m_latency.size() < m_latency.capacity()) {
            long long sent = 0;
            std::memcpy(&sent, in_payload, 8);
            m_latency.push_back(static_cast<double>(now - sent));
        }
        if (m_at.size() < m_at.capacity()) m_at.push_back(now);
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_at.size();
    }
    // "stats <count> <median us> <p99 us> <per s> <jitter p99 us>", and forgets what it saw.
    std::string take(double in_period_us) {
        std::vector<double> latency;
        std::vector<long long> at;
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            latency.swap(m_latency);
            at.swap(m_at);
            m_latency.reserve(1 << 22);
            m_at.reserve(1 << 22);
        }
        std::sort(latency.begin(), latency.end());
        const auto pick = [](std::vector<double>& v, size_t in_percent) {
            return v.empty() ? 0.0 : v[std::min(v.size() - 1, v.size() * in_percent / 100)] / 1e3;
        };
        const double span_s = at.size() > 1 ? static_cast<double>(at.back() - at.front()) / 1e9 : 0;
        std::vector<double> jitter;
        for (size_t i = 1; i < at.size(); ++i)
            jitter.push_back(std::fabs(static_cast<double>(at[i] - at[i - 1]) - in_period_us * 1e3));
        std::sort(jitter.begin(), jitter.end());
        char line[160];
        std::snprintf(line, sizeof line, "stats %zu %.1f %.1f %.0f %.1f", at.size(), pick(latency, 50),
                      pick(latency, 99), span_s > 0 ? static_cast<double>(at.size() - 1) / span_s : 0,
                      pick(jitter, 99));
        return line;
    }

private:
    std::mutex m_mutex;
    std::vector<double> m_latency;
    std::vector<long long> m_at;
};

arrivals g_arrivals;

// Answers "stats <period us>" lines on standard input until it ends.
void serve_stats() {
    std::printf("ready\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "count", 5) == 0) {
            std::printf("count %zu\n", g_arrivals.count());
        } else {
            std::printf("%s\n", g_arrivals.take(std::atof(line + 5)).c_str());
        }
        std::fflush(stdout);
    }
}

// ---- Kova ----

class counting_stub : public Kova::kova_object_command {
public:
    counting_stub() : kova_object_command(c_code) {}

private:
    void on_sync(Kova::client_addr_t const&, Kova::sender_sync_model_t const&, double const&, double const&,
                 const void* pin_buffer, Kova::pksize_t in_size) override {
        g_arrivals.add(pin_buffer, in_size);
    }
};

int run_stub(Kova::domain_t in_domain) {
    Kova::initialize();
    counting_stub stub;
    const Kova::kova_err_t err = stub.create(in_domain, c_stub_id);
    if (err != Kova::c_kova_success) {
        std::printf("stub create failed 0x%08X\n", err);
        return 1;
    }
    serve_stats();
    stub.destroy();
    Kova::finalize();
    return 0;
}

// Posts through a lent block, the send time written into it last.
bool post_now(Kova::kova_proxy_object_command& in_proxy, Kova::pksize_t in_size) {
    char* p = static_cast<char*>(in_proxy.get_real(in_size));
    if (p == nullptr) return false;
    const long long t = now_ns();
    std::memcpy(p, &t, std::min<size_t>(8, in_size));
    return in_proxy.post_real(in_size) == Kova::c_kova_success;
}

int run_proxy(int argc, char** argv) {
    const auto domain = static_cast<Kova::domain_t>(std::atoi(argv[2]));
    const bool udp = std::atoi(argv[4]) != 0;
    const auto size = static_cast<Kova::pksize_t>(std::atol(argv[5]));
    const std::string mode = argv[6];
    const unsigned long n = std::strtoul(argv[7], nullptr, 10);
    Kova::initialize();
    int status = 0;
    {
        Kova::kova_proxy_object_command proxy(c_code);
        Kova::kova_err_t err = proxy.create(domain, inet_addr(argv[3]), c_stub_id);
        const long long until = now_ns() + 20000000000LL;
        while (err == Kova::c_kova_success && !proxy.is_live() && now_ns() < until) usleep(1000);
        // A connect meets a busy stub process as a refusal: tried again a few times, as an
        // application would.
        for (int i = 0; err == Kova::c_kova_success && i < 10; ++i) {
            const Kova::kova_err_t answer = proxy.async_connect_return(proxy.async_connect(5.0), nullptr);
            if (answer == Kova::c_kova_success) break;
            if (i == 9 || answer != Kova::c_kova_err_busy_node) err = answer;
            usleep(100000);
        }
        if (err != Kova::c_kova_success) {
            std::printf("no stub: 0x%08X\n", err);
            status = 1;
        } else if (mode == "timer") {
            const double seconds = argc > 8 ? std::atof(argv[8]) : 10;
            post_now(proxy, size);
            const double cpu0 = cpu_s(getpid());
            proxy.set_sync_model(udp, Kova::c_sender_sync_model_on_timer, n / 1e3);
            usleep(static_cast<useconds_t>(seconds * 1e6));
            proxy.set_sync_model(udp, Kova::c_sender_sync_model_on_post, 0);
            std::printf("result %.3f\n", cpu_s(getpid()) - cpu0);
        } else {
            proxy.set_sync_model(udp, Kova::c_sender_sync_model_on_post, 0);
            unsigned long failed = 0;
            const long long start = now_ns();
            for (unsigned long i = 0; i < n; ++i) {
                if (mode == "paced") {
                    timespec next{};
                    const long long at = start + static_cast<long long>(i) * 1000000LL;
                    next.tv_sec = at / 1000000000LL;
                    next.tv_nsec = at % 1000000000LL;
                    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
                }
                if (!post_now(proxy, size)) ++failed;
            }
            std::printf("result %lu\n", failed);
        }
        std::fflush(stdout);
        usleep(300000);  // the last commands reach the stub before the proxy's end does
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}

// ---- ZeroMQ ----

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
            g_arrivals.add(zmq_msg_data(&m), zmq_msg_size(&m));
            zmq_msg_close(&m);
        }
    });
    receiver.detach();
    serve_stats();
    std::_Exit(0);
}

// in_period_ms 0: n messages as fast as they go; else one each period for in_seconds.
void zmq_push(const std::string& in_endpoint, size_t in_size, unsigned long in_n, unsigned in_period_ms,
              double in_seconds) {
    void* ctx = zmq_ctx_new();
    void* push = zmq_socket(ctx, ZMQ_PUSH);
    zmq_connect(push, in_endpoint.c_str());
    std::vector<char> buf(std::max<size_t>(in_size, 8), 'z');
    const long long start = now_ns();
    const unsigned long count = in_period_ms ? static_cast<unsigned long>(in_seconds * 1e3 / in_period_ms) : in_n;
    for (unsigned long i = 0; i < count; ++i) {
        if (in_period_ms) {
            const long long at = start + static_cast<long long>(i + 1) * in_period_ms * 1000000LL;
            timespec next{at / 1000000000LL, at % 1000000000LL};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        const long long t = now_ns();
        std::memcpy(buf.data(), &t, 8);
        zmq_send(push, buf.data(), in_size, 0);
    }
    int linger = 2000;
    zmq_setsockopt(push, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(push);
    zmq_ctx_term(ctx);
}
#endif

std::string size_text(size_t in_size) {
    return in_size >= 1024 ? std::to_string(in_size / 1024) + " KiB" : std::to_string(in_size) + " B";
}

struct stats {
    unsigned long count = 0;
    double median_us = 0, p99_us = 0, per_s = 0, jitter_p99_us = 0;
};

stats ask_stats(kova_test::child_process& in_receiver, double in_period_us) {
    // What is still on its way (queued in a center, say) arrives first: the count has stood
    // still for half a second.
    std::string last = kova_test::ask(in_receiver, "count");
    for (int still = 0; still < 5; usleep(100000)) {
        const std::string now = kova_test::ask(in_receiver, "count");
        still = now == last ? still + 1 : 0;
        last = now;
    }
    stats s;
    const std::string line = kova_test::ask(in_receiver, "stats " + std::to_string(in_period_us));
    std::sscanf(line.c_str(), "stats %lu %lf %lf %lf %lf", &s.count, &s.median_us, &s.p99_us, &s.per_s,
                &s.jitter_p99_us);
    return s;
}

pid_t program_pid(kova_test::private_host& in_host, const char* in_name) {
    for (pid_t p : in_host.processes()) {
        char buf[512] = {};
        const ssize_t n = readlink(("/proc/" + std::to_string(p) + "/exe").c_str(), buf, sizeof(buf) - 1);
        if (n > 0 && std::strstr(buf, in_name)) return p;
    }
    return -1;
}

// One Kova setting: the stub's host, the proxy's host (the same one, or another), the stub's ip.
struct setting {
    const char* name;
    kova_test::private_host* stub_host;
    kova_test::private_host* proxy_host;
    std::string stub_ip;
};

// The rows of the two tables, printed once every row has run.
std::vector<std::string> g_post_rows, g_timer_rows;

std::string post_row(const std::string& in_setting, const char* in_type, size_t in_size, const stats& in_burst,
                     unsigned long in_posted, const stats& in_paced) {
    char row[200];
    std::snprintf(row, sizeof row, "| %-22s | %4s | %7s | %8lu / %-8lu | %11.0f | %9.1f | %9.1f |", in_setting.c_str(),
                  in_type, size_text(in_size).c_str(), in_burst.count, in_posted, in_burst.per_s, in_paced.median_us,
                  in_paced.p99_us);
    return row;
}

std::string timer_row(const std::string& in_setting, unsigned in_period_ms, const stats& in_t, double in_seconds,
                      double in_sender_cpu_s, double in_centers_cpu_s) {
    char row[200], centers[16] = "-";
    if (in_centers_cpu_s >= 0) std::snprintf(centers, sizeof centers, "%.1f", 100 * in_centers_cpu_s / in_seconds);
    std::snprintf(row, sizeof row, "| %-26s | %6u | %7lu / %-7.0f | %10.1f | %10.1f | %11s |", in_setting.c_str(),
                  in_period_ms, in_t.count, in_seconds * 1e3 / in_period_ms, in_t.jitter_p99_us,
                  100 * in_sender_cpu_s / in_seconds, centers);
    return row;
}

void kova_rows(const setting& in_s, const std::string& in_self, unsigned long in_n, double in_seconds) {
    kova_test::child_process stub = in_s.stub_host->spawn({in_self, "--stub", std::to_string(c_domain)});
    if (!stub.wait_for_line("ready", 30)) {
        std::printf("the stub did not start: %s\n", stub.output().c_str());
        return;
    }
    // A proxy run ends with "result ..."; anything else is shown.
    const auto proxy_run = [&](const std::vector<std::string>& in_args, double in_timeout_s = 600) {
        std::vector<std::string> argv{in_self, "--proxy", std::to_string(c_domain), in_s.stub_ip};
        argv.insert(argv.end(), in_args.begin(), in_args.end());
        kova_test::child_process proxy = in_s.proxy_host->spawn(argv);
        proxy.wait(in_timeout_s);
        if (proxy.output().find("result ") == std::string::npos)
            std::fprintf(stderr, "proxy %s: %s\n", in_s.name, proxy.output().c_str());
        return proxy.output();
    };
    // A few commands first, so that the centers' link and the stub's queues are there before
    // the first row.
    proxy_run({"0", "8", "paced", "20"});
    ask_stats(stub, 0);
    for (const char* type : {"86", "87"}) {
        const std::string udp = std::strcmp(type, "87") == 0 ? "1" : "0";
        for (Kova::pksize_t size : c_sizes) {
            proxy_run({udp, std::to_string(size), "burst", std::to_string(in_n)});
            const stats b = ask_stats(stub, 0);
            proxy_run({udp, std::to_string(size), "paced", std::to_string(std::min<unsigned long>(in_n, 2000))});
            const stats p = ask_stats(stub, 1000);
            g_post_rows.push_back(post_row(std::string("Kova, ") + in_s.name, type, size, b, in_n, p));
        }
    }
    for (unsigned period_ms : {1u, 10u, 100u}) {
        pid_t center = program_pid(*in_s.stub_host, "Kova_General_Center");
        pid_t proxy_center = program_pid(*in_s.proxy_host, "Kova_General_Center");
        const double c0 = cpu_s(center) + (proxy_center != center ? cpu_s(proxy_center) : 0);
        const std::string out =
            proxy_run({"0", "8", "timer", std::to_string(period_ms), std::to_string(in_seconds)}, in_seconds + 60);
        const double centers_cpu = cpu_s(center) + (proxy_center != center ? cpu_s(proxy_center) : 0) - c0;
        double proxy_cpu = 0;
        const size_t at = out.rfind("result ");
        if (at != std::string::npos) proxy_cpu = std::atof(out.c_str() + at + 7);
        const stats t = ask_stats(stub, period_ms * 1000.0);
        g_timer_rows.push_back(
            timer_row(std::string("Kova timer, ") + in_s.name, period_ms, t, in_seconds, proxy_cpu, centers_cpu));
    }
    stub.close_input();
    stub.wait(20);
}

int run_all(unsigned long in_n, double in_seconds) {
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private host: %s\n", why.c_str());
        return 1;
    }
    const std::string self = kova_bench::self_path();
    const std::string ini = "MEMSIZE=134217728\n";
    {
        kova_test::service_host a(ini, "command_bench_a");
        kova_test::child_process service_a;
        if (!kova_bench::start_real_service(a, service_a)) {
            std::printf("the service did not start\n");
            return 1;
        }
        kova_rows({"1 host", &a.host(), &a.host(), "127.0.0.1"}, self, in_n, in_seconds);
        kova_test::service_host b(ini, "command_bench_b");
        kova_test::child_process service_b;
        if (!kova_bench::start_real_service(b, service_b) ||
            !kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b)) {
            std::printf("the second host did not start\n");
            return 1;
        }
        kova_rows({"2 hosts", &b.host(), &a.host(), c_ip_b}, self, in_n, in_seconds);
    }
#ifdef KOVA_BENCH_ZMQ
    {
        const std::string endpoint = "ipc:///tmp/kova_command_bench_" + std::to_string(getpid()) + ".ipc";
        kova_test::child_process pull;
        pull.start({self, "--zmq-pull", endpoint});
        if (!pull.wait_for_line("ready", 10)) {
            std::printf("the ZeroMQ side did not start\n");
        } else {
            for (size_t size : c_sizes) {
                zmq_push(endpoint, size, in_n, 0, 0);
                usleep(200000);
                const stats b = ask_stats(pull, 0);
                const unsigned long paced = std::min<unsigned long>(in_n, 2000);
                zmq_push(endpoint, size, 0, 1, paced / 1e3);
                usleep(200000);
                const stats p = ask_stats(pull, 1000);
                g_post_rows.push_back(post_row("ZeroMQ PUSH/PULL ipc", "-", size, b, in_n, p));
            }
            for (unsigned period_ms : {1u, 10u, 100u}) {
                const double c0 = cpu_s(getpid());
                zmq_push(endpoint, 8, 0, period_ms, in_seconds);
                const double cpu = cpu_s(getpid()) - c0;
                usleep(200000);
                const stats t = ask_stats(pull, period_ms * 1000.0);
                g_timer_rows.push_back(timer_row("clock_nanosleep + ZeroMQ", period_ms, t, in_seconds, cpu, -1));
            }
        }
        pull.kill_now(SIGKILL);
        pull.wait(5);
        unlink(endpoint.c_str() + 6);
    }
#else
    std::printf("(ZeroMQ rows left out: built without libzmq3-dev)\n");
#endif
    std::printf("posting model: %lu commands posted as fast as they go (delivered of posted, delivered per s), then\n"
                "up to 2000 one a millisecond for the one-way post-to-on_sync latency (us)\n",
                in_n);
    std::printf("| %-22s | type | payload | delivered / posted  | delivered/s | median us |    p99 us |\n", "setting");
    std::printf("|------------------------|------|---------|---------------------|-------------|-----------|-----------|\n");
    for (const std::string& row : g_post_rows) std::printf("%s\n", row.c_str());
    std::printf("\ntimer model: 8 B commands for %.0f s per period; jitter: p99 of |arrival interval - period|\n",
                in_seconds);
    std::printf("| %-26s | period | count / expected  | jitter us  | sender CPU%% | centers CPU%% |\n", "setting");
    std::printf("|----------------------------|--------|-------------------|------------|------------|-------------|\n");
    for (const std::string& row : g_timer_rows) std::printf("%s\n", row.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--stub") == 0) return run_stub(static_cast<Kova::domain_t>(std::atoi(argv[2])));
    if (argc >= 8 && std::strcmp(argv[1], "--proxy") == 0) return run_proxy(argc, argv);
#ifdef KOVA_BENCH_ZMQ
    if (argc == 3 && std::strcmp(argv[1], "--zmq-pull") == 0) return run_zmq_pull(argv[2]);
#endif
    return run_all(argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : 20000, argc >= 3 ? std::atof(argv[2]) : 10.0);
}
