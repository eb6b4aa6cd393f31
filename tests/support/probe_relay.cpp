// A center stand-in around the network relay: it makes the packet memory and the center pipe,
// starts the relay on a domain port and, as the center thread would, reads what the relay hands
// in and queues packets on the relay's send operations.
//
//   probe_relay <memory name> <domain> [config path]
//
// Lines on standard output: "ready", then one line per token read from the center pipe
// ("ctrl <code hex> err <error hex>", "pkt <type> size <n> data <0|1> sum <checksum>"), and the
// answers to the commands read from standard input:
//   connect <ip> <port> / del <ip> <port>       users of a remote center
//   tcp client|server <ip> <port> <type> <size> [count]   queue packets, "sent <r>"
//   udp <ip> <type> <size>                      one datagram on the domain port, "udp <r>"
//   join|leave <group> <interface> <source>     source-specific membership
//   echo 0|1                                    send back every received packet
//   rtt client|server <ip> <port> <type> <size> <count>   round trips against an echoing
//                                               relay: "rtt size <n> n <count> median_us ..."
//   stats                                       "stats <blocks> <remain>"
//   users <ip> <port> / gate <ip> <port> / established
//   fdlimit tight|restore                       leave no descriptor for the next accept, or undo
//   ping                                        "pong" from the center thread
//   baseline / check_baseline                   "baseline ok" once the memory holds as many
//                                               blocks as at "baseline" (waits up to 15 s)
//   quit                                        stop the relay, "final blocks <n>", exit 0
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cfloat>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"
#include "Kova/Center/INet_Relay/inet_relay.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace {

namespace relay = Kova::Center::INet_Relay;
namespace epoll = Kova::Center::INet_Relay::EPoll;

Pimo::Memory::class_dynamic_shared_ref_memory g_memory;
Kova::General_Common::IPC::abstract_center_ipc g_pipe;
Kova::domain_t g_domain = 0;
bool g_echo = false;
// A round-trip run: one packet out, wait for its echo, next.
struct rtt_t {
    bool active = false;
    Kova::struct_node_addr dst;
    bool client = true;
    Kova::msg_type_t type = 48;
    size_t size = 0;
    unsigned left = 0;
    std::uint64_t sent_at = 0;
    std::vector<double> samples;
} g_rtt;
std::mutex g_commands_mutex;
std::deque<std::string> g_commands;
std::mutex g_out_mutex;

void say(const std::string& in_line) {
    std::lock_guard<std::mutex> g(g_out_mutex);
    std::fwrite(in_line.data(), 1, in_line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Kova::byte_t* payload(const Kova::struct_token& in_token) {
    return in_token.data_mm ? static_cast<Kova::byte_t*>(g_memory.get_addr(in_token.data_mm)) + sizeof(Kova::packet_t)
                            : nullptr;
}

unsigned checksum(const Kova::byte_t* in_data, size_t in_size) {
    unsigned h = 2166136261u;
    for (size_t i = 0; i < in_size; ++i) h = (h ^ in_data[i]) * 16777619u;
    return h;
}

void release(Kova::struct_token& in_token) {
    Kova::packet_t* pkt = epoll::get_header(in_token.header_mm);
    if (pkt && !in_token.data_mm && pkt->p_data) std::free(pkt->p_data);
    epoll::free_token(in_token);
}

Kova::struct_token make_packet(Kova::ip_t in_ip, Kova::domain_t in_port, Kova::msg_type_t in_type, size_t in_size) {
    Kova::struct_token t;
    epoll::alloc_header_force(t);
    Kova::packet_t* pkt = epoll::get_header(t.header_mm);
    *pkt = Kova::packet_t();
    pkt->initialize_packet(0, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    pkt->initialize_header(static_cast<Kova::pksize_t>(in_size), 1, in_type, 7, 0);
    pkt->set_source(Kova::c_local_host, g_domain, in_type == Kova::c_mt_call_return ? 0x0002 : 0x8002);
    pkt->set_destination(in_ip, in_port, in_type == Kova::c_mt_call_return ? 0x8003 : 0x0003);
    if (in_size) {
        while (!epoll::alloc_data(t, in_size)) Pimo::OS::msleep(10);
        Kova::byte_t* d = payload(t);
        for (size_t i = 0; i < in_size; ++i) d[i] = static_cast<Kova::byte_t>(i * 7 + 3);
    }
    return t;
}

void rtt_send();

std::string stats() {
    return "stats " + std::to_string(g_memory.get_alloc_count()) + " " + std::to_string(g_memory.get_remain());
}

void run_command(const std::string& in_line) {
    std::istringstream in(in_line);
    std::string cmd;
    in >> cmd;
    if (cmd == "connect" || cmd == "del" || cmd == "users" || cmd == "gate") {
        std::string ip;
        unsigned port = 0;
        in >> ip >> port;
        const Kova::ip_t addr = ::inet_addr(ip.c_str());
        if (cmd == "connect") relay::add_client(addr, static_cast<unsigned short>(port));
        if (cmd == "del") relay::del_client(addr, static_cast<unsigned short>(port));
        if (cmd == "users") {
            auto it = epoll::g_remote_server_map.find(Kova::struct_node_addr(addr, static_cast<Kova::domain_t>(port)));
            say("users " + std::to_string(it == epoll::g_remote_server_map.end() ? 0 : it->second));
        }
        if (cmd == "gate")
            say("gate " + std::to_string(relay::get_gate_port_of_local(
                              Kova::struct_node_addr(addr, static_cast<Kova::domain_t>(port)))));
        if (cmd == "connect" || cmd == "del") say("done " + cmd);
    } else if (cmd == "tcp") {
        std::string side, ip;
        unsigned port = 0, type = 0, count = 1;
        size_t size = 0;
        in >> side >> ip >> port >> type >> size >> count;
        if (count == 0) count = 1;
        int result = 0;
        for (unsigned i = 0; i < count; ++i) {
            const Kova::ip_t addr = ::inet_addr(ip.c_str());
            Kova::struct_token t =
                make_packet(addr, static_cast<Kova::domain_t>(port), static_cast<Kova::msg_type_t>(type), size);
            const Kova::struct_node_addr dst(addr, static_cast<Kova::domain_t>(port));
            const int r = side == "client" ? relay::send_tcp_client(dst, t, epoll::get_header(t.header_mm))
                                           : relay::send_tcp_server(dst, t, epoll::get_header(t.header_mm));
            if (r != 0) {
                release(t);
                result = r;
            }
        }
        say("sent " + std::to_string(result));
    } else if (cmd == "udp") {
        std::string ip;
        unsigned type = 0;
        size_t size = 0;
        in >> ip >> type >> size;
        Kova::struct_token t = make_packet(::inet_addr(ip.c_str()), g_domain, static_cast<Kova::msg_type_t>(type), size);
        const int r = relay::send_udp(t, epoll::get_header(t.header_mm));
        if (r != 0) release(t);
        say("udp " + std::to_string(r));
    } else if (cmd == "join" || cmd == "leave") {
        std::string group, itf, source;
        in >> group >> itf >> source;
        const unsigned long g = ::inet_addr(group.c_str()), i = ::inet_addr(itf.c_str()), s = ::inet_addr(source.c_str());
        if (cmd == "join")
            relay::add_membership(g, i, s, g_domain);
        else
            relay::drop_membership(g, i, s, g_domain);
        say("done " + cmd);
    } else if (cmd == "rtt") {
        std::string side, ip;
        unsigned port = 0, type = 48, count = 1;
        in >> side >> ip >> port >> type >> g_rtt.size >> count;
        g_rtt.dst = Kova::struct_node_addr(::inet_addr(ip.c_str()), static_cast<Kova::domain_t>(port));
        g_rtt.client = side == "client";
        g_rtt.type = static_cast<Kova::msg_type_t>(type);
        g_rtt.left = count ? count : 1;
        g_rtt.samples.clear();
        g_rtt.active = true;
        rtt_send();
    } else if (cmd == "echo") {
        int on = 0;
        in >> on;
        g_echo = on != 0;
        say("done echo");
    } else if (cmd == "stats") {
        say(stats());
    } else if (cmd == "fdlimit") {
        // "tight": no descriptor left for the next accept; "restore": the limit as it was.
        static rlimit s_saved{};
        std::string how;
        in >> how;
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizers need descriptors of their own to report: no tight limit there.
        if (how == "tight") {
            say("fdlimit unsupported");
            return;
        }
#endif
        if (how == "tight") {
            getrlimit(RLIMIT_NOFILE, &s_saved);
            // A new descriptor takes the lowest free number: forbid that number.
            int lowest_free = 0;
            while (fcntl(lowest_free, F_GETFD) != -1) ++lowest_free;
            rlimit tight = s_saved;
            tight.rlim_cur = static_cast<rlim_t>(lowest_free);
            setrlimit(RLIMIT_NOFILE, &tight);
        } else {
            setrlimit(RLIMIT_NOFILE, &s_saved);
        }
        say("done fdlimit");
    } else if (cmd == "ping") {
        say("pong");
    } else if (cmd == "established") {
        size_t c, s;
        {
            Pimo::OS::class_locker lock(epoll::g_client_lock);
            c = epoll::g_establish_client_map.size();
        }
        {
            Pimo::OS::class_locker lock(epoll::g_establish_server_map_lock);
            s = epoll::g_establish_server_map.size();
        }
        say("established " + std::to_string(c) + " " + std::to_string(s));
    }
}

std::uint64_t now_ns() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

void rtt_send() {
    Kova::struct_token t = make_packet(g_rtt.dst.ip, g_rtt.dst.port, g_rtt.type, g_rtt.size);
    g_rtt.sent_at = now_ns();
    const int r = g_rtt.client ? relay::send_tcp_client(g_rtt.dst, t, epoll::get_header(t.header_mm))
                               : relay::send_tcp_server(g_rtt.dst, t, epoll::get_header(t.header_mm));
    if (r != 0) {
        release(t);
        g_rtt.active = false;
        say("rtt failed");
    }
}

void rtt_received() {
    g_rtt.samples.push_back(static_cast<double>(now_ns() - g_rtt.sent_at) / 1000.0);
    if (--g_rtt.left != 0) {
        rtt_send();
        return;
    }
    g_rtt.active = false;
    std::vector<double>& v = g_rtt.samples;
    std::sort(v.begin(), v.end());
    char line[160];
    std::snprintf(line, sizeof(line), "rtt size %zu n %zu median_us %.1f p90_us %.1f min_us %.1f", g_rtt.size, v.size(),
                  v[v.size() / 2], v[v.size() * 9 / 10], v.front());
    say(line);
    say("rtt done");
}

// Sends a received packet back where it came from, over the connection it arrived on.
void echo(Kova::struct_token& in_token, Kova::packet_t* pin_pkt) {
    const Kova::struct_node_addr back(pin_pkt->src_ip, pin_pkt->header.sport);
    pin_pkt->set_destination(back, pin_pkt->header.sid);
    pin_pkt->initialize_packet(0, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    if (relay::send_tcp_server(back, in_token, pin_pkt) == 0) return;
    if (relay::send_tcp_client(back, in_token, pin_pkt) == 0) return;
    release(in_token);
}

// The center thread of this stand-in.
void center_loop() {
    for (;;) {
        Kova::struct_token t;
        if (g_pipe.eproc_receive(reinterpret_cast<Pimo::byte_t*>(&t)) != Pimo::OS::c_vimra_success) return;
        std::deque<std::string> commands;
        {
            std::lock_guard<std::mutex> g(g_commands_mutex);
            commands.swap(g_commands);
        }
        for (const std::string& c : commands) {
            if (c == "quit") {
                release(t);  // the packet read with the order to stop
                return;
            }
            run_command(c);
        }
        if (!t.has_header()) continue;
        Kova::packet_t* pkt = epoll::get_header(t.header_mm);
        char line[160];
        if (pkt->header.type == Kova::c_mt_ctrl) {
            std::snprintf(line, sizeof(line), "ctrl %x err %x", pkt->header.code, pkt->header.error);
            say(line);
            std::snprintf(line, sizeof(line), "ctrl-detail %x src %s:%u sid %x dst %u did %x", pkt->header.code,
                          ::inet_ntoa(in_addr{pkt->src_ip}), pkt->header.sport, pkt->header.sid, pkt->dst_port,
                          pkt->header.did);
            say(line);
            release(t);
            continue;
        }
        if (g_rtt.active) {
            release(t);
            rtt_received();
            continue;
        }
        const Kova::byte_t* data = t.data_mm ? payload(t) : pkt->p_data;
        std::snprintf(line, sizeof(line), "pkt %u size %u data %d sum %u", pkt->header.type, pkt->header.size,
                      t.data_mm ? 1 : 0, data ? checksum(data, pkt->header.size) : 0u);
        // Released before the line goes out, so a test reading the line may count blocks at once.
        if (g_echo) {
            echo(t, pkt);
        } else {
            release(t);
            say(line);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_domain = static_cast<Kova::domain_t>(std::stoi(argv[2]));
    if (g_memory.eproc_create(argv[1], 64u << 20) != 0) {
        say("no memory");
        return 2;
    }
    Kova::Common::Global::gp_memory = &g_memory;
    try {
        relay::initialize();
        if (argc > 3) relay::read_config(argv[3]);
    } catch (const std::exception& e) {
        say(std::string("initialize failed ") + e.what());
        g_memory.proc_destroy();
        return 3;
    } catch (const char* text) {
        say(std::string("initialize failed ") + text);
        g_memory.proc_destroy();
        return 3;
    }
    int r;
    try {
        r = relay::add_server(g_domain);
    } catch (const char* text) {
        say(std::string("add_server ") + text);
        r = -1;
    }
    if (r != 0) {
        say("add_server " + std::to_string(r));
        relay::finalize();
        g_memory.proc_destroy();
        return 4;
    }
    if (g_pipe.eproc_create(g_domain, Kova::General_Common::IPC::abstract_center_ipc::c_depth) != 0) {
        say("no center pipe");
        return 5;
    }
    Kova::Common::Global::gp_center_pipe = &g_pipe;
    relay::start();
    std::thread center(center_loop);
    say("ready");
    std::string line;
    unsigned long baseline = 0;
    while (std::getline(std::cin, line)) {
        // Memory checks run here, while the center thread keeps reading the pipe.
        if (line == "baseline") {
            // The relay's threads re-arm their receive blocks just after handing a packet in:
            // take the count once it has held still for a moment.
            baseline = g_memory.get_alloc_count();
            for (int still = 0; still < 20; ++still) {
                Pimo::OS::msleep(10);
                const unsigned long now = g_memory.get_alloc_count();
                if (now != baseline) {
                    baseline = now;
                    still = 0;
                }
            }
            say("baseline set");
            continue;
        }
        if (line == "check_baseline") {
            for (int i = 0; i < 300 && g_memory.get_alloc_count() != baseline; ++i) Pimo::OS::msleep(50);
            const unsigned long now = g_memory.get_alloc_count();
            say(now == baseline ? std::string("baseline ok")
                                : "baseline differs " + std::to_string(baseline) + " " + std::to_string(now));
            continue;
        }
        {
            std::lock_guard<std::mutex> g(g_commands_mutex);
            g_commands.push_back(line);
        }
        // An empty token wakes the center thread, which ignores it.
        Kova::struct_token wake;
        while (g_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&wake), 0) == Pimo::OS::c_vimra_busy)
            Pimo::OS::msleep(1);
        if (line == "quit") break;
    }
    center.join();
    // The relay's threads may still hand packets in until they have stopped: keep reading.
    std::atomic<bool> stopped(false);
    std::thread drainer([&] {
        Kova::struct_token t;
        for (;;) {
            const Pimo::OS::vimra_err_t r = g_pipe.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 0.05);
            if (r == Pimo::OS::c_vimra_success)
                release(t);
            else if (stopped)
                return;
        }
    });
    relay::stop();
    stopped = true;
    drainer.join();
    g_pipe.proc_shutdown();
    Kova::Common::Global::gp_center_pipe = nullptr;
    relay::finalize();
    say("final blocks " + std::to_string(g_memory.get_alloc_count()));
    g_pipe.proc_destroy();
    g_memory.proc_destroy();
    return 0;
}
