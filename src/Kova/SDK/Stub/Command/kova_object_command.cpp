#include "Kova/Common/Open/Kova/kova_object_command.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/Stub/Command/_kova_object_command.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_read_locker;
using SDK::SDK_Processor::gp_processor;

kova_object_command::kova_object_command(const msg_code_t& in_code)
    : kova_object(), _mp(new _kova_object_command(_op, this, in_code, c_integrated_interface)) {}

kova_object_command::kova_object_command(const msg_code_t& in_code, const kova_object& in_kova_object)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_command(_op, this, in_code, c_each_interface);
}

kova_object_command::~kova_object_command() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

void kova_object_command::disconnect(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect(in_client_addr);
}

void kova_object_command::disconnect_all_client_object() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_all_client_object(true);
}

void kova_object_command::disconnect_one_client_node(const struct_node_addr& in_node_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_node(in_node_addr);
}

void kova_object_command::disconnect_one_client_object(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_object(in_client_addr);
}

void kova_object_command::set_sync(const bool& in_use_on_sync) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->use_on_sync = in_use_on_sync;
}

void kova_object_command::set_history_size(const kova_size_t& in_history_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->history_size = in_history_size;
}

unsigned int kova_object_command::get_client_count() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_client_count();
}

kova_size_t kova_object_command::get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_client_list(pio_client_addr, in_size);
}

letter_case_t kova_object_command::see_history(const client_addr_t& in_client_addr, kova_size_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->see_history(in_client_addr, in_size);
}

kova_err_t kova_object_command::read(const client_addr_t& in_client_addr, void* pin_data, pksize_t* pin_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->read(in_client_addr, pin_data, pin_size);
}

void kova_object_command::on_sync(const client_addr_t&, const sender_sync_model_t&, const double&, const double&,
                                  const void*, pksize_t) {}

kova_err_t kova_object_command::on_connect(const client_addr_t&, const double&, const double&) {
    return c_kova_err_none;
}

void kova_object_command::on_shutdown(const client_addr_t&) {}

}  // namespace Kova
