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
    if (in_size != 0 && pin_buffer == nullptr) return c_kova_err_boundout_buffer;
    // The nodes as they are now; each thread keeps its lists' room from one event to the next.
    thread_local std::vector<struct_node_addr> t_nodes;
    thread_local std::vector<struct_token> t_tokens;
    t_nodes.clear();
    {
        class_locker lock(node_map_mutex);
        for (const auto& node : node_map) t_nodes.push_back(node.first);
    }
    // One packet per node, all sharing the one copy of the payload: the first packet's own
    // blocks come under one hold of the memory, the others' headers and references under
    // another, all before the first leaves (whose receivers may free the payload).
    if (t_nodes.empty()) return c_kova_err_none;
    struct_token first;
    Common::Interface::eproc_alloc_packet(first, in_size, __FILE__, __LINE__);
    if (in_size != 0 && !first.has_data()) {
        Common::Interface::safe_free_token(first, __FILE__, __LINE__);
        return c_kova_err_empty_kova_memory;
    }
    if (!first.has_header()) first.alloc_header_force(__FILE__, __LINE__);
    if (in_size != 0) std::memcpy(first.get_data(), pin_buffer, in_size);
    t_tokens.assign(t_nodes.size(), struct_token());
    t_tokens[0] = first;
    if (t_nodes.size() > 1)
        Common::Interface::proc_alloc_copies_force(first.data_mm, t_nodes.size() - 1, t_tokens.data() + 1, __FILE__,
                                                   __LINE__);
    for (std::size_t i = 0; i < t_nodes.size(); ++i)
        SDK::Stub::proc_send_unlimited_token(*_op, t_tokens[i], c_mt_event, code, t_nodes[i], c_broadcast_proxy_id,
                                             in_size, clock);
    return c_kova_err_none;
}

}  // namespace Kova
