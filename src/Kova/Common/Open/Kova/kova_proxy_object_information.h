// The information proxy: a subscription, over TCP or over UDP, to the current value of
// one code of the bound stub, with a history of the values received.
#pragma once

#include "kova_history.h"
#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_information;

class KOVA_API kova_proxy_object_information : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_information(msg_code_t const& in_code);
    // Attached to in_proxy_object: subscribes with that proxy's id and server.
    kova_proxy_object_information(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_information() override;
    kova_proxy_object_information(kova_proxy_object_information const&) = delete;
    kova_proxy_object_information& operator=(kova_proxy_object_information const&) = delete;

    bool is_connected();
    // Asks the stub for the subscription, delivered over UDP when in_udp_request, else
    // over TCP. Never null: a failure travels in the return object to
    // async_connect_return. Refused with c_kova_err_already_connected while subscribed
    // or while the previous connect's return object has not been collected.
    return_object_t async_connect(bool const& in_udp_request, double const& in_limit_time);
    // Waits for the stub's answer and consumes return_object; *pout_time gets the
    // seconds since async_connect began.
    kova_err_t async_connect_return(return_object_t const& return_object, double* pout_time);
    // Ends the subscription and tells the stub; nothing when not subscribed.
    void shutdown();
    // Whether on_sync is called for each value; the history is kept either way.
    void set_sync(bool const& in_use_on_sync);
    // Up to in_size received values, newest first, for a kova_history to adopt; null
    // unless created and subscribed.
    letter_case_t see_history(kova_size_t in_size);
    // Values kept from the next one on; 0 keeps none.
    void set_history_size(kova_size_t const& in_history_size);
    // Copies the newest value: at most *pin_size bytes; *pin_size becomes the value's
    // size when that is smaller.
    kova_err_t read(void* pin_data, pksize_t* pin_size);

private:
    friend class _kova_proxy_object_information;
    // The subscription was ended by the stub, or the stub went away.
    virtual void on_disconnected();
    // A value: model c_sender_sync_model_on_timer when the stub sends it periodically;
    // in_limit is the value's time limit in seconds. pin_buffer is valid only during
    // the call.
    virtual void on_sync(const sender_sync_model_t& in_sync_model, const double& in_elapsed_time,
                         const double& in_limit, const void* const pin_buffer, const pksize_t in_size);

    _kova_proxy_object_information* _mp;
};

}  // namespace Kova
