// The packets waiting for one local process's pipe that was full when they came, in their
// order of arrival. The center thread alone uses it: it pushes them on whenever the pipe
// takes again (after each packet it routes, and on the wake the process sends when its
// pipe has drained to half), instead of spinning on the full pipe, so one stalled process
// stalls nobody else.
//
// It is bounded twice: by count (c_capacity, a fixed ring taken at its creation, so that
// keeping a packet allocates nothing) and by the bytes of packet memory its packets hold
// (the share of one process). Beyond a bound a packet fares by its overflow rule
// (struct_packet::get_overflow_rule):
//   drop (events, broadcasts): dropped; the caller counts it;
//   newest (information values, commands): the older packet of its stream still waiting
//       leaves instead and the new one goes to the back, so that the newest is never the
//       one lost; with none of its stream waiting it is kept past the byte bound;
//   keep (control packets, disconnects, shutdowns, replies): kept past the byte bound.
// When the ring itself is full, a packet that is not to be dropped takes the place of the
// oldest droppable one; with none, it is refused (the caller answers it with busy node).
// Control packets (the center's answers to an object's request, its link reports, the news of
// a stub's life) are the exception: nobody sends one again, so one turned away would leave a
// proxy not live for good, and a process that makes thousands of objects before it reads its
// pipe is owed as many. They wait behind the full ring in an overflow that grows as needed, up
// to c_overflow_capacity (one for every object id of a domain). Nothing else enters the ring
// while the overflow holds packets, so the order stays; it moves up as the ring drains.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

class class_pipe_backlog {
public:
    static constexpr std::size_t c_capacity = 8192;
    static constexpr std::size_t c_overflow_capacity = 65536;
    typedef struct_packet::enum_overflow enum_rule;
    enum class enum_offer {
        kept,      // at the back
        replaced,  // at the back; *pout_out is the older packet of its stream, taken out
        evicted,   // at the back; *pout_out is the oldest droppable packet, taken out
        dropped,   // not taken: the packet itself is to be dropped
        refused    // not taken: no room for a packet that may not be dropped
    };

    // in_byte_bound 0: no byte bound.
    explicit class_pipe_backlog(std::size_t in_byte_bound);
    class_pipe_backlog(const class_pipe_backlog&) = delete;
    class_pipe_backlog& operator=(const class_pipe_backlog&) = delete;

    bool empty() const { return m_size == 0; }
    // The ring's packets and the overflow's.
    std::size_t size() const { return m_size + m_overflow.size(); }
    std::size_t bytes() const { return m_bytes; }
    std::size_t byte_bound() const { return m_byte_bound; }
    // Both bounds hold with room for in_bytes more, and nothing waits past the ring.
    bool has_room(std::size_t in_bytes) const {
        return m_size < c_capacity && m_overflow.empty() && (m_byte_bound == 0 || m_bytes + in_bytes <= m_byte_bound);
    }

    // Offers in_token, whose blocks hold in_bytes, by its rule; in_control: a control packet,
    // which may wait past the ring. in_same(token) tells whether a waiting token is of the
    // offered one's stream (asked only for the newest rule).
    template <typename same_t>
    enum_offer proc_offer(const struct_token& in_token, enum_rule in_rule, bool in_control, std::size_t in_bytes,
                          same_t in_same, struct_token* pout_out) {
        if (has_room(in_bytes)) {
            push_back(in_token, in_rule, in_bytes);
            return enum_offer::kept;
        }
        if (in_rule == enum_rule::drop) return enum_offer::dropped;
        if (in_rule == enum_rule::newest) {
            for (std::size_t i = m_overflow.size(); i-- > 0;) {
                const struct_slot& s = m_overflow[i];
                if (s.rule != enum_rule::newest || !in_same(s.token)) continue;
                *pout_out = s.token;
                m_bytes -= s.bytes;
                m_overflow.erase(m_overflow.begin() + static_cast<std::ptrdiff_t>(i));
                push_back(in_token, in_rule, in_bytes);
                return enum_offer::replaced;
            }
            for (std::size_t i = m_size; i-- > 0;) {
                const struct_slot& s = at(i);
                if (s.rule != enum_rule::newest || !in_same(s.token)) continue;
                *pout_out = s.token;
                erase(i);
                push_back(in_token, in_rule, in_bytes);
                return enum_offer::replaced;
            }
        }
        if (m_size < c_capacity && m_overflow.empty()) {  // past the byte bound only
            push_back(in_token, in_rule, in_bytes);
            return enum_offer::kept;
        }
        for (std::size_t i = 0; m_overflow.empty() && i < m_size; ++i) {
            if (at(i).rule != enum_rule::drop) continue;
            *pout_out = at(i).token;
            erase(i);
            push_back(in_token, in_rule, in_bytes);
            return enum_offer::evicted;
        }
        if (!in_control || m_overflow.size() == c_overflow_capacity) return enum_offer::refused;
        push_back(in_token, in_rule, in_bytes);
        return enum_offer::kept;
    }

    const struct_token& front() const { return at(0).token; }
    void pop_front();
    // Copies up to in_max tokens from the front into pout_tokens, in order; how many.
    std::size_t copy_front(struct_token* pout_tokens, std::size_t in_max) const;
    // Drops the in_count front tokens (copied out before).
    void pop_front(std::size_t in_count);
    // Takes out every token for which in_take is true, keeping the order of the rest, and
    // hands each to in_taken; the number taken.
    template <typename take_t, typename taken_t>
    std::size_t proc_take_if(take_t in_take, taken_t in_taken) {
        std::size_t kept = 0, taken = 0;
        for (std::size_t i = 0; i < m_size; ++i) {
            const struct_slot s = at(i);
            if (in_take(s.token)) {
                m_bytes -= s.bytes;
                in_taken(s.token);
                ++taken;
            } else {
                at(kept++) = s;
            }
        }
        m_size = kept;
        for (auto it = m_overflow.begin(); it != m_overflow.end();) {
            if (!in_take(it->token)) {
                ++it;
                continue;
            }
            m_bytes -= it->bytes;
            in_taken(it->token);
            ++taken;
            it = m_overflow.erase(it);
        }
        proc_move_up();
        return taken;
    }

private:
    struct struct_slot {
        struct_token token;
        std::uint32_t bytes;
        enum_rule rule;
    };

    struct_slot& at(std::size_t in_offset) { return m_slots[(m_head + in_offset) % c_capacity]; }
    const struct_slot& at(std::size_t in_offset) const { return m_slots[(m_head + in_offset) % c_capacity]; }
    // At the back: of the ring, or of the overflow when the ring is full or the overflow
    // holds packets already.
    void push_back(const struct_token& in_token, enum_rule in_rule, std::size_t in_bytes);
    // Closes the gap of slot in_offset, keeping the order.
    void erase(std::size_t in_offset);
    // The overflow's front into the ring while it has room.
    void proc_move_up();

    std::unique_ptr<struct_slot[]> m_slots;
    std::size_t m_head;
    std::size_t m_size;
    std::deque<struct_slot> m_overflow;  // behind the ring: control packets, and values that came after them
    std::size_t m_bytes;
    const std::size_t m_byte_bound;
};

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
