// Answers that found the center pipe full: retried on a thread of their own, so
// that no listener or returner waits on a full center pipe while holding its locks
// (the center may at the same time be waiting on this process's own pipes).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace SDK {
namespace SDK_Processor {

class class_answer_sender {
public:
    class_answer_sender() : m_stop(false), m_started(false) {}
    ~class_answer_sender() { proc_stop(); }
    class_answer_sender(const class_answer_sender&) = delete;
    class_answer_sender& operator=(const class_answer_sender&) = delete;

    Pimo::OS::vimra_err_t eproc_start();
    // Joins the thread; answers still queued are freed.
    void proc_stop();
    // Takes the token; it is freed if the sender does not run.
    void proc_post(domain_t in_domain, struct_token& in_token);

private:
    struct struct_item {
        domain_t domain;
        struct_token token;
    };
    static void* thread_sender(Pimo::OS::class_thread* pin_thread);

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<struct_item> m_queue;
    std::atomic<bool> m_stop;  // also ends a retry in progress
    bool m_started;
    Pimo::OS::class_thread m_thread;
};

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
