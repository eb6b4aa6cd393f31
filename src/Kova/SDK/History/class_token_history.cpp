#include "Kova/SDK/History/class_token_history.h"

#include <cstring>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/History/struct_letter_case.h"

namespace Kova {
namespace SDK {
namespace History {

using Common::Interface::safe_add_ref_mm;

void class_token_history::push(struct_token const& in_token, kova_size_t in_depth) {
    safe_add_ref_mm(in_token.header_mm, __FILE__, __LINE__);
    safe_add_ref_mm(in_token.data_mm, __FILE__, __LINE__);
    m_tokens.push_front(in_token);
    while (m_tokens.size() > in_depth) {
        Common::Interface::safe_free_token(m_tokens.back(), __FILE__, __LINE__);
        m_tokens.pop_back();
    }
}

letter_case_t class_token_history::see(kova_size_t in_count) const {
    letter_case_t out = new struct_letter_case;
    const std::size_t n = in_count < m_tokens.size() ? in_count : m_tokens.size();
    out->token_vect.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const struct_token& t = m_tokens[i];
        safe_add_ref_mm(t.header_mm, __FILE__, __LINE__);
        safe_add_ref_mm(t.data_mm, __FILE__, __LINE__);
        out->token_vect.push_back(t);
    }
    return out;
}

void class_token_history::clear() {
    // The oldest first.
    while (!m_tokens.empty()) {
        Common::Interface::safe_free_token(m_tokens.back(), __FILE__, __LINE__);
        m_tokens.pop_back();
    }
}

kova_err_t proc_read_newest(letter_case_t in_letter_case, void* pin_data, pksize_t* pin_size) {
    const kova_history history(in_letter_case);
    if (history.empty()) return c_kova_err_empty_history;
    const template_history_elem<void> newest = history[0];
    if (newest.size < *pin_size) *pin_size = newest.size;
    if (*pin_size != 0) std::memcpy(pin_data, newest.p_buffer, *pin_size);
    return c_kova_err_none;
}

}  // namespace History
}  // namespace SDK
}  // namespace Kova
