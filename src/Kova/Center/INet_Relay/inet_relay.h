// The network relay as the rest of the center sees it: life cycle, TCP queueing, the users of
// remote centers, UDP datagrams and multicast membership.
#pragma once

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Center {
namespace INet_Relay {

// Relative to the working directory the center inherits from the service.
extern const char* const str_config_path;  // "../Config/kova.ini"

// Reads the configuration file; throws the reader's error when the file is readable but a key
// is missing or an integer key is not a number. CONNECTION_TIMEOUT_MS, the connection limit in
// milliseconds, is the one key that may be left out (8000).
void read_config(const char* in_path);

int initialize();
int add_server(unsigned short in_port);
int start();
int stop();
int finalize();

// 0 when the connection exists and took the token; -1 when the caller keeps it.
int send_tcp_client(Kova::struct_node_addr in_dst, Kova::struct_token& in_token, Kova::struct_packet* pin_pkt);
int send_tcp_server(Kova::struct_node_addr in_dst, Kova::struct_token& in_token, Kova::struct_packet* pin_pkt);
// Copies to every accepted connection; the caller keeps its token.
int send_tcp_broadcast(Kova::struct_token& in_token, Kova::struct_packet* pin_pkt);

int add_client(Kova::ip_t in_ip, unsigned short in_port);
int del_client(Kova::ip_t in_ip, unsigned short in_port);
unsigned short get_gate_port_of_local(Kova::struct_node_addr in_remote);

int send_udp(Kova::struct_token& in_token, Kova::struct_packet* pin_pkt);
// 0 once joined; -1 when the socket refused (Linux allows 20 groups per socket by default).
int add_membership(const unsigned long& multicast_ip, const unsigned long& multicast_if,
                   const unsigned long& source_ip, const unsigned short& in_port);
void drop_membership(const unsigned long& multicast_ip, const unsigned long& multicast_if,
                     const unsigned long& source_ip, const unsigned short& in_port);

}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
