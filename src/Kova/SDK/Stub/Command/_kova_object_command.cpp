#include "Kova/SDK/Stub/Command/_kova_object_command.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/History/struct_letter_case.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Pimo::OS::class_locker;
using SDK::Stub::client_at;

_kova_object_command::_kova_object_command(_kova_object* pin_op, kova_object_command* pin_mp, msg_code_t in_code,
                                           interface_kind_t in_kind)
    : _kova_connection_method(pin_op, in_code, in_kind), history_size(1), use_on_sync(true), mp(pin_mp) {
    _op->add_command(code, this);
}

_kova_object_command::~_kova_object_command() {
    _op->del_command(code, this);
    class_locker lock(command_node_map_mutex);
    command_node_map.clear();
}

void _kova_object_command::adapter_connect(struct_token const& in_token) {
    SDK::Stub::proc_connect_request(
        *_op, in_token,
        [&](client_addr_t const& in_client, double in_live, double in_limit) {
            return mp->on_connect(in_client, in_live, in_limit);
        },
        [&](client_addr_t const& in_client) {
            // A client connected already keeps its record and history.
            class_locker lock(command_node_map_mutex);
            command_node_map[in_client.node_addr][in_client.obj_id];
        },
        [&](struct_packet const& in_lost) { proc_shutdown(in_lost); });
}

void _kova_object_command::adapter_shutdown(struct_token const& in_token) {
    proc_shutdown(*in_token.get_header_packet());
}

void _kova_object_command::proc_shutdown(struct_packet const& in_packet) {
    const client_addr_t client = SDK::Stub::get_client(in_packet);
    {
        class_locker lock(command_node_map_mutex);
        proc_remove(client);
    }
    g_last_error = in_packet.header.error;
    mp->on_shutdown(client);
}

bool _kova_object_command::proc_remove(client_addr_t const& in_client) {
    auto node = command_node_map.find(in_client.node_addr);
    if (node == command_node_map.end() || node->second.erase(in_client.obj_id) == 0) return false;
    if (node->second.empty()) command_node_map.erase(node);
    return true;
}

void _kova_object_command::adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) {
    std::vector<client_addr_t> gone;
    {
        class_locker lock(command_node_map_mutex);
        auto node = command_node_map.find(in_node_addr);
        if (node == command_node_map.end()) return;
        for (const auto& entry : node->second) gone.push_back(client_at(in_node_addr, entry.first));
        command_node_map.erase(node);
    }
    for (const client_addr_t& client : gone) {
        g_last_error = in_token.get_header_packet()->header.error;
        mp->on_shutdown(client);
    }
}

void _kova_object_command::adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) {
    {
        class_locker lock(command_node_map_mutex);
        if (!proc_remove(in_client)) return;
    }
    g_last_error = in_token.get_header_packet()->header.error;
    mp->on_shutdown(in_client);
}

void _kova_object_command::adapter_sync(struct_token const& in_token) {
    const client_addr_t client = SDK::Stub::get_client(*in_token.get_header_packet());
    class_locker lock(command_node_map_mutex);
    auto node = command_node_map.find(client.node_addr);
    if (node == command_node_map.end()) return;
    auto record = node->second.find(client.obj_id);
    if (record == node->second.end()) return;
    // Held by reference: the history shares the blocks the command came in.
    record->second.history.push(in_token, history_size.load());
    if (use_on_sync.load()) sync(in_token);
}

void _kova_object_command::sync(struct_token const& in_token) {
    const SDK::Stub::class_stub_request command(in_token);
    const struct_packet* p = command.get_packet();
    // A proxy that posts sends no time limit; one on a timer its period.
    const sender_sync_model_t model =
        p->header.limit.is_infinite() ? c_sender_sync_model_on_post : c_sender_sync_model_on_timer;
    mp->on_sync(command.get_client(), model, p->packet_live_time, p->header.limit.get_time(), command.get_data(),
                command.get_size());
    command.proc_check_data();
}

void _kova_object_command::proc_send_disconnect(struct_node_addr const& in_node, object_id_t in_did) {
    SDK::Stub::proc_send_unlimited(*_op, c_mt_command_disconnect, code, in_node, in_did, 0, 0,
                                   Pimo::OS::vimra_cpu_clock());
}

void _kova_object_command::disconnect(client_addr_t const& in_client_addr) {
    if (in_client_addr.node_addr.ip == c_broadcast_ip) disconnect_all_client_object(true);
    else if (in_client_addr.obj_id == c_broadcast_proxy_id) disconnect_one_client_node(in_client_addr.node_addr);
    else disconnect_one_client_object(in_client_addr);
}

void _kova_object_command::disconnect_all_client_object(bool in_send) {
    // The destroy drops the clients although it has marked the object not created.
    if (in_send && !_op->is_created()) return;
    class_locker lock(command_node_map_mutex);
    if (in_send)
        for (const auto& node : command_node_map) proc_send_disconnect(node.first, c_broadcast_proxy_id);
    command_node_map.clear();
}

void _kova_object_command::disconnect_one_client_node(struct_node_addr const& in_node_addr) {
    if (!_op->is_created()) return;
    class_locker lock(command_node_map_mutex);
    auto node = command_node_map.find(in_node_addr);
    if (node == command_node_map.end()) return;
    proc_send_disconnect(in_node_addr, c_broadcast_proxy_id);
    command_node_map.erase(node);
}

void _kova_object_command::disconnect_one_client_object(client_addr_t const& in_client_addr) {
    if (!_op->is_created()) return;
    class_locker lock(command_node_map_mutex);
    auto node = command_node_map.find(in_client_addr.node_addr);
    if (node == command_node_map.end() || node->second.count(in_client_addr.obj_id) == 0) return;
    proc_send_disconnect(in_client_addr.node_addr, in_client_addr.obj_id);
    proc_remove(in_client_addr);
}

unsigned int _kova_object_command::get_client_count() {
    if (!_op->is_created()) return 0;
    class_locker lock(command_node_map_mutex);
    unsigned int count = 0;
    for (const auto& node : command_node_map) count += static_cast<unsigned int>(node.second.size());
    return count;
}

kova_size_t _kova_object_command::get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size) {
    if (!_op->is_created() || pio_client_addr == nullptr) return 0;
    class_locker lock(command_node_map_mutex);
    kova_size_t written = 0;
    for (const auto& node : command_node_map)
        for (const auto& entry : node.second) {
            if (written == in_size) return written;
            pio_client_addr[written++] = client_at(node.first, entry.first);
        }
    return written;
}

letter_case_t _kova_object_command::see_history(client_addr_t const& in_client_addr, kova_size_t in_size) {
    if (!_op->is_created()) return nullptr;
    class_locker lock(command_node_map_mutex);
    auto node = command_node_map.find(in_client_addr.node_addr);
    if (node != command_node_map.end()) {
        auto record = node->second.find(in_client_addr.obj_id);
        if (record != node->second.end()) return record->second.history.see(in_size);
    }
    return new struct_letter_case;
}

kova_err_t _kova_object_command::read(client_addr_t const& in_client_addr, void* pin_data, pksize_t* pin_size) {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    if (pin_size == nullptr || (pin_data == nullptr && *pin_size != 0)) return c_kova_err_boundout_buffer;
    return SDK::History::proc_read_newest(see_history(in_client_addr, 1), pin_data, pin_size);
}

}  // namespace Kova
