#include "Kova/Common/Open/Kova/kova_object_call.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/Call/_kova_object_call.h"

namespace Kova {

kova_object_call::kova_object_call(msg_code_t const& in_code, pksize_t const& in_max_return_size)
    : kova_object(), _mp(new _kova_object_call(_op, this, in_code, in_max_return_size, c_integrated_interface)) {}

kova_object_call::kova_object_call(msg_code_t const& in_code, pksize_t const& in_max_return_size,
                                   kova_object const& in_kova_object)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_call(_op, this, in_code, in_max_return_size, c_each_interface);
}

kova_object_call::~kova_object_call() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

kova_err_t kova_object_call::on_call(client_addr_t const&, void*, pksize_t const&, void*, pksize_t*, double const&,
                                     double const&) {
    return c_kova_err_none;
}

void kova_object_call::on_call_cancel(client_addr_t const&, kova_err_t const&) {}

}  // namespace Kova
