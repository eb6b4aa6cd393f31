#include "Kova/SDK/Stub/Event/_kova_object_event.h"

#include <cstring>
#include <vector>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Common::Interface::safe_free_data;
using Pimo::OS::class_locker;

_kova_object_event::_kova_object_event(_kova_object* pin_op, kova_object_event* pin_mp, msg_code_t in_code,
                                       interface_kind_t in_kind)
    : template_client_table(pin_op, in_code, in_kind), mp(pin_mp) {
    _op->add_event(code, this);
}

_kova_object_event::~_kova_object_event() { _op->del_event(code, this); }

void _kova_object_event::adapter_connect(struct_token const& in_token) {
    proc_connect(in_token, [&](client_addr_t const& in_client, double in_live, double in_limit) {
        return mp->on_connect(in_client, in_live, in_limit);
    });
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
    // The nodes as they are now; each thread keeps its list's room from one event to the next.
    thread_local std::vector<struct_node_addr> t_nodes;
    t_nodes.clear();
    {
        class_locker lock(node_map_mutex);
        for (const auto& node : node_map) t_nodes.push_back(node.first);
    }
    // One packet per node, all sharing the one copy of the payload.
    for (const struct_node_addr& node : t_nodes)
        SDK::Stub::proc_send_unlimited(*_op, c_mt_event, code, node, c_broadcast_proxy_id, data.data_mm, in_size, clock);
    safe_free_data(data, __FILE__, __LINE__);
    return c_kova_err_none;
}

}  // namespace Kova
