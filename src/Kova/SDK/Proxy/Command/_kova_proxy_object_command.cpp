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

using Common::Interface::safe_free_mm;
using Pimo::OS::class_locker;
using SDK::SDK_Processor::gp_processor;

namespace {

const char c_boundout_text[] = "Kova SDK - Boundout Command Post";
const char c_dirty_line[] = "kova_proxy_object_command::post => durty memory\n";

}  // namespace

_kova_proxy_object_command::_kova_proxy_object_command(_kova_proxy_object* pin_pp, msg_code_t in_code,
                                                       interface_kind_t in_kind, kova_proxy_object_command* pin_mp)
    : _kova_proxy_command_method(pin_pp, in_code, in_kind),
      mp(pin_mp),
      sync_mm(0),
      num(0),
      history_size(1),
      m_sync(cmd_sync_mm_mutex, c_max_interval, false, &_kova_proxy_object_command::timer_command_syncros, this),
      m_stage(c_dirty_line) {
    _pp->add_command(code, this);
}

_kova_proxy_object_command::~_kova_proxy_object_command() {
    // No tick may run into what goes next; the timer takes no lock that is held here.
    m_sync.proc_stop();
    _pp->del_command(code, this);
    class_locker lock(cmd_sync_mm_mutex);
    safe_free_mm(sync_mm, __FILE__, __LINE__);
    command_dec.clear();
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
    if (confirmed) m_sync.proc_exchange_sending(true);
    return result;
}

void _kova_proxy_object_command::shutdown(bool in_send) {
    if (!is_connected() || (in_send && !_pp->_op->is_created())) return;
    // Only the thread that ends the connection tells the stub; a tick in progress ends first.
    if (!m_sync.proc_exchange_sending(false) || !in_send) return;
    proc_send_notice(c_mt_command_shutdown, _pp->_op->get_msg_num(), c_kova_err_none);
}

void _kova_proxy_object_command::adapter_disconnect(struct_token const&) {
    // A disconnect and the stub's destroy may come on two listeners at once: one tells.
    if (m_sync.proc_exchange_sending(false)) mp->on_disconnected();
}

void _kova_proxy_object_command::proc_release_command() {
    {
        class_locker lock(cmd_sync_mm_mutex);
        safe_free_mm(sync_mm, __FILE__, __LINE__);
        command_dec.clear();
    }
    // Threads waiting to lend give up; a block lent stays with its lender, who may be
    // writing it, until it cancels or the handler goes.
    m_lender.proc_end();
}

void _kova_proxy_object_command::set_sync_model(bool in_using_udp, sender_sync_model_t in_sync_model,
                                                double in_interval) {
    m_sync.proc_set(in_using_udp, in_sync_model, in_interval);
}

void* _kova_proxy_object_command::get_real(pksize_t in_size) {
    if (!_pp->_op->is_created()) return nullptr;
    return m_lender.eproc_lend(in_size);
}

void _kova_proxy_object_command::cancel_real() { m_lender.proc_cancel(); }

kova_err_t _kova_proxy_object_command::post_real(pksize_t in_size) {
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    Pimo::Memory::mm_t block = 0;
    const kova_err_t checked = m_lender.eproc_check_post(in_size, c_boundout_text, block);
    if (checked != c_kova_err_none) return checked;
    Common::Interface::traverse_check(block);
    Common::Interface::is_clean_memory(block);
    {
        class_locker lock(cmd_sync_mm_mutex);
        const SDK::Sender::class_sync_timer::struct_settings& settings = m_sync.get_settings();
        struct_packet* p = Common::Interface::get_header(block);
        *p = struct_packet();
        p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), settings.interval);
        p->initialize_header(in_size, 0, c_mt_command_tcp, code, c_kova_err_none);
        p->set_data(nullptr);
        safe_free_mm(sync_mm, __FILE__, __LINE__);
        sync_mm = m_lender.proc_hand_over();
        // Sent before the lock goes: the handed-over turn lets another thread post, which must
        // not replace this command before it has left. Its result is not the post's: the
        // command is current whether or not it could leave.
        if (settings.model == c_sender_sync_model_on_post) sync(c_sender_sync_model_on_post);
    }
    return c_kova_err_none;
}

kova_err_t _kova_proxy_object_command::write(void const* pin_data, pksize_t in_size) {
    Pimo::OS::class_read_locker lock(gp_processor.load());
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    if (pin_data == nullptr && in_size != 0) return c_kova_err_boundout_buffer;
    void* block = get_real(in_size);
    if (block == nullptr) return c_kova_err_empty_kova_memory;
    if (in_size != 0) std::memcpy(block, pin_data, in_size);
    const kova_err_t result = post_real(in_size);
    // Lent by this call: a block left lent would keep every other lender waiting.
    if (result != c_kova_err_none) cancel_real();
    return result;
}

kova_err_t _kova_proxy_object_command::post(pksize_t in_size) {
    return m_stage.eproc_post(in_size, [this](void const* pin_data, pksize_t in_n) { return write(pin_data, in_n); });
}

letter_case_t _kova_proxy_object_command::see_history(kova_size_t in_size) {
    class_locker lock(cmd_sync_mm_mutex);
    return command_dec.see(in_size);
}

void _kova_proxy_object_command::set_history_size(kova_size_t in_history_size) {
    class_locker lock(cmd_sync_mm_mutex);
    history_size = in_history_size;
}

kova_err_t _kova_proxy_object_command::read(void* pin_data, pksize_t* pin_size) {
    Pimo::OS::class_read_locker lock(gp_processor.load());
    if (!_pp->_op->is_created()) return c_kova_err_is_not_created;
    if (pin_size == nullptr || (pin_data == nullptr && *pin_size != 0)) return c_kova_err_boundout_buffer;
    return SDK::History::proc_read_newest(see_history(1), pin_data, pin_size);
}

void _kova_proxy_object_command::timer_command_syncros(void* pin_handler,
                                                       SDK::Sender::class_sync_timer::struct_settings const&) {
    static_cast<_kova_proxy_object_command*>(pin_handler)->sync(c_sender_sync_model_on_timer);
}

kova_err_t _kova_proxy_object_command::sync(sender_sync_model_t) {
    class_locker lock(cmd_sync_mm_mutex);
    // Connected implies a created identity: its destroy ends the connection under this lock
    // before it clears the address.
    if (sync_mm == 0 || !is_connected()) return c_kova_err_not_exist_sync_data;
    const SDK::Sender::class_sync_timer::struct_settings& settings = m_sync.get_settings();
    struct_token current;
    current.header_mm = sync_mm;
    current.data_mm = sync_mm;
    command_dec.push(current, history_size);
    // Every transmission differs in number, so the stub's repeat filter lets the periodic
    // repetitions of one command pass.
    struct_packet* own = Common::Interface::get_header(sync_mm);
    own->header.num = ++num;

    struct_token token;
    if (settings.using_udp) {
        if (Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) != c_kova_err_none)
            return c_kova_err_empty_kova_memory;
    } else {
        Common::Interface::proc_alloc_header_force(token, __FILE__, __LINE__);
    }
    Common::Interface::safe_add_ref_mm(sync_mm, __FILE__, __LINE__);
    token.data_mm = sync_mm;
    struct_packet* p = token.get_header_packet();
    *p = *own;
    // A period plus a microsecond per payload byte; the posting model's interval makes it
    // the infinite packet time, which tells the stub the model.
    p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(),
                         settings.interval + static_cast<double>(own->header.size) / 1000000.0);
    p->header.type = settings.using_udp ? c_mt_command_udp : c_mt_command_tcp;
    if (_pp->send(token) == Pimo::OS::c_vimra_busy) {
        Common::Interface::safe_free_token(token, __FILE__, __LINE__);
        return c_kova_err_center_busy;
    }
    return c_kova_err_none;
}

}  // namespace Kova
