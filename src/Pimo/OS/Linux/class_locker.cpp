#include "Pimo/OS/Linux/class_locker.h"

#include <cstdio>

#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace OS {

class_locker::class_locker(class_lock& in_lock, byte_t* pin_lock_state)
    : mp_lock(&in_lock), mp_lock_state(pin_lock_state), m_crashed(false) {
    mp_lock->lock();
    if (mp_lock_state) {
        if (*mp_lock_state != 0) {
            char text[64];
            std::snprintf(text, sizeof text, "kova - pid(%d)", static_cast<int>(get_process_id()));
            std::printf("%s - kova memory crashed~\n", text);
            std::fflush(stdout);
            m_crashed = true;
        }
        *mp_lock_state = 1;
    }
}

class_locker::class_locker(class_lock* pin_lock, byte_t* pin_lock_state)
    : mp_lock(pin_lock), mp_lock_state(pin_lock_state), m_crashed(false) {
    if (mp_lock) mp_lock->lock();
    if (mp_lock_state) *mp_lock_state = 1;
}

class_locker::~class_locker() {
    if (mp_lock_state) *mp_lock_state = 0;
    if (mp_lock) mp_lock->unlock();
}

void class_locker::unlock() {
    if (mp_lock) mp_lock->unlock();
    mp_lock = nullptr;
}

}  // namespace OS
}  // namespace Pimo
