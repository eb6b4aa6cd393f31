// The identity of every stub, and of every proxy: a public object over a hidden
// core that several public objects may share.
#pragma once

#include "kova_api.h"
#include "kova_typedef.h"

namespace Kova {

class _kova_object;
class kova_proxy_object;

class KOVA_API kova_object {
public:
    kova_object();
    // Shares in_object's core; the attached forms build their virtual base with it.
    kova_object(kova_object const& in_object);
    virtual ~kova_object();
    kova_object& operator=(kova_object const&) = delete;

    virtual void on_connected_tcp(node_addr_t const& client_addr);
    virtual void on_disconnected_tcp(node_addr_t const& client_addr);

    // in_object_id 0 asks for an automatic id.
    kova_err_t create(domain_t const& in_domain, object_id_t const& in_object_id);
    kova_err_t destroy();
    object_id_t get_object_id();
    bool is_created();

    _kova_object* _op;
    kova_proxy_object* pp;

protected:
    // Makes this object share in_object's core, dropping a fresh one of its own: an
    // attached kind whose most-derived class built the virtual base anew.
    void proc_attach(kova_object const& in_object);
    // The end of an interface of in_kind: an attached one destroys the object it is
    // attached to and leaves the core alone from then on, neither destroyed nor deleted
    // by this object; an integrated one leaves that to the object's own end.
    void proc_end_interface(interface_kind_t in_kind);

private:
    friend class kova_proxy_object;
    explicit kova_object(kova_proxy_object* pin_pp);
    // False for a copy that shares a core it did not make.
    bool m_owner;
};

}  // namespace Kova
