// The information stub: proxies subscribe to the current value of its code, over TCP
// (one packet per subscribed node) or over UDP (one multicast datagram per interface
// that UDP subscribers use).
#pragma once

#include "kova_history.h"
#include "kova_object.h"

namespace Kova {

class _kova_object_information;

class KOVA_API kova_object_information : public virtual kova_object {
protected:
    explicit kova_object_information(const msg_code_t& in_code);
    // Attached to in_kova_object: serves under that object's id.
    kova_object_information(const msg_code_t& in_code, const kova_object& in_kova_object);
    ~kova_object_information() override;
    kova_object_information(kova_object_information const&) = delete;
    kova_object_information& operator=(kova_object_information const&) = delete;

    // Publishes in_size bytes: the new current value, sent at once in the posting model.
    kova_err_t write(const void* const& pin_data, const pksize_t& in_size);
    // Lends the calling thread a block of in_size bytes of the packet memory to fill in
    // place; null when it has one lent already, when none can be had or when the object
    // is not created. Another thread that asks meanwhile waits until this one posts or
    // cancels.
    void* get_real(const pksize_t& in_size);
    // Makes the lent block, with its first in_size bytes, the current value; in the
    // posting model it is sent at once. A size above the lent one keeps the block lent.
    kova_err_t post_real(const pksize_t& in_size);
    // Gives the lent block back unpublished.
    void cancel_real();
    // The guarded form: a private buffer of in_size bytes with guard bytes around it;
    // post publishes it unless a guard byte changed (c_kova_err_durty_memory, the buffer
    // then stays until cancel).
    void* get(const pksize_t& in_size);
    kova_err_t post(const pksize_t& in_size);
    void cancel();
    // c_sender_sync_model_on_post (the default): a send cycle at each post;
    // c_sender_sync_model_on_timer: a cycle with the current value every in_interval
    // seconds, which must lie in (0, 10^7]. Otherwise nothing changes.
    void set_sync_model(const sender_sync_model_t& in_sync_model, const double& in_interval);
    // Up to in_size sent values, newest first, for a kova_history to adopt; null when the
    // object is not created.
    letter_case_t see_history(kova_size_t in_size);
    // Copies the newest sent value: at most *pin_size bytes; *pin_size becomes the value's
    // size when that is smaller.
    kova_err_t read(void* pin_data, pksize_t* pin_size);
    // Values kept from the next send cycle on; 0 keeps none. The default keeps 1.
    void set_history_size(const kova_size_t& in_history_size);

    // Subscribed client objects over all nodes; 0 when the object is not created.
    unsigned int get_client_count();
    // Node ip c_broadcast_ip: every client; object id c_broadcast_proxy_id: every client
    // of that node; otherwise that one client. Each client reached is told; none of
    // these calls on_shutdown.
    void disconnect(const client_addr_t& in_client_addr);
    void disconnect_all_client_object();
    void disconnect_one_client_node(const struct_node_addr& in_node_addr);
    void disconnect_one_client_object(const client_addr_t& in_client_addr);

private:
    friend class _kova_object_information;
    // A proxy asks to subscribe, over TCP when in_tcp_request; 0 accepts, anything
    // else is its reject's error.
    virtual kova_err_t on_connect(const client_addr_t& in_client_addr, const bool& in_tcp_request,
                                  const double& in_packet_live_time, const double& in_packet_limit_time);
    // A subscription ended from the proxy's side or with it; get_last_error() tells why.
    virtual void on_shutdown(const client_addr_t& in_client);

    _kova_object_information* _mp;
};

}  // namespace Kova
