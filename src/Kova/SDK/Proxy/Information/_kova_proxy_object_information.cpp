#include "Kova/SDK/Proxy/Information/_kova_proxy_object_information.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Kova/SDK/sdk_typedef/struct_return_key.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

using Pimo::OS::class_locker;
using SDK::SDK_Processor::gp_processor;

namespace {

// Held in m_pending by the one async_connect that is sending; never dereferenced.
return_object_t claimed() {
    static char s_marker;
    return reinterpret_cast<return_object_t>(&s_marker);
}

}  // namespace

_kova_proxy_object_information::_kova_proxy_object_information(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                               interface_kind_t in_kind,
                                                               kova_proxy_object_information* pin_mp)
    : _kova_proxy_information_method(pin_pp, in_code, in_kind),
      connect_state(false),
      history_size(1),
      use_on_sync(true),
      tcp_confirm(false),
      udp_request(false),
      mct_if(0),
      mp(pin_mp),
      m_pending(nullptr) {
    _pp->add_information(code, this);
}

_kova_proxy_object_information::~_kova_proxy_object_information() {
    _pp->del_information(code, this);
    class_locker lock(information_mutex);
    information_dec.clear();
}

kova_err_t _kova_proxy_object_information::proc_refuse_request() const {
    return connect_state.load() ? c_kova_err_already_connected : c_kova_err_none;
}

return_object_t _kova_proxy_object_information::async_connect(bool in_udp_request, double in_limit_time) {
    // One connect at a time: the answer of an uncollected one would subscribe behind
    // the back of a second.
    return_object_t none = nullptr;
    if (!m_pending.compare_exchange_strong(none, claimed()))
        return new struct_return_object(c_kova_err_already_connected);
    udp_request = in_udp_request;
    const return_object_t sent = proc_request(
        in_udp_request ? c_mt_information_udp_connect : c_mt_information_tcp_connect, nullptr, 0, in_limit_time);
    return_object_t mine = claimed();
    // A destroy meanwhile has let the claim go already.
    m_pending.compare_exchange_strong(mine, sent->key.err == c_kova_err_none ? sent : nullptr);
    return sent;
}

kova_err_t _kova_proxy_object_information::async_connect_return(return_object_t const& in_return_object,
                                                                double* pout_time) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    const msg_type_t confirm = in_return_object && in_return_object->key.msg_type == c_mt_information_udp_connect
                                   ? c_mt_information_udp_confirm
                                   : c_mt_information_tcp_confirm;
    kova_err_t result = c_kova_err_none;
    struct_token reply;
    const bool replied = proc_collect(in_return_object, pout_time, reply, result, confirm);
    if (replied) {
        const struct_packet* p = reply.get_header_packet();
        // A reject carries the stub's on_connect result or a center's delivery error; a
        // wake by the stub's destroy or a lost link the reason it carries.
        result = p->header.error;
        mct_if = p->mct_if;
        if (p->header.type == confirm) {
            class_locker hold(information_mutex);
            tcp_confirm = confirm == c_mt_information_tcp_confirm;
            connect_state = true;
        }
        Common::Interface::safe_free_token(reply, __FILE__, __LINE__);
    }
    // Collected: another connect may go. Only the pointer is compared.
    return_object_t collected = in_return_object;
    m_pending.compare_exchange_strong(collected, nullptr);
    return result;
}

bool _kova_proxy_object_information::proc_end() {
    class_locker lock(information_mutex);
    information_dec.clear();
    return connect_state.exchange(false);
}

void _kova_proxy_object_information::shutdown(bool in_send) {
    // The proxy's destroy: an uncollected connect belongs to the identity that goes.
    if (!in_send) m_pending = nullptr;
    if (!connect_state.load() || (in_send && !_pp->_op->is_created())) return;
    // Only the thread that ends the subscription tells the stub.
    if (!proc_end() || !in_send) return;
    proc_send_notice(tcp_confirm ? c_mt_information_tcp_shutdown : c_mt_information_udp_shutdown,
                     _pp->_op->get_msg_num(), c_kova_err_none, mct_if);
}

void _kova_proxy_object_information::adapter_disconnect(struct_token const&) {
    if (proc_end()) mp->on_disconnected();
}

void _kova_proxy_object_information::adapter_sync(struct_token const& in_token) {
    // Proxies of this process that subscribed by the other kind bring the other type here.
    const msg_type_t expected = tcp_confirm ? c_mt_information_tcp : c_mt_information_udp;
    if (in_token.get_header_packet()->header.type != expected) return;
    {
        class_locker lock(information_mutex);
        if (!connect_state.load()) return;
        information_dec.push(in_token, history_size);
    }
    if (use_on_sync) proc_sync(in_token);
}

void _kova_proxy_object_information::proc_sync(struct_token const& in_token) {
    const struct_packet* p = in_token.get_header_packet();
    // Every subscribed proxy of the process shares the header block, and others may read
    // it at this moment: the times are brought up to date on a copy.
    struct_packet times = *p;
    times.update_packet_time_and_return_timeout();
    const sender_sync_model_t model =
        p->header.limit.is_infinite() ? c_sender_sync_model_on_post : c_sender_sync_model_on_timer;
    mp->on_sync(model, times.packet_live_time, p->header.limit.get_time(), in_token.get_data(),
                Common::Interface::get_payload_size(in_token));
    if (in_token.has_data()) Common::Interface::traverse_check(in_token.data_mm);
}

letter_case_t _kova_proxy_object_information::see_history(kova_size_t in_size) {
    if (!_pp->_op->is_created()) return nullptr;
    class_locker lock(information_mutex);
    if (!connect_state.load()) return nullptr;
    return information_dec.see(in_size);
}

void _kova_proxy_object_information::set_history_size(kova_size_t in_history_size) { history_size = in_history_size; }

}  // namespace Kova
