#include "Kova/Common/Open/Kova/kova_object.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::kova_sdk_processor;
using SDK::SDK_Processor::proc_retry_busy;

kova_object::kova_object() : _op(new _kova_object(this)), pp(nullptr), m_owner(true) {}

kova_object::kova_object(kova_proxy_object* pin_pp) : _op(new _kova_object(this)), pp(pin_pp), m_owner(true) {}

kova_object::kova_object(kova_object const& in_object) : _op(in_object._op), pp(nullptr), m_owner(false) {}

kova_object::~kova_object() {
    // Only the object that made the core ends it; a copy leaves it alone.
    if (!_op || !m_owner) return;
    destroy();
    {
        // Neither a destroy deferred by a callback nor a queued delivery may outlive the core.
        kova_sdk_processor* processor = gp_processor.load();
        Pimo::OS::class_write_locker lock(processor);
        _op->proc_finish_deferred();
        if (processor) processor->proc_forget_object(_op);
    }
    delete _op;
    _op = nullptr;
}

void kova_object::proc_attach(kova_object const& in_object) {
    if (_op == in_object._op) return;
    // The core this object made itself was never created: nothing else knows it,
    // except handlers of this object built on it already.
    if (m_owner) {
        _op->proc_move_handlers(*in_object._op);
        delete _op;
    }
    _op = in_object._op;
    m_owner = false;
}

void kova_object::proc_end_interface(interface_kind_t in_kind) {
    if (in_kind != c_each_interface) return;
    destroy();
    _op = nullptr;
    m_owner = false;
}

void kova_object::on_connected_tcp(node_addr_t const&) {}
void kova_object::on_disconnected_tcp(node_addr_t const&) {}

kova_err_t kova_object::create(domain_t const& in_domain, object_id_t const& in_object_id) {
    if (!_op) return c_kova_err_not_initailize;
    return proc_retry_busy([&] { return _op->create(in_domain, in_object_id); });
}

kova_err_t kova_object::destroy() {
    if (!_op) return c_kova_err_is_not_created;
    return proc_retry_busy([&] { return _op->destroy(); });
}

object_id_t kova_object::get_object_id() {
    if (!_op) return 0;
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _op->object_id;
}

bool kova_object::is_created() {
    if (!_op) return false;
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _op->is_created();
}

}  // namespace Kova
