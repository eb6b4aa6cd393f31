#include "Kova/SDK/Interface/_kova_object.h"

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/Interface/interface_sdk_object_manager.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/Stub/Broadcast/_kova_object_broadcast.h"
#include "Kova/SDK/Stub/Call/_kova_object_call.h"
#include "Kova/SDK/Stub/Command/_kova_object_command.h"
#include "Kova/SDK/Stub/Event/_kova_object_event.h"
#include "Kova/SDK/Stub/Information/_kova_object_information.h"
#include "Kova/SDK/Stub/Signal/_kova_object_signal.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Common::Interface::proc_alloc_error_return;
using Common::Interface::proc_alloc_header_force;
using Common::Interface::safe_free_token;
using Pimo::OS::class_locker;
using Pimo::OS::class_thread;
using Pimo::OS::class_write_locker;
using Pimo::OS::vimra_err_t;
using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::kova_sdk_processor;

last_object_map_t _kova_object::m_stub_last_object;
last_object_map_t _kova_object::m_proxy_last_object;

namespace {

// Every control code of an object shares the queue of c_mccr_run_object.
const msg_code_t c_ctrl_codes[] = {c_mccr_terminate_object,
                                   c_mccr_object_create,
                                   c_mccr_object_destroy,
                                   c_mccr_process_destroy,
                                   c_mccr_center_shutdown,
                                   c_mccr_object_request,
                                   c_mccr_node_create,
                                   c_mccr_node_destroy,
                                   c_mccr_tcp_connected_from_client,
                                   c_mccr_tcp_disconnected_from_client,
                                   c_mccr_tcp_connected_to_server,
                                   c_mccr_tcp_disconnected_from_server};

const std::size_t c_create_payload = 8;

}  // namespace

_kova_object::_kova_object(kova_object* pin_op)
    : seq_num(0),
      last_ip(0),
      last_obj_id(0),
      last_seq_num(0),
      last_transaction(0),
      last_code(0),
      p_center_pipe(nullptr),
      domain(0),
      object_id(0),
      op(pin_op),
      destroy_thread_id(class_thread::get_current_thread_id()),
      mp_server_addr(nullptr),
      m_destroy_pending(false) {}

_kova_object::~_kova_object() {}

object_id_t _kova_object::get_last_stub_id(domain_t const& in_domain) {
    auto it = m_stub_last_object.find(in_domain);
    return it == m_stub_last_object.end() ? 0 : it->second;
}

object_id_t _kova_object::get_last_proxy_id(domain_t const& in_domain) {
    auto it = m_proxy_last_object.find(in_domain);
    return it == m_proxy_last_object.end() ? 0 : it->second;
}

kova_err_t _kova_object::proc_choose_id(domain_t in_domain, object_id_t in_object_id, object_id_t& pout_id) {
    SDK::Interface::interface_sdk_object_manager* objects = SDK::Interface::gp_object_manager.load();
    if (!objects) return c_kova_err_not_initailize;
    const bool proxy = is_proxy();
    if (in_object_id != 0) {
        const object_id_t id = proxy ? static_cast<object_id_t>(in_object_id | 0x8000)
                                     : static_cast<object_id_t>(in_object_id & 0x7FFF);
        // 0 and 0xFFFF address every stub or every proxy: never an object's own id.
        if (id == c_broadcast_stub_id || id == c_broadcast_proxy_id) return c_kova_err_already_used_id;
        object_id = id;
        const vimra_err_t r = objects->create_object(in_domain, id, this);
        if (r != Pimo::OS::c_vimra_success)
            return r == Pimo::OS::c_vimra_already_exists ? c_kova_err_already_used_id : c_kova_err_unknown;
        pout_id = id;
        return c_kova_err_none;
    }
    const std::uint32_t low = proxy ? 0xC000u : 0x7C00u;
    const std::uint32_t end = proxy ? 0xFFFFu : 0x7FFFu;
    std::uint32_t start = static_cast<object_id_t>((proxy ? get_last_proxy_id(in_domain)
                                                          : get_last_stub_id(in_domain)) + 1);
    if (start == 1 || start == end || start < low || start > end) start = low;
    // From just after the last id to the end, then from the low end up to it. An id taken
    // elsewhere moves the search on; any other failure would fail for every id alike.
    for (std::uint32_t i = 0, span = end - low; i < span; ++i) {
        const std::uint32_t id = start + i < end ? start + i : start + i - span;
        object_id = static_cast<object_id_t>(id);
        const vimra_err_t r = objects->create_object(in_domain, object_id, this);
        if (r == Pimo::OS::c_vimra_success) {
            pout_id = object_id;
            return c_kova_err_none;
        }
        if (r != Pimo::OS::c_vimra_already_exists) return c_kova_err_unknown;
    }
    return c_kova_err_all_id_is_used;
}

void _kova_object::proc_fill_control(struct_token const& in_token, msg_code_t in_code, kova_err_t in_error) {
    struct_packet* p = in_token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    p->initialize_header(0, 0, c_mt_ctrl, in_code, in_error);
    p->set_data(nullptr);
    if (is_proxy()) {
        const server_addr_t server = mp_server_addr ? *mp_server_addr : server_addr_t();
        p->set_destination(server.ip, domain, server.obj_id);
    } else {
        p->set_destination(c_broadcast_ip, domain, c_broadcast_proxy_id);
    }
}

kova_err_t _kova_object::create(domain_t const& in_domain, object_id_t const& in_object_id) {
    SDK::proc_install_sig_finalizer();
    // A destroy still waiting for the end of its packet would otherwise hit the new id.
    proc_finish_deferred();
    if (is_created()) return c_kova_err_already_created;
    const Pimo::OS::thread_id_t self = class_thread::get_current_thread_id();
    if (!gp_processor.load()) {
        destroy_thread_id = self;
        return c_kova_err_not_initailize;
    }
    SDK::Interface::interface_center_manager* centers = SDK::Interface::gp_center_manager.load();
    p_center_pipe = centers ? centers->get_center_pipe(in_domain) : nullptr;
    if (!p_center_pipe) {
        destroy_thread_id = self;
        return c_kova_err_center_shutdown;
    }
    struct_token token;
    if (Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) != c_kova_err_none) {
        destroy_thread_id = self;
        return c_kova_err_empty_kova_memory;
    }
    if (Common::Interface::eproc_alloc_data(token, c_create_payload, __FILE__, __LINE__) != c_kova_err_none) {
        safe_free_token(token, __FILE__, __LINE__);
        destroy_thread_id = self;
        return c_kova_err_empty_kova_memory;
    }
    object_id_t id = 0;
    const kova_err_t chosen = proc_choose_id(in_domain, in_object_id, id);
    if (chosen != c_kova_err_none) {
        safe_free_token(token, __FILE__, __LINE__);
        destroy_thread_id = self;
        return chosen;
    }
    domain = in_domain;
    proc_fill_control(token, is_proxy() ? c_mccr_object_request : c_mccr_object_create, c_kova_err_none);
    const std::uint32_t pid = static_cast<std::uint32_t>(Pimo::OS::get_process_id());
    std::memcpy(token.get_data(), &pid, sizeof(pid));
    regist();
    const vimra_err_t sent = send(token);
    if (sent != Pimo::OS::c_vimra_success) {
        unregist();
        SDK::Interface::gp_object_manager.load()->destroy_object(in_domain, id);
        destroy_thread_id = self;
        if (sent == Pimo::OS::c_vimra_busy) {
            safe_free_token(token, __FILE__, __LINE__);
            return c_kova_err_center_busy;
        }
        return c_kova_err_center_shutdown;  // send freed the token
    }
    destroy_thread_id = 0;
    if (!is_proxy() && id >= 0x7C00 && id <= 0x7FFE) m_stub_last_object[in_domain] = id;
    if (is_proxy() && id >= 0xC000 && id <= 0xFFFE) m_proxy_last_object[in_domain] = id;
    return c_kova_err_none;
}

kova_err_t _kova_object::destroy() {
    if (!is_created()) return c_kova_err_is_not_created;
    if (kova_sdk_processor::is_listen_thread() && gp_processor.load()) {
        destroy_thread_id = class_thread::get_current_thread_id();
        m_destroy_pending = true;
        gp_processor.load()->add_destroy(this);
        return c_kova_err_none;
    }
    return destroy_force();
}

kova_err_t _kova_object::destroy_force() {
    // Already carried out (a re-create or the end of the core came first).
    if (!m_destroy_pending && !is_created()) return c_kova_err_none;
    struct_token token;
    proc_alloc_header_force(token, __FILE__, __LINE__);
    proc_fill_control(token, c_mccr_object_destroy, c_kova_err_object_is_not_exist);
    const vimra_err_t sent = send(token);
    if (sent == Pimo::OS::c_vimra_busy) {
        safe_free_token(token, __FILE__, __LINE__);
        return c_kova_err_center_busy;
    }
    // Any other result: the center has the packet or is gone; the object ends here either way.
    // The clients learn of the end from the announcement, not from disconnects.
    proc_each_connection([](_kova_connection_method& in_handler) { in_handler.disconnect_all_client_object(false); });
    if (SDK::Interface::interface_sdk_object_manager* objects = SDK::Interface::gp_object_manager.load())
        objects->destroy_object(domain, object_id);
    // The values of the information kinds go with the object: nothing is sent after this.
    for (auto& entry : information_map) entry.second->proc_release_values();
    unregist();
    if (mp_server_addr) *mp_server_addr = server_addr_t();
    domain = 0;
    object_id = 0;
    m_destroy_pending = false;
    destroy_thread_id = class_thread::get_current_thread_id();
    return c_kova_err_none;
}

void _kova_object::proc_finish_deferred() {
    if (!m_destroy_pending) return;
    if (kova_sdk_processor* processor = gp_processor.load()) processor->del_destroy(this);
    while (destroy_force() == c_kova_err_center_busy) {
    }
}

template <typename op_t>
void _kova_object::proc_each_connection(op_t in_op) {
    for (auto& entry : event_map) in_op(static_cast<_kova_connection_method&>(*entry.second));
    for (auto& entry : command_map) in_op(static_cast<_kova_connection_method&>(*entry.second));
    for (auto& entry : information_map) in_op(static_cast<_kova_connection_method&>(*entry.second));
}

void _kova_object::proc_move_handlers(_kova_object& pout_target) {
    ::Kova::SDK::SDK_Processor::class_processor_write_hold lock;
    auto repoint = [&](_kova_method& in_handler) { in_handler._op = &pout_target; };
    // The kinds that exist; the others' maps stay empty until they do.
    call_map.proc_move_to(pout_target.call_map, repoint);
    signal_map.proc_move_to(pout_target.signal_map, repoint);
    event_map.proc_move_to(pout_target.event_map, repoint);
    information_map.proc_move_to(pout_target.information_map, repoint);
    command_map.proc_move_to(pout_target.command_map, repoint);
    broadcast_map.proc_move_to(pout_target.broadcast_map, repoint);
}

msg_num_t _kova_object::get_msg_num() {
    class_locker lock(seq_num_mutex);
    return ++seq_num;
}

void _kova_object::proc_serial(struct_message_address const& in_address) {
    gp_processor.load()->msg_processing_by_serial_alone(in_address);
    m_registered.push_back(in_address);
}

void _kova_object::proc_regist_maps() {
    auto one = [&](msg_code_t in_code, transaction_t in_t) {
        proc_serial(struct_message_address(domain, object_id, in_code, in_t));
    };
    if (!is_proxy()) {
        for (const auto& e : call_map) one(e.first, c_transaction_call);
        for (const auto& e : signal_map) one(e.first, c_transaction_signal);
        for (const auto& e : event_map) one(e.first, c_transaction_event);
        for (const auto& e : command_map) one(e.first, c_transaction_command);
        for (const auto& e : information_map) one(e.first, c_transaction_information);
        return;
    }
    // The kinds whose packets come through the listen pipe; replies to calls and
    // signals come through the return pipe.
    const _kova_proxy_object* proxy = op->pp->_pp;
    if (!proxy) return;
    for (const auto& e : proxy->event_map) one(e.first, c_transaction_event);
    for (const auto& e : proxy->command_map) one(e.first, c_transaction_command);
    for (const auto& e : proxy->information_map) one(e.first, c_transaction_information);
    for (const auto& e : proxy->broadcast_map) one(e.first, c_transaction_broadcast);
}

void _kova_object::regist() {
    kova_sdk_processor* processor = gp_processor.load();
    if (!processor) return;
    const struct_message_address run(domain, object_id, c_mccr_run_object, c_transaction_object);
    proc_serial(run);
    for (msg_code_t code : c_ctrl_codes) {
        const struct_message_address a(domain, object_id, code, 0);
        processor->msg_processing_by_serial_group(run, a);
        m_registered.push_back(a);
    }
    proc_regist_maps();
}

void _kova_object::unregist() {
    kova_sdk_processor* processor = gp_processor.load();
    if (processor)
        for (const struct_message_address& a : m_registered) processor->msg_processing_by_parallel(a);
    m_registered.clear();
}

void _kova_object::add_call(msg_code_t code, _kova_object_call* p) { call_map.proc_add(code, p); }
void _kova_object::add_signal(msg_code_t code, _kova_object_signal* p) { signal_map.proc_add(code, p); }
void _kova_object::add_event(msg_code_t code, _kova_object_event* p) { event_map.proc_add(code, p); }
void _kova_object::add_information(msg_code_t code, _kova_object_information* p) { information_map.proc_add(code, p); }
void _kova_object::add_command(msg_code_t code, _kova_object_command* p) { command_map.proc_add(code, p); }
void _kova_object::add_broadcast(msg_code_t code, _kova_object_broadcast* p) { broadcast_map.proc_add(code, p); }
void _kova_object::del_call(msg_code_t code, _kova_object_call* p) { call_map.proc_del(code, p); }
void _kova_object::del_signal(msg_code_t code, _kova_object_signal* p) { signal_map.proc_del(code, p); }
void _kova_object::del_event(msg_code_t code, _kova_object_event* p) { event_map.proc_del(code, p); }
void _kova_object::del_information(msg_code_t code, _kova_object_information* p) { information_map.proc_del(code, p); }
void _kova_object::del_command(msg_code_t code, _kova_object_command* p) { command_map.proc_del(code, p); }
void _kova_object::del_broadcast(msg_code_t code, _kova_object_broadcast* p) { broadcast_map.proc_del(code, p); }

vimra_err_t _kova_object::send(struct_token const& in_token, double in_wait_s) {
    if (in_token.has_data()) std::memcpy(in_token.get_data_packet(), in_token.get_header_packet(), sizeof(struct_packet));
    return send_shared(in_token, in_wait_s);
}

vimra_err_t _kova_object::send_shared(struct_token const& in_token, double in_wait_s) {
    in_token.get_header_packet()->set_source(c_local_host, domain, object_id);
    if (!p_center_pipe) {
        struct_token t = in_token;
        safe_free_token(t, __FILE__, __LINE__);
        return Pimo::OS::c_vimra_unknown;
    }
    if (in_wait_s > 0) {  // frees what it gives up for good itself
        struct_token t = in_token;
        return static_cast<vimra_err_t>(kova_sdk_processor::send_within(p_center_pipe, t, in_wait_s));
    }
    const vimra_err_t r = p_center_pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0);
    if (r == Pimo::OS::c_vimra_success || r == Pimo::OS::c_vimra_busy) return r;
    // Refused for good (pipe shut down or broken): the token is not in the pipe.
    struct_token t = in_token;
    safe_free_token(t, __FILE__, __LINE__);
    return r;
}

vimra_err_t _kova_object::send_force(struct_token const& in_token) {
    in_token.get_header_packet()->set_source(c_local_host, domain, object_id);
    struct_token t = in_token;
    return static_cast<vimra_err_t>(kova_sdk_processor::send_force(p_center_pipe, t));
}

// Incoming ---------------------------------------------------------------------------

vimra_err_t _kova_object::listener_processor(struct_token& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    // A packet queued before the object was destroyed: answering it would send from
    // an address that no longer exists.
    if (!p || !is_created()) return Pimo::OS::c_vimra_success;
    const struct_header& h = p->header;
    {
        class_locker lock(last_seq_num_mutex);
        if (h.num != 0 && h.num == last_seq_num && p->src_ip == last_ip && h.sid == last_obj_id &&
            h.type == last_transaction && h.code == last_code)
            return Pimo::OS::c_vimra_success;
        last_seq_num = h.num;
        last_ip = p->src_ip;
        last_obj_id = h.sid;
        last_transaction = h.type;
        last_code = h.code;
    }
    switch (h.type) {
        case c_mt_ctrl: adapter_ctrl(in_token); break;
        case c_mt_broadcast:
        case c_mt_event_disconnect:
        case c_mt_event:
        case c_mt_command_disconnect:
        case c_mt_information_tcp_disconnect:
        case c_mt_information_tcp:
        case c_mt_information_udp_disconnect:
        case c_mt_information_udp: adapter_proxy(in_token); break;
        case c_mt_call: adapter_call(in_token); break;
        case c_mt_call_cancel: adapter_call_cancel(in_token); break;
        case c_mt_signal: adapter_signal(in_token); break;
        case c_mt_signal_cancel: adapter_signal_cancel(in_token); break;
        case c_mt_event_connect: adapter_event_connect(in_token); break;
        case c_mt_event_shutdown: adapter_event_shutdown(in_token); break;
        case c_mt_command_connect: adapter_command_connect(in_token); break;
        case c_mt_command_shutdown: adapter_command_shutdown(in_token); break;
        case c_mt_command_tcp:
        case c_mt_command_udp: adapter_command_sync(in_token); break;
        case c_mt_information_tcp_connect:
        case c_mt_information_udp_connect: adapter_information_connect(in_token); break;
        case c_mt_information_tcp_shutdown:
        case c_mt_information_udp_shutdown: adapter_information_shutdown(in_token); break;
        default: break;
    }
    return Pimo::OS::c_vimra_success;
}

void _kova_object::adapter_ctrl(struct_token const& in_token) {
    switch (in_token.get_header_packet()->header.code) {
        case c_mccr_tcp_connected_from_client: adapter_tcp_connected_from_client(in_token); break;
        case c_mccr_tcp_disconnected_from_client: adapter_tcp_disconnected_from_client(in_token); break;
        case c_mccr_object_create: adapter_object_created(in_token); break;
        case c_mccr_object_destroy: adapter_object_destroyed(in_token); break;
        case c_mccr_tcp_connected_to_server: adapter_tcp_connected_to_server(in_token); break;
        case c_mccr_tcp_disconnected_from_server: adapter_tcp_disconnected_from_server(in_token); break;
        default: break;
    }
}

void _kova_object::adapter_call(struct_token const& in_token) {
    if (!call_map.proc_dispatch(in_token, &_kova_object_call::adapter_call)) adapter_err_return(in_token);
}

void _kova_object::adapter_call_cancel(struct_token const& in_token) {
    call_map.proc_dispatch(in_token, &_kova_object_call::adapter_call_cancel);
}

void _kova_object::adapter_signal(struct_token const& in_token) {
    if (!signal_map.proc_dispatch(in_token, &_kova_object_signal::adapter_signal)) adapter_err_return(in_token);
}

void _kova_object::adapter_signal_cancel(struct_token const& in_token) {
    signal_map.proc_dispatch(in_token, &_kova_object_signal::adapter_signal_cancel);
}

void _kova_object::adapter_event_connect(struct_token const& in_token) {
    if (!event_map.proc_dispatch(in_token, &_kova_object_event::adapter_connect)) adapter_err_return(in_token);
}

void _kova_object::adapter_event_shutdown(struct_token const& in_token) {
    void (_kova_object_event::*shutdown)(struct_token const&) = &_kova_object_event::adapter_shutdown;
    event_map.proc_dispatch(in_token, shutdown);
}

void _kova_object::adapter_information_connect(struct_token const& in_token) {
    if (!information_map.proc_dispatch(in_token, &_kova_object_information::adapter_connect))
        adapter_err_return(in_token);
}

void _kova_object::adapter_information_shutdown(struct_token const& in_token) {
    void (_kova_object_information::*shutdown)(struct_token const&) = &_kova_object_information::adapter_shutdown;
    information_map.proc_dispatch(in_token, shutdown);
}

void _kova_object::adapter_command_connect(struct_token const& in_token) {
    if (!command_map.proc_dispatch(in_token, &_kova_object_command::adapter_connect)) adapter_err_return(in_token);
}

void _kova_object::adapter_command_shutdown(struct_token const& in_token) {
    void (_kova_object_command::*shutdown)(struct_token const&) = &_kova_object_command::adapter_shutdown;
    command_map.proc_dispatch(in_token, shutdown);
}

void _kova_object::adapter_command_sync(struct_token const& in_token) {
    command_map.proc_dispatch(in_token, &_kova_object_command::adapter_sync);
}

void _kova_object::adapter_err_return(struct_token const& in_token) {
    struct_token answer;
    proc_alloc_error_return(*in_token.get_header_packet(), c_kova_err_not_support_code, answer, __FILE__, __LINE__);
    if (answer.has_header()) send_force(answer);
}

void _kova_object::adapter_tcp_connected_from_client(struct_token const& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    if (op) op->on_connected_tcp(node_addr_t(p->src_ip, p->header.sport));
}

void _kova_object::adapter_tcp_disconnected_from_client(struct_token const& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    const node_addr_t node(p->src_ip, p->header.sport);
    // Every client of the node has its on_shutdown before the object hears of the link.
    proc_each_connection([&](_kova_connection_method& in_handler) { in_handler.adapter_shutdown(node, in_token); });
    if (op) op->on_disconnected_tcp(node);
}

// Proxy identity ---------------------------------------------------------------------

_kova_proxy_object* _kova_object::proc_bound_proxy(struct_token const& in_token, bool in_host_only) const {
    if (!is_proxy() || !op->pp->_pp) return nullptr;
    _kova_proxy_object* proxy = op->pp->_pp;
    const struct_packet* p = in_token.get_header_packet();
    if (p->src_ip != proxy->server_addr.ip) return nullptr;
    if (!in_host_only && p->header.sid != proxy->server_addr.obj_id) return nullptr;
    return proxy;
}

kova_err_t _kova_object::destroy_left() {
    if (is_proxy() && op->pp->_pp) return op->pp->_pp->destroy();
    return destroy();
}

void _kova_object::adapter_proxy(struct_token const& in_token) {
    if (!is_proxy() || !op->pp->_pp) return;
    // Broadcasts come from anyone; the rest only from the bound stub.
    if (in_token.get_header_packet()->header.type == c_mt_broadcast) op->pp->_pp->adapter_proxy(in_token);
    else if (_kova_proxy_object* proxy = proc_bound_proxy(in_token, false)) proxy->adapter_proxy(in_token);
}

void _kova_object::adapter_object_created(struct_token const& in_token) {
    if (_kova_proxy_object* proxy = proc_bound_proxy(in_token, false)) proxy->adapter_object_create(in_token);
}

void _kova_object::adapter_object_destroyed(struct_token const& in_token) {
    if (is_proxy()) {
        if (_kova_proxy_object* proxy = proc_bound_proxy(in_token, false)) proxy->adapter_object_destroy(in_token);
        return;
    }
    // A proxy object went: each connection kind forgets it, if it was a client.
    const client_addr_t client = SDK::Stub::get_client(*in_token.get_header_packet());
    proc_each_connection([&](_kova_connection_method& in_handler) { in_handler.adapter_shutdown(client, in_token); });
}

void _kova_object::adapter_tcp_connected_to_server(struct_token const& in_token) {
    if (_kova_proxy_object* proxy = proc_bound_proxy(in_token, true)) proxy->adapter_connected_to_server(in_token);
}

void _kova_object::adapter_tcp_disconnected_from_server(struct_token const& in_token) {
    if (_kova_proxy_object* proxy = proc_bound_proxy(in_token, true))
        proxy->adapter_disconnected_from_server(in_token);
}

}  // namespace Kova
