// Subscription and proxy tables of the center's relay.
#pragma once
#include <map>
#include <set>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

// Processes subscribed to one information value: pid -> number of subscriptions.
typedef std::map<int, int> process_info_map_t;

struct struct_information_key {
    struct_server_addr stub;
    msg_code_t code;

    struct_information_key(const struct_server_addr& in_stub, msg_code_t in_code) : stub(in_stub), code(in_code) {}
    bool operator<(const struct_information_key& in_other) const {
        if (stub < in_other.stub) return true;
        if (in_other.stub < stub) return false;
        return code < in_other.code;
    }
};
typedef std::map<struct_information_key, process_info_map_t*> information_map_t;

// What the confirms to one local proxy counted in information_map: the process they
// were counted for, and the (stub, code) pairs, each once.
struct struct_proxy_information {
    int pid = 0;
    std::set<struct_information_key> keys;
};
typedef std::map<object_id_t, struct_proxy_information> proxy_information_map_t;

// A source-specific multicast membership: the group and the stub's host.
struct struct_multicast_key {
    ip_t multicast_ip;
    ip_t stub_ip;

    struct_multicast_key(ip_t in_group, ip_t in_stub_ip) : multicast_ip(in_group), stub_ip(in_stub_ip) {}
    bool operator<(const struct_multicast_key& in_other) const {
        if (multicast_ip != in_other.multicast_ip) return multicast_ip < in_other.multicast_ip;
        return stub_ip < in_other.stub_ip;
    }
};
typedef struct_multicast_key multicast_key_t;

struct multicast_dat_t {
    ip_t if_ip;
    int counter;

    explicit multicast_dat_t(ip_t in_if = 0) : if_ip(in_if), counter(0) {}
};
typedef std::map<multicast_key_t, multicast_dat_t> multicast_map_t;

typedef std::set<msg_code_t> code_set_t;

// One local proxy's UDP subscriptions.
struct multicast_information_t {
    ip_t stub_ip = 0;
    object_id_t stub_id = 0;
    ip_t if_ip = 0;
    code_set_t code_set;
};
typedef std::map<object_id_t, multicast_information_t*> multicast_pmap_t;

// stub host -> stub id -> proxy id -> that proxy's code set (owned by its record).
typedef std::map<object_id_t, code_set_t*> pobject_map_t;
typedef std::map<object_id_t, pobject_map_t*> sobject_map_t;
typedef std::map<ip_t, sobject_map_t*> multicast_smap_t;

// Local proxy -> the stub it asked for.
typedef std::map<object_id_t, struct_server_addr> proxy_map_t;

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
