// The command proxy: a connection to the commands of one code of the bound stub, to which
// it pushes its current command, on each post or again every interval on a timer of its own,
// as ordinary packets or, between hosts, as datagrams. It keeps the commands it sent.
#pragma once

#include "kova_history.h"
#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_command;

class KOVA_API kova_proxy_object_command : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_command(msg_code_t const& in_code);
    // Attached to in_proxy_object: connects with that proxy's id and server.
    kova_proxy_object_command(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_command() override;
    kova_proxy_object_command(kova_proxy_object_command const&) = delete;
    kova_proxy_object_command& operator=(kova_proxy_object_command const&) = delete;

    bool is_connected();
    // Asks the stub for the connection. Never null: a failure travels in the return object
    // to async_connect_return.
    return_object_t async_connect(double const& in_limit_time);
    // Waits for the stub's answer and consumes return_object; *pout_time gets the seconds
    // since async_connect began.
    kova_err_t async_connect_return(return_object_t const& return_object, double* pout_time);
    // Ends the connection and tells the stub; nothing when not connected. The current
    // command, the history and the timer stay.
    void shutdown();

    // c_sender_sync_model_on_post (the first model): each post sends the command once.
    // c_sender_sync_model_on_timer: the current command goes out every in_interval seconds
    // (a finite number above 0 and below 2^31; anything else changes nothing), the first
    // time one interval after this call. in_using_udp: between hosts as datagrams, which a
    // busy stub drops; payloads above 60000 bytes go by TCP anyway.
    void set_sync_model(const bool& in_using_udp, const sender_sync_model_t& in_sync_model, const double& in_interval);

    // A block of the packet memory for in_size bytes of command, lent to this thread until
    // it posts or cancels it; other threads wait meanwhile. Null when the proxy is not
    // created, this thread has a block lent already, or the memory grants none.
    void* get_real(const pksize_t& in_size);
    void cancel_real();
    // The lent block, with in_size bytes, becomes the current command; sent at once in the
    // posting model when connected. 0 whether or not it could be sent.
    kova_err_t post_real(const pksize_t& in_size);
    // get_real, a copy of in_size bytes of pin_data, post_real.
    kova_err_t write(const void* const& pin_data, const pksize_t& in_size);

    // Staging in a private buffer guarded against writes past its ends: get hands out room
    // for in_size bytes, post writes them (refused, without writing, when a guard changed),
    // cancel drops the buffer.
    void* get(const pksize_t& in_size);
    kova_err_t post(const pksize_t& in_size);
    void cancel();

    // Up to in_size of the latest transmissions, newest first, for a kova_history to own.
    letter_case_t see_history(kova_size_t in_size);
    // Transmissions kept (1 at first); applied at the next transmission.
    void set_history_size(const kova_size_t& in_history_size);
    // The latest transmission into pin_data: *pin_size bytes at most, and *pin_size becomes
    // its size when that is smaller. c_kova_err_empty_history before the first one.
    kova_err_t read(void* pin_data, pksize_t* pin_size);

    _kova_proxy_object_command* _mp;

private:
    friend class _kova_proxy_object_command;
    // The stub ended the connection, or went away.
    virtual void on_disconnected();
};

}  // namespace Kova
