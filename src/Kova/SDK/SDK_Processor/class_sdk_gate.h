// The door of the SDK's waits that hold no processor lock: dispatch_message, a request
// waiting for its reply, the diagnostic pipe functions. Finalize closes it, wakes whoever
// is inside and waits until they have left, so that nothing is freed under them.
#pragma once

#include <condition_variable>
#include <mutex>

namespace Kova {
namespace SDK {
namespace SDK_Processor {

class kova_sdk_processor;

class class_sdk_gate {
public:
    class_sdk_gate() : m_inside(0), m_closing(false) {}
    class_sdk_gate(const class_sdk_gate&) = delete;
    class_sdk_gate& operator=(const class_sdk_gate&) = delete;

    // The running processor, counted until proc_leave; null (not counted) when the SDK does
    // not run or is being finalised.
    kova_sdk_processor* eproc_enter();
    void proc_leave();
    // For loops that must give up once finalize begins.
    bool is_closing() const;
    // Initialize: entries are let in again once the processor exists.
    void proc_open();
    // Finalize: no new entries.
    void proc_close();
    // Returns once every entered thread has left.
    void proc_wait_empty();
    // True while the calling thread is inside.
    static bool is_inside();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_left;
    int m_inside;
    bool m_closing;
};

extern class_sdk_gate g_sdk_gate;

// One stay inside the gate, for a scope.
class class_sdk_entry {
public:
    class_sdk_entry() : mp_processor(g_sdk_gate.eproc_enter()) {}
    ~class_sdk_entry() {
        if (mp_processor) g_sdk_gate.proc_leave();
    }
    class_sdk_entry(const class_sdk_entry&) = delete;
    class_sdk_entry& operator=(const class_sdk_entry&) = delete;

    // Null when the gate refused: nothing of the SDK may be touched.
    kova_sdk_processor* get() const { return mp_processor; }

private:
    kova_sdk_processor* mp_processor;
};

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
