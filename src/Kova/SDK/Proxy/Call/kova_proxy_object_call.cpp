#include "Kova/Common/Open/Kova/kova_proxy_object_call.h"

#include "Kova/SDK/Proxy/Call/_kova_proxy_object_call.h"

namespace Kova {

kova_proxy_object_call::kova_proxy_object_call(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_call(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_call::kova_proxy_object_call(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_call(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_call::~kova_proxy_object_call() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

return_object_t kova_proxy_object_call::async_call(void const* pin_call_data, pksize_t const& in_call_size,
                                                         double const& in_limit_time) {
    return _mp->async_call(pin_call_data, in_call_size, in_limit_time);
}

kova_err_t kova_proxy_object_call::async_return(return_object_t const& return_object, void* pout_return_data,
                                                pksize_t* pout_size, double* pout_time) {
    return _mp->async_return(return_object, pout_return_data, pout_size, pout_time);
}

void kova_proxy_object_call::cancel(kova_err_t const& in_error) { _mp->cancel(in_error); }

}  // namespace Kova
