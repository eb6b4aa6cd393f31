#include "Kova/Common/Open/Kova/kova_object_event.h"

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/Stub/Event/_kova_object_event.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_read_locker;
using SDK::SDK_Processor::gp_processor;

kova_object_event::kova_object_event(const msg_code_t& in_code)
    : kova_object(), _mp(new _kova_object_event(_op, this, in_code, c_integrated_interface)) {}

kova_object_event::kova_object_event(const msg_code_t& in_code, const kova_object& in_kova_object)
    : kova_object(in_kova_object), _mp(nullptr) {
    // The most-derived class may have built the virtual base anew.
    proc_attach(in_kova_object);
    _mp = new _kova_object_event(_op, this, in_code, c_each_interface);
}

kova_object_event::~kova_object_event() {
    proc_end_interface(_mp->b_interface);
    delete _mp;
}

kova_err_t kova_object_event::event(const void* const& pin_buffer, const pksize_t& in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->event(pin_buffer, in_size);
}

kova_err_t kova_object_event::event() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->event(nullptr, 0);
}

unsigned int kova_object_event::get_client_count() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    return _mp->get_client_count();
}

void kova_object_event::disconnect(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect(in_client_addr);
}

void kova_object_event::disconnect_all_client_object() {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_all_client_object(true);
}

void kova_object_event::disconnect_one_client_node(const struct_node_addr& in_node_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_node(in_node_addr);
}

void kova_object_event::disconnect_one_client_object(const client_addr_t& in_client_addr) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    _mp->disconnect_one_client_object(in_client_addr);
}

kova_err_t kova_object_event::on_connect(const client_addr_t&, const double&, const double&) {
    return c_kova_err_none;
}

void kova_object_event::on_shutdown(const client_addr_t&) {}

}  // namespace Kova
