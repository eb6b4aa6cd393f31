#include "Kova/SDK/Proxy/Signal/_kova_proxy_object_signal.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;

_kova_proxy_object_signal::_kova_proxy_object_signal(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                     interface_kind_t in_kind, kova_proxy_object_signal* pin_mp)
    : _kova_proxy_method(pin_pp, in_code, in_kind), mp(pin_mp) {
    _pp->add_signal(code, this);
}

_kova_proxy_object_signal::~_kova_proxy_object_signal() { _pp->del_signal(code, this); }

return_object_t _kova_proxy_object_signal::async_signal(void const* pin_signal_data, pksize_t in_signal_size,
                                                        double in_limit_time) {
    return proc_request(c_mt_signal, pin_signal_data, in_signal_size, in_limit_time);
}

kova_err_t _kova_proxy_object_signal::async_return(return_object_t const& in_return_object, double* pout_time) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    kova_err_t result = c_kova_err_none;
    struct_token reply;
    if (!proc_collect(in_return_object, pout_time, reply, result)) return result;
    result = reply.get_header_packet()->header.error;
    // An acknowledgement carries no data; a block that came with one is released too.
    Common::Interface::safe_free_token(reply, __FILE__, __LINE__);
    return result;
}

void _kova_proxy_object_signal::cancel(kova_err_t in_error) { proc_cancel(c_mt_signal_cancel, in_error); }

}  // namespace Kova
