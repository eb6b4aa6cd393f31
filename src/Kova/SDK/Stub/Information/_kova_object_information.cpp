#include "Kova/SDK/Stub/Information/_kova_object_information.h"

#include <cfloat>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Pimo::OS::class_locker;
using SDK::Stub::class_stub_request;

namespace {

// One count fewer for in_key; the entry goes at 0, and a missing one stays missing.
template <typename map_t, typename key_t>
void count_down(map_t& pout_map, key_t const& in_key, int in_by = 1) {
    auto it = pout_map.find(in_key);
    if (it == pout_map.end()) return;
    it->second -= in_by;
    if (it->second <= 0) pout_map.erase(it);
}

client_addr_t client_at(struct_node_addr const& in_node, object_id_t in_id) {
    client_addr_t client;
    client.node_addr = in_node;
    client.obj_id = in_id;
    return client;
}

}  // namespace

_kova_object_information::_kova_object_information(_kova_object* pin_op, kova_object_information* pin_mp,
                                                   msg_code_t in_code, interface_kind_t in_kind)
    : _kova_connection_method(pin_op, in_code, in_kind), mp(pin_mp) {
    _op->add_information(code, this);
}

_kova_object_information::~_kova_object_information() { _op->del_information(code, this); }

void _kova_object_information::adapter_connect(struct_token const& in_token) {
    const class_stub_request request(in_token);
    struct_packet* r = request.get_packet();
    struct_token answer;
    if (!request.proc_alloc_within([&] { return answer.alloc_header(__FILE__, __LINE__); })) return;
    const client_addr_t client = request.get_client();
    const bool tcp = r->header.type == c_mt_information_tcp_connect;
    const kova_err_t result = mp->on_connect(client, tcp, r->packet_live_time, r->packet_limit_time);
    SDK::Stub::proc_answer_connect(*answer.get_header_packet(), *r, result);
    if (result == c_kova_err_none) {
        // Registered before the confirm leaves: the first value may follow it at once.
        class_locker lock(node_map_mutex);
        proc_register(client, tcp, r->mct_if);
    }
    if (_op->send_force(answer) == 0) return;
    // The answer never left: the proxy cannot count on this subscription, nor the stub.
    struct_packet lost = *r;
    lost.forward_error_switch(c_kova_err_busy_localhost);
    proc_shutdown(lost);
}

void _kova_object_information::adapter_shutdown(struct_token const& in_token) {
    proc_shutdown(*in_token.get_header_packet());
}

void _kova_object_information::proc_shutdown(struct_packet const& in_packet) {
    const client_addr_t client = SDK::Stub::get_client(in_packet);
    {
        class_locker lock(node_map_mutex);
        proc_remove(client);
    }
    g_last_error = in_packet.header.error;
    mp->on_shutdown(client);
}

void _kova_object_information::proc_register(client_addr_t const& in_client, bool in_tcp, ip_t in_mcast_if) {
    // A client that connects again counts once, as what it asked for last.
    proc_remove(in_client);
    node_map[in_client.node_addr][in_client.obj_id] = struct_client{in_tcp, in_mcast_if};
    if (in_tcp) {
        ++tcp_node_map[in_client.node_addr];
        return;
    }
    auto udp = udp_node_map.emplace(in_client.node_addr, struct_udp_if{in_mcast_if, 0}).first;
    ++udp->second.counter;
    ++mcast_if_map[in_mcast_if];
}

bool _kova_object_information::proc_remove(client_addr_t const& in_client) {
    auto node = node_map.find(in_client.node_addr);
    if (node == node_map.end()) return false;
    auto found = node->second.find(in_client.obj_id);
    if (found == node->second.end()) return false;
    const struct_client was = found->second;
    node->second.erase(found);
    if (node->second.empty()) node_map.erase(node);
    if (was.tcp) {
        count_down(tcp_node_map, in_client.node_addr);
        return true;
    }
    auto udp = udp_node_map.find(in_client.node_addr);
    if (udp != udp_node_map.end() && --udp->second.counter <= 0) udp_node_map.erase(udp);
    count_down(mcast_if_map, was.mcast_if);
    return true;
}

void _kova_object_information::proc_remove_node(struct_node_addr const& in_node, std::vector<client_addr_t>& pout_gone,
                                                std::vector<struct_token>* pout_send) {
    auto node = node_map.find(in_node);
    if (node == node_map.end()) return;
    // Ascending object id; a copy, since each removal changes the node's map.
    const information_object_map_t clients = node->second;
    for (const auto& entry : clients) {
        const client_addr_t client = client_at(in_node, entry.first);
        if (pout_send) proc_build_disconnect(client, entry.second.tcp, *pout_send);
        proc_remove(client);
        pout_gone.push_back(client);
    }
}

void _kova_object_information::adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) {
    std::vector<client_addr_t> gone;
    {
        class_locker lock(node_map_mutex);
        proc_remove_node(in_node_addr, gone, nullptr);
    }
    for (const client_addr_t& client : gone) {
        g_last_error = in_token.get_header_packet()->header.error;
        mp->on_shutdown(client);
    }
}

void _kova_object_information::adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) {
    {
        class_locker lock(node_map_mutex);
        if (!proc_remove(in_client)) return;
    }
    g_last_error = in_token.get_header_packet()->header.error;
    mp->on_shutdown(in_client);
}

void _kova_object_information::proc_build_disconnect(client_addr_t const& in_client, bool in_tcp,
                                                     std::vector<struct_token>& pout_send) {
    struct_token t;
    t.alloc_header_force(__FILE__, __LINE__);
    struct_packet* p = t.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    p->initialize_header(0, _op->get_msg_num(),
                         in_tcp ? c_mt_information_tcp_disconnect : c_mt_information_udp_disconnect, code,
                         c_kova_err_none);
    p->set_destination(in_client);
    pout_send.push_back(t);
}

void _kova_object_information::proc_push(std::vector<struct_token>& in_send) {
    // No time limit: each is retried until the center pipe takes it.
    for (const struct_token& t : in_send) _op->send_force(t);
    in_send.clear();
}

unsigned int _kova_object_information::get_client_count() {
    if (!_op->is_created()) return 0;
    class_locker lock(node_map_mutex);
    unsigned int count = 0;
    for (const auto& node : node_map) count += static_cast<unsigned int>(node.second.size());
    return count;
}

void _kova_object_information::disconnect(client_addr_t const& in_client_addr) {
    if (in_client_addr.node_addr.ip == c_broadcast_ip) disconnect_all_client_object(true);
    else if (in_client_addr.obj_id == c_broadcast_proxy_id) disconnect_one_client_node(in_client_addr.node_addr);
    else disconnect_one_client_object(in_client_addr);
}

void _kova_object_information::disconnect_all_client_object(bool in_send) {
    // The destroy drops the clients although it has marked the object not created.
    if (in_send && !_op->is_created()) return;
    std::vector<struct_token> send;
    {
        class_locker lock(node_map_mutex);
        if (in_send)
            for (const auto& node : node_map)
                for (const auto& entry : node.second)
                    proc_build_disconnect(client_at(node.first, entry.first), entry.second.tcp, send);
        node_map.clear();
        tcp_node_map.clear();
        udp_node_map.clear();
        mcast_if_map.clear();
    }
    proc_push(send);
}

void _kova_object_information::disconnect_one_client_node(struct_node_addr const& in_node_addr) {
    if (!_op->is_created()) return;
    std::vector<struct_token> send;
    std::vector<client_addr_t> gone;
    {
        class_locker lock(node_map_mutex);
        proc_remove_node(in_node_addr, gone, &send);
    }
    proc_push(send);
}

void _kova_object_information::disconnect_one_client_object(client_addr_t const& in_client_addr) {
    if (!_op->is_created()) return;
    std::vector<struct_token> send;
    {
        class_locker lock(node_map_mutex);
        auto node = node_map.find(in_client_addr.node_addr);
        if (node == node_map.end()) return;
        auto found = node->second.find(in_client_addr.obj_id);
        if (found == node->second.end()) return;
        proc_build_disconnect(in_client_addr, found->second.tcp, send);
        proc_remove(in_client_addr);
    }
    proc_push(send);
}

}  // namespace Kova
