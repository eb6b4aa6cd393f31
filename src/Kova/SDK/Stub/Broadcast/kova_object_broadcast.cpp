#include "Kova/Common/Open/Kova/kova_object_broadcast.h"

#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/SDK/Stub/Broadcast/_kova_object_broadcast.h"

namespace Kova {

kova_object_broadcast::kova_object_broadcast(msg_code_t const& in_code)
    : kova_object(), _mp(new _kova_object_broadcast(_op, this, in_code, c_integrated_interface)) {}

kova_object_broadcast::kova_object_broadcast(msg_code_t const& in_code, kova_object const& in_kova_object)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_broadcast(_op, this, in_code, c_each_interface);
}

kova_object_broadcast::~kova_object_broadcast() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

kova_err_t kova_object_broadcast::broadcast(void const* const& pin_data, pksize_t const& in_size) {
    return _mp->broadcast(c_broadcast_ip, pin_data, in_size);
}

kova_err_t kova_object_broadcast::broadcast(ip_t const& in_ip, void const* const& pin_broadcast_data,
                                            pksize_t const& in_broadcast_size) {
    return _mp->broadcast(in_ip, pin_broadcast_data, in_broadcast_size);
}

}  // namespace Kova
