// An application of information stubs and proxies on the SDK's installed interface alone,
// driven on stdin; each command answers one line, callbacks print their own.
// Commands:
//   init
//   stub <name> <domain> <id> <code>             "stub <name> <result> <id>"
//   answer <stub name> <result>                  what its on_connect returns from now on
//   hold <stub name> <ms>                        how long its on_connect takes from now on
//   write <stub name> <data>                     "write <name> <result>"
//   timer <stub name> <interval>                 the timer model; "post" for the posting model
//   count <stub name>                            "count <name> <clients>"
//   disconnect <stub name> <ip> <domain> <id>    the stub's disconnect (id 65535: the whole node)
//   proxy <name> <domain> <server ip> <stub id> <code> [tcp|udp]
//                                                with a kind: subscribes from each on_object_create,
//                                                "connect <name> <result> auto"
//   connect <proxy name> tcp|udp <limit s>       "connect <name> <result>"
//   shutdown <proxy name>
//   keep <name> <n>                              history size of a stub or proxy
//   see <name> <n>                               "see <name> <v1>,<v2>,..." newest first, or "see <name> -"
//   read <name>                                  "read <name> <result> <value>"
//   burst <stub name> <from> <count> <size> [us] values numbered from.. on a thread of its own, each
//                                                written again while the packet memory is full, one
//                                                every us microseconds (default: at once);
//                                                "burst <name> <count> <failures>" at the end
//   tally <proxy name> <from> <count>            counts numbered values from now on instead of
//                                                printing them; "tallied <name> <received> <out of
//                                                order> <last>" once number from+count-1 came
//   tally? <proxy name>                          "tally? <name> <received> <out of order> <last>"
//   slow <proxy name> <ms>                       on_sync stays that long in each value from now on
//   end_on_connect <stub name>                   its next on_connect destroys the stub (from the
//                                                listener, so the destroy is carried out after it)
//   create <stub name> <domain> <id>             the same stub created again: "create <name> <result>"
//   race <stub name> <size>                      two threads of their own write values of size bytes,
//                                                taking turns at the block the stub lends, until one finds
//                                                the stub destroyed; each waits (up to 20 s) for the stub
//                                                to be created again and writes once more:
//                                                "race <name> <writes taken> <the last write's result>"
//   destroy <name> | quiet | exit
// Callbacks: "on_connect <stub> <tcp> <client>", "on_shutdown <stub> <last error> <client>",
// "on_sync <proxy> <model> <value>", "on_disconnected <proxy>", "on_object_create <proxy>",
// "on_object_destroy <proxy>", "on_connected_tcp <name>", "on_disconnected_tcp <name>" (a stub's
// with the node as ip:domain). Data is "pat:<n>" (n pattern bytes) or the text itself;
// values longer than 40 bytes print as "#" and their FNV-1a hash. A numbered value holds its
// number in its first 4 bytes (little-endian), then pattern bytes. Results print in hex.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <cstdio>
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
using kova_probe::make_data;
using kova_probe::say;
using kova_probe::show;

namespace {

std::string shown(letter_case_t in_letters) {
    kova_history h(in_letters);
    std::string out;
    for (size_t i = 0; i < h.size(); ++i) out += (i ? "," : "") + show(h[i].p_buffer, h[i].size);
    return out.empty() ? "-" : out;
}

class app_stub : public kova_object_information {
public:
    app_stub(const std::string& in_name, msg_code_t in_code) : kova_object_information(in_code), m_name(in_name) {}
    using kova_object_information::disconnect;
    using kova_object_information::get_client_count;
    using kova_object_information::read;
    using kova_object_information::see_history;
    using kova_object_information::set_history_size;
    using kova_object_information::set_sync_model;
    using kova_object_information::write;

    std::atomic<kova_err_t> m_answer{0};
    std::atomic<unsigned> m_hold_ms{0};
    std::atomic<bool> m_end_on_connect{false};

    ~app_stub() override { join_racers(); }
    // Two threads write in_size bytes again and again until the stub is destroyed, then once more
    // when it is created again.
    void race(pksize_t in_size) {
        join_racers();
        for (std::thread& racer : m_racers) racer = std::thread([this, in_size] {
            const std::string value(in_size, 'r');
            unsigned taken = 0;
            kova_err_t e = c_kova_success;
            while ((e = write(value.data(), in_size)) == c_kova_success) ++taken;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!is_created() && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            say("race " + m_name + " " + std::to_string(taken) + " " + hex(write(value.data(), in_size)));
        });
    }
    void join_racers() {
        for (std::thread& racer : m_racers)
            if (racer.joinable()) racer.join();
    }

private:
    kova_err_t on_connect(const client_addr_t& in_client, const bool& in_tcp, const double&, const double&) override {
        say("on_connect " + m_name + " " + std::to_string(in_tcp) + " " + client(in_client));
        if (const unsigned ms = m_hold_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (m_end_on_connect.exchange(false)) say("end_on_connect " + m_name + " " + hex(destroy()));
        return m_answer.load();
    }
    void on_shutdown(const client_addr_t& in_client) override {
        say("on_shutdown " + m_name + " " + hex(get_last_error()) + " " + client(in_client));
    }
    void on_connected_tcp(node_addr_t const& in_node) override { say("on_connected_tcp " + m_name + " " + node(in_node)); }
    void on_disconnected_tcp(node_addr_t const& in_node) override {
        say("on_disconnected_tcp " + m_name + " " + node(in_node));
    }
    static std::string node(node_addr_t const& in_node) {
        return kova_probe::ip_text(in_node.ip) + ":" + std::to_string(in_node.port);
    }

    std::string m_name;
    std::thread m_racers[2];
};

class app_proxy : public kova_proxy_object_information {
public:
    // in_auto: "tcp" or "udp" to subscribe from each on_object_create, "" not to.
    app_proxy(const std::string& in_name, msg_code_t in_code, const std::string& in_auto)
        : kova_proxy_object_information(in_code), m_name(in_name), m_auto(in_auto) {}

    void on_object_create() override {
        say("on_object_create " + m_name);
        // Nothing subscribes again by itself: the application does, here on the listener.
        if (!m_auto.empty())
            say("connect " + m_name + " " + hex(async_connect_return(async_connect(m_auto == "udp", 5), nullptr)) +
                " auto");
    }
    void on_object_destroy() override { say("on_object_destroy " + m_name); }
    void on_connected_tcp() override { say("on_connected_tcp " + m_name); }
    void on_disconnected_tcp() override { say("on_disconnected_tcp " + m_name); }

private:
    void on_disconnected() override { say("on_disconnected " + m_name); }
    void on_sync(const sender_sync_model_t& in_model, const double&, const double&, const void* const pin_buffer,
                 const pksize_t in_size) override {
        if (const unsigned ms = m_slow_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        {
            std::lock_guard<std::mutex> hold(m_tally_lock);
            if (m_tallying) {
                std::uint32_t k = 0;
                if (in_size >= 4) std::memcpy(&k, pin_buffer, 4);
                if (m_received != 0 && k <= m_last) ++m_disorder;
                ++m_received;
                m_last = k;
                if (k == m_end && !m_told) {
                    m_told = true;
                    say("tallied " + m_name + " " + tally_locked());
                }
                return;
            }
        }
        say("on_sync " + m_name + " " + std::to_string(in_model) + " " + show(pin_buffer, in_size));
    }

public:
    void tally(std::uint32_t in_from, std::uint32_t in_count) {
        std::lock_guard<std::mutex> hold(m_tally_lock);
        m_tallying = true;
        m_end = in_from + in_count - 1;
        m_received = m_disorder = m_last = 0;
        m_told = false;
    }
    std::string tally_now() {
        std::lock_guard<std::mutex> hold(m_tally_lock);
        return tally_locked();
    }
    std::atomic<unsigned> m_slow_ms{0};

private:
    std::string tally_locked() const {
        return std::to_string(m_received) + " " + std::to_string(m_disorder) + " " + std::to_string(m_last);
    }

    std::string m_name;
    std::string m_auto;
    std::mutex m_tally_lock;
    bool m_tallying = false, m_told = false;
    std::uint32_t m_end = 0, m_received = 0, m_disorder = 0, m_last = 0;
};

// Value number in_k of in_size bytes (at least 4).
std::string numbered(std::uint32_t in_k, size_t in_size) {
    std::string v = make_data("pat:" + std::to_string(in_size < 4 ? 4 : in_size));
    std::memcpy(&v[0], &in_k, 4);
    return v;
}

template <typename object_t>
std::string read_of(object_t& in_object) {
    std::vector<char> buf(70000);
    pksize_t size = static_cast<pksize_t>(buf.size());
    const kova_err_t e = in_object.read(buf.data(), &size);
    return hex(e) + " " + (e == 0 ? show(buf.data(), size) : "-");
}

}  // namespace

int main() {
    std::map<std::string, std::unique_ptr<app_stub>> stubs;
    std::map<std::string, std::unique_ptr<app_proxy>> proxies;
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
        app_stub* s = stubs.count(name) ? stubs[name].get() : nullptr;
        app_proxy* p = proxies.count(name) ? proxies[name].get() : nullptr;
        if (cmd == "init") {
            Kova::initialize();
            say("initialized");
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
            made.reset(new app_proxy(name, static_cast<msg_code_t>(code), how));
            const kova_err_t e =
                made->create(static_cast<domain_t>(domain), inet_addr(ip.c_str()), static_cast<object_id_t>(id));
            say("proxy " + name + " " + hex(e) + " " + std::to_string(made->get_local_object_id()));
        } else if (cmd == "answer" && s) {
            unsigned result = 0;
            in >> std::hex >> result;
            s->m_answer = result;
            say("answer " + name + " ok");
        } else if (cmd == "end_on_connect" && s) {
            s->m_end_on_connect = true;
            say("end_on_connect " + name + " ok");
        } else if (cmd == "create" && s) {
            unsigned domain = 0, id = 0;
            in >> domain >> id;
            say("create " + name + " " + hex(s->create(static_cast<domain_t>(domain), static_cast<object_id_t>(id))));
        } else if (cmd == "race" && s) {
            pksize_t size = 0;
            in >> size;
            s->race(size);
            say("race " + name + " started");
        } else if (cmd == "hold" && s) {
            unsigned ms = 0;
            in >> ms;
            s->m_hold_ms = ms;
            say("hold " + name + " ok");
        } else if (cmd == "write" && s) {
            std::string data;
            in >> data;
            const std::string value = make_data(data);
            say("write " + name + " " + hex(s->write(value.data(), static_cast<pksize_t>(value.size()))));
        } else if (cmd == "timer" && s) {
            std::string interval;
            in >> interval;
            if (interval == "post")
                s->set_sync_model(c_sender_sync_model_on_post, 0);
            else
                s->set_sync_model(c_sender_sync_model_on_timer, std::stod(interval));
            say("timer " + name + " ok");
        } else if (cmd == "count" && s) {
            say("count " + name + " " + std::to_string(s->get_client_count()));
        } else if (cmd == "disconnect" && s) {
            std::string ip;
            unsigned domain = 0, id = 0;
            in >> ip >> domain >> id;
            client_addr_t c;
            c.node_addr = node_addr_t(inet_addr(ip.c_str()), static_cast<domain_t>(domain));
            c.obj_id = static_cast<object_id_t>(id);
            s->disconnect(c);
            say("disconnect " + name + " ok");
        } else if (cmd == "connect" && p) {
            std::string kind;
            double limit = 5;
            in >> kind >> limit;
            double took = 0;
            const kova_err_t e = p->async_connect_return(p->async_connect(kind == "udp", limit), &took);
            say("connect " + name + " " + hex(e));
        } else if (cmd == "shutdown" && p) {
            p->shutdown();
            say("shutdown " + name + " ok");
        } else if (cmd == "keep" && (s || p)) {
            kova_size_t n = 0;
            in >> n;
            if (s) s->set_history_size(n);
            else p->set_history_size(n);
            say("keep " + name + " ok");
        } else if (cmd == "see" && (s || p)) {
            kova_size_t n = 0;
            in >> n;
            say("see " + name + " " + shown(s ? s->see_history(n) : p->see_history(n)));
        } else if (cmd == "read" && (s || p)) {
            say("read " + name + " " + (s ? read_of(*s) : read_of(*p)));
        } else if (cmd == "burst" && s) {
            std::uint32_t from = 0, count = 0;
            size_t size = 0;
            long interval_us = 0;
            in >> from >> count >> size >> interval_us;
            work.emplace_back([=] {
                unsigned long failures = 0;
                auto next = std::chrono::steady_clock::now();
                for (std::uint32_t k = from; k < from + count; ++k) {
                    if (interval_us > 0) {
                        std::this_thread::sleep_until(next);
                        next += std::chrono::microseconds(interval_us);
                    }
                    const std::string v = numbered(k, size);
                    kova_err_t e = 0;
                    // The packet memory is full of what is still on its way: wait until some has gone.
                    while ((e = s->write(v.data(), static_cast<pksize_t>(v.size()))) == c_kova_err_empty_kova_memory)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (e != 0 && failures++ == 0) say("failed " + name + " " + hex(e));
                }
                say("burst " + name + " " + std::to_string(count) + " " + std::to_string(failures));
            });
        } else if (cmd == "tally" && p) {
            std::uint32_t from = 0, count = 0;
            in >> from >> count;
            p->tally(from, count);
            say("tally " + name + " ok");
        } else if (cmd == "tally?" && p) {
            say("tally? " + name + " " + p->tally_now());
        } else if (cmd == "slow" && p) {
            unsigned ms = 0;
            in >> ms;
            p->m_slow_ms = ms;
            say("slow " + name + " ok");
        } else if (cmd == "destroy" && (s || p)) {
            say("destroy " + name + " " + hex(s ? s->destroy() : p->destroy()));
        } else {
            say("unknown " + cmd + " " + name);
        }
    }
    for (std::thread& t : work) t.join();
    proxies.clear();
    stubs.clear();
    Kova::finalize();
    return 0;
}
