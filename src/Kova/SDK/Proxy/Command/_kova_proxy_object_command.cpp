#include "Kova/SDK/Proxy/Command/_kova_proxy_object_command.h"

#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Pimo::OS::class_locker;
using SDK::SDK_Processor::gp_processor;

namespace {

const char c_boundout_text[] = "Kova SDK - Boundout Command Post";
const char c_dirty_line[] = "kova_proxy_object_command::post => durty memory\n";
// How long a post waits for room in the center pipe in all. The center holds its intake for
// one slow process at most 0.1 s; one that takes nothing for a second is stalled, and the
// post is refused rather than left hanging.
constexpr double c_post_wait_s = 1.0;

}  // namespace

_kova_proxy_object_command::_kova_proxy_object_command(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                       interface_kind_t in_kind, kova_proxy_object_command* pin_mp)
    : _kova_proxy_command_method(pin_pp, in_code, in_kind),
      mp(pin_mp),
      m_value(c_boundout_text, c_dirty_line, c_max_interval, false, &_kova_proxy_object_command::timer_command_syncros,
              this) {
    _pp->add_command(code, this);
}

_kova_proxy_object_command::~_kova_proxy_object_command() {
    // No tick may run into what goes next; the timer takes no lock that is held here.
    m_value.proc_stop_timer();
    _pp->del_command(code, this);
}

kova_err_t _kova_proxy_object_command::proc_refuse_request() const {
    return is_connected() ? c_kova_err_already_connected : c_kova_err_none;
}

return_object_t _kova_proxy_object_command::async_connect(double in_limit_time) {
    return proc_request(c_mt_command_connect, nullptr, 0, in_limit_time);
}

kova_err_t _kova_proxy_object_command::async_connect_return(return_object_t const& in_return_object,
                                                            double* pout_time) {
    bool confirmed = false;
    const kova_err_t result = proc_connect_return(in_return_object, pout_time, c_mt_command_confirm, confirmed);
    if (confirmed) m_value.get_timer().proc_exchange_sending(true);
    return result;
}

void _kova_proxy_object_command::shutdown(bool in_send) {
    if (!is_connected() || (in_send && !_pp->_op->is_created())) return;
    // Only the thread that ends the connection tells the stub; a tick in progress ends first.
    if (!m_value.get_timer().proc_exchange_sending(false) || !in_send) return;
    proc_send_notice(c_mt_command_shutdown, _pp->_op->get_msg_num(), c_kova_err_none);
}

void _kova_proxy_object_command::adapter_disconnect(struct_token const&) {
    // A disconnect and the stub's destroy may come on two listeners at once: one tells.
    if (m_value.get_timer().proc_exchange_sending(false)) mp->on_disconnected();
}

// Threads waiting to lend give up; a block lent stays with its lender, who may be writing
// it, until it cancels or the handler goes.
void _kova_proxy_object_command::proc_release_command() { m_value.proc_release(); }

void _kova_proxy_object_command::set_sync_model(bool in_using_udp, sender_sync_model_t in_sync_model,
                                                double in_interval) {
    m_value.get_timer().proc_set(in_using_udp, in_sync_model, in_interval);
}

void* _kova_proxy_object_command::get_real(pksize_t in_size) {
    if (!_pp->_op->is_created()) return nullptr;
    return m_value.eproc_lend(in_size);
}

void _kova_proxy_object_command::cancel_real() { m_value.proc_cancel(); }

kova_err_t _kova_proxy_object_command::post_real(pksize_t in_size) {
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    return m_value.eproc_post(
        in_size,
        [&](struct_packet& pout_packet, SDK::Sender::class_sync_timer::struct_settings const& in_settings) {
            pout_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), in_settings.interval);
            pout_packet.initialize_header(in_size, 0, c_mt_command_tcp, code, c_kova_err_none);
            pout_packet.set_data(nullptr);
        },
        // A post that cannot leave is the caller's to repeat: it is no current command, and
        // no history entry says it was sent.
        [&] { return sync(c_sender_sync_model_on_post); });
}

kova_err_t _kova_proxy_object_command::write(void const* pin_data, pksize_t in_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    return m_value.eproc_write(pin_data, in_size, [&](pksize_t in_n) { return post_real(in_n); });
}

kova_err_t _kova_proxy_object_command::post(pksize_t in_size) {
    return m_value.eproc_post_staged(in_size, [this](void const* pin_data, pksize_t in_n) { return write(pin_data, in_n); });
}

letter_case_t _kova_proxy_object_command::see_history(kova_size_t in_size) { return m_value.see_history(in_size); }

void _kova_proxy_object_command::set_history_size(kova_size_t in_history_size) {
    m_value.set_history_size(in_history_size);
}

kova_err_t _kova_proxy_object_command::read(void* pin_data, pksize_t* pin_size) {
    ::Kova::SDK::SDK_Processor::class_processor_read_hold lock;
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    return m_value.read(pin_data, pin_size);
}

void _kova_proxy_object_command::timer_command_syncros(void* pin_handler,
                                                       SDK::Sender::class_sync_timer::struct_settings const&) {
    static_cast<_kova_proxy_object_command*>(pin_handler)->sync(c_sender_sync_model_on_timer);
}

kova_err_t _kova_proxy_object_command::sync(sender_sync_model_t in_sync_model) {
    class_locker lock(m_value.get_lock());
    // Connected implies a created identity: its destroy ends the connection under this lock
    // before it clears the address.
    const Pimo::Memory::mm_t current = m_value.get_current();
    if (current == 0 || !is_connected()) return c_kova_err_not_exist_sync_data;
    const SDK::Sender::class_sync_timer::struct_settings& settings = m_value.get_timer().get_settings();
    // Every transmission differs in number, so the stub's repeat filter lets the periodic
    // repetitions of one command pass.
    struct_packet* own = Common::Interface::get_header(current);
    own->header.num = m_value.proc_next_num();

    struct_token token;
    if (settings.using_udp) {
        if (Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) != c_kova_err_none)
            return c_kova_err_empty_kova_memory;
    } else {
        Common::Interface::proc_alloc_header_force(token, __FILE__, __LINE__);
    }
    Common::Interface::safe_add_ref_mm(current, __FILE__, __LINE__);
    token.data_mm = current;
    struct_packet* p = token.get_header_packet();
    *p = *own;
    // A period plus a microsecond per payload byte; the posting model's interval makes it
    // the infinite packet time, which tells the stub the model.
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(),
                         settings.interval + static_cast<double>(own->header.size) / 1000000.0);
    p->header.type = settings.using_udp ? c_mt_command_udp : c_mt_command_tcp;
    // A post waits while the center presses back; a tick that finds no room is lost alone,
    // the next one sends the command again.
    const double wait_s = in_sync_model == c_sender_sync_model_on_post ? c_post_wait_s : 0.0;
    if (_pp->send(token, wait_s) == Pimo::OS::c_vimra_busy) {
        Common::Interface::safe_free_token(token, __FILE__, __LINE__);
        return c_kova_err_center_busy;
    }
    // Only what has left counts as sent.
    m_value.proc_record_sent();
    return c_kova_err_none;
}

}  // namespace Kova
