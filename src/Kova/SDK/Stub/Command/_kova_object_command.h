// The handler of a command stub: which client objects of which nodes are connected, the
// handshake with them, and each client's latest commands.
#pragma once

#include <atomic>
#include <map>
#include <vector>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_command.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/sdk_typedef/struct_cmd_obj_map_data.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {

struct struct_packet;

typedef std::map<object_id_t, struct_cmd_obj_map_data> command_client_map_t;
typedef std::map<struct_node_addr, command_client_map_t> command_node_map_t;

class _kova_object_command : public _kova_connection_method {
public:
    _kova_object_command(_kova_object* pin_op, kova_object_command* pin_mp, msg_code_t in_code,
                         interface_kind_t in_kind);
    ~_kova_object_command() override;
    _kova_object_command(const _kova_object_command&) = delete;
    _kova_object_command& operator=(const _kova_object_command&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);
    // The connection ended from the proxy's side, whether or not the proxy was connected.
    void adapter_shutdown(struct_token const& in_token);
    void adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) override;
    void adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) override;
    // A command (86 or 87): kept in its client's history and, with use_on_sync, handed to
    // on_sync; ignored from a client that is not connected.
    void adapter_sync(struct_token const& in_token);

    // The caller holds the processor's read lock (the write lock for the destroy's
    // disconnect_all_client_object(false)). None of them calls on_shutdown.
    void disconnect(client_addr_t const& in_client_addr);
    void disconnect_all_client_object(bool in_send) override;
    void disconnect_one_client_node(struct_node_addr const& in_node_addr);
    void disconnect_one_client_object(client_addr_t const& in_client_addr);
    unsigned int get_client_count();
    kova_size_t get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size);
    letter_case_t see_history(client_addr_t const& in_client_addr, kova_size_t in_size);
    kova_err_t read(client_addr_t const& in_client_addr, void* pin_data, pksize_t* pin_size);

    // Written by application threads under the read lock alone, read by listeners.
    std::atomic<kova_size_t> history_size;
    std::atomic<bool> use_on_sync;
    command_node_map_t command_node_map;
    // Recursive. Held while on_sync runs, so that reads of the histories wait for it; never
    // while on_connect or on_shutdown runs.
    Pimo::OS::class_thread_lock command_node_map_mutex;
    kova_object_command* mp;

private:
    // on_sync for one command; the caller holds the mutex.
    void sync(struct_token const& in_token);
    // Forgets the packet's source as a client, then on_shutdown with the packet's error.
    void proc_shutdown(struct_packet const& in_packet);
    // Removes one client with its history, erasing a node left empty; false when it was not
    // there. The caller holds the mutex.
    bool proc_remove(client_addr_t const& in_client);
    // A command disconnect to (in_node, in_did); waits for memory and the center pipe.
    void proc_send_disconnect(struct_node_addr const& in_node, object_id_t in_did);
};

}  // namespace Kova
