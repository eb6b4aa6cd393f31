#include "Kova/Common/Open/Kova/kova_proxy_object_event.h"

#include "Kova/SDK/Proxy/Event/_kova_proxy_object_event.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using SDK::SDK_Processor::gp_processor;

kova_proxy_object_event::kova_proxy_object_event(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_event(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_event::kova_proxy_object_event(msg_code_t const& in_code,
                                                 kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_event(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_event::~kova_proxy_object_event() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

bool kova_proxy_object_event::is_connected() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->is_connected();
}

return_object_t kova_proxy_object_event::async_connect(double const& in_limit_time) {
    return _mp->async_connect(in_limit_time);
}

kova_err_t kova_proxy_object_event::async_connect_return(return_object_t const& return_object, double* pout_time) {
    return _mp->async_connect_return(return_object, pout_time);
}

void kova_proxy_object_event::shutdown() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->shutdown(true);
}

void kova_proxy_object_event::on_disconnected() {}
void kova_proxy_object_event::on_event(const void*, const pksize_t&, const double&) {}

}  // namespace Kova
