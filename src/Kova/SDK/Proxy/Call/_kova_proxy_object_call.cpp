#include "Kova/SDK/Proxy/Call/_kova_proxy_object_call.h"

#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;

_kova_proxy_object_call::_kova_proxy_object_call(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                 interface_kind_t in_kind, kova_proxy_object_call* pin_mp)
    : _kova_proxy_method(pin_pp, in_code, in_kind), mp(pin_mp) {
    _pp->add_call(code, this);
}

_kova_proxy_object_call::~_kova_proxy_object_call() { _pp->del_call(code, this); }

return_object_t _kova_proxy_object_call::async_call(void const* pin_call_data, pksize_t in_call_size,
                                                    double in_limit_time) {
    return proc_request(c_mt_call, pin_call_data, in_call_size, in_limit_time);
}

kova_err_t _kova_proxy_object_call::async_return(return_object_t const& in_return_object, void* pout_return_data,
                                                 pksize_t* pout_size, double* pout_time) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    kova_err_t result = c_kova_err_none;
    struct_token reply;
    if (!proc_collect(in_return_object, pout_time, reply, result)) return result;
    const struct_packet* p = reply.get_header_packet();
    result = p->header.error;
    // Only a call return carries reply data: a wake by a destroy or a lost link may
    // carry a dead process's id, which is not the stub's answer.
    if (p->header.type == c_mt_call_return) {
        // What the data block does not hold was never received.
        const pksize_t size = Common::Interface::get_payload_size(reply);
        if (size == 0) {
            if (pout_size) *pout_size = 0;
        } else if (pout_size && pout_return_data) {
            if (*pout_size >= size) std::memcpy(pout_return_data, reply.get_data(), size);
            else result = c_kova_err_boundout_buffer;
            *pout_size = size;
        } else {
            result = c_kova_err_boundout_buffer;
        }
    }
    Common::Interface::safe_free_token(reply, __FILE__, __LINE__);
    return result;
}

void _kova_proxy_object_call::cancel(kova_err_t in_error) { proc_cancel(c_mt_call_cancel, in_error); }

}  // namespace Kova
