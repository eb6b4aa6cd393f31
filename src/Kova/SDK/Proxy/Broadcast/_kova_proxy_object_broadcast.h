// The handler of a broadcast proxy: hands every broadcast of its code to the application,
// whichever stub sent it.
#pragma once

#include "Kova/Common/Open/Kova/kova_proxy_object_broadcast.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_broadcast : public _kova_proxy_broadcast_method {
public:
    _kova_proxy_object_broadcast(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind,
                                 kova_proxy_object_broadcast* pin_mp);
    ~_kova_proxy_object_broadcast() override;

    // On a listener, which holds the read lock.
    void adapter_broadcast(struct_token const& in_token) override;

    kova_proxy_object_broadcast* mp;
};

}  // namespace Kova
