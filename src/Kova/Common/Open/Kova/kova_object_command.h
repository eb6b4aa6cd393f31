// The command stub: proxies connect to the commands of its code and push their current
// command to it, on each post or periodically; the stub keeps each client's latest commands.
#pragma once

#include "kova_history.h"
#include "kova_object.h"

namespace Kova {

class _kova_object_command;

class KOVA_API kova_object_command : public virtual kova_object {
protected:
    explicit kova_object_command(const msg_code_t& in_code);
    // Attached to in_kova_object: serves under that object's id.
    kova_object_command(const msg_code_t& in_code, const kova_object& in_kova_object);
    ~kova_object_command() override;
    kova_object_command(kova_object_command const&) = delete;
    kova_object_command& operator=(kova_object_command const&) = delete;

    // Node ip c_broadcast_ip: every client; object id c_broadcast_proxy_id: every client of
    // that node; otherwise that one client. The clients reached are told; none of these
    // calls on_shutdown.
    void disconnect(const client_addr_t& in_client_addr);
    void disconnect_all_client_object();
    void disconnect_one_client_node(const struct_node_addr& in_node_addr);
    void disconnect_one_client_object(const client_addr_t& in_client_addr);
    // False: commands are still kept, but on_sync is not called.
    void set_sync(const bool& in_use_on_sync);
    // Commands kept per client (1 at first); a client's history is cut to it at its next
    // command, and 0 keeps none.
    void set_history_size(const kova_size_t& in_history_size);
    // Connected clients over all nodes; 0 when the object is not created.
    unsigned int get_client_count();
    // Up to in_size clients into pio_client_addr, nodes in order and by object id within a
    // node; how many were written (0 when not created or without a buffer).
    kova_size_t get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size);
    // Up to in_size of the client's latest commands, newest first, for a kova_history to
    // own; empty for a client that is not connected, null when the object is not created.
    letter_case_t see_history(const client_addr_t& in_client_addr, kova_size_t in_size);
    // The client's newest command into pin_data: *pin_size bytes at most, and *pin_size
    // becomes its size when that is smaller. c_kova_err_empty_history when there is none.
    kova_err_t read(const client_addr_t& in_client_addr, void* pin_data, pksize_t* pin_size);

private:
    friend class _kova_object_command;
    // A command of a connected client. in_sync_model: c_sender_sync_model_on_post when it
    // was sent on a post, c_sender_sync_model_on_timer when periodically; in_limit: the
    // time it may still spend (its period, less the way). pin_buffer is null for a command
    // without payload and valid only during the call.
    virtual void on_sync(const client_addr_t& in_client, const sender_sync_model_t& in_sync_model,
                         const double& in_elapsed_time, const double& in_limit, const void* pin_buffer,
                         pksize_t in_size);
    // A proxy asks to connect; 0 accepts, anything else is its reject's error.
    virtual kova_err_t on_connect(const client_addr_t& in_client, const double& in_packet_live_time,
                                  const double& in_packet_limit_time);
    // A connection ended from the proxy's side or with it; get_last_error() tells why.
    virtual void on_shutdown(const client_addr_t& in_client);

    _kova_object_command* _mp;
};

}  // namespace Kova
