// The broadcast proxy: the broadcasts of one code that any stub of the domain sends.
#pragma once

#include "kova_proxy_object.h"

namespace Kova {

class _kova_proxy_object_broadcast;

class KOVA_API kova_proxy_object_broadcast : public virtual kova_proxy_object {
public:
    explicit kova_proxy_object_broadcast(msg_code_t const& in_code);
    // Attached to in_proxy_object: receives through that proxy's identity.
    kova_proxy_object_broadcast(msg_code_t const& in_code, kova_proxy_object const& in_proxy_object);
    ~kova_proxy_object_broadcast() override;
    kova_proxy_object_broadcast(kova_proxy_object_broadcast const&) = delete;
    kova_proxy_object_broadcast& operator=(kova_proxy_object_broadcast const&) = delete;

protected:
    // in_server is the sender: its host (127.0.0.1 for this host) and stub id. pin_buf
    // is null for a broadcast without payload; it is valid only during the call.
    virtual void on_broadcast(const struct_server_addr& in_server, void* pin_buf, const pksize_t& in_size,
                              const double& in_elapsed_time);

private:
    friend class _kova_proxy_object_broadcast;
    _kova_proxy_object_broadcast* _mp;
};

}  // namespace Kova
