// The handler of an information proxy: the subscription's handshake and end, and the
// values of the bound stub while subscribed, kept in a history and handed to on_sync.
#pragma once

#include <atomic>

#include "Kova/Common/Open/Kova/kova_proxy_object_information.h"
#include "Kova/SDK/History/class_token_history.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

class _kova_proxy_object_information : public _kova_proxy_information_method {
public:
    _kova_proxy_object_information(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                                   kova_proxy_object_information* pin_mp);
    ~_kova_proxy_object_information() override;

    // The caller holds the read lock where it says so; the listener holds it for the adapters.
    bool is_connected() const { return connect_state.load(); }
    return_object_t async_connect(bool in_udp_request, double in_limit_time);
    kova_err_t async_connect_return(return_object_t const& in_return_object, double* pout_time);
    void shutdown(bool in_send) override;
    void adapter_disconnect(struct_token const& in_token) override;
    void adapter_sync(struct_token const& in_token) override;
    // The read lock is held.
    letter_case_t see_history(kova_size_t in_size);
    void set_history_size(kova_size_t in_history_size);
    void set_sync(bool in_use_on_sync) { use_on_sync = in_use_on_sync; }

    // Written by application threads (the answer, shutdown) and by listeners (a
    // disconnect, the stub gone, the proxy's destroy); changed under information_mutex.
    std::atomic<bool> connect_state;
    std::atomic<kova_size_t> history_size;
    std::atomic<bool> use_on_sync;
    SDK::History::class_token_history information_dec;
    // Recursive; guards the changes of connect_state and the history. Never held while
    // a callback runs.
    Pimo::OS::class_thread_lock information_mutex;
    // The kind of the subscription (from the answer), and the kind the last connect asked for.
    std::atomic<bool> tcp_confirm;
    std::atomic<bool> udp_request;
    // The multicast interface of the last answer: the proxy's center gives up the
    // membership it names when the subscription ends.
    std::atomic<ip_t> mct_if;
    kova_proxy_object_information* mp;

protected:
    kova_err_t proc_refuse_request() const override;

private:
    // Empties the history; true when this call ended the subscription.
    bool proc_end();
    // on_sync for one value, outside information_mutex.
    void proc_sync(struct_token const& in_token);

    // The return object of the connect that is not collected yet; m_claimed while a
    // connect is being sent.
    std::atomic<return_object_t> m_pending;
};

}  // namespace Kova
