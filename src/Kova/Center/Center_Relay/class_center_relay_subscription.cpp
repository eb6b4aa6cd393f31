// Information subscriptions (which local processes want a stub's values) and the
// source-specific multicast memberships that bring remote UDP values to this host.
#include <iterator>
#include <vector>

#include "Kova/Center/Center_Relay/class_center_relay.h"
#include "Kova/Center/Global/center_global.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Hidden/multicast_group.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

using Global::gp_center_network;
using Global::gp_object_manager;

namespace {

int pid_of(object_id_t in_id) { return gp_object_manager ? gp_object_manager->get_pid(in_id) : 0; }

// One subscription fewer on (group, host); the last one leaves the group, on the
// interface it was joined on (a proxy's own shutdown names the loop-back interface).
void release_membership(multicast_map_t& in_map, ip_t in_group, ip_t in_stub_ip, ip_t, domain_t in_port) {
    const auto found = in_map.find(multicast_key_t(in_group, in_stub_ip));
    if (found == in_map.end()) return;
    if (--found->second.counter > 0) return;
    if (gp_center_network != nullptr)
        gp_center_network->drop_membership(in_group, found->second.if_ip, in_stub_ip, in_port);
    in_map.erase(found);
}

// Removes a proxy under (host, stub), and the stub's and host's maps that become empty.
void remove_proxy(multicast_smap_t& in_smap, ip_t in_stub_ip, object_id_t in_stub_id, object_id_t in_proxy) {
    const auto host = in_smap.find(in_stub_ip);
    if (host == in_smap.end()) return;
    const auto stub = host->second->find(in_stub_id);
    if (stub != host->second->end()) {
        stub->second->erase(in_proxy);
        if (stub->second->empty()) {
            delete stub->second;
            host->second->erase(stub);
        }
    }
    if (host->second->empty()) {
        delete host->second;
        in_smap.erase(host);
    }
}

// The subscriptions of local proxies to one remote stub end: every membership they counted is
// released and their records are dropped. The stub's entry itself is left to the caller.
void release_stub_subscribers(multicast_map_t& in_memberships, multicast_pmap_t& in_records,
                              const pobject_map_t& in_proxies, ip_t in_stub_ip, object_id_t in_stub_id, ip_t in_if,
                              domain_t in_port) {
    for (const auto& proxy : in_proxies) {
        for (msg_code_t code : *proxy.second)
            release_membership(in_memberships, get_multicast_group(in_stub_id, code), in_stub_ip, in_if, in_port);
        const auto record = in_records.find(proxy.first);
        if (record != in_records.end()) {
            delete record->second;
            in_records.erase(record);
        }
    }
}

}  // namespace

void class_center_relay::confirm_information(const struct_packet* pin_pkt) {
    if (!pin_pkt->dst_is_local()) return;
    const struct_information_key key(struct_server_addr(pin_pkt->src_ip, pin_pkt->header.sid), pin_pkt->header.code);
    struct_proxy_information& proxy = proxy_information_map[pin_pkt->header.did];
    if (proxy.keys.empty()) proxy.pid = pid_of(pin_pkt->header.did);
    // A proxy counts once for its process, however often it is confirmed.
    if (!proxy.keys.insert(key).second) return;
    process_info_map_t*& pids = information_map[key];
    if (pids == nullptr) pids = new process_info_map_t;
    ++(*pids)[proxy.pid];
}

void class_center_relay::disconnect_information(const struct_packet* pin_pkt) {
    if (!pin_pkt->dst_is_local()) return;
    const struct_server_addr stub(pin_pkt->src_ip, pin_pkt->header.sid);
    if (!pin_pkt->dst_is_broadcast_object()) {
        erase_information(pin_pkt->header.did, stub, pin_pkt->header.code);
        return;
    }
    // Addressed to the whole node: every local subscription of that stub and code.
    const struct_information_key key(stub, pin_pkt->header.code);
    erase_information_where([&](object_id_t, const struct_proxy_information&, const struct_information_key& in_key) {
        return !(in_key < key) && !(key < in_key);
    });
}

void class_center_relay::shutdown_information(const struct_packet* pin_pkt) {
    if (!pin_pkt->src_is_local()) return;
    erase_information(pin_pkt->header.sid, struct_server_addr(pin_pkt->dst_ip, pin_pkt->header.did),
                      pin_pkt->header.code);
}

namespace {

// One subscription of in_pid fewer for in_key; nothing goes below 0 or comes to be.
void uncount(information_map_t& in_map, const struct_information_key& in_key, int in_pid) {
    const auto found = in_map.find(in_key);
    if (found == in_map.end()) return;
    process_info_map_t* pids = found->second;
    const auto pid = pids->find(in_pid);
    if (pid == pids->end()) return;
    if (--pid->second <= 0) pids->erase(pid);
    if (pids->empty()) {
        delete pids;
        in_map.erase(found);
    }
}

}  // namespace

void class_center_relay::erase_information(object_id_t in_id, const struct_server_addr& in_stub, msg_code_t in_code) {
    const auto proxy = proxy_information_map.find(in_id);
    if (proxy == proxy_information_map.end()) return;
    const struct_information_key key(in_stub, in_code);
    if (proxy->second.keys.erase(key) == 0) return;
    uncount(information_map, key, proxy->second.pid);
    if (proxy->second.keys.empty()) proxy_information_map.erase(proxy);
}

template <typename which_t>
void class_center_relay::erase_information_where(which_t in_which) {
    for (auto proxy = proxy_information_map.begin(); proxy != proxy_information_map.end();) {
        std::set<struct_information_key>& keys = proxy->second.keys;
        for (auto key = keys.begin(); key != keys.end();) {
            if (in_which(proxy->first, proxy->second, *key)) {
                uncount(information_map, *key, proxy->second.pid);
                key = keys.erase(key);
            } else {
                ++key;
            }
        }
        proxy = keys.empty() ? proxy_information_map.erase(proxy) : std::next(proxy);
    }
}

void class_center_relay::erase_information_of_process(int in_pid) {
    erase_information_where([&](object_id_t, const struct_proxy_information& in_proxy, const struct_information_key&) {
        return in_proxy.pid == in_pid;
    });
}

void class_center_relay::erase_information_of_proxy(object_id_t in_proxy) {
    erase_information_where(
        [&](object_id_t in_id, const struct_proxy_information&, const struct_information_key&) { return in_id == in_proxy; });
}

void class_center_relay::erase_information_of_stub(const struct_server_addr& in_stub) {
    erase_information_where([&](object_id_t, const struct_proxy_information&, const struct_information_key& in_key) {
        return !(in_key.stub < in_stub) && !(in_stub < in_key.stub);
    });
}

void class_center_relay::erase_information_of_host(ip_t in_stub_ip) {
    erase_information_where([&](object_id_t, const struct_proxy_information&, const struct_information_key& in_key) {
        return in_key.stub.ip == in_stub_ip;
    });
}

bool class_center_relay::confirm_multicast(const struct_packet* pin_pkt) {
    if (pin_pkt->src_is_local()) return true;
    const object_id_t proxy = pin_pkt->header.did;
    const ip_t group = get_multicast_group(pin_pkt->header.sid, pin_pkt->header.code);
    const multicast_key_t key(group, pin_pkt->src_ip);
    auto found = multicast_map.find(key);
    const bool join = found == multicast_map.end();
    // A group the socket does not join would bring nothing: the subscription is refused.
    if (join && gp_center_network != nullptr &&
        gp_center_network->add_membership(group, pin_pkt->mct_if, pin_pkt->src_ip, pin_pkt->header.sport) != 0)
        return false;
    if (join) found = multicast_map.emplace(key, multicast_dat_t(pin_pkt->mct_if)).first;

    multicast_information_t*& record = multicast_pmap[proxy];
    if (record == nullptr) record = new multicast_information_t;
    record->stub_ip = pin_pkt->src_ip;
    record->stub_id = pin_pkt->header.sid;
    record->if_ip = pin_pkt->mct_if;
    // A code the proxy holds already counts once.
    const bool counted = record->code_set.insert(pin_pkt->header.code).second;

    sobject_map_t*& stubs = multicast_smap[pin_pkt->src_ip];
    if (stubs == nullptr) stubs = new sobject_map_t;
    pobject_map_t*& proxies = (*stubs)[pin_pkt->header.sid];
    if (proxies == nullptr) proxies = new pobject_map_t;
    (*proxies)[proxy] = &record->code_set;
    if (counted || join) ++found->second.counter;
    return true;
}

void class_center_relay::disconnect_multicast(const struct_packet* pin_pkt) {
    if (!pin_pkt->dst_is_local() || pin_pkt->src_is_local()) return;
    std::vector<object_id_t> proxies;
    if (!pin_pkt->dst_is_broadcast_object()) {
        proxies.push_back(pin_pkt->header.did);
    } else {
        // Addressed to the whole node: every local proxy of that stub and code.
        const auto host = multicast_smap.find(pin_pkt->src_ip);
        if (host != multicast_smap.end()) {
            const auto stub = host->second->find(pin_pkt->header.sid);
            if (stub != host->second->end())
                for (const auto& proxy : *stub->second)
                    if (proxy.second->count(pin_pkt->header.code) != 0) proxies.push_back(proxy.first);
        }
    }
    for (object_id_t proxy : proxies)
        erase_multicast(pin_pkt->header.sport, pin_pkt->mct_if, proxy, pin_pkt->src_ip, pin_pkt->header.sid,
                        pin_pkt->header.code);
}

void class_center_relay::shutdown_multicast(const struct_packet* pin_pkt) {
    if (!pin_pkt->src_is_local() || pin_pkt->dst_is_local()) return;
    erase_multicast(pin_pkt->dst_port, pin_pkt->mct_if, pin_pkt->header.sid, pin_pkt->dst_ip, pin_pkt->header.did,
                    pin_pkt->header.code);
}

void class_center_relay::erase_multicast(domain_t in_port, ip_t in_if, object_id_t in_proxy, ip_t in_stub_ip,
                                         object_id_t in_stub_id, msg_code_t in_code) {
    const auto record = multicast_pmap.find(in_proxy);
    if (record == multicast_pmap.end() || record->second->code_set.count(in_code) == 0) return;
    release_membership(multicast_map, get_multicast_group(in_stub_id, in_code), in_stub_ip, in_if, in_port);
    record->second->code_set.erase(in_code);
    if (!record->second->code_set.empty()) return;

    remove_proxy(multicast_smap, in_stub_ip, in_stub_id, in_proxy);
    delete record->second;
    multicast_pmap.erase(record);
}

void class_center_relay::erase_multicast_of_remote_stub(const struct_packet* pin_pkt) {
    const auto host = multicast_smap.find(pin_pkt->src_ip);
    if (host == multicast_smap.end()) return;
    const auto stub = host->second->find(pin_pkt->header.sid);
    if (stub == host->second->end()) return;
    release_stub_subscribers(multicast_map, multicast_pmap, *stub->second, pin_pkt->src_ip, pin_pkt->header.sid,
                             pin_pkt->mct_if, pin_pkt->header.sport);
    delete stub->second;
    host->second->erase(stub);
}

void class_center_relay::erase_multicast_of_local_proxy(const struct_packet* pin_pkt) {
    const auto record = multicast_pmap.find(pin_pkt->header.sid);
    if (record == multicast_pmap.end()) return;
    const multicast_information_t* info = record->second;
    for (msg_code_t code : info->code_set)
        release_membership(multicast_map, get_multicast_group(info->stub_id, code), info->stub_ip, info->if_ip,
                           pin_pkt->dst_port);
    remove_proxy(multicast_smap, info->stub_ip, info->stub_id, pin_pkt->header.sid);
    delete record->second;
    multicast_pmap.erase(record);
}

void class_center_relay::erase_multicast_of_remote_host(const struct_packet* pin_pkt) {
    const auto host = multicast_smap.find(pin_pkt->src_ip);
    if (host == multicast_smap.end()) return;
    for (const auto& stub : *host->second) {
        release_stub_subscribers(multicast_map, multicast_pmap, *stub.second, pin_pkt->src_ip, stub.first,
                                 pin_pkt->mct_if, pin_pkt->header.sport);
        delete stub.second;
    }
    delete host->second;
    multicast_smap.erase(host);
}

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
