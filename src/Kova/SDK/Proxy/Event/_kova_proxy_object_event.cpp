#include "Kova/SDK/Proxy/Event/_kova_proxy_object_event.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;

_kova_proxy_object_event::_kova_proxy_object_event(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                   interface_kind_t in_kind, kova_proxy_object_event* pin_mp)
    : _kova_proxy_event_method(pin_pp, in_code, in_kind), connect_state(false), mp(pin_mp) {
    _pp->add_event(code, this);
}

_kova_proxy_object_event::~_kova_proxy_object_event() { _pp->del_event(code, this); }

kova_err_t _kova_proxy_object_event::proc_refuse_request() const {
    return connect_state.load() ? c_kova_err_already_connected : c_kova_err_none;
}

return_object_t _kova_proxy_object_event::async_connect(double in_limit_time) {
    return proc_request(c_mt_event_connect, nullptr, 0, in_limit_time);
}

kova_err_t _kova_proxy_object_event::async_connect_return(return_object_t const& in_return_object,
                                                          double* pout_time) {
    bool confirmed = false;
    const kova_err_t result = proc_connect_return(in_return_object, pout_time, c_mt_event_confirm, confirmed);
    if (confirmed) connect_state = true;
    return result;
}

void _kova_proxy_object_event::shutdown(bool in_send) {
    if (!connect_state.load() || (in_send && !_pp->_op->is_created())) return;
    // Only the thread that ends the subscription tells the stub.
    if (!connect_state.exchange(false) || !in_send) return;
    proc_send_notice(c_mt_event_shutdown, _pp->_op->get_msg_num(), c_kova_err_none);
}

void _kova_proxy_object_event::adapter_disconnect(struct_token const&) {
    if (connect_state.exchange(false)) mp->on_disconnected();
}

void _kova_proxy_object_event::adapter_event(struct_token const& in_token) {
    if (!connect_state.load()) return;
    // Every subscribed proxy of the process shares the header block, and others may
    // read it at this moment: the times are brought up to date on a copy.
    struct_packet times = *in_token.get_header_packet();
    times.update_packet_time_and_return_timeout();
    const pksize_t size = Common::Interface::get_payload_size(in_token);
    mp->on_event(in_token.get_data(), size, times.packet_live_time);
    if (in_token.has_data()) Common::Interface::traverse_check(in_token.data_mm);
}

}  // namespace Kova
