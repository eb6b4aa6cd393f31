// A named process lock joined to a counting semaphore of the same name: a wait takes the
// lock and then all the counts. Creation fails on this platform, which has no semaphore.
#pragma once

#include <string>

#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_semaphore.h"

namespace Pimo {
namespace OS {

class class_mutex_semaphore {
public:
    class_mutex_semaphore() : m_maxcount(0), m_initial_count(0) {}

    vimra_err_t eproc_create_local(const std::string& in_name, int64_t in_maxcount, int64_t in_initial_count);
    vimra_err_t eproc_create_global(const std::string& in_name, int64_t in_maxcount, int64_t in_initial_count);
    void proc_destroy();

    void proc_wait_all();
    vimra_err_t eproc_wait_all_try();
    vimra_err_t eproc_wait_all_timeout(double in_timeout);
    // The recursion variants leave one count to the caller, who already holds it.
    void proc_wait_all_recursion();
    vimra_err_t eproc_wait_all_recursion_try();
    vimra_err_t eproc_wait_all_recursion_timeout(double in_timeout);

    void proc_release_all();
    void proc_release_all_recursion();

protected:
    // Creation never gets this far on this platform; a subclass can still set these up.
    class_process_lock m_lock;
    class_semaphore m_semaphore;
    int64_t m_maxcount;
    int64_t m_initial_count;

private:
    void proc_wait_counts(int64_t in_counts);
    vimra_err_t eproc_wait_counts(int64_t in_counts, bool in_timed, double in_timeout);
    vimra_err_t eproc_create(const std::string& in_name, bool in_global, int64_t in_maxcount,
                             int64_t in_initial_count);
};

}  // namespace OS
}  // namespace Pimo
