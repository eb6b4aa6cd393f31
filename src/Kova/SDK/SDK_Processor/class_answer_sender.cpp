#include "Kova/SDK/SDK_Processor/class_answer_sender.h"

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"

namespace Kova {
namespace SDK {
namespace SDK_Processor {

using Common::Interface::safe_free_token;

Pimo::OS::vimra_err_t class_answer_sender::eproc_start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started) return Pimo::OS::c_vimra_success;
    m_stop = false;
    const Pimo::OS::vimra_err_t r = m_thread.eproc_create(thread_sender, this);
    m_started = r == Pimo::OS::c_vimra_success;
    return r;
}

void class_answer_sender::proc_stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started) return;
        m_stop = true;
    }
    m_cond.notify_all();
    m_thread.proc_wait_exit();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started = false;
    for (struct_item& item : m_queue) safe_free_token(item.token, __FILE__, __LINE__);
    m_queue.clear();
}

void class_answer_sender::proc_post(domain_t in_domain, struct_token& in_token) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_started && !m_stop) {
            m_queue.push_back(struct_item{in_domain, in_token});
            in_token.reset();
            m_cond.notify_one();
            return;
        }
    }
    safe_free_token(in_token, __FILE__, __LINE__);
}

void* class_answer_sender::thread_sender(Pimo::OS::class_thread* pin_thread) {
    class_answer_sender* self = static_cast<class_answer_sender*>(pin_thread->get_thread_param());
    std::unique_lock<std::mutex> lock(self->m_mutex);
    for (;;) {
        self->m_cond.wait(lock, [self] { return self->m_stop || !self->m_queue.empty(); });
        if (self->m_stop) break;
        struct_item item = self->m_queue.front();
        self->m_queue.pop_front();
        lock.unlock();
        // No SDK lock is held here, so waiting on the full pipe blocks nobody else.
        kova_sdk_processor::send_force(item.domain, item.token, &self->m_stop);
        lock.lock();
    }
    return nullptr;
}

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
