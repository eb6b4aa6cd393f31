// The handler of a call proxy: its requests and the collection of their returns.
#pragma once

#include "Kova/Common/Open/Kova/kova_proxy_object_call.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_call : public _kova_proxy_method {
public:
    _kova_proxy_object_call(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                            kova_proxy_object_call* pin_mp);
    ~_kova_proxy_object_call() override;

    return_object_t async_call(void const* pin_call_data, pksize_t in_call_size, double in_limit_time);
    kova_err_t async_return(return_object_t const& in_return_object, void* pout_return_data, pksize_t* pout_size,
                            double* pout_time);
    void cancel(kova_err_t in_error);

    kova_proxy_object_call* mp;
};

}  // namespace Kova
