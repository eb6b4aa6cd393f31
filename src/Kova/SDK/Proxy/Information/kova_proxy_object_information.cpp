#include "Kova/Common/Open/Kova/kova_proxy_object_information.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/History/class_token_history.h"
#include "Kova/SDK/Proxy/Information/_kova_proxy_object_information.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_read_locker;
using SDK::SDK_Processor::gp_processor;

kova_proxy_object_information::kova_proxy_object_information(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_information(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_information::kova_proxy_object_information(msg_code_t const& in_code,
                                                             kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_information(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_information::~kova_proxy_object_information() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

bool kova_proxy_object_information::is_connected() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->is_connected();
}

return_object_t kova_proxy_object_information::async_connect(bool const& in_udp_request,
                                                             double const& in_limit_time) {
    return _mp->async_connect(in_udp_request, in_limit_time);
}

kova_err_t kova_proxy_object_information::async_connect_return(return_object_t const& return_object,
                                                               double* pout_time) {
    return _mp->async_connect_return(return_object, pout_time);
}

void kova_proxy_object_information::shutdown() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->shutdown(true);
}

void kova_proxy_object_information::set_sync(bool const& in_use_on_sync) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_sync(in_use_on_sync);
}

letter_case_t kova_proxy_object_information::see_history(kova_size_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->see_history(in_size);
}

void kova_proxy_object_information::set_history_size(kova_size_t const& in_history_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_history_size(in_history_size);
}

kova_err_t kova_proxy_object_information::read(void* pin_data, pksize_t* pin_size) {
    if (!is_created()) return c_kova_err_is_not_created;
    if (!pin_data || !pin_size) return c_kova_err_boundout_buffer;
    return SDK::History::proc_read_newest(see_history(1), pin_data, pin_size);
}

void kova_proxy_object_information::on_disconnected() {}
void kova_proxy_object_information::on_sync(const sender_sync_model_t&, const double&, const double&,
                                            const void* const, const pksize_t) {}

}  // namespace Kova
