// Call round trips between two processes of one host, through the real service and center
// in a private host (fresh network namespace and /dev/shm; needs root), beside ZeroMQ REQ/REP
// over ipc:// between two processes and the base library's pipe ping-pong. The reply carries
// as many bytes as the request. Prints median and p99 per call and calls per second.
//
// The request leg is the time from the proxy's async_call to the stub's on_call, as on_call's
// elapsed time reports it.
//
//   call_bench [calls] [listeners]            the whole comparison (default 20000 calls per row and
//                                             the SDK's default of 8 listener threads per process)
//   call_bench --stub <domain> <listeners>    (inside the host) echo stubs 1, 2, 3 for 0 B, 1 KiB, 60 KiB;
//                                             "legs" on its input prints the request legs since the last
//   call_bench --client <domain> <stub> <size> <threads> <calls> <listeners>
//   call_bench --zmq-rep <endpoint>           the ZeroMQ echo side
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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

const Kova::domain_t c_domain = 7310;
const Kova::msg_code_t c_code = 1;
const Kova::pksize_t c_sizes[] = {0, 1024, 61440};
const double c_limit_s = 5.0;

double now_us() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct figures {
    double median_us = 0, p99_us = 0, calls_per_s = 0;
    unsigned long errors = 0;
    bool ok = false;
};

figures summarise(std::vector<double>& in_us, double in_wall_us, unsigned long in_errors) {
    figures f;
    f.errors = in_errors;
    if (in_us.empty()) return f;
    std::sort(in_us.begin(), in_us.end());
    f.median_us = in_us[in_us.size() / 2];
    f.p99_us = in_us[std::min(in_us.size() - 1, in_us.size() * 99 / 100)];
    f.calls_per_s = in_us.size() / (in_wall_us / 1e6);
    f.ok = in_errors == 0;
    return f;
}

// Runs in_threads threads that share in_calls round trips; each sample is one round trip.
template <typename round_trip_t>
figures measure(unsigned in_threads, unsigned long in_calls, round_trip_t in_round_trip) {
    std::vector<std::vector<double>> samples(in_threads);
    std::atomic<unsigned long> errors{0};
    std::vector<std::thread> threads;
    const double start = now_us();
    for (unsigned t = 0; t < in_threads; ++t)
        threads.emplace_back([&, t] {
            samples[t].reserve(in_calls / in_threads);
            for (unsigned long i = 0; i < in_calls / in_threads; ++i) {
                const double t0 = now_us();
                if (!in_round_trip(t)) ++errors;
                samples[t].push_back(now_us() - t0);
            }
        });
    for (auto& t : threads) t.join();
    const double wall = now_us() - start;
    std::vector<double> all;
    for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    return summarise(all, wall, errors);
}

// ---- Kova ----

void start_sdk(unsigned in_listeners) {
    const unsigned call_buffers = 16, udp_buffers = 1;
    Kova::initialize(in_listeners, call_buffers, udp_buffers);
}

// Request legs in microseconds, since the last "legs" command.
std::mutex g_legs_mutex;
std::vector<double> g_legs;

class echo_stub : public Kova::kova_object_call {
public:
    explicit echo_stub(Kova::pksize_t in_size) : kova_object_call(c_code, in_size) {}

private:
    Kova::kova_err_t on_call(Kova::client_addr_t const&, void* pin_buf, Kova::pksize_t const& in_size, void* pout_buf,
                             Kova::pksize_t* pout_size, double const& in_elapsed, double const&) override {
        const Kova::pksize_t n = std::min(in_size, *pout_size);
        if (n) std::memcpy(pout_buf, pin_buf, n);
        *pout_size = n;
        std::lock_guard<std::mutex> guard(g_legs_mutex);
        if (g_legs.size() < g_legs.capacity()) g_legs.push_back(in_elapsed * 1e6);
        return Kova::c_kova_success;
    }
};

int run_stub(Kova::domain_t in_domain, unsigned in_listeners) {
    g_legs.reserve(4000000);
    start_sdk(in_listeners);
    std::vector<std::unique_ptr<echo_stub>> stubs;
    for (Kova::object_id_t id = 1; id <= 3; ++id) {
        stubs.emplace_back(new echo_stub(c_sizes[id - 1]));
        const Kova::kova_err_t err = stubs.back()->create(in_domain, id);
        if (err != Kova::c_kova_success) {
            std::printf("stub %u create failed 0x%08X\n", id, err);
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        std::vector<double> legs;
        {
            std::lock_guard<std::mutex> guard(g_legs_mutex);
            legs.assign(g_legs.begin(), g_legs.end());
            g_legs.clear();
        }
        const figures f = summarise(legs, 1, 0);
        std::printf("legs %.2f %.2f %zu\n", f.median_us, f.p99_us, legs.size());
        std::fflush(stdout);
    }
    for (auto& s : stubs) s->destroy();
    stubs.clear();
    Kova::finalize();
    return 0;
}

// The threads share one proxy: its single message counter keeps their pending keys apart.
int run_client(Kova::domain_t in_domain, Kova::object_id_t in_stub, Kova::pksize_t in_size, unsigned in_threads,
               unsigned long in_calls, unsigned in_listeners) {
    start_sdk(in_listeners);
    int status = 0;
    {
        Kova::kova_proxy_object_call proxy(c_code);
        Kova::kova_err_t err = proxy.create(in_domain, inet_addr("127.0.0.1"), in_stub);
        const double until = now_us() + 10e6;
        while (err == Kova::c_kova_success && !proxy.is_live() && now_us() < until) usleep(1000);
        if (err != Kova::c_kova_success || !proxy.is_live()) {
            std::printf("no stub %u: 0x%08X\n", in_stub, err);
            status = 1;
        } else {
            std::vector<std::vector<char>> out(in_threads, std::vector<char>(in_size + 1, 'k')),
                back(in_threads, std::vector<char>(in_size + 1));
            auto round_trip = [&](unsigned t) {
                const Kova::return_object_t r = proxy.async_call(out[t].data(), in_size, c_limit_s);
                Kova::pksize_t size = static_cast<Kova::pksize_t>(back[t].size());
                return proxy.async_return(r, back[t].data(), &size, nullptr) == Kova::c_kova_success && size == in_size;
            };
            measure(1, std::min<unsigned long>(in_calls / 10 + 100, 2000), round_trip);  // warm-up
            const figures f = measure(in_threads, in_calls, round_trip);
            std::printf("result %.2f %.2f %.0f %lu\n", f.median_us, f.p99_us, f.calls_per_s, f.errors);
        }
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}

figures parse_result(const std::string& in_output) {
    figures f;
    const size_t at = in_output.rfind("result ");
    if (at != std::string::npos && std::sscanf(in_output.c_str() + at, "result %lf %lf %lf %lu", &f.median_us,
                                               &f.p99_us, &f.calls_per_s, &f.errors) == 4)
        f.ok = f.errors == 0;
    return f;
}

// ---- ZeroMQ ----

#ifdef KOVA_BENCH_ZMQ
int run_zmq_rep(const char* in_endpoint) {
    void* ctx = zmq_ctx_new();
    void* rep = zmq_socket(ctx, ZMQ_REP);
    if (zmq_bind(rep, in_endpoint) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    zmq_msg_t m;
    for (;;) {
        zmq_msg_init(&m);
        if (zmq_msg_recv(&m, rep, 0) < 0) break;
        if (zmq_msg_send(&m, rep, 0) < 0) break;  // the same bytes back
    }
    return 0;
}

figures zmq_row(const std::string& in_endpoint, size_t in_size, unsigned in_threads, unsigned long in_calls) {
    void* ctx = zmq_ctx_new();
    std::vector<void*> reqs(in_threads);
    std::vector<std::vector<char>> out(in_threads, std::vector<char>(in_size + 1, 'z')),
        back(in_threads, std::vector<char>(in_size + 1));
    for (auto& r : reqs) {
        r = zmq_socket(ctx, ZMQ_REQ);
        zmq_connect(r, in_endpoint.c_str());
    }
    auto round_trip = [&](unsigned t) {
        return zmq_send(reqs[t], out[t].data(), in_size, 0) == static_cast<int>(in_size) &&
               zmq_recv(reqs[t], back[t].data(), back[t].size(), 0) == static_cast<int>(in_size);
    };
    for (unsigned t = 0; t < in_threads; ++t) round_trip(t);
    measure(1, std::min<unsigned long>(in_calls / 10 + 100, 2000), round_trip);
    const figures f = measure(in_threads, in_calls, round_trip);
    for (auto& r : reqs) zmq_close(r);
    zmq_ctx_term(ctx);
    return f;
}
#endif

// in_leg_us: the median request leg, or a negative value where there is none.
void print_row(const char* in_transport, size_t in_size, unsigned in_threads, const figures& in_f, double in_leg_us) {
    const std::string size = in_size >= 1024 ? std::to_string(in_size / 1024) + " KiB" : std::to_string(in_size) + " B";
    if (!in_f.ok && in_f.median_us == 0) {
        std::printf("| %-16s | %7s | %7u | %10s | %10s | %10s | %11s |\n", in_transport, size.c_str(), in_threads,
                    "failed", "-", "-", "-");
        return;
    }
    char leg[32] = "-";
    if (in_leg_us >= 0) std::snprintf(leg, sizeof leg, "%.1f", in_leg_us);
    std::printf("| %-16s | %7s | %7u | %10.1f | %10.1f | %10.0f | %11s |%s\n", in_transport, size.c_str(), in_threads,
                in_f.median_us, in_f.p99_us, in_f.calls_per_s, leg,
                in_f.errors ? (" " + std::to_string(in_f.errors) + " calls failed").c_str() : "");
    std::fflush(stdout);
}

int run_all(unsigned long in_calls, unsigned in_listeners) {
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private host: %s\n", why.c_str());
        return 1;
    }
    const std::string self = kova_bench::self_path();
    std::vector<std::pair<std::string, std::vector<figures>>> rows;
    std::printf("round trips of %lu calls per row, reply as large as the request; latency per call in us;\n"
                "Kova: service and center in a private host, %u listener threads per process\n",
                in_calls, in_listeners);
    std::printf("| %-16s | %7s | %7s | %10s | %10s | %10s | %11s |\n", "transport", "payload", "threads", "median",
                "p99", "calls/s", "request leg");
    std::printf("|------------------|---------|---------|------------|------------|------------|-------------|\n");
    {
        // The service and center of an install tree of its own, as shipped but with 64 MiB of packet memory.
        kova_test::service_host tree("MEMSIZE=67108864\nLOG=yes\nCOMMAND_LOG=yes\nINFORMATION_LOG=yes\n", "call_bench");
        kova_test::child_process service;
        if (!kova_bench::start_real_service(tree, service)) {
            std::printf("the service did not start\n");
            return 1;
        }
        kova_test::child_process stub =
            tree.host().spawn({self, "--stub", std::to_string(c_domain), std::to_string(in_listeners)});
        if (!stub.wait_for_line("ready", 30)) {
            std::printf("the stub did not start: %s\n", stub.output().c_str());
            return 1;
        }
        for (Kova::object_id_t id = 1; id <= 3; ++id)
            for (unsigned threads : {1u, 4u}) {
                kova_test::child_process client = tree.host().spawn(
                    {self, "--client", std::to_string(c_domain), std::to_string(id), std::to_string(c_sizes[id - 1]),
                     std::to_string(threads), std::to_string(in_calls), std::to_string(in_listeners)});
                client.wait(600);
                const figures f = parse_result(client.output());
                if (!f.ok) std::printf("client: %s\n", client.output().c_str());
                double leg = -1;
                std::sscanf(kova_test::ask(stub, "legs").c_str(), "legs %lf", &leg);  // warm-up included
                print_row("Kova call", c_sizes[id - 1], threads, f, leg);
            }
        stub.close_input();
        stub.wait(20);
    }
#ifdef KOVA_BENCH_ZMQ
    {
        const std::string endpoint = "ipc:///tmp/kova_call_bench_" + std::to_string(getpid()) + ".ipc";
        kova_test::child_process rep;
        rep.start({self, "--zmq-rep", endpoint});
        if (!rep.wait_for_line("ready", 10)) {
            std::printf("the ZeroMQ side did not start\n");
        } else {
            for (size_t size : c_sizes)
                for (unsigned threads : {1u, 4u})
                    print_row("ZeroMQ REQ/REP", size, threads, zmq_row(endpoint, size, threads, in_calls), -1);
        }
        rep.kill_now(SIGKILL);
        rep.wait(5);
        unlink(endpoint.c_str() + 6);
    }
#else
    std::printf("(ZeroMQ rows left out: built without libzmq3-dev)\n");
#endif
    std::string pipes;
    kova_test::run_probe({KOVA_PIPE_BENCH}, &pipes, 120);
    std::printf("\nbase library, two processes (pipe_bench):\n");
    size_t from = 0;
    while (from < pipes.size()) {
        const size_t end = pipes.find('\n', from);
        const std::string line = pipes.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (line.find("ping-pong") != std::string::npos) std::printf("  %s\n", line.c_str());
        if (end == std::string::npos) break;
        from = end + 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--stub") == 0)
        return run_stub(static_cast<Kova::domain_t>(std::atoi(argv[2])), static_cast<unsigned>(std::atoi(argv[3])));
    if (argc == 8 && std::strcmp(argv[1], "--client") == 0)
        return run_client(static_cast<Kova::domain_t>(std::atoi(argv[2])),
                          static_cast<Kova::object_id_t>(std::atoi(argv[3])),
                          static_cast<Kova::pksize_t>(std::atol(argv[4])), static_cast<unsigned>(std::atoi(argv[5])),
                          std::strtoul(argv[6], nullptr, 10), static_cast<unsigned>(std::atoi(argv[7])));
#ifdef KOVA_BENCH_ZMQ
    if (argc == 3 && std::strcmp(argv[1], "--zmq-rep") == 0) return run_zmq_rep(argv[2]);
#endif
    return run_all(argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : 20000,
                   argc >= 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 8);
}
