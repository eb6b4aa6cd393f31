// The hidden state of a proxy: the bound stub, its liveness and the TCP link to its
// host, the kinds' handlers by message code, and the addressing of what it sends.
#pragma once

#include <atomic>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_proxy_object.h"
#include "Kova/SDK/Interface/template_handler_map.h"
#include "Kova/SDK/sdk_typedef/struct_return_record.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Kova {

class _kova_object;
class _kova_proxy_object;

// Base of every proxy handler.
class _kova_proxy_method {
public:
    _kova_proxy_method(_kova_proxy_object* pin_pp, msg_code_t in_code, interface_kind_t in_kind)
        : _pp(pin_pp), code(in_code), b_interface(in_kind) {}
    virtual ~_kova_proxy_method() {}
    _kova_proxy_method(const _kova_proxy_method&) = delete;
    _kova_proxy_method& operator=(const _kova_proxy_method&) = delete;

    _kova_proxy_object* _pp;
    msg_code_t code;
    interface_kind_t b_interface;

protected:
    // An asynchronous request of in_type to the bound stub, registered for its reply
    // before it leaves. Never null; a failure comes back in the error form.
    return_object_t proc_request(msg_type_t in_type, void const* pin_data, pksize_t in_size, double in_limit);
    // What the kind refuses a request for once the stub is alive (0: nothing); the
    // read lock is held.
    virtual kova_err_t proc_refuse_request() const { return c_kova_err_none; }
    // Waits for the reply of in_return_object and consumes the return object. True:
    // a reply came and pout_reply holds it (the caller frees it). False: pout_result
    // holds the outcome and nothing is left to free. The caller holds the read lock.
    // in_confirm, for the connection kinds, is the type that subscribes: a reply stored
    // as the wait ran out is answered as one that came too late, and a confirm for an
    // identity or a stub that went away during the wait comes back as
    // c_kova_err_is_not_created or c_kova_err_object_is_not_exist.
    bool proc_collect(return_object_t const& in_return_object, double* pout_time, struct_token& pout_reply,
                      kova_err_t& pout_result, msg_type_t in_confirm = 0);
    // A cancel of in_type carrying in_error; waits for memory and for the center pipe.
    void proc_cancel(msg_type_t in_type, kova_err_t in_error);
    // A header-only packet of in_type to the bound stub with no time limit, sent with
    // retries; the read lock is held and the identity is created. in_mct_if tells the
    // proxy's center which multicast membership the packet concerns.
    void proc_send_notice(msg_type_t in_type, msg_num_t in_num, kova_err_t in_error, ip_t in_mct_if = c_local_host);
};

// Base of the handlers of the connection kinds (event, command, information): what the
// proxy core asks of every one of them when the stub or the identity goes. Each kind
// adds what only it receives.
class _kova_proxy_connection_method : public _kova_proxy_method {
public:
    using _kova_proxy_method::_kova_proxy_method;
    // The stub ended the subscription, or is gone.
    virtual void adapter_disconnect(struct_token const& in_token) = 0;
    // Drops the subscription; sends the shutdown only when in_send.
    virtual void shutdown(bool in_send) = 0;

protected:
    // async_connect_return of the kinds: waits for the answer to a connect whose confirm
    // has the type in_confirm and consumes the return object. The result: 0 with
    // pout_confirmed set when the stub confirmed; a reject's error (the stub's on_connect
    // result or a center's delivery error); or why no answer counts. Takes the read lock.
    kova_err_t proc_connect_return(return_object_t const& in_return_object, double* pout_time, msg_type_t in_confirm,
                                   bool& pout_confirmed);
};

class _kova_proxy_event_method : public _kova_proxy_connection_method {
public:
    using _kova_proxy_connection_method::_kova_proxy_connection_method;
    virtual void adapter_event(struct_token const& in_token) = 0;
};

class _kova_proxy_information_method : public _kova_proxy_connection_method {
public:
    using _kova_proxy_connection_method::_kova_proxy_connection_method;
    virtual void adapter_sync(struct_token const& in_token) = 0;
};

class _kova_proxy_command_method : public _kova_proxy_connection_method {
public:
    using _kova_proxy_connection_method::_kova_proxy_connection_method;
    // Releases the command blocks and the history once the identity is destroyed.
    virtual void proc_release_command() = 0;
};

class _kova_proxy_broadcast_method : public _kova_proxy_method {
public:
    using _kova_proxy_method::_kova_proxy_method;
    virtual void adapter_broadcast(struct_token const& in_token) = 0;
};

class _kova_proxy_object_call;
class _kova_proxy_object_signal;

typedef template_handler_map<_kova_proxy_object_call> proxy_call_map_t;
typedef template_handler_map<_kova_proxy_object_signal> proxy_signal_map_t;
typedef template_handler_map<_kova_proxy_event_method> proxy_event_map_t;
typedef template_handler_map<_kova_proxy_information_method> proxy_information_map_t;
typedef template_handler_map<_kova_proxy_command_method> proxy_command_map_t;
typedef template_handler_map<_kova_proxy_broadcast_method> proxy_broadcast_map_t;

class _kova_proxy_object {
public:
    _kova_proxy_object(kova_proxy_object* pin_pp, _kova_object* pin_op);
    ~_kova_proxy_object();
    _kova_proxy_object(const _kova_proxy_object&) = delete;
    _kova_proxy_object& operator=(const _kova_proxy_object&) = delete;

    // The processor's write lock is held.
    kova_err_t create(domain_t const& in_domain, ip_t const& in_server_ip, object_id_t const& in_stub_object_id,
                      object_id_t const& in_proxy_object_id);
    kova_err_t destroy();
    bool is_live() const { return live_state; }
    bool is_connected_tcp() const { return tcp_connection; }
    // 0 while the identity and the stub that a request of in_key made at in_epoch
    // went to are still the ones bound; else why not.
    kova_err_t proc_check_binding(struct_return_key const& in_key, unsigned in_epoch) const;

    // Under the write lock; a code present already keeps its handler (the kind's two
    // lines go to standard error), and a handler leaves only an entry that holds it.
    void add_call(msg_code_t in_code, _kova_proxy_object_call* pin_handler);
    void add_signal(msg_code_t in_code, _kova_proxy_object_signal* pin_handler);
    void add_event(msg_code_t in_code, _kova_proxy_event_method* pin_handler);
    void add_information(msg_code_t in_code, _kova_proxy_information_method* pin_handler);
    void add_command(msg_code_t in_code, _kova_proxy_command_method* pin_handler);
    void add_broadcast(msg_code_t in_code, _kova_proxy_broadcast_method* pin_handler);
    void del_call(msg_code_t in_code, _kova_proxy_object_call* pin_handler);
    void del_signal(msg_code_t in_code, _kova_proxy_object_signal* pin_handler);
    void del_event(msg_code_t in_code, _kova_proxy_event_method* pin_handler);
    void del_information(msg_code_t in_code, _kova_proxy_information_method* pin_handler);
    void del_command(msg_code_t in_code, _kova_proxy_command_method* pin_handler);
    void del_broadcast(msg_code_t in_code, _kova_proxy_broadcast_method* pin_handler);
    // Hands every handler of this state over to pout_target (an attached kind whose
    // own proxy is dropped).
    void proc_move_handlers(_kova_proxy_object& pout_target);

    // Proxy-bound packets from the bound stub (broadcasts from anyone).
    void adapter_proxy(struct_token const& in_token);
    void adapter_event(struct_token const& in_token);
    void adapter_information(struct_token const& in_token);
    void adapter_broadcast(struct_token const& in_token);
    void adapter_event_disconnect(struct_token const& in_token);
    void adapter_information_disconnect(struct_token const& in_token);
    void adapter_command_disconnect(struct_token const& in_token);

    // Control packets about the bound stub and its host.
    void adapter_object_create(struct_token const& in_token);
    void adapter_object_destroy(struct_token const& in_token);
    void adapter_connected_to_server(struct_token const& in_token);
    void adapter_disconnected_from_server(struct_token const& in_token);

    // Address the packet to the bound stub and send it through the identity: once, or
    // waiting for room up to in_wait_s in all (8 when the center pipe is still full and the
    // token is still the caller's, else 0), or retried until the packet's time is spent.
    int send(struct_token const& in_token, double in_wait_s = 0.0);
    int send_force(struct_token const& in_token);

    // The bound stub is announced (listeners write it, application threads read it).
    std::atomic<bool> live_state;
    domain_t domain;
    proxy_call_map_t call_map;
    proxy_signal_map_t signal_map;
    proxy_event_map_t event_map;
    proxy_information_map_t information_map;
    proxy_command_map_t command_map;
    proxy_broadcast_map_t broadcast_map;
    server_addr_t server_addr;
    // The link to the stub's host is up (listeners write it, application threads read it).
    std::atomic<bool> tcp_connection;
    _kova_object* _op;
    kova_proxy_object* pp;
    // Counts the ends of the binding (the stub announced gone, the link to its host
    // lost, the identity destroyed): an answer to a request made before belongs to
    // neither the stub nor the identity bound now. Listeners write it.
    std::atomic<unsigned> stub_epoch;

private:
    // Runs in_op on the handler of every connection kind: every event handler, then
    // every information handler, then every command handler.
    template <typename op_t>
    void proc_each_connection(op_t in_op);
};

}  // namespace Kova
