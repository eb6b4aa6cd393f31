// The packets waiting for one local process's pipe that was full when they came, in their
// order of arrival. The center thread alone uses it: it retries the front between its other
// work instead of spinning on the full pipe, so one stalled process stalls nobody else.
// Its room is fixed and taken at its creation: keeping a packet allocates nothing.
//
// Control packets (the center's answers to an object's request, its link reports, the news of
// a stub's life) are the exception: nobody sends one again, so one turned away would leave a
// proxy not live for good. Past the ring they wait behind it in an overflow that grows as
// needed, up to c_overflow_capacity (one for every object id of a domain); a process that makes
// hundreds of objects before it reads its pipe is owed as many. Nothing else enters the ring
// while the overflow holds packets, and the overflow moves up into the ring as that drains.
#pragma once
#include <array>
#include <cstddef>
#include <deque>

#include "Kova/Common/Interface/struct_token.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

class class_pipe_backlog {
public:
    static constexpr std::size_t c_capacity = 64;
    static constexpr std::size_t c_overflow_capacity = 65536;

    class_pipe_backlog() : m_head(0), m_size(0) {}

    bool empty() const { return m_size == 0; }
    bool full() const { return m_size == c_capacity; }
    // Room for a control packet: in the ring, or else in the overflow.
    bool has_control_room() const { return !full() || m_overflow.size() < c_overflow_capacity; }
    std::size_t size() const { return m_size + m_overflow.size(); }

    // The caller has checked that it is not full.
    void push_back(const struct_token& in_token) { m_tokens[index(m_size++)] = in_token; }
    // The caller has checked has_control_room.
    void push_back_control(const struct_token& in_token) {
        if (full())
            m_overflow.push_back(in_token);
        else
            push_back(in_token);
    }
    const struct_token& front() const { return m_tokens[m_head]; }
    void pop_front() {
        m_head = index(1);
        --m_size;
        proc_move_up();
    }
    // Moves every token for which in_take is true into pout_taken (in order), keeping the
    // order of the rest; the number moved.
    template <typename take_t>
    std::size_t proc_take_if(take_t in_take, std::array<struct_token, c_capacity>& pout_taken) {
        std::size_t kept = 0, taken = 0;
        for (std::size_t i = 0; i < m_size; ++i) {
            const struct_token token = m_tokens[index(i)];
            if (in_take(token))
                pout_taken[taken++] = token;
            else
                m_tokens[index(kept++)] = token;
        }
        m_size = kept;
        proc_move_up();
        return taken;
    }

private:
    std::size_t index(std::size_t in_offset) const { return (m_head + in_offset) % c_capacity; }
    void proc_move_up() {
        for (; !full() && !m_overflow.empty(); m_overflow.pop_front()) push_back(m_overflow.front());
    }

    std::array<struct_token, c_capacity> m_tokens;
    std::size_t m_head;
    std::size_t m_size;
    std::deque<struct_token> m_overflow;  // behind the ring, control packets only
};

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
