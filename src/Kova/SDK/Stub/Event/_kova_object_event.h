// The handler of an event stub: which client objects of which nodes subscribed, the
// handshake with them, and one packet per node for each event.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_event.h"
#include "Kova/SDK/Stub/template_client_table.h"

namespace Kova {

// An event stub keeps nothing of a subscriber but that it subscribed.
struct struct_event_subscriber {};

class _kova_object_event : public template_client_table<struct_event_subscriber> {
public:
    _kova_object_event(_kova_object* pin_op, kova_object_event* pin_mp, msg_code_t in_code, interface_kind_t in_kind);
    ~_kova_object_event() override;
    _kova_object_event(const _kova_object_event&) = delete;
    _kova_object_event& operator=(const _kova_object_event&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);

    // The caller holds the processor's read lock. One packet per subscribed node, pushed
    // without the table's lock.
    kova_err_t event(void const* pin_buffer, pksize_t in_size);

    kova_object_event* mp;

protected:
    void proc_on_shutdown(client_addr_t const& in_client) override { mp->on_shutdown(in_client); }
    msg_type_t get_disconnect_type(struct_event_subscriber const&) const override { return c_mt_event_disconnect; }
};

}  // namespace Kova
