#include "Pimo/IPC/class_nonshared_pipe.h"

#include <cstring>
#include <new>

#include "Pimo/OS/Linux/class_locker.h"

namespace Pimo {
namespace IPC {

using namespace OS;

// A growable ring of element copies. A slot keeps its copy's buffer when the element leaves,
// so a pipe in steady use neither allocates nor frees per element.
class class_nonshared_pipe::class_element_queue {
public:
    ~class_element_queue() {
        for (size_t i = 0; i < m_capacity; ++i) delete[] mp_slots[i];
        delete[] mp_slots;
    }

    size_t get_count() const { return m_count; }

    // False when memory for the slot or its buffer cannot be had; nothing changes then.
    bool push(const byte_t* pin_elem, size_t in_elem_size) {
        if (m_count == m_capacity && !grow()) return false;
        byte_t*& slot = mp_slots[(m_head + m_count) % m_capacity];
        if (!slot) {
            slot = new (std::nothrow) byte_t[in_elem_size ? in_elem_size : 1];
            if (!slot) return false;
        }
        std::memcpy(slot, pin_elem, in_elem_size);
        ++m_count;
        return true;
    }

    void pop(byte_t* pout_elem, size_t in_elem_size) {
        std::memcpy(pout_elem, mp_slots[m_head], in_elem_size);
        m_head = (m_head + 1) % m_capacity;
        --m_count;
    }

private:
    bool grow() {
        const size_t capacity = m_capacity ? m_capacity * 2 : 8;
        byte_t** slots = new (std::nothrow) byte_t*[capacity];
        if (!slots) return false;
        // Full: every old slot is live; they move to the front in order.
        for (size_t i = 0; i < m_capacity; ++i) slots[i] = mp_slots[(m_head + i) % m_capacity];
        for (size_t i = m_capacity; i < capacity; ++i) slots[i] = nullptr;
        delete[] mp_slots;
        mp_slots = slots;
        m_capacity = capacity;
        m_head = 0;
        return true;
    }

    byte_t** mp_slots = nullptr;
    size_t m_capacity = 0;
    size_t m_head = 0;
    size_t m_count = 0;
};

class_nonshared_pipe::class_nonshared_pipe()
    : m_valid(false), mp_queue(new class_element_queue()), m_size(0), m_elem_size(0) {}

class_nonshared_pipe::~class_nonshared_pipe() { delete mp_queue; }

vimra_err_t class_nonshared_pipe::eproc_create(const unsigned long& in_size, const size_t& in_elem_size) {
    class_locker guard(m_lock);
    m_size = in_size;
    m_elem_size = in_elem_size;
    m_valid = true;
    m_room.eproc_create(false);
    return m_event.eproc_create(false);
}

void class_nonshared_pipe::proc_destroy() {
    m_event.proc_destroy();
    m_room.proc_destroy();
}

void class_nonshared_pipe::proc_shutdown() {
    class_locker guard(m_lock);
    m_valid = false;
    m_event.proc_cancel();
    m_room.proc_cancel();
}

vimra_err_t class_nonshared_pipe::eproc_wait_room(const double& in_timeout) {
    return m_room.eproc_wait_timeout(in_timeout);
}

void class_nonshared_pipe::proc_pass_room() { m_room.proc_set(); }

bool class_nonshared_pipe::test_shutdown() {
    class_locker guard(m_lock);
    return !m_valid;
}

bool class_nonshared_pipe::test_empty() {
    class_locker guard(m_lock);
    return mp_queue->get_count() == 0;
}

bool class_nonshared_pipe::test_full() {
    class_locker guard(m_lock);
    return mp_queue->get_count() > m_size;
}

vimra_err_t class_nonshared_pipe::eproc_push(const byte_t* pin_elem, size_t in_min) {
    class_locker guard(m_lock);
    if (!m_valid) return c_vimra_shutdown;
    const size_t limit = in_min == 0 ? m_size : in_min;
    if (mp_queue->get_count() > limit) return c_vimra_busy;
    if (!mp_queue->push(pin_elem, m_elem_size)) return c_vimra_unknown;
    return c_vimra_success;
}

vimra_err_t class_nonshared_pipe::eproc_send(const byte_t* in_elem, size_t in_min) {
    vimra_err_t r = eproc_push(in_elem, in_min);
    if (r == c_vimra_success || r == c_vimra_busy) m_event.proc_set();
    return r;
}

bool class_nonshared_pipe::take(byte_t* pout_elem) {
    const size_t before = mp_queue->get_count();
    mp_queue->pop(pout_elem, m_elem_size);
    return before > m_size / 2 && before - 1 <= m_size / 2;
}

vimra_err_t class_nonshared_pipe::eproc_receive(byte_t* pout_elem) {
    for (;;) {
        {
            class_locker guard(m_lock);
            if (!m_valid) return c_vimra_shutdown;
            if (mp_queue->get_count() != 0) {
                if (take(pout_elem)) m_room.proc_set();
                return c_vimra_success;
            }
        }
        switch (m_event.eproc_wait()) {
        case c_vimra_canceled:
        case c_vimra_not_created:  // the event is gone: waiting on it again would spin
            return c_vimra_shutdown;
        default:
            break;
        }
    }
}

vimra_err_t class_nonshared_pipe::eproc_receive_timeout(byte_t* pout_elem, const double& in_timeout) {
    class_locker guard(m_lock);
    if (!m_valid) return c_vimra_shutdown;
    for (;;) {
        if (mp_queue->get_count() != 0) {
            if (take(pout_elem)) m_room.proc_set();
            return c_vimra_success;
        }
        vimra_err_t w;
        {
            class_unlocker unlocked(m_lock);
            w = m_event.eproc_wait_timeout(in_timeout);
        }
        switch (w) {
        case c_vimra_canceled:
        case c_vimra_not_created:
            return c_vimra_shutdown;
        case c_vimra_timeout:
            return c_vimra_timeout;
        default:
            break;
        }
    }
}

vimra_err_t class_nonshared_pipe::eproc_pop(byte_t* pout_elem) {
    class_locker guard(m_lock);
    if (mp_queue->get_count() == 0) return c_vimra_unknown;
    if (take(pout_elem)) m_room.proc_set();
    return c_vimra_success;
}

}  // namespace IPC
}  // namespace Pimo
