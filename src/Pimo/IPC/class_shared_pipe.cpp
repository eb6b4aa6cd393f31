#include "Pimo/IPC/class_shared_pipe.h"

#include <string>

#include "Pimo/OS/Linux/class_locker.h"

namespace Pimo {
namespace IPC {

using namespace OS;

const char* const class_shared_pipe::str_name = "pipe";

namespace {
// Keeps a corrupt or hostile size from asking for an absurd segment.
constexpr u_int64_t c_max_segment = 1ull << 32;

// The transit record's states: an operation in its two low bits; once judged by the holder
// after a dead one, whether the ring had changed.
constexpr u_int32_t c_transit_none = 0;
constexpr u_int32_t c_transit_push = 1;
constexpr u_int32_t c_transit_take = 2;
constexpr u_int32_t c_transit_kind = 3;
constexpr u_int32_t c_transit_judged = 4;
constexpr u_int32_t c_transit_changed = 8;

u_int32_t own_pid() {
    static const u_int32_t s_pid = static_cast<u_int32_t>(get_process_id());
    return s_pid;
}
}  // namespace

vimra_err_t class_shared_pipe::eproc_create(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size) {
    return create(in_name, in_size, in_elem_size, false);
}

vimra_err_t class_shared_pipe::eproc_create_app(const char* in_name, const u_int32_t& in_size,
                                                const u_int32_t& in_elem_size) {
    return create(in_name, in_size, in_elem_size, true);
}

vimra_err_t class_shared_pipe::create(const char* in_name, const u_int32_t& in_size, const u_int32_t& in_elem_size,
                                      bool in_app) {
    const u_int64_t qsize = static_cast<u_int64_t>(in_size) + 1;
    const u_int64_t bytes = static_cast<u_int64_t>(in_elem_size) * qsize + class_queue::c_header_size;
    if (in_elem_size == 0 || qsize > 0xFFFFFFFFull || bytes > c_max_segment) return c_vimra_unknown;
    const std::string s = std::string(in_name) + str_name;

    vimra_err_t r = in_app ? m_memory.eproc_create_app(s.c_str(), static_cast<size_t>(bytes))
                           : m_memory.eproc_create(s.c_str(), static_cast<size_t>(bytes));
    if (r != c_vimra_success) return r;
    mp_queue = static_cast<class_queue*>(m_memory.get_pointer());
    if (!mp_queue) {
        m_memory.proc_destroy();
        return c_vimra_unknown;
    }
    mp_queue->proc_initialize(static_cast<u_int32_t>(qsize), in_elem_size);
    r = m_event.eproc_create_global(s.c_str(), false);
    if (r != c_vimra_success) {
        m_memory.proc_destroy();
        mp_queue = nullptr;
        return r;
    }
    r = m_mutex.eproc_create_global(s.c_str(), false);
    if (r != c_vimra_success) {
        m_event.proc_destroy();
        m_memory.proc_destroy();
        mp_queue = nullptr;
        return r;
    }
    m_qsize = static_cast<u_int32_t>(qsize);
    m_elem_size = in_elem_size;
    // Without it the pipe still works: its senders poll for room.
    m_has_room = m_want_room && m_room.eproc_create_global(room_name(s), false) == c_vimra_success;
    m_live = true;
    return c_vimra_success;
}

vimra_err_t class_shared_pipe::eproc_open(const char* in_name, u_int32_t in_elem_size) {
    return open(in_name, in_elem_size, false);
}

vimra_err_t class_shared_pipe::eproc_open_app(const char* in_name, process_id_t, u_int32_t in_elem_size) {
    return open(in_name, in_elem_size, true);
}

vimra_err_t class_shared_pipe::open(const char* in_name, u_int32_t in_elem_size, bool in_app) {
    const std::string s = std::string(in_name) + str_name;
    vimra_err_t r = m_mutex.eproc_open_global(s.c_str());
    if (r != c_vimra_success) return r;
    r = m_event.eproc_open_global(s.c_str());
    if (r != c_vimra_success) {
        m_mutex.proc_close();
        return r;
    }
    r = in_app ? m_memory.eproc_open_app(s.c_str(), get_process_id()) : m_memory.eproc_open(s.c_str());
    if (r != c_vimra_success) {
        m_event.proc_close();
        m_mutex.proc_close();
        return r;
    }
    mp_queue = static_cast<class_queue*>(m_memory.get_pointer());
    bool fits = false;
    if (mp_queue && m_memory.get_size() >= class_queue::c_header_size) {
        // The segment is world-writable: trust its header only as far as it fits the mapping.
        class_locker guard(m_mutex);
        const u_int32_t q = mp_queue->qsize;
        const u_int32_t e = mp_queue->elem_size;
        const u_int64_t need = static_cast<u_int64_t>(q) * e + class_queue::c_header_size;
        fits = q >= 1 && e > 0 && (in_elem_size == 0 || e == in_elem_size) && need <= m_memory.get_size();
        if (fits) {
            m_qsize = q;
            m_elem_size = e;
        }
    }
    if (!fits) {
        m_memory.proc_close();
        m_event.proc_close();
        m_mutex.proc_close();
        mp_queue = nullptr;
        return c_vimra_unknown;
    }
    m_has_room = m_want_room && m_room.eproc_open_global(room_name(s)) == c_vimra_success;
    m_live = true;
    return c_vimra_success;
}

void class_shared_pipe::proc_close() {
    if (!m_live) return;
    m_live = false;
    m_mutex.proc_close();
    m_event.proc_close();
    if (m_has_room) m_room.proc_close();
    m_has_room = false;
    m_memory.proc_close();
    mp_queue = nullptr;
}

void class_shared_pipe::proc_destroy() {
    if (!m_live) return;  // never made live: nothing to wait for
    m_live = false;
    // Wait while another thread or process is inside an operation.
    for (;;) {
        vimra_err_t r = m_mutex.eproc_wait_timeout(1.0);
        if (r == c_vimra_success) {
            m_mutex.proc_release();
            break;
        }
        if (r != c_vimra_timeout) break;
    }
    m_mutex.proc_destroy();
    m_event.proc_destroy();
    if (m_has_room) m_room.proc_destroy();
    m_has_room = false;
    m_memory.proc_destroy();
    mp_queue = nullptr;
}

void class_shared_pipe::proc_shutdown() {
    if (!m_live) return;
    class_locker guard(m_mutex);
    mp_queue->proc_destroy();
    m_event.proc_cancel();
    if (m_has_room) m_room.proc_cancel();  // the waiting senders find it shut at once
}

vimra_err_t class_shared_pipe::eproc_shutdown_if_empty() {
    if (!m_live) return c_vimra_unknown;
    class_locker guard(m_mutex);
    if (mp_queue->is_sane(m_qsize, m_elem_size) && !mp_queue->test_empty()) return c_vimra_busy;
    mp_queue->proc_destroy();
    m_event.proc_cancel();
    if (m_has_room) m_room.proc_cancel();
    return c_vimra_success;
}

vimra_err_t class_shared_pipe::eproc_wait_room(const double& in_timeout) {
    if (!m_has_room) return interface_pipe::eproc_wait_room(in_timeout);
    return m_room.eproc_wait_timeout(in_timeout);
}

void class_shared_pipe::proc_pass_room() {
    if (m_has_room) m_room.proc_set();
}

vimra_err_t class_shared_pipe::eproc_wait_arrival(const double& in_timeout) {
    if (!m_live) return c_vimra_unknown;
    switch (m_event.eproc_wait_timeout(in_timeout)) {
    case c_vimra_success: return c_vimra_success;
    case c_vimra_timeout: return c_vimra_timeout;
    case c_vimra_canceled:
    case c_vimra_not_created: return c_vimra_shutdown;
    default: return c_vimra_unknown;
    }
}

void class_shared_pipe::proc_tell_room() {
    if (m_has_room) m_room.proc_set();
    if (interface_room_hook* hook = mp_room_hook.load()) hook->on_room();
}

bool class_shared_pipe::test_empty() {
    if (!m_live) return true;
    class_locker guard(m_mutex);
    return !mp_queue->is_sane(m_qsize, m_elem_size) || mp_queue->test_empty();
}

bool class_shared_pipe::test_full() {
    if (!m_live) return false;
    class_locker guard(m_mutex);
    return mp_queue->is_sane(m_qsize, m_elem_size) && mp_queue->test_full();
}

bool class_shared_pipe::test_shutdown() {
    if (!m_live) return true;
    class_locker guard(m_mutex);
    return !mp_queue->is_valid();
}

u_int32_t class_shared_pipe::get_size() {
    if (!m_live) return 0;
    class_locker guard(m_mutex);
    return mp_queue->is_sane(m_qsize, m_elem_size) ? mp_queue->get_size() : 0;
}

vimra_err_t class_shared_pipe::push_locked(const byte_t* pin_elem, size_t in_min) {
    if (!mp_queue->is_sane(m_qsize, m_elem_size)) return c_vimra_unknown;
    if (!mp_queue->is_valid()) return c_vimra_shutdown;
    // A limit is tested first, but a full ring is never overwritten whatever the limit.
    if (in_min != 0 && mp_queue->get_size() >= in_min) return c_vimra_busy;
    if (mp_queue->test_full()) return c_vimra_busy;
    interface_pipe_hook::refs_t refs;
    const bool told = begin_transit(pin_elem, c_transit_push, mp_queue->tail, refs);
    if (told) mp_hook->on_leaving(refs);
    mp_queue->proc_push(pin_elem);
    if (told) {
        mp_hook->on_left(refs);
        end_transit();
    }
    return c_vimra_success;
}

// A dead process's record is judged by the first holder after it: nobody has moved the ring
// since. It is settled by the first holder whose hook can, which may be a later one.
void class_shared_pipe::proc_settle_transit() {
    struct_pipe_transit& t = mp_queue->transit;
    u_int32_t state = __atomic_load_n(&t.state, __ATOMIC_ACQUIRE);
    if (state == c_transit_none) return;
    const u_int32_t kind = state & c_transit_kind;
    // Every holder clears its own record before it lets go: this one's writer is gone. The
    // header is writable by all, so a record that means nothing is only dropped.
    if ((kind != c_transit_push && kind != c_transit_take) || t.pid == 0 || t.pid == own_pid()) {
        __atomic_store_n(&t.state, c_transit_none, __ATOMIC_RELEASE);
        return;
    }
    if ((state & c_transit_judged) == 0) {
        const u_int32_t now = kind == c_transit_push ? mp_queue->tail : mp_queue->head;
        state |= c_transit_judged | (now != t.position ? c_transit_changed : 0);
        __atomic_store_n(&t.state, state, __ATOMIC_RELEASE);
    }
    const interface_pipe_hook::refs_t refs = {t.refs[0], t.refs[1]};
    if (mp_hook && mp_hook->on_dead_transit(t.pid, refs, kind == c_transit_push, (state & c_transit_changed) != 0))
        __atomic_store_n(&t.state, c_transit_none, __ATOMIC_RELEASE);
}

bool class_shared_pipe::begin_transit(const byte_t* pin_elem, u_int32_t in_kind, u_int32_t in_position,
                                      interface_pipe_hook::refs_t& out_refs) {
    if (mp_hook == nullptr || !mp_hook->get_refs(pin_elem, out_refs)) return false;
    struct_pipe_transit& t = mp_queue->transit;
    // A dead one's record that nobody could settle yet keeps its place: this move goes unrecorded.
    if (__atomic_load_n(&t.state, __ATOMIC_ACQUIRE) != c_transit_none) return false;
    t.pid = own_pid();
    t.position = in_position;
    for (size_t i = 0; i < c_transit_refs; ++i) t.refs[i] = out_refs[i];
    // Written last: a record is whole once it is set.
    __atomic_store_n(&t.state, in_kind, __ATOMIC_RELEASE);
    return true;
}

void class_shared_pipe::end_transit() { __atomic_store_n(&mp_queue->transit.state, c_transit_none, __ATOMIC_RELEASE); }

vimra_err_t class_shared_pipe::eproc_push(const byte_t* pin_elem, size_t in_min) {
    if (!m_live) return c_vimra_unknown;
    class_locker guard(m_mutex);
    if (mp_queue->is_sane(m_qsize, m_elem_size)) proc_settle_transit();
    return push_locked(pin_elem, in_min);
}

vimra_err_t class_shared_pipe::eproc_send(const byte_t* in_elem, size_t in_min) {
    vimra_err_t r = eproc_push(in_elem, in_min);
    if (m_live) m_event.proc_set();  // even a refused send wakes one reader
    return r;
}

vimra_err_t class_shared_pipe::eproc_send_n(const byte_t* pin_elems, size_t in_elem_size, size_t in_count,
                                            size_t in_min, size_t* pout_sent) {
    *pout_sent = 0;
    if (!m_live) return c_vimra_unknown;
    if (in_elem_size != m_elem_size) return c_vimra_too_big_size;
    vimra_err_t r = c_vimra_success;
    {
        class_locker guard(m_mutex);
        if (mp_queue->is_sane(m_qsize, m_elem_size)) proc_settle_transit();
        for (; *pout_sent < in_count; ++*pout_sent) {
            r = push_locked(pin_elems + *pout_sent * in_elem_size, in_min);
            if (r != c_vimra_success) break;
        }
    }
    m_event.proc_set();  // one wake for all, as a refused send wakes one reader too
    return r;
}

vimra_err_t class_shared_pipe::receive(byte_t* pout_elems, size_t in_max, size_t* pout_received, bool in_timed,
                                       double in_timeout) {
    *pout_received = 0;
    if (!m_live) return c_vimra_unknown;
    // A transit a dead holder left is looked at under the lock once, even in a ring that looks
    // empty (the dead one's own pipe, drained after its death, may be).
    bool transit_seen = false;
    for (;;) {
        // A ring that looks empty is waited for before the lock is taken: head and tail are
        // read without it, and every push sets the event after it, so a push that this reading
        // missed still ends the wait.
        if ((transit_seen || !mp_queue->has_transit()) && mp_queue->looks_empty(m_qsize, m_elem_size)) {
            switch (in_timed ? m_event.eproc_wait_timeout(in_timeout) : m_event.eproc_wait()) {
            case c_vimra_success:
                break;
            case c_vimra_timeout:
                if (in_timed) return c_vimra_timeout;
                break;
            case c_vimra_canceled:
            case c_vimra_not_created:  // the event is gone: spinning on it would never end
                return c_vimra_shutdown;
            default:
                return c_vimra_unknown;
            }
        }
        bool room = false;
        {
            class_locker guard(m_mutex);
            if (!mp_queue->is_sane(m_qsize, m_elem_size)) return c_vimra_unknown;
            proc_settle_transit();
            transit_seen = true;
            if (!mp_queue->is_valid()) return c_vimra_shutdown;
            const u_int32_t before = mp_queue->get_size();
            while (*pout_received < in_max && !mp_queue->test_empty()) {
                take_locked(pout_elems + *pout_received * m_elem_size);
                ++*pout_received;
            }
            room = makes_room(before, mp_queue->get_size());
        }
        if (room) proc_tell_room();
        if (*pout_received != 0) return c_vimra_success;
    }
}

vimra_err_t class_shared_pipe::eproc_receive(byte_t* pout_elem) {
    size_t received = 0;
    return receive(pout_elem, 1, &received, false, 0.0);
}

vimra_err_t class_shared_pipe::eproc_receive_timeout(byte_t* pout_elem, const double& in_timeout) {
    size_t received = 0;
    return receive(pout_elem, 1, &received, true, in_timeout);
}

vimra_err_t class_shared_pipe::eproc_receive_n(byte_t* pout_elems, size_t in_elem_size, size_t in_max,
                                               size_t* pout_received) {
    *pout_received = 0;
    if (!m_live) return c_vimra_unknown;
    if (in_elem_size != m_elem_size || in_max == 0) return c_vimra_too_big_size;
    return receive(pout_elems, in_max, pout_received, false, 0.0);
}

vimra_err_t class_shared_pipe::eproc_receive_n_timeout(byte_t* pout_elems, size_t in_elem_size, size_t in_max,
                                                       size_t* pout_received, const double& in_timeout) {
    *pout_received = 0;
    if (!m_live) return c_vimra_unknown;
    if (in_elem_size != m_elem_size || in_max == 0) return c_vimra_too_big_size;
    return receive(pout_elems, in_max, pout_received, true, in_timeout);
}

vimra_err_t class_shared_pipe::eproc_pop(byte_t* pout_elem) {
    if (!m_live) return c_vimra_unknown;
    bool room = false;
    {
        class_locker guard(m_mutex);
        if (!mp_queue->is_sane(m_qsize, m_elem_size)) return c_vimra_unknown;
        proc_settle_transit();
        if (mp_queue->test_empty()) return c_vimra_unknown;
        const u_int32_t before = mp_queue->get_size();
        take_locked(pout_elem);
        room = makes_room(before, before - 1);
    }
    if (room) proc_tell_room();
    return c_vimra_success;
}

void class_shared_pipe::take_locked(byte_t* pout_elem) {
    mp_queue->proc_copy_front(pout_elem);
    interface_pipe_hook::refs_t refs;
    const bool told = begin_transit(pout_elem, c_transit_take, mp_queue->head, refs);
    if (told) mp_hook->on_arriving(refs);
    mp_queue->proc_drop_front();
    if (told) {
        mp_hook->on_arrived(refs);
        end_transit();
    }
}

}  // namespace IPC
}  // namespace Pimo
