#include "Kova/Center/Center_Relay/class_pipe_backlog.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

class_pipe_backlog::class_pipe_backlog(std::size_t in_byte_bound)
    : m_slots(new struct_slot[c_capacity]), m_head(0), m_size(0), m_bytes(0), m_byte_bound(in_byte_bound) {}

void class_pipe_backlog::push_back(const struct_token& in_token, enum_rule in_rule, std::size_t in_bytes) {
    const struct_slot s{in_token, static_cast<std::uint32_t>(in_bytes), in_rule};
    if (m_size < c_capacity && m_overflow.empty())
        at(m_size++) = s;
    else
        m_overflow.push_back(s);
    m_bytes += s.bytes;
}

void class_pipe_backlog::pop_front() { pop_front(1); }

void class_pipe_backlog::pop_front(std::size_t in_count) {
    for (std::size_t i = 0; i < in_count && m_size != 0; ++i) {
        m_bytes -= m_slots[m_head].bytes;
        m_head = (m_head + 1) % c_capacity;
        --m_size;
    }
    proc_move_up();
}

void class_pipe_backlog::proc_move_up() {
    for (; m_size < c_capacity && !m_overflow.empty(); m_overflow.pop_front()) at(m_size++) = m_overflow.front();
}

std::size_t class_pipe_backlog::copy_front(struct_token* pout_tokens, std::size_t in_max) const {
    std::size_t n = 0;
    for (; n < in_max && n < m_size; ++n) pout_tokens[n] = at(n).token;
    for (std::size_t i = 0; n < in_max && i < m_overflow.size(); ++i) pout_tokens[n++] = m_overflow[i].token;
    return n;
}

void class_pipe_backlog::erase(std::size_t in_offset) {
    m_bytes -= at(in_offset).bytes;
    for (std::size_t i = in_offset; i + 1 < m_size; ++i) at(i) = at(i + 1);
    --m_size;
    proc_move_up();
}

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
