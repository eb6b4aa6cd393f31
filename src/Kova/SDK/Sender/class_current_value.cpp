#include "Kova/SDK/Sender/class_current_value.h"

namespace Kova {
namespace SDK {
namespace Sender {

using Pimo::OS::class_locker;

class_current_value::class_current_value(const char* in_boundout_text, const char* in_dirty_line,
                                         double in_max_interval, bool in_max_included,
                                         class_sync_timer::tick_t in_tick, void* pin_owner)
    : mp_boundout_text(in_boundout_text),
      m_timer(m_lock, in_max_interval, in_max_included, in_tick, pin_owner),
      m_stage(in_dirty_line),
      m_current(0),
      m_history_size(1),
      m_num(0) {}

class_current_value::~class_current_value() {
    m_timer.proc_stop();
    class_locker lock(m_lock);
    Common::Interface::safe_free_mm(m_current, __FILE__, __LINE__);
    m_history.clear();
}

letter_case_t class_current_value::see_history(kova_size_t in_count) {
    class_locker lock(m_lock);
    return m_history.see(in_count);
}

void class_current_value::set_history_size(kova_size_t in_history_size) {
    class_locker lock(m_lock);
    m_history_size = in_history_size;
}

kova_err_t class_current_value::read(void* pin_data, pksize_t* pin_size) {
    if (pin_size == nullptr || (pin_data == nullptr && *pin_size != 0)) return c_kova_err_boundout_buffer;
    return History::proc_read_newest(see_history(1), pin_data, pin_size);
}

void class_current_value::proc_record_sent() {
    struct_token value;
    value.header_mm = m_current;
    value.data_mm = m_current;
    m_history.push(value, m_history_size);
}

void class_current_value::proc_release() {
    {
        class_locker lock(m_lock);
        Common::Interface::safe_free_mm(m_current, __FILE__, __LINE__);
        m_history.clear();
    }
    m_lender.proc_end();
}

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
