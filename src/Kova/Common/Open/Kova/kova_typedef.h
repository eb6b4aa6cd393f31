// Scalar types and address records of the packet model, as applications see them.
// Self-contained: an application includes this header alone.
#pragma once

#include <cstdint>

namespace Kova {

typedef std::uint32_t ip_t;  // network byte order, as inet_addr returns it
typedef std::uint16_t port_t;
typedef std::uint16_t domain_t;  // also the TCP and UDP port of the domain's center
typedef std::uint16_t object_id_t;
typedef std::uint8_t msg_type_t;
typedef std::uint16_t msg_code_t;
typedef std::uint16_t msg_num_t;
typedef std::uint32_t kova_const_t;
typedef kova_const_t kova_err_t;
typedef kova_const_t sender_sync_model_t;
typedef std::uint32_t pksize_t;
typedef std::uint8_t version_t;   // 3 bits on the wire
typedef std::uint8_t priority_t;  // 5 bits on the wire
typedef std::uint8_t qos_t;
typedef std::uint8_t transaction_t;
typedef std::uint32_t kova_size_t;
typedef std::uint64_t kova_clock_t;
typedef std::uint64_t kova_cpu_hz_t;
typedef std::uint8_t byte_t;
typedef char char_t;

struct struct_packet;
struct struct_token;
struct struct_debug_token;
typedef struct_packet packet_t;
typedef struct_token token_t;
typedef struct_debug_token debug_token_t;

// The handle of one pending asynchronous request; its return operation frees it.
struct struct_return_object;
typedef struct_return_object* return_object_t;

// A center: a host and a domain.
struct struct_node_addr {
    ip_t ip;
    domain_t port;

    struct_node_addr() : ip(0), port(0) {}
    struct_node_addr(ip_t in_ip, domain_t in_port) : ip(in_ip), port(in_port) {}

    // Port first, then the stored (network-order) ip word.
    bool operator<(const struct_node_addr& in_other) const {
        if (port != in_other.port) return port < in_other.port;
        return ip < in_other.ip;
    }
};

// An object on a node.
struct struct_client_addr {
    struct_node_addr node_addr;
    object_id_t obj_id;

    struct_client_addr() : node_addr() {}
};

// A stub as its proxies see it; the domain is implied.
struct struct_server_addr {
    ip_t ip;
    object_id_t obj_id;

    struct_server_addr() : ip(0), obj_id(0) {}
    struct_server_addr(ip_t in_ip, object_id_t in_obj_id) : ip(in_ip), obj_id(in_obj_id) {}

    bool operator<(const struct_server_addr& in_other) const {
        if (ip != in_other.ip) return ip < in_other.ip;
        return obj_id < in_other.obj_id;
    }
};

struct struct_domain_object {
    domain_t domain;
    object_id_t object_id;

    struct_domain_object(domain_t in_domain, object_id_t in_object_id)
        : domain(in_domain), object_id(in_object_id) {}
};

typedef struct_node_addr node_addr_t;
typedef struct_client_addr client_addr_t;
typedef struct_server_addr server_addr_t;

// How a stub or proxy interface sits on its object.
enum enum_interface_kind { c_integrated_interface = 0, c_each_interface = 1 };
typedef enum_interface_kind interface_kind_t;

}  // namespace Kova
