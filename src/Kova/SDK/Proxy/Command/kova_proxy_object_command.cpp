#include "Kova/Common/Open/Kova/kova_proxy_object_command.h"

#include "Kova/SDK/Proxy/Command/_kova_proxy_object_command.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_read_locker;
using SDK::SDK_Processor::gp_processor;

kova_proxy_object_command::kova_proxy_object_command(msg_code_t const& in_code)
    : _mp(new _kova_proxy_object_command(_pp, in_code, c_integrated_interface, this)) {}

kova_proxy_object_command::kova_proxy_object_command(msg_code_t const& in_code,
                                                     kova_proxy_object const& in_proxy_object)
    : kova_proxy_object(in_proxy_object), _mp(nullptr) {
    // A most-derived class that built the virtual base anew still ends up on in_proxy_object.
    proc_attach(in_proxy_object);
    _mp = new _kova_proxy_object_command(_pp, in_code, c_each_interface, this);
}

kova_proxy_object_command::~kova_proxy_object_command() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

bool kova_proxy_object_command::is_connected() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->is_connected();
}

return_object_t kova_proxy_object_command::async_connect(double const& in_limit_time) {
    return _mp->async_connect(in_limit_time);
}

kova_err_t kova_proxy_object_command::async_connect_return(return_object_t const& return_object, double* pout_time) {
    return _mp->async_connect_return(return_object, pout_time);
}

void kova_proxy_object_command::shutdown() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->shutdown(true);
}

void kova_proxy_object_command::set_sync_model(const bool& in_using_udp, const sender_sync_model_t& in_sync_model,
                                               const double& in_interval) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_sync_model(in_using_udp, in_sync_model, in_interval);
}

void* kova_proxy_object_command::get_real(const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_real(in_size);
}

void kova_proxy_object_command::cancel_real() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->cancel_real();
}

kova_err_t kova_proxy_object_command::post_real(const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->post_real(in_size);
}

kova_err_t kova_proxy_object_command::write(const void* const& pin_data, const pksize_t& in_size) {
    return _mp->write(pin_data, in_size);
}

void* kova_proxy_object_command::get(const pksize_t& in_size) { return _mp->get(in_size); }

kova_err_t kova_proxy_object_command::post(const pksize_t& in_size) { return _mp->post(in_size); }

void kova_proxy_object_command::cancel() { _mp->cancel(); }

letter_case_t kova_proxy_object_command::see_history(kova_size_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->see_history(in_size);
}

void kova_proxy_object_command::set_history_size(const kova_size_t& in_history_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_history_size(in_history_size);
}

kova_err_t kova_proxy_object_command::read(void* pin_data, pksize_t* pin_size) { return _mp->read(pin_data, pin_size); }

void kova_proxy_object_command::on_disconnected() {}

}  // namespace Kova
