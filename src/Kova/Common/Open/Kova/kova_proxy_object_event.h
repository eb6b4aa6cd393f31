// The event proxy: a subscription to the events of one code of the bound stub.
#pragma once

#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_event;

class KOVA_API kova_proxy_object_event : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_event(msg_code_t const& in_code);
    // Attached to in_proxy_object: subscribes with that proxy's id and server.
    kova_proxy_object_event(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_event() override;
    kova_proxy_object_event(kova_proxy_object_event const&) = delete;
    kova_proxy_object_event& operator=(kova_proxy_object_event const&) = delete;

    bool is_connected();
    // Asks the stub for the subscription. Never null: a failure travels in the return
    // object to async_connect_return.
    return_object_t async_connect(double const& in_limit_time);
    // Waits for the stub's answer and consumes return_object; *pout_time gets the
    // seconds since async_connect began.
    kova_err_t async_connect_return(return_object_t const& return_object, double* pout_time);
    // Ends the subscription and tells the stub; nothing when not subscribed.
    void shutdown();

private:
    friend class _kova_proxy_object_event;
    // The stub ended the subscription, or went away.
    virtual void on_disconnected();
    // pin_event_data is null for an event without payload; it is valid only during the call.
    virtual void on_event(const void* pin_event_data, const pksize_t& in_event_size, const double& in_elapsed_time);

    _kova_proxy_object_event* _mp;
};

}  // namespace Kova
