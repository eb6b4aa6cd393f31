// The handler of a broadcast stub: reserves its code and sends; nothing is delivered to it.
#pragma once

#include "Kova/Common/Open/Kova/kova_object_broadcast.h"
#include "Kova/SDK/Interface/_kova_object.h"

namespace Kova {

class _kova_object_broadcast : public _kova_method {
public:
    _kova_object_broadcast(_kova_object* pin_op, kova_object_broadcast* pin_mp, msg_code_t in_code,
                           interface_kind_t in_kind);
    ~_kova_object_broadcast() override;
    _kova_object_broadcast(const _kova_object_broadcast&) = delete;
    _kova_object_broadcast& operator=(const _kova_object_broadcast&) = delete;

    // One push under the processor's read lock; a full center pipe drops it.
    kova_err_t broadcast(ip_t in_ip, void const* pin_data, pksize_t in_size);

    kova_object_broadcast* mp;
};

}  // namespace Kova
