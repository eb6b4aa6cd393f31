// What the one-way benchmarks (events, information values, posted commands) share: the command
// loops of their publisher and subscriber processes, the files of send and receive times
// between them, ZeroMQ as the peer (PUB/SUB or PUSH/PULL, unbounded and with its default
// high-water mark), the private hosts they run in, the options, the measurement of one row in
// which the systems take turns, and the table with the ratios.
//
// A publisher answers "lat <size> <count> <interval us> <run> <file>" (paced) and "rate <size>
// <count> <run> <file>" (a burst) with "<cmd> <cost median ns> <cost p99 ns> <total ns>
// <failures>", writing the send times to the file (negated for a send that was refused); a subscriber process answers "expect <size>
// <count> <run> <file>" with "armed", then "collect" with "got <received> <in order> <last>
// <duplicates>" over its subscribers, writing the receive times of its subscriber k by value
// number (0: not received) to <file>.<k>. Times are CLOCK_MONOTONIC, shared by every process of
// the machine.
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
#include <functional>
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

inline std::string size_text(size_t in_size) {
    return in_size >= 1024 && in_size % 1024 == 0 ? std::to_string(in_size / 1024) + " KiB"
                                                   : std::to_string(in_size) + " B";
}

// ---- The publisher process ----

// Value in_k of run in_run: both in its first 8 bytes. A shorter payload carries neither: its
// subscribers number what comes by arrival.
inline void number(std::vector<unsigned char>& io_buf, std::uint32_t in_k, std::uint32_t in_run) {
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
            const std::int64_t at = now_ns();
            sent[i] = at;
            if (!in_send(buf)) {
                ++failures;
                sent[i] = -at;  // refused: the driver knows what was taken
            }
            cost[i] = now_ns() - at;
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

// The Kova publisher role: an object_t (a stub, or a proxy) opened by in_open(object) (an SDK
// code), then the publisher's commands, each payload sent by in_send(object, data, size) and
// again while the packet memory is full, until the input ends.
template <typename object_t, typename open_t, typename send_t>
int run_kova_publisher(open_t in_open, send_t in_send) {
    Kova::initialize();
    int status = 0;
    {
        object_t object;
        const Kova::kova_err_t err = in_open(object);
        if (err != Kova::c_kova_success) {
            say("open failed " + std::to_string(err));
            status = 1;
        } else {
            say("ready");
            status = serve_publisher([&](const std::vector<unsigned char>& in_buf) {
                const void* p = in_buf.data();
                const Kova::pksize_t n = static_cast<Kova::pksize_t>(in_buf.size());
                return send_while_memory_full([&] { return in_send(object, p, n); });
            });
        }
        object.destroy();
    }
    Kova::finalize();
    return status;
}

// ---- The subscriber processes ----

// The receive times of one subscriber by value number (0: not received), of one run: what
// came, whether each came after every value numbered below it, and how often one came again.
// Values of another run or size (a subscription's first value, a late one) are not counted.
class recorder {
public:
    void arm(size_t in_size, size_t in_count, std::uint32_t in_run) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_size = in_size;
        m_run = in_run;
        m_times.assign(in_count, 0);
        m_got = m_arrivals = m_next = m_duplicates = 0;
        m_in_order = true;
    }
    // One payload arrived; true when it completes the expected count.
    bool arrive(const void* pin_data, size_t in_size) {
        const std::int64_t t = now_ns();
        std::lock_guard<std::mutex> hold(m_lock);
        if (in_size != m_size) return false;
        std::uint32_t k = static_cast<std::uint32_t>(m_arrivals), run = m_run;
        if (in_size >= 8) {
            std::memcpy(&k, pin_data, 4);
            std::memcpy(&run, static_cast<const char*>(pin_data) + 4, 4);
        }
        if (run != m_run || k >= m_times.size()) return false;
        ++m_arrivals;
        if (m_times[k] != 0) {
            ++m_duplicates;
            return false;
        }
        if (k < m_next) m_in_order = false;
        m_next = std::max<size_t>(m_next, k + 1);
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
    bool has_last() {
        std::lock_guard<std::mutex> hold(m_lock);
        return !m_times.empty() && m_times.back() != 0;
    }
    size_t duplicates() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_duplicates;
    }
    bool save(const std::string& in_path) {
        std::lock_guard<std::mutex> hold(m_lock);
        return write_times(in_path, m_times, m_times.size());
    }

private:
    std::mutex m_lock;
    size_t m_size = 0, m_got = 0, m_arrivals = 0, m_next = 0, m_duplicates = 0;
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

// Runs a subscriber process's commands on stdin ("expect", "collect", "quit"); its receiving
// threads feed in_recorders and in_done.
inline int serve_subscribers(std::vector<recorder>& in_recorders, completion& in_done) {
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
            const std::int64_t give_up = now_ns() + 600000000000;
            while (!in_done.wait(static_cast<unsigned>(in_recorders.size()), 1.0) && now_ns() < give_up) {
                got = 0;
                for (recorder& r : in_recorders) got += r.got();
                if (got == before) break;
                before = got;
            }
            bool in_order = true, last = true;
            size_t duplicates = 0;
            got = 0;
            for (size_t k = 0; k < in_recorders.size(); ++k) {
                in_order = in_recorders[k].in_order() && in_order;
                last = in_recorders[k].has_last() && last;
                got += in_recorders[k].got();
                duplicates += in_recorders[k].duplicates();
                in_recorders[k].save(file + "." + std::to_string(k));
            }
            say("got " + std::to_string(got) + " " + std::to_string(in_order ? 1 : 0) + " " +
                std::to_string(last ? 1 : 0) + " " + std::to_string(duplicates));
        } else {
            say("unknown " + cmd);
        }
    }
    return 0;
}

// The Kova subscriber role: in_count proxies (proxy_t built from its recorder and the
// completion), each created against stub in_stub on in_ip, connected by in_connect(proxy) once
// the stub is there, then served until "quit".
template <typename proxy_t, typename connect_t>
int run_kova_subscribers(Kova::domain_t in_domain, const char* in_ip, Kova::object_id_t in_stub, unsigned in_count,
                         connect_t in_connect) {
    Kova::initialize();
    std::vector<recorder> recorders(in_count);
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

// ---- The driver ----

// One line of a probe's answer to in_command (none: to nothing), "" on time-out.
inline std::string answer(kova_test::child_process& in_child, const std::string& in_command,
                          const std::string& in_prefix, double in_timeout_s = 660.0) {
    const size_t from = in_child.output().size();
    if (!in_command.empty()) in_child.send_line(in_command);
    return in_child.wait_for_prefix(in_prefix, in_timeout_s, from);
}

// A publisher's answer to "lat" or "rate"; ok when it parsed. A send that failed is a value
// lost: the row counts it.
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
           a.total_ns > 0;
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

// What the subscriber processes said to "collect", over all of them.
struct collected {
    size_t received = 0, duplicates = 0;
    bool in_order = true, last = true, answered = true;
};

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
    unsigned total() const {
        unsigned n = 0;
        for (unsigned c : counts) n += c;
        return n;
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
    // Waits for what comes. The processes wait at once: each waits out a second of silence
    // when values are lost.
    collected collect() {
        std::vector<size_t> from;
        for (auto& p : processes) {
            from.push_back(p.output().size());
            p.send_line("collect");
        }
        collected c;
        for (size_t p = 0; p < processes.size(); ++p) {
            const std::string line = processes[p].wait_for_prefix("got ", 660.0, from[p]);
            size_t got = 0, duplicates = 0;
            int in_order = 0, last = 0;
            if (std::sscanf(line.c_str(), "got %zu %d %d %zu", &got, &in_order, &last, &duplicates) != 4) {
                c.answered = false;
                continue;
            }
            c.received += got;
            c.duplicates += duplicates;
            c.in_order = c.in_order && in_order == 1;
            c.last = c.last && last == 1;
        }
        return c;
    }
    // in_use(receive times by value number) for each subscriber, from the files of in_file.
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

// Host A, and host B joined to it by a veth pair when in_two; ok() when all of it started.
class bench_hosts {
public:
    bench_hosts(const std::string& in_log, const std::string& in_name, bool in_two, const std::string& in_ip_a,
                const std::string& in_ip_b)
        : m_a(in_log, in_name) {
        m_ok = m_a.start();
        if (m_ok && in_two) {
            m_b.reset(new bench_host(in_log, in_name));
            m_ok = m_b->start() && kova_test::join_hosts(m_a.tree.host(), m_b->tree.host(), in_ip_a, in_ip_b);
        }
        if (!m_ok) std::printf("the hosts did not start\n");
    }
    bool ok() const { return m_ok; }
    kova_test::private_host& a() { return m_a.tree.host(); }
    // Host B; host A when there is no second host.
    kova_test::private_host& b() { return m_b ? m_b->tree.host() : m_a.tree.host(); }

private:
    bench_host m_a;
    std::unique_ptr<bench_host> m_b;
    bool m_ok = false;
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

// The peer's high-water marks: 0 queues without bound, 1000 is what a socket has unless told
// otherwise (PUB drops beyond it, PUSH blocks).
const int c_zmq_unbounded = 0;
const int c_zmq_default_hwm = 1000;

#ifdef KOVA_BENCH_ZMQ
inline int zmq_type(const std::string& in_name) {
    return in_name == "pub" ? ZMQ_PUB : in_name == "push" ? ZMQ_PUSH : in_name == "pull" ? ZMQ_PULL : ZMQ_SUB;
}

// A sending socket of in_type ("pub", "push") with high-water mark in_hwm, bound to each
// endpoint.
inline int run_zmq_pub(const std::string& in_type, int in_hwm, int argc, char** argv) {
    void* ctx = zmq_ctx_new();
    void* pub = zmq_socket(ctx, zmq_type(in_type));
    zmq_setsockopt(pub, ZMQ_SNDHWM, &in_hwm, sizeof in_hwm);
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
    int linger = 0;
    zmq_setsockopt(pub, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(pub);
    zmq_ctx_term(ctx);
    return status;
}

// in_count receiving sockets of in_type ("sub", "pull") and high-water mark in_hwm, connected
// to in_endpoint, a thread each; says "warmed" once each has heard a warm-up message.
inline int run_zmq_sub(const std::string& in_type, int in_hwm, const char* in_endpoint, unsigned in_count) {
    void* ctx = zmq_ctx_new();
    std::vector<recorder> recorders(in_count);
    completion done;
    std::atomic<unsigned> warmed{0};
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < in_count; ++k)
        threads.emplace_back([&, k] {
            void* sub = zmq_socket(ctx, zmq_type(in_type));
            zmq_setsockopt(sub, ZMQ_RCVHWM, &in_hwm, sizeof in_hwm);
            if (zmq_type(in_type) == ZMQ_SUB) zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
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
            int linger = 0;
            zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger);
            zmq_close(sub);
        });
    say("ready");
    serve_subscribers(recorders, done);
    zmq_ctx_shutdown(ctx);  // the receives end with ETERM
    for (auto& t : threads) t.join();
    zmq_ctx_term(ctx);
    return 0;
}

// The ZeroMQ roles of a benchmark's command line: "--zmq-pub <type> <hwm> <endpoint>..." and
// "--zmq-sub <type> <hwm> <endpoint> <count>"; -1 when in_argv is neither.
inline int run_zmq_role(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--zmq-pub") == 0) return run_zmq_pub(argv[2], std::atoi(argv[3]), argc - 4, argv + 4);
    if (argc == 6 && std::strcmp(argv[1], "--zmq-sub") == 0)
        return run_zmq_sub(argv[2], std::atoi(argv[3]), argv[4], static_cast<unsigned>(std::atoi(argv[5])));
    return -1;
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
#else
inline int run_zmq_role(int, char**) { return -1; }
#endif

// A ZeroMQ sender of in_type with high-water mark in_hwm in in_host, bound to in_endpoints;
// pid -1 (and a message) when it did not start or ZeroMQ is not built in.
inline kova_test::child_process start_zmq_pub(kova_test::private_host& in_host, const std::string& in_type,
                                              int in_hwm, const std::vector<std::string>& in_endpoints) {
    kova_test::child_process p;
#ifdef KOVA_BENCH_ZMQ
    std::vector<std::string> argv{self_path(), "--zmq-pub", in_type, std::to_string(in_hwm)};
    argv.insert(argv.end(), in_endpoints.begin(), in_endpoints.end());
    p = in_host.spawn(argv);
    if (answer(p, "", "ready", 30.0).empty()) {
        std::printf("the ZeroMQ sender did not start: %s\n", p.output().c_str());
        p.kill_now(SIGKILL);
        p.wait(5);
        return kova_test::child_process();
    }
#else
    (void)in_host, (void)in_type, (void)in_hwm, (void)in_endpoints;
#endif
    return p;
}

// Ends a publisher: its input closes, it ends (or is killed).
inline void stop_publisher(kova_test::child_process& io_pub) {
    if (io_pub.pid() <= 0) return;
    io_pub.close_input();
    if (io_pub.wait(30) < 0) io_pub.kill_now(SIGKILL);
}

// ---- The options ----

struct series_options {
    unsigned long paced = 500, burst = 5000;
    std::string log = "yes";
    bool one_host = true, two_hosts = true;
    std::vector<unsigned> fan_outs{1, 4, 16};
    std::vector<size_t> sizes;
    bool processes = true, one_process = true;  // the layouts of N subscribers
    bool tcp = true, udp = true;                // Kova's transports, where a benchmark has both
    unsigned rounds = 2;
};

inline std::vector<size_t> parse_list(const std::string& in_text) {
    std::vector<size_t> out;
    std::istringstream in(in_text);
    for (std::string n; std::getline(in, n, ',');)
        if (!n.empty()) out.push_back(std::strtoul(n.c_str(), nullptr, 10));
    return out;
}

// Reads "--paced n --burst n --log yes|no --hosts one|two|all --n 1,4,16 --sizes a,b
// --layout processes|one|all --kova tcp|udp|all --rounds n" from in_argv[in_from]; false, with
// a message, on anything else.
inline bool parse_options(int argc, char** argv, int in_from, series_options& io_o) {
    for (int i = in_from; i < argc; i += 2) {
        const std::string key = argv[i];
        if (i + 1 >= argc) {
            std::printf("%s needs a value\n", key.c_str());
            return false;
        }
        const std::string value = argv[i + 1];
        const unsigned long n = std::strtoul(value.c_str(), nullptr, 10);
        if (key == "--paced") {
            io_o.paced = std::max(1ul, n);
        } else if (key == "--burst") {
            io_o.burst = std::max(1ul, n);
        } else if (key == "--log") {
            io_o.log = value;
        } else if (key == "--hosts") {
            io_o.one_host = value != "two";
            io_o.two_hosts = value != "one";
        } else if (key == "--n") {
            io_o.fan_outs.clear();
            for (size_t f : parse_list(value))
                if (f > 0) io_o.fan_outs.push_back(static_cast<unsigned>(f));
        } else if (key == "--sizes") {
            io_o.sizes = parse_list(value);
        } else if (key == "--layout") {
            io_o.processes = value != "one";
            io_o.one_process = value != "processes";
        } else if (key == "--kova") {
            io_o.tcp = value != "udp";
            io_o.udp = value != "tcp";
        } else if (key == "--rounds") {
            io_o.rounds = std::max(1u, static_cast<unsigned>(n));
        } else {
            std::printf("unknown option %s\n", key.c_str());
            return false;
        }
    }
    return true;
}

// The first lines of a one-way benchmark: what each row and system runs, and in_kova about
// Kova's hosts.
inline void print_plan(const std::string& in_what, const series_options& in_o, const std::string& in_kova) {
    std::printf("%s: %lu paced per row and system (every 2 ms, above 4 KiB every 4 ms), bursts of %lu (%lu above\n"
                "4 KiB), in %u rounds with the systems taking turns; Kova: service and center per private host,\n"
                "LOG=%s, %s\n",
                in_what.c_str(), in_o.paced, in_o.burst, std::max(1ul, in_o.burst / 4), in_o.rounds,
                in_o.log.c_str(), in_kova.c_str());
    std::fflush(stdout);
}

// ---- One row: the systems take turns ----

// One system of a row: its publisher and its subscribers. kind tells the ratios which row is
// whose: "kova", "zmq" (unbounded), "zmq1000" (the default high-water mark), "raw".
struct system_under_test {
    std::string name, kind;
    kova_test::child_process* pub = nullptr;
    subscribers subs;
};

// One system's figures in one row (hosts, layout, N, payload), gathered over the rounds.
struct series_row {
    std::string hosts, layout, transport, kind;
    unsigned n = 0;
    size_t size = 0;
    bool failed = false;
    // Gathered: the paced phases' latencies and send times, and the bursts' counts.
    std::vector<double> latencies, paced_costs, paced_p99s, burst_costs, burst_p99s;
    double published = 0, publish_s = 0;  // values sent in bursts, the publisher's time for them
    double received = 0, expected = 0;    // of the bursts, over every subscriber
    double rate_sum = 0, rate_samples = 0;
    unsigned long send_failures = 0, duplicates = 0;
    size_t taken_lost = 0;  // burst values a send took that a subscriber never got
    bool in_order = true, last = true;
    // Figures, once finish() ran.
    double posts = 0, delivered = 0, median_us = 0, p99_us = 0, cost_us = 0, cost_p99_us = 0, burst_cost_us = 0,
           burst_cost_p99_us = 0;
    bool ok() const { return !failed && published > 0; }
    void finish() {
        const spread l = summarise(latencies);
        median_us = l.median;
        p99_us = l.p99;
        posts = publish_s > 0 ? published / publish_s : 0;
        delivered = rate_samples > 0 ? rate_sum / rate_samples : 0;
        cost_us = summarise(paced_costs).median;
        cost_p99_us = summarise(paced_p99s).median;
        burst_cost_us = summarise(burst_costs).median;
        burst_cost_p99_us = summarise(burst_p99s).median;
    }
};

// Whether a subscriber's receive times by value number (in_got) hold the last value whose send
// was taken (in_sent, negative where refused); *pout_lost, if given, counts on the values taken
// that never came. True when nothing was taken.
inline bool has_last_taken(const std::vector<std::int64_t>& in_sent, const std::vector<std::int64_t>& in_got,
                           size_t* pout_lost) {
    size_t last = in_sent.size();
    for (size_t i = 0; i < in_sent.size(); ++i)
        if (in_sent[i] > 0) {
            last = i;
            if (pout_lost && (i >= in_got.size() || in_got[i] == 0)) ++*pout_lost;
        }
    return last == in_sent.size() || (last < in_got.size() && in_got[last] != 0);
}

// Paced phases send one value every 2 ms, above 4 KiB every 4 ms; bursts go as fast as the
// publisher goes, a quarter of the count above 4 KiB. The counts are shared out over the rounds.
class series {
public:
    series(const series_options& in_o, const std::string& in_dir) : m_o(in_o), m_dir(in_dir) {}

    // Every system's row of the payload, hosts, layout and N of in_key: each round runs every
    // system once, every other round the other way round, so that no system always goes first
    // and all meet the same load. in_probe(system, row, true) before a burst, (..., false) after.
    template <typename row_t, typename probe_t>
    std::vector<row_t> run_rows(std::vector<system_under_test>& in_systems, const row_t& in_key, probe_t in_probe) {
        std::vector<row_t> rows(in_systems.size(), in_key);
        for (size_t s = 0; s < in_systems.size(); ++s) {
            rows[s].transport = in_systems[s].name;
            rows[s].kind = in_systems[s].kind;
            rows[s].failed = in_systems[s].subs.processes.empty();
        }
        const unsigned long paced = std::max(1ul, m_o.paced / m_o.rounds);
        const unsigned long burst = std::max(1ul, (in_key.size > 4096 ? m_o.burst / 4 : m_o.burst) / m_o.rounds);
        for (unsigned round = 0; round < m_o.rounds; ++round)
            for (size_t turn = 0; turn < in_systems.size(); ++turn) {
                const size_t s = round % 2 ? in_systems.size() - 1 - turn : turn;
                measure(in_systems[s], paced, burst, rows[s], in_probe);
            }
        for (row_t& r : rows) r.finish();
        return rows;
    }

private:
    template <typename row_t, typename probe_t>
    void measure(system_under_test& in_sys, unsigned long in_paced, unsigned long in_burst, row_t& io_r,
                 probe_t& in_probe) {
        if (io_r.failed) return;
        io_r.failed = true;  // until the end
        const std::string sent = m_dir + "/sent", got = m_dir + "/got";
        const size_t size = io_r.size;
        const long interval_us = size > 4096 ? 4000 : 2000;
        std::uint32_t run = ++m_run;
        if (!in_sys.subs.arm(size, in_paced, run, got)) return;
        const publish_answer lat = publish(*in_sys.pub, lat_command(size, in_paced, interval_us, run, sent));
        if (!lat.ok) return;
        const collected paced = in_sys.subs.collect();
        if (!paced.answered) return;
        io_r.paced_costs.push_back(lat.cost_ns / 1e3);
        io_r.paced_p99s.push_back(lat.cost_p99_ns / 1e3);
        const std::vector<std::int64_t> send_times = read_times(sent);
        // Numbered values say which was taken; shorter ones only whether the last came.
        bool paced_last = size >= 8 || paced.last;
        in_sys.subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            for (size_t i = 0; i < in_times.size() && i < send_times.size(); ++i)
                if (in_times[i] != 0 && send_times[i] > 0) io_r.latencies.push_back((in_times[i] - send_times[i]) / 1e3);
            if (size >= 8) paced_last = has_last_taken(send_times, in_times, nullptr) && paced_last;
        });

        run = ++m_run;
        if (!in_sys.subs.arm(size, in_burst, run, got)) return;
        in_probe(in_sys, io_r, true);
        const publish_answer rate = publish(*in_sys.pub, rate_command(size, in_burst, run, sent));
        if (!rate.ok) return;
        const collected burst = in_sys.subs.collect();
        in_probe(in_sys, io_r, false);
        if (!burst.answered) return;
        io_r.burst_costs.push_back(rate.cost_ns / 1e3);
        io_r.burst_p99s.push_back(rate.cost_p99_ns / 1e3);
        const std::vector<std::int64_t> burst_sent = read_times(sent);
        if (burst_sent.empty()) return;
        const std::int64_t first_send = std::llabs(burst_sent.front());
        bool burst_last = size >= 8 || burst.last;
        // Per subscriber: what came, over the time from the first send to its last arrival.
        in_sys.subs.for_each(got, [&](const std::vector<std::int64_t>& in_times) {
            size_t here = 0;
            std::int64_t last = 0;
            for (std::int64_t t : in_times)
                if (t != 0) {
                    ++here;
                    last = std::max(last, t);
                }
            io_r.received += here;
            io_r.expected += in_burst;
            io_r.rate_samples += 1;
            if (here && last > first_send) io_r.rate_sum += here / ((last - first_send) / 1e9);
            if (size >= 8) burst_last = has_last_taken(burst_sent, in_times, &io_r.taken_lost) && burst_last;
        });
        io_r.published += in_burst;
        io_r.publish_s += rate.total_ns / 1e9;
        io_r.send_failures += lat.failures + rate.failures;
        io_r.duplicates += paced.duplicates + burst.duplicates;
        io_r.in_order = io_r.in_order && paced.in_order && burst.in_order;
        io_r.last = io_r.last && paced_last && burst_last;
        io_r.failed = false;
    }

    series_options m_o;
    std::string m_dir;
    std::uint32_t m_run = 0;
};

// ---- The table ----

inline std::string figure(double in_value, const char* in_format) {
    char text[48];
    std::snprintf(text, sizeof text, in_format, in_value);
    return text;
}

// A column: its head, its width, and its cell of a row; a key column is printed for a row that
// failed too.
template <typename row_t>
struct column {
    std::string head;
    int width;
    std::function<std::string(const row_t&)> cell;
    bool key = false;
};

// in_r's field over the same field of the row of kind in_kind with the same hosts, layout, N
// and payload; "-" for a row that is not Kova's or without such a peer.
template <typename row_t>
std::string ratio(const std::vector<row_t>& in_rows, const row_t& in_r, const std::string& in_kind,
                  double series_row::*in_field) {
    if (!in_r.ok() || in_r.kind != "kova") return "-";
    for (const row_t& z : in_rows)
        if (z.ok() && z.kind == in_kind && z.hosts == in_r.hosts && z.layout == in_r.layout && z.n == in_r.n &&
            z.size == in_r.size && z.*in_field > 0)
            return figure(in_r.*in_field / z.*in_field, "%.3g");
    return "-";
}

// The columns every one-way benchmark prints: which row, what arrived, how fast, what a send
// cost the publisher (paced and in a burst) and the latency.
template <typename row_t>
std::vector<column<row_t>> series_columns(const char* in_unit) {
    using c = column<row_t>;
    return {
        c{"hosts", 9, [](const row_t& r) { return r.hosts; }, true},
        c{"layout", 11, [](const row_t& r) { return r.layout; }, true},
        c{"N", 2, [](const row_t& r) { return std::to_string(r.n); }, true},
        c{"payload", 7, [](const row_t& r) { return size_text(r.size); }, true},
        c{"transport", 16, [](const row_t& r) { return r.transport; }, true},
        c{"received / expected", 19,
          [](const row_t& r) { return figure(r.received, "%.0f") + " / " + figure(r.expected, "%.0f"); }},
        c{"order", 5, [](const row_t& r) { return std::string(r.in_order ? "yes" : "NO"); }},
        c{"last", 4, [](const row_t& r) { return std::string(r.last ? "yes" : "NO"); }},
        c{"dup", 3, [](const row_t& r) { return std::to_string(r.duplicates); }},
        c{"fail", 4, [](const row_t& r) { return std::to_string(r.send_failures); }},
        c{"lost", 4, [](const row_t& r) { return std::to_string(r.taken_lost); }},
        c{"posts/s", 8, [](const row_t& r) { return figure(r.posts, "%.0f"); }},
        c{std::string(in_unit) + "/s", 8, [](const row_t& r) { return figure(r.delivered, "%.0f"); }},
        c{"send us", 7, [](const row_t& r) { return figure(r.cost_us, "%.1f"); }},
        c{"send p99", 8, [](const row_t& r) { return figure(r.cost_p99_us, "%.1f"); }},
        c{"burst us", 8, [](const row_t& r) { return figure(r.burst_cost_us, "%.1f"); }},
        c{"burst p99", 9, [](const row_t& r) { return figure(r.burst_cost_p99_us, "%.1f"); }},
        c{"lat us", 8, [](const row_t& r) { return figure(r.median_us, "%.1f"); }},
        c{"lat p99", 8, [](const row_t& r) { return figure(r.p99_us, "%.1f"); }},
    };
}

// The rows of a benchmark, printed as they come: the shared columns, a benchmark's own, then
// the ratios of Kova's rows to their peers' (which look the peers up among the rows).
template <typename row_t>
class series_table {
public:
    explicit series_table(const char* in_unit) : m_columns(series_columns<row_t>(in_unit)) {}
    series_table(const series_table&) = delete;
    series_table& operator=(const series_table&) = delete;

    void add(const column<row_t>& in_column) { m_columns.push_back(in_column); }
    // Kova's rate and latency over those of the rows of in_kind, headed in_tag; with in_kind the
    // unbounded ZeroMQ, its rate over that of the default high-water mark's row as well. Only
    // for rows of transport in_only, unless that is empty.
    void add_ratios(const std::string& in_kind, const std::string& in_tag, const std::string& in_only = "") {
        const auto cell = [this, in_only](const std::string& in_peer, double series_row::*in_field) {
            return [this, in_peer, in_only, in_field](const row_t& r) {
                return in_only.empty() || r.transport == in_only ? ratio(m_rows, r, in_peer, in_field)
                                                                 : std::string("-");
            };
        };
        // "%.3g" of a small ratio takes 7 characters.
        const int w = std::max(7, static_cast<int>(in_tag.size()) + 7);
        add({in_tag + " rate", w, cell(in_kind, &series_row::delivered)});
        add({in_tag + " lat", w, cell(in_kind, &series_row::median_us)});
        if (in_kind == "zmq") add({in_tag + "1k rate", w + 1, cell("zmq1000", &series_row::delivered)});
    }
    void print_head() const {
        std::string head = "|", rule = "|";
        for (const column<row_t>& c : m_columns) {
            head += " " + std::string(std::max<int>(0, c.width - static_cast<int>(c.head.size())), ' ') + c.head + " |";
            rule += std::string(static_cast<size_t>(c.width) + 2, '-') + "|";
        }
        std::printf("%s\n%s\n", head.c_str(), rule.c_str());
        std::fflush(stdout);
    }
    // Keeps in_rows and prints them.
    void print(const std::vector<row_t>& in_rows) {
        const size_t first = m_rows.size();
        m_rows.insert(m_rows.end(), in_rows.begin(), in_rows.end());
        for (size_t k = first; k < m_rows.size(); ++k) print_row(m_rows[k]);
    }
    const std::vector<row_t>& rows() const { return m_rows; }

private:
    void print_row(const row_t& in_r) const {
        std::string line = "|";
        bool said = false;
        for (const column<row_t>& c : m_columns) {
            const std::string cell = c.key || in_r.ok() ? c.cell(in_r) : said ? "-" : "failed";
            if (!c.key && !in_r.ok()) said = true;
            line += " " + std::string(std::max<int>(0, c.width - static_cast<int>(cell.size())), ' ') + cell + " |";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    std::vector<column<row_t>> m_columns;
    std::vector<row_t> m_rows;
};

// What the columns and the ZeroMQ ratios mean.
inline void print_ratio_legend() {
    std::printf(
        "Z rate, Z lat: Kova over unbounded ZeroMQ (high-water mark 0) of the same hosts, layout, N and payload;\n"
        "Z1k rate: Kova over ZeroMQ with its default high-water mark of 1000. rate: values per second each\n"
        "subscriber received in a burst (above 1 is faster); lat: paced latency (below 1 is faster).\n"
        "received / expected: burst values over every subscriber; order: every subscriber got each value after\n"
        "every one numbered below it; last: every subscriber got the last value whose send was taken, of each\n"
        "burst and paced phase; dup: values that came twice; fail: sends that returned an error; lost: burst\n"
        "values whose send was taken that a subscriber never got (8 B and more); posts/s: the publisher's sends per\n"
        "second in a burst; send: its time in one send, paced (median, p99) and in a burst; times in us.\n");
    std::fflush(stdout);
}

}  // namespace kova_bench
