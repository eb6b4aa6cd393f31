// The signal proxy: signals of one code to the bound stub, and their acknowledgements.
#pragma once

#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_signal;

class KOVA_API kova_proxy_object_signal : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_signal(msg_code_t const& in_code);
    // Attached to in_proxy_object: signals with that proxy's id and server.
    kova_proxy_object_signal(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_signal() override;
    kova_proxy_object_signal(kova_proxy_object_signal const&) = delete;
    kova_proxy_object_signal& operator=(kova_proxy_object_signal const&) = delete;

    // Never null: a failure travels in the return object to async_return.
    return_object_t async_signal(void const* pin_signal_data, pksize_t const& in_signal_size,
                                       double const& in_limit_time);
    // Consumes return_object; *pout_time gets the seconds since async_signal began.
    kova_err_t async_return(return_object_t const& return_object, double* pout_time);
    // async_signal and async_return in one.
    kova_err_t signal(void const* pin_signal_data, pksize_t in_signal_size, double const& in_limit_time,
                      double* pout_time);
    void cancel(kova_err_t const& in_error);

private:
    _kova_proxy_object_signal* _mp;
};

}  // namespace Kova
