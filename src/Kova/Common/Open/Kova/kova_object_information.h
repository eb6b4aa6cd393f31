// The information stub: proxies subscribe to the current value of its code, over TCP
// (one packet per subscribed node) or over UDP (one multicast datagram per interface
// that UDP subscribers use).
#pragma once

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
