// The hidden core of a stub or proxy identity: its id and domain, its handlers by
// message code, its numbering, its announcement to the center and its incoming path.
#pragma once

#include <atomic>

#include <map>
#include <vector>

#include "Kova/Common/Interface/interface_kova_pipe.h"
#include "Kova/Common/Open/Kova/kova_message_address.h"
#include "Kova/Common/Open/Kova/kova_object.h"
#include "Kova/SDK/Interface/interface_object_core.h"
#include "Kova/SDK/Interface/template_handler_map.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {

class _kova_object;
class _kova_object_call;
class _kova_object_signal;
class _kova_object_event;
class _kova_object_information;
class _kova_object_command;
class _kova_object_broadcast;
class _kova_proxy_object;

typedef template_handler_map<_kova_object_call> object_call_map_t;
typedef template_handler_map<_kova_object_signal> object_signal_map_t;
typedef template_handler_map<_kova_object_event> object_event_map_t;
typedef template_handler_map<_kova_object_information> object_information_map_t;
typedef template_handler_map<_kova_object_command> object_command_map_t;
typedef template_handler_map<_kova_object_broadcast> object_broadcast_map_t;
typedef std::map<domain_t, object_id_t> last_object_map_t;

// Base of every stub handler.
class _kova_method {
public:
    _kova_method(_kova_object* pin_op, msg_code_t in_code, interface_kind_t in_kind)
        : _op(pin_op), code(in_code), b_interface(in_kind) {}
    virtual ~_kova_method() {}

    _kova_object* _op;
    msg_code_t code;
    interface_kind_t b_interface;
};

// Base of the handlers of the connection kinds (event, command, information): what the
// core asks of every one of them when clients go or the object ends. On listener
// threads, except disconnect_all_client_object, which the destroy runs.
class _kova_connection_method : public _kova_method {
public:
    using _kova_method::_kova_method;
    // The node's host link is gone: every client of the node, each with on_shutdown.
    virtual void adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) = 0;
    // A proxy object was destroyed: on_shutdown only if it was a client.
    virtual void adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) = 0;
    // Drops every client; tells each node only with in_send.
    virtual void disconnect_all_client_object(bool in_send) = 0;
};

class _kova_object : public SDK::Interface::interface_object_core {
public:
    explicit _kova_object(kova_object* pin_op);
    ~_kova_object() override;
    _kova_object(const _kova_object&) = delete;
    _kova_object& operator=(const _kova_object&) = delete;

    virtual object_id_t get_last_stub_id(domain_t const& in_domain);
    virtual object_id_t get_last_proxy_id(domain_t const& in_domain);

    // The processor's write lock is held.
    kova_err_t create(domain_t const& in_domain, object_id_t const& in_object_id);
    kova_err_t destroy() override;
    kova_err_t destroy_force() override;
    bool is_created() const { return destroy_thread_id == 0; }
    // Carries out a destroy left for the end of a packet, and drops it from the
    // processor's list (a re-create, or the end of the core).
    void proc_finish_deferred();
    // Hands this core's handlers to pout_target: the fresh core of an object that an
    // attached kind re-points, whose integrated kinds were built on it already.
    void proc_move_handlers(_kova_object& pout_target);

    msg_num_t get_msg_num();
    void regist();
    void unregist();

    // Under the write lock; a code present already keeps its handler, and a handler
    // leaves only an entry that holds it.
    void add_call(msg_code_t code, _kova_object_call* p);
    void add_signal(msg_code_t code, _kova_object_signal* p);
    void add_event(msg_code_t code, _kova_object_event* p);
    void add_information(msg_code_t code, _kova_object_information* p);
    void add_command(msg_code_t code, _kova_object_command* p);
    void add_broadcast(msg_code_t code, _kova_object_broadcast* p);
    void del_call(msg_code_t code, _kova_object_call* p);
    void del_signal(msg_code_t code, _kova_object_signal* p);
    void del_event(msg_code_t code, _kova_object_event* p);
    void del_information(msg_code_t code, _kova_object_information* p);
    void del_command(msg_code_t code, _kova_object_command* p);
    void del_broadcast(msg_code_t code, _kova_object_broadcast* p);

    // 8 when the center pipe is full (the token is still the caller's): at once, or after
    // waiting in_wait_s in all for its room; 0 when sent; 5 or -1 when the pipe refused it
    // for good (the token is freed).
    Pimo::OS::vimra_err_t send(struct_token const& in_token, double in_wait_s = 0.0);
    // As send, for a copy whose data block other copies share and the center may be
    // sending from: its header stays in its own block, the data block is not written.
    Pimo::OS::vimra_err_t send_shared(struct_token const& in_token, double in_wait_s = 0.0);
    // 0 when sent; 2 when the packet's time ran out (the token is freed).
    Pimo::OS::vimra_err_t send_force(struct_token const& in_token);

    Pimo::OS::vimra_err_t listener_processor(struct_token& in_token) override;
    void adapter_ctrl(struct_token const& in_token);
    void adapter_proxy(struct_token const& in_token);
    void adapter_call(struct_token const& in_token);
    void adapter_call_cancel(struct_token const& in_token);
    void adapter_signal(struct_token const& in_token);
    void adapter_signal_cancel(struct_token const& in_token);
    void adapter_event_connect(struct_token const& in_token);
    void adapter_event_shutdown(struct_token const& in_token);
    void adapter_information_connect(struct_token const& in_token);
    void adapter_information_shutdown(struct_token const& in_token);
    void adapter_command_connect(struct_token const& in_token);
    void adapter_command_shutdown(struct_token const& in_token);
    void adapter_command_sync(struct_token const& in_token);
    void adapter_err_return(struct_token const& in_token);
    void adapter_tcp_connected_from_client(struct_token const& in_token);
    void adapter_tcp_disconnected_from_client(struct_token const& in_token);
    void adapter_object_created(struct_token const& in_token);
    void adapter_object_destroyed(struct_token const& in_token);
    void adapter_tcp_connected_to_server(struct_token const& in_token);
    void adapter_tcp_disconnected_from_server(struct_token const& in_token);
    // A proxy identity is destroyed through its proxy, which drops the kinds' state too.
    kova_err_t destroy_left() override;

    bool is_proxy() const { return op != nullptr && op->pp != nullptr; }

    Pimo::OS::class_thread_lock seq_num_mutex;
    msg_num_t seq_num;
    Pimo::OS::class_thread_lock last_seq_num_mutex;
    ip_t last_ip;
    object_id_t last_obj_id;
    msg_num_t last_seq_num;
    transaction_t last_transaction;
    msg_code_t last_code;
    object_call_map_t call_map;
    object_signal_map_t signal_map;
    object_event_map_t event_map;
    object_information_map_t information_map;
    object_command_map_t command_map;
    object_broadcast_map_t broadcast_map;
    Common::Interface::interface_kova_pipe* p_center_pipe;
    domain_t domain;
    object_id_t object_id;
    kova_object* op;
    // 0 while created, else the thread that destroyed it (or failed to create it); read by
    // application, listener and timer threads alike.
    std::atomic<Pimo::OS::thread_id_t> destroy_thread_id;
    // The owning proxy's server; set by the proxy core, null for a stub.
    server_addr_t* mp_server_addr;

    static last_object_map_t m_stub_last_object;
    static last_object_map_t m_proxy_last_object;

private:
    // The owning proxy's state when the packet comes from its bound stub (from the
    // stub's host, with in_host_only); null otherwise and for a stub.
    _kova_proxy_object* proc_bound_proxy(struct_token const& in_token, bool in_host_only) const;
    kova_err_t proc_choose_id(domain_t in_domain, object_id_t in_object_id, object_id_t& pout_id);
    void proc_fill_control(struct_token const& in_token, msg_code_t in_code, kova_err_t in_error);
    void proc_regist_maps();
    // Runs in_op on the handler of every connection kind: every event handler, then
    // every command handler, then every information handler.
    template <typename op_t>
    void proc_each_connection(op_t in_op);
    void proc_serial(struct_message_address const& in_address);

    // A destroy marked on a listener thread and not yet carried out.
    bool m_destroy_pending;
    // The serial queues regist gave this object; unregist releases exactly these,
    // whatever handlers came or went in between.
    std::vector<struct_message_address> m_registered;
};

}  // namespace Kova
