// The handler of a call stub: one reply of up to max_return_size bytes per call.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_call.h"
#include "Kova/SDK/Interface/_kova_object.h"

namespace Kova {

class _kova_object_call : public _kova_method {
public:
    _kova_object_call(_kova_object* pin_op, kova_object_call* pin_mp, msg_code_t in_code,
                      pksize_t in_max_return_size, interface_kind_t in_kind);
    ~_kova_object_call() override;
    _kova_object_call(const _kova_object_call&) = delete;
    _kova_object_call& operator=(const _kova_object_call&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_call(struct_token const& in_token);
    void adapter_call_cancel(struct_token const& in_token);

    pksize_t max_return_size;
    kova_object_call* mp;

private:
    void proc_cancel(struct_packet const& in_packet);
};

}  // namespace Kova
