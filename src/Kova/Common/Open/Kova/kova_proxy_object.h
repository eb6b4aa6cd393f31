// A proxy: the application's handle on one stub (server ip, domain, stub id), with
// an identity of its own. Base of every proxy kind.
#pragma once

#include "kova_api.h"
#include "kova_object.h"
#include "kova_typedef.h"

namespace Kova {

class _kova_object;
class _kova_proxy_object;

class KOVA_API kova_proxy_object {
public:
    kova_proxy_object();
    // Shares in_proxy_object's identity and state; the attached forms build their
    // virtual base with it.
    kova_proxy_object(kova_proxy_object const& in_proxy_object);
    virtual ~kova_proxy_object();
    kova_proxy_object& operator=(kova_proxy_object const&) = delete;

    virtual void on_connected_tcp();
    virtual void on_disconnected_tcp();
    virtual void on_object_create();
    virtual void on_object_destroy();

    // in_proxy_object_id 0 asks for an automatic id.
    kova_err_t create(domain_t const& in_domain, ip_t const& in_server_ip, object_id_t const& in_stub_object_id,
                      object_id_t const& in_proxy_object_id = 0);
    kova_err_t destroy();
    object_id_t get_local_object_id();
    server_addr_t get_server_address();
    bool is_live();
    bool is_created();
    bool is_connected_tcp();

    kova_object* op;
    _kova_object* _op;
    _kova_proxy_object* _pp;

protected:
    // Makes this object share in_proxy_object's proxy, dropping a fresh one of its
    // own: an attached kind whose most-derived class built the virtual base anew.
    void proc_attach(kova_proxy_object const& in_proxy_object);
    // The end of an interface of in_kind: an attached one destroys the proxy it is
    // attached to and leaves it to its owner from then on; an integrated one leaves that
    // to the proxy's own end.
    void proc_end_interface(interface_kind_t in_kind);

private:
    // False for a copy that shares a proxy it did not make.
    bool m_owner;
};

}  // namespace Kova
