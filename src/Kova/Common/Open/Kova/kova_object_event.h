// The event stub: proxies subscribe to the events of its code, and every event goes
// out as one packet per node of subscribers.
#pragma once

#include "kova_object.h"

namespace Kova {

class _kova_object_event;

class KOVA_API kova_object_event : public virtual kova_object {
protected:
    explicit kova_object_event(const msg_code_t& in_code);
    // Attached to in_kova_object: serves under that object's id.
    kova_object_event(const msg_code_t& in_code, const kova_object& in_kova_object);
    ~kova_object_event() override;
    kova_object_event(kova_object_event const&) = delete;
    kova_object_event& operator=(kova_object_event const&) = delete;

    // To every subscribed node; 0 also with no subscriber. A size of 0 sends no payload.
    kova_err_t event(const void* const& pin_buffer, const pksize_t& in_size);
    kova_err_t event();
    // Subscribed client objects over all nodes; 0 when the object is not created.
    unsigned int get_client_count();
    // Node ip c_broadcast_ip: every client; object id c_broadcast_proxy_id: every client
    // of that node; otherwise that one client. The clients reached are told; none of
    // these calls on_shutdown.
    void disconnect(const client_addr_t& in_client_addr);
    void disconnect_all_client_object();
    void disconnect_one_client_node(const struct_node_addr& in_node_addr);
    void disconnect_one_client_object(const client_addr_t& in_client_addr);

private:
    friend class _kova_object_event;
    // A proxy asks to subscribe; 0 accepts, anything else is its reject's error.
    virtual kova_err_t on_connect(const client_addr_t& in_client_addr, const double& in_packet_live_time,
                                  const double& in_packet_limit_time);
    // A subscription ended from the proxy's side or with it; get_last_error() tells why.
    virtual void on_shutdown(const client_addr_t& in_client_addr);

    _kova_object_event* _mp;
};

}  // namespace Kova
