#include "Kova/SDK/Sender/class_sync_timer.h"

#include <cmath>

#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {
namespace SDK {
namespace Sender {

using Pimo::OS::class_locker;

class_sync_timer::class_sync_timer(Pimo::OS::class_lock& in_owner_lock, double in_max_interval, bool in_max_included,
                                   tick_t in_tick, void* pin_owner)
    : m_owner_lock(in_owner_lock),
      m_max_interval(in_max_interval),
      m_max_included(in_max_included),
      mp_tick(in_tick),
      mp_owner(pin_owner),
      m_sending(false) {}

class_sync_timer::~class_sync_timer() { proc_stop(); }

bool class_sync_timer::is_valid_interval(double in_interval) const {
    if (!std::isfinite(in_interval) || !(in_interval > 0.0)) return false;
    return m_max_included ? in_interval <= m_max_interval : in_interval < m_max_interval;
}

bool class_sync_timer::proc_set(bool in_using_udp, sender_sync_model_t in_model, double in_interval) {
    const bool timed = in_model == c_sender_sync_model_on_timer;
    if (timed && !is_valid_interval(in_interval)) return false;
    class_locker change(m_change_lock);
    // Stopped first: a tick in progress ends with the settings it began with.
    m_timer.proc_destroy();
    {
        class_locker lock(m_owner_lock);
        m_settings.model = in_model;
        m_settings.using_udp = in_using_udp;
        m_settings.interval = timed ? in_interval : c_post_interval;
    }
    if (timed) m_timer.eproc_create(in_interval, &class_sync_timer::timer_tick, this);
    return true;
}

void class_sync_timer::proc_stop() {
    class_locker change(m_change_lock);
    m_timer.proc_destroy();
}

bool class_sync_timer::proc_exchange_sending(bool in_sending) {
    class_locker lock(m_owner_lock);
    return m_sending.exchange(in_sending);
}

void class_sync_timer::timer_tick(Pimo::OS::class_timer* pin_timer) {
    class_sync_timer* self = static_cast<class_sync_timer*>(pin_timer->get_timer_param());
    class_locker lock(self->m_owner_lock);
    if (!self->m_sending.load()) return;
    self->mp_tick(self->mp_owner, self->m_settings);
}

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
