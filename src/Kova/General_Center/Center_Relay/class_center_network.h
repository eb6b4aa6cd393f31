// The center program's network relay (TCP connections to the centers of other hosts,
// UDP datagrams) behind the routing's interface.
#pragma once

#include "Kova/Center/Interface/interface_center_network.h"

namespace Kova {
namespace General_Center {
namespace Center_Relay {

class class_center_network : public Kova::Center::Interface::interface_center_network {
public:
    int initialize() override;
    int add_server(domain_t in_port) override;
    int start() override;
    int stop() override;
    int finalize() override;

    int send_udp(struct_token& in_token, struct_packet* pin_pkt) override;
    int send_tcp_client(const struct_node_addr& in_dst, struct_token& in_token, struct_packet* pin_pkt) override;
    int send_tcp_server(const struct_node_addr& in_dst, struct_token& in_token, struct_packet* pin_pkt) override;
    int send_tcp_broadcast(struct_token& in_token, struct_packet* pin_pkt) override;
    int add_client(ip_t in_ip, domain_t in_port) override;
    int del_client(ip_t in_ip, domain_t in_port) override;
    domain_t get_gate_port_of_local(const struct_node_addr& in_remote) override;
    int add_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) override;
    void drop_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) override;
};

}  // namespace Center_Relay
}  // namespace General_Center
}  // namespace Kova
