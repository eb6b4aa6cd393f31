#include "Kova/SDK/Stub/Command/_kova_object_command.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/History/struct_letter_case.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_locker;
using SDK::Stub::client_at;

_kova_object_command::_kova_object_command(_kova_object* pin_op, kova_object_command* pin_mp, msg_code_t in_code,
                                           interface_kind_t in_kind)
    : template_client_table(pin_op, in_code, in_kind), history_size(1), use_on_sync(true), mp(pin_mp) {
    _op->add_command(code, this);
}

_kova_object_command::~_kova_object_command() { _op->del_command(code, this); }

void _kova_object_command::adapter_connect(struct_token const& in_token) {
    // A client connected already keeps its record and history.
    proc_connect(in_token, [&](client_addr_t const& in_client, double in_live, double in_limit) {
        return mp->on_connect(in_client, in_live, in_limit);
    });
}

void _kova_object_command::adapter_sync(struct_token const& in_token) {
    const client_addr_t client = SDK::Stub::get_client(*in_token.get_header_packet());
    // Held by reference: the history shares the blocks the command came in.
    const bool connected = proc_with(client, [&](struct_cmd_obj_map_data& in_record) {
        in_record.history.push(in_token, history_size.load());
    });
    // The listener holds the token for the callback: nothing of the table is needed.
    if (connected && use_on_sync.load()) sync(in_token);
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

kova_size_t _kova_object_command::get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size) {
    if (!_op->is_created() || pio_client_addr == nullptr) return 0;
    class_locker lock(node_map_mutex);
    kova_size_t written = 0;
    for (const auto& node : node_map)
        for (const auto& entry : node.second) {
            if (written == in_size) return written;
            pio_client_addr[written++] = client_at(node.first, entry.first);
        }
    return written;
}

letter_case_t _kova_object_command::see_history(client_addr_t const& in_client_addr, kova_size_t in_size) {
    if (!_op->is_created()) return nullptr;
    letter_case_t seen = nullptr;
    proc_with(in_client_addr, [&](struct_cmd_obj_map_data& in_record) { seen = in_record.history.see(in_size); });
    return seen ? seen : new struct_letter_case;
}

kova_err_t _kova_object_command::read(client_addr_t const& in_client_addr, void* pin_data, pksize_t* pin_size) {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    if (pin_size == nullptr || (pin_data == nullptr && *pin_size != 0)) return c_kova_err_boundout_buffer;
    return SDK::History::proc_read_newest(see_history(in_client_addr, 1), pin_data, pin_size);
}

}  // namespace Kova
