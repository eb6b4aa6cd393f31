#include "Kova/Common/Open/Kova/kova_proxy_object.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::proc_retry_busy;

namespace {

// A read of the proxy state under the processor's read lock.
template <typename value_t, typename op_t>
value_t proc_read(_kova_proxy_object* pin_pp, value_t in_none, op_t in_op) {
    if (!pin_pp) return in_none;
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return in_op(*pin_pp);
}

}  // namespace

kova_proxy_object::kova_proxy_object() : op(new kova_object(this)), _op(op->_op), _pp(nullptr), m_owner(true) {
    _pp = new _kova_proxy_object(this, _op);
}

kova_proxy_object::kova_proxy_object(kova_proxy_object const& in_proxy_object)
    : op(in_proxy_object.op), _op(in_proxy_object._op), _pp(in_proxy_object._pp), m_owner(false) {}

kova_proxy_object::~kova_proxy_object() {
    // Only the proxy that made the state ends it; a copy leaves it alone.
    if (!_pp || !m_owner) return;
    destroy();
    // The identity goes first: a destroy it still owes addresses the bound stub.
    delete op;
    delete _pp;
    op = nullptr;
    _op = nullptr;
    _pp = nullptr;
}

void kova_proxy_object::proc_attach(kova_proxy_object const& in_proxy_object) {
    if (_pp == in_proxy_object._pp) return;
    if (m_owner) {
        // The proxy this object made itself was never created: nothing else knows it,
        // except handlers of this object built on it already.
        if (_pp && in_proxy_object._pp) _pp->proc_move_handlers(*in_proxy_object._pp);
        delete op;
        delete _pp;
    }
    op = in_proxy_object.op;
    _op = in_proxy_object._op;
    _pp = in_proxy_object._pp;
    m_owner = false;
}

void kova_proxy_object::proc_end_interface(interface_kind_t in_kind) {
    if (in_kind != c_each_interface) return;
    destroy();
    op = nullptr;
    _op = nullptr;
    _pp = nullptr;
    m_owner = false;
}

void kova_proxy_object::on_connected_tcp() {}
void kova_proxy_object::on_disconnected_tcp() {}
void kova_proxy_object::on_object_create() {}
void kova_proxy_object::on_object_destroy() {}

kova_err_t kova_proxy_object::create(domain_t const& in_domain, ip_t const& in_server_ip,
                                     object_id_t const& in_stub_object_id, object_id_t const& in_proxy_object_id) {
    if (!_pp) return c_kova_err_not_initailize;
    return proc_retry_busy(
        [&] { return _pp->create(in_domain, in_server_ip, in_stub_object_id, in_proxy_object_id); });
}

kova_err_t kova_proxy_object::destroy() {
    if (!_pp) return c_kova_err_is_not_created;
    return proc_retry_busy([&] { return _pp->destroy(); });
}

object_id_t kova_proxy_object::get_local_object_id() {
    return proc_read(_pp, object_id_t(0), [](_kova_proxy_object& in_pp) { return in_pp._op->object_id; });
}

server_addr_t kova_proxy_object::get_server_address() {
    return proc_read(_pp, server_addr_t(), [](_kova_proxy_object& in_pp) { return in_pp.server_addr; });
}

bool kova_proxy_object::is_live() {
    return proc_read(_pp, false, [](_kova_proxy_object& in_pp) { return in_pp.is_live(); });
}

bool kova_proxy_object::is_created() {
    return proc_read(_pp, false, [](_kova_proxy_object& in_pp) { return in_pp._op->is_created(); });
}

bool kova_proxy_object::is_connected_tcp() {
    return proc_read(_pp, false, [](_kova_proxy_object& in_pp) { return in_pp.is_connected_tcp(); });
}

}  // namespace Kova
