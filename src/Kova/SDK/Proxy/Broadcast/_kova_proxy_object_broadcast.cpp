#include "Kova/SDK/Proxy/Broadcast/_kova_proxy_object_broadcast.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"

namespace Kova {

_kova_proxy_object_broadcast::_kova_proxy_object_broadcast(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                           interface_kind_t in_kind,
                                                           kova_proxy_object_broadcast* pin_mp)
    : _kova_proxy_broadcast_method(pin_pp, in_code, in_kind), mp(pin_mp) {
    _pp->add_broadcast(code, this);
}

_kova_proxy_object_broadcast::~_kova_proxy_object_broadcast() { _pp->del_broadcast(code, this); }

void _kova_proxy_object_broadcast::adapter_broadcast(struct_token const& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    // The live time as the listener left it: only read, never brought up to date here.
    mp->on_broadcast(server_addr_t(p->src_ip, p->header.sid), in_token.get_data(),
                     Common::Interface::get_payload_size(in_token), p->packet_live_time);
}

}  // namespace Kova
