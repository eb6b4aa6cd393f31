// The broadcast stub: datagrams of its code to every proxy of its domain.
#pragma once

#include "kova_object.h"

namespace Kova {

class _kova_object_broadcast;

class KOVA_API kova_object_broadcast : public virtual kova_object {
protected:
    explicit kova_object_broadcast(msg_code_t const& in_code);
    // Attached to in_kova_object: sends under that object's id.
    kova_object_broadcast(msg_code_t const& in_code, kova_object const& in_kova_object);
    ~kova_object_broadcast() override;
    kova_object_broadcast(kova_object_broadcast const&) = delete;
    kova_object_broadcast& operator=(kova_object_broadcast const&) = delete;

    // To every host.
    kova_err_t broadcast(void const* const& pin_data, pksize_t const& in_size);
    kova_err_t broadcast(ip_t const& in_ip, void const* const& pin_broadcast_data,
                         pksize_t const& in_broadcast_size);

private:
    friend class _kova_object_broadcast;
    _kova_object_broadcast* _mp;
};

}  // namespace Kova
