// The ring of a shared pipe, laid out in place at offset 0 of the pipe's segment.
#pragma once

#include <cstddef>
#include <cstring>

#include "Pimo/IPC/interface_pipe_hook.h"
#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Pimo {
namespace IPC {

// The header is shared with every process (and writable by all), so the pipe passes the
// geometry it validated at open time and the ring refuses indices outside it.
class class_queue {
public:
    static constexpr size_t c_header_size = 40;

    void proc_initialize(u_int32_t in_size, u_int32_t in_elem_size) {
        qsize = in_size;
        elem_size = in_elem_size;
        head = 0;
        tail = 0;
        std::memset(&transit, 0, sizeof transit);
        valid = 1;
    }
    void proc_destroy() { valid = 0; }
    bool is_valid() const { return valid != 0; }
    u_int32_t get_qsize() const { return qsize; }
    u_int32_t get_elem_size() const { return elem_size; }

    // False when the shared state does not match the geometry the caller trusts.
    bool is_sane(u_int32_t in_qsize, u_int32_t in_elem_size) const {
        return qsize == in_qsize && elem_size == in_elem_size && head < in_qsize && tail < in_qsize;
    }
    bool test_empty() const { return head == tail; }
    // Empty and sane, read outside the pipe's lock: a hint only, which the pipe confirms under
    // its lock. A ring that is not sane is never taken for empty, so the lock's test reports it.
    bool looks_empty(u_int32_t in_qsize, u_int32_t in_elem_size) const {
        const u_int32_t h = __atomic_load_n(&head, __ATOMIC_ACQUIRE);
        const u_int32_t t = __atomic_load_n(&tail, __ATOMIC_ACQUIRE);
        return h == t && h < in_qsize && __atomic_load_n(&qsize, __ATOMIC_RELAXED) == in_qsize &&
               __atomic_load_n(&elem_size, __ATOMIC_RELAXED) == in_elem_size;
    }
    // A transit record is set (see class_shared_pipe): read outside the lock, as a hint.
    bool has_transit() const { return __atomic_load_n(&transit.state, __ATOMIC_ACQUIRE) != 0; }
    bool test_full() const { return (tail + 1) % qsize == head; }
    u_int32_t get_size() const {
        if (tail == head) return 0;
        return tail > head ? tail - head : tail + qsize - head;
    }

    // Neither tests full or empty: the pipe does, after is_sane.
    void proc_push(const byte_t* pin_elem) {
        std::memcpy(slot(tail), pin_elem, elem_size);
        tail = tail + 1 == qsize ? 0 : tail + 1;
    }
    void proc_pop(byte_t* pout_elem) {
        proc_copy_front(pout_elem);
        proc_drop_front();
    }
    // proc_pop in its two steps: the front element copied out, then given up by the ring.
    void proc_copy_front(byte_t* pout_elem) { std::memcpy(pout_elem, slot(head), elem_size); }
    void proc_drop_front() { head = head + 1 == qsize ? 0 : head + 1; }

    u_int32_t qsize;
    u_int32_t elem_size;
    u_int32_t valid;
    u_int32_t head;
    u_int32_t tail;
    struct_pipe_transit transit;  // see class_shared_pipe

private:
    byte_t* slot(u_int32_t in_index) {
        return reinterpret_cast<byte_t*>(this) + c_header_size + static_cast<size_t>(in_index) * elem_size;
    }
};

static_assert(offsetof(class_queue, qsize) == 0, "ring layout");
static_assert(offsetof(class_queue, elem_size) == 4, "ring layout");
static_assert(offsetof(class_queue, valid) == 8, "ring layout");
static_assert(offsetof(class_queue, head) == 12, "ring layout");
static_assert(offsetof(class_queue, tail) == 16, "ring layout");
static_assert(offsetof(class_queue, transit) == 20, "ring layout");
static_assert(sizeof(class_queue) == class_queue::c_header_size, "ring layout");

}  // namespace IPC
}  // namespace Pimo
