// Information (current values) through the real service and centers in private hosts (fresh
// network namespaces and /dev/shm, joined by a veth pair; needs root), beside ZeroMQ PUB/SUB
// with the same subscribers and payloads (ipc:// on one host, tcp:// over the same veth across
// two, high-water marks 0).
//
// One information stub on host A in the posting model; N = 1, 4 (16 with "all") subscriber
// processes on host A (one host) or host B (two hosts), subscribed over TCP or over UDP
// (multicast); payloads of 64 B, 1 KiB, 60000 B and 60001 B. Per row:
//   posts/s        values written per second by the publisher in a burst;
//   delivered/s    values each subscriber received per second in that burst (from the first
//                  write to its last value), mean over the subscribers;
//   lost           share of the burst's values that no on_sync (receive) reported;
//   latency        write to on_sync, median and p99 over every subscriber of a paced phase.
// A value carries its number and the run's number in its first 8 bytes, so that a value of an
// earlier run (a subscription's first sync, a late datagram) is not counted. Kova's publisher
// tries a write again while the packet memory is full. Times are CLOCK_MONOTONIC.
//
//   information_bench [paced] [burst] [log] [all]  the comparison (defaults 300 paced values,
//                                       1000 in a burst (a quarter of that above 4 KiB), LOG=yes)
//   information_bench --kova-pub <domain>                   (inside a host) the stub
//   information_bench --kova-sub <domain> <ip> <udp> <count>  count information proxies
//   information_bench --zmq-pub <endpoint>...               a PUB socket bound to each endpoint
//   information_bench --zmq-sub <endpoint> <count>          count SUB sockets, a thread each
// The publishers answer "lat <size> <count> <interval us> <run> <file>" and "rate <size> <count>
// <run> <file>", writing the send times to the file; the subscribers "expect <size> <count>
// <run> <file>" and then "collect", writing the receive times of subscriber k (0: not received)
// to <file>.<k>.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <Kova/kova.h>

#include "../tests/Kova/General_Service/service_host.h"
#include "bench_hosts.h"
#include "private_host.h"
#include "test_process.h"

#ifdef KOVA_BENCH_ZMQ
#include <zmq.h>
#endif

namespace {

const Kova::domain_t c_domain = 7340;
const Kova::object_id_t c_stub_id = 1;
const Kova::msg_code_t c_code = 1;
const Kova::pksize_t c_sizes[] = {64, 1024, 60000, 60001};
const std::string c_ip_a = "10.234.40.1";
const std::string c_ip_b = "10.234.40.2";
const int c_zmq_port = 7341;
// A warm-up message of ZeroMQ: no measured payload has this size.
const size_t c_warm_size = 1;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void say(const std::string& in_line) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> hold(s_lock);
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

bool write_times(const std::string& in_path, const std::vector<std::int64_t>& in_times, size_t in_count) {
    std::ofstream f(in_path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(in_times.data()),
            static_cast<std::streamsize>(std::min(in_count, in_times.size()) * sizeof(std::int64_t)));
    return static_cast<bool>(f);
}

std::vector<std::int64_t> read_times(const std::string& in_path) {
    std::ifstream f(in_path, std::ios::binary);
    std::vector<std::int64_t> out;
    std::int64_t t = 0;
    while (f.read(reinterpret_cast<char*>(&t), sizeof t)) out.push_back(t);
    return out;
}

// ---- What both publishers do ----

// Value number in_k of run in_run: both in the first 8 bytes (every measured size has them).
void number(std::vector<unsigned char>& io_buf, std::uint32_t in_k, std::uint32_t in_run) {
    if (io_buf.size() < 8) return;
    std::memcpy(io_buf.data(), &in_k, 4);
    std::memcpy(io_buf.data() + 4, &in_run, 4);
}

// Runs a publisher's commands on stdin; in_send publishes one payload, true on success.
template <typename send_t>
int serve_publisher(send_t in_send) {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, file;
        size_t size = 0, count = 0;
        long interval_us = 0;
        std::uint32_t run = 0;
        in >> cmd >> size >> count;
        if (cmd == "lat") in >> interval_us;
        in >> run >> file;
        if (cmd != "lat" && cmd != "rate") {
            say("unknown " + cmd);
            continue;
        }
        std::vector<unsigned char> buf(size, 0x5a);
        std::vector<std::int64_t> sent(count), cost(count);
        unsigned long failures = 0;
        const std::int64_t start = now_ns();
        for (size_t i = 0; i < count; ++i) {
            if (cmd == "lat") {
                const std::int64_t due = start + static_cast<std::int64_t>(i) * interval_us * 1000;
                while (now_ns() < due) {
                    if (due - now_ns() > 200000) std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            }
            number(buf, static_cast<std::uint32_t>(i), run);
            sent[i] = now_ns();
            if (!in_send(buf)) ++failures;
            cost[i] = now_ns() - sent[i];
        }
        const std::int64_t total = now_ns() - start;
        write_times(file, sent, count);
        std::sort(cost.begin(), cost.end());
        say(cmd + " " + std::to_string(cost.empty() ? 0 : cost[cost.size() / 2]) + " " +
            std::to_string(cost.empty() ? 0 : cost[std::min(cost.size() - 1, cost.size() * 99 / 100)]) + " " +
            std::to_string(total) + " " + std::to_string(failures));
    }
    return 0;
}

// ---- What both subscriber processes do ----

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

// Tells the main thread when a recorder has its whole count.
class completion {
public:
    void reset() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_done = 0;
    }
    void one_done() {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_done;
        m_cv.notify_all();
    }
    bool wait(unsigned in_count, double in_seconds) {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_cv.wait_for(hold, std::chrono::duration<double>(in_seconds), [&] { return m_done >= in_count; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    unsigned m_done = 0;
};

// Runs a subscriber process's commands on stdin ("expect", "collect", "quit").
int serve_subscribers(std::vector<recorder>& in_recorders, completion& in_done) {
    std::string line, file;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "quit") break;
        if (cmd == "expect") {
            size_t size = 0, count = 0;
            std::uint32_t run = 0;
            in >> size >> count >> run >> file;
            in_done.reset();
            for (recorder& r : in_recorders) r.arm(size, count, run);
            say("armed");
        } else if (cmd == "collect") {
            // Every value, or nothing new for a second (what is lost stays lost).
            size_t got = 0, before = 0;
            const std::int64_t give_up = now_ns() + 120000000000;
            while (!in_done.wait(static_cast<unsigned>(in_recorders.size()), 1.0) && now_ns() < give_up) {
                got = 0;
                for (recorder& r : in_recorders) got += r.got();
                if (got == before) break;
                before = got;
            }
            bool in_order = true;
            got = 0;
            for (size_t k = 0; k < in_recorders.size(); ++k) {
                in_order = in_recorders[k].in_order() && in_order;
                got += in_recorders[k].got();
                in_recorders[k].save(file + "." + std::to_string(k));
            }
            say("got " + std::to_string(in_order ? 1 : 0) + " " + std::to_string(got));
        } else {
            say("unknown " + cmd);
        }
    }
    return 0;
}

// ---- Kova ----

class bench_stub : public Kova::kova_object_information {
public:
    bench_stub() : kova_object_information(c_code) {}
    using kova_object_information::get_client_count;
    using kova_object_information::write;
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
            status = serve_publisher([&](const std::vector<unsigned char>& in_buf) {
                const void* p = in_buf.data();
                const Kova::pksize_t n = static_cast<Kova::pksize_t>(in_buf.size());
                for (;;) {
                    const Kova::kova_err_t e = stub.write(p, n);
                    if (e != Kova::c_kova_err_empty_kova_memory) return e == Kova::c_kova_success;
                    std::this_thread::sleep_for(std::chrono::microseconds(50));  // full of what is on its way
                }
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
        : kova_proxy_object_information(c_code), m_recorder(in_recorder), m_done(in_done) {}

private:
    void on_sync(const Kova::sender_sync_model_t&, const double&, const double&, const void* const pin_buffer,
                 const Kova::pksize_t in_size) override {
        if (m_recorder.arrive(pin_buffer, in_size)) m_done.one_done();
    }
    recorder& m_recorder;
    completion& m_done;
};

int run_kova_sub(Kova::domain_t in_domain, const char* in_ip, bool in_udp, unsigned in_count) {
    Kova::initialize();
    std::vector<recorder> recorders(in_count);
    completion done;
    std::vector<std::unique_ptr<bench_proxy>> proxies;
    int status = 0;
    for (unsigned k = 0; k < in_count && status == 0; ++k) {
        proxies.emplace_back(new bench_proxy(recorders[k], done));
        bench_proxy& p = *proxies.back();
        p.set_history_size(0);
        if (p.create(in_domain, inet_addr(in_ip), c_stub_id) != Kova::c_kova_success) status = 1;
        const std::int64_t until = now_ns() + 10000000000;
        while (status == 0 && !p.is_live() && now_ns() < until) usleep(1000);
        if (status == 0 && p.async_connect_return(p.async_connect(in_udp, 5.0), nullptr) != Kova::c_kova_success)
            status = 1;
    }
    if (status == 0) {
        say("ready");
        serve_subscribers(recorders, done);
    } else {
        say("subscribe failed");
    }
    for (auto& p : proxies) p->destroy();
    proxies.clear();
    Kova::finalize();
    return status;
}

// ---- ZeroMQ ----

#ifdef KOVA_BENCH_ZMQ
int run_zmq_pub(int argc, char** argv) {
    void* ctx = zmq_ctx_new();
    void* pub = zmq_socket(ctx, ZMQ_PUB);
    int zero = 0;
    zmq_setsockopt(pub, ZMQ_SNDHWM, &zero, sizeof zero);  // queues without bound: nothing dropped
    for (int i = 0; i < argc; ++i)
        if (zmq_bind(pub, argv[i]) != 0) {
            say(std::string("bind failed ") + argv[i]);
            return 1;
        }
    say("ready");
    const std::vector<unsigned char> warm(c_warm_size, 0xff);
    const int status = serve_publisher([&](const std::vector<unsigned char>& in_buf) {
        // "warm" (a size no measured payload has) until every subscriber has heard one.
        if (in_buf.size() == c_warm_size) return zmq_send(pub, warm.data(), warm.size(), 0) >= 0;
        return zmq_send(pub, in_buf.data(), in_buf.size(), 0) == static_cast<int>(in_buf.size());
    });
    zmq_close(pub);
    zmq_ctx_term(ctx);
    return status;
}

int run_zmq_sub(const char* in_endpoint, unsigned in_count) {
    void* ctx = zmq_ctx_new();
    std::vector<recorder> recorders(in_count);
    completion done;
    std::atomic<unsigned> warmed{0};
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < in_count; ++k)
        threads.emplace_back([&, k] {
            void* sub = zmq_socket(ctx, ZMQ_SUB);
            int zero = 0;
            zmq_setsockopt(sub, ZMQ_RCVHWM, &zero, sizeof zero);
            zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
            zmq_connect(sub, in_endpoint);
            bool warm = false;
            zmq_msg_t m;
            zmq_msg_init(&m);
            while (zmq_msg_recv(&m, sub, 0) >= 0) {
                if (zmq_msg_size(&m) == c_warm_size) {
                    if (!warm && (warm = true) && ++warmed == in_count) say("warmed");
                    continue;
                }
                if (recorders[k].arrive(zmq_msg_data(&m), zmq_msg_size(&m))) done.one_done();
            }
            zmq_msg_close(&m);
            zmq_close(sub);
        });
    say("ready");
    serve_subscribers(recorders, done);
    zmq_ctx_shutdown(ctx);  // the receives end with ETERM
    for (auto& t : threads) t.join();
    zmq_ctx_term(ctx);
    return 0;
}
#endif

// ---- The comparison ----

// One line of a probe's answer, "" on time-out.
std::string answer(kova_test::child_process& in_child, const std::string& in_command, const std::string& in_prefix,
                   double in_timeout_s = 180.0) {
    const size_t from = in_child.output().size();
    if (!in_command.empty()) in_child.send_line(in_command);
    const double end = kova_test::now_s() + in_timeout_s;
    for (;;) {
        const std::string& out = in_child.output();
        for (size_t at = from; at < out.size();) {
            const size_t e = out.find('\n', at);
            if (e == std::string::npos) break;
            if (out.compare(at, in_prefix.size(), in_prefix) == 0) return out.substr(at, e - at);
            at = e + 1;
        }
        if (kova_test::now_s() > end) return "";
        in_child.wait_for_line("\x01", 0.01);
    }
}

struct row {
    std::string hosts, transport;
    unsigned n = 0;
    size_t size = 0;
    double posts = 0, delivered = 0, lost = 0, median_us = 0, p99_us = 0;
    bool in_order = false, ok = false;
};

// The subscribers of one layout: processes with their subscriber counts.
struct subscribers {
    std::vector<kova_test::child_process> processes;
    std::vector<unsigned> counts;
};

class bench {
public:
    bench(unsigned long in_paced, unsigned long in_burst, const std::string& in_dir)
        : m_paced(in_paced), m_burst(in_burst), m_dir(in_dir) {}

    // Runs the paced phase and the burst through in_pub to in_subs into io_r.
    void measure(kova_test::child_process& in_pub, subscribers& in_subs, row& io_r) {
        const std::string sent = m_dir + "/sent", got = m_dir + "/got";
        const size_t size = io_r.size;
        // Paced: one value every 2 ms, above 4 KiB every 4 ms.
        const long interval_us = size > 4096 ? 4000 : 2000;
        std::uint32_t run = ++m_run;
        if (!arm(in_subs, size, m_paced, run, got)) return;
        long long cost = 0, cost_p99 = 0, total = 0;
        unsigned long failures = 0;
        const std::string lat = answer(in_pub,
                                       "lat " + std::to_string(size) + " " + std::to_string(m_paced) + " " +
                                           std::to_string(interval_us) + " " + std::to_string(run) + " " + sent,
                                       "lat ");
        if (std::sscanf(lat.c_str(), "lat %lld %lld %lld %lu", &cost, &cost_p99, &total, &failures) != 4 || failures)
            return;
        bool in_order = collect(in_subs);
        std::vector<double> latencies;
        const std::vector<std::int64_t> send_times = read_times(sent);
        for_each_subscriber(in_subs, [&](const std::vector<std::int64_t>& in_times) {
            for (size_t i = 0; i < in_times.size() && i < send_times.size(); ++i)
                if (in_times[i] != 0) latencies.push_back((in_times[i] - send_times[i]) / 1e3);
        });
        if (latencies.empty()) return;
        std::sort(latencies.begin(), latencies.end());
        io_r.median_us = latencies[latencies.size() / 2];
        io_r.p99_us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];

        // The burst: as fast as the publisher goes.
        const unsigned long burst = size > 4096 ? std::max(1ul, m_burst / 4) : m_burst;
        run = ++m_run;
        if (!arm(in_subs, size, burst, run, got)) return;
        const std::string rate = answer(
            in_pub, "rate " + std::to_string(size) + " " + std::to_string(burst) + " " + std::to_string(run) + " " + sent,
            "rate ");
        if (std::sscanf(rate.c_str(), "rate %lld %lld %lld %lu", &cost, &cost_p99, &total, &failures) != 4 || failures ||
            total <= 0)
            return;
        io_r.posts = burst / (total / 1e9);
        in_order = collect(in_subs) && in_order;
        const std::vector<std::int64_t> burst_sent = read_times(sent);
        if (burst_sent.empty()) return;
        double rates = 0;
        size_t received = 0, subscribers = 0;
        for_each_subscriber(in_subs, [&](const std::vector<std::int64_t>& in_times) {
            ++subscribers;
            size_t got_here = 0;
            std::int64_t last = 0;
            for (std::int64_t t : in_times)
                if (t != 0) {
                    ++got_here;
                    last = std::max(last, t);
                }
            received += got_here;
            if (got_here && last > burst_sent.front()) rates += got_here / ((last - burst_sent.front()) / 1e9);
        });
        if (subscribers == 0) return;
        io_r.delivered = rates / subscribers;
        io_r.lost = 1.0 - static_cast<double>(received) / (static_cast<double>(burst) * subscribers);
        io_r.in_order = in_order;
        io_r.ok = true;
    }

private:
    bool arm(subscribers& in_subs, size_t in_size, unsigned long in_count, std::uint32_t in_run,
             const std::string& in_file) {
        for (size_t p = 0; p < in_subs.processes.size(); ++p)
            if (answer(in_subs.processes[p],
                       "expect " + std::to_string(in_size) + " " + std::to_string(in_count) + " " +
                           std::to_string(in_run) + " " + in_file + "." + std::to_string(p),
                       "armed", 20.0)
                    .empty())
                return false;
        return true;
    }
    bool collect(subscribers& in_subs) {
        bool in_order = true;
        for (auto& p : in_subs.processes) in_order = answer(p, "collect", "got ").rfind("got 1 ", 0) == 0 && in_order;
        return in_order;
    }
    template <typename use_t>
    void for_each_subscriber(subscribers& in_subs, use_t in_use) {
        for (size_t p = 0; p < in_subs.processes.size(); ++p)
            for (unsigned k = 0; k < in_subs.counts[p]; ++k)
                in_use(read_times(m_dir + "/got." + std::to_string(p) + "." + std::to_string(k)));
    }

    unsigned long m_paced, m_burst;
    std::string m_dir;
    std::uint32_t m_run = 0;
};

// Kova over ZeroMQ of the same hosts, N and payload: "-" without such a row.
std::string ratio(const std::vector<row>& in_rows, const row& in_r, double row::*in_field) {
    if (!in_r.ok || in_r.transport.rfind("ZeroMQ", 0) == 0) return "-";
    for (const row& z : in_rows)
        if (z.ok && z.transport.rfind("ZeroMQ", 0) == 0 && z.hosts == in_r.hosts && z.n == in_r.n &&
            z.size == in_r.size && z.*in_field > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3g", in_r.*in_field / z.*in_field);
            return text;
        }
    return "-";
}

void print_table(const std::vector<row>& in_rows) {
    std::printf("| %-9s | %3s | %7s | %-10s | %9s | %11s | %6s | %8s | %8s | %5s | %6s | %6s | %6s |\n", "hosts", "N",
                "payload", "transport", "posts/s", "delivered/s", "lost", "lat us", "p99 us", "order", "xposts",
                "xdeliv", "xlat");
    std::printf("|-----------|-----|---------|------------|-----------|-------------|--------|----------|----------|"
                "-------|--------|--------|--------|\n");
    for (const row& r : in_rows) {
        if (!r.ok) {
            std::printf("| %-9s | %3u | %7zu | %-10s | %9s | %11s | %6s | %8s | %8s | %5s | %6s | %6s | %6s |\n",
                        r.hosts.c_str(), r.n, r.size, r.transport.c_str(), "failed", "-", "-", "-", "-", "-", "-", "-",
                        "-");
            continue;
        }
        std::printf("| %-9s | %3u | %7zu | %-10s | %9.0f | %11.0f | %5.1f%% | %8.1f | %8.1f | %5s | %6s | %6s | %6s |\n",
                    r.hosts.c_str(), r.n, r.size, r.transport.c_str(), r.posts, r.delivered, r.lost * 100, r.median_us,
                    r.p99_us, r.in_order ? "yes" : "NO", ratio(in_rows, r, &row::posts).c_str(),
                    ratio(in_rows, r, &row::delivered).c_str(), ratio(in_rows, r, &row::median_us).c_str());
    }
    std::fflush(stdout);
}

// A host of its own with the service and the real center.
struct bench_host {
    explicit bench_host(const std::string& in_log)
        : tree("MEMSIZE=268435456\nLOG=" + in_log + "\nCOMMAND_LOG=no\nINFORMATION_LOG=no\n", "information_bench") {}
    bool start() { return kova_bench::start_real_service(tree, service); }
    kova_test::service_host tree;
    kova_test::child_process service;
};

// in_kova: Kova subscribers (over UDP when in_udp) of the stub on in_where; else ZeroMQ
// subscribers of the endpoint in_where. One process a subscriber.
subscribers start_subscribers(kova_test::private_host& in_host, const std::string& in_self, bool in_kova, bool in_udp,
                              const std::string& in_where, unsigned in_n) {
    subscribers s;
    for (unsigned p = 0; p < in_n; ++p) {
        s.processes.push_back(in_kova ? in_host.spawn({in_self, "--kova-sub", std::to_string(c_domain), in_where,
                                                       in_udp ? "1" : "0", "1"})
                                      : in_host.spawn({in_self, "--zmq-sub", in_where, "1"}));
        s.counts.push_back(1);
    }
    for (auto& p : s.processes)
        if (answer(p, "", "ready", 60.0).empty()) {
            std::printf("a subscriber did not start: %s\n", p.output().c_str());
            s.processes.clear();
            break;
        }
    return s;
}

void stop_subscribers(subscribers& in_subs) {
    for (auto& p : in_subs.processes) p.send_line("quit");
    for (auto& p : in_subs.processes)
        if (p.wait(30) < 0) p.kill_now(SIGKILL);
    in_subs.processes.clear();
}

int run_all(unsigned long in_paced, unsigned long in_burst, const std::string& in_log, bool in_all) {
    std::string why;
    if (!kova_test::private_host::available(&why)) {
        std::printf("no private host: %s\n", why.c_str());
        return 1;
    }
    const std::string self = kova_bench::self_path();
    const std::string dir = "/tmp/" + kova_test::unique_name("information_bench_times");
    mkdir(dir.c_str(), 0755);
    bench b(in_paced, in_burst, dir);
    std::printf("information: %lu paced values per row (every 2 ms, above 4 KiB every 4 ms), bursts of %lu (%lu above\n"
                "4 KiB); Kova: service and center per private host, LOG=%s, one subscriber per process; posting model\n",
                in_paced, in_burst, std::max(1ul, in_burst / 4), in_log.c_str());
    bench_host a(in_log), h_b(in_log);
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
#else
    const std::string ipc, tcp;
    std::printf("(ZeroMQ rows left out: built without libzmq3-dev)\n");
#endif
    struct scope {
        const char* name;
        kova_test::private_host* host;
        std::string kova_ip, zmq_endpoint, zmq_name;
    };
    const scope scopes[] = {{"one host", &a.tree.host(), "127.0.0.1", ipc, "ZeroMQ ipc"},
                            {"two hosts", &h_b.tree.host(), c_ip_a, tcp, "ZeroMQ tcp"}};
    std::vector<unsigned> fan_outs = {1, 4};
    if (in_all) fan_outs.push_back(16);
    std::vector<row> rows;
    for (const scope& sc : scopes)
        for (unsigned n : fan_outs) {
            for (bool udp : {false, true}) {
                subscribers subs = start_subscribers(*sc.host, self, true, udp, sc.kova_ip, n);
                for (size_t size : c_sizes) {
                    row r;
                    r.hosts = sc.name;
                    r.transport = udp ? "Kova UDP" : "Kova TCP";
                    r.n = n;
                    r.size = size;
                    if (!subs.processes.empty()) b.measure(kova_pub, subs, r);
                    rows.push_back(r);
                    std::printf("%s N=%u %zu B %s: %s\n", sc.name, n, size, r.transport.c_str(), r.ok ? "done" : "failed");
                    std::fflush(stdout);
                }
                stop_subscribers(subs);
            }
#ifdef KOVA_BENCH_ZMQ
            subscribers subs = start_subscribers(*sc.host, self, false, false, sc.zmq_endpoint, n);
            // PUB/SUB drops what is sent before a subscriber has joined: warm up first.
            auto warmed = [&] {
                for (auto& p : subs.processes) {
                    p.wait_for_line("\x01", 0.0);  // reads what has come
                    if (p.output().find("warmed") == std::string::npos) return false;
                }
                return true;
            };
            for (int tries = 0; !subs.processes.empty() && !warmed() && tries < 5000; ++tries)
                answer(zmq_pub, "rate " + std::to_string(c_warm_size) + " 1 0 " + dir + "/warm", "rate ");
            for (size_t size : c_sizes) {
                row r;
                r.hosts = sc.name;
                r.transport = sc.zmq_name;
                r.n = n;
                r.size = size;
                if (!subs.processes.empty()) b.measure(zmq_pub, subs, r);
                rows.push_back(r);
            }
            stop_subscribers(subs);
#endif
        }
    print_table(rows);
    std::printf("x*: Kova over ZeroMQ of the same hosts, N and payload (posts/s, delivered/s: above 1 is faster;\n"
                "latency: below 1 is faster)\n");
    kova_pub.close_input();
    kova_pub.wait(30);
#ifdef KOVA_BENCH_ZMQ
    zmq_pub.close_input();
    zmq_pub.wait(30);
#endif
    const std::string cmd = "rm -rf " + kova_test::shell_quoted(dir);
    if (std::system(cmd.c_str()) != 0) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--kova-pub") == 0)
        return run_kova_pub(static_cast<Kova::domain_t>(std::atoi(argv[2])));
    if (argc == 6 && std::strcmp(argv[1], "--kova-sub") == 0)
        return run_kova_sub(static_cast<Kova::domain_t>(std::atoi(argv[2])), argv[3], std::atoi(argv[4]) != 0,
                            static_cast<unsigned>(std::atoi(argv[5])));
#ifdef KOVA_BENCH_ZMQ
    if (argc >= 3 && std::strcmp(argv[1], "--zmq-pub") == 0) return run_zmq_pub(argc - 2, argv + 2);
    if (argc == 4 && std::strcmp(argv[1], "--zmq-sub") == 0)
        return run_zmq_sub(argv[2], static_cast<unsigned>(std::atoi(argv[3])));
#endif
    return run_all(argc >= 2 ? std::strtoul(argv[1], nullptr, 10) : 300,
                   argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 1000, argc >= 4 ? argv[3] : "yes",
                   argc >= 5 && std::strcmp(argv[4], "all") == 0);
}
