// An application of commands on the SDK's installed interface alone, driven on stdin; each
// command answers one line, callbacks and finished work print their own.
// Commands:
//   init
//   stub <name> <domain> <id> <code>      a command stub
//   hold <stub name> <ms>                 on_connect sleeps that long before it accepts
//   gate <stub name> shut|open            while shut, on_connect waits (after its line) until
//       the gate opens: "gate <stub> ok"
//   history <stub name> <n>               set_history_size
//   clients <stub name>                   "clients <stub> <count>"
//   seen <stub name> <ip:domain:id> <n>   the client's history, newest first:
//       "seen <stub> <entries> <number:size,...>" ("-" when empty)
//   proxy <name> <domain> <server ip> <stub id> <code> [auto]   a command proxy; "auto"
//       connects from on_object_create (limit 5 s) and prints "connect <name> <result> auto"
//   connect <name> <limit s>              async_connect and its return on a thread of its own:
//       "connect <name> <result> <ms>"
//   late <name> <times> <limit s>         that many connects one after the other, each expected
//       to run out before the stub answers: "late <name> <timed out> <others>"
//   model <name> <udp 0|1> <model> <interval s>   set_sync_model
//   post <name> write|real|stage <number> <size>  payload number <number> of <size> bytes
//   slow <stub name> <us>                 each on_sync takes that long from now on
//   burst <name> <first> <count> <size> [again]   posts numbers first.. by write as fast as it
//       returns, each once (or, with "again", a refused one again until it is taken):
//       "burst <name> <taken> <refused> <failed otherwise> <last number taken or ->"
//   trio <name> <domain> <id> <code>      one object with an event, a command and an information
//       interface of code; each prints "on_shutdown <name>.<kind> <last error> <client>"
//   trioproxy <name> <domain> <server ip> <stub id> <code>   a proxy of the three kinds that
//       subscribes to each from on_object_create: "connect <name> <event> <command> <information>"
//   shutdown <name> | state <name> | destroy <name> | quiet | exit
//   udp                                   "udp <datagrams received by this host>"
// Payload number k holds k in its first 4 bytes (little-endian, as far as its size reaches),
// then bytes (k + 7 i) & 0xFF. on_sync prints "on_sync <stub> <client> <model> <limit s>
// <size> <number> ok|bad <elapsed s>", the number "-" for a payload shorter than 4 bytes.
// Results print in hex.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kova/kova.h"
#include "probe_app_lines.h"

using namespace Kova;
using kova_probe::client;
using kova_probe::hex;
using kova_probe::ms_since;
using kova_probe::ip_text;
using kova_probe::say;

namespace {

// Payload number in_k: see the header.
void fill(unsigned char* pout, std::uint32_t in_k, pksize_t in_size) {
    for (pksize_t i = 0; i < in_size; ++i)
        pout[i] = i < 4 ? static_cast<unsigned char>(in_k >> (8 * i)) : static_cast<unsigned char>(in_k + 7 * i);
}

// "<number> ok|bad" of a payload, or "- ok" for one too short to carry a number.
std::string described(const void* pin_data, pksize_t in_size) {
    if (in_size < 4 || pin_data == nullptr) return in_size == 0 || pin_data != nullptr ? "- ok" : "- bad";
    const unsigned char* p = static_cast<const unsigned char*>(pin_data);
    std::uint32_t k = 0;
    std::memcpy(&k, p, 4);
    for (pksize_t i = 4; i < in_size; ++i)
        if (p[i] != static_cast<unsigned char>(k + 7 * i)) return std::to_string(k) + " bad";
    return std::to_string(k) + " ok";
}

bool parse_client(const std::string& in_text, client_addr_t& pout) {
    const size_t a = in_text.find(':'), b = in_text.rfind(':');
    if (a == std::string::npos || a == b) return false;
    pout.node_addr.ip = inet_addr(in_text.substr(0, a).c_str());
    pout.node_addr.port = static_cast<domain_t>(std::stoul(in_text.substr(a + 1, b - a - 1)));
    pout.obj_id = static_cast<object_id_t>(std::stoul(in_text.substr(b + 1)));
    return true;
}

// Datagrams the host's UDP has delivered ("InDatagrams" of /proc/net/snmp).
std::string udp_received() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    for (std::string line; std::getline(snmp, line);) {
        if (line.rfind("Udp:", 0) != 0) continue;
        if (names.empty()) names = line;
        else values = line;
    }
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
        if (name == "InDatagrams") return value;
    return "?";
}

class app_stub : public kova_object_command {
public:
    app_stub(const std::string& in_name, msg_code_t in_code) : kova_object_command(in_code), m_name(in_name) {}
    using kova_object_command::get_client_count;
    using kova_object_command::see_history;
    using kova_object_command::set_history_size;

    std::atomic<unsigned> m_hold_ms{0};
    std::atomic<unsigned> m_sync_us{0};
    std::string m_name;

    ~app_stub() override { set_gate(true); }
    void set_gate(bool in_open) {
        {
            std::lock_guard<std::mutex> lock(m_gate_mutex);
            m_gate_open = in_open;
        }
        m_gate_changed.notify_all();
    }

private:
    kova_err_t on_connect(const client_addr_t& in_client, const double&, const double&) override {
        say("on_connect " + m_name + " " + client(in_client));
        if (m_hold_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(m_hold_ms.load()));
        std::unique_lock<std::mutex> lock(m_gate_mutex);
        m_gate_changed.wait(lock, [this] { return m_gate_open; });
        return c_kova_success;
    }
    void on_shutdown(const client_addr_t& in_client) override {
        say("on_shutdown " + m_name + " " + hex(Kova::get_last_error()) + " " + client(in_client));
    }
    void on_disconnected_tcp(node_addr_t const& in_node) override {
        say("on_disconnected_tcp " + m_name + " " + ip_text(in_node.ip) + ":" + std::to_string(in_node.port));
    }
    void on_sync(const client_addr_t& in_client, const sender_sync_model_t& in_model, const double& in_elapsed,
                 const double& in_limit, const void* pin_buffer, pksize_t in_size) override {
        if (const unsigned us = m_sync_us.load()) std::this_thread::sleep_for(std::chrono::microseconds(us));
        char limit[32], elapsed[32];
        std::snprintf(limit, sizeof limit, "%.6f", in_limit);
        std::snprintf(elapsed, sizeof elapsed, "%.6f", in_elapsed);
        say("on_sync " + m_name + " " + client(in_client) + " " + std::to_string(in_model) + " " + limit + " " +
            std::to_string(in_size) + " " + described(pin_buffer, in_size) + " " + elapsed);
    }

    std::mutex m_gate_mutex;
    std::condition_variable m_gate_changed;
    bool m_gate_open = true;  // under m_gate_mutex
};

class app_proxy : public kova_proxy_object_command {
public:
    app_proxy(const std::string& in_name, msg_code_t in_code, bool in_auto)
        : kova_proxy_object_command(in_code), m_name(in_name), m_auto(in_auto) {}
    ~app_proxy() override {
        for (std::thread& t : m_threads) t.join();
    }

    void on_connected_tcp() override { say("on_connected_tcp " + m_name); }
    void on_disconnected_tcp() override { say("on_disconnected_tcp " + m_name); }
    void on_object_create() override {
        say("on_object_create " + m_name);
        if (!m_auto) return;
        // Not on the listener: the answer comes through it.
        std::lock_guard<std::mutex> hold(m_mutex);
        m_threads.emplace_back([this] { say("connect " + m_name + " " + hex(connect_once(5.0)) + " auto"); });
    }
    void on_object_destroy() override { say("on_object_destroy " + m_name); }

    kova_err_t connect_once(double in_limit) { return async_connect_return(async_connect(in_limit), nullptr); }
    void connect(double in_limit) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_threads.emplace_back([this, in_limit] {
            const auto start = std::chrono::steady_clock::now();
            const kova_err_t e = connect_once(in_limit);
            say("connect " + m_name + " " + hex(e) + " " + std::to_string(ms_since(start)));
        });
    }
    // Each connect is expected to run out before its answer.
    void late(unsigned in_times, double in_limit) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_threads.emplace_back([this, in_times, in_limit] {
            unsigned timed_out = 0, others = 0;
            for (unsigned i = 0; i < in_times; ++i) {
                const kova_err_t e = connect_once(in_limit);
                if (e == c_kova_err_local_timeout) ++timed_out;
                else ++others;
                if (e == c_kova_success) shutdown();
            }
            say("late " + m_name + " " + std::to_string(timed_out) + " " + std::to_string(others));
        });
    }
    // Numbers in_first.. posted by write as fast as it returns; with in_again a refused one is
    // posted again until it is taken.
    std::string burst(std::uint32_t in_first, std::uint32_t in_count, pksize_t in_size, bool in_again) {
        unsigned taken = 0, refused = 0, failed = 0;
        std::string last = "-";
        std::vector<unsigned char> data(in_size);
        for (std::uint32_t k = in_first; k < in_first + in_count; ++k) {
            fill(data.data(), k, in_size);
            kova_err_t e;
            while ((e = write(data.data(), in_size)) == c_kova_err_center_busy && in_again) ++refused;
            if (e == c_kova_success) {
                ++taken;
                last = std::to_string(k);
            } else if (e == c_kova_err_center_busy) {
                ++refused;
            } else {
                ++failed;
            }
        }
        return std::to_string(taken) + " " + std::to_string(refused) + " " + std::to_string(failed) + " " + last;
    }
    kova_err_t post_number(const std::string& in_how, std::uint32_t in_k, pksize_t in_size) {
        if (in_how == "write") {
            std::vector<unsigned char> data(in_size);
            fill(data.data(), in_k, in_size);
            return write(data.data(), in_size);
        }
        const bool real = in_how == "real";
        unsigned char* p = static_cast<unsigned char*>(real ? get_real(in_size) : get(in_size));
        if (p == nullptr) return c_kova_err_empty_kova_memory;
        fill(p, in_k, in_size);
        return real ? post_real(in_size) : post(in_size);
    }

private:
    void on_disconnected() override { say("on_disconnected " + m_name); }

    std::string m_name;
    bool m_auto;
    std::mutex m_mutex;
    std::vector<std::thread> m_threads;
};

// One interface of a trio, attached to its object.
template <typename kind_t>
class trio_kind : public kind_t {
public:
    trio_kind(const std::string& in_name, msg_code_t in_code, kova_object const& in_object)
        : kind_t(in_code, in_object), m_name(in_name) {}

private:
    void on_shutdown(const client_addr_t& in_client) override {
        say("on_shutdown " + m_name + " " + hex(Kova::get_last_error()) + " " + client(in_client));
    }
    std::string m_name;
};

// A stub object with an event, a command and an information interface of one code.
struct trio_stub {
    trio_stub(const std::string& in_name, msg_code_t in_code)
        : event(in_name + ".event", in_code, object),
          command(in_name + ".command", in_code, object),
          information(in_name + ".information", in_code, object) {}
    kova_object object;
    trio_kind<kova_object_event> event;
    trio_kind<kova_object_command> command;
    trio_kind<kova_object_information> information;
};

// A proxy of the three kinds of one code, subscribing to each once its stub is there.
class trio_proxy : public kova_proxy_object_event, public kova_proxy_object_command, public kova_proxy_object_information {
public:
    trio_proxy(const std::string& in_name, msg_code_t in_code)
        : kova_proxy_object_event(in_code),
          kova_proxy_object_command(in_code),
          kova_proxy_object_information(in_code),
          m_name(in_name) {}
    ~trio_proxy() override {
        for (std::thread& t : m_threads) t.join();
    }
    void on_object_create() override {
        // Not on the listener: the answers come through it.
        std::lock_guard<std::mutex> hold(m_mutex);
        m_threads.emplace_back([this] {
            const kova_err_t e = kova_proxy_object_event::async_connect_return(
                kova_proxy_object_event::async_connect(5.0), nullptr);
            const kova_err_t c = kova_proxy_object_command::async_connect_return(
                kova_proxy_object_command::async_connect(5.0), nullptr);
            const kova_err_t i = kova_proxy_object_information::async_connect_return(
                kova_proxy_object_information::async_connect(false, 5.0), nullptr);
            say("connect " + m_name + " " + hex(e) + " " + hex(c) + " " + hex(i));
        });
    }

private:
    std::string m_name;
    std::mutex m_mutex;
    std::vector<std::thread> m_threads;
};

}  // namespace

int main() {
    std::map<std::string, std::unique_ptr<app_stub>> stubs;
    std::map<std::string, std::unique_ptr<app_proxy>> proxies;
    std::map<std::string, std::unique_ptr<trio_stub>> trios;
    std::map<std::string, std::unique_ptr<trio_proxy>> trio_proxies;
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
        app_stub* s = stubs.count(name) ? stubs[name].get() : nullptr;
        app_proxy* p = proxies.count(name) ? proxies[name].get() : nullptr;
        if (cmd == "init") {
            Kova::initialize();
            say("initialized");
        } else if (cmd == "udp") {
            say("udp " + udp_received());
        } else if (cmd == "stub") {
            unsigned domain = 0, id = 0, code = 0;
            in >> domain >> id >> code;
            auto& made = stubs[name];
            made.reset(new app_stub(name, static_cast<msg_code_t>(code)));
            const kova_err_t e = made->create(static_cast<domain_t>(domain), static_cast<object_id_t>(id));
            say("stub " + name + " " + hex(e) + " " + std::to_string(made->get_object_id()));
        } else if (cmd == "proxy") {
            unsigned domain = 0, id = 0, code = 0;
            std::string ip, how;
            in >> domain >> ip >> id >> code >> how;
            auto& made = proxies[name];
            made.reset(new app_proxy(name, static_cast<msg_code_t>(code), how == "auto"));
            const kova_err_t e =
                made->create(static_cast<domain_t>(domain), inet_addr(ip.c_str()), static_cast<object_id_t>(id));
            say("proxy " + name + " " + hex(e) + " " + std::to_string(made->get_local_object_id()));
        } else if (cmd == "trio") {
            unsigned domain = 0, id = 0, code = 0;
            in >> domain >> id >> code;
            auto& made = trios[name];
            made.reset(new trio_stub(name, static_cast<msg_code_t>(code)));
            const kova_err_t e = made->object.create(static_cast<domain_t>(domain), static_cast<object_id_t>(id));
            say("trio " + name + " " + hex(e) + " " + std::to_string(made->object.get_object_id()));
        } else if (cmd == "trioproxy") {
            unsigned domain = 0, id = 0, code = 0;
            std::string ip;
            in >> domain >> ip >> id >> code;
            auto& made = trio_proxies[name];
            made.reset(new trio_proxy(name, static_cast<msg_code_t>(code)));
            const kova_err_t e =
                made->create(static_cast<domain_t>(domain), inet_addr(ip.c_str()), static_cast<object_id_t>(id));
            say("trioproxy " + name + " " + hex(e) + " " + std::to_string(made->get_local_object_id()));
        } else if (s && cmd == "slow") {
            unsigned us = 0;
            in >> us;
            s->m_sync_us = us;
            say("slow " + name + " ok");
        } else if (p && cmd == "burst") {
            std::uint32_t first = 0, count = 0;
            pksize_t size = 0;
            std::string again;
            in >> first >> count >> size >> again;
            say("burst " + name + " " + p->burst(first, count, size, again == "again"));
        } else if (s && cmd == "hold") {
            unsigned ms = 0;
            in >> ms;
            s->m_hold_ms = ms;
            say("hold " + name + " ok");
        } else if (s && cmd == "gate") {
            std::string how;
            in >> how;
            s->set_gate(how == "open");
            say("gate " + name + " ok");
        } else if (s && cmd == "history") {
            unsigned n = 0;
            in >> n;
            s->set_history_size(n);
            say("history " + name + " ok");
        } else if (s && cmd == "clients") {
            say("clients " + name + " " + std::to_string(s->get_client_count()));
        } else if (s && cmd == "seen") {
            std::string who;
            unsigned n = 0;
            in >> who >> n;
            client_addr_t c;
            if (!parse_client(who, c)) {
                say("seen " + name + " unknown");
                continue;
            }
            kova_history h(s->see_history(c, n));
            std::string list;
            for (std::size_t i = 0; i < h.size(); ++i) {
                const std::string d = described(h[i].p_buffer, h[i].size);
                list += (list.empty() ? "" : ",") + d.substr(0, d.find(' ')) + ":" + std::to_string(h[i].size);
            }
            say("seen " + name + " " + std::to_string(h.size()) + " " + (list.empty() ? "-" : list));
        } else if (p && cmd == "connect") {
            double limit = 0;
            in >> limit;
            p->connect(limit);
        } else if (p && cmd == "late") {
            unsigned times = 0;
            double limit = 0;
            in >> times >> limit;
            p->late(times, limit);
        } else if (p && cmd == "model") {
            unsigned udp = 0, model = 0;
            double interval = 0;
            in >> udp >> model >> interval;
            p->set_sync_model(udp != 0, model, interval);
            say("model " + name + " ok");
        } else if (p && cmd == "post") {
            std::string how;
            std::uint32_t k = 0;
            pksize_t size = 0;
            in >> how >> k >> size;
            say("post " + name + " " + hex(p->post_number(how, k, size)));
        } else if (p && cmd == "shutdown") {
            p->shutdown();
            say("shutdown " + name + " ok");
        } else if (p && cmd == "state") {
            say("state " + name + " live=" + std::to_string(p->is_live()) +
                " connected=" + std::to_string(p->is_connected()));
        } else if (cmd == "destroy") {
            kova_err_t e = c_kova_err_null_object_id;
            if (p) e = p->destroy();
            if (s) e = s->destroy();
            if (trio_proxies.count(name)) e = trio_proxies[name]->destroy();
            if (trios.count(name)) e = trios[name]->object.destroy();
            say("destroy " + name + " " + hex(e));
        } else {
            say("unknown " + cmd + " " + name);
        }
    }
    trio_proxies.clear();
    proxies.clear();
    trios.clear();
    stubs.clear();
    Kova::finalize();
    return 0;
}
