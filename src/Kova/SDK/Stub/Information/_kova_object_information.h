// The handler of an information stub: which client objects of which nodes subscribed
// and by which kind, the counts that decide where a value goes (TCP nodes, UDP nodes,
// the interfaces UDP subscribers came through), the handshake and the disconnects.
#pragma once

#include <map>
#include <vector>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_information.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

struct struct_packet;

class _kova_object_information : public _kova_connection_method {
public:
    // What the stub recorded of one client: its kind and, for UDP, the interface its
    // connect came through; every removal takes back exactly what this says.
    struct struct_client {
        bool tcp;
        ip_t mcast_if;
    };
    typedef std::map<object_id_t, struct_client> information_object_map_t;
    typedef std::map<struct_node_addr, information_object_map_t> information_node_map_t;
    typedef std::map<struct_node_addr, int> tcp_node_map_t;
    struct struct_udp_if {
        ip_t mcast_if;  // the interface of the node's first UDP subscription
        int counter;
    };
    typedef std::map<struct_node_addr, struct_udp_if> udp_node_map_t;
    typedef std::map<ip_t, int> mcast_if_map_t;

    _kova_object_information(_kova_object* pin_op, kova_object_information* pin_mp, msg_code_t in_code,
                             interface_kind_t in_kind);
    ~_kova_object_information() override;
    _kova_object_information(const _kova_object_information&) = delete;
    _kova_object_information& operator=(const _kova_object_information&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);
    // The subscription ended from the proxy's side, whether or not it was subscribed.
    void adapter_shutdown(struct_token const& in_token);
    void adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) override;
    void adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) override;

    // The caller holds the processor's read lock (the write lock for the destroy's
    // disconnect_all_client_object(false)). None of them calls on_shutdown; each
    // client reached is told by a disconnect addressed to its own id.
    unsigned int get_client_count();
    void disconnect(client_addr_t const& in_client_addr);
    void disconnect_all_client_object(bool in_send) override;
    void disconnect_one_client_node(struct_node_addr const& in_node_addr);
    void disconnect_one_client_object(client_addr_t const& in_client_addr);

    // All four under node_map_mutex. An entry of a count map goes when its count does.
    information_node_map_t node_map;
    tcp_node_map_t tcp_node_map;
    udp_node_map_t udp_node_map;
    mcast_if_map_t mcast_if_map;
    // Recursive. Never held while a packet is pushed or a callback runs: a listener
    // that waits for it must not wait for the center pipe behind it.
    Pimo::OS::class_thread_lock node_map_mutex;
    kova_object_information* mp;

private:
    // Forgets the packet's source as a client, then on_shutdown with the packet's error.
    void proc_shutdown(struct_packet const& in_packet);
    // node_map_mutex is held. A client registered already gives its registration up first.
    void proc_register(client_addr_t const& in_client, bool in_tcp, ip_t in_mcast_if);
    // node_map_mutex is held. Takes one client's share from the counts by what was
    // recorded for it; false when it was not registered.
    bool proc_remove(client_addr_t const& in_client);
    // node_map_mutex is held. Removes every client of the node, appending each to
    // pout_gone, and a disconnect for each to pout_send when it is given.
    void proc_remove_node(struct_node_addr const& in_node, std::vector<client_addr_t>& pout_gone,
                          std::vector<struct_token>* pout_send);
    // node_map_mutex is held. A disconnect of the client's kind to its own id.
    void proc_build_disconnect(client_addr_t const& in_client, bool in_tcp, std::vector<struct_token>& pout_send);
    // Without node_map_mutex: pushes each token, waiting for the center pipe.
    void proc_push(std::vector<struct_token>& in_send);
};

}  // namespace Kova
