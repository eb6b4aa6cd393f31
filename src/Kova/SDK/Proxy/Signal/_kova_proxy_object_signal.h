// The handler of a signal proxy: its signals and the collection of their acknowledgements.
#pragma once

#include "Kova/Common/Open/Kova/kova_proxy_object_signal.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_signal : public _kova_proxy_method {
public:
    _kova_proxy_object_signal(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                              kova_proxy_object_signal* pin_mp);
    ~_kova_proxy_object_signal() override;

    return_object_t async_signal(void const* pin_signal_data, pksize_t in_signal_size, double in_limit_time);
    kova_err_t async_return(return_object_t const& in_return_object, double* pout_time);
    void cancel(kova_err_t in_error);

    kova_proxy_object_signal* mp;
};

}  // namespace Kova
