#include "Kova/SDK/Sender/class_lender.h"

#include <chrono>
#include <cstdio>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace SDK {
namespace Sender {

using Pimo::OS::class_thread;
using Pimo::OS::thread_id_t;

namespace {

// A finalize closes the SDK's gate without waking this wait: it looks again this often.
constexpr std::chrono::milliseconds c_closing_look(50);

}  // namespace

class_lender::class_lender() : m_lender(0), m_mm(0), m_size(0), m_end_count(0) {}

class_lender::~class_lender() { Common::Interface::safe_free_mm(m_mm, __FILE__, __LINE__); }

bool class_lender::proc_take_turn(thread_id_t in_self) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_lender == in_self) return false;
    if (m_lender == 0) {
        m_lender = in_self;
        return true;
    }
    const unsigned ends = m_end_count;
    lock.unlock();
    // The read lock is given up for the wait, so that the lender may destroy the object or
    // finalize meanwhile; inside the gate, finalize frees nothing before this thread left.
    SDK_Processor::class_sdk_entry entry;
    if (!entry.get()) return false;
    bool turn = false;
    {
        Pimo::OS::class_read_unlocker unlock(entry.get());
        lock.lock();
        while (m_lender != 0 && m_end_count == ends && !SDK_Processor::g_sdk_gate.is_closing())
            m_free.wait_for(lock, c_closing_look);
        turn = m_lender == 0 && m_end_count == ends;
        if (turn) m_lender = in_self;
        lock.unlock();
    }
    // An end while the read lock was taken back counts too: the object is gone.
    lock.lock();
    if (!turn || m_end_count == ends) return turn;
    lock.unlock();
    proc_give_up_turn();
    return false;
}

void class_lender::proc_give_up_turn() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lender = 0;
        m_mm = 0;
        m_size = 0;
    }
    m_free.notify_one();
}

void* class_lender::eproc_lend(pksize_t in_size) {
    const thread_id_t self = class_thread::get_current_thread_id();
    if (!proc_take_turn(self)) return nullptr;
    // The turn is this thread's: nobody else touches the block fields until it gives it up.
    Pimo::Memory::mm_t mm = 0;
    if (Common::Interface::eproc_alloc_data(mm, in_size, __FILE__, __LINE__) != c_kova_err_none) {
        proc_give_up_turn();
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mm = mm;
    m_size = in_size;
    return Common::Interface::get_data(mm);
}

kova_err_t class_lender::eproc_check_post(pksize_t in_size, const char* in_boundout_text,
                                          Pimo::Memory::mm_t& pout_mm) const {
    const thread_id_t self = class_thread::get_current_thread_id();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lender != self || m_mm == 0) return c_kova_err_dont_get;
    if (in_size > m_size) {
        std::fputs(in_boundout_text, stdout);
        std::fflush(stdout);
        return c_kova_err_too_big_size;
    }
    pout_mm = m_mm;
    return c_kova_err_none;
}

Pimo::Memory::mm_t class_lender::proc_hand_over() {
    Pimo::Memory::mm_t mm = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lender != class_thread::get_current_thread_id() || m_mm == 0) return 0;
        mm = m_mm;
    }
    proc_give_up_turn();
    return mm;
}

void class_lender::proc_cancel() {
    Pimo::Memory::mm_t mm = proc_hand_over();
    Common::Interface::safe_free_mm(mm, __FILE__, __LINE__);
}

void class_lender::proc_end() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_end_count;
    }
    m_free.notify_all();
}

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
