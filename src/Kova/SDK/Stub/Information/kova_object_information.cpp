#include "Kova/Common/Open/Kova/kova_object_information.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/Stub/Information/_kova_object_information.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_read_locker;
using SDK::SDK_Processor::gp_processor;

kova_object_information::kova_object_information(const msg_code_t& in_code)
    : kova_object(), _mp(new _kova_object_information(_op, this, in_code, c_integrated_interface)) {}

kova_object_information::kova_object_information(const msg_code_t& in_code, const kova_object& in_kova_object)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_information(_op, this, in_code, c_each_interface);
}

kova_object_information::~kova_object_information() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

kova_err_t kova_object_information::write(const void* const& pin_data, const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->write(pin_data, in_size);
}

void* kova_object_information::get_real(const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_real(in_size);
}

kova_err_t kova_object_information::post_real(const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->post_real(in_size);
}

void kova_object_information::cancel_real() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->cancel_real();
}

// The guarded form takes the read lock only to write.
void* kova_object_information::get(const pksize_t& in_size) { return _mp->get(in_size); }

kova_err_t kova_object_information::post(const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->post(in_size);
}

void kova_object_information::cancel() { _mp->cancel(); }

void kova_object_information::set_sync_model(const sender_sync_model_t& in_sync_model, const double& in_interval) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_sync_model(in_sync_model, in_interval);
}

letter_case_t kova_object_information::see_history(kova_size_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->see_history(in_size);
}

kova_err_t kova_object_information::read(void* pin_data, pksize_t* pin_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->read(pin_data, pin_size);
}

void kova_object_information::set_history_size(const kova_size_t& in_history_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->set_history_size(in_history_size);
}

unsigned int kova_object_information::get_client_count() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_client_count();
}

void kova_object_information::disconnect(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect(in_client_addr);
}

void kova_object_information::disconnect_all_client_object() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_all_client_object(true);
}

void kova_object_information::disconnect_one_client_node(const struct_node_addr& in_node_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_node(in_node_addr);
}

void kova_object_information::disconnect_one_client_object(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_object(in_client_addr);
}

kova_err_t kova_object_information::on_connect(const client_addr_t&, const bool&, const double&, const double&) {
    return c_kova_err_none;
}

void kova_object_information::on_shutdown(const client_addr_t&) {}

}  // namespace Kova
