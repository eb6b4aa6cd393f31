#include "Kova/SDK/Stub/Event/_kova_object_event.h"

#include <cstring>
#include <vector>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Common::Interface::safe_free_data;
using Pimo::OS::class_locker;

_kova_object_event::_kova_object_event(_kova_object* pin_op, kova_object_event* pin_mp, msg_code_t in_code,
                                       interface_kind_t in_kind)
    : _kova_connection_method(pin_op, in_code, in_kind), mp(pin_mp) {
    _op->add_event(code, this);
}

_kova_object_event::~_kova_object_event() { _op->del_event(code, this); }

void _kova_object_event::adapter_connect(struct_token const& in_token) {
    SDK::Stub::proc_connect_request(
        *_op, in_token,
        [&](client_addr_t const& in_client, double in_live, double in_limit) {
            return mp->on_connect(in_client, in_live, in_limit);
        },
        [&](client_addr_t const& in_client) {
            class_locker lock(node_map_mutex);
            node_map[in_client.node_addr].insert(in_client.obj_id);
        },
        [&](struct_packet const& in_lost) { proc_shutdown(in_lost); });
}

void _kova_object_event::adapter_shutdown(struct_token const& in_token) {
    proc_shutdown(*in_token.get_header_packet());
}

void _kova_object_event::proc_shutdown(struct_packet const& in_packet) {
    const client_addr_t client = SDK::Stub::get_client(in_packet);
    proc_remove(client);
    g_last_error = in_packet.header.error;
    mp->on_shutdown(client);
}

bool _kova_object_event::proc_remove(client_addr_t const& in_client) {
    class_locker lock(node_map_mutex);
    auto node = node_map.find(in_client.node_addr);
    if (node == node_map.end() || node->second.erase(in_client.obj_id) == 0) return false;
    if (node->second.empty()) node_map.erase(node);
    return true;
}

void _kova_object_event::adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) {
    std::vector<client_addr_t> gone;
    {
        class_locker lock(node_map_mutex);
        auto node = node_map.find(in_node_addr);
        if (node == node_map.end()) return;
        for (object_id_t id : node->second) gone.push_back(SDK::Stub::client_at(in_node_addr, id));
        node_map.erase(node);
    }
    for (const client_addr_t& client : gone) {
        g_last_error = in_token.get_header_packet()->header.error;
        mp->on_shutdown(client);
    }
}

void _kova_object_event::adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) {
    if (!proc_remove(in_client)) return;
    g_last_error = in_token.get_header_packet()->header.error;
    mp->on_shutdown(in_client);
}

void _kova_object_event::proc_send(msg_type_t in_type, struct_node_addr const& in_node, object_id_t in_did,
                                   Pimo::Memory::mm_t in_data_mm, pksize_t in_size, kova_clock_t in_clock) {
    SDK::Stub::proc_send_unlimited(*_op, in_type, code, in_node, in_did, in_data_mm, in_size, in_clock);
}

kova_err_t _kova_object_event::event(void const* pin_buffer, pksize_t in_size) {
    const kova_clock_t clock = Pimo::OS::vimra_cpu_clock();
    if (!_op->is_created()) return c_kova_err_is_not_created;
    struct_token data;
    if (in_size != 0) {
        if (pin_buffer == nullptr) return c_kova_err_boundout_buffer;
        if (data.alloc_data(in_size, __FILE__, __LINE__) != c_kova_err_none) return c_kova_err_empty_kova_memory;
        std::memcpy(data.get_data(), pin_buffer, in_size);
    }
    {
        // One packet per node, all sharing the one copy of the payload.
        class_locker lock(node_map_mutex);
        for (const auto& node : node_map) proc_send(c_mt_event, node.first, c_broadcast_proxy_id, data.data_mm, in_size, clock);
    }
    safe_free_data(data, __FILE__, __LINE__);
    return c_kova_err_none;
}

unsigned int _kova_object_event::get_client_count() {
    if (!_op->is_created()) return 0;
    class_locker lock(node_map_mutex);
    unsigned int count = 0;
    for (const auto& node : node_map) count += static_cast<unsigned int>(node.second.size());
    return count;
}

void _kova_object_event::disconnect(client_addr_t const& in_client_addr) {
    if (in_client_addr.node_addr.ip == c_broadcast_ip) disconnect_all_client_object(true);
    else if (in_client_addr.obj_id == c_broadcast_proxy_id) disconnect_one_client_node(in_client_addr.node_addr);
    else disconnect_one_client_object(in_client_addr);
}

void _kova_object_event::disconnect_all_client_object(bool in_send) {
    // The destroy drops the clients although it has marked the object not created.
    if (in_send && !_op->is_created()) return;
    class_locker lock(node_map_mutex);
    if (in_send) {
        const kova_clock_t clock = Pimo::OS::vimra_cpu_clock();
        for (const auto& node : node_map) proc_send(c_mt_event_disconnect, node.first, c_broadcast_proxy_id, 0, 0, clock);
    }
    node_map.clear();
}

void _kova_object_event::disconnect_one_client_node(struct_node_addr const& in_node_addr) {
    if (!_op->is_created()) return;
    class_locker lock(node_map_mutex);
    auto node = node_map.find(in_node_addr);
    if (node == node_map.end()) return;
    proc_send(c_mt_event_disconnect, in_node_addr, c_broadcast_proxy_id, 0, 0, Pimo::OS::vimra_cpu_clock());
    node_map.erase(node);
}

void _kova_object_event::disconnect_one_client_object(client_addr_t const& in_client_addr) {
    if (!_op->is_created()) return;
    class_locker lock(node_map_mutex);
    auto node = node_map.find(in_client_addr.node_addr);
    if (node == node_map.end() || node->second.count(in_client_addr.obj_id) == 0) return;
    proc_send(c_mt_event_disconnect, in_client_addr.node_addr, in_client_addr.obj_id, 0, 0,
              Pimo::OS::vimra_cpu_clock());
    proc_remove(in_client_addr);
}

}  // namespace Kova
