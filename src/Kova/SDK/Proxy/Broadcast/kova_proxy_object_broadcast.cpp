#include "Kova/Common/Open/Kova/kova_proxy_object_broadcast.h"

#include "Kova/SDK/Proxy/Broadcast/_kova_proxy_object_broadcast.h"

namespace Kova {

kova_proxy_object_broadcast::kova_proxy_object_broadcast(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_broadcast(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_broadcast::kova_proxy_object_broadcast(msg_code_t const& in_code,
                                                         kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_broadcast(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_broadcast::~kova_proxy_object_broadcast() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

void kova_proxy_object_broadcast::on_broadcast(const struct_server_addr&, void*, const pksize_t&, const double&) {}

}  // namespace Kova
