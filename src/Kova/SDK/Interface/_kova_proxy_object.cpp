#include "Kova/SDK/Interface/_kova_proxy_object.h"

#include <cfloat>
#include <cstring>
#include <memory>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Proxy/Call/_kova_proxy_object_call.h"
#include "Kova/SDK/Proxy/Signal/_kova_proxy_object_signal.h"
#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Common::Interface::safe_free_token;
using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::kova_sdk_processor;

namespace {

// The bound stub counts as local however its loop-back address was written.
ip_t proc_server_ip(ip_t in_ip) { return (in_ip & 0xFFu) == c_local_host_net ? c_local_host : in_ip; }

double seconds_since(kova_clock_t in_clock) {
    const double hz = static_cast<double>(Pimo::OS::vimra_cpu_hz());
    const kova_clock_t now = Pimo::OS::vimra_cpu_clock();
    if (!(hz > 0.1) || now < in_clock) return 0.0;
    return static_cast<double>(now - in_clock) / hz;
}

}  // namespace

// Proxy state ------------------------------------------------------------------------

_kova_proxy_object::_kova_proxy_object(kova_proxy_object* pin_pp, _kova_object* pin_op)
    : live_state(false),
      domain(0),
      call_map("중복된 코드값의 프록시 콜 삽입입니다\n", "삽입된 콜은 정상 동작하지 않을 가능성이 높습니다\n"),
      signal_map("중복된 코드값의 프록시 시그널 삽입입니다\n", "삽입된 시그널은 정상 동작하지 않을 가능성이 높습니다\n"),
      event_map("중복된 코드값의 프록시 이벤트 삽입입니다\n", "삽입된 이벤트는 정상 동작하지 않을 가능성이 높습니다\n"),
      information_map("중복된 코드값의 프록시 인포메이션 삽입입니다\n",
                      "삽입된 인포메이션은 정상 동작하지 않을 가능성이 높습니다\n"),
      command_map("중복된 코드값의 프록시 커맨드 삽입입니다.\n", "삽입된 커맨드는 정상 동작하지 않을 가능성이 높습니다.\n"),
      broadcast_map("중복된 코드값의 프록시 데이터그램 삽입입니다.\n",
                    "삽입된 데이터그램은 정상 동작하지 않을 가능성이 높습니다.\n"),
      tcp_connection(false),
      _op(pin_op),
      pp(pin_pp),
      stub_epoch(0) {
    // Announcements and destroys of the identity go to the bound stub.
    if (_op) _op->mp_server_addr = &server_addr;
}

// The identity, which points at server_addr, is deleted before this state.
_kova_proxy_object::~_kova_proxy_object() {}

kova_err_t _kova_proxy_object::create(domain_t const& in_domain, ip_t const& in_server_ip,
                                      object_id_t const& in_stub_object_id, object_id_t const& in_proxy_object_id) {
    if (!gp_processor.load()) return c_kova_err_not_initailize;
    if (_op->is_created()) return c_kova_err_already_created;
    domain = in_domain;
    server_addr = server_addr_t(proc_server_ip(in_server_ip), in_stub_object_id);
    return _op->create(in_domain, in_proxy_object_id);
}

template <typename op_t>
void _kova_proxy_object::proc_each_connection(op_t in_op) {
    for (auto& entry : event_map) in_op(*entry.second);
    for (auto& entry : information_map) in_op(*entry.second);
    for (auto& entry : command_map) in_op(*entry.second);
}

kova_err_t _kova_proxy_object::destroy() {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    const domain_t identity_domain = _op->domain;
    const object_id_t identity = _op->object_id;
    // Every subscription is dropped locally, nothing sent for it, before the identity goes:
    // a command's timer ticks send without the processor's lock and must find their
    // connection ended before the identity's address is cleared. Every caller repeats a
    // destroy that found the center pipe full until it is done.
    proc_each_connection([](_kova_proxy_connection_method& in_handler) { in_handler.shutdown(false); });
    const kova_err_t r = _op->destroy();
    if (r != c_kova_err_none) return r;
    // Requests still waiting would otherwise wait out their limits for replies that
    // are addressed to an identity that is gone.
    if (kova_sdk_processor* processor = gp_processor.load()) processor->proc_end_requests(identity_domain, identity);
    // The command kind keeps blocks and a history beyond its subscription.
    for (auto& entry : command_map) entry.second->proc_release_command();
    live_state = false;
    ++stub_epoch;
    return c_kova_err_none;
}

kova_err_t _kova_proxy_object::proc_check_binding(struct_return_key const& in_key, unsigned in_epoch) const {
    if (!_op->is_created() || _op->domain != in_key.domain || _op->object_id != in_key.req_id)
        return c_kova_err_is_not_created;
    if (!live_state || stub_epoch.load() != in_epoch || server_addr.ip != in_key.ip ||
        server_addr.obj_id != in_key.obj_id)
        return c_kova_err_object_is_not_exist;
    return c_kova_err_none;
}

void _kova_proxy_object::add_call(msg_code_t in_code, _kova_proxy_object_call* pin_handler) {
    call_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::add_signal(msg_code_t in_code, _kova_proxy_object_signal* pin_handler) {
    signal_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::add_event(msg_code_t in_code, _kova_proxy_event_method* pin_handler) {
    event_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::add_information(msg_code_t in_code, _kova_proxy_information_method* pin_handler) {
    information_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::add_command(msg_code_t in_code, _kova_proxy_command_method* pin_handler) {
    command_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::add_broadcast(msg_code_t in_code, _kova_proxy_broadcast_method* pin_handler) {
    broadcast_map.proc_add(in_code, pin_handler);
}
void _kova_proxy_object::del_call(msg_code_t in_code, _kova_proxy_object_call* pin_handler) {
    call_map.proc_del(in_code, pin_handler);
}
void _kova_proxy_object::del_signal(msg_code_t in_code, _kova_proxy_object_signal* pin_handler) {
    signal_map.proc_del(in_code, pin_handler);
}
void _kova_proxy_object::del_event(msg_code_t in_code, _kova_proxy_event_method* pin_handler) {
    event_map.proc_del(in_code, pin_handler);
}
void _kova_proxy_object::del_information(msg_code_t in_code, _kova_proxy_information_method* pin_handler) {
    information_map.proc_del(in_code, pin_handler);
}
void _kova_proxy_object::del_command(msg_code_t in_code, _kova_proxy_command_method* pin_handler) {
    command_map.proc_del(in_code, pin_handler);
}
void _kova_proxy_object::del_broadcast(msg_code_t in_code, _kova_proxy_broadcast_method* pin_handler) {
    broadcast_map.proc_del(in_code, pin_handler);
}

void _kova_proxy_object::proc_move_handlers(_kova_proxy_object& pout_target) {
    ::Kova::SDK::SDK_Processor::class_processor_write_hold lock;
    auto repoint = [&](_kova_proxy_method& in_handler) { in_handler._pp = &pout_target; };
    call_map.proc_move_to(pout_target.call_map, repoint);
    signal_map.proc_move_to(pout_target.signal_map, repoint);
    event_map.proc_move_to(pout_target.event_map, repoint);
    information_map.proc_move_to(pout_target.information_map, repoint);
    command_map.proc_move_to(pout_target.command_map, repoint);
    broadcast_map.proc_move_to(pout_target.broadcast_map, repoint);
}

// Incoming -------------------------------------------------------------------------

void _kova_proxy_object::adapter_proxy(struct_token const& in_token) {
    switch (in_token.get_header_packet()->header.type) {
        case c_mt_event: adapter_event(in_token); break;
        case c_mt_event_disconnect: adapter_event_disconnect(in_token); break;
        case c_mt_information_tcp:
        case c_mt_information_udp: adapter_information(in_token); break;
        case c_mt_information_tcp_disconnect:
        case c_mt_information_udp_disconnect: adapter_information_disconnect(in_token); break;
        case c_mt_command_disconnect: adapter_command_disconnect(in_token); break;
        case c_mt_broadcast: adapter_broadcast(in_token); break;
        default: break;
    }
}

void _kova_proxy_object::adapter_event(struct_token const& in_token) {
    event_map.proc_dispatch(in_token, &_kova_proxy_event_method::adapter_event);
}
void _kova_proxy_object::adapter_information(struct_token const& in_token) {
    information_map.proc_dispatch(in_token, &_kova_proxy_information_method::adapter_sync);
}
void _kova_proxy_object::adapter_broadcast(struct_token const& in_token) {
    broadcast_map.proc_dispatch(in_token, &_kova_proxy_broadcast_method::adapter_broadcast);
}
void _kova_proxy_object::adapter_event_disconnect(struct_token const& in_token) {
    event_map.proc_dispatch(in_token, &_kova_proxy_event_method::adapter_disconnect);
}
void _kova_proxy_object::adapter_information_disconnect(struct_token const& in_token) {
    information_map.proc_dispatch(in_token, &_kova_proxy_information_method::adapter_disconnect);
}
void _kova_proxy_object::adapter_command_disconnect(struct_token const& in_token) {
    command_map.proc_dispatch(in_token, &_kova_proxy_command_method::adapter_disconnect);
}

void _kova_proxy_object::adapter_object_create(struct_token const&) {
    if (live_state.exchange(true)) return;
    pp->on_object_create();
}

void _kova_proxy_object::adapter_object_destroy(struct_token const& in_token) {
    if (!live_state.exchange(false)) return;
    ++stub_epoch;
    proc_each_connection(
        [&](_kova_proxy_connection_method& in_handler) { in_handler.adapter_disconnect(in_token); });
    pp->on_object_destroy();
}

void _kova_proxy_object::adapter_connected_to_server(struct_token const&) {
    tcp_connection = true;
    pp->on_connected_tcp();
}

void _kova_proxy_object::adapter_disconnected_from_server(struct_token const& in_token) {
    tcp_connection = false;
    adapter_object_destroy(in_token);
    pp->on_disconnected_tcp();
}

// Outgoing -------------------------------------------------------------------------

int _kova_proxy_object::send(struct_token const& in_token, double in_wait_s) {
    in_token.get_header_packet()->set_destination(server_addr, _op->domain);
    // A pipe that refused for good has freed the token: the request then times out.
    return _op->send(in_token, in_wait_s) == Pimo::OS::c_vimra_busy ? Pimo::OS::c_vimra_busy : 0;
}

int _kova_proxy_object::send_force(struct_token const& in_token) {
    in_token.get_header_packet()->set_destination(server_addr, _op->domain);
    return _op->send_force(in_token);
}

// Requests shared by the kinds -------------------------------------------------------

return_object_t _kova_proxy_method::proc_request(msg_type_t in_type, void const* pin_data, pksize_t in_size,
                                                 double in_limit) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    const kova_clock_t clock = Pimo::OS::vimra_cpu_clock();
    kova_sdk_processor* processor = gp_processor.load();
    _kova_object* op = _pp->_op;
    if (!processor || !op->is_created()) return new struct_return_object(c_kova_err_is_not_created);
    if (!_pp->is_live())
        return new struct_return_object(_pp->is_connected_tcp() ? c_kova_err_object_is_not_exist
                                                                : c_kova_err_not_connected_tcp);
    if (const kova_err_t refused = proc_refuse_request()) return new struct_return_object(refused);
    // Without data nothing can fill the payload the size promises.
    if (!pin_data && in_size != 0) return new struct_return_object(c_kova_err_boundout_buffer);
    struct_token token;
    if (Common::Interface::eproc_alloc_packet(token, in_size, __FILE__, __LINE__) != c_kova_err_none) {
        if (token.has_header()) safe_free_token(token, __FILE__, __LINE__);
        return new struct_return_object(c_kova_err_empty_kova_memory);
    }
    std::unique_ptr<struct_return_object> result(new struct_return_object);
    std::unique_ptr<struct_return_record> record(new struct_return_record);
    result->key = struct_return_key(_pp->server_addr.ip, op->domain, _pp->server_addr.obj_id, in_type, code,
                                    op->get_msg_num(), op->object_id);
    record->limit = in_limit;
    record->clock = clock;
    record->epoch = _pp->stub_epoch.load();
    processor->add_return(result->key, record.get());

    struct_packet* p = token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, clock, in_limit);
    p->initialize_header(in_size, result->key.msg_num, in_type, code, c_kova_err_none);
    p->set_data(nullptr);
    if (in_size != 0) std::memcpy(token.get_data(), pin_data, in_size);
    if (_pp->send(token) == Pimo::OS::c_vimra_busy) {
        safe_free_token(token, __FILE__, __LINE__);
        processor->del_return(result->key, record.get());
        // A wake (the stub's destroy, a lost link) may have stored its packet meanwhile.
        if (record->token.has_header() || record->token.has_data())
            safe_free_token(record->token, __FILE__, __LINE__);
        return new struct_return_object(c_kova_err_busy_localhost);
    }
    // The caller's from here: collecting the reply frees both.
    result->p_value = record.release();
    return result.release();
}

bool _kova_proxy_method::proc_collect(return_object_t const& in_return_object, double* pout_time,
                                      struct_token& pout_reply, kova_err_t& pout_result, msg_type_t in_confirm) {
    if (!in_return_object) {
        pout_result = c_kova_err_null_return_object;
        return false;
    }
    kova_sdk_processor* processor = gp_processor.load();
    const std::unique_ptr<struct_return_object> object(in_return_object);
    const std::unique_ptr<struct_return_record> record(object->p_value);
    pout_reply.reset();
    if (object->key.err != c_kova_err_none || !record || !processor) {
        // The error form was never registered.
        pout_result = object->key.err != c_kova_err_none ? object->key.err : c_kova_err_is_not_created;
        return false;
    }
    bool replied = false;
    if (!_pp->_op->is_created()) {
        pout_result = c_kova_err_is_not_created;
    } else {
        double remaining = record->limit - seconds_since(record->clock);
        if (!(remaining > 0.0)) remaining = 0.0;
        // Counted inside the SDK while the lock is given up, so that a finalize, which wakes
        // the request, frees nothing before this thread has the lock back and leaves.
        SDK::SDK_Processor::class_sdk_entry entry;
        if (!entry.get()) {
            pout_result = c_kova_err_is_not_created;
        } else {
            {
                Pimo::OS::class_read_unlocker unlock(processor);
                const Pimo::OS::vimra_err_t r = Pimo::OS::is_max_infinite(remaining)
                                                    ? record->event.eproc_wait()
                                                    : record->event.eproc_wait_timeout(remaining);
                replied = r == Pimo::OS::c_vimra_success;
            }
            pout_result = replied ? c_kova_err_none : c_kova_err_local_timeout;
            if (pout_time) *pout_time = seconds_since(record->clock);
        }
    }
    processor->del_return(object->key, record.get());
    // The returner stores nothing once the key is gone: the token is ours now.
    if (replied && !record->token.has_header()) {
        // Woken without a reply: the identity was destroyed while this request waited.
        pout_result = c_kova_err_is_not_created;
        replied = false;
    } else if (replied && in_confirm != 0 && record->token.get_header_packet()->header.type == in_confirm) {
        // A confirm set up for what was bound when the request left; it holds nothing now.
        pout_result = _pp->proc_check_binding(object->key, record->epoch);
        replied = pout_result == c_kova_err_none;
    }
    if (replied) {
        pout_reply = record->token;
    } else if (record->token.has_header() || record->token.has_data()) {
        // Stored just as the wait ran out: a stub that set up a connection must learn
        // that nobody took it, as it would from the returner a moment later.
        if (in_confirm != 0 && pout_result == c_kova_err_local_timeout) processor->proc_answer_late(record->token);
        else safe_free_token(record->token, __FILE__, __LINE__);
    }
    return replied;
}

kova_err_t _kova_proxy_connection_method::proc_connect_return(return_object_t const& in_return_object,
                                                             double* pout_time, msg_type_t in_confirm,
                                                             bool& pout_confirmed) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    pout_confirmed = false;
    kova_err_t result = c_kova_err_none;
    struct_token reply;
    if (!proc_collect(in_return_object, pout_time, reply, result, in_confirm)) return result;
    const struct_packet* p = reply.get_header_packet();
    // A reject carries the stub's on_connect result or a center's delivery error; a wake by
    // the stub's destroy or a lost link the reason it carries.
    result = p->header.error;
    pout_confirmed = p->header.type == in_confirm;
    safe_free_token(reply, __FILE__, __LINE__);
    return result;
}

void _kova_proxy_method::proc_cancel(msg_type_t in_type, kova_err_t in_error) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    if (!_pp->_op->is_created()) return;
    proc_send_notice(in_type, 0, in_error);
}

void _kova_proxy_method::proc_send_notice(msg_type_t in_type, msg_num_t in_num, kova_err_t in_error,
                                          ip_t in_mct_if) {
    struct_token token;
    Common::Interface::proc_alloc_header_force(token, __FILE__, __LINE__);
    struct_packet* p = token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(in_mct_if, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    p->initialize_header(0, in_num, in_type, code, in_error);
    p->set_data(nullptr);
    _pp->send_force(token);
}

}  // namespace Kova
