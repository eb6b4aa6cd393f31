// The call stub: answers each call of its code with a reply of up to
// max_return_size bytes, or with an error.
#pragma once

#include "kova_object.h"

namespace Kova {

class _kova_object_call;

class KOVA_API kova_object_call : public virtual kova_object {
protected:
    kova_object_call(msg_code_t const& in_code, pksize_t const& in_max_return_size);
    // Attached to in_kova_object: serves under that object's id.
    kova_object_call(msg_code_t const& in_code, pksize_t const& in_max_return_size,
                     kova_object const& in_kova_object);
    ~kova_object_call() override;
    kova_object_call(kova_object_call const&) = delete;
    kova_object_call& operator=(kova_object_call const&) = delete;

private:
    friend class _kova_object_call;
    // pin_buf/in_buf_size: the request; pout_buf: max_return_size bytes of reply;
    // *pout_buf_size enters as max_return_size and leaves as the reply's size.
    // A result other than 0 is sent back as the error, without data.
    virtual kova_err_t on_call(client_addr_t const& in_client_addr, void* pin_buf, pksize_t const& in_buf_size,
                               void* pout_buf, pksize_t* pout_buf_size, double const& in_elapsed_time,
                               double const& in_packet_limit_time);
    virtual void on_call_cancel(client_addr_t const& in_client_addr, kova_err_t const& in_error);

    _kova_object_call* _mp;
};

}  // namespace Kova
