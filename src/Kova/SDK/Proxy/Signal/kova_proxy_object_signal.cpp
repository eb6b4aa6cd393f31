#include "Kova/Common/Open/Kova/kova_proxy_object_signal.h"

#include "Kova/SDK/Proxy/Signal/_kova_proxy_object_signal.h"

namespace Kova {

kova_proxy_object_signal::kova_proxy_object_signal(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_signal(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_signal::kova_proxy_object_signal(msg_code_t const& in_code,
                                                   kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_signal(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_signal::~kova_proxy_object_signal() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

return_object_t kova_proxy_object_signal::async_signal(void const* pin_signal_data,
                                                             pksize_t const& in_signal_size,
                                                             double const& in_limit_time) {
    return _mp->async_signal(pin_signal_data, in_signal_size, in_limit_time);
}

kova_err_t kova_proxy_object_signal::async_return(return_object_t const& return_object, double* pout_time) {
    return _mp->async_return(return_object, pout_time);
}

kova_err_t kova_proxy_object_signal::signal(void const* pin_signal_data, pksize_t in_signal_size,
                                            double const& in_limit_time, double* pout_time) {
    return async_return(async_signal(pin_signal_data, in_signal_size, in_limit_time), pout_time);
}

void kova_proxy_object_signal::cancel(kova_err_t const& in_error) { _mp->cancel(in_error); }

}  // namespace Kova
