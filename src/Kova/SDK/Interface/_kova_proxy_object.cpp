#include "Kova/SDK/Interface/_kova_proxy_object.h"

#include <cfloat>
#include <cstdio>
#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Proxy/Call/_kova_proxy_object_call.h"
#include "Kova/SDK/Proxy/Signal/_kova_proxy_object_signal.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Common::Interface::safe_free_token;
using SDK::SDK_Processor::gp_processor;
using SDK::SDK_Processor::kova_sdk_processor;

namespace {

struct duplicate_lines {
    const char* first;
    const char* second;
};

const duplicate_lines c_dup_call = {"중복된 코드값의 프록시 콜 삽입입니다\n",
                                    "삽입된 콜은 정상 동작하지 않을 가능성이 높습니다\n"};
const duplicate_lines c_dup_signal = {"중복된 코드값의 프록시 시그널 삽입입니다\n",
                                      "삽입된 시그널은 정상 동작하지 않을 가능성이 높습니다\n"};
const duplicate_lines c_dup_event = {"중복된 코드값의 프록시 이벤트 삽입입니다\n",
                                     "삽입된 이벤트는 정상 동작하지 않을 가능성이 높습니다\n"};
const duplicate_lines c_dup_information = {"중복된 코드값의 프록시 인포메이션 삽입입니다\n",
                                           "삽입된 인포메이션은 정상 동작하지 않을 가능성이 높습니다\n"};
const duplicate_lines c_dup_command = {"중복된 코드값의 프록시 커맨드 삽입입니다.\n",
                                       "삽입된 커맨드는 정상 동작하지 않을 가능성이 높습니다.\n"};
const duplicate_lines c_dup_broadcast = {"중복된 코드값의 프록시 데이터그램 삽입입니다.\n",
                                         "삽입된 데이터그램은 정상 동작하지 않을 가능성이 높습니다.\n"};

template <typename map_t, typename handler_t>
void proc_add(map_t& pout_map, msg_code_t in_code, handler_t* pin_handler, const duplicate_lines& in_lines) {
    Pimo::OS::class_write_locker lock(gp_processor.load());
    if (!pout_map.insert(std::make_pair(in_code, pin_handler)).second) {
        std::fputs(in_lines.first, stderr);
        std::fputs(in_lines.second, stderr);
    }
}

template <typename map_t>
void proc_del(map_t& pout_map, msg_code_t in_code) {
    Pimo::OS::class_write_locker lock(gp_processor.load());
    pout_map.erase(in_code);
}

template <typename map_t>
void proc_move(map_t& pin_from, map_t& pout_to, _kova_proxy_object* pin_target, const duplicate_lines& in_lines) {
    for (auto& entry : pin_from) {
        entry.second->_pp = pin_target;
        if (!pout_to.insert(entry).second) {
            std::fputs(in_lines.first, stderr);
            std::fputs(in_lines.second, stderr);
        }
    }
    pin_from.clear();
}

// Hands the token to the handler of its code, if one is registered.
template <typename map_t, typename entry_t>
void proc_dispatch(map_t& in_map, struct_token const& in_token, entry_t in_entry) {
    auto it = in_map.find(in_token.get_header_packet()->header.code);
    if (it != in_map.end()) (it->second->*in_entry)(in_token);
}

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
    : live_state(false), domain(0), tcp_connection(false), _op(pin_op), pp(pin_pp), stub_epoch(0) {
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

kova_err_t _kova_proxy_object::destroy() {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    const domain_t identity_domain = _op->domain;
    const object_id_t identity = _op->object_id;
    const kova_err_t r = _op->destroy();
    if (r != c_kova_err_none) return r;
    // Requests still waiting would otherwise wait out their limits for replies that
    // are addressed to an identity that is gone.
    if (kova_sdk_processor* processor = gp_processor.load()) processor->proc_end_requests(identity_domain, identity);
    for (auto& entry : event_map) entry.second->shutdown(false);
    for (auto& entry : information_map) entry.second->shutdown(false);
    for (auto& entry : command_map) {
        entry.second->shutdown(false);
        entry.second->proc_release_command();
    }
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
    proc_add(call_map, in_code, pin_handler, c_dup_call);
}
void _kova_proxy_object::add_signal(msg_code_t in_code, _kova_proxy_object_signal* pin_handler) {
    proc_add(signal_map, in_code, pin_handler, c_dup_signal);
}
void _kova_proxy_object::add_event(msg_code_t in_code, _kova_proxy_event_method* pin_handler) {
    proc_add(event_map, in_code, pin_handler, c_dup_event);
}
void _kova_proxy_object::add_information(msg_code_t in_code, _kova_proxy_information_method* pin_handler) {
    proc_add(information_map, in_code, pin_handler, c_dup_information);
}
void _kova_proxy_object::add_command(msg_code_t in_code, _kova_proxy_command_method* pin_handler) {
    proc_add(command_map, in_code, pin_handler, c_dup_command);
}
void _kova_proxy_object::add_broadcast(msg_code_t in_code, _kova_proxy_broadcast_method* pin_handler) {
    proc_add(broadcast_map, in_code, pin_handler, c_dup_broadcast);
}
void _kova_proxy_object::del_call(msg_code_t in_code) { proc_del(call_map, in_code); }
void _kova_proxy_object::del_signal(msg_code_t in_code) { proc_del(signal_map, in_code); }
void _kova_proxy_object::del_event(msg_code_t in_code) { proc_del(event_map, in_code); }
void _kova_proxy_object::del_information(msg_code_t in_code) { proc_del(information_map, in_code); }
void _kova_proxy_object::del_command(msg_code_t in_code) { proc_del(command_map, in_code); }
void _kova_proxy_object::del_broadcast(msg_code_t in_code) { proc_del(broadcast_map, in_code); }

void _kova_proxy_object::proc_move_handlers(_kova_proxy_object& pout_target) {
    Pimo::OS::class_write_locker lock(gp_processor.load());
    proc_move(call_map, pout_target.call_map, &pout_target, c_dup_call);
    proc_move(signal_map, pout_target.signal_map, &pout_target, c_dup_signal);
    proc_move(event_map, pout_target.event_map, &pout_target, c_dup_event);
    proc_move(information_map, pout_target.information_map, &pout_target, c_dup_information);
    proc_move(command_map, pout_target.command_map, &pout_target, c_dup_command);
    proc_move(broadcast_map, pout_target.broadcast_map, &pout_target, c_dup_broadcast);
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
    proc_dispatch(event_map, in_token, &_kova_proxy_event_method::adapter_event);
}
void _kova_proxy_object::adapter_information(struct_token const& in_token) {
    proc_dispatch(information_map, in_token, &_kova_proxy_information_method::adapter_sync);
}
void _kova_proxy_object::adapter_broadcast(struct_token const& in_token) {
    proc_dispatch(broadcast_map, in_token, &_kova_proxy_broadcast_method::adapter_broadcast);
}
void _kova_proxy_object::adapter_event_disconnect(struct_token const& in_token) {
    proc_dispatch(event_map, in_token, &_kova_proxy_event_method::adapter_disconnect);
}
void _kova_proxy_object::adapter_information_disconnect(struct_token const& in_token) {
    proc_dispatch(information_map, in_token, &_kova_proxy_information_method::adapter_disconnect);
}
void _kova_proxy_object::adapter_command_disconnect(struct_token const& in_token) {
    proc_dispatch(command_map, in_token, &_kova_proxy_command_method::adapter_disconnect);
}

void _kova_proxy_object::adapter_object_create(struct_token const&) {
    if (live_state) return;
    live_state = true;
    pp->on_object_create();
}

void _kova_proxy_object::adapter_object_destroy(struct_token const& in_token) {
    if (!live_state) return;
    live_state = false;
    ++stub_epoch;
    for (auto& entry : event_map) entry.second->adapter_disconnect(in_token);
    for (auto& entry : information_map) entry.second->adapter_disconnect(in_token);
    for (auto& entry : command_map) entry.second->adapter_disconnect(in_token);
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

int _kova_proxy_object::send(struct_token const& in_token) {
    in_token.get_header_packet()->set_destination(server_addr, _op->domain);
    // A pipe that refused for good has freed the token: the request then times out.
    return _op->send(in_token) == Pimo::OS::c_vimra_busy ? Pimo::OS::c_vimra_busy : 0;
}

int _kova_proxy_object::send_force(struct_token const& in_token) {
    in_token.get_header_packet()->set_destination(server_addr, _op->domain);
    return _op->send_force(in_token);
}

// Requests shared by the kinds -------------------------------------------------------

return_object_t _kova_proxy_method::proc_request(msg_type_t in_type, void const* pin_data, pksize_t in_size,
                                                 double in_limit) {
    Pimo::OS::class_read_locker lock(gp_processor.load());
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
    if (Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) != c_kova_err_none)
        return new struct_return_object(c_kova_err_empty_kova_memory);
    if (in_size != 0 &&
        Common::Interface::eproc_alloc_data(token, in_size, __FILE__, __LINE__) != c_kova_err_none) {
        safe_free_token(token, __FILE__, __LINE__);
        return new struct_return_object(c_kova_err_empty_kova_memory);
    }
    struct_return_object* result = new struct_return_object;
    result->key = struct_return_key(_pp->server_addr.ip, op->domain, _pp->server_addr.obj_id, in_type, code,
                                    op->get_msg_num(), op->object_id);
    result->p_value = new struct_return_record;
    result->p_value->limit = in_limit;
    result->p_value->clock = clock;
    result->p_value->epoch = _pp->stub_epoch.load();
    processor->add_return(result->key, result->p_value);

    struct_packet* p = token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, clock, in_limit);
    p->initialize_header(in_size, result->key.msg_num, in_type, code, c_kova_err_none);
    p->set_data(nullptr);
    if (in_size != 0) std::memcpy(token.get_data(), pin_data, in_size);
    if (_pp->send(token) == Pimo::OS::c_vimra_busy) {
        safe_free_token(token, __FILE__, __LINE__);
        processor->del_return(result->key, result->p_value);
        // A wake (the stub's destroy, a lost link) may have stored its packet meanwhile.
        if (result->p_value->token.has_header() || result->p_value->token.has_data())
            safe_free_token(result->p_value->token, __FILE__, __LINE__);
        delete result->p_value;
        delete result;
        return new struct_return_object(c_kova_err_busy_localhost);
    }
    return result;
}

bool _kova_proxy_method::proc_collect(return_object_t const& in_return_object, double* pout_time,
                                      struct_token& pout_reply, kova_err_t& pout_result, msg_type_t in_confirm) {
    if (!in_return_object) {
        pout_result = c_kova_err_null_return_object;
        return false;
    }
    kova_sdk_processor* processor = gp_processor.load();
    struct_return_object* object = in_return_object;
    struct_return_record* record = object->p_value;
    pout_reply.reset();
    if (object->key.err != c_kova_err_none || !record || !processor) {
        // The error form was never registered.
        pout_result = object->key.err != c_kova_err_none ? object->key.err : c_kova_err_is_not_created;
        delete record;
        delete object;
        return false;
    }
    bool replied = false;
    if (!_pp->_op->is_created()) {
        pout_result = c_kova_err_is_not_created;
    } else {
        double remaining = record->limit - seconds_since(record->clock);
        if (!(remaining > 0.0)) remaining = 0.0;
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
    processor->del_return(object->key, record);
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
    delete record;
    delete object;
    return replied;
}

void _kova_proxy_method::proc_cancel(msg_type_t in_type, kova_err_t in_error) {
    Pimo::OS::class_read_locker lock(gp_processor.load());
    if (!_pp->_op->is_created()) return;
    proc_send_notice(in_type, 0, in_error);
}

void _kova_proxy_method::proc_send_notice(msg_type_t in_type, msg_num_t in_num, kova_err_t in_error) {
    struct_token token;
    Common::Interface::proc_alloc_header_force(token, __FILE__, __LINE__);
    struct_packet* p = token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    p->initialize_header(0, in_num, in_type, code, in_error);
    p->set_data(nullptr);
    _pp->send_force(token);
}

}  // namespace Kova
