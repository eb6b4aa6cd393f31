// What the fan-out benchmarks (events, information) share: the command loops of their
// publisher and subscriber processes, the files of send and receive times between them, ZeroMQ
// PUB/SUB as the peer, and the private hosts they run in.
//
// A publisher answers "lat <size> <count> <interval us> <run> <file>" (paced) and "rate <size>
// <count> <run> <file>" (a burst) with "<cmd> <cost median ns> <cost p99 ns> <total ns>
// <failures>", writing the send times to the file; a subscriber process answers "expect <size>
// <count> <run> <file>" with "armed", then "collect" with "got <1 when each came whole and in
// order> <values>", writing the receive times of its subscriber k to <file>.<k>. Times are
// CLOCK_MONOTONIC, shared by every process of the machine.
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
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

#include "bench_hosts.h"
#include "private_host.h"
#include "test_process.h"

#ifdef KOVA_BENCH_ZMQ
#include <zmq.h>
#endif

namespace kova_bench {

// A warm-up message of ZeroMQ: no measured payload has this size.
const size_t c_warm_size = 1;

inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One line on stdout, whole, from any thread.
inline void say(const std::string& in_line) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> hold(s_lock);
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

inline bool write_times(const std::string& in_path, const std::vector<std::int64_t>& in_times, size_t in_count) {
    std::ofstream f(in_path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(in_times.data()),
            static_cast<std::streamsize>(std::min(in_count, in_times.size()) * sizeof(std::int64_t)));
    return static_cast<bool>(f);
}

inline std::vector<std::int64_t> read_times(const std::string& in_path) {
    std::ifstream f(in_path, std::ios::binary);
    std::vector<std::int64_t> out;
    std::int64_t t = 0;
    while (f.read(reinterpret_cast<char*>(&t), sizeof t)) out.push_back(t);
    return out;
}

struct spread {
    double median = 0, p99 = 0;
};

// Median and p99 of io_values (sorted here); zeros when there are none.
template <typename value_t>
spread summarise(std::vector<value_t>& io_values) {
    spread s;
    if (io_values.empty()) return s;
    std::sort(io_values.begin(), io_values.end());
    s.median = static_cast<double>(io_values[io_values.size() / 2]);
    s.p99 = static_cast<double>(io_values[std::min(io_values.size() - 1, io_values.size() * 99 / 100)]);
    return s;
}

// ---- The publisher process ----

// Stamps value in_k of run in_run into a payload, as far as its size allows.
using number_fn = void (*)(std::vector<unsigned char>& io_buf, std::uint32_t in_k, std::uint32_t in_run);

// Runs a publisher's commands on stdin; in_send publishes one payload, true on success.
template <typename send_t>
int serve_publisher(number_fn in_number, send_t in_send) {
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
            in_number(buf, static_cast<std::uint32_t>(i), run);
            sent[i] = now_ns();
            if (!in_send(buf)) ++failures;
            cost[i] = now_ns() - sent[i];
        }
        const std::int64_t total = now_ns() - start;
        write_times(file, sent, count);
        const spread c = summarise(cost);
        say(cmd + " " + std::to_string(static_cast<long long>(c.median)) + " " +
            std::to_string(static_cast<long long>(c.p99)) + " " + std::to_string(total) + " " +
            std::to_string(failures));
    }
    return 0;
}

// ---- The subscriber processes ----

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

// Runs a subscriber process's commands on stdin ("expect", "collect", "quit"). A recorder_t
// has arm(size, count, run), got(), in_order() and save(path), each safe beside the receiving
// threads.
template <typename recorder_t>
int serve_subscribers(std::vector<recorder_t>& in_recorders, completion& in_done) {
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
            for (recorder_t& r : in_recorders) r.arm(size, count, run);
            say("armed");
        } else if (cmd == "collect") {
            // Every value, or nothing new for a second (what is lost stays lost).
            size_t got = 0, before = 0;
            const std::int64_t give_up = now_ns() + 120000000000;
            while (!in_done.wait(static_cast<unsigned>(in_recorders.size()), 1.0) && now_ns() < give_up) {
                got = 0;
                for (recorder_t& r : in_recorders) got += r.got();
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

// ---- The driver ----

// Sends through in_send, again while the packet memory is full of what is on its way; true
// once it went.
template <typename send_t>
bool send_while_memory_full(send_t in_send) {
    for (;;) {
        const Kova::kova_err_t e = in_send();
        if (e != Kova::c_kova_err_empty_kova_memory) return e == Kova::c_kova_success;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// The Kova subscriber role: in_count proxies (proxy_t built from its recorder and the
// completion), each created against stub in_stub on in_ip, connected by in_connect(proxy) once
// the stub is there, then served until "stop".
template <typename proxy_t, typename recorder_t, typename connect_t>
int run_kova_subscribers(Kova::domain_t in_domain, const char* in_ip, Kova::object_id_t in_stub, unsigned in_count,
                         connect_t in_connect) {
    Kova::initialize();
    std::vector<recorder_t> recorders(in_count);
    completion done;
    std::vector<std::unique_ptr<proxy_t>> proxies;
    int status = 0;
    for (unsigned k = 0; k < in_count && status == 0; ++k) {
        proxies.emplace_back(new proxy_t(recorders[k], done));
        proxy_t& p = *proxies.back();
        if (p.create(in_domain, inet_addr(in_ip), in_stub) != Kova::c_kova_success) status = 1;
        const std::int64_t until = now_ns() + 10000000000;
        while (status == 0 && !p.is_live() && now_ns() < until) usleep(1000);
        if (status == 0 && in_connect(p) != Kova::c_kova_success) status = 1;
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

// One line of a probe's answer to in_command (none: to nothing), "" on time-out.
inline std::string answer(kova_test::child_process& in_child, const std::string& in_command,
                          const std::string& in_prefix, double in_timeout_s = 180.0) {
    const size_t from = in_child.output().size();
    if (!in_command.empty()) in_child.send_line(in_command);
    return in_child.wait_for_prefix(in_prefix, in_timeout_s, from);
}

// A publisher's answer to "lat" or "rate"; ok when it parsed and nothing failed.
struct publish_answer {
    long long cost_ns = 0, cost_p99_ns = 0, total_ns = 0;
    unsigned long failures = 0;
    bool ok = false;
};

inline publish_answer publish(kova_test::child_process& in_pub, const std::string& in_command) {
    publish_answer a;
    const std::string cmd = in_command.substr(0, in_command.find(' '));
    const std::string line = answer(in_pub, in_command, cmd + " ");
    a.ok = std::sscanf(line.c_str() + std::min(line.size(), cmd.size()), " %lld %lld %lld %lu", &a.cost_ns,
                       &a.cost_p99_ns, &a.total_ns, &a.failures) == 4 &&
           a.failures == 0 && a.total_ns > 0;
    return a;
}

inline std::string lat_command(size_t in_size, unsigned long in_count, long in_interval_us, std::uint32_t in_run,
                               const std::string& in_file) {
    return "lat " + std::to_string(in_size) + " " + std::to_string(in_count) + " " + std::to_string(in_interval_us) +
           " " + std::to_string(in_run) + " " + in_file;
}

inline std::string rate_command(size_t in_size, unsigned long in_count, std::uint32_t in_run,
                                const std::string& in_file) {
    return "rate " + std::to_string(in_size) + " " + std::to_string(in_count) + " " + std::to_string(in_run) + " " +
           in_file;
}

// The subscriber processes of one layout, with their subscriber counts.
struct subscribers {
    std::vector<kova_test::child_process> processes;
    std::vector<unsigned> counts;

    // Starts in_processes processes of in_argv (with in_each subscribers each) in in_host and
    // waits for each to say "ready"; none on failure.
    bool start(kova_test::private_host& in_host, const std::vector<std::string>& in_argv, unsigned in_processes,
               unsigned in_each) {
        for (unsigned p = 0; p < in_processes; ++p) {
            processes.push_back(in_host.spawn(in_argv));
            counts.push_back(in_each);
        }
        for (auto& p : processes)
            if (answer(p, "", "ready", 60.0).empty()) {
                std::printf("a subscriber did not start: %s\n", p.output().c_str());
                stop();
                return false;
            }
        return true;
    }
    // Every process expects in_count values of in_size of run in_run; their times go to
    // in_file.<process>.<subscriber>.
    bool arm(size_t in_size, unsigned long in_count, std::uint32_t in_run, const std::string& in_file) {
        for (size_t p = 0; p < processes.size(); ++p)
            if (answer(processes[p],
                       "expect " + std::to_string(in_size) + " " + std::to_string(in_count) + " " +
                           std::to_string(in_run) + " " + in_file + "." + std::to_string(p),
                       "armed", 20.0)
                    .empty())
                return false;
        return true;
    }
    // Waits for what comes; true when every subscriber had its values whole and in order.
    // The processes wait at once: each waits out a second of silence when values are lost.
    bool collect() {
        std::vector<size_t> from;
        for (auto& p : processes) {
            from.push_back(p.output().size());
            p.send_line("collect");
        }
        bool in_order = true;
        for (size_t p = 0; p < processes.size(); ++p)
            in_order = processes[p].wait_for_prefix("got ", 180.0, from[p]).rfind("got 1 ", 0) == 0 && in_order;
        return in_order;
    }
    // in_use(receive times) for each subscriber, from the files of in_file.
    template <typename use_t>
    void for_each(const std::string& in_file, use_t in_use) {
        for (size_t p = 0; p < processes.size(); ++p)
            for (unsigned k = 0; k < counts[p]; ++k)
                in_use(read_times(in_file + "." + std::to_string(p) + "." + std::to_string(k)));
    }
    void stop() {
        for (auto& p : processes) p.send_line("quit");
        for (auto& p : processes)
            if (p.wait(30) < 0) p.kill_now(SIGKILL);
        processes.clear();
        counts.clear();
    }
};

// A host of its own with the service and the real center, started without waiting for a log.
struct bench_host {
    bench_host(const std::string& in_log, const std::string& in_name)
        : tree("MEMSIZE=268435456\nLOG=" + in_log + "\nCOMMAND_LOG=no\nINFORMATION_LOG=no\n", in_name) {}
    bool start() {
        if (!tree.ok() || !kova_test::copy_file(KOVA_CENTER_PROGRAM, tree.bin() + "Kova_General_Center")) return false;
        service = tree.host().spawn({tree.bin() + "Kova_General_Service"});
        return service.pid() > 0 && tree.host().wait_for_shm("kova_service_ipcpipe");
    }
    kova_test::service_host tree;
    kova_test::child_process service;
};

// A directory of its own under /tmp for the time files, removed with this.
class time_dir {
public:
    explicit time_dir(const std::string& in_name) : m_path("/tmp/" + kova_test::unique_name(in_name)) {
        mkdir(m_path.c_str(), 0755);
    }
    ~time_dir() {
        const std::string cmd = "rm -rf " + kova_test::shell_quoted(m_path);
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    time_dir(const time_dir&) = delete;
    time_dir& operator=(const time_dir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// ---- ZeroMQ ----

#ifdef KOVA_BENCH_ZMQ
// A PUB socket bound to each endpoint, high-water mark 0: nothing dropped.
inline int run_zmq_pub(int argc, char** argv, number_fn in_number) {
    void* ctx = zmq_ctx_new();
    void* pub = zmq_socket(ctx, ZMQ_PUB);
    int zero = 0;
    zmq_setsockopt(pub, ZMQ_SNDHWM, &zero, sizeof zero);
    for (int i = 0; i < argc; ++i)
        if (zmq_bind(pub, argv[i]) != 0) {
            say(std::string("bind failed ") + argv[i]);
            return 1;
        }
    say("ready");
    const std::vector<unsigned char> warm(c_warm_size, 0xff);
    const int status = serve_publisher(in_number, [&](const std::vector<unsigned char>& in_buf) {
        // "warm" (a size no measured payload has) until every subscriber has heard one.
        if (in_buf.size() == c_warm_size) return zmq_send(pub, warm.data(), warm.size(), 0) >= 0;
        return zmq_send(pub, in_buf.data(), in_buf.size(), 0) == static_cast<int>(in_buf.size());
    });
    zmq_close(pub);
    zmq_ctx_term(ctx);
    return status;
}

// in_count SUB sockets of in_endpoint, a thread each; says "warmed" once each has heard a
// warm-up message.
template <typename recorder_t>
int run_zmq_sub(const char* in_endpoint, unsigned in_count) {
    void* ctx = zmq_ctx_new();
    std::vector<recorder_t> recorders(in_count);
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

// PUB/SUB drops what is sent before a subscriber has joined: warm-up messages until every
// process of in_subs says it has heard one.
inline void warm_up(kova_test::child_process& in_pub, subscribers& in_subs, const std::string& in_dir) {
    auto warmed = [&] {
        for (auto& p : in_subs.processes) {
            p.wait_for_line("\x01", 0.0);  // reads what has come
            if (p.output().find("warmed") == std::string::npos) return false;
        }
        return true;
    };
    for (int tries = 0; !in_subs.processes.empty() && !warmed() && tries < 5000; ++tries)
        answer(in_pub, rate_command(c_warm_size, 1, 0, in_dir + "/warm"), "rate ");
}
#endif

}  // namespace kova_bench
