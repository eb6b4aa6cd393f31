// The UDP socket of a domain port: open, close, the send and receive steps, multicast.
#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"
#include "Kova/Common/Open/Kova/kova_err.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

int udp_initialize(unsigned short in_port);
int udp_finalize();
int send_udp(struct_epoll_overlapped_ex* p_overlapped);
int recv_udp(struct_epoll_overlapped_ex* p_overlapped);
void set_multicast_if(const unsigned long& multicast_if, const unsigned short& in_port);
Kova::kova_err_t send_center_from_udp(Kova::struct_token token, Kova::packet_t* p_pkt);

// A datagram with this header from in_from may come in on the socket of in_port: only the
// kinds a center sends by UDP (broadcasts, commands, information values), and from this host
// only what its center sent itself (from the domain port of an address of its interfaces; its
// own broadcasts are dropped apart). Anything else would speak for this host's objects or for
// objects of a node whose identity comes with its TCP connection.
bool is_network_datagram(const Kova::struct_header& in_header, const sockaddr_in& in_from, unsigned short in_port);

// A datagram of in_length bytes whose first 24 bytes are pin_header may become a packet: at
// least a header, version 2, and exactly as long as its size field says.
bool is_acceptable_datagram(const Kova::struct_header* pin_header, size_t in_length);

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
