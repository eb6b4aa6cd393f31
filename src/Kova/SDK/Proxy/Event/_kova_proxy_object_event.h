// The handler of an event proxy: the subscription's handshake and end, and the events
// of the bound stub while subscribed.
#pragma once

#include <atomic>

#include "Kova/Common/Open/Kova/kova_proxy_object_event.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_event : public _kova_proxy_event_method {
public:
    _kova_proxy_object_event(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                             kova_proxy_object_event* pin_mp);
    ~_kova_proxy_object_event() override;

    // The caller holds the read lock where it says so; the listener holds it for the adapters.
    bool is_connected() const { return connect_state.load(); }
    return_object_t async_connect(double in_limit_time);
    kova_err_t async_connect_return(return_object_t const& in_return_object, double* pout_time);
    void shutdown(bool in_send) override;
    void adapter_disconnect(struct_token const& in_token) override;
    void adapter_event(struct_token const& in_token) override;

    // Written by application threads (the answer, shutdown) and by listeners (a
    // disconnect, the stub gone, the proxy's destroy).
    std::atomic<bool> connect_state;
    kova_proxy_object_event* mp;

protected:
    kova_err_t proc_refuse_request() const override;
};

}  // namespace Kova
