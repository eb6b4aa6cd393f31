// The signal stub: acknowledges each signal of its code, after an optional
// synchronous check, then hands the signal to the application.
#pragma once

#include "kova_object.h"

namespace Kova {

class _kova_object_signal;
class kova_object_signal;

// Runs before the acknowledgement; its result becomes the acknowledgement's error.
typedef kova_err_t (*on_signal_sync_t)(kova_object_signal* pin_object, client_addr_t const& in_client_addr,
                                       void* pin_buf, pksize_t const& in_buf_size, double const& in_elapsed_time,
                                       double const& in_packet_limit_time);

class KOVA_API kova_object_signal : public virtual kova_object {
protected:
    explicit kova_object_signal(msg_code_t const& in_code);
    // Attached to in_kova_object: serves under that object's id.
    kova_object_signal(msg_code_t const& in_code, kova_object const& in_kova_object,
                       on_signal_sync_t in_on_signal_sync);
    ~kova_object_signal() override;
    kova_object_signal(kova_object_signal const&) = delete;
    kova_object_signal& operator=(kova_object_signal const&) = delete;

private:
    friend class _kova_object_signal;
    // Runs after the acknowledgement has left.
    virtual void on_signal(client_addr_t const& in_client_addr, void* pin_buf, pksize_t const& in_buf_size,
                           double const& in_elapsed_time);
    virtual void on_signal_cancel(client_addr_t const& in_client_addr, kova_err_t const& in_error);

    _kova_object_signal* _mp;
};

}  // namespace Kova
