// The handler of an event stub: which client objects of which nodes subscribed, the
// handshake with them, and one packet per node for each event.
#pragma once

#include <map>
#include <set>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_event.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

struct struct_packet;

class _kova_object_event : public _kova_connection_method {
public:
    typedef std::map<struct_node_addr, std::set<object_id_t>> node_map_t;

    _kova_object_event(_kova_object* pin_op, kova_object_event* pin_mp, msg_code_t in_code, interface_kind_t in_kind);
    ~_kova_object_event() override;
    _kova_object_event(const _kova_object_event&) = delete;
    _kova_object_event& operator=(const _kova_object_event&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);
    // The subscription ended from the proxy's side, whether or not it was subscribed.
    void adapter_shutdown(struct_token const& in_token);
    void adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) override;
    void adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) override;

    // The caller holds the processor's read lock (the write lock for the destroy's
    // disconnect_all_client_object(false)). None of them calls on_shutdown.
    kova_err_t event(void const* pin_buffer, pksize_t in_size);
    unsigned int get_client_count();
    void disconnect(client_addr_t const& in_client_addr);
    void disconnect_all_client_object(bool in_send) override;
    void disconnect_one_client_node(struct_node_addr const& in_node_addr);
    void disconnect_one_client_object(client_addr_t const& in_client_addr);

    node_map_t node_map;
    // Recursive. Held while packets are pushed, never while a callback runs.
    Pimo::OS::class_thread_lock node_map_mutex;
    kova_object_event* mp;

private:
    // Forgets the packet's source as a client, then on_shutdown with the packet's error.
    void proc_shutdown(struct_packet const& in_packet);
    // Removes one client, erasing a node left empty; false when it was not there.
    bool proc_remove(client_addr_t const& in_client);
    // A packet of this code with no time limit to (in_node, in_did), with in_data_mm
    // attached by a reference of its own when it is not 0; waits for memory and the pipe.
    void proc_send(msg_type_t in_type, struct_node_addr const& in_node, object_id_t in_did,
                   Pimo::Memory::mm_t in_data_mm, pksize_t in_size, kova_clock_t in_clock);
};

}  // namespace Kova
