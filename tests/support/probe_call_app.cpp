// An application of calls and signals on the SDK's installed interface alone, driven on
// stdin; each command answers one line, callbacks and finished requests print their own.
// Commands:
//   init [listeners]                             the SDK's default of 8 listener threads, or as many as given
//   stub <name> <domain> <id> <call code> <max return size> <signal code>
//   sync <stub name> <signal code> <result>      a signal interface with a sync function
//   mode <stub name> reverse | error <e> | sleep <ms> | size <n> | jitter <ms>
//   proxy <name> <domain> <server ip> <stub id> <call code> <signal code>
//   call <proxy name> <tag> <limit s> <data> <capacity>     on a thread of its own
//   signal <proxy name> <tag> <limit s> <data>              on a thread of its own
//   bcast <name> <stub name> <code>            a broadcast interface attached to a stub's object
//   broadcast <name> <ip> <data>                 one broadcast to in_ip (255.255.255.255: every host)
//   cancel | scancel <proxy name> <error>
//   bcasts <stub name> <code> <count> <bytes>  broadcasts to the local host's proxies from an
//       interface attached to the stub's object -> "bcasts <stub name> <broadcasts sent>"
//   pingpong <proxy name> <count> <limit s>    calls one after the other ("abc", 64 bytes back)
//       -> "pingpong <proxy name> <median µs> <longest µs> <failed>"
//   stream <proxy name> <count> <bytes>        calls whose replies are left with the returner,
//       never taken -> "stream <proxy name> <count>"
//   storm <proxy name> <threads> <requests> <seed>  threads of random calls (0..60000 bytes,
//       some with limits too short to be answered in time), signals and cancels; prints
//       "storm done <calls and signals> <answered> <timed out> <others> <wrong>" once all have ended,
//       <others> as "result:count,..." and <wrong> counting answers whose content is not the reply
//   many <prefix> <count> <domain> <server ip> <stub id> <call code> <limit s>   a crowd of quiet
//       call proxies (probe_crowd.h), each called once ("abc") once it sees its stub:
//       "many <prefix> <live> <answered> <ms>" when all have been answered or the limit is spent
//   state <name> | destroy <name> | quiet | exit
//   fds exhaust | fds free      takes every file descriptor left (-> "fds exhaust <n>"), gives them back
// Data is "-" (none), "pat:<n>" (n pattern bytes) or the text itself; payloads longer
// than 40 bytes print as "#" and their FNV-1a hash. Results print in hex.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kova/kova.h"
#include "probe_app_lines.h"
#include "probe_crowd.h"

using namespace Kova;
using kova_probe::client;
using kova_probe::hex;
using kova_probe::ms_since;
using kova_probe::make_data;
using kova_probe::say;
using kova_probe::show;

namespace {

// A call stub and a signal stub on one object; how it answers can change while it runs.
class app_stub : public kova_object_call, public kova_object_signal {
public:
    app_stub(const std::string& in_name, msg_code_t in_call, pksize_t in_max, msg_code_t in_signal)
        : kova_object_call(in_call, in_max), kova_object_signal(in_signal), m_name(in_name) {}

    std::atomic<int> m_mode{0};  // 0 reverse, 1 error, 2 sleep then reverse, 3 fixed size, 4 random sleep then reverse
    std::atomic<unsigned> m_value{0};

private:
    kova_err_t on_call(client_addr_t const& in_client, void* pin_buf, pksize_t const& in_size, void* pout_buf,
                       pksize_t* pout_size, double const&, double const&) override {
        const int mode = m_mode.load();
        if (mode == 4) {
            // Quiet under load: a storm would drown the other lines.
            thread_local std::minstd_rand jitter(static_cast<unsigned>(getpid()));
            std::this_thread::sleep_for(std::chrono::microseconds(jitter() % (m_value.load() * 1000 + 1)));
            if (in_size < *pout_size) *pout_size = in_size;
            for (pksize_t i = 0; i < *pout_size; ++i)
                static_cast<char*>(pout_buf)[i] = static_cast<const char*>(pin_buf)[in_size - 1 - i];
            return c_kova_success;
        }
        say("on_call " + m_name + " " + show(pin_buf, in_size) + " " + std::to_string(*pout_size) + " " +
            client(in_client));
        if (mode == 1) return m_value.load();
        if (mode == 2) std::this_thread::sleep_for(std::chrono::milliseconds(m_value.load()));
        if (mode == 3) {
            if (m_value.load() < *pout_size) *pout_size = m_value.load();
            for (pksize_t i = 0; i < *pout_size; ++i)
                static_cast<char*>(pout_buf)[i] = static_cast<char>('a' + (i * 7) % 26);
            return c_kova_success;
        }
        if (in_size < *pout_size) *pout_size = in_size;
        for (pksize_t i = 0; i < *pout_size; ++i)
            static_cast<char*>(pout_buf)[i] = static_cast<const char*>(pin_buf)[in_size - 1 - i];
        return c_kova_success;
    }
    void on_call_cancel(client_addr_t const& in_client, kova_err_t const& in_error) override {
        if (m_mode.load() == 4) return;
        say("on_call_cancel " + m_name + " " + hex(in_error) + " " + client(in_client));
    }
    void on_signal(client_addr_t const& in_client, void* pin_buf, pksize_t const& in_size, double const&) override {
        if (m_mode.load() == 4) return;
        say("on_signal " + m_name + " " + show(pin_buf, in_size) + " " + client(in_client));
    }
    void on_signal_cancel(client_addr_t const& in_client, kova_err_t const& in_error) override {
        if (m_mode.load() == 4) return;
        say("on_signal_cancel " + m_name + " " + hex(in_error) + " " + client(in_client));
    }

    std::string m_name;
};

// A signal interface attached to a stub's object, with a sync function that answers m_result.
class sync_signal : public kova_object_signal {
public:
    sync_signal(const std::string& in_name, msg_code_t in_code, kova_object const& in_object, kova_err_t in_result)
        : kova_object_signal(in_code, in_object, &sync_signal::sync), m_name(in_name), m_result(in_result) {}

private:
    static kova_err_t sync(kova_object_signal* pin_object, client_addr_t const&, void* pin_buf,
                           pksize_t const& in_size, double const&, double const&) {
        sync_signal* self = static_cast<sync_signal*>(pin_object);
        say("on_sync " + self->m_name + " " + show(pin_buf, in_size));
        return self->m_result;
    }
    void on_signal(client_addr_t const&, void* pin_buf, pksize_t const& in_size, double const&) override {
        say("on_signal " + m_name + " " + show(pin_buf, in_size));
    }

    std::string m_name;
    kova_err_t m_result;
};

// A broadcast interface attached to a stub's object.
class app_broadcast : public kova_object_broadcast {
public:
    app_broadcast(msg_code_t in_code, kova_object const& in_object) : kova_object_broadcast(in_code, in_object) {}

    kova_err_t send(const std::string& in_ip, const std::string& in_data) {
        return broadcast(inet_addr(in_ip.c_str()), in_data.empty() ? nullptr : in_data.data(),
                         static_cast<pksize_t>(in_data.size()));
    }
    unsigned send(unsigned in_count, unsigned in_bytes) {
        const std::string data(in_bytes, 'b');
        unsigned sent = 0;
        for (unsigned i = 0; i < in_count; ++i)
            if (broadcast(c_local_host, data.empty() ? nullptr : data.data(), in_bytes) == c_kova_success) ++sent;
        return sent;
    }
};

// A call proxy and a signal proxy sharing one identity; tells what happens to its stub.
class app_proxy : public kova_proxy_object_call, public kova_proxy_object_signal {
public:
    app_proxy(const std::string& in_name, msg_code_t in_call, msg_code_t in_signal)
        : kova_proxy_object_call(in_call), kova_proxy_object_signal(in_signal), m_name(in_name) {}

    void on_connected_tcp() override { say("on_connected_tcp " + m_name); }
    void on_disconnected_tcp() override { say("on_disconnected_tcp " + m_name); }
    void on_object_create() override { say("on_object_create " + m_name); }
    void on_object_destroy() override { say("on_object_destroy " + m_name); }

    void call(const std::string& in_tag, double in_limit, const std::string& in_data, pksize_t in_capacity) {
        const auto start = std::chrono::steady_clock::now();
        return_object_t r = async_call(in_data.empty() ? nullptr : in_data.data(),
                                       static_cast<pksize_t>(in_data.size()), in_limit);
        std::vector<char> buf(in_capacity + 1);
        pksize_t size = in_capacity;
        double took = 0;
        const kova_err_t e = kova_proxy_object_call::async_return(r, buf.data(), &size, &took);
        const bool copied = e == c_kova_success;
        say("call " + in_tag + " " + hex(e) + " " + std::to_string(size) + " " +
            (copied ? show(buf.data(), size) : "-") + " " + std::to_string(ms_since(start)));
    }
    // in_count calls of in_bytes whose replies nobody takes; see the command list.
    unsigned stream(unsigned in_count, unsigned in_bytes) {
        const std::string data(in_bytes, 's');
        for (unsigned i = 0; i < in_count; ++i) m_streamed.push_back(async_call(data.data(), in_bytes, 30.0));
        return in_count;
    }
    // in_count calls one after the other; see the command list.
    std::string pingpong(unsigned in_count, double in_limit) {
        std::vector<long> took;
        unsigned failed = 0;
        char buf[64];
        for (unsigned i = 0; i < in_count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            return_object_t r = async_call("abc", 3, in_limit);
            pksize_t size = sizeof buf;
            double elapsed = 0;
            if (kova_proxy_object_call::async_return(r, buf, &size, &elapsed) != c_kova_success) ++failed;
            took.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count()));
        }
        std::sort(took.begin(), took.end());
        return std::to_string(took.empty() ? 0 : took[took.size() / 2]) + " " +
               std::to_string(took.empty() ? 0 : took.back()) + " " + std::to_string(failed);
    }
    void signal_one(const std::string& in_tag, double in_limit, const std::string& in_data) {
        const auto start = std::chrono::steady_clock::now();
        double took = 0;
        const kova_err_t e = signal(in_data.empty() ? nullptr : in_data.data(), static_cast<pksize_t>(in_data.size()),
                                    in_limit, &took);
        say("signal " + in_tag + " " + hex(e) + " " + std::to_string(ms_since(start)));
    }

    // in_requests random requests on each of in_threads threads; see the command list.
    void storm(unsigned in_threads, unsigned in_requests, unsigned in_seed) {
        std::mutex lock;
        std::map<kova_err_t, unsigned> results;
        unsigned wrong = 0;
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < in_threads; ++t)
            threads.emplace_back([&, t] {
                std::minstd_rand rnd(in_seed * 7919u + t);
                std::string data, expect;
                std::vector<char> buf;
                for (unsigned i = 0; i < in_requests; ++i) {
                    const unsigned what = rnd() % 20;
                    // Mostly enough time; every fifth a limit the reply cannot keep.
                    const double limit = rnd() % 5 == 0 ? 0.0005 * (1 + rnd() % 20) : 3.0;
                    kova_err_t e = 0;
                    bool bad = false;
                    if (what == 0) {
                        kova_proxy_object_call::cancel(static_cast<kova_err_t>(rnd() % 100));
                        continue;
                    }
                    if (what == 1) {
                        kova_proxy_object_signal::cancel(static_cast<kova_err_t>(rnd() % 100));
                        continue;
                    }
                    data.resize(rnd() % 60001);
                    for (char& c : data) c = static_cast<char>(rnd());
                    if (what < 5) {
                        double took = 0;
                        e = signal(data.empty() ? nullptr : data.data(), static_cast<pksize_t>(data.size()), limit,
                                   &took);
                    } else {
                        return_object_t r = async_call(data.empty() ? nullptr : data.data(),
                                                       static_cast<pksize_t>(data.size()), limit);
                        const pksize_t capacity = rnd() % 4 == 0 ? static_cast<pksize_t>(rnd() % 60001) : 65000;
                        buf.assign(capacity + 1, '\0');
                        pksize_t size = capacity;
                        double took = 0;
                        e = kova_proxy_object_call::async_return(r, buf.data(), &size, &took);
                        expect.assign(data.rbegin(), data.rend());
                        if (e == c_kova_success) bad = size != data.size() || std::memcmp(buf.data(), expect.data(), size) != 0;
                        if (e == c_kova_err_boundout_buffer) bad = size != data.size() || capacity >= size;
                    }
                    std::lock_guard<std::mutex> hold(lock);
                    ++results[e];
                    if (bad) ++wrong;
                }
            });
        for (std::thread& t : threads) t.join();
        unsigned total = 0, answered = 0, timed_out = 0;
        std::string others;
        for (const auto& r : results) {
            total += r.second;
            if (r.first == c_kova_success || r.first == c_kova_err_boundout_buffer) answered += r.second;
            else if (r.first == c_kova_err_local_timeout) timed_out += r.second;
            else others += (others.empty() ? "" : ",") + hex(r.first) + ":" + std::to_string(r.second);
        }
        say("storm done " + std::to_string(total) + " " + std::to_string(answered) + " " +
            std::to_string(timed_out) + " " + (others.empty() ? "-" : others) + " " + std::to_string(wrong));
    }

private:
    std::string m_name;
    std::vector<return_object_t> m_streamed;
};

std::string state_of(const std::string& in_name, kova_proxy_object& in_proxy) {
    return "state " + in_name + " live=" + std::to_string(in_proxy.is_live()) +
           " tcp=" + std::to_string(in_proxy.is_connected_tcp()) + " created=" + std::to_string(in_proxy.is_created());
}

}  // namespace

int main() {
    std::map<std::string, std::unique_ptr<app_stub>> stubs;
    std::map<std::string, std::unique_ptr<sync_signal>> syncs;
    std::map<std::string, std::unique_ptr<app_broadcast>> broadcasts;
    std::map<std::string, std::unique_ptr<app_proxy>> proxies;
    std::map<std::string, std::unique_ptr<kova_probe::probe_crowd<kova_proxy_object_call>>> crowds;
    std::vector<std::thread> requests;
    std::vector<int> taken_fds;
    std::string line;
    say("pid " + std::to_string(getpid()));
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, name;
        in >> cmd >> name;
        if (cmd == "exit") break;
        if (cmd == "quiet") {
            kova_probe::wait_for_listeners();
            say("quiet");
            continue;
        }
        if (cmd == "init") {
            if (name.empty())
                Kova::initialize();
            else
                Kova::initialize(static_cast<unsigned>(std::stoul(name)), 16, 1);
            say("initialized");
        } else if (cmd == "stub") {
            unsigned domain = 0, id = 0, call = 0, max = 0, sig = 0;
            in >> domain >> id >> call >> max >> sig;
            auto& s = stubs[name];
            s.reset(new app_stub(name, static_cast<msg_code_t>(call), max, static_cast<msg_code_t>(sig)));
            const kova_err_t e = s->create(static_cast<domain_t>(domain), static_cast<object_id_t>(id));
            say("stub " + name + " " + hex(e) + " " + std::to_string(s->get_object_id()));
        } else if (cmd == "sync") {
            unsigned code = 0, result = 0;
            std::string on;
            in >> on >> code >> result;
            if (!stubs.count(on)) {
                say("sync " + name + " unknown");
                continue;
            }
            syncs[name].reset(new sync_signal(name, static_cast<msg_code_t>(code), *stubs[on], result));
            say("sync " + name + " ok");
        } else if (cmd == "bcast") {
            std::string on;
            unsigned code = 0;
            in >> on >> code;
            if (!stubs.count(on)) {
                say("bcast " + name + " unknown");
                continue;
            }
            broadcasts[name].reset(new app_broadcast(static_cast<msg_code_t>(code), *stubs[on]));
            say("bcast " + name + " ok");
        } else if (cmd == "broadcast") {
            std::string ip, data;
            in >> ip >> data;
            if (!broadcasts.count(name)) {
                say("broadcast " + name + " unknown");
                continue;
            }
            say("broadcast " + name + " " + hex(broadcasts[name]->send(ip, make_data(data))));
        } else if (cmd == "mode") {
            std::string how;
            unsigned value = 0;
            in >> how >> value;
            if (!stubs.count(name)) {
                say("mode " + name + " unknown");
                continue;
            }
            app_stub& s = *stubs[name];
            s.m_value = value;
            s.m_mode = how == "error" ? 1 : how == "sleep" ? 2 : how == "size" ? 3 : how == "jitter" ? 4 : 0;
            say("mode " + name + " ok");
        } else if (cmd == "proxy") {
            unsigned domain = 0, id = 0, call = 0, sig = 0;
            std::string ip;
            in >> domain >> ip >> id >> call >> sig;
            auto& p = proxies[name];
            p.reset(new app_proxy(name, static_cast<msg_code_t>(call), static_cast<msg_code_t>(sig)));
            const kova_err_t e =
                p->create(static_cast<domain_t>(domain), inet_addr(ip.c_str()), static_cast<object_id_t>(id));
            say("proxy " + name + " " + hex(e) + " " + std::to_string(p->get_local_object_id()));
        } else if (cmd == "call" || cmd == "signal") {
            std::string tag, data;
            double limit = 0;
            unsigned capacity = 0;
            in >> tag >> limit >> data >> capacity;
            if (!proxies.count(name)) {
                say(cmd + " " + tag + " unknown");
                continue;
            }
            app_proxy* p = proxies[name].get();
            const std::string payload = make_data(data);
            if (cmd == "call")
                requests.emplace_back([=] { p->call(tag, limit, payload, capacity); });
            else
                requests.emplace_back([=] { p->signal_one(tag, limit, payload); });
        } else if (cmd == "storm") {
            unsigned threads = 0, count = 0, seed = 0;
            in >> threads >> count >> seed;
            if (!proxies.count(name)) {
                say("storm " + name + " unknown");
                continue;
            }
            app_proxy* p = proxies[name].get();
            requests.emplace_back([=] { p->storm(threads, count, seed); });
        } else if (cmd == "cancel" || cmd == "scancel") {
            unsigned err = 0;
            in >> err;
            if (!proxies.count(name)) {
                say(cmd + " " + name + " unknown");
                continue;
            }
            if (cmd == "cancel")
                proxies[name]->kova_proxy_object_call::cancel(err);
            else
                proxies[name]->kova_proxy_object_signal::cancel(err);
            say(cmd + " " + name + " ok");
        } else if (cmd == "many") {
            auto& crowd = crowds[name];
            crowd.reset(new kova_probe::probe_crowd<kova_proxy_object_call>);
            say("many " + name + " " +
                crowd->run(in, [](kova_proxy_object_call& in_proxy) {
                               char buf[64];
                               pksize_t size = sizeof buf;
                               return in_proxy.async_return(in_proxy.async_call("abc", 3, 5.0), buf, &size,
                                                            nullptr) == c_kova_success;
                           }));
        } else if (cmd == "state") {
            if (proxies.count(name))
                say(state_of(name, *proxies[name]));
            else
                say("state " + name + " unknown");
        } else if (cmd == "destroy") {
            kova_err_t e = c_kova_err_null_object_id;
            if (proxies.count(name)) e = proxies[name]->destroy();
            if (stubs.count(name)) e = stubs[name]->destroy();
            say("destroy " + name + " " + hex(e));
        } else if (cmd == "bcasts") {
            unsigned code = 0, count = 0, bytes = 0;
            in >> code >> count >> bytes;
            if (!stubs.count(name)) {
                say("bcasts " + name + " unknown");
                continue;
            }
            auto& b = broadcasts[name];
            if (!b) b.reset(new app_broadcast(static_cast<msg_code_t>(code), *stubs[name]));
            say("bcasts " + name + " " + std::to_string(b->send(count, bytes)));
        } else if (cmd == "pingpong") {
            unsigned count = 0;
            double limit = 0;
            in >> count >> limit;
            if (!proxies.count(name)) {
                say("pingpong " + name + " unknown");
                continue;
            }
            say("pingpong " + name + " " + proxies[name]->pingpong(count, limit));
        } else if (cmd == "stream") {
            unsigned count = 0, bytes = 0;
            in >> count >> bytes;
            if (!proxies.count(name)) {
                say("stream " + name + " unknown");
                continue;
            }
            say("stream " + name + " " + std::to_string(proxies[name]->stream(count, bytes)));
        } else if (cmd == "fds") {
            if (name == "exhaust") {
                for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_fds.push_back(fd);
                say("fds exhaust " + std::to_string(taken_fds.size()));
            } else {
                for (int fd : taken_fds) close(fd);
                taken_fds.clear();
                say("fds free done");
            }
        } else {
            say("unknown " + cmd);
        }
    }
    for (std::thread& t : requests) t.join();
    syncs.clear();
    broadcasts.clear();
    crowds.clear();
    proxies.clear();
    stubs.clear();
    Kova::finalize();
    return 0;
}
