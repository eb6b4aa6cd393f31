// Waitable flag with automatic or manual reset, pulse, reset and a permanent cancel; named
// events keep their record in a shared segment so threads of any process can use them.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "Pimo/OS/Linux/pimo_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_event {
public:
    enum enum_wait_type { c_wait = 0, c_try = 1, c_timeout = 2 };

    // The whole content of a named event's segment, shared by every process that maps it.
    struct struct_event_object {
        bool canceled;
        bool manual;
        bool set;
        // An automatic event's pulse not yet taken by a waiter that was waiting when it came.
        u_int8_t pulse_pending;
        // Bumped by every pulse and by a manual set: tells a real wake from a spurious one.
        u_int32_t generation;
        pthread_mutex_t mutex;
        pthread_cond_t cond;
    };

    class_event() : mp_evt_obj(nullptr), m_fd(-1), m_attr_built(false) {}
    ~class_event() {}

    vimra_err_t eproc_create(bool in_manual);
    vimra_err_t eproc_create(const std::string& in_name, bool in_manual, mode_t in_chmod);
    vimra_err_t eproc_create_global(const std::string& in_name, bool in_manual);
    vimra_err_t eproc_create_local(const std::string& in_name, bool in_manual);
    vimra_err_t eproc_open(const std::string& in_name, mode_t in_chmod);
    vimra_err_t eproc_open_global(const std::string& in_name);
    vimra_err_t eproc_open_local(const std::string& in_name);
    void proc_destroy();
    void proc_close();

    void proc_set();
    void proc_pulse();
    void proc_reset();
    void proc_cancel();

    vimra_err_t eproc_wait();
    vimra_err_t eproc_wait_try();
    vimra_err_t eproc_wait_timeout(double in_wait_time);
    vimra_err_t eproc_wait(bool in_manual);
    vimra_err_t eproc_wait_try(bool in_manual);
    vimra_err_t eproc_wait_timeout(bool in_manual, double in_wait_time);
    vimra_err_t eproc_wait(bool in_manual, enum_wait_type in_wait_type, double in_wait_time);

    const std::string& get_name() const { return m_name; }
    // True while a live process holds the global named event in_name (its name without the prefix).
    static bool is_held_global(const std::string& in_name);

private:
    vimra_err_t eproc_build_record(bool in_manual);

    struct_event_object* mp_evt_obj;
    pthread_mutexattr_t m_mutex_attr;
    pthread_condattr_t m_cond_attr;
    int m_fd;
    std::string m_name;
    bool m_attr_built;
};

static_assert(sizeof(class_event::struct_event_object) == 96, "event record is 96 bytes");
static_assert(offsetof(class_event::struct_event_object, canceled) == 0, "canceled at 0");
static_assert(offsetof(class_event::struct_event_object, manual) == 1, "manual at 1");
static_assert(offsetof(class_event::struct_event_object, set) == 2, "set at 2");
static_assert(offsetof(class_event::struct_event_object, pulse_pending) == 3, "spare byte 3");
static_assert(offsetof(class_event::struct_event_object, generation) == 4, "spare bytes 4..7");
static_assert(offsetof(class_event::struct_event_object, mutex) == 8, "mutex at 8");
static_assert(offsetof(class_event::struct_event_object, cond) == 48, "cond at 48");

}  // namespace OS
}  // namespace Pimo
