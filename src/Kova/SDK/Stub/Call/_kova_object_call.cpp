#include "Kova/SDK/Stub/Call/_kova_object_call.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"

namespace Kova {

using Common::Interface::safe_free_data;
using Common::Interface::safe_free_header;
using SDK::Stub::class_stub_request;

_kova_object_call::_kova_object_call(_kova_object* pin_op, kova_object_call* pin_mp, msg_code_t in_code,
                                     pksize_t in_max_return_size, interface_kind_t in_kind)
    : _kova_method(pin_op, in_code, in_kind), max_return_size(in_max_return_size), mp(pin_mp) {
    _op->add_call(code, this);
}

_kova_object_call::~_kova_object_call() { _op->del_call(code, this); }

void _kova_object_call::adapter_call(struct_token const& in_token) {
    const class_stub_request request(in_token);
    struct_packet* r = request.get_packet();
    struct_token reply;
    // Header and reply block together; a missing one is asked for again for a bounded time.
    if (!request.proc_alloc_within(
            [&] { return Common::Interface::eproc_alloc_packet(reply, max_return_size, __FILE__, __LINE__); })) {
        if (!reply.has_header()) return;
        // No memory for the reply: the caller hears it now rather than at its limit.
        if (r->update_packet_time_and_return_timeout()) {
            safe_free_header(reply, __FILE__, __LINE__);
            return;
        }
        struct_packet* p = reply.get_header_packet();
        SDK::Stub::proc_copy_request(*p, *r);
        p->backward_error_switch(c_kova_err_empty_kova_memory);
        _op->send_force(reply);
        return;
    }
    struct_packet* p = reply.get_header_packet();
    SDK::Stub::proc_copy_request(*p, *r);
    p->set_data_size(max_return_size);
    kova_err_t result = mp->on_call(request.get_client(), request.get_data(), request.get_size(), reply.get_data(),
                                    &p->header.size, r->packet_live_time, r->packet_limit_time);
    if (reply.has_data()) Common::Interface::traverse_check(reply.data_mm);
    // A reply larger than its block would make every reader run past it.
    if (result == c_kova_err_none && p->get_data_size() > max_return_size) result = c_kova_err_too_big_size_call;
    if (result != c_kova_err_none) {
        safe_free_data(reply, __FILE__, __LINE__);
        p->backward_error_switch(result);
    } else {
        p->backward_return_switch();
    }
    if (_op->send_force(reply) == 0 || result != c_kova_err_none) return;
    // The return was lost: the stub learns it as a cancel of its own call.
    struct_packet lost = *r;
    lost.forward_error_switch(c_kova_err_center_busy);
    proc_cancel(lost);
}

void _kova_object_call::adapter_call_cancel(struct_token const& in_token) {
    proc_cancel(*in_token.get_header_packet());
}

void _kova_object_call::proc_cancel(struct_packet const& in_packet) {
    mp->on_call_cancel(SDK::Stub::get_client(in_packet), in_packet.header.error);
}

}  // namespace Kova
