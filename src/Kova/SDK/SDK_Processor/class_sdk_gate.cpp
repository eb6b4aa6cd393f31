#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"

#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"

namespace Kova {
namespace SDK {
namespace SDK_Processor {

class_sdk_gate g_sdk_gate;

namespace {

thread_local int t_entered = 0;

}  // namespace

kova_sdk_processor* class_sdk_gate::eproc_enter() {
    std::lock_guard<std::mutex> lock(m_mutex);
    kova_sdk_processor* processor = gp_processor.load();
    if (m_closing || processor == nullptr) return nullptr;
    ++m_inside;
    ++t_entered;
    return processor;
}

void class_sdk_gate::proc_leave() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inside;
        --t_entered;
    }
    m_left.notify_all();
}

bool class_sdk_gate::is_closing() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closing;
}

void class_sdk_gate::proc_open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = false;
}

void class_sdk_gate::proc_close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
}

void class_sdk_gate::proc_wait_empty() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_left.wait(lock, [this] { return m_inside == 0; });
}

bool class_sdk_gate::is_inside() { return t_entered > 0; }

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
