#include "Kova/SDK/Stub/Signal/_kova_object_signal.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"

namespace Kova {

using SDK::Stub::class_stub_request;

_kova_object_signal::_kova_object_signal(_kova_object* pin_op, kova_object_signal* pin_mp, msg_code_t in_code,
                                         on_signal_sync_t in_on_signal_sync, interface_kind_t in_kind)
    : _kova_method(pin_op, in_code, in_kind), mp(pin_mp), on_signal_sync(in_on_signal_sync) {
    _op->add_signal(code, this);
}

_kova_object_signal::~_kova_object_signal() { _op->del_signal(code, this); }

void _kova_object_signal::adapter_signal(struct_token const& in_token) {
    const class_stub_request request(in_token);
    const struct_packet* r = request.get_packet();
    const client_addr_t client = request.get_client();
    const kova_err_t result = on_signal_sync ? on_signal_sync(mp, client, request.get_data(), request.get_size(),
                                                              r->packet_live_time, r->packet_limit_time)
                                             : c_kova_err_none;
    request.proc_check_data();
    if (signal_return(in_token, result) != c_kova_err_none) return;
    mp->on_signal(client, request.get_data(), request.get_size(), r->packet_live_time);
    request.proc_check_data();
}

void _kova_object_signal::adapter_signal_cancel(struct_token const& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    mp->on_signal_cancel(SDK::Stub::get_client(*p), p->header.error);
}

kova_err_t _kova_object_signal::signal_return(struct_token const& in_token, kova_err_t const& in_err) {
    const class_stub_request request(in_token);
    struct_token ack;
    if (!request.proc_alloc_within([&] { return ack.alloc_header(__FILE__, __LINE__); }))
        return c_kova_err_empty_kova_memory;
    struct_packet* p = ack.get_header_packet();
    SDK::Stub::proc_copy_request(*p, *request.get_packet());
    if (in_err == c_kova_err_none)
        p->backward_return_switch();
    else
        p->backward_error_switch(in_err);
    p->set_data_size(0);  // an acknowledgement has no data block
    return _op->send_force(ack) == 0 ? c_kova_err_none : c_kova_err_local_timeout;
}

}  // namespace Kova
