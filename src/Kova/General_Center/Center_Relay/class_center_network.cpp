#include "Kova/General_Center/Center_Relay/class_center_network.h"

#include "Kova/Center/INet_Relay/inet_relay.h"

namespace Kova {
namespace General_Center {
namespace Center_Relay {

namespace net = Kova::Center::INet_Relay;

int class_center_network::initialize() { return net::initialize(); }
int class_center_network::add_server(domain_t in_port) { return net::add_server(in_port); }
int class_center_network::start() { return net::start(); }
int class_center_network::stop() { return net::stop(); }
int class_center_network::finalize() { return net::finalize(); }

int class_center_network::send_udp(struct_token& in_token, struct_packet* pin_pkt) {
    return net::send_udp(in_token, pin_pkt);
}
int class_center_network::send_tcp_client(const struct_node_addr& in_dst, struct_token& in_token,
                                          struct_packet* pin_pkt) {
    return net::send_tcp_client(in_dst, in_token, pin_pkt);
}
int class_center_network::send_tcp_server(const struct_node_addr& in_dst, struct_token& in_token,
                                          struct_packet* pin_pkt) {
    return net::send_tcp_server(in_dst, in_token, pin_pkt);
}
int class_center_network::send_tcp_broadcast(struct_token& in_token, struct_packet* pin_pkt) {
    return net::send_tcp_broadcast(in_token, pin_pkt);
}
int class_center_network::add_client(ip_t in_ip, domain_t in_port) { return net::add_client(in_ip, in_port); }
int class_center_network::del_client(ip_t in_ip, domain_t in_port) { return net::del_client(in_ip, in_port); }
domain_t class_center_network::get_gate_port_of_local(const struct_node_addr& in_remote) {
    return net::get_gate_port_of_local(in_remote);
}
int class_center_network::add_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) {
    return net::add_membership(in_group, in_if, in_source, in_port);
}
void class_center_network::drop_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t in_port) {
    net::drop_membership(in_group, in_if, in_source, in_port);
}

}  // namespace Center_Relay
}  // namespace General_Center
}  // namespace Kova
