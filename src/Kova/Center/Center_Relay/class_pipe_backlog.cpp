#include "Kova/Center/Center_Relay/class_pipe_backlog.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

class_pipe_backlog::class_pipe_backlog(std::size_t in_byte_bound)
    : m_slots(new struct_slot[c_capacity]), m_head(0), m_size(0), m_bytes(0), m_byte_bound(in_byte_bound) {}

void class_pipe_backlog::push_back(const struct_token& in_token, enum_rule in_rule, std::size_t in_bytes) {
    struct_slot& s = at(m_size++);
    s.token = in_token;
    s.bytes = static_cast<std::uint32_t>(in_bytes);
    s.rule = in_rule;
    m_bytes += s.bytes;
}

void class_pipe_backlog::pop_front() { pop_front(1); }

void class_pipe_backlog::pop_front(std::size_t in_count) {
    for (std::size_t i = 0; i < in_count && m_size != 0; ++i) {
        m_bytes -= m_slots[m_head].bytes;
        m_head = (m_head + 1) % c_capacity;
        --m_size;
    }
}

std::size_t class_pipe_backlog::copy_front(struct_token* pout_tokens, std::size_t in_max) const {
    const std::size_t n = in_max < m_size ? in_max : m_size;
    for (std::size_t i = 0; i < n; ++i) pout_tokens[i] = at(i).token;
    return n;
}

void class_pipe_backlog::erase(std::size_t in_offset) {
    m_bytes -= at(in_offset).bytes;
    for (std::size_t i = in_offset; i + 1 < m_size; ++i) at(i) = at(i + 1);
    --m_size;
}

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
