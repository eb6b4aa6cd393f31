#include "Pimo/OS/Linux/class_thread.h"

#include <sched.h>

#include "Pimo/OS/Linux/class_stop_signal_block.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace OS {

void* class_thread::thread(void* in_self) {
    class_thread* self = static_cast<class_thread*>(in_self);
    return self->mp_proc(self);
}

vimra_err_t class_thread::eproc_create(p_thread_proc_t lpStartadd_ress, void* lpParameter) {
    mp_thread_param = lpParameter;
    mp_proc = lpStartadd_ress;
    class_stop_signal_block blocked;  // inherited by the new thread
    if (pthread_create(&m_id, nullptr, &class_thread::thread, this) != 0) {
        Utility::print_error("pthread_create");
        mp_proc = nullptr;
        return c_vimra_unknown;
    }
    return c_vimra_success;
}

void class_thread::proc_wait_exit(void** p_return) {
    if (!mp_proc) return;
    void* result = nullptr;
    if (pthread_join(m_id, &result) != 0)
        Utility::print_error("pthread_join");
    else if (p_return)
        *p_return = result;
    mp_proc = nullptr;
}

void thread_yield() { sched_yield(); }

}  // namespace OS
}  // namespace Pimo
