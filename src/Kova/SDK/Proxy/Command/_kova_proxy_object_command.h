// The handler of a command proxy: the connection's handshake and end, the current command
// (a block of the packet memory the application posted), its transmissions on each post or
// on a timer, and the history of what was sent.
#pragma once

#include "Kova/Common/Open/Kova/kova_proxy_object_command.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "Kova/SDK/Sender/class_current_value.h"

namespace Kova {

class _kova_proxy_object_command : public _kova_proxy_command_method {
public:
    // The timer model takes intervals below this: longer ones are no finite packet time.
    static constexpr double c_max_interval = 2147483648.0;

    _kova_proxy_object_command(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                               kova_proxy_object_command* pin_mp);
    // Stops the timer first, then frees the current command, the history and a lent block.
    ~_kova_proxy_object_command() override;

    // Where the public operation takes the read lock, the handler's expects it held; the
    // listener holds it for the adapters. The timer's ticks take none.
    bool is_connected() const { return m_value.get_timer().is_sending(); }
    return_object_t async_connect(double in_limit_time);
    kova_err_t async_connect_return(return_object_t const& in_return_object, double* pout_time);
    void shutdown(bool in_send) override;
    void adapter_disconnect(struct_token const& in_token) override;
    void proc_release_command() override;

    void set_sync_model(bool in_using_udp, sender_sync_model_t in_sync_model, double in_interval);
    void* get_real(pksize_t in_size);
    void cancel_real();
    kova_err_t post_real(pksize_t in_size);
    // Take the read lock themselves.
    kova_err_t write(void const* pin_data, pksize_t in_size);
    void* get(pksize_t in_size) { return m_value.eproc_stage(in_size); }
    kova_err_t post(pksize_t in_size);
    void cancel() { m_value.proc_cancel_staged(); }
    letter_case_t see_history(kova_size_t in_size);
    void set_history_size(kova_size_t in_history_size);
    kova_err_t read(void* pin_data, pksize_t* pin_size);

    // One transmission of the current command, recorded in the history once it has left;
    // in_sync_model does not change what it does. In the posting model a post whose
    // transmission the center pipe refuses fails with c_kova_err_center_busy (in UDP mode also
    // c_kova_err_empty_kova_memory) and changes nothing; a tick that is refused costs that tick.
    kova_err_t sync(sender_sync_model_t in_sync_model);

    kova_proxy_object_command* mp;

protected:
    kova_err_t proc_refuse_request() const override;

private:
    // The tick of the timer model, under the value's lock and only while connected.
    static void timer_command_syncros(void* pin_handler, SDK::Sender::class_sync_timer::struct_settings const& in_settings);

    // The current command (a data block whose own packet area is the command's header), the
    // history, the model, the UDP flag, the interval, the timer, and the connection's state
    // (the timer's sending state: a tick sends only while connected). Ticks hold its lock
    // while they send, so the connection's end waits for a tick in progress.
    SDK::Sender::class_current_value m_value;
};

}  // namespace Kova
