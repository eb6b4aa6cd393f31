#include "Kova/Center/INet_Relay/EPoll/class_newest_hold.h"

#include "Kova/Common/Interface/kova_memory_interface.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

using Kova::Common::Interface::get_header;
using Kova::Common::Interface::safe_free_token;

bool class_newest_hold::keep(const struct_token& in_token) {
    const struct_packet* pkt = get_header(in_token);
    if (pkt->get_overflow_rule() != struct_packet::enum_overflow::newest) return false;
    for (std::size_t i = 0; i < m_size; ++i) {
        if (!get_header(m_tokens[i])->is_same_stream(*pkt)) continue;
        safe_free_token(m_tokens[i], __FILE__, __LINE__);
        for (std::size_t j = i + 1; j < m_size; ++j) m_tokens[j - 1] = m_tokens[j];
        m_tokens[m_size - 1] = in_token;
        return true;
    }
    if (m_size == c_room) return false;
    m_tokens[m_size++] = in_token;
    return true;
}

void class_newest_hold::proc_clear() {
    for (std::size_t i = 0; i < m_size; ++i) safe_free_token(m_tokens[i], __FILE__, __LINE__);
    m_size = 0;
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
