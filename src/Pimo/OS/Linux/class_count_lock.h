// Reader-writer lock interface and its pthread implementations.
#pragma once

#include <pthread.h>

namespace Pimo {
namespace OS {

class class_count_lock {
public:
    virtual ~class_count_lock() {}
    virtual void proc_read_lock() = 0;
    virtual void proc_read_unlock() = 0;
    virtual void proc_write_lock() = 0;
    virtual void proc_write_unlock() = 0;
};

class class_thread_count_lock : public class_count_lock {
public:
    class_thread_count_lock();
    ~class_thread_count_lock() override;
    void proc_read_lock() override;
    void proc_read_unlock() override;
    void proc_write_lock() override;
    void proc_write_unlock() override;

protected:
    pthread_rwlock_t m_rw_lock;
};

class class_thread_rw_lock {
public:
    class_thread_rw_lock() {}
    ~class_thread_rw_lock() {}
    void proc_create();
    void proc_destroy();
    void proc_read_wait();
    void proc_write_wait();
    void proc_read_release();
    void proc_write_release();

private:
    pthread_rwlock_t m_rw_lock;
};

}  // namespace OS
}  // namespace Pimo
