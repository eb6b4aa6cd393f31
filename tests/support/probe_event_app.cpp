// An application of events and broadcasts on the SDK's installed interface alone, driven on
// stdin; each command answers one line, callbacks and finished work print their own.
// Commands:
//   init [listeners]                 the SDK's default of 8 listener threads, or as many as given
//   stub <name> <domain> <id> <event code> <broadcast code>   one object of both kinds
//   hold <stub name> <ms>            on_connect sleeps that long before it accepts
//   publish <stub name> <from> <count> <sizes>   events numbered from.. on a thread of its own,
//       each tried again while the packet memory is full; prints "published <stub> <count> <failures>"
//   flood <stub name> <size>         events on the main thread until one fails; prints
//       "flood <stub> <result>" and ends the application (reads no command meanwhile)
//   broadcast <stub name> <from> <count> <sizes> [ip]  to every host, or to that one alone; prints
//       "broadcasted <stub> <count> <failures>"
//   clients <stub name>
//   eproxy <name> <domain> <server ip> <stub id> <code> [auto]   an event proxy; "auto"
//       subscribes from on_object_create (limit 5 s) and prints "connect <name> <result> auto"
//   bproxy <name> <domain> <server ip> <stub id> <code>         a broadcast proxy
//   connect <name> <limit s>         async_connect and its return on a thread of its own:
//       "connect <name> <result> <ms>"
//   expect <name> <from> <count> <sizes>   the events (or broadcasts) to come, numbered
//       from..; prints "done <name> <received> <wrong> <bad times>" once count have come
//       (broadcast proxies: "<received> <wrong> <repeats>")
//   count <name>                     "count <name> <received> <wrong> <bad times or repeats> <sender>"
//   many <prefix> <count> <domain> <server ip> <stub id> <code> <limit s>   a crowd of quiet event
//       proxies (probe_crowd.h), each subscribed once it sees its stub: prints
//       "many <prefix> <live> <subscribed> <ms>" when all are subscribed or the limit is spent
//   shutdown <name> | state <name> | destroy <name> | quiet | exit
// Sizes are a comma-separated list of byte counts; number k has the one at k modulo their
// count. Payload number k holds k in its first 4 bytes (little-endian, as far as its size
// reaches), then bytes (k + 7 i) & 0xFF. An event counts as wrong when its size or a byte
// differs from the next one expected, and its time as bad when it is negative or above a
// minute. Results print in hex.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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
using kova_probe::ip_text;
using kova_probe::say;

namespace {

std::vector<pksize_t> sizes_of(const std::string& in_list) {
    std::vector<pksize_t> out;
    std::istringstream in(in_list);
    for (std::string n; std::getline(in, n, ',');) out.push_back(static_cast<pksize_t>(std::stoul(n)));
    if (out.empty()) out.push_back(0);
    return out;
}

// Payload number in_k: see the header.
void fill(std::vector<unsigned char>& out, std::uint32_t in_k, pksize_t in_size) {
    out.resize(in_size);
    for (pksize_t i = 0; i < in_size; ++i)
        out[i] = i < 4 ? static_cast<unsigned char>(in_k >> (8 * i)) : static_cast<unsigned char>(in_k + 7 * i);
}

// What one receiver expects next, and what it got.
class checker {
public:
    void expect(const std::string& in_name, std::uint32_t in_from, unsigned long in_count,
                const std::vector<pksize_t>& in_sizes) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_name = in_name;
        m_from = in_from;
        m_count = in_count;
        m_sizes = in_sizes;
        m_received = m_wrong = m_bad = 0;
        m_numbers.clear();
        m_told = false;
    }
    // Events: the next one expected, in order.
    void check_next(const void* pin_data, pksize_t in_size, double in_elapsed) {
        std::lock_guard<std::mutex> hold(m_lock);
        const std::uint32_t k = m_from + static_cast<std::uint32_t>(m_received);
        if (!matches(k, pin_data, in_size)) {
            if (m_wrong++ == 0) say("wrong " + m_name + " at " + std::to_string(k) + " size " + std::to_string(in_size));
        }
        if (in_elapsed < 0 || in_elapsed > 60) ++m_bad;
        proc_received();
    }
    // Broadcasts: any of the expected numbers, each once; the first sender is kept.
    void check_any(const std::string& in_sender, const void* pin_data, pksize_t in_size) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_sender == "-") m_sender = in_sender;
        std::uint32_t k = 0;
        if (in_size >= 4) std::memcpy(&k, pin_data, 4);
        else k = m_from + static_cast<std::uint32_t>(m_received);  // too short to carry it
        if (!matches(k, pin_data, in_size)) ++m_wrong;
        if (!m_numbers.insert(k).second) ++m_bad;
        proc_received();
    }
    std::string counts() {
        std::lock_guard<std::mutex> hold(m_lock);
        return std::to_string(m_received) + " " + std::to_string(m_wrong) + " " + std::to_string(m_bad) + " " +
               m_sender;
    }

private:
    bool matches(std::uint32_t in_k, const void* pin_data, pksize_t in_size) {
        if (m_sizes.empty()) return false;
        const pksize_t size = m_sizes[in_k % m_sizes.size()];
        if (in_size != size || (size == 0) != (pin_data == nullptr)) return false;
        fill(m_want, in_k, size);
        return size == 0 || std::memcmp(m_want.data(), pin_data, size) == 0;
    }
    void proc_received() {
        if (++m_received >= m_count && !m_told && m_count > 0) {
            m_told = true;
            say("done " + m_name + " " + std::to_string(m_received) + " " + std::to_string(m_wrong) + " " +
                std::to_string(m_bad));
        }
    }

    std::mutex m_lock;
    std::string m_name;
    std::uint32_t m_from = 0;
    unsigned long m_count = 0, m_received = 0, m_wrong = 0, m_bad = 0;
    std::vector<pksize_t> m_sizes;
    std::vector<unsigned char> m_want;
    std::set<std::uint32_t> m_numbers;
    std::string m_sender = "-";
    bool m_told = false;
};

// An event stub and a broadcast stub on one object.
class app_stub : public kova_object_event, public kova_object_broadcast {
public:
    app_stub(const std::string& in_name, msg_code_t in_event, msg_code_t in_broadcast)
        : kova_object_event(in_event), kova_object_broadcast(in_broadcast), m_name(in_name) {}

    std::atomic<unsigned> m_hold_ms{0};

    // Numbers in_from.. with sizes cycling through in_sizes; the count of failed ones.
    // in_to: where broadcasts go (every host by default).
    unsigned long publish(std::uint32_t in_from, unsigned long in_count, const std::vector<pksize_t>& in_sizes,
                          bool in_broadcast, ip_t in_to = c_broadcast_ip) {
        std::vector<unsigned char> data;
        unsigned long failures = 0;
        for (unsigned long i = 0; i < in_count; ++i) {
            const std::uint32_t k = in_from + static_cast<std::uint32_t>(i);
            fill(data, k, in_sizes[k % in_sizes.size()]);
            const void* p = data.data();
            const pksize_t n = static_cast<pksize_t>(data.size());
            kova_err_t e = c_kova_success;
            // The packet memory is full of what is still on its way: wait until some has gone.
            while ((e = in_broadcast ? broadcast(in_to, p, n) : event(p, n)) == c_kova_err_empty_kova_memory)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (e != c_kova_success && failures++ == 0) say("failed " + m_name + " " + hex(e));
        }
        return failures;
    }
    kova_err_t flood(pksize_t in_size) {
        std::vector<unsigned char> data(in_size, 0x5a);
        const void* p = data.data();
        for (;;)
            if (const kova_err_t e = event(p, in_size)) return e;
    }
    unsigned clients() { return get_client_count(); }

private:
    kova_err_t on_connect(client_addr_t const& in_client, double const&, double const&) override {
        say("on_connect " + m_name + " " + client(in_client));
        if (const unsigned ms = m_hold_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return c_kova_success;
    }
    void on_shutdown(client_addr_t const& in_client) override {
        say("on_shutdown " + m_name + " " + hex(get_last_error()) + " " + client(in_client));
    }

    std::string m_name;
};

// What both proxy kinds say about their stub.
template <typename base_t>
class told_proxy : public base_t {
public:
    told_proxy(const std::string& in_name, msg_code_t in_code) : base_t(in_code), m_name(in_name) {}

    checker m_check;

protected:
    void on_connected_tcp() override { say("on_connected_tcp " + m_name); }
    void on_disconnected_tcp() override { say("on_disconnected_tcp " + m_name); }
    void on_object_create() override { say("on_object_create " + m_name); }
    void on_object_destroy() override { say("on_object_destroy " + m_name); }

    std::string m_name;
};

class event_proxy : public told_proxy<kova_proxy_object_event> {
public:
    event_proxy(const std::string& in_name, msg_code_t in_code, bool in_auto)
        : told_proxy(in_name, in_code), m_auto(in_auto) {}

    void connect(double in_limit, const std::string& in_how) {
        const auto start = std::chrono::steady_clock::now();
        const return_object_t r = async_connect(in_limit);
        double took = 0;
        const kova_err_t e = async_connect_return(r, &took);
        say("connect " + m_name + " " + hex(e) + " " + (in_how.empty() ? std::to_string(ms_since(start)) : in_how));
    }

private:
    void on_object_create() override {
        told_proxy::on_object_create();
        // Nothing subscribes again by itself: the application does, here on the listener.
        if (m_auto) connect(5.0, "auto");
    }
    void on_disconnected() override { say("on_disconnected " + m_name); }
    void on_event(const void* pin_data, const pksize_t& in_size, const double& in_elapsed) override {
        m_check.check_next(pin_data, in_size, in_elapsed);
    }

    bool m_auto;
};

class broadcast_proxy : public told_proxy<kova_proxy_object_broadcast> {
public:
    using told_proxy::told_proxy;

private:
    void on_broadcast(const struct_server_addr& in_server, void* pin_buf, const pksize_t& in_size,
                      const double&) override {
        m_check.check_any(ip_text(in_server.ip) + ":" + std::to_string(in_server.obj_id), pin_buf, in_size);
    }
};

}  // namespace

int main() {
    std::map<std::string, std::unique_ptr<app_stub>> stubs;
    std::map<std::string, std::unique_ptr<event_proxy>> events;
    std::map<std::string, std::unique_ptr<broadcast_proxy>> broadcasts;
    std::map<std::string, std::unique_ptr<kova_probe::probe_crowd<kova_proxy_object_event>>> crowds;
    std::vector<std::thread> work;
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
        kova_proxy_object* proxy = events.count(name)       ? static_cast<kova_proxy_object*>(events[name].get())
                                   : broadcasts.count(name) ? broadcasts[name].get()
                                                            : nullptr;
        checker* check = events.count(name)       ? &events[name]->m_check
                         : broadcasts.count(name) ? &broadcasts[name]->m_check
                                                  : nullptr;
        app_stub* stub = stubs.count(name) ? stubs[name].get() : nullptr;
        if (cmd == "init") {
            if (name.empty())
                Kova::initialize();
            else
                Kova::initialize(static_cast<unsigned>(std::stoul(name)), 16, 1);
            say("initialized");
        } else if (cmd == "stub") {
            unsigned domain = 0, id = 0, code = 0, bcode = 0;
            in >> domain >> id >> code >> bcode;
            auto& s = stubs[name];
            s.reset(new app_stub(name, static_cast<msg_code_t>(code), static_cast<msg_code_t>(bcode)));
            const kova_err_t e = s->create(static_cast<domain_t>(domain), static_cast<object_id_t>(id));
            say("stub " + name + " " + hex(e) + " " + std::to_string(s->get_object_id()));
        } else if (cmd == "eproxy" || cmd == "bproxy") {
            unsigned domain = 0, id = 0, code = 0;
            std::string ip, how;
            in >> domain >> ip >> id >> code >> how;
            kova_proxy_object* p = nullptr;
            if (cmd == "eproxy") {
                events[name].reset(new event_proxy(name, static_cast<msg_code_t>(code), how == "auto"));
                p = events[name].get();
            } else {
                broadcasts[name].reset(new broadcast_proxy(name, static_cast<msg_code_t>(code)));
                p = broadcasts[name].get();
            }
            const kova_err_t e =
                p->create(static_cast<domain_t>(domain), inet_addr(ip.c_str()), static_cast<object_id_t>(id));
            say("proxy " + name + " " + hex(e) + " " + std::to_string(p->get_local_object_id()));
        } else if (cmd == "hold" && stub) {
            unsigned ms = 0;
            in >> ms;
            stub->m_hold_ms = ms;
            say("hold " + name + " ok");
        } else if ((cmd == "publish" || cmd == "broadcast") && stub) {
            std::uint32_t from = 0;
            unsigned long count = 0;
            std::string sizes, to;
            in >> from >> count >> sizes >> to;
            const bool to_all = cmd == "broadcast";
            const ip_t ip = to.empty() ? c_broadcast_ip : inet_addr(to.c_str());
            work.emplace_back([=] {
                const unsigned long failures = stub->publish(from, count, sizes_of(sizes), to_all, ip);
                say(std::string(to_all ? "broadcasted " : "published ") + name + " " + std::to_string(count) + " " +
                    std::to_string(failures));
            });
        } else if (cmd == "flood" && stub) {
            unsigned size = 0;
            in >> size;
            say("flooding " + name);
            say("flood " + name + " " + hex(stub->flood(size)));
            break;  // the SDK has stopped: the application ends
        } else if (cmd == "clients" && stub) {
            say("clients " + name + " " + std::to_string(stub->clients()));
        } else if (cmd == "connect" && events.count(name)) {
            double limit = 0;
            in >> limit;
            event_proxy* p = events[name].get();
            work.emplace_back([=] { p->connect(limit, ""); });
        } else if (cmd == "expect" && check) {
            std::uint32_t from = 0;
            unsigned long count = 0;
            std::string sizes;
            in >> from >> count >> sizes;
            check->expect(name, from, count, sizes_of(sizes));
            say("expect " + name + " ok");
        } else if (cmd == "count" && check) {
            say("count " + name + " " + check->counts());
        } else if (cmd == "many") {
            auto& crowd = crowds[name];
            crowd.reset(new kova_probe::probe_crowd<kova_proxy_object_event>);
            say("many " + name + " " +
                crowd->run(in, [](kova_proxy_object_event& in_proxy) {
                               return in_proxy.async_connect_return(in_proxy.async_connect(5.0), nullptr) ==
                                      c_kova_success;
                           }));
        } else if (cmd == "shutdown" && events.count(name)) {
            events[name]->shutdown();
            say("shutdown " + name + " ok");
        } else if (cmd == "state" && proxy) {
            say("state " + name + " live=" + std::to_string(proxy->is_live()) +
                " connected=" + std::to_string(events.count(name) && events[name]->is_connected()));
        } else if (cmd == "destroy" && (proxy || stub)) {
            say("destroy " + name + " " + hex(proxy ? proxy->destroy() : stub->destroy()));
        } else {
            say("unknown " + cmd + " " + name);
        }
    }
    for (std::thread& t : work) t.join();
    crowds.clear();
    events.clear();
    broadcasts.clear();
    stubs.clear();
    Kova::finalize();
    return 0;
}
