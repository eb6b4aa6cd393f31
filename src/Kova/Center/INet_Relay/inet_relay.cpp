#include "Kova/Center/INet_Relay/inet_relay.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <cfloat>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_thread.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_udp_method.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace Center {
namespace INet_Relay {

using namespace EPoll;
using Pimo::OS::class_locker;

const char* const str_config_path = "../Config/kova.ini";

namespace {

bool yes_no(const boost::property_tree::ptree& in_tree, const char* in_key) {
    std::string value = in_tree.get<std::string>(std::string("KOVA.") + in_key);
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value != "no";
}

// A decimal integer, or the reader's bad-data error.
int integer(const boost::property_tree::ptree& in_tree, const char* in_key) {
    const std::string value = in_tree.get<std::string>(std::string("KOVA.") + in_key);
    std::istringstream in(value);
    int result = 0;
    in >> result;
    if (in.fail() || !(in >> std::ws).eof())
        throw boost::property_tree::ptree_bad_data(std::string("conversion of ") + in_key + " failed", value);
    return result;
}

// Queues a packet on the established connection to in_dst of one map (outgoing or accepted).
// A connection that is busy drops a packet of in_dropped_type, the type whose next value
// replaces it anyway. The map lock stays held while the packet is queued, so the connection
// cannot be withdrawn in between.
int send_tcp_established(Pimo::OS::class_thread_lock& in_map_lock, establish_map_t& in_map,
                         Kova::msg_type_t in_dropped_type, Kova::struct_node_addr in_dst, Kova::struct_token& in_token,
                         Kova::struct_packet* pin_pkt) {
    class_locker lock(in_map_lock);
    auto it = in_map.find(in_dst);
    if (it == in_map.end()) return -1;
    tcp_t* p = it->second;
    class_locker queue_lock(p->send_queue_lock);
    // Closing (its last user has left, or its receive has ended): it must not swallow the packet.
    if (p->b_remove_client || p->recv_ended) return -1;
    p->send_clk = now_ms();
    pin_pkt->set_src_port(p->gate_port_of_local);
    if (!p->send_queue.empty() && pin_pkt->get_msg_type() == in_dropped_type) {
        free_token(in_token);
        return 0;
    }
    queue_on_connection(p, in_token, pin_pkt, true);
    return 0;
}

// An optional key: in_default when the file lacks it; otherwise a number above 0, or the
// reader's bad-data error.
int optional_positive(const boost::property_tree::ptree& in_tree, const char* in_key, int in_default) {
    if (!in_tree.get_child_optional(std::string("KOVA.") + in_key)) return in_default;
    const int value = integer(in_tree, in_key);
    if (value <= 0)
        throw boost::property_tree::ptree_bad_data(std::string(in_key) + " must be above 0", value);
    return value;
}

void close_sets() {
    for (int* set : {&epoll_tcp_send, &epoll_tcp_recv, &epoll_tcp_init, &epoll_udp_send, &epoll_udp_recv}) {
        if (*set != -1 && ::close(*set) != 0) Pimo::Utility::print_error(__FILE__, __LINE__);
        *set = -1;
    }
}

}  // namespace

void read_config(const char* in_path) {
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(in_path, tree);
    } catch (const boost::property_tree::ini_parser_error&) {
        g_auto_disconnect = true;
        g_server_socket_reuse = true;
        g_listen_backlog = 5;
        g_server_linger_use = false;
        g_server_linger_time = 1024;
        g_server_nagle_off_use = true;
        g_client_linger_use = false;
        g_client_linger_time = 1024;
        g_client_nagle_off_use = true;
        g_timeout_ms = c_default_timeout_ms;
        return;
    }
    // A readable file must carry every key: the reader's error leaves this function.
    g_auto_disconnect = yes_no(tree, "AUTO_DISCONNECT");
    g_server_socket_reuse = yes_no(tree, "SERVER_SOCKET_REUSE");
    g_listen_backlog = integer(tree, "SERVER_LISTEN_BACKLOG");
    g_server_linger_use = yes_no(tree, "SERVER_LINGER_USE");
    g_server_linger_time = integer(tree, "SERVER_LINGER_TIME");
    g_server_nagle_off_use = yes_no(tree, "SERVER_NAGLE_OFF_USE");
    g_client_linger_use = yes_no(tree, "CLIENT_LINGER_USE");
    g_client_linger_time = integer(tree, "CLIENT_LINGER_TIME");
    g_client_nagle_off_use = yes_no(tree, "CLIENT_NAGLE_OFF_USE");
    g_timeout_ms = static_cast<Pimo::OS::vimra_clock_t>(
        optional_positive(tree, "CONNECTION_TIMEOUT_MS", static_cast<int>(c_default_timeout_ms)));
}

int initialize() {
    Pimo::OS::vimra_update_cpu_hz();  // the millisecond clock of the timer and the records
    alloc_header_force(heartbeat_token);
    heartbeat_pkt = get_header(heartbeat_token.header_mm);
    *heartbeat_pkt = Kova::packet_t();
    heartbeat_pkt->initialize_packet(Kova::c_local_host, 0, DBL_MAX);
    heartbeat_pkt->set_source(0, 0, 0);
    heartbeat_pkt->set_destination(0, 0, 0);
    heartbeat_pkt->initialize_header(0, 0, Kova::c_mt_null, 0, Kova::c_kova_err_none);
    read_config(str_config_path);
    for (int* set : {&epoll_tcp_init, &epoll_tcp_recv, &epoll_tcp_send, &epoll_udp_recv, &epoll_udp_send}) {
        *set = epoll_create1(0);
        if (*set == -1) {
            Pimo::Utility::print_error("epoll_create 에러");
            close_sets();  // finalize is not called after a failed initialize
            throw "epoll_create 에러";
        }
    }
    return 0;
}

int add_server(unsigned short in_port) {
    int result = udp_initialize(in_port);
    if (result != 0) return result;
    result = request_listen(in_port);
    if (result != 0) udp_finalize();
    return result;
}

int start() {
    epoll_thread_udp_recv.eproc_create(epoll_thread_udp_recv_entry, nullptr);
    epoll_thread_udp_send.eproc_create(epoll_thread_udp_send_entry, nullptr);
    epoll_thread_tcp_init.eproc_create(epoll_thread_tcp_init_entry, nullptr);
    epoll_thread_tcp_recv[0].eproc_create(epoll_thread_tcp_recv_entry, nullptr);
    epoll_thread_tcp_send[0].eproc_create(epoll_thread_tcp_send_entry, nullptr);
    inet_timer.eproc_create(1.0, timer_inet, nullptr);
    return 0;
}

int stop() {
    inet_timer.proc_destroy();
    const int wake = ::socket(AF_INET, SOCK_STREAM, 6);
    struct entry_t {
        int set;
        Pimo::OS::class_thread* thread;
    };
    const entry_t order[] = {{epoll_tcp_init, &epoll_thread_tcp_init},
                             {epoll_udp_recv, &epoll_thread_udp_recv},
                             {epoll_udp_send, &epoll_thread_udp_send},
                             {epoll_tcp_recv, &epoll_thread_tcp_recv[0]},
                             {epoll_tcp_send, &epoll_thread_tcp_send[0]}};
    for (const entry_t& e : order) {
        if (e.set == -1) continue;
        if (epoll_arm(e.set, EPOLL_CTL_ADD, wake, EPOLLOUT, nullptr) != 0) Pimo::Utility::print_error(__FILE__, __LINE__);
        if (e.thread->is_created()) e.thread->proc_wait_exit();
    }
    if (wake >= 0) ::close(wake);
    return 0;
}

int finalize() {
    close_sets();
    udp_finalize();
    for (auto& entry : g_server_map) {
        ::shutdown(entry.second, SHUT_RD);
        if (entry.second != -1) {
            ::close(entry.second);
            entry.second = -1;
        }
    }
    for (auto& entry : g_listener_map) delete entry.second;
    g_listener_map.clear();
    // The threads have ended: every connection record left, at whatever stage, is released here
    // with its queued packets and acknowledgement references.
    std::vector<tcp_t*> records;
    {
        class_locker lock(g_tcp_records_lock);
        records.assign(g_tcp_records.begin(), g_tcp_records.end());
    }
    {
        class_locker lock(g_client_lock);
        g_connect_map.clear();
        g_connect_fail_map.clear();
        g_establish_client_map.clear();
    }
    {
        class_locker lock(g_establish_server_map_lock);
        g_establish_server_map.clear();
        g_init_server_set.clear();
    }
    for (tcp_t* p : records) delete_overlapped(p);
    g_remote_server_map.clear();
    free_token(heartbeat_token);
    heartbeat_pkt = nullptr;
    return 0;
}

int send_tcp_client(Kova::struct_node_addr in_dst, Kova::struct_token& in_token, Kova::struct_packet* pin_pkt) {
    return send_tcp_established(g_client_lock, g_establish_client_map, Kova::c_mt_command_udp, in_dst, in_token,
                                pin_pkt);
}

int send_tcp_server(Kova::struct_node_addr in_dst, Kova::struct_token& in_token, Kova::struct_packet* pin_pkt) {
    return send_tcp_established(g_establish_server_map_lock, g_establish_server_map, Kova::c_mt_information_udp,
                                in_dst, in_token, pin_pkt);
}

int send_tcp_broadcast(Kova::struct_token& in_token, Kova::struct_packet* pin_pkt) {
    class_locker lock(g_establish_server_map_lock);
    for (auto& entry : g_establish_server_map) {
        tcp_t* p = entry.second;
        Kova::struct_token copy;
        alloc_header_force(copy);
        Kova::packet_t* pkt = get_header(copy.header_mm);
        *pkt = *pin_pkt;
        pkt->p_data = nullptr;
        copy.data_mm = in_token.data_mm;
        add_ref(copy.data_mm);
        pkt->set_destination(p->remote_addr.ip, p->remote_addr.port, pin_pkt->header.did);
        pkt->set_src_port(p->gate_port_of_local);
        class_locker queue_lock(p->send_queue_lock);
        if (p->recv_ended) {
            free_token(copy);
            continue;
        }
        p->send_clk = now_ms();
        queue_on_connection(p, copy, pkt, true);
    }
    return 0;
}

int add_client(Kova::ip_t in_ip, unsigned short in_port) {
    const Kova::struct_node_addr key(in_ip, in_port);
    auto it = g_remote_server_map.find(key);
    if (it != g_remote_server_map.end()) {
        ++it->second;
        return 0;
    }
    tcp_t* p = new_tcp_record(-1, c_socket_init_client, Kova::struct_node_addr(), key);
    if (request_connect(p) != 0) {
        bool keep;
        {
            class_locker lock(g_client_lock);
            keep = g_connect_fail_map.insert(std::make_pair(key, p)).second;
        }
        if (!keep) delete_overlapped(p);
    }
    g_remote_server_map[key] = 1;
    return 0;
}

int del_client(Kova::ip_t in_ip, unsigned short in_port) {
    const Kova::struct_node_addr key(in_ip, in_port);
    auto it = g_remote_server_map.find(key);
    if (it == g_remote_server_map.end()) return 0;
    if (--it->second > 0) return 0;
    g_remote_server_map.erase(it);
    tcp_t* release = nullptr;
    {
        class_locker lock(g_client_lock);
        auto est = g_establish_client_map.find(key);
        if (est != g_establish_client_map.end()) {
            tcp_t* p = est->second;
            p->send_clk = now_ms();
            class_locker queue_lock(p->send_queue_lock);
            p->b_remove_client = true;
            queue_on_connection(p, Kova::struct_token(), nullptr);
        }
        auto con = g_connect_map.find(key);
        if (con != g_connect_map.end()) {
            tcp_t* p = con->second;
            p->send_clk = now_ms();
            class_locker queue_lock(p->send_queue_lock);
            p->b_remove_client = true;
            // Ends the connect or the init exchange at once; the failure path then releases
            // the record instead of keeping it for reconnection.
            if (p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
        }
        auto fail = g_connect_fail_map.find(key);
        if (fail != g_connect_fail_map.end()) {
            release = fail->second;
            g_connect_fail_map.erase(fail);
        }
    }
    if (release) delete_overlapped(release);
    return 0;
}

unsigned short get_gate_port_of_local(Kova::struct_node_addr in_remote) {
    class_locker lock(g_client_lock);
    auto it = g_establish_client_map.find(in_remote);
    return it == g_establish_client_map.end() ? 0 : it->second->gate_port_of_local;
}

}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
