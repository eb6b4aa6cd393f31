#include "Kova/SDK/Stub/Broadcast/_kova_object_broadcast.h"

#include <cfloat>
#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Common::Interface::safe_free_token;

namespace {

const pksize_t c_max_broadcast_size = 65000;

}  // namespace

_kova_object_broadcast::_kova_object_broadcast(_kova_object* pin_op, kova_object_broadcast* pin_mp,
                                               msg_code_t in_code, interface_kind_t in_kind)
    : _kova_method(pin_op, in_code, in_kind), mp(pin_mp) {
    _op->add_broadcast(code, this);
}

_kova_object_broadcast::~_kova_object_broadcast() { _op->del_broadcast(code, this); }

kova_err_t _kova_object_broadcast::broadcast(ip_t in_ip, void const* pin_data, pksize_t in_size) {
    SDK::SDK_Processor::class_processor_read_hold lock;
    if (!_op->is_created()) return c_kova_err_is_not_created;
    if (in_size > c_max_broadcast_size) return c_kova_err_too_big_size;
    if (in_size != 0 && pin_data == nullptr) return c_kova_err_boundout_buffer;
    struct_token token;
    if (Common::Interface::eproc_alloc_packet(token, in_size, __FILE__, __LINE__) != c_kova_err_none) {
        if (token.has_header()) safe_free_token(token, __FILE__, __LINE__);
        return c_kova_err_empty_kova_memory;
    }
    struct_packet* p = token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    p->initialize_header(in_size, _op->get_msg_num(), c_mt_broadcast, code, c_kova_err_none);
    p->set_destination(in_ip, _op->domain, c_broadcast_proxy_id);
    if (in_size != 0) std::memcpy(token.get_data(), pin_data, in_size);
    // Never waits: a full center pipe loses the broadcast.
    if (_op->send(token) == Pimo::OS::c_vimra_busy) safe_free_token(token, __FILE__, __LINE__);
    return c_kova_err_none;
}

}  // namespace Kova
