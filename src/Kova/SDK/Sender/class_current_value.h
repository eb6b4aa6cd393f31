// The current value of a sender (a command proxy, an information stub): the block the
// application posted last and the three ways in (a block lent to fill in place, a write
// that copies, the guarded stage), the history of what was sent with its numbers, and when
// it is sent (the model and its timer). One lock, the value's, guards the current block,
// the history, the number and the settings; a tick of the timer runs under it, and so does
// the sending of a post in the posting model.
//
// A post either takes effect or fails whole: the block it posts becomes current (and, in
// the posting model, has left) and is no longer lent, or the former value stays current and
// the block stays lent. A write gives back the block it lent when its post fails, so that
// neither its own thread's next write nor another thread waiting to lend is left without one.
#pragma once

#include <cstring>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Kova/SDK/History/class_token_history.h"
#include "Kova/SDK/Sender/class_guarded_stage.h"
#include "Kova/SDK/Sender/class_lender.h"
#include "Kova/SDK/Sender/class_sync_timer.h"
#include "Pimo/Memory/interface_memory.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {
namespace SDK {
namespace Sender {

class class_current_value {
public:
    typedef class_sync_timer::struct_settings struct_settings;

    // in_boundout_text goes to standard output as it stands when a post is larger than its
    // block, in_dirty_line when a staged post finds a guard changed; the timer takes the
    // intervals and calls in_tick as class_sync_timer says.
    class_current_value(const char* in_boundout_text, const char* in_dirty_line, double in_max_interval,
                        bool in_max_included, class_sync_timer::tick_t in_tick, void* pin_owner);
    // The owner stops the timer first (proc_stop_timer), before anything a tick uses goes.
    ~class_current_value();
    class_current_value(const class_current_value&) = delete;
    class_current_value& operator=(const class_current_value&) = delete;

    // The owner is created; the caller holds the processor's read lock.
    void* eproc_lend(pksize_t in_size) { return m_lender.eproc_lend(in_size); }
    void proc_cancel() { m_lender.proc_cancel(); }
    // Makes the calling thread's lent block, with in_size bytes of payload, the current value:
    // in_template(packet, settings) writes the block's own record (what every copy starts
    // from), and in the posting model in_send() sends it under the value's lock. 0; or
    // c_kova_err_dont_get, c_kova_err_too_big_size (the boundout text printed), or what the
    // sending failed with (c_kova_err_not_exist_sync_data, nobody to send to, is no failure).
    template <typename template_t, typename send_t>
    kova_err_t eproc_post(pksize_t in_size, template_t in_template, send_t in_send) {
        Pimo::Memory::mm_t block = 0;
        const kova_err_t checked = m_lender.eproc_check_post(in_size, mp_boundout_text, block);
        if (checked != c_kova_err_none) return checked;
        Common::Interface::traverse_check(block);
        Common::Interface::is_clean_memory(block);
        Pimo::OS::class_locker lock(m_lock);
        struct_packet* p = Common::Interface::get_header(block);
        *p = struct_packet();
        in_template(*p, m_timer.get_settings());
        Pimo::Memory::mm_t former = m_current;
        m_current = block;
        // Sent before the lock goes and the block is handed over: another thread's post must
        // not replace it before it has left, and one that cannot leave is undone.
        if (m_timer.get_settings().model == c_sender_sync_model_on_post) {
            const kova_err_t sent = in_send();
            if (sent != c_kova_err_none && sent != c_kova_err_not_exist_sync_data) {
                m_current = former;
                return sent;
            }
        }
        Common::Interface::safe_free_mm(former, __FILE__, __LINE__);
        m_lender.proc_hand_over();
        return c_kova_err_none;
    }
    // Lends in_size bytes, copies pin_data into them and posts them by in_post(size) (the
    // owner's post); a failed post gives the block back. Null data is taken for no bytes.
    template <typename post_t>
    kova_err_t eproc_write(void const* pin_data, pksize_t in_size, post_t in_post) {
        if (pin_data == nullptr && in_size != 0) return c_kova_err_boundout_buffer;
        void* block = eproc_lend(in_size);
        if (block == nullptr) return c_kova_err_empty_kova_memory;
        if (in_size != 0) std::memcpy(block, pin_data, in_size);
        const kova_err_t result = in_post(in_size);
        if (result != c_kova_err_none) proc_cancel();
        return result;
    }
    // The guarded stage: a buffer of the process whose guards a post checks before it
    // writes the middle through in_write(data, size) (the owner's write).
    void* eproc_stage(pksize_t in_size) { return m_stage.eproc_get(in_size); }
    template <typename write_t>
    kova_err_t eproc_post_staged(pksize_t in_size, write_t in_write) {
        return m_stage.eproc_post(in_size, in_write);
    }
    void proc_cancel_staged() { m_stage.proc_cancel(); }

    // Up to in_count of the values sent, newest first.
    letter_case_t see_history(kova_size_t in_count);
    // Kept from the next sending on.
    void set_history_size(kova_size_t in_history_size);
    // The newest value sent, at most *pin_size bytes of it; a smaller one sets *pin_size.
    kova_err_t read(void* pin_data, pksize_t* pin_size);

    // Under get_lock(): the current value's block, 0 before the first post.
    Pimo::Memory::mm_t get_current() const { return m_current; }
    // Under get_lock(): the number of the next sending of the value.
    msg_num_t proc_next_num() { return ++m_num; }
    // Under get_lock(): the current value is recorded in the history as sent.
    void proc_record_sent();

    // The owner's object ends: the current value and the history go, threads waiting to
    // lend give up; a block lent stays its lender's to cancel.
    void proc_release();
    void proc_stop_timer() { m_timer.proc_stop(); }
    Pimo::OS::class_thread_lock& get_lock() { return m_lock; }
    class_sync_timer& get_timer() { return m_timer; }
    class_sync_timer const& get_timer() const { return m_timer; }

private:
    const char* mp_boundout_text;
    Pimo::OS::class_thread_lock m_lock;
    // Its owner lock is m_lock.
    class_sync_timer m_timer;
    class_lender m_lender;
    class_guarded_stage m_stage;
    // One reference of its own; 0 when nothing is posted.
    Pimo::Memory::mm_t m_current;
    // Entries name the current block of their moment as header and data, two references.
    History::class_token_history m_history;
    kova_size_t m_history_size;
    msg_num_t m_num;
};

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
