// Recursive lock that excludes the threads of this process and other processes alike.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <string>

#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace OS {

class class_process_lock : public class_lock {
public:
    class_process_lock();
    ~class_process_lock() override {}

    void proc_lock() override { proc_wait(); }
    void proc_unlock() override { proc_release(); }

    vimra_err_t eproc_create(const std::string& in_name, bool in_immediately_lock, mode_t in_chmod);
    vimra_err_t eproc_create_global(const std::string& in_name, bool in_immediately_lock);
    vimra_err_t eproc_create_local(const std::string& in_name, bool in_immediately_lock);
    vimra_err_t eproc_open(const std::string& in_name, mode_t in_chmod);
    vimra_err_t eproc_open_global(const std::string& in_name);
    vimra_err_t eproc_open_local(const std::string& in_name);
    void proc_destroy();
    void proc_close() { proc_destroy(); }

    void proc_wait();
    void proc_release();
    vimra_err_t eproc_wait_try();
    vimra_err_t eproc_wait_timeout(double in_timeout);

    const std::string& get_name() const { return m_name; }

private:
    void proc_setup(const std::string& in_name);
    vimra_err_t eproc_make_live(const std::string& in_name, bool in_create, bool in_immediately_lock,
                                mode_t in_chmod);

    int m_depth;
    int m_create_fd;
    int m_lock_fd;
    std::string m_name;
    pthread_mutex_t m_cs;
};

}  // namespace OS
}  // namespace Pimo
