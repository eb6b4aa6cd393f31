// The call proxy: asynchronous calls of one code to the bound stub.
#pragma once

#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_call;

class KOVA_API kova_proxy_object_call : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_call(msg_code_t const& in_code);
    // Attached to in_proxy_object: calls with that proxy's id and server.
    kova_proxy_object_call(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_call() override;
    kova_proxy_object_call(kova_proxy_object_call const&) = delete;
    kova_proxy_object_call& operator=(kova_proxy_object_call const&) = delete;

    // Never null: a failure travels in the return object to async_return.
    return_object_t async_call(void const* pin_call_data, pksize_t const& in_call_size,
                                     double const& in_limit_time);
    // Consumes return_object. *pout_size enters as the buffer's capacity and leaves
    // as the reply's size; *pout_time gets the seconds since async_call began.
    kova_err_t async_return(return_object_t const& return_object, void* pout_return_data, pksize_t* pout_size,
                            double* pout_time);
    void cancel(kova_err_t const& in_error);

private:
    _kova_proxy_object_call* _mp;
};

}  // namespace Kova
