// The handler of a signal stub: acknowledges each signal, then hands it on.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_signal.h"
#include "Kova/SDK/Interface/_kova_object.h"

namespace Kova {

class _kova_object_signal : public _kova_method {
public:
    _kova_object_signal(_kova_object* pin_op, kova_object_signal* pin_mp, msg_code_t in_code,
                        on_signal_sync_t in_on_signal_sync, interface_kind_t in_kind);
    ~_kova_object_signal() override;
    _kova_object_signal(const _kova_object_signal&) = delete;
    _kova_object_signal& operator=(const _kova_object_signal&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_signal(struct_token const& in_token);
    void adapter_signal_cancel(struct_token const& in_token);
    // The acknowledgement: a return for in_err 0, else an error return carrying it.
    kova_err_t signal_return(struct_token const& in_token, kova_err_t const& in_err);

    kova_object_signal* mp;
    on_signal_sync_t on_signal_sync;
};

}  // namespace Kova
