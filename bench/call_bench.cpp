// Call round trips between two application processes through the real service and center,
// against ZeroMQ REQ/REP in the same client loop: one client process alternates blocks of Kova
// calls and blocks of ZeroMQ requests, so that both meet the same load of the machine, and the
// figures are given as ratios (Kova / ZeroMQ for latency, Kova / ZeroMQ for calls per second).
// Needs root (private hosts: fresh network namespace and /dev/shm) and libzmq3-dev.
//
// Rows: one host (ZeroMQ over ipc://) with 0 B, 1 KiB and 60 KiB, 1 and 4 client threads
// sharing one proxy; two hosts joined by a veth pair (ZeroMQ over tcp:// on the same veth) with
// 64 B. The reply is as large as the request. Every row is run --runs times, the runs of all
// rows interleaved, and the medians of the runs' ratios are printed.
//
//   call_bench [--runs n] [--blocks n] [--block n] [--log yes|no|both] [--listeners n] [--rows one|two|all]
//       defaults: 3 runs, 20 blocks of 250 calls per transport and row, both log settings,
//       the SDK's 8 listener threads per process, all rows
//   call_bench --syscalls <calls> [--log yes|no|both]
//       one host, 0 B, 1 thread, Kova alone: the flock and futex calls, the context switches and the
//       CPU time of the service, the center and both applications per call (perf stat, attached)
//   call_bench --stub <domain> <listeners>      (inside a host) echo stubs 1 to 4 of 0 B, 1 KiB, 60 KiB, 64 B;
//                                               "legs" on its input prints the request legs since the last
//   call_bench --client <domain> <stub ip> <stub> <size> <threads> <blocks> <block> <listeners> <zmq endpoint>
//   call_bench --zmq-rep <endpoint>             the ZeroMQ echo side
//   call_bench --counted-client <domain> <calls>  warms up, says "ready", runs <calls> calls on "go", says
//                                                 "done", ends on the next line
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Kova/kova.h>
#include <zmq.h>

#include "bench_hosts.h"
#include "bench_syscalls.h"
#include "private_host.h"
#include "test_process.h"

namespace {

using kova_bench::self_path;

const Kova::domain_t c_domain = 7310;
const Kova::msg_code_t c_code = 1;
// Stub i + 1 answers with up to c_sizes[i] bytes.
const Kova::pksize_t c_sizes[] = {0, 1024, 61440, 64};
const double c_limit_s = 5.0;
const char* const c_ip_a = "10.231.73.1";
const char* const c_ip_b = "10.231.73.2";
const int c_zmq_port = 7390;

double now_us() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct figures {
    double median_us = 0, p99_us = 0, calls_per_s = 0;
    unsigned long errors = 0;
};

figures summarise(std::vector<double>& in_us, double in_wall_us, unsigned long in_errors) {
    figures f;
    f.errors = in_errors;
    if (in_us.empty()) return f;
    std::sort(in_us.begin(), in_us.end());
    f.median_us = in_us[in_us.size() / 2];
    f.p99_us = in_us[std::min(in_us.size() - 1, in_us.size() * 99 / 100)];
    f.calls_per_s = in_wall_us > 0 ? in_us.size() / (in_wall_us / 1e6) : 0;
    return f;
}

double median_of(std::vector<double> in_values) {
    if (in_values.empty()) return 0;
    std::sort(in_values.begin(), in_values.end());
    return in_values[in_values.size() / 2];
}

// Lets in_threads threads start each block together and the next one only once all are done.
class block_gate {
public:
    explicit block_gate(unsigned in_threads) : m_threads(in_threads) {}
    void pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const unsigned long round = m_round;
        if (++m_waiting == m_threads) {
            m_waiting = 0;
            ++m_round;
            m_cv.notify_all();
            return;
        }
        m_cv.wait(lock, [&] { return m_round != round; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    unsigned m_threads;
    unsigned m_waiting = 0;
    unsigned long m_round = 0;
};

// One transport's round trips of one row, gathered over its blocks.
struct transport_samples {
    std::vector<std::vector<double>> per_thread;
    double wall_us = 0;
    std::atomic<unsigned long> errors{0};
};

// in_blocks blocks per transport, alternating: Kova, ZeroMQ, Kova, ... Each block is
// in_block round trips shared by in_threads threads; a block's wall time counts for its
// transport's calls per second.
void interleave(unsigned in_threads, unsigned in_blocks, unsigned in_block,
                const std::function<bool(unsigned)>& in_kova, const std::function<bool(unsigned)>& in_zmq,
                transport_samples& out_kova, transport_samples& out_zmq) {
    block_gate gate(in_threads);
    std::vector<double> block_start(2 * in_blocks), block_end(2 * in_blocks);
    for (transport_samples* s : {&out_kova, &out_zmq}) s->per_thread.assign(in_threads, {});
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < in_threads; ++t)
        threads.emplace_back([&, t] {
            const unsigned mine = in_block / in_threads;
            for (unsigned b = 0; b < 2 * in_blocks; ++b) {
                const bool zmq = b % 2 == 1;
                transport_samples& s = zmq ? out_zmq : out_kova;
                gate.pass();
                if (t == 0) block_start[b] = now_us();
                for (unsigned i = 0; i < mine; ++i) {
                    const double t0 = now_us();
                    if (!(zmq ? in_zmq(t) : in_kova(t))) ++s.errors;
                    s.per_thread[t].push_back(now_us() - t0);
                }
                gate.pass();
                if (t == 0) block_end[b] = now_us();
            }
        });
    for (auto& t : threads) t.join();
    for (unsigned b = 0; b < 2 * in_blocks; ++b) (b % 2 ? out_zmq : out_kova).wall_us += block_end[b] - block_start[b];
}

figures figures_of(transport_samples& in_s) {
    std::vector<double> all;
    for (auto& v : in_s.per_thread) all.insert(all.end(), v.begin(), v.end());
    return summarise(all, in_s.wall_us, in_s.errors.load());
}

// ---- the processes inside the hosts ----

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
    for (Kova::object_id_t id = 1; id <= sizeof c_sizes / sizeof c_sizes[0]; ++id) {
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

// The threads share one proxy: its single message counter keeps their pending keys apart. Each
// thread has a REQ socket of its own (a REQ socket carries one request at a time).
int run_client(Kova::domain_t in_domain, const char* in_stub_ip, Kova::object_id_t in_stub, Kova::pksize_t in_size,
               unsigned in_threads, unsigned in_blocks, unsigned in_block, unsigned in_listeners,
               const char* in_zmq_endpoint) {
    start_sdk(in_listeners);
    int status = 0;
    void* ctx = zmq_ctx_new();
    std::vector<void*> reqs(in_threads);
    for (auto& r : reqs) {
        r = zmq_socket(ctx, ZMQ_REQ);
        zmq_connect(r, in_zmq_endpoint);
    }
    {
        Kova::kova_proxy_object_call proxy(c_code);
        Kova::kova_err_t err = proxy.create(in_domain, inet_addr(in_stub_ip), in_stub);
        const double until = now_us() + 20e6;
        while (err == Kova::c_kova_success && !proxy.is_live() && now_us() < until) usleep(1000);
        if (err != Kova::c_kova_success || !proxy.is_live()) {
            std::printf("no stub %u: 0x%08X\n", in_stub, err);
            status = 1;
        } else {
            std::vector<std::vector<char>> out(in_threads, std::vector<char>(in_size + 1, 'k')),
                back(in_threads, std::vector<char>(in_size + 1));
            auto kova = [&](unsigned t) {
                const Kova::return_object_t r = proxy.async_call(out[t].data(), in_size, c_limit_s);
                Kova::pksize_t size = static_cast<Kova::pksize_t>(back[t].size());
                return proxy.async_return(r, back[t].data(), &size, nullptr) == Kova::c_kova_success && size == in_size;
            };
            auto zmq = [&](unsigned t) {
                return zmq_send(reqs[t], out[t].data(), in_size, 0) == static_cast<int>(in_size) &&
                       zmq_recv(reqs[t], back[t].data(), back[t].size(), 0) == static_cast<int>(in_size);
            };
            {
                transport_samples warm_kova, warm_zmq;  // both warm up the same way
                interleave(in_threads, 2, std::max(in_block / 2, in_threads), kova, zmq, warm_kova, warm_zmq);
            }
            transport_samples k, z;
            interleave(in_threads, in_blocks, in_block, kova, zmq, k, z);
            const figures fk = figures_of(k), fz = figures_of(z);
            std::printf("result %.2f %.2f %.0f %lu %.2f %.2f %.0f %lu\n", fk.median_us, fk.p99_us, fk.calls_per_s,
                        fk.errors, fz.median_us, fz.p99_us, fz.calls_per_s, fz.errors);
        }
        proxy.destroy();
    }
    for (auto& r : reqs) zmq_close(r);
    zmq_ctx_term(ctx);
    Kova::finalize();
    return status;
}

// Calls of 0 B to stub 1 on this host, on its input's word.
int run_counted_client(Kova::domain_t in_domain, unsigned long in_calls) {
    start_sdk(8);
    int status = 0;
    {
        Kova::kova_proxy_object_call proxy(c_code);
        Kova::kova_err_t err = proxy.create(in_domain, inet_addr("127.0.0.1"), 1);
        const double until = now_us() + 20e6;
        while (err == Kova::c_kova_success && !proxy.is_live() && now_us() < until) usleep(1000);
        auto call = [&] {
            const Kova::return_object_t r = proxy.async_call(nullptr, 0, c_limit_s);
            Kova::pksize_t size = 0;
            return proxy.async_return(r, nullptr, &size, nullptr) == Kova::c_kova_success;
        };
        unsigned long failed = 0;
        // Enough calls to go once round the debug channel's ring (65536 records, ten a call): every
        // page of it is then mapped in every process, as on a host that has run for a while.
        for (int i = 0; i < 7000; ++i) failed += !call();
        std::printf("ready\n");
        std::fflush(stdout);
        char line[16];
        if (std::fgets(line, sizeof line, stdin)) {
            std::vector<double> us;
            us.reserve(in_calls);
            for (unsigned long i = 0; i < in_calls; ++i) {
                const double t0 = now_us();
                failed += !call();
                us.push_back(now_us() - t0);
            }
            const figures f = summarise(us, 1, failed);
            std::printf("done %lu %.1f %.1f\n", failed, f.median_us, f.p99_us);
            std::fflush(stdout);
            // Every thread stays until the counts are read.
            if (std::fgets(line, sizeof line, stdin) == nullptr) std::printf("no end line\n");
        }
        status = failed ? 1 : 0;
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}

// ---- the whole comparison ----

struct row_spec {
    const char* name;
    bool two_hosts;
    Kova::object_id_t stub;
    unsigned threads;
};

const row_spec c_rows[] = {
    {"one host", false, 1, 1}, {"one host", false, 1, 4}, {"one host", false, 2, 1},
    {"one host", false, 3, 1}, {"two hosts", true, 4, 1}, {"two hosts", true, 4, 4},
};

struct run_result {
    figures kova, zmq;
    double leg_us = -1;
    bool ok = false;
};

run_result parse_result(const std::string& in_output) {
    run_result r;
    const size_t at = in_output.rfind("result ");
    r.ok =
        at != std::string::npos && std::sscanf(in_output.c_str() + at, "result %lf %lf %lf %lu %lf %lf %lf %lu",
                                               &r.kova.median_us, &r.kova.p99_us, &r.kova.calls_per_s, &r.kova.errors,
                                               &r.zmq.median_us, &r.zmq.p99_us, &r.zmq.calls_per_s, &r.zmq.errors) == 8;
    return r;
}

std::string size_text(size_t in_size) {
    return in_size >= 1024 ? std::to_string(in_size / 1024) + " KiB" : std::to_string(in_size) + " B";
}

// A host with its own install tree and service, and the ZeroMQ echo beside the stubs.
struct bench_host {
    explicit bench_host(const std::string& in_log)
        : tree("MEMSIZE=67108864\nLOG=" + in_log + "\nCOMMAND_LOG=yes\nINFORMATION_LOG=yes\n", "call_bench") {}
    bool start_service() {
        return tree.ok() && kova_test::copy_file(KOVA_CENTER_PROGRAM, tree.bin() + "Kova_General_Center") &&
               tree.start_service(service);
    }
    kova_test::service_host tree;
    kova_test::child_process service;
};

struct options {
    unsigned runs = 3, blocks = 20, block = 250, listeners = 8;
    std::vector<std::string> logs{"yes", "no"};
    bool one = true, two = true;
};

// Every run of every row with one log setting; the per-run results by row.
bool run_log_setting(const options& in_o, const std::string& in_log, std::vector<std::vector<run_result>>& out_rows) {
    const std::string self = self_path();
    bench_host a(in_log), b(in_log);
    if (!a.start_service()) {
        std::printf("the service did not start\n");
        return false;
    }
    if (in_o.two) {
        if (!b.start_service() || !kova_test::join_hosts(a.tree.host(), b.tree.host(), c_ip_a, c_ip_b)) {
            std::printf("the second host did not start\n");
            return false;
        }
    }
    const std::string ipc = "ipc:///tmp/kova_call_bench_" + std::to_string(getpid()) + ".ipc";
    const std::string tcp = std::string("tcp://") + c_ip_b + ":" + std::to_string(c_zmq_port);
    kova_test::child_process stub_a =
        a.tree.host().spawn({self, "--stub", std::to_string(c_domain), std::to_string(in_o.listeners)});
    kova_test::child_process zmq_a = a.tree.host().spawn({self, "--zmq-rep", ipc});
    kova_test::child_process stub_b, zmq_b;
    bool ok = stub_a.wait_for_line("ready", 30) && zmq_a.wait_for_line("ready", 10);
    if (in_o.two) {
        stub_b = b.tree.host().spawn({self, "--stub", std::to_string(c_domain), std::to_string(in_o.listeners)});
        zmq_b = b.tree.host().spawn({self, "--zmq-rep", "tcp://*:" + std::to_string(c_zmq_port)});
        ok = ok && stub_b.wait_for_line("ready", 30) && zmq_b.wait_for_line("ready", 10);
    }
    if (!ok) {
        std::printf("the stubs or the ZeroMQ echoes did not start: %s\n", stub_a.output().c_str());
        return false;
    }
    out_rows.assign(sizeof c_rows / sizeof c_rows[0], {});
    for (unsigned run = 0; run < in_o.runs; ++run)
        for (size_t i = 0; i < out_rows.size(); ++i) {
            const row_spec& r = c_rows[i];
            if (r.two_hosts ? !in_o.two : !in_o.one) continue;
            kova_test::child_process client = a.tree.host().spawn(
                {self, "--client", std::to_string(c_domain), r.two_hosts ? c_ip_b : "127.0.0.1", std::to_string(r.stub),
                 std::to_string(c_sizes[r.stub - 1]), std::to_string(r.threads), std::to_string(in_o.blocks),
                 std::to_string(in_o.block), std::to_string(in_o.listeners), r.two_hosts ? tcp : ipc});
            client.wait(1200);
            run_result result = parse_result(client.output());
            if (!result.ok) std::printf("client: %s\n", client.output().c_str());
            kova_test::child_process& stub = r.two_hosts ? stub_b : stub_a;
            std::sscanf(kova_test::ask(stub, "legs").c_str(), "legs %lf", &result.leg_us);
            out_rows[i].push_back(result);
        }
    for (kova_test::child_process* stub : {&stub_a, &stub_b}) {
        if (stub->pid() <= 0) continue;
        stub->close_input();
        stub->wait(20);
    }
    for (kova_test::child_process* z : {&zmq_a, &zmq_b}) {
        if (z->pid() <= 0) continue;
        z->kill_now(SIGKILL);
        z->wait(5);
    }
    unlink(ipc.c_str() + 6);
    return true;
}

void print_rows(const std::string& in_log, const std::vector<std::vector<run_result>>& in_rows) {
    std::printf(
        "\nLOG=%s  (latency in us; ratio = Kova / ZeroMQ, medians over the runs; calls/s ratio = Kova / ZeroMQ)\n",
        in_log.c_str());
    std::printf("| %-9s | %7s | %7s | %9s | %9s | %6s | %9s | %9s | %8s | %8s | %6s | %7s |\n", "hosts", "payload",
                "threads", "Kova med", "ZMQ med", "ratio", "Kova p99", "ZMQ p99", "Kova c/s", "ZMQ c/s", "ratio",
                "req leg");
    std::printf(
        "|-----------|---------|---------|-----------|-----------|--------|-----------|-----------|----------|---------"
        "-|--------|---------|\n");
    for (size_t i = 0; i < in_rows.size(); ++i) {
        if (in_rows[i].empty()) continue;
        const row_spec& r = c_rows[i];
        std::vector<double> km, zm, lat, kp, zp, kc, zc, cps, leg;
        unsigned long errors = 0;
        for (const run_result& x : in_rows[i]) {
            if (!x.ok) continue;
            km.push_back(x.kova.median_us);
            zm.push_back(x.zmq.median_us);
            lat.push_back(x.zmq.median_us > 0 ? x.kova.median_us / x.zmq.median_us : 0);
            kp.push_back(x.kova.p99_us);
            zp.push_back(x.zmq.p99_us);
            kc.push_back(x.kova.calls_per_s);
            zc.push_back(x.zmq.calls_per_s);
            cps.push_back(x.zmq.calls_per_s > 0 ? x.kova.calls_per_s / x.zmq.calls_per_s : 0);
            if (x.leg_us >= 0) leg.push_back(x.leg_us);
            errors += x.kova.errors + x.zmq.errors;
        }
        std::printf("| %-9s | %7s | %7u | %9.1f | %9.1f | %6.2f | %9.1f | %9.1f | %8.0f | %8.0f | %6.2f | %7.1f |",
                    r.name, size_text(c_sizes[r.stub - 1]).c_str(), r.threads, median_of(km), median_of(zm),
                    median_of(lat), median_of(kp), median_of(zp), median_of(kc), median_of(zc), median_of(cps),
                    median_of(leg));
        std::printf("  runs:");
        for (double v : lat) std::printf(" %.2f", v);
        if (errors) std::printf("  %lu failed", errors);
        std::printf("\n");
    }
    std::fflush(stdout);
}

int run_syscalls(unsigned long in_calls, const std::vector<std::string>& in_logs) {
    const std::string self = self_path();
    std::printf("per call of 0 B on one host, %lu calls; perf stat attached to every process of the host\n", in_calls);
    std::printf(
        "| LOG | process | flock | futex | context switches | CPU us |\n"
        "|-----|---------|-------|-------|------------------|--------|\n");
    for (const std::string& log : in_logs) {
        bench_host a(log);
        if (!a.start_service()) return 1;
        kova_test::child_process stub = a.tree.host().spawn({self, "--stub", std::to_string(c_domain), "8"});
        kova_test::child_process client =
            a.tree.host().spawn({self, "--counted-client", std::to_string(c_domain), std::to_string(in_calls)});
        if (!stub.wait_for_line("ready", 30) || !client.wait_for_line("ready", 30)) {
            std::printf("the applications did not start: %s\n", client.output().c_str());
            return 1;
        }
        kova_bench::syscall_counter counter;
        // CALL_BENCH_PERF_RECORD=<file>: a profile of the same calls as well (perf report -i <file>.<log>).
        const char* profile = std::getenv("CALL_BENCH_PERF_RECORD");
        const std::string record = profile ? profile + ("." + log) : "";
        counter.start(a.tree.host().processes(), profile ? record.c_str() : nullptr);
        client.send_line("go");
        double median = 0, p99 = 0;
        const double until = now_us() + 600e6;
        while (client.output().find("done ") == std::string::npos && now_us() < until)
            client.wait_for_line("\x01", 0.05);  // reads what has come
        const size_t done = client.output().find("done ");
        if (done != std::string::npos) std::sscanf(client.output().c_str() + done, "done %*u %lf %lf", &median, &p99);
        const std::map<std::string, kova_bench::syscall_counts> by_process = counter.stop([&](pid_t in_pid) {
            if (in_pid == stub.pid()) return std::string("stub");
            if (in_pid == client.pid()) return std::string("client");
            return kova_bench::host_program_of(in_pid);
        });
        for (const auto& p : by_process)
            std::printf("| %s | %s | %.1f | %.1f | %.1f | %.1f |\n", log.c_str(), p.first.c_str(),
                        p.second.flock / in_calls, p.second.futex / in_calls, p.second.switches / in_calls,
                        p.second.cpu_ms * 1000 / in_calls);
        std::printf("| %s | call median %.1f us, p99 %.1f us (under perf) |\n", log.c_str(), median, p99);
        client.send_line("");
        client.wait(30);
        stub.close_input();
        stub.wait(20);
    }
    return 0;
}

int run_all(const options& in_o) {
    if (!kova_bench::private_hosts_available()) return 1;
    std::printf(
        "%u runs of %u blocks of %u round trips per transport and row, Kova and ZeroMQ alternating in one "
        "client loop;\n%u listener threads per application; one host: ZeroMQ over ipc://, two hosts: tcp:// "
        "over the same veth\n",
        in_o.runs, in_o.blocks, in_o.block, in_o.listeners);
    for (const std::string& log : in_o.logs) {
        std::vector<std::vector<run_result>> rows;
        if (!run_log_setting(in_o, log, rows)) return 1;
        print_rows(log, rows);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--stub") == 0)
        return run_stub(static_cast<Kova::domain_t>(std::atoi(argv[2])), static_cast<unsigned>(std::atoi(argv[3])));
    if (argc == 11 && std::strcmp(argv[1], "--client") == 0)
        return run_client(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3],
                          static_cast<Kova::object_id_t>(std::atoi(argv[4])),
                          static_cast<Kova::pksize_t>(std::atol(argv[5])), static_cast<unsigned>(std::atoi(argv[6])),
                          static_cast<unsigned>(std::atoi(argv[7])), static_cast<unsigned>(std::atoi(argv[8])),
                          static_cast<unsigned>(std::atoi(argv[9])), argv[10]);
    if (argc == 3 && std::strcmp(argv[1], "--zmq-rep") == 0) return run_zmq_rep(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--counted-client") == 0)
        return run_counted_client(static_cast<Kova::domain_t>(std::atoi(argv[2])), std::strtoul(argv[3], nullptr, 10));
    if (argc >= 3 && std::strcmp(argv[1], "--syscalls") == 0) {
        std::vector<std::string> logs{"yes", "no"};
        if (argc == 5 && std::strcmp(argv[3], "--log") == 0 && std::strcmp(argv[4], "both") != 0) logs = {argv[4]};
        return run_syscalls(std::strtoul(argv[2], nullptr, 10), logs);
    }
    options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        const unsigned n = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        if (key == "--runs")
            o.runs = std::max(1u, n);
        else if (key == "--blocks")
            o.blocks = std::max(1u, n);
        else if (key == "--block")
            o.block = std::max(4u, n);
        else if (key == "--listeners")
            o.listeners = std::max(1u, n);
        else if (key == "--log")
            o.logs = value == "both" ? std::vector<std::string>{"yes", "no"} : std::vector<std::string>{value};
        else if (key == "--rows") {
            o.one = value != "two";
            o.two = value != "one";
        } else {
            std::printf("unknown option %s\n", key.c_str());
            return 1;
        }
    }
    return run_all(o);
}
