#include "Kova/Common/Open/Kova/kova_object_signal.h"

#include "Kova/SDK/Stub/Signal/_kova_object_signal.h"

namespace Kova {

kova_object_signal::kova_object_signal(msg_code_t const& in_code)
    : kova_object(), _mp(new _kova_object_signal(_op, this, in_code, nullptr, c_integrated_interface)) {}

kova_object_signal::kova_object_signal(msg_code_t const& in_code, kova_object const& in_kova_object,
                                       on_signal_sync_t in_on_signal_sync)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_signal(_op, this, in_code, in_on_signal_sync, c_each_interface);
}

kova_object_signal::~kova_object_signal() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

void kova_object_signal::on_signal(client_addr_t const&, void*, pksize_t const&, double const&) {}

void kova_object_signal::on_signal_cancel(client_addr_t const&, kova_err_t const&) {}

}  // namespace Kova
