// The network relay as the center's routing sees it: one process-wide instance,
// reached through gp_center_network, so that the routing can be driven without sockets.
#pragma once
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Center {
namespace Interface {

class interface_center_network {
public:
    virtual ~interface_center_network() {}

    // Life cycle, driven by the relay control.
    virtual int initialize() = 0;
    virtual int add_server(domain_t in_port) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual int finalize() = 0;

    // 0: the network relay took the token; otherwise the caller keeps it.
    virtual int send_udp(struct_token& in_token, struct_packet* pin_pkt) = 0;
    virtual int send_tcp_client(const struct_node_addr& in_dst, struct_token& in_token, struct_packet* pin_pkt) = 0;
    virtual int send_tcp_server(const struct_node_addr& in_dst, struct_token& in_token, struct_packet* pin_pkt) = 0;
    // Queues copies on every accepted connection; the token stays with the caller.
    virtual int send_tcp_broadcast(struct_token& in_token, struct_packet* pin_pkt) = 0;

    // Users of a remote center; the first starts the connection, the last ends it.
    virtual int add_client(ip_t in_ip, domain_t in_port) = 0;
    virtual int del_client(ip_t in_ip, domain_t in_port) = 0;
    // 0 when no outgoing connection to in_remote is established.
    virtual domain_t get_gate_port_of_local(const struct_node_addr& in_remote) = 0;

    // 0 once the socket has joined; a join refused leaves no membership.
    virtual int add_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) = 0;
    virtual void drop_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) = 0;
};

}  // namespace Interface
}  // namespace Center
}  // namespace Kova
